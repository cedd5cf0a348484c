// The daemon's view of the Redis client library: the library's calls plus the
// small conveniences every unit uses to run a formatted command and read its
// reply safely.
//
// Every non-null reply is released by the function that received it; holding
// it in a reply_ptr makes that automatic on every return path.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/redis/redisconn.h"

struct redis_reply_free {
  void operator()(redis_reply *r) const { redisconn_free_result(r); }
};
using reply_ptr = std::unique_ptr<redis_reply, redis_reply_free>;

// Size of the command buffer every unit formats its commands into.
constexpr size_t ML_CMD_LEN = 1024;

// Formats a command into buf (cap bytes) and runs it on conn. Null when conn
// is null, when the command got no reply, or when it does not fit in buf:
// a cut command would name another key or lose a field, so it is refused
// (with an error line) and never sent.
reply_ptr redis_cmdf(redis_conn *conn, char *buf, size_t cap, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Element i of an array reply; null when r is not an array or i is out of
// range, so a reply of an unexpected type reads as missing fields.
inline const redis_reply *reply_elem(const redis_reply *r, uint32_t i) {
  if (!r || r->type != ML_REDIS_ARRAY || i >= r->elements) return nullptr;
  return r->element + i;
}

// True when element i is absent or nil: the field is missing.
inline bool reply_elem_missing(const redis_reply *r, uint32_t i) {
  const redis_reply *e = reply_elem(r, i);
  return !e || e->type == ML_REDIS_NIL || !e->str;
}

// The text of element i, "" when missing.
inline const char *reply_elem_str(const redis_reply *r, uint32_t i) {
  return reply_elem_missing(r, i) ? "" : reply_elem(r, i)->str;
}

// Element i read as a decimal number; text that is not a number reads as 0.
inline long long reply_elem_ll(const redis_reply *r, uint32_t i) {
  return strtoll(reply_elem_str(r, i), nullptr, 10);
}

// Walks every key matching pattern with SCAN (the cursor kept as the unsigned
// 64-bit number Redis gives) and calls fn once per key of each batch, in
// batch order, with its place in its batch; a key may come twice, as SCAN allows. 0 when the walk
// ended; -1 when a reply was missing (the keys seen so far have been visited).
int redis_scan_keys(redis_conn *conn, const char *pattern,
                    const std::function<void(const char *key, uint32_t place)> &fn);

// Runs a Lua script with its keys and arguments (any bytes) as one EVAL.
// Null when conn is null, the server refused the script or did not answer.
reply_ptr redis_eval(redis_conn *conn, std::string_view script,
                     std::initializer_list<std::string_view> keys,
                     std::initializer_list<std::string_view> args);

// This daemon among others that share one Redis: "<host name>:<root>", where
// root is the fixed-path root ("/" on an appliance). Stable across restarts
// of the same installation, so a new start finds what its previous run left
// (a taken batch, the arguments it was building); distinct for two
// installations on one machine. Computed once; safe from any thread after
// the first call, which start-up makes before starting threads.
const std::string &ml_daemon_id();
