// Sample processing threads. Processing thread i owns bucket i, its own Redis
// connection and its own learning database object. It takes the samples of
// its bucket one at a time, oldest first (all samples of one argument come
// to the same thread, in arrival order), checks each one and carries it
// through storage, counting and the readiness decision.
#pragma once

#include <pthread.h>

#include <atomic>

#include "arg/arg_state.h"
#include "intake/sample_bucket.h"
#include "intake/sample_msg.h"

struct redis_conn;
struct ml_db_obj;
struct ml_plist;
struct math_task_array;

// Value bytes a sample may carry, and the real length beyond which a value
// is only counted as abnormal.
constexpr uint32_t SAMPLE_ARG_LEN_MAX = 1025;
constexpr uint32_t SAMPLE_REAL_LEN_MAX = 256;
// The operations whose steps the processing helpers are: their debug lines
// carry these names, which operators know, not the helpers' own.
constexpr const char *ML_OP_PROCESS_SAMPLE = "process_sample";
constexpr const char *ML_OP_PROCESS_LOOP = "sample_process_loop";

// What processing thread `index` uses; the daemon owns the record and
// everything it points at, all of which outlive the thread.
struct process_thread_arg {
  sample_buckets *buckets;  // the thread takes from buckets->buckets[index] only
  int32_t index;
  ml_plist *policies;                      // read only, for readiness
  math_task_array *tasks;                  // where ready arguments' tasks go
  pthread_mutex_t *db_connect_lock;        // held around every database connect
  const std::atomic<uint32_t> *stop_flag;  // non-zero: leave the loop
};

// What one sample's processing needs besides the sample.
struct process_env {
  ml_db_obj *db;
  redis_conn *redis;
  ml_plist *policies;
  math_task_array *tasks;
};

// This processing thread's own Redis connection.
extern thread_local redis_conn *process_dbobj;

// Thread function; its argument is the thread's slot, whose argument word is
// the thread's process_thread_arg. Returns null.
void *sample_process_thread_run(void *slot);
// The thread body: runs until the stop flag is set. -1 when it ends.
int sample_process_loop(process_thread_arg *arg);

// 0 when the sample may be processed: lengths in range and the argument
// collecting with no event; -1 to drop it.
int check_sample(const sample_msg *msg, ml_db_obj *db, redis_conn *redis);
// A ready argument: discarded with its notice (1), or moved to building with
// its notice and an automatic task (0); 1 also when another daemon sharing
// this Redis moved it first; -1 after the failing step's line.
int judge_ready_arg(const ml_arg_id *id, const process_env *env, const char *dbname);

// Stores, counts and judges one sample. 0 done (stored, skipped by the
// pattern cap, or counted abnormal), -1 failed (after its line).
int process_sample(const sample_msg *msg, const process_env *env);
