#include "services/mldb.h"

#include <unistd.h>

#include "log/ml_debug.h"

void ml_db_connect_retry(ml_db_obj *obj, pthread_mutex_t *connect_lock) {
  for (;;) {
    if (connect_lock) pthread_mutex_lock(connect_lock);
    int r = obj->db_connect(obj);
    if (connect_lock) pthread_mutex_unlock(connect_lock);
    if (r == 0) return;
    ML_DEBUG("Connect database failed");
    usleep(100000);
  }
}
