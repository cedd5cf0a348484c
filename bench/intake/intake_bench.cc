// Intake benchmark: samples per second that the receive thread pops, checks
// against the policy table and queues, against the rate at which Redis answers
// LPOP on one connection (redis-benchmark -c 1 -t lpop) in the same run.
//
// Each sample costs two round trips (its LPOP and its domain's HMGET), so the
// ceiling of the ratio is about 0.5; the target is 0.4. Loopback round trips
// change about threefold with the cores the two processes land on, so the
// Redis server and this process (and redis-benchmark) are pinned to two fixed
// cores for every figure, and the server's own affinity is restored at the end.
//
// The list is filled by ml_sample_push before each timed run; three consumer
// threads drain the buckets as the processing threads do (taking a node, then
// sleeping 10 ms when their bucket is empty), so the queue limit never bites.
// Runs alternate baseline and intake rounds; the median ratio is reported.
//
//   intake_bench [SAMPLES_PER_ROUND] [ROUNDS]      (defaults 30000, 5)
// Exit status 0 when the median ratio reaches 0.4.
#include <hiredis/hiredis.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "intake/ml_sample_recv.h"
#include "intake/sample_bucket.h"
#include "log/ml_debug.h"
#include "policy/ml_policy.h"
#include "services/redis.h"
#include "services/threads.h"

namespace {

using clk = std::chrono::steady_clock;

constexpr int kServerCpu = 0;
constexpr int kClientCpu = 1;
constexpr uint32_t kBuckets = 3;
constexpr uint32_t kDomain = 4000000001u;  // printed signed in the domain key
constexpr const char *kVdom = "benchv";
constexpr const char *kPolicy = "benchp";

std::string run_capture(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  pclose(p);
  return out;
}

std::string redis_str(redisContext *c, const std::vector<std::string> &argv) {
  std::vector<const char *> a;
  std::vector<size_t> l;
  for (const auto &s : argv) {
    a.push_back(s.data());
    l.push_back(s.size());
  }
  auto *r = static_cast<redisReply *>(
      redisCommandArgv(c, static_cast<int>(a.size()), a.data(), l.data()));
  std::string s = r && r->str ? std::string(r->str, r->len) : "";
  if (r) freeReplyObject(r);
  return s;
}

// Pins the server and this process; false (nothing changed) on a machine
// with a single core.
struct pinning {
  pid_t server = 0;
  cpu_set_t server_mask{};
  bool pinned = false;

