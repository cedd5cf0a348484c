#include "arg/arg_state.h"

#include <unistd.h>

#include <string>

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

namespace {

// KEYS: the argument, the builders. ARGV: state, event, builder field, this
// daemon (recorded when the state is building).
constexpr const char *kAdvance =
    R"(local v = redis.call('HMGET', KEYS[1], 'arg_learn_stat', 'events')
if tonumber(v[1]) ~= 1 or tonumber(v[2]) ~= 0 then return 0 end
redis.call('HSET', KEYS[1], 'arg_learn_stat', ARGV[1], 'events', ARGV[2])
if tonumber(ARGV[1]) == 2 then redis.call('HSET', KEYS[2], ARGV[3], ARGV[4]) end
return 1)";

// KEYS: the argument, the builders. ARGV: builder field, this daemon, the
// prefix of the alive keys, "manual" or "startup".
constexpr const char *kClaim = R"(local v = redis.call('HMGET', KEYS[1], 'arg_learn_stat', 'events')
local state, event = tonumber(v[1]), tonumber(v[2])
local owner = redis.call('HGET', KEYS[2], ARGV[1])
local other = owner and owner ~= ARGV[2] and redis.call('EXISTS', ARGV[3] .. owner) == 1
if ARGV[4] == 'manual' then
  if state == 2 and other then return 0 end
elseif state ~= 2 or event ~= 0 or other then
  return 0
end
redis.call('HSET', KEYS[1], 'arg_learn_stat', 2, 'events', 0)
redis.call('HSET', KEYS[2], ARGV[1], ARGV[2])
return 1)";

// KEYS: the builders. ARGV: builder field, this daemon.
constexpr const char *kDone = R"(if redis.call('HGET', KEYS[1], ARGV[1]) == ARGV[2] then
  redis.call('HDEL', KEYS[1], ARGV[1])
end
return 0)";

// KEYS: the builders. ARGV: this daemon, the prefix of the alive keys.
constexpr const char *kAdopt = R"(local out = {}
local all = redis.call('HGETALL', KEYS[1])
for i = 1, #all, 2 do
  local f, owner = all[i], all[i + 1]
  if owner ~= ARGV[1] and redis.call('EXISTS', ARGV[2] .. owner) == 0 then
    local v = redis.call('HMGET', 'arg:' .. f, 'arg_learn_stat', 'events')
    if tonumber(v[1]) == 2 and tonumber(v[2]) == 0 then
      redis.call('HSET', KEYS[1], f, ARGV[1])
      out[#out + 1] = f
    else
      redis.call('HDEL', KEYS[1], f)
    end
  end
end
return out)";

std::string builder_field(uint32_t domain_id, uint32_t arg_id) {
  return std::to_string(static_cast<int>(domain_id)) + ":" +
         std::to_string(static_cast<int>(arg_id));
}

int integer_reply(const reply_ptr &r) {
  if (!r || r->type != ML_REDIS_INTEGER) return -1;
  return static_cast<int>(strtol(r->str, nullptr, 10));
}

}  // namespace

int arg_state_advance(redis_conn *redis, const ml_arg_id *id, int32_t state, int32_t event) {
  if (!redis || !id) return -1;
  const std::string st = std::to_string(state), ev = std::to_string(event);
  return integer_reply(
      redis_eval(redis, kAdvance, {arg_hash_key(id->domain_id, id->arg_id), ARG_BUILDING_KEY},
                 {st, ev, builder_field(id->domain_id, id->arg_id), ml_daemon_id()}));
}

int arg_claim_building(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, arg_claim how) {
  if (!redis) return -1;
  return integer_reply(
      redis_eval(redis, kClaim, {arg_hash_key(domain_id, arg_id), ARG_BUILDING_KEY},
                 {builder_field(domain_id, arg_id), ml_daemon_id(), DAEMON_ALIVE_PREFIX,
                  how == arg_claim::manual ? "manual" : "startup"}));
}

int arg_built_elsewhere(redis_conn *redis, uint32_t domain_id, uint32_t arg_id) {
  if (!redis) return -1;
  const std::string field = builder_field(domain_id, arg_id);
  const std::string_view words[] = {"HGET", ARG_BUILDING_KEY, field};
  reply_ptr r(redisconn_run_words(redis, words, 3));
  if (!r) return -1;
  if (r->type != ML_REDIS_STRING) return 0;
  return std::string_view(r->str, r->len) == ml_daemon_id() ? 0 : 1;
}

int arg_building_done(redis_conn *redis, uint32_t domain_id, uint32_t arg_id) {
  if (!redis) return -1;
  return redis_eval(redis, kDone, {ARG_BUILDING_KEY},
                    {builder_field(domain_id, arg_id), ml_daemon_id()})
             ? 0
             : -1;
}

int daemon_alive_refresh(redis_conn *redis) {
  if (!redis) return -1;
  const std::string key = DAEMON_ALIVE_PREFIX + ml_daemon_id();
  const std::string pid = std::to_string(getpid());
  const std::string ttl = std::to_string(DAEMON_ALIVE_SECONDS);
  const std::string_view words[] = {"SET", key, pid, "EX", ttl};
  reply_ptr r(redisconn_run_words(redis, words, 5));
  return r ? 0 : -1;
}

reply_ptr arg_adopt_orphans(redis_conn *redis) {
  if (!redis) return nullptr;
  reply_ptr r =
      redis_eval(redis, kAdopt, {ARG_BUILDING_KEY}, {ml_daemon_id(), DAEMON_ALIVE_PREFIX});
  if (!r || r->type != ML_REDIS_ARRAY) return nullptr;
  return r;
}

std::string arg_hash_key(uint32_t domain_id, uint32_t arg_id) {
  return "arg:" + std::to_string(static_cast<int>(domain_id)) + ":" +
         std::to_string(static_cast<int>(arg_id));
}
