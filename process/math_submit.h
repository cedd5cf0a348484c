// Math-task submission: automatic tasks from the processing threads and
// manual learning requests from the configuration channel.
#pragma once

#include <cstdint>

#include "process/arg_state.h"

struct redis_conn;

// Queues a math task of type (MATH_TASK_AUTO or MATH_TASK_MANUAL) for the
// argument in database dbname. 0 queued; -1 (no id, no or empty name, the
// list refused it: full or out of memory).
int sub_task_for_math_model(const ml_arg_id *id, const char *dbname, uint32_t type);

// A manual learning request: reads the argument's database and URL, moves it
// to building (from any state), tells the proxy and queues a manual task.
// 0 when queued; -1 otherwise (what was done before the failing step stays).
int ml_add_manual_task(redis_conn *redis, uint32_t domain_id, uint32_t arg_id);
