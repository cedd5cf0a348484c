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
#include "services/threads.h"

int init_sample_buckets(sample_buckets *set, uint32_t n) {
  if (!set) return -1;
  set->buckets = static_cast<sample_bucket *>(calloc(n ? n : 1, sizeof(sample_bucket)));
  if (!set->buckets) {
    ML_DEBUG("alloc memory failed");
    return -1;
  }
  set->ready = static_cast<pthread_cond_t *>(calloc(n ? n : 1, sizeof(pthread_cond_t)));
  if (!set->ready) {
    free(set->buckets);
    set->buckets = nullptr;
    ML_DEBUG("alloc memory failed");
    return -1;
  }
  set->sample_count = 0;
  set->bucket_count = n;
  pthread_mutex_init(&set->bucket_lock, nullptr);
  for (uint32_t i = 0; i < n; i++) ml_cond_init_monotonic(&set->ready[i]);
  return 0;
}

void free_sample_buckets(sample_buckets *set) {
  if (!set || !set->buckets) return;
  for (uint32_t i = 0; i < set->bucket_count; i++)
    while (sample_node *n = pick_sample(set, &set->buckets[i])) free_msg_node(n);
  assert(set->sample_count == 0);
  for (uint32_t i = 0; i < set->bucket_count; i++) pthread_cond_destroy(&set->ready[i]);
  free(set->ready);
  set->ready = nullptr;
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

namespace {

// Unlinks the oldest node of bucket and uncounts it; the caller holds bucket_lock.
sample_node *take_head_locked(sample_buckets *set, sample_bucket *bucket) {
  sample_node *node = bucket->head;
  if (node) {
    bucket->head = node->next;
    sample_count_add(set, -1);
  }
  return node;
}

}  // namespace

sample_node *pick_sample(sample_buckets *set, sample_bucket *bucket) {
  if (!set || !bucket) return nullptr;
  pthread_mutex_lock(&set->bucket_lock);
  sample_node *node = take_head_locked(set, bucket);
  pthread_mutex_unlock(&set->bucket_lock);
  return node;
}

sample_node *wait_sample(sample_buckets *set, uint32_t index, int timeout_ms) {
  if (!set || index >= set->bucket_count) return nullptr;
  sample_bucket *bucket = &set->buckets[index];
  const struct timespec until = ml_deadline_after_ms(timeout_ms);
  pthread_mutex_lock(&set->bucket_lock);
  // One wait: an append, sample_buckets_wake or the time-out ends it, and
  // the caller looks at its stop flag before it waits again.
  if (!bucket->head) pthread_cond_timedwait(&set->ready[index], &set->bucket_lock, &until);
  sample_node *node = take_head_locked(set, bucket);
  pthread_mutex_unlock(&set->bucket_lock);
  return node;
}

uint32_t wait_samples(sample_buckets *set, uint32_t index, int timeout_ms, sample_node **out,
                      uint32_t max) {
  if (!set || index >= set->bucket_count || !out || max == 0) return 0;
  sample_bucket *bucket = &set->buckets[index];
  const struct timespec until = ml_deadline_after_ms(timeout_ms);
  pthread_mutex_lock(&set->bucket_lock);
  if (!bucket->head) pthread_cond_timedwait(&set->ready[index], &set->bucket_lock, &until);
  uint32_t n = 0;
  while (n < max && (out[n] = take_head_locked(set, bucket))) n++;
  pthread_mutex_unlock(&set->bucket_lock);
  return n;
}

int sample_queue(sample_buckets *set, uint32_t index, const void *data, int length) {
  if (!set || index >= set->bucket_count) return -1;
  pthread_mutex_lock(&set->bucket_lock);
  const int r = sample_insert_node(&set->buckets[index], data, length);
  if (r == 0) {
    sample_count_add(set, 1);
    pthread_cond_signal(&set->ready[index]);
  }
  pthread_mutex_unlock(&set->bucket_lock);
  return r;
}

void sample_buckets_wake(sample_buckets *set) {
  if (!set || !set->ready) return;
  pthread_mutex_lock(&set->bucket_lock);
  for (uint32_t i = 0; i < set->bucket_count; i++) pthread_cond_broadcast(&set->ready[i]);
  pthread_mutex_unlock(&set->bucket_lock);
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
