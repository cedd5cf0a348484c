#include "services/redis.h"

#include <cstdio>
#include <cstring>

reply_ptr redis_cmdf(redis_conn *conn, char *buf, size_t cap, const char *fmt, ...) {
  if (!conn || !buf || cap == 0) return nullptr;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, cap, fmt, ap);
  va_end(ap);
  return reply_ptr(redisconn_run_command(conn, buf, static_cast<int>(strlen(buf))));
}
