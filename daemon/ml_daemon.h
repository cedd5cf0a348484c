// Daemon core: start-up, the subscription loop of the main thread, thread
// creation and the stop sequence.
#pragma once

#include <cstdint>

#include "platform/framework/framework.h"
#include "services/threads.h"

// The whole life of the process: start-up steps, then the main loop until the
// stop sequence begins. -1 after any start-up failure (after its message).
int ml_daemon_main(int argc, char **argv);

// Sets enable_debug_print from the presence of /var/log/machine_learning_log.
void set_debug_flag();
// CPUs granted to the process; 1 when the cgroup says 0.
unsigned get_cpu_num();
// Threads of each kind for a CPU count: count - 1, at least 3.
unsigned get_thread_num(unsigned cpus);
// The global system configuration record, or null.
sys_global_conf *query_global_conf();

// Starts fn on a joinable thread with a 32 MiB stack, with the slot's address
// as its argument and the handle stored in the slot. 0, or -1 (null slot or
// function, attribute or creation failure) after a debug line.
int thread_create(thread_slot *slot, void *(*fn)(void *));
int start_sample_recv_thread();
// Start n threads of each pool; n above ML_MAX_THREADS is refused before any
// thread starts. 0, or -1 at the first failure (started threads keep running).
int start_sample_process_thread(int n);
int start_math_model_thread(int n);

// The joins of the stop sequence, in its fixed order: the receive thread's
// slot, then processing slot i and math slot i for each i below n, each
// through join (pthread_join in the daemon). Returns once every join has
// returned.
void ml_join_workers(const thread_slot *recv, const thread_slot *process, const thread_slot *math,
                     int n, int (*join)(pthread_t, void **));

// SIGINT handler: wakes the stop sequence, which sets the stop flag, joins the
// receive thread, then processing thread i and math thread i for each i, and
// ends the process with status 0.
void stop_all(int signo);

constexpr const char *ML_CONF_CHANNEL = "channel1";
