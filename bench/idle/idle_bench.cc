// Idle cost of the ml_daemon binary: what the daemon spends while nothing
// happens, and how quickly it answers when something does.
//
//   idle_bench DAEMON_BIN ROOT DBNAME [IDLE_SECONDS]
//
// The daemon is started with one governed domain, its policy and a few
// collecting arguments in Redis, and left alone until it is subscribed to
// "channel1" and has settled. Over the idle window (30 s by default) it is
// measured from outside only: CPU time from /proc (the process and each
// thread, with its wake-ups and where the kernel last saw it wait), and the
// Redis commands its own connections send, counted on a MONITOR connection
// (Redis 7.0 keeps no per-client command counter). The daemon's connections
// are found from its sockets (/proc/PID/fd against /proc/PID/net/tcp), so
// other clients of the shared server are not counted. Nothing here depends
// on how the daemon waits: the same program gives the figures of a polling
// daemon and of a waiting one.
//
// Then the reaction from idle: configuration messages published on
// "channel1" (a relearn of one argument, visible as its anomaly_cnt going
// back to 0) and samples pushed onto arg:mlnsample (taken: the list empty
// again; counted: normalcount rising), each sent after a pause so that it
// finds the daemon idle, and watched by tight polling. Last, the time from
// SIGINT to exit, over several starts.
//
// The server is shared: another daemon popping arg:mlnsample or other test
// runs change the figures; the server-wide command rate is printed for that.
#include <dirent.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "intake/sample_msg.h"

namespace {

using clk = std::chrono::steady_clock;
using std::string;

constexpr int kMessages = 100;  // configuration messages and samples, each
// The pause before each event: 20 ms and a seeded random part of up to
// 10 ms, so that events do not fall in step with a periodic wake-up of the
// daemon (a fixed pause would meet a 10 ms sleep at the same phase each time).
constexpr auto kSpacing = std::chrono::milliseconds(20);
constexpr int kJitterUs = 10000;
constexpr auto kSettle = std::chrono::seconds(3);
constexpr auto kDeadline = std::chrono::seconds(1);  // a reaction not seen by then is missed
constexpr int kStops = 5;
constexpr uint32_t kUrl = 7;
constexpr uint32_t kConfArg = 200;    // relearned by the configuration messages
constexpr uint32_t kSampleArg = 201;  // receives the samples
constexpr uint32_t kOtherArgs = 3;    // more collecting arguments, untouched
constexpr const char *kPolicyKey = "policy:bench:idle";

// The goals the summary checks.
constexpr double kCpuGoalPct = 1.0;
constexpr double kCmdGoal = 20.0;
constexpr double kMedianGoalMs = 2.0;
constexpr double kMaxGoalMs = 10.0;

struct Bench {
  const char *bin;
  string root;
  string db;
  int idle_s;
  uint32_t domain;
};

// ---- Redis -----------------------------------------------------------------

// A connection for this program's own commands; exits on failure.
redisContext *redis_open() {
  redisContext *c = redisConnect("127.0.0.1", 6379);
  if (!c || c->err) {
    fprintf(stderr, "idle_bench: cannot connect to Redis on 127.0.0.1:6379\n");
    exit(2);
  }
  return c;
}

struct RedisGuard {
  redisContext *c;
  ~RedisGuard() { redisFree(c); }
};

struct ReplyGuard {
  redisReply *r;
  ~ReplyGuard() {
    if (r) freeReplyObject(r);
  }
};

// A command whose reply does not matter (a lost one shows in the figures).
void rcmd(redisContext *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  ReplyGuard g{static_cast<redisReply *>(redisvCommand(c, fmt, ap))};
  va_end(ap);
}

// The reply as text (a string, status or integer reply); "" otherwise.
string rtext(redisContext *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  ReplyGuard g{static_cast<redisReply *>(redisvCommand(c, fmt, ap))};
  va_end(ap);
  if (!g.r) return "";
  if (g.r->type == REDIS_REPLY_INTEGER) return std::to_string(g.r->integer);
  if (g.r->type == REDIS_REPLY_STRING || g.r->type == REDIS_REPLY_STATUS)
    return string(g.r->str, g.r->len);
  return "";
}

string arg_key(const Bench &b, uint32_t arg) {
  return "arg:" + std::to_string(b.domain) + ":" + std::to_string(arg);
}

// The domain, its policy (never ready, so nothing leaves collecting) and the
// collecting arguments, as the appliance leaves them for the daemon.
void prepare_keys(const Bench &b) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  rcmd(c,
       "HSET %s sample_collecting_mode 2 hmm_engine 0 model_min_learn_time 1 "
       "sl_automatic_definitely 0",
       kPolicyKey);
  rcmd(c, "HSET domain_info:%u adomname bench policy_name idle domain idle.example mysql_dbname %s",
       b.domain, b.db.c_str());
  for (uint32_t a = kConfArg; a < kSampleArg + 1 + kOtherArgs; a++)
    rcmd(c,
         "HSET %s arg_learn_stat 1 events 0 start_time 0 normalcount 0 abnormalcount 0 "
         "anomaly_cnt 0 urlid %u arg_name i%u",
         arg_key(b, a).c_str(), kUrl, a);
}

