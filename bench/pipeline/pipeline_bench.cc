// Sample pipeline throughput: samples per second from arg:mlnsample to
// committed and counted by the ml_daemon binary, against the rate at which
// this program runs the same per-sample work directly (the same Redis
// commands and the same SQL transaction, one connection pair per thread, as
// many threads as the daemon has processing threads, each also popping its
// sample and reading its policy names as the receive thread does). Then the daemon's
// resident memory under a flood of queued samples.
//
//   pipeline_bench DAEMON_BIN ROOT DBNAME [SAMPLES] [ROUNDS]   (ROUNDS alternating, default 5)
//
// Run it pinned (taskset) so that both figures share the same CPUs; the
// daemon inherits the pinning. Needs the private Redis and MariaDB, and
// DBNAME provisioned (run.sh does all of this). The list arg:mlnsample must
// not be popped by anyone else meanwhile.
#include <hiredis/hiredis.h>
#include <mysql.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "daemon/ml_daemon.h"
#include "intake/sample_msg.h"
#include "platform/framework/framework.h"

namespace {

using clk = std::chrono::steady_clock;
using std::string;

constexpr uint32_t kDomain = 990001;
constexpr uint32_t kUrl = 5;
constexpr const char *kDirectList = "bench:pipeline:direct";

struct Setup {
  string db;
  int threads;
};

redisContext *redis_open() {
  redisContext *c = redisConnect("127.0.0.1", 6379);
  if (!c || c->err) {
    fprintf(stderr, "redis connect failed\n");
    exit(2);
  }
  return c;
}

void rcmd(redisContext *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  auto *r = static_cast<redisReply *>(redisvCommand(c, fmt, ap));
  va_end(ap);
  if (r) freeReplyObject(r);
}

long long rnum(redisContext *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  auto *r = static_cast<redisReply *>(redisvCommand(c, fmt, ap));
  va_end(ap);
  long long v = r && r->type == REDIS_REPLY_STRING ? atoll(r->str) : r ? r->integer : 0;
  if (r) freeReplyObject(r);
  return v;
}

// Argument i of the run: each one lands in its own processing thread.
uint32_t arg_of(int i) { return 100 + static_cast<uint32_t>(i); }

// The sample values: a handful of shapes, so patterns repeat as in traffic.
string value_of(long n) {
  static const char *shapes[] = {"12345", "alice", "it's", "a%20b", "x-y_z", "Zz9", "q=1&r=2"};
  return string(shapes[n % 7]) + std::to_string(n % 13);
}

// The policy (never ready, so every sample does the full readiness read and
// nothing leaves collecting), the domain and collecting arguments.
void reset_keys(const Setup &s) {
  redisContext *c = redis_open();
  rcmd(c,
       "HSET policy:bench:pipe sample_collecting_mode 2 hmm_engine 0 model_min_learn_time 1 "
       "sl_automatic_definitely 0");
  rcmd(c,
       "HSET domain_info:%u adomname bench policy_name pipe domain bench.example "
       "mysql_dbname %s",
       kDomain, s.db.c_str());
  for (int i = 0; i < s.threads; i++)
    rcmd(c,
         "HSET arg:%u:%u arg_learn_stat 1 events 0 start_time 0 normalcount 0 abnormalcount 0 "
         "urlid %u arg_name b%d",
         kDomain, arg_of(i), kUrl, i);
  redisFree(c);
}

void clear_keys(const Setup &s) {
  redisContext *c = redis_open();
  rcmd(c, "DEL policy:bench:pipe domain_info:%u", kDomain);
  for (int i = 0; i < s.threads; i++) rcmd(c, "DEL arg:%u:%u", kDomain, arg_of(i));
  redisFree(c);
}

MYSQL *sql_open() {
  MYSQL *m = mysql_init(nullptr);
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "latin1");
  auto env = [](const char *name, const char *fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
  };
  if (!mysql_real_connect(m, env("MLDB_HOST", "127.0.0.1"), env("MLDB_USER", "ml_daemon"),
                          env("MLDB_PASSWORD", "ml_daemon"), nullptr,
                          static_cast<unsigned>(atoi(env("MLDB_PORT", "3306"))), nullptr, 0)) {
    fprintf(stderr, "mariadb: %s\n", mysql_error(m));
    exit(2);
  }
  return m;
}

