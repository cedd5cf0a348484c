#include "services/mldb.h"

#include <unistd.h>

#include "log/ml_debug.h"

int ml_db_connect_retry(ml_db_obj *obj, pthread_mutex_t *connect_lock,
                        const std::atomic<uint32_t> *stop, const char *op) {
  for (;;) {
    if (stop && stop->load(std::memory_order_relaxed) != 0) return -1;
    if (connect_lock) pthread_mutex_lock(connect_lock);
    int r = obj->db_connect(obj);
    if (connect_lock) pthread_mutex_unlock(connect_lock);
    if (r == 0) return 0;
    ML_DEBUG_AS(op, "Connect database failed");
    usleep(100000);
  }
}
