// Sample pipeline throughput: the sustained rate of the ml_daemon binary, from
// arg:mlnsample to committed and counted, against two direct drivers of the
// same work on as many connection pairs as the daemon has processing threads:
//
// - per sample: each sample's Redis commands (its pop and policy read as the
//   receive thread does them, then the processing thread's) and one SQL
//   transaction per sample, as the daemon stored samples when this benchmark
//   was written;
// - batched: up to BATCH samples per pop, stored in one transaction of
//   multi-row statements (the counts and the trim once per argument), their
//   counters raised in one pipelined round trip. This is the ceiling a
//   daemon that takes and stores its samples in batches is compared with.
//
// A burst larger than the daemon's queues (thread_num x SAMPLES_PER_BUCKET)
// is partly dropped at the limit and the time to count the rest says nothing
// about the daemon, so the list is kept topped up instead: a feeder thread
// watches its length and pushes a chunk whenever it falls below a low mark.
// The list never runs dry, the daemon's queues stay at their limit and its
// processing threads are what limit the rate. The rate is read over a steady
// window (WINDOW s, default 10) that starts WARMUP s (default 2) after the
// first sample is counted and ends before the list is taken away; what the
// daemon dropped is pushed - counted - left once its queues have drained.
// The direct drivers read from lists of their own (one per thread, as the
// daemon's buckets are one per thread) kept topped up the same way.
//
// Each round runs, for the plain traffic and then for the repeated traffic
// (every value sent twice in a row, as the GET/POST twins of real traffic):
// the per-sample driver, the batched driver, the daemon. The daemon runs (idle)
// through the drivers' turns, as it would in production. CPU per sample is
// read from /proc over the same window: the daemon's process, the drivers'
// worker threads, and the whole mariadbd and redis-server (found by their
// listening sockets in this network namespace, so other clients they serve
// meanwhile count too). Medians over the rounds close the run, each with its
// spread (lowest to highest).
//
//   pipeline_bench DAEMON_BIN ROOT DBNAME [SAMPLES] [ROUNDS]
//
// SAMPLES: the steady window also lasts until at least this many samples
// were counted in it (0, the default: WINDOW seconds only). ROUNDS: default 5.
// Environment: THREADS=N processing threads (default: the daemon's own
// count for these CPUs), BATCH (128), WINDOW (10), WARMUP (2),
// VARIANTS=plain|repeated|both (both), REDIS_PID / MARIADB_PID to name the
// servers when their sockets cannot be looked up.
//
// Run it pinned (taskset) so that every figure shares the same CPUs; the
// daemon inherits the pinning. Needs the private Redis and MariaDB, and
// DBNAME provisioned (run.sh does all of this). The list arg:mlnsample must
// not be popped by anyone else meanwhile.
#include <hiredis/hiredis.h>
#include <mysql.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/ml_daemon.h"
#include "intake/sample_bucket.h"
#include "intake/sample_msg.h"
#include "platform/framework/framework.h"
#include "process/sample_store.h"
#include "services/pattern.h"

