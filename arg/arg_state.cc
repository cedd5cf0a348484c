#include "arg/arg_state.h"

#include "log/ml_debug.h"
#include "services/redis.h"

int arg_state_write(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state,
                    int32_t event, bool keep_event) {
  if (!redis) return -1;
  char cmd[ML_CMD_LEN];
  const int d = static_cast<int>(domain_id), a = static_cast<int>(arg_id);
  reply_ptr r =
      keep_event
          ? redis_cmdf(redis, cmd, sizeof cmd, "HMSET arg:%d:%d arg_learn_stat %d ", d, a, state)
          : redis_cmdf(redis, cmd, sizeof cmd, "HMSET arg:%d:%d arg_learn_stat %d events %d", d, a,
                       state, event);
  return r ? 0 : -1;
}

int arg_state_check(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state,
                    int32_t event, bool show_cmd, const char *op) {
  if (!redis) return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d arg_learn_stat events",
                           static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!r || reply_elem_missing(r.get(), 0) || reply_elem_missing(r.get(), 1)) return -1;
  const int32_t have_state = static_cast<int32_t>(reply_elem_ll(r.get(), 0));
  const int32_t have_event = static_cast<int32_t>(reply_elem_ll(r.get(), 1));
  r.reset();
  if (have_state != state) {
    if (show_cmd)
      ML_DEBUG_AS(op, "Invalid arg stat %d, %s", have_state, cmd);
    else
      ML_DEBUG_AS(op, "Invalid arg stat %d", have_state);
    return -1;
  }
  if (have_event != event) {
    ML_DEBUG_AS(op, "Invalid event %d", have_event);
    return -1;
  }
  return 0;
}

int set_arg_stat(const ml_arg_id *id, redis_conn *redis, int32_t state, int32_t event) {
  if (!id) return -1;
  return arg_state_write(redis, id->domain_id, id->arg_id, state, event, false);
}

int check_arg_stat(const ml_arg_id *id, redis_conn *redis, int32_t state, int32_t event) {
  if (!id) return -1;
  return arg_state_check(redis, id->domain_id, id->arg_id, state, event, true, __func__);
}

int check_arg_discard(const ml_arg_id *id, redis_conn *redis) {
  if (!id || !redis) return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d normalcount abnormalcount",
                           static_cast<int>(id->domain_id), static_cast<int>(id->arg_id));
  if (!r || reply_elem_missing(r.get(), 0) || reply_elem_missing(r.get(), 1)) return -1;
  const int32_t normal = static_cast<int32_t>(reply_elem_ll(r.get(), 0));
  const int32_t abnormal = static_cast<int32_t>(reply_elem_ll(r.get(), 1));
  // 32-bit wrap-around as the counters are stored; unsigned arithmetic keeps
  // the wrap defined. Both 0 gives 0/0, a NaN, which is not above 5.
  const int32_t per_mille = static_cast<int32_t>(static_cast<uint32_t>(abnormal) * 1000u);
  const int32_t total =
      static_cast<int32_t>(static_cast<uint32_t>(normal) + static_cast<uint32_t>(abnormal));
  const double share = static_cast<double>(per_mille) / static_cast<double>(total);
  return share > 5.0 ? 1 : 0;
}

int ml_redis_update_sample_count(const ml_arg_id *id, redis_conn *redis, int abnormal) {
  if (!id || !redis) return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr r =
      redis_cmdf(redis, cmd, sizeof cmd, "HINCRBY arg:%d:%d %s 1", static_cast<int>(id->domain_id),
                 static_cast<int>(id->arg_id), abnormal ? "abnormalcount" : "normalcount");
  return r ? 0 : -1;
}
