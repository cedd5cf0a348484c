// Daemon core.
//
// The main thread runs start-up in a fixed order (registration, debug flag,
// core limits and old core files, the learning database, the thread count,
// the shared state, the policy load, the worker threads, the SIGINT handler,
// the subscription) and then spends its life waiting on "channel1", handing each
// message to the configuration change handler. Every failure before the loop
// ends main with -1.
//
// Stopping: joining threads is not async-signal-safe, so the SIGINT handler
// only posts a semaphore. A stop thread, started before the handler is
// installed, waits on it and runs the stop sequence: stop flag, joins in the
// fixed order (receive; then processing i and math i for each i), exit
// status 0. The main loop, seeing the flag, prints its closing line and then
// waits for the stop thread instead of returning, so it never cuts the joins
// short.
#include "daemon/ml_daemon.h"

#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arg/arg_state.h"
#include "arg/arg_tasks.h"
#include "daemon/global_data.h"
#include "intake/ml_sample_recv.h"
#include "log/ml_debug.h"
#include "log/sys_log.h"
#include "model/math_model_thread.h"
#include "platform/mldb/mldb.h"
#include "policy/ml_conf_event.h"
#include "policy/ml_redis_conf.h"
#include "process/ml_sample_process.h"
#include "services/redis.h"

namespace {

constexpr size_t kThreadStack = 0x2000000;  // 32 MiB
// Longest wait for a configuration message before the loop looks at the stop
// flag again; a message that arrives ends the wait at once.
constexpr int kSubscribeWaitMs = 100;

sem_t g_stop_sem;
pthread_t g_stop_thread;

int fail_start() {
  puts("init ml daemon failed.");
  return -1;
}

void *stop_sequence(void *) {
  while (sem_wait(&g_stop_sem) != 0) {
  }
  ML_DEBUG_AS("stop_all", "ml_daemon ready to exit\\n");
  g_data->stop_flag.store(1, std::memory_order_relaxed);
  // Workers waiting for samples or tasks look at the flag now, not at the
  // end of their wait.
  sample_buckets_wake(&g_data->sample_buckets);
  ml_math_task_list_wake(&g_data->task_array);
  ml_join_workers(&g_data->recv_thread, g_data->process_threads, g_data->math_threads, thread_num,
                  pthread_join);
  ML_DEBUG_AS("stop_all", "ml_daemon : all threads exit\\n");
  _exit(0);
}

int start_stop_thread() {
  if (sem_init(&g_stop_sem, 0, 0) != 0) return -1;
  return pthread_create(&g_stop_thread, nullptr, stop_sequence, nullptr) == 0 ? 0 : -1;
}

// The main loop: one published message at a time, until the stop flag is set.
void serve(redis_conn *cmd_conn) {
  const conf_event_ctx ctx{&g_data->ml_plist, &g_data->task_array};
  // Daemons sharing this Redis take over the arguments of one whose mark
  // has expired; refreshed at a third of its life, so a slow turn is no
  // loss. At the same pace this daemon takes over the arguments of others
  // that are gone.
  auto refreshed = std::chrono::steady_clock::time_point{};
  const auto refresh_every = std::chrono::seconds(DAEMON_ALIVE_SECONDS / 3);
  while (!ml_stopping()) {
    const auto now = std::chrono::steady_clock::now();
    if (now - refreshed >= refresh_every && daemon_alive_refresh(cmd_conn) == 0) {
      refreshed = now;
      ml_adopt_orphan_tasks(cmd_conn, &g_data->task_array);
    }
    reply_ptr msg(redisconn_wait_subscribe(g_data->redis_conn, kSubscribeWaitMs));
    if (!msg) continue;
    if (nCfg_debug_zone)
      mldaemon_debug_level.store(static_cast<int32_t>(fw_debug_zone_level(nCfg_debug_zone)));
    ml_redis_conf_subscribe_act(cmd_conn, &ctx, msg.get());
  }
}

// The daemon's own persistent log: its semaphore, without which nothing is
// stored. The flag file that lets records in belongs to the operator (the
// install step creates it; removing it pauses the log), so a start leaves it
// as it finds it.
void init_daemon_log() {
  sys_log_init(SYS_LOG_DAEMON);  // on failure, messages still reach the console
}

// Lets the process dump core as large as the hard limit allows. 0, or -1
// after its line.
int raise_core_limit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_CORE, &rl) != 0) {
    printf("getrlimit error: %s\n", strerror(errno));
    return -1;
  }
  rl.rlim_cur = rl.rlim_max;
  if (setrlimit(RLIMIT_CORE, &rl) != 0) {
    printf("setrlimit(CORE dump) error: %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

// Removes old core files beyond the count the global configuration keeps.
void clean_old_cores() {
  int core_count = 3;
  conf_init();
  if (sys_global_conf *conf = query_global_conf())
    core_count = static_cast<int>(conf->core_file_count);
  dn_clean_coredump(core_count, "core-ml_daemon");
}

// The stop thread, the workers and the signal handlers. 0, or -1.
int start_threads() {
  if (start_stop_thread() != 0) return -1;
  if (start_sample_recv_thread() != 0 || start_sample_process_thread(thread_num) != 0 ||
      start_math_model_thread(thread_num) != 0)
    return -1;
  signal(SIGINT, stop_all);
  // Appliance service managers stop daemons with SIGTERM; it means the same.
  signal(SIGTERM, stop_all);
  return 0;
}

// Subscribes the shared connection to the configuration channel and opens the
// change handler's own connection. The handler's connection, or null.
redis_conn *subscribe_conf() {
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(g_data->redis_conn, cmd, sizeof cmd, "SUBSCRIBE %s", ML_CONF_CHANNEL);
  if (!r) return nullptr;
  r.reset();
  return redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
}

}  // namespace

void set_debug_flag() {
  char path[PATH_MAX];
  fw_path("/var/log/machine_learning_log", path, sizeof path);
  enable_debug_print = access(path, R_OK) == 0 ? 1 : 0;
  if (enable_debug_print) ML_DEBUG("enable_debug_print = %d\\n", enable_debug_print);
}

unsigned get_cpu_num() {
  int n = get_cpus_from_cgroup();
  return n == 0 ? 1u : static_cast<unsigned>(n);
}

unsigned get_thread_num(unsigned cpus) {
  int n = static_cast<int>(cpus) - 1;
  return n < 3 ? 3u : static_cast<unsigned>(n);
}

sys_global_conf *query_global_conf() { return cmf_query_update(nCfg_query(NCFG_GLOBAL_CONF)); }

int thread_create(thread_slot *slot, void *(*fn)(void *)) {
  if (!slot || !fn) return -1;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    ML_DEBUG("Create thread failed");
    return -1;
  }
  int r = -1;
  if (pthread_attr_setstacksize(&attr, kThreadStack) != 0)
    ML_DEBUG("pthread_attr_setstacksize fail");
  else if (pthread_create(&slot->handle, &attr, fn, slot) != 0)
    ML_DEBUG("Pthread create failed");
  else
    r = 0;
  pthread_attr_destroy(&attr);
  return r;
}