long sql_count(MYSQL *m, const string &q) {
  if (mysql_query(m, q.c_str()) != 0) return -1;
  MYSQL_RES *r = mysql_store_result(m);
  MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr;
  long v = row && row[0] ? atol(row[0]) : -1;
  if (r) mysql_free_result(r);
  return v;
}

void sql_run(MYSQL *m, const string &q) {
  mysql_query(m, q.c_str());
  if (MYSQL_RES *r = mysql_store_result(m)) mysql_free_result(r);
}

void truncate_tables(const Setup &s) {
  MYSQL *m = sql_open();
  for (int i = 0; i < 16; i++) {
    char t[128];
    snprintf(t, sizeof t, "delete from %s.ml_sample_%02d where arg_id >= 100", s.db.c_str(), i);
    sql_run(m, t);
    snprintf(t, sizeof t, "delete from %s.ml_sample_tmp_%02d where arg_id >= 100", s.db.c_str(), i);
    sql_run(m, t);
  }
  mysql_close(m);
}

// One sample's work as the processing thread does it, by hand.
void direct_sample(redisContext *c, MYSQL *m, const string &db, uint32_t arg, long n) {
  // What the receive thread does for the sample: pop it, find its policy.
  rcmd(c, "LPOP %s", kDirectList);
  rcmd(c, "HMGET domain_info:%u adomname policy_name", kDomain);
  rcmd(c, "HMGET arg:%u:%u arg_learn_stat events", kDomain, arg);
  rcmd(c, "HMGET domain_info:%u mysql_dbname", kDomain);
  const string v = value_of(n);
  char esc[64];
  mysql_real_escape_string(m, esc, v.data(), v.size());
  string pattern;  // any stable shape will do for the cost
  for (char ch : v)
    pattern += isalpha(static_cast<unsigned char>(ch)) ? '3' : isdigit(ch) ? '2' : '<';
  char t0[32], t1[32];
  snprintf(t0, sizeof t0, "ml_sample_%02u", arg % 16);
  snprintf(t1, sizeof t1, "ml_sample_tmp_%02u", arg % 16);
  const string a = std::to_string(arg);
  sql_run(m, "START TRANSACTION");
  sql_count(m, "select count(*) from " + db + "." + t0 + " where arg_id=" + a);
  sql_run(m, "insert into " + db + "." + t0 +
                 " (arg_id, sample_str, pattern, pattern_count, pattern_probability, "
                 "average_probability) values(" +
                 a + ", '" + esc + "', '" + pattern +
                 "', 1, 0.0, 0.0) ON DUPLICATE KEY UPDATE pattern_count=pattern_count+1;");
  sql_run(m, "insert into " + db + "." + t1 + " (arg_id,sample_str,pattern) values( " + a + ",'" +
                 esc + "','" + pattern + "')");
  const long tmp = sql_count(m, "select count(*) from " + db + "." + t1 + " where arg_id=" + a);
  if (tmp >= 2500)
    sql_run(m, "delete from " + db + "." + t1 + " where arg_id=" + a + " order by id limit " +
                   std::to_string(tmp - 2000) + ";");
  mysql_commit(m);
  rcmd(c, "HINCRBY arg:%u:%u normalcount 1", kDomain, arg);
  rcmd(c, "HMGET domain_info:%u adomname policy_name", kDomain);
  rcmd(c, "HMGET arg:%u:%u normalcount start_time", kDomain, arg);
}

double run_direct(const Setup &s, long samples) {
  std::vector<std::thread> workers;
  const auto t0 = clk::now();
  for (int i = 0; i < s.threads; i++)
    workers.emplace_back([&, i] {
      redisContext *c = redis_open();
      MYSQL *m = sql_open();
      for (long n = i; n < samples; n += s.threads) direct_sample(c, m, s.db, arg_of(i), n);
      mysql_close(m);
      redisFree(c);
      mysql_thread_end();
    });
  for (auto &w : workers) w.join();
  return static_cast<double>(samples) / std::chrono::duration<double>(clk::now() - t0).count();
}

