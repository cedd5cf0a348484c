// The ml_daemon binary end to end: start-up, subscription, the stop sequence,
// single instance, start-up failures. Runs alone (SERIAL): the daemon owns the
// shared sample list and configuration channel, and one case stops Redis.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "daemon/ml_daemon.h"
#include "log/sys_log.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;

size_t count_of(const string &text, const string &what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != string::npos; p = text.find(what, p + 1)) n++;
  return n;
}

int threads_of(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    n++;
  return n;
}

// ThreadSanitizer runs a background thread of its own in every process.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerThreads = 1;
#else
constexpr int kSanitizerThreads = 0;
#endif

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { mlt::write_file(root_ / "var/log/machine_learning_log", ""); }
  mlt::TempDir root_;
  mlt::Redis redis_;
};

TEST_F(DaemonTest, StartsSubscribesAndStopsInOrderOnSigint) {
  mlt::write_file(root_ / "sys/fs/cgroup/cpu.max", "800000 100000\n");  // 8 CPUs: 7 of each
  mlt::Daemon d(root_.path());
  ASSERT_TRUE(mlt::wait_subscribers(redis_, "channel1", 1)) << d.out() << d.err();
  // main, stop thread, receive thread, 7 processing and 7 math threads
  EXPECT_TRUE(mlt::wait_until([&] { return threads_of(d.pid()) == 17 + kSanitizerThreads; }))
      << threads_of(d.pid());
  // While nothing is published the loop only polls.
  EXPECT_TRUE(d.running());

  d.signal(SIGINT);
  EXPECT_EQ(d.wait_exit(), 0);
  const string out = d.out();
  EXPECT_EQ(out.find("[set_debug_flag:"), 0u) << out;
  EXPECT_NE(out.find("\t\"enable_debug_print = 1\\n\"\n"), string::npos) << out;
  size_t ready = out.find("\t\"ml_daemon ready to exit\\n\"\n");
  size_t done = out.find("\t\"ml_daemon : all threads exit\\n\"\n");
  ASSERT_NE(ready, string::npos) << out;
  ASSERT_NE(done, string::npos) << out;
  EXPECT_LT(ready, done);
  // Under the name of the stop operation, whichever thread runs it.
  EXPECT_TRUE(mlt::has_debug_line(out, "stop_all", "ml_daemon ready to exit\\n")) << out;
  EXPECT_TRUE(mlt::has_debug_line(out, "stop_all", "ml_daemon : all threads exit\\n")) << out;
  EXPECT_EQ(count_of(out, "init ml daemon failed."), 0u);
  EXPECT_TRUE(mlt::wait_until([&] {
    auto r = redis_.cmd({"PUBSUB", "NUMSUB", "channel1"});
    return r && r->element[1]->integer == 0;
  }));
}

// Idle workers wait (blocking pop, condition variables, the subscription) and
// the stop sequence wakes them, so SIGINT ends an idle daemon within 200 ms.
// Best of three starts, so that a busy machine alone does not decide it.
TEST_F(DaemonTest, StopEndsWithin200msWhileEveryThreadWaits) {
  using ms = std::chrono::milliseconds;
  ms best = ms::max();
  for (int i = 0; i < 3; i++) {
    mlt::Daemon d(root_.path());
    ASSERT_TRUE(mlt::wait_subscribers(redis_, "channel1", 1)) << d.out() << d.err();
    std::this_thread::sleep_for(ms(300));  // every thread has reached its wait
    const auto t0 = std::chrono::steady_clock::now();
    d.signal(SIGINT);
    ASSERT_EQ(d.wait_exit(), 0);
    best = std::min(best, std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - t0));
    ASSERT_TRUE(mlt::wait_until([&] {
      auto r = redis_.cmd({"PUBSUB", "NUMSUB", "channel1"});
      return r && r->element[1]->integer == 0;
    }));
  }
  EXPECT_LE(best.count(), 200);
}

// The daemon prepares the semaphore of its persistent log at start; with the
// flag file the install step leaves, an error message of the running daemon
// is found there afterwards.
TEST_F(DaemonTest, KeepsItsMessagesInTheSystemLog) {
  mlt::write_file(root_ / "var/log/debug/daemon_log_flag", "");
  mlt::Daemon d(root_.path());
  ASSERT_TRUE(mlt::wait_subscribers(redis_, "channel1", 1)) << d.out() << d.err();
  redis_.cmd({"RPUSH", "arg:mlnsample", "short"});
  EXPECT_TRUE(mlt::wait_until([&] {
    return mlt::read_file(root_ / "var/log/debug/daemon.log")
               .find("Received sample length illegal.") != string::npos;
  })) << d.out();
  d.signal(SIGINT);
  EXPECT_EQ(d.wait_exit(), 0);
}

// Another program holds the daemon log's lock (the key is machine-wide)
// while the daemon starts: the start must not set the semaphore free again,
// which would let a second writer in. Held for as short as the start takes,
// with SEM_UNDO, so daemons of other tests only wait for it.
TEST_F(DaemonTest, StartLeavesAHeldLogLockHeld) {
  ASSERT_EQ(sys_log_init(SYS_LOG_DAEMON), 0);  // as after any earlier start
  const int id = semget(sys_log_instance[SYS_LOG_DAEMON].sem_key, 1, 0);
  ASSERT_GE(id, 0);
  struct sembuf take = {0, -1, SEM_UNDO};
  struct timespec wait = {10, 0};
  ASSERT_EQ(semtimedop(id, &take, 1, &wait), 0);
  mlt::Daemon d(root_.path());
  const bool started = mlt::wait_subscribers(redis_, "channel1", 1);
  const int held = semctl(id, 0, GETVAL);
  struct sembuf give = {0, 1, SEM_UNDO};
  ASSERT_EQ(semop(id, &give, 1), 0);
  ASSERT_TRUE(started) << d.out() << d.err();
  EXPECT_EQ(held, 0);
  d.signal(SIGINT);
  EXPECT_EQ(d.wait_exit(), 0);
}

