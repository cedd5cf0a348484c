// Logging under a private root: the system logs shrunk and given semaphore
// keys of their own; console and terminals are plain files.
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
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
      semctl(semget(sem_key(i), 1, 0), 0, IPC_RMID);  // a leftover of an earlier process
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
  for (int i = 1; i < 8; i++) ASSERT_EQ(sys_log_print(0, "m%d", i), 0);
  for (int i = 0; i < 5; i++) EXPECT_EQ(record(0, i), "m" + std::to_string(i + 3));
  ASSERT_EQ(sys_log_clear(0), 0);
  EXPECT_EQ(fs::file_size(log_path(0)), 24u + 5 * 64u);
}

TEST_F(LogTest, DaemonLogNeedsFlagFileAndCutsLongText) {
  string text(300, 'x');
  EXPECT_EQ(sys_log_print(1, "%s", text.c_str()), -1);
  debug_log_comlog_init();
  ASSERT_EQ(sys_log_print(1, "%s", text.c_str()), 0);
  string raw = mlt::read_file(log_path(1));
  ASSERT_EQ(raw.size(), 24u + 256u);
  EXPECT_EQ(raw.substr(24 + 19), " " + string(234, 'x') + string(2, '\0'));
}

// A header of the right magic but impossible geometry is refused and the
// file left alone until cleared; a foreign or short header is replaced.
TEST_F(LogTest, BadHeadersAreRefusedOrReplaced) {
  auto put_header = [&](sys_log_header h, size_t keep) {
    unsigned char raw[24];
    sys_log_encode_header(h, raw);
    mlt::write_file(log_path(0), string(reinterpret_cast<char *>(raw), keep));
  };
  for (sys_log_header h : {sys_log_header{SYS_LOG_MAGIC, 0, 24, 0, 0},
                           {SYS_LOG_MAGIC, 8, 24 + 8 * 128, 0, 8},
                           {SYS_LOG_MAGIC, 1, 24 + 128, 9, 8},
                           {SYS_LOG_MAGIC, 1, 24 + 100, 1, 8}}) {
    put_header(h, 24);
    EXPECT_EQ(sys_log_print(0, "x"), -1) << h.next_index << "/" << h.count << "/" << h.max_records;
    EXPECT_EQ(record(0, 0), "");
    EXPECT_EQ(fs::file_size(log_path(0)), 24u);
  }
  ASSERT_EQ(sys_log_clear(0), 0);
  EXPECT_EQ(sys_log_print(0, "x"), 0);
  put_header({0x12345678, 3, 24 + 3 * 128, 3, 8}, 24);
  EXPECT_EQ(sys_log_print(0, "y"), 0);
  put_header({SYS_LOG_MAGIC, 3, 24 + 3 * 128, 3, 8}, 10);
  EXPECT_EQ(sys_log_print(0, "z"), 0);
  EXPECT_EQ(header(0), (Fields{0x5A5A5A5A, 1, 24 + 128, 1, 8}));
  EXPECT_EQ(record(0, 0), "z");
}

// Any program may initialise a log while another one holds its lock: the
// semaphore it finds is used as it is, so the holder stays the only writer.
// Only a semaphore the init creates itself is set free.
TEST_F(LogTest, InitTakesAnExistingSemaphoreAsItIs) {
  const int id = semget(sys_log_instance[0].sem_key, 1, 0);
  ASSERT_GE(id, 0);
  EXPECT_EQ(semctl(id, 0, GETVAL), 1);  // created free by SetUp
  struct sembuf take = {0, -1, SEM_UNDO};
  ASSERT_EQ(semop(id, &take, 1), 0);
  EXPECT_EQ(sys_log_init(0), 0);
  EXPECT_EQ(semctl(id, 0, GETVAL), 0);
  struct sembuf give = {0, 1, SEM_UNDO};
  ASSERT_EQ(semop(id, &give, 1), 0);
  EXPECT_EQ(sys_log_init(0), 0);
  EXPECT_EQ(semctl(id, 0, GETVAL), 1);
}

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
  int next[2] = {0, 0};
  for (int i = 0; i < 2 * kEach; i++) {
    string text = record(0, i);
    char c = 0;
    int seq = -1, n = 0;
    ASSERT_EQ(sscanf(text.c_str(), "%c %d%n", &c, &seq, &n), 2) << i << ": " << text;
    ASSERT_TRUE(static_cast<size_t>(n) == text.size() && seq == next[c == 'c']++) << text;
  }
}

TEST_F(LogTest, LevelGating) {
  terminals();
  mldaemon_debug_level = 3;
  MLD_ERR("u", "e\n");
  string shown = take("dev/console");
  MLD_MSG(MLD_INFO, "u", "i\n");
  shown += take("dev/console");
  MLD_MSG(MLD_TRACE, "u", "t\n");
  MLD_MSG(MLD_DEBUG, "u", "d\n");
  shown += take("dev/console");
  EXPECT_TRUE(std::regex_match(shown, std::regex("[^\n]*> e\n[^\n]*> i\n"))) << shown;
}

TEST_F(LogTest, MessageReachesEnabledDigitTerminalsCutAndKeepsErrno) {
  terminals();
  message("hello %d\n", 1);
  EXPECT_EQ(take("dev/pts/0") + take("dev/pts/1") + take("dev/pts/ptmx") + take("dev/pts/1a"),
            "hello 1\n");
  string big(10000, 'y');
  errno = EBADF;
  message("%s", big.c_str());
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(take("dev/console") == big.substr(0, 8191));
}

TEST_F(LogTest, RemoveHalfKeepsNewerLines) {
  string f = dir_ / "f.txt", all;
  for (int i = 1; i <= 7; i++) all += "line " + std::to_string(i) + "\n";
  mlt::write_file(f, all);
  ASSERT_EQ(remove_half_msg(f.c_str()), 0);
  EXPECT_EQ(mlt::read_file(f), all.substr(21));
}

TEST_F(LogTest, DebugFileOneByteOverTheLimitLosesItsOlderHalf) {
  char name[128];
  ASSERT_EQ(getpidname(getpid(), name, sizeof name), 0);
  daemon_dbg_writedisk_init(getpid(), nullptr, nullptr, nullptr);
  const string dbg = dir_ / ("var/log/debug/" + string(name) + "_dbg");
  dbg_file_limit = 100;
  string hundred;  // ten lines of ten bytes
  for (char c = 'a'; c < 'k'; c++) hundred += string(9, c) + "\n";
  mlt::write_file(dbg, hundred);
  daemon_dbg_writedisk("%s\n", "A");
  daemon_dbg_writedisk("%s\n", "B");  // one over: 11 lines, the first 5 go
  EXPECT_EQ(mlt::read_file(dbg), hundred.substr(50) + "A\nB\n");
  dbg_file_limit = 104857600;
}

}  // namespace
