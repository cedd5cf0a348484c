// Shared daemon state: the one record where all threads meet. main builds it
// with init_global_data before any thread starts; it lives until the process
// ends and is never freed.
//
// Locking, field by field:
//   stop_flag        written once by the stop sequence, read by every loop (atomic)
//   sample_buckets   bucket_lock
//   ml_plist         table_lock, then policy_lock of one policy
//   task_array       task_lock
//   db_connect_lock  held only around a learning database connect
//   thread slots     written by the main thread before each thread starts,
//                    read again only by the stop sequence
//   redis_conn       main thread only
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "intake/sample_bucket.h"
#include "model/math_task.h"
#include "policy/ml_policy.h"

struct redis_conn;

// A thread and its argument; the slot's own address is the thread's argument.
struct thread_slot {
  pthread_t handle;
  void *arg;
};

// The argument of processing thread i: its bucket set and index i.
struct process_thread_arg {
  sample_buckets *buckets;
  int32_t index;
};

constexpr int ML_MAX_THREADS = 64;

struct global_data {
  std::atomic<uint32_t> stop_flag;
  struct sample_buckets sample_buckets;
  struct ml_plist ml_plist;
  math_task_array task_array;
  pthread_mutex_t db_connect_lock;
  thread_slot recv_thread;
  thread_slot process_threads[ML_MAX_THREADS];
  thread_slot math_threads[ML_MAX_THREADS];
  struct redis_conn *redis_conn;
};

extern global_data *g_data;
extern int thread_num;

// Builds the shared state with n buckets and sets g_data. 0, or -1 after the
// failing step's message (the partly built record stays allocated).
int init_global_data(int n);

// The daemon's stop flag, 0 while running (also before g_data exists).
inline bool ml_stopping() {
  return g_data && g_data->stop_flag.load(std::memory_order_relaxed) != 0;
}
