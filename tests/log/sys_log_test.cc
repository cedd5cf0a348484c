#include "log/sys_log.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "log/debug_file.h"
#include "tests/log/log_env.h"

namespace fs = std::filesystem;

namespace {

using SysLogTest = LogEnv;
using Fields = std::vector<int64_t>;

Fields fields(const sys_log_header &h) {
  return {h.magic, h.next_index, h.next_offset, h.count, h.max_records};
}

TEST_F(SysLogTest, WrapsAroundReadsOldestFirstAndClears) {
  sys_log_instance[0].max_records = 5;
  sys_log_instance[0].record_len = 64;
  ASSERT_EQ(sys_log_print(0, "m%d", 0), 0);
  EXPECT_EQ(fields(header(0)), (Fields{0x5A5A5A5A, 1, 24 + 64, 1, 5}));
  EXPECT_EQ(fs::file_size(log_path(0)), 24u + 64u);
  for (int i = 1; i < 5; i++) ASSERT_EQ(sys_log_print(0, "m%d", i), 0);
  EXPECT_EQ(fields(header(0)), (Fields{0x5A5A5A5A, 0, 24, 5, 5}));
  for (int i = 5; i < 8; i++) ASSERT_EQ(sys_log_print(0, "m%d", i), 0);
  for (int i = 0; i < 5; i++) EXPECT_EQ(record(0, i), "m" + std::to_string(i + 3));
  EXPECT_EQ(record(0, 5), "");

  std::string dump = dir_ / "dump.txt";  // 5 records of 22 characters, no NULs
  ASSERT_EQ(sys_log_read_to_file(0, dump.c_str()), 0);
  std::string text = mlt::read_file(dump);
  ASSERT_EQ(text.size(), 5u * 22u);
  EXPECT_EQ(text.substr(20, 2) + text.substr(108), "m3m7");

  ASSERT_EQ(sys_log_clear(0), 0);
  EXPECT_EQ(fs::file_size(log_path(0)), 24u + 5 * 64u);
  EXPECT_EQ(fields(header(0)), (Fields{0x5A5A5A5A, 0, 24, 0, 5}));
  EXPECT_EQ(record(0, 0), "");
}

TEST_F(SysLogTest, DaemonLogNeedsFlagFileAndCutsLongText) {
  std::string text(300, 'x');
  EXPECT_EQ(sys_log_print(1, "%s", text.c_str()), -1);
  EXPECT_FALSE(fs::exists(log_path(1)));
  debug_log_comlog_init();
  ASSERT_EQ(sys_log_print(1, "%s", text.c_str()), 0);
  std::string raw = mlt::read_file(log_path(1));
  ASSERT_EQ(raw.size(), 24u + 256u);
  int t[6];
  EXPECT_EQ(sscanf(&raw[24], "%4d-%2d-%2d %2d:%2d:%2d", t, t + 1, t + 2, t + 3, t + 4, t + 5), 6);
  EXPECT_EQ(raw.substr(24 + 19), " " + std::string(234, 'x') + std::string(2, '\0'));
}

TEST_F(SysLogTest, BadFilesFailCleanly) {
  auto put_header = [&](sys_log_header h, size_t keep) {
    unsigned char raw[24];
    sys_log_encode_header(h, raw);
    mlt::write_file(log_path(0), std::string(reinterpret_cast<char *>(raw), keep));
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
  EXPECT_EQ(fields(header(0)), (Fields{0x5A5A5A5A, 1, 24 + 128, 1, 8}));

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
TEST_F(SysLogTest, TwoProcessesLoseAndTearNone) {
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
  ASSERT_EQ(header(0).count, 2 * kEach);
  int next[2] = {0, 0};
  for (int i = 0; i < 2 * kEach; i++) {
    std::string text = record(0, i);
    char c = 0;
    int seq = -1, n = 0;
    ASSERT_EQ(sscanf(text.c_str(), "%c %d%n", &c, &seq, &n), 2) << i << ": " << text;
    ASSERT_TRUE(static_cast<size_t>(n) == text.size() && seq == next[c == 'c']++) << text;
  }
}

}  // namespace
