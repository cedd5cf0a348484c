// Logging under a private appliance root: fixed paths below a temporary
// folder, the system logs shrunk and given semaphore keys of their own (from
// the pid, removed afterwards). The console and terminals are plain files; a
// message writes from offset 0, so each check takes a file's text and empties
// it.
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "log/debug_file.h"
#include "log/ml_message.h"
#include "log/sys_log.h"
#include "platform/framework/framework.h"
#include "tests/testutil/testutil.h"

namespace fs = std::filesystem;

namespace {

using std::string;
using Fields = std::vector<int64_t>;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(saved_, sys_log_instance, sizeof saved_);
    saved_root_ = fw_root();
    fw_set_root(dir_.path().c_str());
    fs::create_directories(dir_ / "var/log/debug");
    fs::create_directories(dir_ / "home");
    for (int i = 0; i < SYS_LOG_COUNT; i++) {
      sys_log_instance[i].sem_key = sem_key(i);
      sys_log_instance[i].max_records = 8;
      ASSERT_EQ(sys_log_init(i), 0);
    }
  }
  void TearDown() override {
    for (int i = 0; i < SYS_LOG_COUNT; i++) semctl(semget(sem_key(i), 1, 0), 0, IPC_RMID);
    memcpy(sys_log_instance, saved_, sizeof saved_);
    fw_set_root(saved_root_.c_str());
    mldaemon_debug_level = 0;
    is_sys_log_stop = 0;
  }
  static int sem_key(int log) { return 0x4d400000 | ((getpid() & 0xffff) << 2) | log; }
  string log_path(int log) const { return dir_.path() + sys_log_instance[log].path; }
  Fields header(int log) const {
    string raw = mlt::read_file(log_path(log)) + string(24, '\0');
    auto h = sys_log_decode_header(reinterpret_cast<const unsigned char *>(raw.data()));
    return {h.magic, h.next_index, h.next_offset, h.count, h.max_records};
  }
  // Text of record index (0 = oldest) after the time stamp; "" when unreadable.
  static string record(int log, int index) {
    char buf[1024] = {};
    if (sys_log_read(log, index, buf, sizeof buf - 1) != 0 || strlen(buf) < 20) return "";
    return buf + 20;
  }
  void terminals() {
    for (auto [rel, mode] : {std::pair{"dev/console", 0601},
                             {"dev/pts/0", 0621},
                             {"dev/pts/1", 0620},
                             {"dev/pts/ptmx", 0777},
                             {"dev/pts/1a", 0777}}) {
      mlt::write_file(dir_ / rel, "");
      chmod((dir_ / rel).c_str(), mode);
    }
    debug_log_comlog_init();
  }
  string take(const string &rel) {
    string text = mlt::read_file(dir_ / rel);
    fs::resize_file(dir_ / rel, 0);
    return text;
  }

  mlt::TempDir dir_;

 private:
  sys_log_desc saved_[SYS_LOG_COUNT];
  string saved_root_;
};

TEST_F(LogTest, WrapsAroundReadsOldestFirstAndClears) {
  sys_log_instance[0].max_records = 5;
  sys_log_instance[0].record_len = 64;
  ASSERT_EQ(sys_log_print(0, "m%d", 0), 0);
  EXPECT_EQ(header(0), (Fields{0x5A5A5A5A, 1, 24 + 64, 1, 5}));
  EXPECT_EQ(fs::file_size(log_path(0)), 24u + 64u);
  for (int i = 1; i < 5; i++) ASSERT_EQ(sys_log_print(0, "m%d", i), 0);
  EXPECT_EQ(header(0), (Fields{0x5A5A5A5A, 0, 24, 5, 5}));
  for (int i = 5; i < 8; i++) ASSERT_EQ(sys_log_print(0, "m%d", i), 0);
  for (int i = 0; i < 6; i++) EXPECT_EQ(record(0, i), i < 5 ? "m" + std::to_string(i + 3) : "");

  string dump = dir_ / "dump.txt";  // 5 records of 22 characters, no NULs
  ASSERT_EQ(sys_log_read_to_file(0, dump.c_str()), 0);
  string text = mlt::read_file(dump);
  ASSERT_EQ(text.size(), 5u * 22u);
  EXPECT_EQ(text.substr(20, 2) + text.substr(108), "m3m7");

  ASSERT_EQ(sys_log_clear(0), 0);
  EXPECT_EQ(fs::file_size(log_path(0)), 24u + 5 * 64u);
  EXPECT_EQ(header(0), (Fields{0x5A5A5A5A, 0, 24, 0, 5}));
  EXPECT_EQ(record(0, 0), "");
}

