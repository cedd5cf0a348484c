// Math task list. task_lock is held only while linking, unlinking and
// counting; a task is copied into its node before the lock is taken and out
// of it after the lock is released.
#include "tasks/math_task.h"

#include <cassert>
#include <cstdlib>

#include "log/ml_debug.h"
#include "services/threads.h"

int ml_math_task_list_init(math_task_array *ta) {
  if (!ta) return -1;
  ta->list = static_cast<task_list *>(calloc(1, sizeof(task_list)));
  if (!ta->list) {
    // A step of the daemon's task list start-up, known by that name.
    ML_DEBUG_AS("ml_init_math_task_list", "alloc task array memory failed");
    return -1;
  }
  ta->task_count = 0;
  pthread_mutex_init(&ta->task_lock, nullptr);
  ml_cond_init_monotonic(&ta->task_ready);
  return 0;
}

void ml_math_task_list_free(math_task_array *ta) {
  if (!ta || !ta->list) return;
  for (task_node *n = ta->list->head, *next; n; n = next) {
    next = n->next;
    free(n);
  }
  free(ta->list);
  ta->list = nullptr;
  ta->task_count = 0;
  pthread_mutex_destroy(&ta->task_lock);
  pthread_cond_destroy(&ta->task_ready);
}

int ml_add_math_task(math_task_array *ta, const math_task *task) {
  if (!ta || !task || !ta->list) return -1;
  auto *node = static_cast<task_node *>(malloc(sizeof(task_node)));
  if (!node) {
    ML_DEBUG("malloc failed");
    return -1;
  }
  node->task = *task;
  node->next = nullptr;
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
    pthread_cond_signal(&ta->task_ready);
  }
  pthread_mutex_unlock(&ta->task_lock);
  if (r != 0) free(node);
  return r;
}

int ml_get_math_task(math_task_array *ta, math_task *out) { return ml_wait_math_task(ta, out, 0); }

int ml_wait_math_task(math_task_array *ta, math_task *out, int timeout_ms) {
  if (!ta || !out || !ta->list) return -1;
  const struct timespec until = ml_deadline_after_ms(timeout_ms);
  pthread_mutex_lock(&ta->task_lock);
  // One wait: an add, a wake or the time-out ends it.
  if (!ta->list->head && timeout_ms > 0)
    pthread_cond_timedwait(&ta->task_ready, &ta->task_lock, &until);
  task_node *node = ta->list->head;
  if (node) {
    assert(ta->task_count > 0);
    ta->list->head = node->next;
    if (!node->next) ta->list->tail = nullptr;
    ta->task_count--;
  }
  assert((ta->list->head == nullptr) == (ta->task_count == 0));
  pthread_mutex_unlock(&ta->task_lock);
  if (!node) return -2;
  *out = node->task;
  free(node);
  return 0;
}

void ml_math_task_list_wake(math_task_array *ta) {
  if (!ta || !ta->list) return;
  pthread_mutex_lock(&ta->task_lock);
  pthread_cond_broadcast(&ta->task_ready);
  pthread_mutex_unlock(&ta->task_lock);
}