// An operator pauses the daemon log by removing its flag file; a restart
// must not turn the log on again behind the operator's back.
TEST_F(DaemonTest, StartLeavesARemovedLogFlagRemoved) {
  const auto flag = root_ / "var/log/debug/daemon_log_flag";
  mlt::write_file(flag, "");
  std::filesystem::remove(flag);
  // The console takes the message right after the log was offered it.
  const auto console = root_ / "dev/console";
  mlt::write_file(console, "");
  chmod(console.c_str(), 0601);
  mlt::Daemon d(root_.path());
  ASSERT_TRUE(mlt::wait_subscribers(redis_, "channel1", 1)) << d.out() << d.err();
  redis_.cmd({"RPUSH", "arg:mlnsample", "short"});
  EXPECT_TRUE(mlt::wait_until([&] {
    return mlt::read_file(console).find("Received sample length illegal.") != string::npos;
  })) << d.out();
  d.signal(SIGINT);
  EXPECT_EQ(d.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(flag));
  EXPECT_FALSE(std::filesystem::exists(root_ / "var/log/debug/daemon.log"));
}

TEST_F(DaemonTest, PrintsNoDebugLinesWithoutTheFlagFile) {
  std::filesystem::remove(root_ / "var/log/machine_learning_log");
  mlt::Daemon d(root_.path());
  ASSERT_TRUE(mlt::wait_subscribers(redis_, "channel1", 1));
  d.signal(SIGINT);
  EXPECT_EQ(d.wait_exit(), 0);
  EXPECT_EQ(d.out().find("[set_debug_flag:"), string::npos);
  EXPECT_EQ(d.out().find("ml_daemon ready to exit"), string::npos);
}

TEST_F(DaemonTest, SecondInstanceIsRefused) {
  mlt::Daemon first(root_.path());
  ASSERT_TRUE(mlt::wait_subscribers(redis_, "channel1", 1));
  mlt::Daemon second(root_.path(), {}, "second");
  EXPECT_NE(second.wait_exit(), 0);
  EXPECT_NE(second.err().find("another instance is already running"), string::npos);
  EXPECT_TRUE(first.running());
  first.signal(SIGINT);
  EXPECT_EQ(first.wait_exit(), 0);
}

TEST_F(DaemonTest, TooManyCpusFailTheStart) {
  mlt::write_file(root_ / "sys/fs/cgroup/cpu.max", "6600000 100000\n");  // 66 CPUs
  mlt::Daemon d(root_.path());
  EXPECT_NE(d.wait_exit(), 0);
  const string out = d.out();
  size_t bad = out.find("\t\"Invalid thread number for sample process 65\"\n");
  size_t failed = out.find("init ml daemon failed.\n");
  ASSERT_NE(bad, string::npos) << out << d.err();
  ASSERT_NE(failed, string::npos) << out;
  EXPECT_LT(bad, failed);
}

// The stop sequence's joins on real threads, started as the daemon starts
// its workers: the receive thread, then processing i and math i for each i.
TEST(DaemonThreads, StopJoinsReceiveThenProcessingAndMathPairwise) {
  static std::vector<pthread_t> joined;
  static std::atomic<int> finished{0};
  joined.clear();
  constexpr int n = 3;
  thread_slot recv{}, process[n]{}, math[n]{};
  auto body = [](void *) -> void * {
    finished++;
    return nullptr;
  };
  ASSERT_EQ(thread_create(&recv, body), 0);
  for (int i = 0; i < n; i++) {
    ASSERT_EQ(thread_create(&process[i], body), 0);
    ASSERT_EQ(thread_create(&math[i], body), 0);
  }
  ml_join_workers(&recv, process, math, n, [](pthread_t t, void **r) {
    joined.push_back(t);
    return pthread_join(t, r);
  });
  const std::vector<pthread_t> want = {recv.handle,       process[0].handle, math[0].handle,
                                       process[1].handle, math[1].handle,    process[2].handle,
                                       math[2].handle};
  EXPECT_EQ(joined, want);
  EXPECT_EQ(finished.load(), 2 * n + 1);
}

TEST(DaemonThreads, ThreadCountFollowsTheCpuCount) {
  for (unsigned cpus : {1u, 2u, 3u, 4u}) EXPECT_EQ(get_thread_num(cpus), 3u);
  EXPECT_EQ(get_thread_num(8), 7u);
  EXPECT_EQ(get_thread_num(65), 64u);
  EXPECT_EQ(get_thread_num(66), 65u);
}

// Redis down at start: the daemon says so and ends at once. The server is
// brought back with the project's own script.
TEST_F(DaemonTest, RedisDownFailsTheStartAtOnce) {
  mlt::Reply dir = redis_.cmd({"CONFIG", "GET", "dir"});
  if (!dir || string(dir->element[1]->str) != mlt::source_dir() + "/var/redis")
    GTEST_SKIP() << "Redis is not the private instance of this checkout";
  redis_.cmd({"SHUTDOWN"});
  mlt::Daemon d(root_.path());
  int status = d.wait_exit(std::chrono::seconds(10));
  ASSERT_EQ(mlt::run(mlt::source_dir() + "/scripts/services start >/dev/null"), 0);
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);  // it ended by itself
  const string out = d.out();
  size_t conn = out.find("connect redis failed\n");
  size_t failed = out.find("init ml daemon failed.\n");
  ASSERT_NE(conn, string::npos) << out;
  ASSERT_NE(failed, string::npos) << out;
  EXPECT_LT(conn, failed);
}

}  // namespace