  void pin(redisContext *c) {
    std::string info = redis_str(c, {"INFO", "server"});
    size_t at = info.find("process_id:");
    if (at != std::string::npos) server = static_cast<pid_t>(atoi(info.c_str() + at + 11));
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || server <= 0 ||
        sched_getaffinity(server, sizeof server_mask, &server_mask) != 0) {
      printf("pinning: not done (one core, or the server's affinity cannot be read)\n");
      return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(kServerCpu, &one);
    pinned = sched_setaffinity(server, sizeof one, &one) == 0;
    CPU_ZERO(&one);
    CPU_SET(kClientCpu, &one);
    pinned = pinned && sched_setaffinity(0, sizeof one, &one) == 0;
    printf("pinning: redis-server (pid %d) on cpu %d, measured processes on cpu %d%s\n",
           static_cast<int>(server), kServerCpu, kClientCpu, pinned ? "" : " FAILED");
  }
  ~pinning() {
    if (server > 0 && CPU_COUNT(&server_mask) > 0)
      sched_setaffinity(server, sizeof server_mask, &server_mask);
  }
};

double lpop_baseline(int requests, bool pinned) {
  std::string cmd = std::string(pinned ? "taskset -c " + std::to_string(kClientCpu) + " " : "") +
                    "redis-benchmark -h 127.0.0.1 -p 6379 -c 1 -n " + std::to_string(requests) +
                    " -t lpop --csv 2>/dev/null";
  std::string out = run_capture(cmd);
  size_t at = out.find("\"LPOP\",\"");
  return at == std::string::npos ? 0.0 : atof(out.c_str() + at + 8);
}

// What the receive thread is given, as the daemon gives it.
sample_buckets g_buckets;
ml_plist g_policies;
std::atomic<uint32_t> g_stop{0};
recv_thread_arg g_recv_arg{&g_buckets, &g_policies, &g_stop};
thread_slot g_recv_slot{{}, &g_recv_arg};

void make_state() {
  init_sample_buckets(&g_buckets, kBuckets);
  init_ml_plist(&g_policies);
  ml_policy_conf conf{};
  snprintf(conf.vdom, sizeof conf.vdom, "%s", kVdom);
  snprintf(conf.policy_name, sizeof conf.policy_name, "%s", kPolicy);
  _add_ml_policy(&g_policies, &conf);
}

// Fills the list with n samples of three arguments, so all buckets take some.
bool fill_list(redisContext *c, int n) {
  redis_str(c, {"DEL", SAMPLE_LIST_KEY});
  char path[] = "/tmp/intake-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  std::string lines;
  for (int u = 0; u < 3; u++)
    lines += std::to_string(kDomain) + " " + std::to_string(u) + " 7 value-" + std::to_string(u) +
             "-0123456789abcdef\n";
  bool ok = write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  close(fd);
  std::string cmd = std::string(ML_SAMPLE_PUSH) + " -n " + std::to_string(n / 3) + " -f " + path;
  ok = ok && system(cmd.c_str()) == 0;
  unlink(path);
  return ok;
}

// One timed run of the receive thread over n queued samples; samples per second.
double intake_round(redisContext *c, int n) {
  n -= n % 3;
  if (!fill_list(c, n)) return 0.0;
  g_stop = 0;
  std::atomic<int> taken{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> consumers;
  for (uint32_t i = 0; i < kBuckets; i++) {
    consumers.emplace_back([&, i] {
      sample_buckets *set = &g_buckets;
      while (!done.load()) {
        sample_node *node = pick_sample(set, &set->buckets[i]);
        if (!node) {
          usleep(10000);
          continue;
        }
        free_msg_node(node);
        taken++;
      }
    });
  }
  pthread_t recv;
  auto t0 = clk::now();
  pthread_create(&recv, nullptr, sample_recv_thread_run, &g_recv_slot);
  auto deadline = t0 + std::chrono::seconds(120);
  while (taken.load() < n && clk::now() < deadline) usleep(10000);
  auto t1 = clk::now();
  g_stop = 1;
  pthread_join(recv, nullptr);
  done = true;
  for (auto &t : consumers) t.join();
  if (taken.load() != n) {
    // Another client popping arg:mlnsample (a running daemon) took the rest.
    printf("intake: only %d of %d samples queued; round not counted\n", taken.load(), n);
    return 0.0;
  }
  return n / std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char **argv) {
  int per_round = argc > 1 ? atoi(argv[1]) : 30000;
  int rounds = argc > 2 ? atoi(argv[2]) : 5;
  if (per_round < 3 || rounds < 1) {
    fprintf(stderr, "usage: intake_bench [SAMPLES_PER_ROUND] [ROUNDS]\n");
    return 2;
  }
  redisContext *c = redisConnect("127.0.0.1", 6379);
  if (!c || c->err) {
    fprintf(stderr, "intake_bench: Redis is not answering on 127.0.0.1:6379\n");
    return 2;
  }
  mldaemon_debug_level = 0;
  const std::string dkey = "domain_info:" + std::to_string(static_cast<int32_t>(kDomain));
  redis_str(c, {"HSET", dkey, "adomname", kVdom, "policy_name", kPolicy});
  make_state();
  std::vector<double> ratios;
  {
    pinning pin;
    pin.pin(c);
    for (int r = 0; r < rounds; r++) {
      double base = lpop_baseline(per_round * 2, pin.pinned);
      double intake = intake_round(c, per_round);
      double ratio = base > 0 ? intake / base : 0.0;
      if (ratio > 0) ratios.push_back(ratio);
      printf("round %d: redis-benchmark LPOP %.0f req/s, intake %.0f samples/s, ratio %.3f\n",
             r + 1, base, intake, ratio);
    }
  }
  redis_str(c, {"DEL", dkey, SAMPLE_LIST_KEY});
  redisFree(c);
  std::sort(ratios.begin(), ratios.end());
  double median = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
  printf("intake/LPOP ratio (median of %zu): %.3f (target 0.40)\n", ratios.size(), median);
  return median >= 0.4 ? 0 : 1;
}
