#include "process/readiness.h"

#include <ctime>

#include "log/ml_debug.h"
#include "log/ml_message.h"
#include "policy/ml_policy.h"
#include "services/redis.h"

int check_arg_sample_ready(const ml_arg_id *id, redis_conn *redis, ml_plist *policies) {
  if (!id || !redis || !policies) return -1;
  ml_policy_conf policy;
  const int found = ml_domain_policy(redis, policies, id->domain_id, &policy);
  return arg_sample_ready_under(id, redis, found == 1 ? &policy : nullptr);
}

int arg_sample_ready_under(const ml_arg_id *id, redis_conn *redis, const ml_policy_conf *found) {
  if (!id || !redis || !found || found->model_min_learn_time == 0) return -1;
  const ml_policy_conf &policy = *found;

  char cmd[ML_CMD_LEN];
  reply_ptr arg = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d normalcount start_time",
                             static_cast<int>(id->domain_id), static_cast<int>(id->arg_id));
  if (!arg || reply_elem_missing(arg.get(), 0) || reply_elem_missing(arg.get(), 1)) return -1;
  const int32_t count = static_cast<int32_t>(reply_elem_ll(arg.get(), 0));
  const int32_t start = static_cast<int32_t>(reply_elem_ll(arg.get(), 1));
  MLD_MSG(MLD_TRACE, MLD_UNIT_PROCESS,
          "collect mode:%d, need count:%d, arg count : %d, start time :%s, learn_weeks:%d, "
          "time:%lu\n",
          policy.sample_collecting_mode, READY_COUNT_AND_TIME, count, reply_elem_str(arg.get(), 1),
          policy.model_min_learn_time, static_cast<unsigned long>(time(nullptr)));

  if (arg_ready_by(&policy, count, start, time(nullptr)) != 1) return 0;
  // Either entry point, one operation to the operator.
  ML_DEBUG_AS("check_arg_sample_ready", "arg %d is ready for model.", static_cast<int>(id->arg_id));
  return 1;
}

int arg_ready_by(const ml_policy_conf *policy, int32_t count, int32_t start, long now) {
  if (!policy || policy->model_min_learn_time == 0) return -1;
  bool ready = false;
  if (policy->sample_collecting_mode == 0) {
    if (count >= READY_COUNT_AND_TIME) {
      // The end of the learning period in 32-bit arithmetic, as the stored
      // numbers are; unsigned so that a wrap is defined.
      const int32_t until =
          static_cast<int32_t>(static_cast<uint32_t>(policy->model_min_learn_time) *
                                   static_cast<uint32_t>(SECONDS_PER_WEEK) +
                               static_cast<uint32_t>(start));
      ready = static_cast<int64_t>(until) <= static_cast<int64_t>(now);
    }
  } else if (policy->sample_collecting_mode == 1) {
    ready = count >= READY_COUNT_ONLY;
  }
  return ready ? 1 : 0;
}
