// Shared daemon state: the one record where all threads meet. main builds it
// with init_global_data before any thread starts; it lives until the process
// ends. Only the daemon core sees the whole record: each worker thread gets an
// argument record pointing at just the parts it uses.
//
// Locking, field by field:
//   stop_flag        written once by the stop sequence, read by every loop (atomic)
//   sample_buckets   bucket_lock
//   ml_plist         table_lock, then policy_lock of one policy
//   task_array       task_lock
//   db_connect_lock  held only around a learning database connect
//   thread slots     written by the main thread before each thread starts,
//   and their args   read again only by the stop sequence
//   redis_conn       main thread only
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "intake/ml_sample_recv.h"
#include "intake/sample_bucket.h"
#include "model/math_model_thread.h"
#include "policy/ml_policy.h"
#include "process/ml_sample_process.h"
#include "services/threads.h"
#include "tasks/math_task.h"

struct redis_conn;

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
  recv_thread_arg recv_arg;
  process_thread_arg process_args[ML_MAX_THREADS];
  math_thread_arg math_arg;  // every math thread reads the same
  struct redis_conn *redis_conn;
};

extern global_data *g_data;
extern int thread_num;

// Builds the shared state with n buckets and sets g_data. 0, or -1 after the
// failing step's message (the partly built record stays allocated).
int init_global_data(int n);
// Frees what init_global_data built and clears g_data. Only while no thread
// uses it: the daemon itself never calls it (its state lives until _exit);
// programs that build the state to drive units directly do.
void free_global_data();

// The daemon's stop flag, 0 while running (also before g_data exists).
inline bool ml_stopping() {
  return g_data && g_data->stop_flag.load(std::memory_order_relaxed) != 0;
}
