// An argument's math tasks: the one step that moves an argument to building,
// tells the proxy and queues its task (for a ready argument and for a manual
// learning request alike), and the start-up load that queues a task for every
// argument Redis already holds in building.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "arg/arg_state.h"
#include "tasks/math_task.h"

struct redis_conn;

// Queues a math task of type (MATH_TASK_AUTO or MATH_TASK_MANUAL) for the
// argument in database dbname. 0 queued; -1 (no list or id, no or empty name,
// the list refused it: full or out of memory).
int sub_task_for_math_model(math_task_array *tasks, const ml_arg_id *id, const char *dbname,
                            uint32_t type);

// Building with no event, the building notice, then the task. The step is
// taken on the server: an automatic task's argument must still be
// collecting, a manual one's must not be building in another live daemon
// (arg_claim_building). 0 when queued; 1 when the argument was not this
// daemon's to take (nothing done); -1 after the failing step's line, which
// names the calling operation op (the steps before it stay done).
int ml_arg_to_building(redis_conn *redis, math_task_array *tasks, const ml_arg_id *id,
                       const char *dbname, uint32_t type, const char *op);

// A manual learning request: reads the argument's database and URL, then
// takes the step to building (from any state) with a manual task.
// 0 when queued; -1 otherwise (what was done before the failing step stays).
int ml_add_manual_task(redis_conn *redis, math_task_array *tasks, uint32_t domain_id,
                       uint32_t arg_id);

// Waits until the learning database accepts connections (each attempt under
// connect_lock), creates the list and queues an automatic task for every
// argument that Redis holds in building with no event. 0 or -1.
int ml_init_math_task_list(math_task_array *tasks, redis_conn *redis,
                           pthread_mutex_t *connect_lock);
// Takes over the building arguments of daemons that are gone
// (arg_adopt_orphans) and queues an automatic task for each. Returns how
// many were queued, -1 when Redis did not answer.
int ml_adopt_orphan_tasks(redis_conn *redis, math_task_array *tasks);
// Queues the start-up tasks of one domain: an automatic task for each of its
// arguments in building with no event. 0, or -1 when the domain's hash lacks
// a field (the domain is skipped).
int _load_redis_args(redis_conn *redis, math_task_array *tasks, uint32_t domain_id);
// Queues the start-up task of one argument when it is building with no event.
// 0 (queued or not due), -1 (no connection or name, a missing field, list refused).
int _get_redis_arg_task(redis_conn *redis, math_task_array *tasks, uint32_t domain_id,
                        uint32_t arg_id, const char *mysql_dbname);
