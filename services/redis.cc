#include "services/redis.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "log/ml_debug.h"
#include "platform/framework/framework.h"

reply_ptr redis_cmdf(redis_conn *conn, char *buf, size_t cap, const char *fmt, ...) {
  if (!conn || !buf || cap == 0) return nullptr;
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(buf, cap, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    ML_ERROR_LINE("command longer than %zu bytes refused: %.40s", cap - 1, buf);
    return nullptr;
  }
  return reply_ptr(redisconn_run_command(conn, buf, n));
}

int redis_scan_keys(redis_conn *conn, const char *pattern,
                    const std::function<void(const char *key, uint32_t place)> &fn) {
  uint64_t cursor = 0;
  do {
    char cmd[ML_CMD_LEN];
    reply_ptr r =
        redis_cmdf(conn, cmd, sizeof cmd, "SCAN %" PRIu64 " match %s count 100", cursor, pattern);
    if (!r || reply_elem_missing(r.get(), 0)) return -1;
    cursor = strtoull(reply_elem_str(r.get(), 0), nullptr, 10);
    const redis_reply *keys = reply_elem(r.get(), 1);
    for (uint32_t i = 0; keys && keys->type == ML_REDIS_ARRAY && i < keys->elements; i++)
      if (!reply_elem_missing(keys, i)) fn(reply_elem_str(keys, i), i);
  } while (cursor != 0);
  return 0;
}

reply_ptr redis_eval(redis_conn *conn, std::string_view script,
                     std::initializer_list<std::string_view> keys,
                     std::initializer_list<std::string_view> args) {
  if (!conn) return nullptr;
  const std::string nkeys = std::to_string(keys.size());
  std::vector<std::string_view> words{"EVAL", script, nkeys};
  words.insert(words.end(), keys.begin(), keys.end());
  words.insert(words.end(), args.begin(), args.end());
  return reply_ptr(redisconn_run_words(conn, words.data(), words.size()));
}

const std::string &ml_daemon_id() {
  static const std::string id = [] {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0 || !host[0])
      snprintf(host, sizeof host, "localhost");
    const char *root = fw_root();
    return std::string(host) + ":" + (root && *root ? root : "/");
  }();
  return id;
}