// False when someone else removed the keys meanwhile: the server is shared,
// and the reaction figures of such a run mean nothing.
bool keys_intact(const Bench &b) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  return rtext(c, "EXISTS %s domain_info:%u %s %s", kPolicyKey, b.domain,
               arg_key(b, kConfArg).c_str(), arg_key(b, kSampleArg).c_str()) == "4";
}

void clear_keys(const Bench &b) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  rcmd(c, "DEL %s domain_info:%u", kPolicyKey, b.domain);
  for (uint32_t a = kConfArg; a < kSampleArg + 1 + kOtherArgs; a++)
    rcmd(c, "DEL %s", arg_key(b, a).c_str());
}

// ---- the daemon's process --------------------------------------------------

// Starts the daemon with its root folder; its output goes to ROOT/daemon.out.
pid_t start_daemon(const Bench &b) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("ML_DAEMON_ROOT", b.root.c_str(), 1);
    const string out = b.root + "/daemon.out";
    if (!freopen(out.c_str(), "a", stdout) || !freopen(out.c_str(), "a", stderr)) _exit(127);
    execl(b.bin, "ml_daemon", static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

// SIGINT, then the wait for the exit; the seconds between, or -1 when it has
// not exited within 30 s (it is then killed).
double stop_daemon(pid_t pid) {
  const auto t0 = clk::now();
  kill(pid, SIGINT);
  while (clk::now() - t0 < std::chrono::seconds(30)) {
    if (waitpid(pid, nullptr, WNOHANG) == pid)
      return std::chrono::duration<double>(clk::now() - t0).count();
    usleep(200);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// "127.0.0.1:PORT" of every TCP socket of pid connected to port 6379.
std::set<string> redis_addrs(pid_t pid) {
  std::set<string> inodes, addrs;
  const string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR *d = opendir(fd_dir.c_str())) {
    while (dirent *e = readdir(d)) {
      char link[64];
      const ssize_t n = readlink((fd_dir + "/" + e->d_name).c_str(), link, sizeof link - 1);
      if (n <= 0) continue;
      link[n] = '\0';
      if (strncmp(link, "socket:[", 8) == 0)
        inodes.insert(string(link + 8, strcspn(link + 8, "]")));
    }
    closedir(d);
  }
  std::ifstream tcp("/proc/" + std::to_string(pid) + "/net/tcp");
  string line;
  std::getline(tcp, line);  // header
  while (std::getline(tcp, line)) {
    std::istringstream in(line);
    string sl, local, remote, st, queues, tr, retr, uid, timeout, inode;
    in >> sl >> local >> remote >> st >> queues >> tr >> retr >> uid >> timeout >> inode;
    if (!inodes.count(inode) || remote.size() < 13 || remote.substr(9) != "18EB") continue;
    const unsigned port = static_cast<unsigned>(strtoul(local.substr(9).c_str(), nullptr, 16));
    addrs.insert("127.0.0.1:" + std::to_string(port));
  }
  return addrs;
}

// True when one of the daemon's connections is subscribed to a channel.
bool daemon_subscribed(redisContext *c, pid_t pid) {
  const std::set<string> mine = redis_addrs(pid);
  std::istringstream list(rtext(c, "CLIENT LIST"));
  string line;
  while (std::getline(list, line)) {
    const size_t a = line.find(" addr="), s = line.find(" sub=");
    if (a == string::npos || s == string::npos) continue;
    const string addr = line.substr(a + 6, line.find(' ', a + 6) - a - 6);
    if (mine.count(addr) && atoi(line.c_str() + s + 5) > 0) return true;
  }
  return false;
}

// Waits until the daemon is subscribed; the seconds it took, or -1 when it
// exited or took longer than 30 s.
double wait_subscribed(pid_t pid) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  const auto t0 = clk::now();
  while (clk::now() - t0 < std::chrono::seconds(30)) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
    if (daemon_subscribed(c, pid)) return std::chrono::duration<double>(clk::now() - t0).count();
    usleep(2000);
  }
  return -1;
}

