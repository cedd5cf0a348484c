// Policy loading at start and configuration change events of "channel1".
#pragma once

struct redis_conn;
struct redis_reply;

// Loads every learning policy from Redis into the policy table. 0 always.
int ml_init_redis_config(redis_conn *redis);
// Handles one message of "channel1" with redis for its commands. 0 when the
// message was dispatched, -1 when it was refused.
int ml_redis_conf_subscribe_act(redis_conn *redis, const redis_reply *msg);