// Pushes the samples round-robin over the arguments, pipelined.
void push_samples(const char *key, long samples, int threads) {
  redisContext *c = redis_open();
  long pending = 0;
  for (long n = 0; n < samples; n++) {
    sample_msg msg;
    const string v = value_of(n);
    sample_msg_fill(&msg, kDomain, kUrl, arg_of(static_cast<int>(n % threads)), v.data(),
                    static_cast<uint32_t>(v.size()));
    redisAppendCommand(c, "RPUSH %s %b", key, &msg, sizeof msg);
    if (++pending == 1000 || n + 1 == samples) {
      for (; pending > 0; pending--) {
        void *r = nullptr;
        if (redisGetReply(c, &r) == REDIS_OK) freeReplyObject(r);
      }
    }
  }
  redisFree(c);
}

long counted(redisContext *c, int threads) {
  long total = 0;
  for (int i = 0; i < threads; i++)
    total += rnum(c, "HGET arg:%u:%u normalcount", kDomain, arg_of(i));
  return total;
}

long rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

pid_t start_daemon(const char *bin, const string &root) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("ML_DAEMON_ROOT", root.c_str(), 1);
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    execl(bin, "ml_daemon", static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

void stop_daemon(pid_t pid) {
  kill(pid, SIGINT);
  waitpid(pid, nullptr, 0);
}

bool subscribed(redisContext *c) {
  for (int i = 0; i < 2000; i++) {
    auto *r = static_cast<redisReply *>(redisCommand(c, "PUBSUB NUMSUB channel1"));
    bool ok = r && r->type == REDIS_REPLY_ARRAY && r->elements == 2 && r->element[1]->integer > 0;
    if (r) freeReplyObject(r);
    if (ok) return true;
    usleep(10000);
  }
  return false;
}

// CPU time (user + system) of a process so far, in seconds; 0 when unknown.
double cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == string::npos) return 0.0;
  unsigned long long ut = 0, st = 0;
  // Fields after the command name: state is field 3, utime 14, stime 15.
  if (sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut,
             &st) != 2)
    return 0.0;
  return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The first process whose command name is comm, or -1.
pid_t pid_of(const char *comm) {
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
    const string name = e.path().filename().string();
    if (name.empty() || !isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::ifstream f(e.path() / "comm");
    string c;
    if (std::getline(f, c) && c == comm) return static_cast<pid_t>(atol(name.c_str()));
  }
  return -1;
}

// Where one daemon round's CPU went: microseconds per sample in the daemon,
// in MariaDB and in Redis (each server's whole CPU, so other clients count too).
struct cpu_split {
  double daemon = 0, mariadb = 0, redis = 0;
};

