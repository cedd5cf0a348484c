// Math model threads: each takes math tasks one at a time and turns each
// into a stored model: the argument must still be building, its training
// samples are read, a hidden Markov model is trained, every sample scored,
// the means and boxplots computed, everything stored and the proxy told. A
// task that fails at any step leaves its argument discarded.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/mathmodel/mathmodel.h"

struct redis_conn;
struct math_task_array;

// What a math thread uses; owned by the daemon, outliving the thread.
struct math_thread_arg {
  math_task_array *tasks;                  // the thread takes its tasks here
  pthread_mutex_t *db_connect_lock;        // held around every database connect
  const std::atomic<uint32_t> *stop_flag;  // non-zero: leave the loop
};

// This math thread's own Redis connection.
extern thread_local redis_conn *math_dbobj;

// Hidden states of every model; the learning policy takes no part in training.
constexpr int ML_HMM_STATES = 10;

// Thread function; its argument is the thread's slot, whose argument word is
// the thread's math_thread_arg. Returns null.
void *math_model_thread_run(void *slot);

// 0 when the argument holds the expected state with no event, -1 otherwise
// (also for a missing hash or field, after a debug line for a mismatch).
int mm_check_arg(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state);
// The failure end of a task: discarded state and event, the discard notice,
// the model and the list released.
void mm_failed(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, ml_hmm_model *model,
               ml_sample_list *list);
// Releases the list's items and zeroes the list; null is ignored.
void mm_free_sample_list(ml_sample_list *list);
