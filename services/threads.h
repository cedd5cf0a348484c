// The daemon's view of POSIX threads: the slot of a worker thread (its handle
// and the argument it reads; the daemon passes the slot's own address to the
// thread function, so every unit's thread function starts from this record),
// and condition variables that wait on the monotonic clock.
#pragma once

#include <pthread.h>
#include <time.h>

struct thread_slot {
  pthread_t handle;
  void *arg;  // the unit's own argument record; owned by the daemon, lives as long as the thread
};

// Initialises a condition variable whose timed waits use the monotonic
// clock, so that a wall-clock step never stretches or cuts a wait.
inline void ml_cond_init_monotonic(pthread_cond_t *cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

// The monotonic time ms milliseconds from now, for pthread_cond_timedwait.
inline struct timespec ml_deadline_after_ms(int ms) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  if (ms < 0) ms = 0;
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec++;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// The argument record of a thread started on slot (a thread_slot*); null when
// slot is null.
template <typename T>
T *thread_slot_arg(void *slot) {
  return slot ? static_cast<T *>(static_cast<thread_slot *>(slot)->arg) : nullptr;
}