// ---- CPU from /proc --------------------------------------------------------

struct ThreadTimes {
  long ticks = 0;     // utime + stime
  long switches = 0;  // voluntary + involuntary context switches
};

// utime + stime of a /proc/.../stat file, in clock ticks; -1 when unreadable.
long stat_ticks(const string &path) {
  std::ifstream f(path);
  string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == string::npos) return -1;
  std::istringstream in(text.substr(close + 2));
  string field;
  long utime = 0, stime = 0;
  for (int i = 1; i <= 13 && in >> field; i++) {
    if (i == 12) utime = atol(field.c_str());
    if (i == 13) stime = atol(field.c_str());
  }
  return utime + stime;
}

// Voluntary plus involuntary context switches of a /proc/.../status file:
// each is one wake-up of a sleeping thread or one preemption.
long status_switches(const string &path) {
  std::ifstream f(path);
  string line;
  long total = 0;
  while (std::getline(f, line))
    if (line.find("ctxt_switches:") != string::npos)
      total += atol(line.c_str() + line.find(':') + 1);
  return total;
}

// Every thread of pid by id (ids grow in order of creation); empty when pid
// is gone.
std::map<long, ThreadTimes> thread_times(pid_t pid) {
  std::map<long, ThreadTimes> out;
  const string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const string t = dir + "/" + e->d_name;
      out[atol(e->d_name)] = {stat_ticks(t + "/stat"), status_switches(t + "/status")};
    }
    closedir(d);
  }
  return out;
}

// Where the kernel last saw the thread wait; "-" when it was running.
string wchan(pid_t pid, long tid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/wchan");
  string w;
  std::getline(f, w);
  return w.empty() || w == "0" ? "-" : w;
}

// ---- Redis commands of the daemon, from MONITOR ------------------------------

double unix_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A MONITOR connection on its own thread: per client address, the commands
// the server stamped inside the window, by command name. The server's stamp
// decides, not the time a line is read, so a reader that lags behind still
// counts exactly the window. stop() ends it.
class Monitor {
 public:
  Monitor() : c_(redis_open()) {
    ReplyGuard g{static_cast<redisReply *>(redisCommand(c_, "MONITOR"))};
    thread_ = std::thread([this] { run(); });
  }
  ~Monitor() {
    if (thread_.joinable()) stop();
    redisFree(c_);
  }
  void open_window() { from_.store(unix_now()); }
  void close_window() { until_.store(unix_now()); }
  // Ends the thread: a command of our own, stamped after the window, is the
  // last line it needs to read.
  void stop() {
    done_.store(true);
    redisContext *c = redis_open();
    RedisGuard g{c};
    rcmd(c, "ECHO idle-bench-stop");
    thread_.join();
  }
  // By address, then by command: read after stop() only.
  const std::map<string, std::map<string, long>> &seen() const { return seen_; }

