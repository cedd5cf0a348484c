// Math task list: a FIFO of at most MATH_TASK_MAX tasks between the producers
// (processing threads, the main thread's manual learning) and the math model
// threads. task_lock is held only while linking, unlinking and counting; the
// task is copied into its node before the lock is taken.
#include "model/math_task.h"

#include <cstdlib>

#include "daemon/global_data.h"
#include "log/ml_debug.h"
#include "services/mldb.h"

int ml_init_math_task_list(redis_conn *redis) {
  if (!redis) return -1;
  math_task_array *ta = &g_data->task_array;
  ta->list = static_cast<task_list *>(calloc(1, sizeof(task_list)));
  if (!ta->list) {
    ML_DEBUG("alloc task array memory failed");
    return -1;
  }
  ta->task_count = 0;
  pthread_mutex_init(&ta->task_lock, nullptr);
  return 0;
}

int ml_add_math_task(const math_task *task) {
  if (!task || !g_data || !g_data->task_array.list) return -1;
  auto *node = static_cast<task_node *>(malloc(sizeof(task_node)));
  if (!node) {
    ML_DEBUG("malloc failed");
    return -1;
  }
  node->task = *task;
  node->next = nullptr;
  math_task_array *ta = &g_data->task_array;
  int r = 0;
  pthread_mutex_lock(&ta->task_lock);
  task_list *l = ta->list;
  if (ta->task_count >= MATH_TASK_MAX) {
    ML_DEBUG("%d : too many tasks", static_cast<int>(ta->task_count));
    r = -2;
  } else if (l->head && !l->tail) {
    ML_DEBUG("Invalid task_array tail");
    r = -1;
  } else {
    if (l->head)
      l->tail->next = node;
    else
      l->head = node;
    l->tail = node;
    ta->task_count++;
  }
  pthread_mutex_unlock(&ta->task_lock);
  if (r != 0) free(node);
  return r;
}

int ml_get_math_task(math_task *out) {
  if (!out || !g_data || !g_data->task_array.list) return -1;
  math_task_array *ta = &g_data->task_array;
  pthread_mutex_lock(&ta->task_lock);
  task_node *node = ta->list->head;
  if (node) {
    ta->list->head = node->next;
    if (!node->next) ta->list->tail = nullptr;
    ta->task_count--;
  }
  pthread_mutex_unlock(&ta->task_lock);
  if (!node) return -2;
  *out = node->task;
  free(node);
  return 0;
}
