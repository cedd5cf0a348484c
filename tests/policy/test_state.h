// A shared daemon state for one test, without the daemon's start-up, and
// freed again afterwards so suites stay leak-free.
#pragma once

#include <cstdlib>
#include <string>

#include "daemon/global_data.h"
#include "services/redis.h"

namespace mlt {

inline void make_state(uint32_t buckets) {
  g_data = static_cast<global_data *>(calloc(1, sizeof(global_data)));
  init_sample_buckets(&g_data->sample_buckets, buckets);
  init_ml_plist(&g_data->ml_plist);
  g_data->redis_conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
}

inline void free_state() {
  sample_buckets *set = &g_data->sample_buckets;
  for (uint32_t i = 0; i < set->bucket_count; i++)
    while (sample_node *n = pick_sample(set, &set->buckets[i])) free_msg_node(n);
  free(set->buckets);
  ml_plist *list = &g_data->ml_plist;
  for (ml_policy *p = list->next, *next; p != reinterpret_cast<ml_policy *>(list); p = next) {
    next = p->next;
    _free_ml_policy(p);
  }
  redisconn_free(g_data->redis_conn);
  free(g_data);
  g_data = nullptr;
}

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
