#include "policy/ml_redis_conf.h"

#include "services/redis.h"

int ml_init_redis_config(redis_conn *) { return 0; }

int ml_redis_conf_subscribe_act(redis_conn *redis, const redis_reply *msg) {
  if (!redis || !msg) return -1;
  if (msg->type != ML_REDIS_ARRAY || msg->elements != 3 || reply_elem_missing(msg, 2)) return -1;
  return 0;
}
