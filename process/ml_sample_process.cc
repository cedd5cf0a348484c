#include "process/ml_sample_process.h"

#include <unistd.h>

#include <cstdio>

#include "daemon/global_data.h"
#include "log/ml_debug.h"
#include "services/mldb.h"
#include "services/redis.h"

thread_local redis_conn *process_dbobj = nullptr;

namespace {

int sample_process_loop(process_thread_arg *arg) {
  if (!arg) return -1;
  process_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!process_dbobj) {
    puts("process thread redisconn connect failed.");
    return -1;
  }
  if (arg->index < 0 || static_cast<uint32_t>(arg->index) >= arg->buckets->bucket_count) {
    ML_DEBUG("Invalid index %d", arg->index);
    return -1;
  }
  ml_db_obj db;
  init_ml_db_obj(&db);
  ml_db_connect_retry(&db);
  while (!ml_stopping()) usleep(10000);
  db.db_close(&db);
  return -1;
}

}  // namespace

void *sample_process_thread_run(void *slot) {
  auto *s = static_cast<thread_slot *>(slot);
  if (!s) {
    ML_DEBUG("can not get thread_t");
    return nullptr;
  }
  sample_process_loop(static_cast<process_thread_arg *>(s->arg));
  return nullptr;
}
