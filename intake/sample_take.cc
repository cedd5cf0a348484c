#include "intake/sample_take.h"

#include <unistd.h>

#include <ctime>

#include "intake/sample_msg.h"

namespace {

// KEYS: list, taken, token. ARGV: token received last, token of a new batch,
// most messages to take. Answers {token, messages}. A held batch whose token
// was not received is answered again; a received one is released; then what
// a wait moved plus up to the rest of n from the list becomes the new batch.
constexpr const char *kTake = R"(local held = redis.call('GET', KEYS[3])
if held then
  if held ~= ARGV[1] then return {held, redis.call('LRANGE', KEYS[2], 0, -1)} end
  redis.call('DEL', KEYS[2], KEYS[3])
end
local batch = redis.call('LRANGE', KEYS[2], 0, -1)
local want = tonumber(ARGV[3]) - #batch
if want > 0 then
  local more = redis.call('LPOP', KEYS[1], want)
  if more then
    redis.call('RPUSH', KEYS[2], unpack(more))
    for i = 1, #more do batch[#batch + 1] = more[i] end
  end
end
if #batch > 0 then redis.call('SET', KEYS[3], ARGV[2]) end
return {ARGV[2], batch})";

// KEYS: taken, token. Drops a held batch; returns its length.
constexpr const char *kRecover = R"(if redis.call('EXISTS', KEYS[2]) == 0 then return 0 end
local n = redis.call('LLEN', KEYS[1])
redis.call('DEL', KEYS[1], KEYS[2])
return n)";

// KEYS: taken, token. ARGV: token received last. Releases it if it is held.
constexpr const char *kRelease = R"(if redis.call('GET', KEYS[2]) == ARGV[1] then
  redis.call('DEL', KEYS[1], KEYS[2])
end
return 0)";

}  // namespace

void sample_take_init(sample_taker *t, const std::string &id) {
  const std::string tag = std::string("{") + SAMPLE_LIST_KEY + "}";
  t->taken_key = "ml_taken:" + tag + ":" + id;
  t->token_key = "ml_taken_token:" + tag + ":" + id;
  t->received.clear();
  t->nonce = std::to_string(getpid()) + "." + std::to_string(time(nullptr));
  t->seq = 0;
}

reply_ptr sample_take(redis_conn *conn, sample_taker *t, uint32_t n) {
  if (!conn || !t || n == 0) return nullptr;
  const std::string next = t->nonce + "." + std::to_string(t->seq + 1);
  const std::string count = std::to_string(n);
  reply_ptr r = redis_eval(conn, kTake, {SAMPLE_LIST_KEY, t->taken_key, t->token_key},
                           {t->received, next, count});
  const redis_reply *batch = reply_elem(r.get(), 1);
  if (reply_elem_missing(r.get(), 0) || !batch || batch->type != ML_REDIS_ARRAY) return nullptr;
  if (batch->elements > 0) {
    t->seq++;
    t->received.assign(r->element[0].str, r->element[0].len);
  }
  return r;
}

int sample_take_wait(redis_conn *conn, sample_taker *t, const char *seconds) {
  if (!conn || !t || !seconds) return -1;
  reply_ptr r(
      redisconn_run_words(conn,
                          std::initializer_list<std::string_view>{
                              "BLMOVE", SAMPLE_LIST_KEY, t->taken_key, "LEFT", "RIGHT", seconds}
                              .begin(),
                          6));
  if (!r) return -1;
  return r->type == ML_REDIS_NIL ? 0 : 1;
}

int sample_take_recover(redis_conn *conn, sample_taker *t) {
  if (!conn || !t) return -1;
  reply_ptr r = redis_eval(conn, kRecover, {t->taken_key, t->token_key}, {});
  if (!r || r->type != ML_REDIS_INTEGER) return -1;
  return static_cast<int>(strtol(r->str, nullptr, 10));
}

int sample_take_release(redis_conn *conn, sample_taker *t) {
  if (!conn || !t) return -1;
  if (t->received.empty()) return 0;
  reply_ptr r = redis_eval(conn, kRelease, {t->taken_key, t->token_key}, {t->received});
  return r ? 0 : -1;
}