 private:
  void run() {
    while (!done_.load()) {
      void *r = nullptr;
      if (redisGetReply(c_, &r) != REDIS_OK) return;
      ReplyGuard g{static_cast<redisReply *>(r)};
      if (g.r && g.r->type == REDIS_REPLY_STATUS) note(g.r->str);
    }
  }
  // A line: 1700000000.123456 [0 127.0.0.1:51876] "LPOP" "arg:mlnsample"
  void note(const char *line) {
    const double stamp = atof(line);
    if (stamp < from_.load() || stamp > until_.load()) return;
    const char *open = strchr(line, '[');
    const char *sp = open ? strchr(open, ' ') : nullptr;
    const char *close = sp ? strchr(sp, ']') : nullptr;
    if (!close || close[1] != ' ' || close[2] != '"') return;
    const string addr(sp + 1, close);
    const char *cmd = close + 3;
    string name(cmd, strcspn(cmd, "\""));
    for (char &ch : name) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    seen_[addr][name]++;
  }

  redisContext *c_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<double> from_{1e300}, until_{1e300};
  std::map<string, std::map<string, long>> seen_;
};

// The server's command count since its start; -1 without an answer.
long commands_processed(redisContext *c) {
  const string info = rtext(c, "INFO stats");
  const size_t at = info.find("total_commands_processed:");
  return at == string::npos ? -1 : atol(info.c_str() + at + 25);
}

// ---- the idle window -------------------------------------------------------

struct IdleFigures {
  double cpu_pct = 0;      // of one core
  double daemon_cmds = 0;  // per second
  double server_cmds = 0;  // per second
};

double pct(long ticks, double seconds) {
  return 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
}

void print_threads(pid_t pid, const std::map<long, ThreadTimes> &before,
                   const std::map<long, ThreadTimes> &after, double secs) {
  printf("  per thread (in order of creation; wait = where the kernel saw it last):\n");
  int n = 0;
  for (const auto &[tid, t] : after) {
    const auto b = before.find(tid);
    const ThreadTimes t0 = b == before.end() ? ThreadTimes{} : b->second;
    printf("    #%-2d tid %-7ld cpu %6.2f%%  wake-ups %8.0f/s  wait %s\n", n++, tid,
           pct(t.ticks - t0.ticks, secs), static_cast<double>(t.switches - t0.switches) / secs,
           wchan(pid, tid).c_str());
  }
}

// The daemon's commands over the window, by command; returns their total.
long print_commands(const Monitor &m, const std::set<string> &mine, double secs) {
  std::map<string, long> by_cmd;
  long total = 0;
  for (const auto &[addr, cmds] : m.seen())
    if (mine.count(addr))
      for (const auto &[cmd, n] : cmds) {
        by_cmd[cmd] += n;
        total += n;
      }
  printf("  daemon's Redis commands by name:");
  if (by_cmd.empty()) printf(" none");
  for (const auto &[cmd, n] : by_cmd) printf(" %s %.1f/s", cmd.c_str(), n / secs);
  printf("\n");
  return total;
}

// Leaves the daemon alone for the window and prints what it spent.
IdleFigures measure_idle(const Bench &b, pid_t pid) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  std::set<string> mine = redis_addrs(pid);
  Monitor monitor;
  const std::map<long, ThreadTimes> threads0 = thread_times(pid);
  const long proc0 = stat_ticks("/proc/" + std::to_string(pid) + "/stat");
  const long server0 = commands_processed(c);
  const auto t0 = clk::now();
  monitor.open_window();
  std::this_thread::sleep_for(std::chrono::seconds(b.idle_s));
  monitor.close_window();
  const double secs = std::chrono::duration<double>(clk::now() - t0).count();
  const long server1 = commands_processed(c);
  const long proc1 = stat_ticks("/proc/" + std::to_string(pid) + "/stat");
  const std::map<long, ThreadTimes> threads1 = thread_times(pid);
  monitor.stop();
  for (const string &a : redis_addrs(pid)) mine.insert(a);  // any opened meanwhile

  IdleFigures f;
  f.cpu_pct = pct(proc1 - proc0, secs);
  printf("idle window: %.1f s, daemon pid %d, %zu Redis connections\n", secs, pid, mine.size());
  printf("  daemon CPU: %.2f%% of one core (utime+stime)\n", f.cpu_pct);
  print_threads(pid, threads0, threads1, secs);
  f.daemon_cmds = static_cast<double>(print_commands(monitor, mine, secs)) / secs;
  f.server_cmds = static_cast<double>(server1 - server0) / secs;
  printf("  daemon's Redis commands: %.1f/s;  server-wide, every client: %.1f/s\n", f.daemon_cmds,
         f.server_cmds);
  return f;
}

