#include "daemon/global_data.h"

#include <cstdio>
#include <cstdlib>

#include "arg/arg_state.h"
#include "arg/arg_tasks.h"
#include "log/ml_debug.h"
#include "platform/mldb/mldb.h"
#include "services/redis.h"

global_data *g_data = nullptr;
int thread_num = 0;

namespace {

// Every worker's view of the state: the parts it uses and nothing more.
void wire_thread_args(global_data *g) {
  g->recv_arg = {&g->sample_buckets, &g->ml_plist, &g->stop_flag};
  g->recv_thread.arg = &g->recv_arg;
  g->math_arg = {&g->task_array, &g->db_connect_lock, &g->stop_flag};
  for (int i = 0; i < ML_MAX_THREADS; i++) {
    g->process_args[i] = {&g->sample_buckets, i, &g->ml_plist, &g->task_array, &g->db_connect_lock,
                          &g->stop_flag};
    g->process_threads[i].arg = &g->process_args[i];
    g->math_threads[i].arg = &g->math_arg;
  }
}

}  // namespace

int init_global_data(int n) {
  // Zero-filled by calloc; the connect lock is initialised first because the
  // task list loader below already connects under it.
  g_data = static_cast<global_data *>(calloc(1, sizeof(global_data)));
  if (!g_data) {
    ML_DEBUG("alloc memory for g_data failed");
    return -1;
  }
  pthread_mutex_init(&g_data->db_connect_lock, nullptr);
  // The database library's own reconnects take the same lock as ours.
  mldb_set_connect_lock(&g_data->db_connect_lock);
  wire_thread_args(g_data);
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
  // Marked alive before taking over building arguments, so that no other
  // daemon starting now takes this one's for a gone builder's.
  daemon_alive_refresh(g_data->redis_conn);
  if (ml_init_math_task_list(&g_data->task_array, g_data->redis_conn, &g_data->db_connect_lock) !=
      0) {
    ML_DEBUG("init math task list failed");
    return -1;
  }
  return 0;
}

void free_global_data() {
  if (!g_data) return;
  free_sample_buckets(&g_data->sample_buckets);
  free_ml_plist(&g_data->ml_plist);
  ml_math_task_list_free(&g_data->task_array);
  redisconn_free(g_data->redis_conn);
  mldb_set_connect_lock(nullptr);
  pthread_mutex_destroy(&g_data->db_connect_lock);
  free(g_data);
  g_data = nullptr;
}