namespace {

using clk = std::chrono::steady_clock;
using std::string;

constexpr uint32_t kDomain = 990001;
constexpr uint32_t kUrl = 5;
constexpr const char *kDirectPrefix = "bench:pipeline:direct:";
// Messages per RPUSH of the feeder: in chunks a message costs Redis far less
// than with an RPUSH of its own, so the servers' CPU is mostly the pipeline's.
constexpr int kPushChunk = 128;
// Top-up marks of each list. The low mark is 200 ms of flow at 20,000
// samples/s: far more than the feeder's reaction time (its nap between
// length polls and one round trip) even when it waits for a CPU. The nap
// keeps the polls' own Redis CPU small beside a slow pipeline's.
constexpr useconds_t kFeederNapUs = 5000;
constexpr long kLowMark = 4096;
constexpr long kHighMark = 8192;

struct Options {
  string db;
  int threads = 3;
  int batch = 128;
  double warmup = 2.0;
  double window = 10.0;
  long min_samples = 0;
};

double seconds_since(clk::time_point t) {
  return std::chrono::duration<double>(clk::now() - t).count();
}

double env_double(const char *name, double fallback) {
  const char *v = getenv(name);
  return v && *v ? atof(v) : fallback;
}

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

// Reads the replies of n pipelined commands and drops them; the count of
// replies that were not errors.
int drain_replies(redisContext *c, int n) {
  int ok = 0;
  for (; n > 0; n--) {
    void *r = nullptr;
    if (redisGetReply(c, &r) != REDIS_OK) return ok;
    if (static_cast<redisReply *>(r)->type != REDIS_REPLY_ERROR) ok++;
    freeReplyObject(r);
  }
  return ok;
}

// Argument i of the run: each one lands in its own processing thread.
uint32_t arg_of(int i) { return 100 + static_cast<uint32_t>(i); }

// The sample values: a handful of shapes, so patterns repeat as in traffic.
string value_of(long n) {
  static const char *shapes[] = {"12345", "alice", "it's", "a%20b", "x-y_z", "Zz9", "q=1&r=2"};
  return string(shapes[n % 7]) + std::to_string(n % 13);
}

// What is pushed: the arguments take turns, and each argument's values run
// through value_of in its own order. Repeated traffic sends every value twice
// in a row to the same argument, as a form that is both fetched and posted.
struct Traffic {
  int threads;
  bool repeated;
  const char *name() const { return repeated ? "repeated" : "plain"; }
  // The j-th message of argument i.
  string value(int i, long j) const {
    const long n = repeated ? j / 2 : j;
    return value_of(i + n * threads);
  }
  // The k-th message of one list shared by every argument: its argument and
  // its place in that argument's own order (twins stay next to each other).
  void of_shared(long k, int *i, long *j) const {
    if (!repeated) {
      *i = static_cast<int>(k % threads);
      *j = k / threads;
      return;
    }
    const long pair = k / 2;
    *i = static_cast<int>(pair % threads);
    *j = 2 * (pair / threads) + k % 2;
  }
};

// The policy (never ready, so every sample does the full readiness read and
// nothing leaves collecting), the domain and collecting arguments.
void reset_keys(const Options &o) {
  redisContext *c = redis_open();
  rcmd(c,
       "HSET policy:bench:pipe sample_collecting_mode 2 hmm_engine 0 model_min_learn_time 1 "
       "sl_automatic_definitely 0");
  rcmd(c,
       "HSET domain_info:%u adomname bench policy_name pipe domain bench.example "
       "mysql_dbname %s",
       kDomain, o.db.c_str());
  for (int i = 0; i < o.threads; i++)
    rcmd(c,
         "HSET arg:%u:%u arg_learn_stat 1 events 0 start_time 0 normalcount 0 abnormalcount 0 "
         "urlid %u arg_name b%d",
         kDomain, arg_of(i), kUrl, i);
  redisFree(c);
}

void clear_keys(const Options &o) {
  redisContext *c = redis_open();
  rcmd(c, "DEL policy:bench:pipe domain_info:%u", kDomain);
  for (int i = 0; i < o.threads; i++) {
    rcmd(c, "DEL arg:%u:%u", kDomain, arg_of(i));
    rcmd(c, "DEL %s%d", kDirectPrefix, i);
  }
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

// Runs a statement; a failure is counted, since a driver that fails its
// statements would be measured doing less than the daemon.
std::atomic<long> sql_failures{0};
void sql_run(MYSQL *m, const string &q) {
  if (mysql_query(m, q.c_str()) != 0) sql_failures.fetch_add(1, std::memory_order_relaxed);
  if (MYSQL_RES *r = mysql_store_result(m)) mysql_free_result(r);
}

void truncate_tables(const Options &o) {
  MYSQL *m = sql_open();
  for (int i = 0; i < 16; i++) {
    char t[128];
    snprintf(t, sizeof t, "delete from %s.ml_sample_%02d where arg_id >= 100", o.db.c_str(), i);
    sql_run(m, t);
    snprintf(t, sizeof t, "delete from %s.ml_sample_tmp_%02d where arg_id >= 100", o.db.c_str(), i);
    sql_run(m, t);
  }
  mysql_close(m);
}

void table_names(uint32_t arg, char *t0, char *t1) {
  snprintf(t0, 32, "ml_sample_%02u", arg % 16);
  snprintf(t1, 32, "ml_sample_tmp_%02u", arg % 16);
}

// What the run stored: the sum of its arguments' pattern counts, which must
// equal what was counted (every stored sample counts once).
long stored_samples(const Options &o) {
  MYSQL *m = sql_open();
  long total = 0;
  for (int i = 0; i < o.threads; i++) {
    char t0[32], t1[32];
    table_names(arg_of(i), t0, t1);
    const string a = std::to_string(arg_of(i));
    total += sql_count(
        m, "select coalesce(sum(pattern_count), 0) from " + o.db + "." + t0 + " where arg_id=" + a);
  }
  mysql_close(m);
  return total;
}

// A popped message's value, escaped for SQL, and its pattern as the daemon
// generalises it.
struct Prepared {
  uint32_t arg;
  string escaped;
  string pattern;
};

bool prepare(MYSQL *m, const char *data, size_t len, Prepared *p) {
  if (len != SAMPLE_MSG_LEN) return false;
  sample_msg msg;
  memcpy(&msg, data, sizeof msg);
  const uint32_t n = std::min(msg.arg_len, SAMPLE_VALUE_MAX);
  char esc[2 * SAMPLE_VALUE_MAX + 1];
  const unsigned long e =
      mysql_real_escape_string(m, esc, reinterpret_cast<const char *>(msg.arg_value), n);
  char pattern[257];
  if (ml_pattern_text(msg.arg_value, n, pattern, sizeof pattern) != 0) return false;
  p->arg = msg.arg_id;
  p->escaped.assign(esc, e);
  p->pattern = pattern;
  return true;
}

// One popped sample's work as the daemon did it, by hand: the receive
// thread's policy read, the state check, the domain record, one transaction,
// the counter and the readiness read (with the domain record read again, as
// it then was). The pop, one message, is the caller's.
void direct_sample(redisContext *c, MYSQL *m, const string &db, const Prepared &p) {
  rcmd(c, "HMGET domain_info:%u adomname policy_name", kDomain);
  rcmd(c, "HMGET arg:%u:%u arg_learn_stat events", kDomain, p.arg);
  rcmd(c, "HMGET domain_info:%u mysql_dbname", kDomain);
  char t0[32], t1[32];
  table_names(p.arg, t0, t1);
  const string a = std::to_string(p.arg);
  sql_run(m, "START TRANSACTION");
  sql_count(m, "select count(*) from " + db + "." + t0 + " where arg_id=" + a);
  sql_run(m, "insert into " + db + "." + t0 +
                 " (arg_id, sample_str, pattern, pattern_count, pattern_probability, "
                 "average_probability) values(" +
                 a + ", '" + p.escaped + "', '" + p.pattern +
                 "', 1, 0.0, 0.0) ON DUPLICATE KEY UPDATE pattern_count=pattern_count+1;");
  sql_run(m, "insert into " + db + "." + t1 + " (arg_id,sample_str,pattern) values( " + a + ",'" +
                 p.escaped + "','" + p.pattern + "')");
  const long tmp = sql_count(m, "select count(*) from " + db + "." + t1 + " where arg_id=" + a);
  if (tmp >= SAMPLE_TMP_TRIM_AT)
    sql_run(m, "delete from " + db + "." + t1 + " where arg_id=" + a + " order by id limit " +
                   std::to_string(tmp - SAMPLE_TMP_KEEP) + ";");
  if (mysql_commit(m) != 0) sql_failures.fetch_add(1, std::memory_order_relaxed);
  rcmd(c, "HINCRBY arg:%u:%u normalcount 1", kDomain, p.arg);
  rcmd(c, "HMGET domain_info:%u adomname policy_name", kDomain);
  rcmd(c, "HMGET arg:%u:%u normalcount start_time", kDomain, p.arg);
}

// One popped batch's work as a batched daemon needs it at least (the pop,
// one LPOP of up to BATCH messages, is the caller's): one policy read for the
// batch (the receive thread's), the state checks and the domain record in one
// pipelined round trip, one transaction (per argument: the pattern count, one
// multi-row insert into each table, the raw-sample count and the trim), then
// the counters and readiness reads in one pipelined round trip. The bench's
// arguments stay far below the pattern cap, so the cap's per-pattern path is
// not needed here.
void direct_batch(redisContext *c, MYSQL *m, const string &db, const std::vector<Prepared> &batch) {
  std::vector<uint32_t> args;
  for (const auto &p : batch)
    if (std::find(args.begin(), args.end(), p.arg) == args.end()) args.push_back(p.arg);
  rcmd(c, "HMGET domain_info:%u adomname policy_name", kDomain);
  for (uint32_t a : args)
    redisAppendCommand(c, "HMGET arg:%u:%u arg_learn_stat events", kDomain, a);
  redisAppendCommand(c, "HMGET domain_info:%u mysql_dbname", kDomain);
  drain_replies(c, static_cast<int>(args.size()) + 1);

  std::vector<long> counts;
  sql_run(m, "START TRANSACTION");
  for (uint32_t a : args) {
    char t0[32], t1[32];
    table_names(a, t0, t1);
    const string as = std::to_string(a);
    sql_count(m, "select count(*) from " + db + "." + t0 + " where arg_id=" + as);
    string ins = "insert into " + db + "." + t0 +
                 " (arg_id, sample_str, pattern, pattern_count, pattern_probability, "
                 "average_probability) values";
    string tmp = "insert into " + db + "." + t1 + " (arg_id,sample_str,pattern) values";
    ins.reserve(ins.size() + batch.size() * 64);
    tmp.reserve(tmp.size() + batch.size() * 48);
    long n = 0;
    for (const auto &p : batch) {
      if (p.arg != a) continue;
      const char *sep = n++ ? "," : "";
      ins += sep;
      ins += "(" + as + ",'" + p.escaped + "','" + p.pattern + "',1,0.0,0.0)";
      tmp += sep;
      tmp += "(" + as + ",'" + p.escaped + "','" + p.pattern + "')";
    }
    ins += " ON DUPLICATE KEY UPDATE pattern_count=pattern_count+1";
    sql_run(m, ins);
    sql_run(m, tmp);
    const long rows = sql_count(m, "select count(*) from " + db + "." + t1 + " where arg_id=" + as);
    if (rows >= SAMPLE_TMP_TRIM_AT)
      sql_run(m, "delete from " + db + "." + t1 + " where arg_id=" + as + " order by id limit " +
                     std::to_string(rows - SAMPLE_TMP_KEEP));
    counts.push_back(n);
  }
  if (mysql_commit(m) != 0) sql_failures.fetch_add(1, std::memory_order_relaxed);

  for (size_t i = 0; i < args.size(); i++) {
    redisAppendCommand(c, "HINCRBY arg:%u:%u normalcount %ld", kDomain, args[i], counts[i]);
    redisAppendCommand(c, "HMGET arg:%u:%u normalcount start_time", kDomain, args[i]);
  }
  drain_replies(c, static_cast<int>(args.size()) * 2);
}

// Keeps lists topped up from its own thread: each list below the low mark is
// filled to the high mark, in RPUSH chunks, all pipelined. One list: it is
// shared by every argument (the daemon's arg:mlnsample); several: list i
// holds argument i's messages only.
class Feeder {
 public:
  Feeder(const Traffic &t, std::vector<string> keys) : traffic_(t), keys_(std::move(keys)) {
    next_.assign(keys_.size(), 0);
    redisContext *c = redis_open();
    for (const auto &k : keys_) rcmd(c, "DEL %s", k.c_str());
    redisFree(c);
  }
  ~Feeder() { stop(); }
  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  long pushed() const { return pushed_.load(); }
  // From now on, remember the shortest list seen (-1: none seen yet).
  void watch() {
    min_len_.store(-1);
    watching_.store(true);
  }
  long unwatch() {
    watching_.store(false);
    return min_len_.load();
  }

 private:
  void run() {
    redisContext *c = redis_open();
    std::vector<sample_msg> chunk(kPushChunk);
    std::vector<const char *> argv(kPushChunk + 2);
    std::vector<size_t> argl(kPushChunk + 2);
    while (!stop_.load()) {
      for (const auto &k : keys_) redisAppendCommand(c, "LLEN %s", k.c_str());
      std::vector<long> lens;
      for (size_t i = 0; i < keys_.size(); i++) {
        void *r = nullptr;
        if (redisGetReply(c, &r) != REDIS_OK) {
          fprintf(stderr, "feeder: redis connection lost\n");
          redisFree(c);
          return;
        }
        lens.push_back(static_cast<long>(static_cast<redisReply *>(r)->integer));
        freeReplyObject(r);
      }
      if (watching_.load()) {
        const long shortest = *std::min_element(lens.begin(), lens.end());
        const long seen = min_len_.load();
        if (seen < 0 || shortest < seen) min_len_.store(shortest);
      }
      int sent = 0;
      std::vector<int> sizes;
      for (size_t li = 0; li < keys_.size(); li++) {
        if (lens[li] >= kLowMark) continue;
        for (long want = kHighMark - lens[li]; want > 0; want -= kPushChunk) {
          const int n = static_cast<int>(std::min<long>(want, kPushChunk));
          argv[0] = "RPUSH";
          argl[0] = 5;
          argv[1] = keys_[li].c_str();
          argl[1] = keys_[li].size();
          for (int m = 0; m < n; m++) {
            int i;
            long j;
            if (keys_.size() == 1) {
              traffic_.of_shared(next_[li]++, &i, &j);
            } else {
              i = static_cast<int>(li);
              j = next_[li]++;
            }
            const string v = traffic_.value(i, j);
            sample_msg_fill(&chunk[m], kDomain, kUrl, arg_of(i), v.data(),
                            static_cast<uint32_t>(v.size()));
            argv[m + 2] = reinterpret_cast<const char *>(&chunk[m]);
            argl[m + 2] = sizeof(sample_msg);
          }
          // The chunk's bytes are copied into the output buffer here, so the
          // next chunk may reuse them.
          redisAppendCommandArgv(c, n + 2, argv.data(), argl.data());
          sizes.push_back(n);
          sent++;
        }
      }
      for (int n : sizes)
        if (drain_replies(c, 1) == 1) pushed_.fetch_add(n);
      if (sent == 0) usleep(kFeederNapUs);
    }
    redisFree(c);
  }

  Traffic traffic_;
  std::vector<string> keys_;
  std::vector<long> next_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> watching_{false};
  std::atomic<long> min_len_{-1};
  std::atomic<long> pushed_{0};
};

// Takes a list atomically: its length, and nothing is left in it.
long take_list(redisContext *c, const char *key) {
  redisAppendCommand(c, "MULTI");
  redisAppendCommand(c, "LLEN %s", key);
  redisAppendCommand(c, "DEL %s", key);
  redisAppendCommand(c, "EXEC");
  drain_replies(c, 3);
  void *r = nullptr;
  long n = -1;
  if (redisGetReply(c, &r) == REDIS_OK) {
    auto *x = static_cast<redisReply *>(r);
    if (x->type == REDIS_REPLY_ARRAY && x->elements == 2)
      n = static_cast<long>(x->element[0]->integer);
    freeReplyObject(r);
  }
  return n;
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

// CPU time (user + system, every thread) of a process so far, in seconds;
// 0 when unknown.
double cpu_seconds(pid_t pid) {
  if (pid <= 0) return 0.0;
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

// CPU time of threads of this process so far, in seconds.
double thread_cpu_seconds(std::vector<std::thread> &threads) {
  double total = 0;
  for (auto &t : threads) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(t.native_handle(), &id) == 0 && clock_gettime(id, &ts) == 0)
      total += static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
  return total;
}

// The process listening on 127.0.0.1:port in this network namespace: its
// socket's inode from /proc/self/net/tcp, then the process holding it. A
// search by command name would find servers of other namespaces (another
// checkout's private services) just as well. -1 when not found.
pid_t listener_pid(unsigned port) {
  std::ifstream tcp("/proc/self/net/tcp");
  string line;
  unsigned long inode = 0;
  std::getline(tcp, line);  // the header
  while (std::getline(tcp, line)) {
    unsigned addr = 0, lport = 0, state = 0;
    unsigned long ino = 0;
    if (sscanf(line.c_str(), " %*d: %x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*d %*d %lu", &addr,
               &lport, &state, &ino) == 4 &&
        lport == port && state == 0x0A) {
      inode = ino;
      break;
    }
  }
  if (inode == 0) return -1;
  const string want = "socket:[" + std::to_string(inode) + "]";
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
    const string name = e.path().filename().string();
    if (name.empty() || !isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::error_code fec;
    for (const auto &fd : std::filesystem::directory_iterator(e.path() / "fd", fec)) {
      std::error_code lec;
      if (std::filesystem::read_symlink(fd.path(), lec).string() == want)
        return static_cast<pid_t>(atol(name.c_str()));
    }
  }
  return -1;
}

pid_t server_pid(const char *env_name, unsigned port) {
  const char *v = getenv(env_name);
  return v && *v ? static_cast<pid_t>(atol(v)) : listener_pid(port);
}

struct Servers {
  pid_t mariadb = -1, redis = -1;
};

// CPU readings at one instant: the measured side (daemon or driver threads)
// and both servers.
struct CpuMark {
  double own = 0, mariadb = 0, redis = 0;
};

CpuMark cpu_mark(const Servers &s, const std::function<double()> &own) {
  return {own(), cpu_seconds(s.mariadb), cpu_seconds(s.redis)};
}

// One measured run.
struct Run {
  double rate = 0;     // samples per second over the steady window
  double seconds = 0;  // the window's length
  long samples = 0;    // counted in the window
  long pushed = 0;     // daemon: pushed in the whole run
  long left = -1;      // daemon: still in the list when the feed stopped
  long dropped = -1;   // daemon: pushed - counted - left after the drain
  long min_list = -1;  // shortest list seen in the window
  long dry_pops = 0;   // drivers: pops that found their list empty
  long total = 0;      // done (drivers) or counted (daemon) in the whole run
  long stored = 0;     // the pattern counts in the sample tables after the run
  double own_us = 0, mariadb_us = 0, redis_us = 0;  // CPU per sample
  double cpu_sum() const { return own_us + mariadb_us + redis_us; }
};

void set_cpu(Run *r, const CpuMark &a, const CpuMark &b) {
  const double n = static_cast<double>(std::max(1L, r->samples));
  r->own_us = (b.own - a.own) * 1e6 / n;
  r->mariadb_us = (b.mariadb - a.mariadb) * 1e6 / n;
  r->redis_us = (b.redis - a.redis) * 1e6 / n;
}

// Waits out the warm-up, then measures over the steady window: count() is
// what has been done so far, own() the measured side's CPU, tick() runs
// every 100 ms (the daemon's memory is sampled there).
Run measure(const Options &o, const Servers &s, Feeder &feed, const std::function<long()> &count,
            const std::function<double()> &own, const std::function<void()> &tick) {
  const auto w0 = clk::now();
  while (seconds_since(w0) < o.warmup) {
    tick();
    usleep(100000);
  }
  Run r;
  feed.watch();
  const CpuMark c0 = cpu_mark(s, own);
  const long n0 = count();
  const auto t0 = clk::now();
  for (;;) {
    tick();
    usleep(100000);
    const double t = seconds_since(t0);
    if (t >= o.window && (o.min_samples <= 0 || count() - n0 >= o.min_samples)) break;
    if (t >= 10 * o.window + 60) break;  // SAMPLES too many for this rate
  }
  const long n1 = count();
  r.seconds = seconds_since(t0);
  const CpuMark c1 = cpu_mark(s, own);
  r.min_list = feed.unwatch();
  r.samples = n1 - n0;
  r.rate = static_cast<double>(r.samples) / r.seconds;
  set_cpu(&r, c0, c1);
  return r;
}

// One run of a direct driver: its lists are kept topped up while each
// thread drains its own.
Run run_direct(const Options &o, const Servers &s, const Traffic &t, bool batched) {
  reset_keys(o);
  truncate_tables(o);
  std::vector<string> keys;
  for (int i = 0; i < o.threads; i++) keys.push_back(kDirectPrefix + std::to_string(i));
  Feeder feed(t, keys);
  feed.start();
  while (feed.pushed() < static_cast<long>(o.threads) * kLowMark) usleep(1000);
  std::atomic<bool> stop{false};
  std::vector<std::atomic<long>> done(static_cast<size_t>(o.threads));
  std::atomic<long> dry{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < o.threads; i++)
    workers.emplace_back([&, i] {
      redisContext *c = redis_open();
      MYSQL *m = sql_open();
      const string &key = keys[static_cast<size_t>(i)];
      std::vector<Prepared> batch;
      while (!stop.load(std::memory_order_relaxed)) {
        auto *r =
            static_cast<redisReply *>(batched ? redisCommand(c, "LPOP %s %d", key.c_str(), o.batch)
                                              : redisCommand(c, "LPOP %s", key.c_str()));
        batch.clear();
        if (r && r->type == REDIS_REPLY_STRING) {
          batch.emplace_back();
          if (!prepare(m, r->str, r->len, &batch.back())) batch.pop_back();
        } else if (r && r->type == REDIS_REPLY_ARRAY) {
          for (size_t e = 0; e < r->elements; e++) {
            batch.emplace_back();
            if (!prepare(m, r->element[e]->str, r->element[e]->len, &batch.back()))
              batch.pop_back();
          }
        }
        if (r) freeReplyObject(r);
        if (batch.empty()) {
          dry.fetch_add(1);
          usleep(200);
          continue;
        }
        if (batched)
          direct_batch(c, m, o.db, batch);
        else
          direct_sample(c, m, o.db, batch.front());
        done[static_cast<size_t>(i)].fetch_add(static_cast<long>(batch.size()),
                                               std::memory_order_relaxed);
      }
      mysql_close(m);
      redisFree(c);
      mysql_thread_end();
    });
  auto count = [&] {
    long n = 0;
    for (auto &d : done) n += d.load(std::memory_order_relaxed);
    return n;
  };
  Run r = measure(
      o, s, feed, count, [&] { return thread_cpu_seconds(workers); }, [] {});
  stop.store(true);
  for (auto &w : workers) w.join();
  r.dry_pops = dry.load();
  r.total = count();
  r.stored = stored_samples(o);
  feed.stop();
  redisContext *c = redis_open();
  for (const auto &k : keys) rcmd(c, "DEL %s", k.c_str());
  redisFree(c);
  return r;
}

// One run through the running daemon: arg:mlnsample is kept topped up, the
// rate is read over the steady window, then the list is taken away and the
// daemon's queues drain before what it dropped is counted.
Run run_daemon(const Options &o, const Servers &s, const Traffic &t, pid_t pid, long *rss_peak) {
  reset_keys(o);
  truncate_tables(o);
  redisContext *c = redis_open();
  Feeder feed(t, {SAMPLE_LIST_KEY});
  feed.start();
  const auto f0 = clk::now();
  while (counted(c, o.threads) == 0 && seconds_since(f0) < 60) usleep(2000);
  auto tick = [&] { *rss_peak = std::max(*rss_peak, rss_kib(pid)); };
  Run r = measure(
      o, s, feed, [&] { return counted(c, o.threads); }, [&] { return cpu_seconds(pid); }, tick);
  feed.stop();
  r.pushed = feed.pushed();
  r.left = take_list(c, SAMPLE_LIST_KEY);
  // Drained when the count stands still for a second.
  long last = counted(c, o.threads);
  auto still = clk::now();
  const auto d0 = clk::now();
  while (seconds_since(still) < 1.0 && seconds_since(d0) < 300) {
    tick();
    usleep(100000);
    const long now = counted(c, o.threads);
    if (now != last) {
      last = now;
      still = clk::now();
    }
  }
  r.dropped = r.pushed - last - std::max(0L, r.left);
  r.total = last;
  r.stored = stored_samples(o);
  redisFree(c);
  return r;
}

// The run's Redis CPU spent on the feed alone (the RPUSH chunks and freeing
// the messages), which every figure's Redis share includes: the proxy pays
// it in production whatever the daemon does.
double feed_redis_us(const Servers &s, const Options &o) {
  redisContext *c = redis_open();
  const char *key = "bench:pipeline:feedcost";
  const long n = 64 * 1024;
  const Traffic t{o.threads, false};
  std::vector<sample_msg> chunk(kPushChunk);
  std::vector<const char *> argv(kPushChunk + 2);
  std::vector<size_t> argl(kPushChunk + 2);
  const double r0 = cpu_seconds(s.redis);
  for (long k = 0; k < n; k += kPushChunk) {
    argv[0] = "RPUSH";
    argl[0] = 5;
    argv[1] = key;
    argl[1] = strlen(key);
    for (int m = 0; m < kPushChunk; m++) {
      int i;
      long j;
      t.of_shared(k + m, &i, &j);
      const string v = t.value(i, j);
      sample_msg_fill(&chunk[m], kDomain, kUrl, arg_of(i), v.data(),
                      static_cast<uint32_t>(v.size()));
      argv[m + 2] = reinterpret_cast<const char *>(&chunk[m]);
      argl[m + 2] = sizeof(sample_msg);
    }
    redisAppendCommandArgv(c, kPushChunk + 2, argv.data(), argl.data());
    if ((k / kPushChunk) % 16 == 15) drain_replies(c, 16);
  }
  drain_replies(c, static_cast<int>((n / kPushChunk) % 16));
  rcmd(c, "DEL %s", key);
  const double r1 = cpu_seconds(s.redis);
  redisFree(c);
  return (r1 - r0) * 1e6 / static_cast<double>(n);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0.0;
  const size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

// "median [lowest - highest]" of a row of figures.
string spread(const std::vector<double> &v, const char *fmt) {
  if (v.empty()) return "-";
  char a[32], b[32], m[32], out[128];
  snprintf(m, sizeof m, fmt, median(v));
  snprintf(a, sizeof a, fmt, *std::min_element(v.begin(), v.end()));
  snprintf(b, sizeof b, fmt, *std::max_element(v.begin(), v.end()));
  snprintf(out, sizeof out, "%s [%s - %s]", m, a, b);
  return out;
}

// Every round's runs of one traffic variant.
struct Rows {
  std::vector<Run> single, batch, daemon;
};

template <typename F>
std::vector<double> column(const std::vector<Run> &runs, F f) {
  std::vector<double> v;
  for (const auto &r : runs) v.push_back(f(r));
  return v;
}

void print_run(int round, const Traffic &t, const char *who, const Run &r) {
  printf(
      "round %d %-8s %-10s %6.0f samples/s over %4.1f s, cpu %4.0f + %4.0f + %4.0f = %5.0f us, "
      "list min %5ld",
      round, t.name(), who, r.rate, r.seconds, r.own_us, r.mariadb_us, r.redis_us, r.cpu_sum(),
      r.min_list);
  if (r.pushed > 0)
    printf(", dropped %ld of %ld pushed (%ld left in the list)", r.dropped, r.pushed, r.left);
  if (r.dry_pops > 0) printf(", %ld empty pops", r.dry_pops);
  if (r.stored != r.total)
    printf(", STORED %ld BUT %s %ld", r.stored, r.pushed > 0 ? "COUNTED" : "DONE", r.total);
  printf("\n");
  fflush(stdout);
}

// The summary of one variant; true when the daemon meets its goals.
bool print_summary(const Traffic &t, const Rows &rows, const Options &o) {
  auto rate = [](const Run &r) { return r.rate; };
  auto sum = [](const Run &r) { return r.cpu_sum(); };
  std::vector<double> ratio, ratio_single;
  for (size_t i = 0; i < rows.daemon.size(); i++) {
    ratio.push_back(rows.daemon[i].rate / rows.batch[i].rate);
    ratio_single.push_back(rows.daemon[i].rate / rows.single[i].rate);
  }
  printf("\n%s traffic, median [lowest - highest] of %zu rounds, %d threads, batch %d:\n", t.name(),
         rows.daemon.size(), o.threads, o.batch);
  printf("  samples/s     per-sample driver  %s\n",
         spread(column(rows.single, rate), "%.0f").c_str());
  printf("  samples/s     batched driver     %s\n",
         spread(column(rows.batch, rate), "%.0f").c_str());
  printf("  samples/s     ml_daemon          %s\n",
         spread(column(rows.daemon, rate), "%.0f").c_str());
  printf("  ratio         daemon/batched     %s\n", spread(ratio, "%.2f").c_str());
  printf("  ratio         daemon/per-sample  %s\n", spread(ratio_single, "%.2f").c_str());
  printf(
      "  dropped       by the daemon      %s (per run, of %s pushed)\n",
      spread(column(rows.daemon, [](const Run &r) { return double(r.dropped); }), "%.0f").c_str(),
      spread(column(rows.daemon, [](const Run &r) { return double(r.pushed); }), "%.0f").c_str());
  printf("  CPU us/sample ml_daemon          %s\n",
         spread(column(rows.daemon, [](const Run &r) { return r.own_us; }), "%.0f").c_str());
  printf("  CPU us/sample mariadbd (daemon)  %s\n",
         spread(column(rows.daemon, [](const Run &r) { return r.mariadb_us; }), "%.0f").c_str());
  printf("  CPU us/sample redis (daemon)     %s\n",
         spread(column(rows.daemon, [](const Run &r) { return r.redis_us; }), "%.0f").c_str());
  printf("  CPU us/sample sum (daemon)       %s\n",
         spread(column(rows.daemon, sum), "%.0f").c_str());
  printf("  CPU us/sample sum (batched)      %s (driver+mariadbd+redis)\n",
         spread(column(rows.batch, sum), "%.0f").c_str());
  printf("  CPU us/sample sum (per-sample)   %s (driver+mariadbd+redis)\n",
         spread(column(rows.single, sum), "%.0f").c_str());
  long dry = 0;
  for (const auto *runs : {&rows.single, &rows.batch, &rows.daemon})
    for (const auto &r : *runs) dry += r.min_list == 0 || r.dry_pops > 0;
  if (dry)
    printf("  WARNING: a list ran dry in %ld window(s): those figures are the feed's\n", dry);
  const double d = median(column(rows.daemon, rate)), q = median(ratio);
  const double cpu = median(column(rows.daemon, sum));
  const bool ok = d >= 20000 && o.window >= 10 && q >= 0.9 && cpu < 100;
  printf(
      "  goals: >= 20000 samples/s over >= 10 s: %s; daemon/batched >= 0.90: %s; CPU < 100 us: "
      "%s\n",
      d >= 20000 && o.window >= 10 ? "met" : "MISSED", q >= 0.9 ? "met" : "MISSED",
      cpu < 100 ? "met" : "MISSED");
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pipeline_bench DAEMON_BIN ROOT DBNAME [SAMPLES] [ROUNDS]\n");
    return 1;
  }
  const char *bin = argv[1];
  const string root = argv[2];
  Options o;
  o.db = argv[3];
  o.min_samples = argc > 4 ? atol(argv[4]) : 0;
  const int rounds = argc > 5 ? std::max(1, atoi(argv[5])) : 5;
  o.batch = std::max(1, static_cast<int>(env_double("BATCH", 128)));
  o.window = std::max(1.0, env_double("WINDOW", 10));
  o.warmup = std::max(0.0, env_double("WARMUP", 2));
  const string variants = getenv("VARIANTS") ? getenv("VARIANTS") : "both";
  std::vector<Traffic> traffics;
  fw_set_root(root.c_str());
  // THREADS=N: the daemon (and the direct drivers) run N processing threads,
  // through the CPU quota the daemon reads below its root.
  if (const char *t = getenv("THREADS")) {
    const long n = std::max(3L, atol(t));
    std::filesystem::create_directories(root + "/sys/fs/cgroup");
    std::ofstream(root + "/sys/fs/cgroup/cpu.max") << (n + 1) * 100000 << " 100000\n";
  }
  o.threads = static_cast<int>(get_thread_num(static_cast<unsigned>(get_cpus_from_cgroup())));
  if (variants != "repeated") traffics.push_back({o.threads, false});
  if (variants != "plain") traffics.push_back({o.threads, true});
  mysql_library_init(0, nullptr, nullptr);

  const Servers servers{server_pid("MARIADB_PID", 3306), server_pid("REDIS_PID", 6379)};
  printf("processing threads: %d (the daemon's thread_num on these CPUs), queue limit %u\n",
         o.threads, static_cast<unsigned>(o.threads) * SAMPLES_PER_BUCKET);
  printf("steady window %.0f s after %.0f s of warm-up%s; lists topped up from %ld to %ld\n",
         o.window, o.warmup, o.window < 10 ? " (shorter than the 10 s the goal asks)" : "",
         kLowMark, kHighMark);
  printf("mariadbd pid %d, redis-server pid %d%s\n", static_cast<int>(servers.mariadb),
         static_cast<int>(servers.redis),
         servers.mariadb < 0 || servers.redis < 0 ? " (not found: their CPU reads 0)" : "");
  printf("redis CPU of the feed alone: %.1f us per sample (in every redis figure below)\n",
         feed_redis_us(servers, o));
  printf("cpu columns: own (driver threads or daemon) + mariadbd + redis-server, us per sample\n");
  fflush(stdout);

  redisContext *c = redis_open();
  rcmd(c, "DEL %s", SAMPLE_LIST_KEY);
  reset_keys(o);  // the daemon loads the policy at start: it must exist by then
  pid_t pid = start_daemon(bin, root);
  if (!subscribed(c)) {
    fprintf(stderr, "the daemon did not start\n");
    stop_daemon(pid);
    return 2;
  }
  // Alternating runs, so that every figure sees the same machine.
  std::vector<Rows> rows(traffics.size());
  long peak = rss_kib(pid);
  for (int round = 1; round <= rounds; round++)
    for (size_t v = 0; v < traffics.size(); v++) {
      const Traffic &t = traffics[v];
      rows[v].single.push_back(run_direct(o, servers, t, false));
      rows[v].batch.push_back(run_direct(o, servers, t, true));
      rows[v].daemon.push_back(run_daemon(o, servers, t, pid, &peak));
      print_run(round, t, "per-sample", rows[v].single.back());
      print_run(round, t, "batched", rows[v].batch.back());
      print_run(round, t, "ml_daemon", rows[v].daemon.back());
      printf("round %d %-8s daemon/batched %.2f, daemon/per-sample %.2f\n", round, t.name(),
             rows[v].daemon.back().rate / rows[v].batch.back().rate,
             rows[v].daemon.back().rate / rows[v].single.back().rate);
    }
  bool ok = true;
  for (size_t v = 0; v < traffics.size(); v++) ok = print_summary(traffics[v], rows[v], o) && ok;
  if (const long f = sql_failures.load())
    printf("WARNING: %ld SQL statement(s) of the drivers failed\n", f);

  // The queues were at their limit through every daemon window: the buckets
  // bound what the daemon holds.
  const long bound =
      (static_cast<long>(o.threads) * SAMPLES_PER_BUCKET * SAMPLE_MSG_LEN) / 1024 + 64 * 1024;
  printf("\nRSS peak with full queues: %ld KiB (bound %ld KiB = %d x %u messages + 64 MiB) %s\n",
         peak, bound, o.threads, SAMPLES_PER_BUCKET, peak < bound ? "ok" : "OVER");
  {
    redisContext *x = redis_open();
    const long stat = rnum(x, "HGET arg:%u:%u arg_learn_stat", kDomain, arg_of(0));
    if (stat != 1) printf("WARNING: argument %u left collecting (state %ld)\n", arg_of(0), stat);
    redisFree(x);
  }
  stop_daemon(pid);
  rcmd(c, "DEL %s", SAMPLE_LIST_KEY);
  redisFree(c);
  clear_keys(o);
  return ok && peak < bound ? 0 : 3;
}