// ---- reaction from idle ----------------------------------------------------

struct Spread {
  double median_ms = 0, max_ms = 0;
  int missed = 0;  // not seen within the deadline
};

// Median and maximum of the seen reactions.
Spread spread(std::vector<double> ms, int missed) {
  Spread s;
  s.missed = missed;
  if (ms.empty()) return s;
  std::sort(ms.begin(), ms.end());
  const size_t n = ms.size();
  s.median_ms = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
  s.max_ms = ms.back();
  return s;
}

void pause_before_event(std::mt19937 *rng) {
  std::uniform_int_distribution<int> jitter(0, kJitterUs);
  std::this_thread::sleep_for(kSpacing + std::chrono::microseconds(jitter(*rng)));
}

double ms_since(clk::time_point t0) {
  return std::chrono::duration<double, std::milli>(clk::now() - t0).count();
}

// Relearn messages for the configuration argument: each one sets its
// anomaly_cnt (made 1 before) back to 0.
Spread config_latency(const Bench &b, std::mt19937 *rng) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  const string key = arg_key(b, kConfArg);
  char msg[128];
  snprintf(msg, sizeof msg, "{\"class\":2,\"action\":10,\"domain_id\":%u,\"arg_id\":%u}", b.domain,
           kConfArg);
  std::vector<double> ms;
  int missed = 0;
  for (int i = 0; i < kMessages; i++) {
    rcmd(c, "HSET %s anomaly_cnt 1", key.c_str());
    pause_before_event(rng);
    const auto t0 = clk::now();
    rcmd(c, "PUBLISH channel1 %s", msg);
    bool seen = false;
    while (!seen && clk::now() - t0 < kDeadline)
      seen = rtext(c, "HGET %s anomaly_cnt", key.c_str()) == "0";
    if (seen)
      ms.push_back(ms_since(t0));
    else
      missed++;
  }
  return spread(ms, missed);
}

// One sample of the sample argument, with a value that varies with n.
string sample_bytes(uint32_t domain, long n) {
  static const char *shapes[] = {"12345", "alice", "it's", "a%20b", "x-y_z", "Zz9", "q=1&r=2"};
  const string v = string(shapes[n % 7]) + std::to_string(n % 13);
  sample_msg msg;
  sample_msg_fill(&msg, domain, kUrl, kSampleArg, v.data(), static_cast<uint32_t>(v.size()));
  return string(reinterpret_cast<const char *>(&msg), sizeof msg);
}

// Samples pushed one at a time: taken (the list empty again) and counted
// (normalcount of the argument rising).
void sample_latency(const Bench &b, std::mt19937 *rng, Spread *taken, Spread *counted) {
  redisContext *c = redis_open();
  RedisGuard g{c};
  const string key = arg_key(b, kSampleArg);
  std::vector<double> taken_ms, counted_ms;
  int missed = 0;
  for (int i = 0; i < kMessages; i++) {
    const long before = atol(rtext(c, "HGET %s normalcount", key.c_str()).c_str());
    const string msg = sample_bytes(b.domain, i);
    pause_before_event(rng);
    const auto t0 = clk::now();
    rcmd(c, "RPUSH %s %b", SAMPLE_LIST_KEY, msg.data(), msg.size());
    double took = -1, count = -1;
    while (count < 0 && clk::now() - t0 < kDeadline) {
      if (took < 0 && rtext(c, "LLEN %s", SAMPLE_LIST_KEY) == "0") took = ms_since(t0);
      if (atol(rtext(c, "HGET %s normalcount", key.c_str()).c_str()) > before) count = ms_since(t0);
    }
    if (count < 0) {
      missed++;
      continue;
    }
    taken_ms.push_back(took < 0 ? count : took);
    counted_ms.push_back(count);
  }
  *taken = spread(taken_ms, 0);
  *counted = spread(counted_ms, missed);
}

