// Configuration change events: messages of "channel1" that add, change or
// delete learning policies, reset an argument to learn from the start, or
// request manual learning. Runs on the main thread only, one message at a
// time, with the main thread's second Redis connection for its commands.
#pragma once

#include <cstdint>

#include "platform/framework/msg_info.h"

struct redis_conn;
struct redis_reply;
struct ml_plist;
struct math_task_array;

// What the handlers change: the policy table (policy events) and the math
// task list (manual learning). Both belong to the caller.
struct conf_event_ctx {
  ml_plist *policies;
  math_task_array *tasks;
};

// Event classes and the actions that do something.
enum : int32_t { CONF_CLASS_POLICY = 0, CONF_CLASS_RELEARN = 2, CONF_CLASS_MANUAL = 4 };
enum : int32_t {
  CONF_POLICY_ADD = 0,
  CONF_POLICY_EDIT = 1,
  CONF_POLICY_DELETE = 2,
  CONF_RELEARN = 10,
  CONF_MANUAL_LEARN = 6,
};

// Decodes one published message (a 3-element array whose element 2 is the
// payload) and dispatches it by class. 0 when dispatched (whatever the
// handler did), -1 when refused (after its line for an undecodable payload or
// a negative class; silently for a malformed message).
int ml_redis_conf_subscribe_act(redis_conn *redis, const conf_event_ctx *ctx,
                                const redis_reply *msg);
// Class handlers: 0, or -1 for a null event or a negative action (after its line).
int ml_redis_conf_plicy_act(redis_conn *redis, ml_plist *policies, const mlne_msg_info *event);
int ml_redis_relearn_arg_act(redis_conn *redis, const mlne_msg_info *event);
int ml_redis_sample_exceptions_act(redis_conn *redis, math_task_array *tasks,
                                   const mlne_msg_info *event);
// Resets the argument's hash to collecting with no event, a new start_time and
// zeroed counters; other fields and stored samples stay. 0, or -1 (no reply).
int ml_set_arg_relearn(redis_conn *redis, uint32_t domain_id, uint32_t arg_id);
