#include "services/mldb.h"

#include <pthread.h>
#include <unistd.h>

#include "daemon/global_data.h"
#include "log/ml_debug.h"

void ml_db_connect_retry(ml_db_obj *obj) {
  for (;;) {
    pthread_mutex_lock(&g_data->db_connect_lock);
    int r = obj->db_connect(obj);
    pthread_mutex_unlock(&g_data->db_connect_lock);
    if (r == 0) return;
    ML_DEBUG("Connect database failed");
    usleep(100000);
  }
}