int start_sample_recv_thread() {
  if (thread_create(&g_data->recv_thread, sample_recv_thread_run) != 0) {
    ML_DEBUG("Create sample recv thread failed");
    return -1;
  }
  return 0;
}

int start_sample_process_thread(int n) {
  if (n > ML_MAX_THREADS) {
    ML_DEBUG("Invalid thread number for sample process %d", n);
    return -1;
  }
  for (int i = 0; i < n; i++) {
    if (thread_create(&g_data->process_threads[i], sample_process_thread_run) != 0) {
      ML_DEBUG("Create sample process thread failed");
      return -1;
    }
  }
  return 0;
}

int start_math_model_thread(int n) {
  if (n > ML_MAX_THREADS) {
    ML_DEBUG("Invalid thread number for math model %d", n);
    return -1;
  }
  for (int i = 0; i < n; i++) {
    if (thread_create(&g_data->math_threads[i], math_model_thread_run) != 0) {
      ML_DEBUG("Create math model thread failed");
      return -1;
    }
  }
  return 0;
}

void ml_join_workers(const thread_slot *recv, const thread_slot *process, const thread_slot *math,
                     int n, int (*join)(pthread_t, void **)) {
  // The receive thread first, so that no sample enters a bucket while the
  // processing threads end; then the two pools pairwise, the fixed order the
  // daemon's stop has always had.
  join(recv->handle, nullptr);
  for (int i = 0; i < n; i++) {
    join(process[i].handle, nullptr);
    join(math[i].handle, nullptr);
  }
}

void stop_all(int) {
  int saved = errno;
  sem_post(&g_stop_sem);  // async-signal-safe; the stop thread does the rest
  errno = saved;
}

int ml_daemon_main(int argc, char **argv) {
  (void)argc;
  // Whole lines reach a pipe or file as they are printed: the stop sequence
  // ends the process with _exit, which flushes nothing.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer that closed its socket must fail the write, not kill the daemon.
  signal(SIGPIPE, SIG_IGN);

  if (dn_init("ml_daemon") != 0) return -1;
  set_debug_flag();
  init_daemon_log();
  if (raise_core_limit() != 0) return -1;
  clean_old_cores();
  if (ml_daemon_wait_dbconnect(argv && argv[0] ? argv[0] : "ml_daemon") != 0) return -1;

  int cpus = static_cast<int>(get_cpu_num());
  if (cpus <= 0) return fail_start();
  thread_num = static_cast<int>(get_thread_num(static_cast<unsigned>(cpus)));

  if (init_global_data(thread_num) != 0) return fail_start();
  if (ml_init_redis_config(g_data->redis_conn, &g_data->ml_plist) != 0) return fail_start();
  if (start_threads() != 0) return fail_start();
  redis_conn *cmd_conn = subscribe_conf();
  if (!cmd_conn) return fail_start();

  serve(cmd_conn);

  puts("init ml daemon success.");
  conf_end();
  pthread_join(g_stop_thread, nullptr);  // the stop sequence ends the process
  return 0;
}