// One round through the running daemon: samples per second from the push to
// the last one counted.
double run_daemon(redisContext *c, const Setup &s, long samples) {
  const auto t0 = clk::now();
  push_samples(SAMPLE_LIST_KEY, samples, s.threads);
  while (counted(c, s.threads) < samples && clk::now() - t0 < std::chrono::seconds(120))
    usleep(2000);
  return static_cast<double>(counted(c, s.threads)) /
         std::chrono::duration<double>(clk::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pipeline_bench DAEMON_BIN ROOT DBNAME [SAMPLES] [ROUNDS]\n");
    return 1;
  }
  const char *bin = argv[1];
  const string root = argv[2];
  Setup s{argv[3], 0};
  const long samples = argc > 4 ? atol(argv[4]) : 6000;
  const int rounds = argc > 5 ? std::max(1, atoi(argv[5])) : 5;
  fw_set_root(root.c_str());
  // THREADS=N: the daemon (and the direct driver) run N processing threads,
  // through the CPU quota the daemon reads below its root.
  if (const char *t = getenv("THREADS")) {
    const long n = std::max(3L, atol(t));
    std::filesystem::create_directories(root + "/sys/fs/cgroup");
    std::ofstream(root + "/sys/fs/cgroup/cpu.max") << (n + 1) * 100000 << " 100000\n";
  }
  s.threads = static_cast<int>(get_thread_num(static_cast<unsigned>(get_cpus_from_cgroup())));
  printf("processing threads: %d (the daemon's thread_num on these CPUs)\n", s.threads);

  redisContext *c = redis_open();
  rcmd(c, "DEL %s", SAMPLE_LIST_KEY);
  reset_keys(s);  // the daemon loads the policy at start: it must exist by then
  pid_t pid = start_daemon(bin, root);
  if (!subscribed(c)) {
    fprintf(stderr, "the daemon did not start\n");
    stop_daemon(pid);
    return 2;
  }
  // Alternating rounds, so that both sides see the same machine; the daemon
  // runs (idle) through the direct driver's rounds, as it would in production.
  std::vector<double> directs, pipeds, ratios;
  std::vector<cpu_split> splits;
  for (int round = 1; round <= rounds; round++) {
    reset_keys(s);
    truncate_tables(s);
    push_samples(kDirectList, samples, s.threads);
    directs.push_back(run_direct(s, samples));
    reset_keys(s);
    truncate_tables(s);
    const pid_t db_pid = pid_of("mariadbd"), redis_pid = pid_of("redis-server");
    const double d0 = cpu_seconds(pid), m0 = cpu_seconds(db_pid), r0 = cpu_seconds(redis_pid);
    pipeds.push_back(run_daemon(c, s, samples));
    cpu_split cpu;
    cpu.daemon = (cpu_seconds(pid) - d0) * 1e6 / static_cast<double>(samples);
    cpu.mariadb = (cpu_seconds(db_pid) - m0) * 1e6 / static_cast<double>(samples);
    cpu.redis = (cpu_seconds(redis_pid) - r0) * 1e6 / static_cast<double>(samples);
    splits.push_back(cpu);
    ratios.push_back(pipeds.back() / directs.back());
    printf(
        "round %d: direct %6.0f samples/s, ml_daemon %6.0f samples/s, ratio %.2f; CPU per sample: "
        "daemon %.0f us, mariadbd %.0f us, redis-server %.0f us\n",
        round, directs.back(), pipeds.back(), ratios.back(), cpu.daemon, cpu.mariadb, cpu.redis);
  }
  const double ratio = median(ratios);
  printf("direct driver:  %8.0f samples/s (median of %d; %ld samples, %d connections)\n",
         median(directs), rounds, samples, s.threads);
  printf("ml_daemon:      %8.0f samples/s (median; arg:mlnsample to committed and counted)\n",
         median(pipeds));
  printf("ratio:          %8.2f (median of the rounds' ratios; target at least 0.90)\n", ratio);

  // Flood: 100,000 samples queued at once; the buckets bound what is held.
  const long flood = 100000;
  long peak = rss_kib(pid);
  std::thread pusher([&] { push_samples(SAMPLE_LIST_KEY, flood, s.threads); });
  const auto f0 = clk::now();
  do {
    peak = std::max(peak, rss_kib(pid));
    usleep(20000);
  } while (clk::now() - f0 < std::chrono::seconds(3) ||
           (rnum(c, "LLEN %s", SAMPLE_LIST_KEY) > 0 && clk::now() - f0 < std::chrono::seconds(60)));
  pusher.join();
  peak = std::max(peak, rss_kib(pid));
  const long bound = (static_cast<long>(s.threads) * 4096 * SAMPLE_MSG_LEN) / 1024 + 64 * 1024;
  printf("flood RSS peak: %8ld KiB (bound %ld KiB = %d x 4096 messages + 64 MiB) %s\n", peak, bound,
         s.threads, peak < bound ? "ok" : "OVER");
  stop_daemon(pid);
  rcmd(c, "DEL %s", SAMPLE_LIST_KEY);
  redisFree(c);
  clear_keys(s);
  c = redis_open();
  rcmd(c, "DEL %s", kDirectList);
  redisFree(c);
  return ratio >= 0.9 && peak < bound ? 0 : 3;
}
