// A worker thread as the daemon starts it: the thread's handle and the
// argument the thread reads. The daemon passes the slot's own address to the
// thread function, so every unit's thread function starts from this record.
#pragma once

#include <pthread.h>

struct thread_slot {
  pthread_t handle;
  void *arg;  // the unit's own argument record; owned by the daemon, lives as long as the thread
};

// The argument record of a thread started on slot (a thread_slot*); null when
// slot is null.
template <typename T>
T *thread_slot_arg(void *slot) {
  return slot ? static_cast<T *>(static_cast<thread_slot *>(slot)->arg) : nullptr;
}