// ---- summary ---------------------------------------------------------------

// One summary line; true when the goal is met.
bool goal_line(const char *what, double value, double goal, const char *unit) {
  const bool ok = value <= goal;
  printf("  %-34s %9.2f %-8s goal <= %-5g %s\n", what, value, unit, goal, ok ? "met" : "NOT MET");
  return ok;
}

// Median and maximum lines; true when both goals are met and none was missed.
bool latency_lines(const char *what, const Spread &s) {
  char name[64];
  snprintf(name, sizeof name, "%s median", what);
  bool ok = s.median_ms < kMedianGoalMs;
  printf("  %-34s %9.1f %-8s goal <  %-5g %s\n", name, s.median_ms, "ms", kMedianGoalMs,
         ok ? "met" : "NOT MET");
  snprintf(name, sizeof name, "%s max", what);
  const bool max_ok = s.max_ms < kMaxGoalMs;
  printf("  %-34s %9.1f %-8s goal <  %-5g %s\n", name, s.max_ms, "ms", kMaxGoalMs,
         max_ok ? "met" : "NOT MET");
  if (s.missed)
    printf("  %-34s %9d of %d not seen within the deadline\n", what, s.missed, kMessages);
  return ok && max_ok && s.missed == 0;
}

void print_stops(const std::vector<double> &stops) {
  printf("  %-34s", "stop after SIGINT (5 starts)");
  for (double s : stops)
    if (s < 0)
      printf(" hung");
    else
      printf(" %.1f", s * 1000);
  printf(" ms\n");
}

// The remaining starts for the stop figure: each one idle for a second.
void more_stops(const Bench &b, std::vector<double> *stops) {
  while (static_cast<int>(stops->size()) < kStops) {
    const pid_t pid = start_daemon(b);
    if (wait_subscribed(pid) < 0) {
      stop_daemon(pid);
      stops->push_back(-1);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stops->push_back(stop_daemon(pid));
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: idle_bench DAEMON_BIN ROOT DBNAME [IDLE_SECONDS]\n");
    return 1;
  }
  Bench b{argv[1], argv[2], argv[3], argc > 4 ? atoi(argv[4]) : 30,
          991000 + static_cast<uint32_t>(getpid() % 1000)};
  if (b.idle_s <= 0) b.idle_s = 30;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  prepare_keys(b);
  const pid_t pid = start_daemon(b);
  const double up = wait_subscribed(pid);
  if (up < 0) {
    fprintf(stderr, "idle_bench: the daemon did not subscribe; see %s/daemon.out\n",
            b.root.c_str());
    stop_daemon(pid);
    clear_keys(b);
    return 2;
  }
  printf("daemon subscribed to channel1 %.0f ms after its start; settling for %lld s\n", up * 1000,
         static_cast<long long>(kSettle.count()));
  std::this_thread::sleep_for(kSettle);
  const IdleFigures idle = measure_idle(b, pid);
  std::mt19937 rng(20261206);
  const Spread conf = config_latency(b, &rng);
  Spread taken, counted;
  sample_latency(b, &rng, &taken, &counted);
  const bool intact = keys_intact(b);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<double> stops{stop_daemon(pid)};
  more_stops(b, &stops);
  clear_keys(b);

  printf("\nsummary (shared machine: other people's test runs share these CPUs and Redis)\n");
  bool ok = goal_line("idle CPU", idle.cpu_pct, kCpuGoalPct, "% core");
  ok = goal_line("daemon's Redis commands", idle.daemon_cmds, kCmdGoal, "/s") && ok;
  printf("  %-34s %9.1f /s       (reference)\n", "server-wide Redis commands", idle.server_cmds);
  ok = latency_lines("config message", conf) && ok;
  ok = latency_lines("sample counted", counted) && ok;
  printf("  %-34s %9.1f ms median, %.1f ms max\n", "sample taken from the list", taken.median_ms,
         taken.max_ms);
  print_stops(stops);
  if (!intact)
    printf("WARNING: this run's Redis keys were removed by someone else; run it again\n");
  return ok && intact ? 0 : 3;
}
