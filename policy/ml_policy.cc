#include "policy/ml_policy.h"

int init_ml_plist(ml_plist *list) {
  list->prev = reinterpret_cast<ml_policy *>(list);
  list->next = reinterpret_cast<ml_policy *>(list);
  return pthread_rwlock_init(&list->table_lock, nullptr);
}
