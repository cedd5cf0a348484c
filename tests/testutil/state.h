// The parts of the daemon's shared state that units receive (buckets, policy
// table, math task list, connect lock, stop flag, a Redis connection), built
// with the units' own set-up calls and released with their paired frees, so
// a test drives a unit without the daemon's start-up and stays leak-free.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "intake/ml_sample_recv.h"
#include "intake/sample_bucket.h"
#include "model/math_model_thread.h"
#include "policy/ml_policy.h"
#include "process/ml_sample_process.h"
#include "services/redis.h"
#include "services/threads.h"
#include "tasks/math_task.h"

namespace mlt {

struct State {
  sample_buckets buckets{};
  ml_plist plist{};
  math_task_array tasks{};
  pthread_mutex_t connect_lock = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<uint32_t> stop{0};
  redis_conn *redis = nullptr;
  // Thread arguments wired to the parts above, and a slot for each kind.
  recv_thread_arg recv_arg{&buckets, &plist, &stop};
  process_thread_arg process_arg{&buckets, 0, &plist, &tasks, &connect_lock, &stop};
  math_thread_arg math_arg{&tasks, &connect_lock, &stop};
  thread_slot recv_slot{{}, &recv_arg};
  thread_slot process_slot{{}, &process_arg};
  thread_slot math_slot{{}, &math_arg};

  explicit State(uint32_t bucket_count) {
    init_sample_buckets(&buckets, bucket_count);
    init_ml_plist(&plist);
    ml_math_task_list_init(&tasks);
    redis = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  }
  ~State() {
    free_sample_buckets(&buckets);
    free_ml_plist(&plist);
    ml_math_task_list_free(&tasks);
    redisconn_free(redis);
  }
  State(const State &) = delete;
  State &operator=(const State &) = delete;
  process_env env(ml_db_obj *db) { return {db, redis, &plist, &tasks}; }
};

inline ml_policy_conf policy_conf(const std::string &vdom, const std::string &name, int32_t mode,
                                  int32_t engine, int32_t weeks, int32_t sl) {
  ml_policy_conf c{};
  snprintf(c.vdom, sizeof c.vdom, "%s", vdom.c_str());
  snprintf(c.policy_name, sizeof c.policy_name, "%s", name.c_str());
  c.sample_collecting_mode = mode;
  c.hmm_engine = engine;
  c.model_min_learn_time = weeks;
  c.sl_automatic_definitely = sl;
  return c;
}

}  // namespace mlt
