// Model building against the real Redis and MariaDB (scripts/services start).
//
//   model_bench [ARGS] [ROUNDS]      (defaults: 7 arguments, 3 throughput rounds)
//
// First it builds ARGS arguments one after another, each a whole automatic task
// as a math thread runs it: state check, reading 2,000 stored patterns and
// 2,000 temporary samples, training, scoring, means, boxplots, the store
// (one transaction) and the model ready notice. It prints the median time per
// task and the share of it spent in training. Goal: under 300 ms per task,
// training well under 100 ms.
//
// Then it queues 3 x thread_num such tasks at once and runs thread_num math
// threads over them (thread_num = max(CPUs - 1, 3), as the daemon chooses it):
// models per second, median of ROUNDS. Goal: at least thread_num per second.
//
// The bench uses its own database (mlb_model_<pid>), domain id and keys, and
// removes them at the end.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "arg/arg_notify.h"
#include "log/ml_debug.h"
#include "model/math_model_thread.h"
#include "model/model_stats.h"
#include "model/model_store.h"
#include "model/training_samples.h"
#include "services/mldb.h"
#include "services/redis.h"
#include "services/threads.h"
#include "tasks/math_task.h"

namespace {

using clk = std::chrono::steady_clock;
using std::string;
using std::to_string;

constexpr int kRows = 2000;

double ms_since(clk::time_point t) {
  return std::chrono::duration<double, std::milli>(clk::now() - t).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

void cmd(redis_conn *c, const string &text) {
  reply_ptr r(redisconn_run_command(c, text.c_str(), static_cast<int>(text.size())));
}

bool exec(ml_db_obj *db, const string &sql) {
  if (db->db_execute(db, sql.c_str()) == 0) return true;
  fprintf(stderr, "model_bench: statement failed: %.200s\n", sql.c_str());
  return false;
}

// Web-like values of one argument, each with its own pattern.
struct value_set {
  std::vector<string> values, patterns;
};

value_set make_values(uint32_t seed) {
  static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789-_.@ABCXYZ";
  std::mt19937 rng(seed);
  value_set s;
  std::set<string> seen;
  while (static_cast<int>(s.values.size()) < kRows) {
    string v(3 + rng() % 14, ' ');
    for (char &ch : v) ch = chars[rng() % (sizeof chars - 1)];
    int32_t sym[64];
    int32_t n = 64;
    if (ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(v.data()),
                              static_cast<uint32_t>(v.size()), sym, &n) != 0)
      continue;
    string p;
    for (int i = 0; i < n; i++) p += static_cast<char>('0' + sym[i]);
    if (p.empty() || !seen.insert(p).second) continue;
    s.values.push_back(v);
    s.patterns.push_back(p);
  }
  return s;
}

struct bench_env {
  redis_conn *redis = nullptr;
  ml_db_obj db{};
  string dbname;
  uint32_t domain = 0;
};

// Stored patterns, temporary samples and a building hash for one argument.
bool prepare_arg(bench_env &e, uint32_t arg, const value_set &s) {
  char name0[64] = {}, name1[64] = {};
  get_sample_table_names(static_cast<int>(arg), name0, name1, nullptr);
  const string a = to_string(arg);
  if (!exec(&e.db, "delete from " + e.dbname + "." + name0 + " where arg_id=" + a) ||
      !exec(&e.db, "delete from " + e.dbname + "." + name1 + " where arg_id=" + a))
    return false;
  for (int from = 0; from < kRows; from += 250) {
    string q = "insert into " + e.dbname + "." + name0 +
               " (arg_id,sample_str,pattern,pattern_count) values ";
    string t = "insert into " + e.dbname + "." + name1 + " (arg_id,sample_str,pattern) values ";
    for (int i = from; i < from + 250; i++) {
      const string sep = i == from ? "(" : ",(";
      q += sep + a + ",'" + s.values[i] + "','" + s.patterns[i] + "'," + to_string(1 + i % 5) + ")";
      t += sep + a + ",'" + s.values[(i * 7) % kRows] + "','" + s.patterns[(i * 7) % kRows] + "')";
    }
    if (!exec(&e.db, q) || !exec(&e.db, t)) return false;
  }
  cmd(e.redis, "HMSET arg:" + to_string(e.domain) + ":" + a +
                   " arg_learn_stat 2 events 0 urlid 1 arg_name bench" + a);
  return true;
}

struct task_times {
  double total = 0, train = 0;
  bool ok = false;
};

// One automatic task, step by step as the math thread runs it.
task_times run_task(bench_env &e, uint32_t arg) {
  task_times t;
  math_task task{e.domain, arg, 1, MATH_TASK_AUTO, {}};
  snprintf(task.mysql_dbname, sizeof task.mysql_dbname, "%s", e.dbname.c_str());
  ml_sample_list list{};
  ml_hmm_model *model = nullptr;
  const clk::time_point start = clk::now();
  if (mm_check_arg(e.redis, e.domain, arg, 2) != 0) {
    fprintf(stderr, "model_bench: argument %u is not building\n", arg);
    return t;
  }
  if (mm_get_sample(e.redis, e.domain, &e.db, task.mysql_dbname, arg, &list) != 0) {
    mm_free_sample_list(&list);
    return t;
  }
  const clk::time_point train = clk::now();
  const int trained = ml_train_hmm_model(&model, &list, ML_HMM_STATES);
  t.train = ms_since(train);
  if (trained == 0) {
    for (int i = 0; i < list.count; i++) {
      double p = 0;
      if (ml_hmm_calc_prob_by_seq(model, list.items[i].sequence, list.items[i].sequence_len, &p) ==
          0)
        list.items[i].pattern_probability = p;
    }
    mm_calc_mean(&list, model);
    t.ok = mm_write_to_db(&e.db, e.redis, task.mysql_dbname, e.domain, arg, &list, model, &task) ==
               0 &&
           sendmsg_proxyd_arg(e.redis, e.domain, arg, 3, 1) == 0;
  }
  t.total = ms_since(start);
  ml_hmm_free(model);
  mm_free_sample_list(&list);
  return t;
}

bool learned(bench_env &e, uint32_t arg) {
  char buf[128];
  reply_ptr r = redis_cmdf(e.redis, buf, sizeof buf, "HGET arg:%d:%d arg_learn_stat",
                           static_cast<int>(e.domain), static_cast<int>(arg));
  return r && r->type == ML_REDIS_STRING && string(r->str) == "3";
}

// What the math threads are given, as the daemon gives it.
math_task_array g_tasks;
pthread_mutex_t g_connect_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint32_t> g_stop{0};
math_thread_arg g_math_arg{&g_tasks, &g_connect_lock, &g_stop};
thread_slot g_math_slot{{}, &g_math_arg};

// Queued tasks over thread_num math threads; models per second.
double throughput(bench_env &e, const std::vector<value_set> &sets, int threads) {
  const int tasks = 3 * threads;
  for (int i = 0; i < tasks; i++)
    if (!prepare_arg(e, 100 + i, sets[i % sets.size()])) return 0;
  for (int i = 0; i < tasks; i++) {
    math_task task{e.domain, static_cast<uint32_t>(100 + i), 1, MATH_TASK_AUTO, {}};
    snprintf(task.mysql_dbname, sizeof task.mysql_dbname, "%s", e.dbname.c_str());
    ml_add_math_task(&g_tasks, &task);
  }
  g_stop = 0;
  const clk::time_point start = clk::now();
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; i++) pool.emplace_back([] { math_model_thread_run(&g_math_slot); });
  int done = 0;
  while (done < tasks) {
    done = 0;
    for (int i = 0; i < tasks; i++) done += learned(e, 100 + i);
    if (done < tasks) usleep(1000);
  }
  const double seconds = ms_since(start) / 1000.0;
  g_stop = 1;
  for (auto &th : pool) th.join();
  return tasks / seconds;
}

}  // namespace

