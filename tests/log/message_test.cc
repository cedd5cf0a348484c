#include "log/ml_message.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "log/debug_file.h"
#include "tests/log/log_env.h"

namespace fs = std::filesystem;

namespace {

// The console and terminals are plain files below the test root; a message
// writes from offset 0, so each check takes a file's text and empties it.
class MessageTest : public LogEnv {
 protected:
  void SetUp() override {
    LogEnv::SetUp();
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
  void TearDown() override {
    mldaemon_debug_level = 0;
    is_sys_log_stop = 0;
    LogEnv::TearDown();
  }
  std::string take(const std::string &rel) {
    std::string text = mlt::read_file(dir_ / rel);
    fs::resize_file(dir_ / rel, 0);
    return text;
  }
};

TEST_F(MessageTest, LevelGatingAndPrefix) {
  mldaemon_debug_level = 3;
  // clang-format off
  int line = __LINE__; MLD_MSG(MLD_INFO, "ml_sample_process", "check sample failed\n");
  // clang-format on
  std::string want =
      "[mld :   mld_info]<ml_sample_process:" + std::to_string(line) + "> check sample failed\n";
  EXPECT_EQ(take("dev/console"), want);
  EXPECT_EQ(record(1, 0), want);
  MLD_MSG(MLD_TRACE, "ml_sample_process", "process sample result:%d\n", 1);
  MLD_MSG(MLD_DEBUG, "ml_sample_recv", "sample count(%d) is bigger than %d\n", 9, 8);
  EXPECT_EQ(take("dev/console"), "");

  testing::internal::CaptureStdout();
  MLD_ERR("ml_redis_conf", "load policy %s failed\n", "p1");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, 33), "[mld :  mld_error]<ml_redis_conf:");
  EXPECT_EQ(take("dev/console"), out);
}

TEST_F(MessageTest, OnlyEnabledDigitTerminalsReceive) {
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
  EXPECT_EQ(header(1).count, 1);
}

TEST_F(MessageTest, LongTextIsCutAndErrnoSurvives) {
  std::string big(10000, 'y');
  errno = EBADF;
  message("%s", big.c_str());
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(take("dev/console") == big.substr(0, 8191));
  EXPECT_TRUE(record(1, 0) == big.substr(0, 234));
  message0("%s", big.c_str());
  EXPECT_TRUE(take("dev/console") == big.substr(0, 1023));

  is_sys_log_stop = 1;
  message("stopped\n");
  EXPECT_EQ(take("dev/console"), "stopped\n");
  EXPECT_EQ(message2("m2\n"), 1);
  is_sys_log_stop = 0;
  EXPECT_EQ(message2("m2\n"), 0);
  EXPECT_EQ(record(1, 2), "m2\n");
  EXPECT_EQ(take("dev/console"), "");
}

}  // namespace
