// Math task list: requests to build the model of one argument, passed from
// the processing threads and the main thread's manual learning to the math
// model threads through one FIFO of at most MATH_TASK_MAX tasks.
//
// The list knows nothing of Redis or of argument states: the start-up load and
// the step that moves an argument to building live with the argument
// (arg/arg_tasks.h), so that both producers and the consumer can depend on
// this unit without depending on each other.
#pragma once

#include <pthread.h>

#include <cstdint>

enum : uint32_t { MATH_TASK_AUTO = 1, MATH_TASK_MANUAL = 2 };

// Longest learning database name, as MariaDB limits identifiers.
constexpr size_t ML_DBNAME_LEN = 64;

struct math_task {
  uint32_t dbid;                         // domain id
  uint32_t argid;                        // argument id
  uint32_t urlid;                        // URL id
  uint32_t type;                         // MATH_TASK_AUTO or MATH_TASK_MANUAL
  char mysql_dbname[ML_DBNAME_LEN + 1];  // the domain's learning database, NUL-terminated
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
  pthread_cond_t task_ready;  // signalled (under task_lock) on each add
};

constexpr uint32_t MATH_TASK_MAX = 8192;

// Makes the list empty and usable. 0, or -1 (null array, allocation failure).
int ml_math_task_list_init(math_task_array *ta);
// Frees every queued task and the list; the array may be initialised again.
// No thread may use it meanwhile. Null, or an array never initialised, is ignored.
void ml_math_task_list_free(math_task_array *ta);
// Appends a copy of task. 0; -1 (null argument, list missing, allocation
// failure, inconsistent list); -2 when MATH_TASK_MAX tasks are queued.
int ml_add_math_task(math_task_array *ta, const math_task *task);
// Takes the oldest task into out. 0; -2 when the list is empty; -1 when the
// list does not exist or an argument is null.
int ml_get_math_task(math_task_array *ta, math_task *out);
// The same, but waits up to timeout_ms for a task to be added (or for
// ml_math_task_list_wake) when the list is empty; -2 when none came.
int ml_wait_math_task(math_task_array *ta, math_task *out, int timeout_ms);
// Wakes every thread waiting in ml_wait_math_task (the stop sequence's call).
void ml_math_task_list_wake(math_task_array *ta);
