#include "daemon/global_data.h"

#include <cstdio>
#include <cstdlib>

#include "log/ml_debug.h"
#include "model/math_task.h"
#include "services/redis.h"

global_data *g_data = nullptr;
int thread_num = 0;

int init_global_data(int n) {
  // Zero-filled by calloc: the mutexes are then usable as default unlocked
  // mutexes even before their explicit initialisation (the task list loader
  // below already connects under db_connect_lock).
  g_data = static_cast<global_data *>(calloc(1, sizeof(global_data)));
  if (!g_data) {
    ML_DEBUG("alloc memory for g_data failed");
    return -1;
  }
  if (init_sample_buckets(&g_data->sample_buckets, static_cast<uint32_t>(n)) != 0) {
    ML_DEBUG("Initialize sample buckets failed");
    return -1;
  }
  init_ml_plist(&g_data->ml_plist);
  g_data->redis_conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!g_data->redis_conn) {
    puts("connect redis failed");
    return -1;
  }
  if (ml_init_math_task_list(g_data->redis_conn) != 0) {
    ML_DEBUG("init math task list failed");
    return -1;
  }
  pthread_mutex_init(&g_data->db_connect_lock, nullptr);
  return 0;
}
