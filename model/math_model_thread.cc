#include "model/math_model_thread.h"

#include <mysql.h>
#include <unistd.h>

#include <cstdio>

#include "daemon/global_data.h"
#include "services/mldb.h"
#include "services/redis.h"

thread_local redis_conn *math_dbobj = nullptr;

void *math_model_thread_run(void *) {
  math_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!math_dbobj) {
    puts("math thread redis connect failed.");
    return nullptr;
  }
  ml_db_obj db;
  init_ml_db_obj(&db);
  ml_db_connect_retry(&db);
  while (!ml_stopping()) {
    math_task task;
    if (ml_get_math_task(&task) == -2) usleep(10000);
  }
  db.db_close(&db);
  mysql_thread_end();
  return nullptr;
}