TEST_F(LogTest, DaemonLogNeedsFlagFileAndCutsLongText) {
  string text(300, 'x');
  EXPECT_EQ(sys_log_print(1, "%s", text.c_str()), -1);
  EXPECT_FALSE(fs::exists(log_path(1)));
  debug_log_comlog_init();
  ASSERT_EQ(sys_log_print(1, "%s", text.c_str()), 0);
  string raw = mlt::read_file(log_path(1));
  ASSERT_EQ(raw.size(), 24u + 256u);
  int t[6];
  EXPECT_EQ(sscanf(&raw[24], "%4d-%2d-%2d %2d:%2d:%2d", t, t + 1, t + 2, t + 3, t + 4, t + 5), 6);
  EXPECT_EQ(raw.substr(24 + 19), " " + string(234, 'x') + string(2, '\0'));
}

TEST_F(LogTest, BadFilesFailCleanly) {
  auto put_header = [&](sys_log_header h, size_t keep) {
    unsigned char raw[24];
    sys_log_encode_header(h, raw);
    mlt::write_file(log_path(0), string(reinterpret_cast<char *>(raw), keep));
  };
  // Right magic, impossible geometry: refused and left alone until cleared.
  put_header({SYS_LOG_MAGIC, 0, 24, 0, 0}, 24);
  EXPECT_EQ(sys_log_print(0, "x"), -1);
  EXPECT_EQ(record(0, 0), "");
  EXPECT_EQ(fs::file_size(log_path(0)), 24u);
  ASSERT_EQ(sys_log_clear(0), 0);
  EXPECT_EQ(sys_log_print(0, "x"), 0);
  // A foreign magic or a truncated header is replaced by an empty one.
  put_header({0x12345678, 3, 24 + 3 * 128, 3, 8}, 24);
  EXPECT_EQ(sys_log_print(0, "y"), 0);
  put_header({SYS_LOG_MAGIC, 3, 24 + 3 * 128, 3, 8}, 10);
  EXPECT_EQ(sys_log_print(0, "z"), 0);
  EXPECT_EQ(header(0), (Fields{0x5A5A5A5A, 1, 24 + 128, 1, 8}));

  snprintf(sys_log_instance[0].path, sizeof sys_log_instance[0].path, "/no/such/dir/k.log");
  EXPECT_EQ(sys_log_print(0, "x"), -1);
  semctl(semget(sem_key(2), 1, 0), 0, IPC_RMID);
  sys_log_instance[2].need_flag = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(sys_log_print(2, "x"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sys_log_lock: can't get semaphore\n");
}

// Two processes print 2,000 records each under the semaphore: every record
// is whole and each writer's sequence is complete and in order.
TEST_F(LogTest, TwoProcessesLoseAndTearNone) {
  constexpr int kEach = 2000;
  sys_log_instance[0].max_records = 2 * kEach;
  sys_log_instance[0].record_len = 48;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  int failed = 0;
  for (int i = 0; i < kEach; i++) failed |= sys_log_print(0, "%c %d", child ? 'p' : 'c', i);
  if (child == 0) _exit(failed ? 1 : 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && failed == 0);
  ASSERT_EQ(header(0)[3], 2 * kEach);
  int next[2] = {0, 0};
  for (int i = 0; i < 2 * kEach; i++) {
    string text = record(0, i);
    char c = 0;
    int seq = -1, n = 0;
    ASSERT_EQ(sscanf(text.c_str(), "%c %d%n", &c, &seq, &n), 2) << i << ": " << text;
    ASSERT_TRUE(static_cast<size_t>(n) == text.size() && seq == next[c == 'c']++) << text;
  }
}

TEST_F(LogTest, MessageLevelsAndPrefix) {
  terminals();
  mldaemon_debug_level = 3;
  // clang-format off
  int line = __LINE__; MLD_MSG(MLD_INFO, "ml_sample_process", "check sample failed\n");
  // clang-format on
  string want =
      "[mld :   mld_info]<ml_sample_process:" + std::to_string(line) + "> check sample failed\n";
  EXPECT_EQ(take("dev/console"), want);
  EXPECT_EQ(record(1, 0), want);
  MLD_MSG(MLD_TRACE, "ml_sample_process", "process sample result:%d\n", 1);
  MLD_MSG(MLD_DEBUG, "ml_sample_recv", "sample count(%d) is bigger than %d\n", 9, 8);
  EXPECT_EQ(take("dev/console"), "");

  testing::internal::CaptureStdout();
  MLD_ERR("ml_redis_conf", "load policy %s failed\n", "p1");
  string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, 33), "[mld :  mld_error]<ml_redis_conf:");
  EXPECT_EQ(take("dev/console"), out);
}

