// Sample buckets: the hand-over between the one receive thread (producer) and
// the processing threads (consumer i takes only bucket i). All buckets share
// one mutex and one count of queued samples, which bounds the memory held:
// the producer queues nothing while the count is at its limit.
//
// Order: a bucket is a FIFO, and one argument's samples always go to the same
// bucket, so each argument's samples are processed in arrival order.
//
// sample_count is changed only under bucket_lock, but the producer compares it
// with the limit without the lock (a slightly old value is good enough there).
// Every access therefore goes through std::atomic_ref, which keeps the
// unlocked read a defined one; use sample_queued() to read it.
#pragma once

#include <pthread.h>

#include <cstdint>

// One queued sample: a private copy of the message, allocated with exactly the
// message's length. Producer allocates; the consumer frees both with
// free_msg_node after processing.
struct sample_node {
  unsigned char *data;
  sample_node *next;
};

// FIFO of one processing thread. tail is meaningful only while head is non-null.
struct sample_bucket {
  sample_node *head;
  sample_node *tail;
};

struct sample_buckets {
  sample_bucket *buckets;       // bucket_count buckets, allocated at start, never freed
  uint32_t sample_count;        // queued in all buckets; guarded by bucket_lock
  uint32_t bucket_count;        // == thread_num
  pthread_mutex_t bucket_lock;  // guards every bucket and sample_count
  pthread_cond_t *ready;        // one per bucket, signalled (under bucket_lock) on each append
};

// Samples a bucket may hold on average; the receive thread queues nothing while
// sample_count >= bucket_count * SAMPLES_PER_BUCKET.
constexpr uint32_t SAMPLES_PER_BUCKET = 4096;

// Makes n empty buckets. 0, or -1 (null set, or allocation failure).
int init_sample_buckets(sample_buckets *set, uint32_t n);
// Frees every queued sample and the buckets and destroys bucket_lock; the set
// may be initialised again. No thread may use it meanwhile. Null, or a set
// never initialised, is ignored.
void free_sample_buckets(sample_buckets *set);
// Appends a copy of length bytes at the tail of bucket. The caller holds
// bucket_lock and adds 1 to sample_count on success. 0, or -1 with the bucket
// unchanged.
int sample_insert_node(sample_bucket *bucket, const void *data, int length);
// Takes the oldest node of bucket under bucket_lock; null when it is empty.
sample_node *pick_sample(sample_buckets *set, sample_bucket *bucket);
// Takes the oldest node of bucket index, waiting up to timeout_ms for one to
// be appended (or for sample_buckets_wake). Null when none came (or index is
// out of range).
sample_node *wait_sample(sample_buckets *set, uint32_t index, int timeout_ms);
// The same for up to max nodes: waits as wait_sample for the first, then
// takes what else the bucket holds without waiting. Returns how many were
// put in out, oldest first.
uint32_t wait_samples(sample_buckets *set, uint32_t index, int timeout_ms, sample_node **out,
                      uint32_t max);
// Appends a copy of the message to bucket index under bucket_lock, counts it
// and wakes the bucket's consumer. 0, or -1 with nothing queued.
int sample_queue(sample_buckets *set, uint32_t index, const void *data, int length);
// Wakes every consumer waiting in wait_sample (the stop sequence's call).
void sample_buckets_wake(sample_buckets *set);
// Frees a node and its message copy; null is ignored.
void free_msg_node(sample_node *node);
// The count of queued samples, read without bucket_lock (may be slightly old).
uint32_t sample_queued(sample_buckets *set);
// Adds delta to sample_count; the caller holds bucket_lock.
void sample_count_add(sample_buckets *set, int32_t delta);
