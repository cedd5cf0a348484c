// Sample buckets. One producer (the receive thread) appends under bucket_lock
// and raises sample_count; consumer i takes from bucket i under the same
// lock. Taking the last node leaves tail stale on purpose: an append tests
// head first, so a stale tail is never followed.
#include "intake/sample_bucket.h"

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "log/ml_debug.h"

int init_sample_buckets(sample_buckets *set, uint32_t n) {
  if (!set) return -1;
  set->buckets = static_cast<sample_bucket *>(calloc(n ? n : 1, sizeof(sample_bucket)));
  if (!set->buckets) {
    ML_DEBUG("alloc memory failed");
    return -1;
  }
  set->sample_count = 0;
  set->bucket_count = n;
  pthread_mutex_init(&set->bucket_lock, nullptr);
  return 0;
}

void free_sample_buckets(sample_buckets *set) {
  if (!set || !set->buckets) return;
  for (uint32_t i = 0; i < set->bucket_count; i++)
    while (sample_node *n = pick_sample(set, &set->buckets[i])) free_msg_node(n);
  assert(set->sample_count == 0);
  free(set->buckets);
  set->buckets = nullptr;
  set->bucket_count = 0;
  pthread_mutex_destroy(&set->bucket_lock);
}

int sample_insert_node(sample_bucket *bucket, const void *data, int length) {
  if (!bucket || !data || length < 1) {
    ML_DEBUG("Invalid parameter");
    return -1;
  }
  auto *node = static_cast<sample_node *>(calloc(1, sizeof(sample_node)));
  if (!node) {
    ML_DEBUG("sample_insert_node(): malloc failed.");
    return -1;
  }
  node->data = static_cast<unsigned char *>(malloc(static_cast<size_t>(length)));
  if (!node->data) {
    free(node);
    ML_DEBUG("sample_insert_node(): malloc failed.");
    return -1;
  }
  memcpy(node->data, data, static_cast<size_t>(length));
  if (!bucket->head) {
    bucket->head = node;
  } else {
    bucket->tail->next = node;
  }
  bucket->tail = node;
  return 0;
}

sample_node *pick_sample(sample_buckets *set, sample_bucket *bucket) {
  if (!set || !bucket) return nullptr;
  pthread_mutex_lock(&set->bucket_lock);
  sample_node *node = bucket->head;
  if (node) {
    bucket->head = node->next;
    sample_count_add(set, -1);
  }
  pthread_mutex_unlock(&set->bucket_lock);
  return node;
}

void free_msg_node(sample_node *node) {
  if (!node) return;
  free(node->data);
  free(node);
}

uint32_t sample_queued(sample_buckets *set) {
  return std::atomic_ref<uint32_t>(set->sample_count).load(std::memory_order_relaxed);
}

void sample_count_add(sample_buckets *set, int32_t delta) {
  std::atomic_ref<uint32_t>(set->sample_count)
      .fetch_add(static_cast<uint32_t>(delta), std::memory_order_relaxed);
}