TEST_F(LogTest, MessageReachesEnabledDigitTerminalsCutAndKeepsErrno) {
  terminals();
  message("hello %d\n", 1);
  for (auto [rel, want] : {std::pair{"dev/console", "hello 1\n"},
                           {"dev/pts/0", "hello 1\n"},
                           {"dev/pts/1", ""},
                           {"dev/pts/ptmx", ""},
                           {"dev/pts/1a", ""}})
    EXPECT_EQ(take(rel), want) << rel;
  chmod((dir_ / "dev/pts/1").c_str(), 0621);
  message1("again\n");  // broadcast only
  EXPECT_EQ(take("dev/pts/1") + take("dev/pts/0"), "again\nagain\n");
  EXPECT_EQ(header(1)[3], 1);

  string big(10000, 'y');
  errno = EBADF;
  message("%s", big.c_str());
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(take("dev/console") == big.substr(0, 8191));
  EXPECT_TRUE(record(1, 1) == big.substr(0, 234));
  message0("%s", big.c_str());
  EXPECT_TRUE(take("dev/console") == big.substr(0, 1023));

  is_sys_log_stop = 1;
  message("stopped\n");
  EXPECT_EQ(take("dev/console"), "stopped\n");
  EXPECT_EQ(message2("m2\n"), 1);
  is_sys_log_stop = 0;
  EXPECT_EQ(message2("m2\n"), 0);
  EXPECT_EQ(record(1, 3), "m2\n");
  EXPECT_EQ(take("dev/console"), "");
}

int inits, locks, unlocks;

TEST_F(LogTest, RemoveHalfKeepsNewerLines) {
  string f = dir_ / "f.txt", seven, four_to_seven;
  for (int i = 1; i <= 7; i++)
    (i < 4 ? seven : four_to_seven) += "line " + std::to_string(i) + "\n";
  seven += four_to_seven;
  for (auto [before, after] : {std::pair{seven, four_to_seven},
                               {string("one, no newline"), string("one, no newline")},
                               {string(), string()},
                               // 10,000 bytes read as two lines, of 8191 and 1809 bytes
                               {string(9999, 'a') + "\n", string(1808, 'a') + "\n"}}) {
    mlt::write_file(f, before);
    ASSERT_EQ(remove_half_msg(f.c_str()), 0);
    EXPECT_TRUE(mlt::read_file(f) == after) << before.substr(0, 20);
  }
  fs::remove_all(dir_ / "var/log/debug");  // no room for the scratch file
  EXPECT_EQ(remove_half_msg(f.c_str()), -1);
  EXPECT_EQ(mlt::read_file(f), string(1808, 'a') + "\n");
}

// The only test that initialises the per-process files (state is process
// wide), so it can check the uninitialised case first.
TEST_F(LogTest, PerProcessFilesTrimOnlyAboveLimit) {
  const string debug_dir = dir_ / "var/log/debug";
  daemon_dbg_writedisk("before init\n");
  EXPECT_TRUE(fs::is_empty(debug_dir));
  testing::internal::CaptureStdout();
  daemon_dbg_writedisk_init(
      0x7ffffff0, [] { inits++; }, [] { locks++; }, [] { unlocks++; });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "get pid name failed\n");
  EXPECT_EQ(inits, 0);

  char name[128];
  ASSERT_EQ(getpidname(getpid(), name, sizeof name), 0);
  EXPECT_EQ(name + string("\n"), mlt::read_file("/proc/self/comm"));
  daemon_dbg_writedisk_init(
      getpid(), [] { inits++; }, [] { locks++; }, [] { unlocks++; });
  const string dbg = debug_dir + "/" + name + "_dbg";
  ASSERT_TRUE(fs::exists(dbg));
  EXPECT_EQ(inits, 1);

  EXPECT_EQ(dbg_file_limit, 104857600);
  dbg_file_limit = 100;
  string hundred;  // ten lines of ten bytes: exactly the limit
  for (char c = 'a'; c < 'k'; c++) hundred += string(9, c) + "\n";
  mlt::write_file(dbg, hundred);
  daemon_dbg_writedisk("%s\n", "A");
  EXPECT_EQ(fs::file_size(dbg), 102u);
  daemon_dbg_writedisk("%s\n", "B");  // one over: 11 lines, the first 5 go
  EXPECT_EQ(mlt::read_file(dbg), hundred.substr(50) + "A\nB\n");
  EXPECT_EQ(locks + unlocks, 4);

  daemon_startup_writedisk_init(getpid(), nullptr, nullptr, nullptr);
  daemon_startup_writedisk("up %d\n", 1);
  EXPECT_EQ(mlt::read_file(debug_dir + "/" + name + "_startup"), "up 1\n");
  dbg_file_limit = 104857600;
  system_startup_writedisk("s%d\n", 1);
  system_startup_writedisk("s%d\n", 2);
  EXPECT_EQ(mlt::read_file(debug_dir + "/system-startup.log"), "s1\ns2\n");
}

}  // namespace
