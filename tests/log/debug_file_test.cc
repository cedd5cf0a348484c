#include "log/debug_file.h"

#include <unistd.h>

#include <filesystem>

#include "tests/log/log_env.h"

namespace fs = std::filesystem;

namespace {

using DebugFileTest = LogEnv;

int inits, locks, unlocks;

std::string lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; i++) s += "line " + std::to_string(i) + "\n";
  return s;
}

TEST_F(DebugFileTest, RemoveHalfKeepsNewerLines) {
  std::string f = dir_ / "f.txt";
  for (auto [before, after] : {std::pair{lines(1, 7), lines(4, 7)},
                               {std::string("one, no newline"), std::string("one, no newline")},
                               {std::string(), std::string()},
                               // 10,000 bytes read as two lines, of 8191 and 1809 bytes
                               {std::string(9999, 'a') + "\n", std::string(1808, 'a') + "\n"}}) {
    mlt::write_file(f, before);
    ASSERT_EQ(remove_half_msg(f.c_str()), 0);
    EXPECT_TRUE(mlt::read_file(f) == after) << before.substr(0, 20);
  }
  fs::remove_all(dir_ / "var/log/debug");  // no room for the scratch file
  EXPECT_EQ(remove_half_msg(f.c_str()), -1);
  EXPECT_EQ(mlt::read_file(f), std::string(1808, 'a') + "\n");
}

// The only test that initialises the per-process files (state is process
// wide), so it can check the uninitialised case first.
TEST_F(DebugFileTest, PerProcessFilesTrimOnlyAboveLimit) {
  const std::string debug_dir = dir_ / "var/log/debug";
  daemon_dbg_writedisk("before init\n");
  EXPECT_TRUE(fs::is_empty(debug_dir));
  testing::internal::CaptureStdout();
  daemon_dbg_writedisk_init(
      0x7ffffff0, [] { inits++; }, [] { locks++; }, [] { unlocks++; });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "get pid name failed\n");
  EXPECT_EQ(inits, 0);

  char name[128];
  ASSERT_EQ(getpidname(getpid(), name, sizeof name), 0);
  EXPECT_EQ(name + std::string("\n"), mlt::read_file("/proc/self/comm"));
  daemon_dbg_writedisk_init(
      getpid(), [] { inits++; }, [] { locks++; }, [] { unlocks++; });
  const std::string dbg = debug_dir + "/" + name + "_dbg";
  ASSERT_TRUE(fs::exists(dbg));
  EXPECT_EQ(inits, 1);

  EXPECT_EQ(dbg_file_limit, 104857600);
  dbg_file_limit = 100;
  std::string hundred;  // ten lines of ten bytes: exactly the limit
  for (char c = 'a'; c < 'k'; c++) hundred += std::string(9, c) + "\n";
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
