// Learning policy table: one ml_policy per learning policy, in a circular
// doubly linked list through the ml_plist head. Only the main thread changes
// the table; the receive and processing threads look policies up.
#pragma once

#include <pthread.h>

#include <cstdint>

// The settings of one policy, always copied as a whole.
struct ml_policy_conf {
  char vdom[12];          // NUL-terminated, at most 11 characters
  char policy_name[64];   // NUL-terminated, at most 63 characters
  int32_t hmm_engine;
  int32_t sample_collecting_mode;  // 0 count-and-time, 1 count-only, other never
  int32_t model_min_learn_time;    // weeks
  int32_t sl_automatic_definitely;
};

struct ml_policy {
  ml_policy *prev;
  ml_policy *next;
  ml_policy_conf conf;
  pthread_rwlock_t policy_lock;
};

// Head (sentinel) of the table; prev/next point at the head itself when empty.
struct ml_plist {
  ml_policy *prev;
  ml_policy *next;
  pthread_rwlock_t table_lock;
};

// Makes the table empty and initialises table_lock; returns the lock
// initialisation's result.
int init_ml_plist(ml_plist *list);
