#include "intake/ml_sample_recv.h"

#include <unistd.h>

#include <cstdio>

#include "daemon/global_data.h"
#include "log/ml_debug.h"
#include "services/redis.h"

thread_local redis_conn *recv_dbobj = nullptr;

void *sample_recv_thread_run(void *) {
  if (!g_data) {
    ML_DEBUG("sample_recv_thread_run(): g_data is NULL.");
    return nullptr;
  }
  if (g_data->sample_buckets.bucket_count == 0 || !g_data->sample_buckets.buckets) {
    ML_DEBUG("sample_recv_thread_run(): sample_buckets is NULL.");
    return nullptr;
  }
  recv_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!recv_dbobj) {
    puts("recv thread redisconn_connect failed.");
    return nullptr;
  }
  while (!ml_stopping()) usleep(1000);
  return nullptr;
}