int main(int argc, char **argv) {
  enable_debug_print = getenv("MODEL_BENCH_DEBUG") != nullptr;
  const int nargs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
  bench_env e;
  e.domain = 2000000000u + static_cast<uint32_t>(getpid() % 100000);
  e.dbname = "mlb_model_" + to_string(getpid());
  const string src = ML_SOURCE_DIR;
  if (system(("bash " + src + "/scripts/mldb-provision " + e.dbname + " >/dev/null").c_str()) !=
      0) {
    fprintf(stderr, "model_bench: cannot provision %s (scripts/services start?)\n",
            e.dbname.c_str());
    return 1;
  }
  ml_math_task_list_init(&g_tasks);
  e.redis = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  init_ml_db_obj(&e.db);
  if (!e.redis || e.db.db_connect(&e.db) != 0) {
    fprintf(stderr, "model_bench: Redis or MariaDB not answering\n");
    return 1;
  }
  const string d = to_string(e.domain);
  cmd(e.redis, "HMSET domain_info:" + d +
                   " adomname bench policy_name bench domain bench.example mysql_dbname " +
                   e.dbname);

  std::vector<value_set> sets;
  for (int i = 0; i < nargs; i++) sets.push_back(make_values(17 + i));
  std::vector<double> totals, shares, trains;
  for (int i = 0; i < nargs; i++) {
    if (!prepare_arg(e, 10 + i, sets[i])) return 1;
    const task_times t = run_task(e, 10 + i);
    if (!t.ok) {
      fprintf(stderr, "model_bench: task of argument %d failed\n", 10 + i);
      return 1;
    }
    printf("argument %d: task %.1f ms, training %.1f ms\n", 10 + i, t.total, t.train);
    totals.push_back(t.total);
    trains.push_back(t.train);
    shares.push_back(t.train / t.total);
  }
  const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  const int threads = static_cast<int>(std::min(64u, std::max(cpus - 1, 3u)));
  std::vector<double> rates;
  for (int r = 0; r < rounds; r++) {
    rates.push_back(throughput(e, sets, threads));
    printf("round %d: %d math threads, %.2f models/s\n", r + 1, threads, rates.back());
  }
  printf(
      "task time (median of %d arguments, %d patterns + %d temporary samples): %.1f ms "
      "(goal < 300), training %.1f ms = %.0f%% (goal < 100 ms)\n",
      nargs, kRows, kRows, median(totals), median(trains), 100 * median(shares));
  printf("math threads: %.2f models/s with %d threads (goal >= %d)\n", median(rates), threads,
         threads);

  cmd(e.redis, "DEL domain_info:" + d);
  for (int a : {10, 100})
    for (int i = 0; i < std::max(nargs, 3 * threads); i++)
      cmd(e.redis,
          "DEL arg:" + d + ":" + to_string(a + i) + " arg:boxplot:" + d + ":" + to_string(a + i));
  exec(&e.db, "drop database " + e.dbname);
  e.db.db_close(&e.db);
  return 0;
}
