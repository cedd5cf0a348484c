// Math tasks: requests to build the model of one argument, passed from the
// processing threads and the manual-learning path to the math model threads
// through one FIFO list of at most MATH_TASK_MAX tasks.
#pragma once

#include <pthread.h>

#include <cstdint>

enum : uint32_t { MATH_TASK_AUTO = 1, MATH_TASK_MANUAL = 2 };

struct math_task {
  uint32_t dbid;          // domain id
  uint32_t argid;         // argument id
  uint32_t urlid;         // URL id
  uint32_t type;          // MATH_TASK_AUTO or MATH_TASK_MANUAL
  char mysql_dbname[65];  // the domain's learning database, NUL-terminated
};

// A queued task; allocated when added, freed when taken.
struct task_node {
  math_task task;
  task_node *next;
};

struct task_list {
  task_node *head;  // null while the list is empty
  task_node *tail;
};

// The list as the shared daemon state holds it; task_lock guards all three.
struct math_task_array {
  task_list *list;
  uint32_t task_count;
  pthread_mutex_t task_lock;
};

constexpr uint32_t MATH_TASK_MAX = 8192;

struct redis_conn;

// Creates the list and queues an automatic task for every argument that Redis
// holds in building with no event. 0 or -1.
int ml_init_math_task_list(redis_conn *redis);
// Appends a copy of task. 0; -1 (null task, allocation failure, inconsistent
// list); -2 when MATH_TASK_MAX tasks are queued.
int ml_add_math_task(const math_task *task);
// Queues the start-up tasks of one domain: an automatic task for each of its
// arguments in building with no event. 0, or -1 when the domain's hash lacks
// a field (the domain is skipped).
int _load_redis_args(redis_conn *redis, uint32_t domain_id);
// Queues the start-up task of one argument when it is building with no event.
// 0 (queued or not due), -1 (no connection or name, a missing field, list refused).
int _get_redis_arg_task(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                        const char *mysql_dbname);
// Takes the oldest task into out. 0; -2 when the list is empty; -1 when the
// list does not exist or out is null.
int ml_get_math_task(math_task *out);
