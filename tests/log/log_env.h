// A private appliance root for the logging tests: fixed paths below a temporary
// folder, the system logs shrunk and given semaphore keys of their own (from
// the pid, removed afterwards), and the descriptors restored at the end.
#pragma once

#include <gtest/gtest.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "log/sys_log.h"
#include "platform/framework/framework.h"
#include "tests/testutil/testutil.h"

class LogEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(saved_, sys_log_instance, sizeof saved_);
    saved_root_ = fw_root();
    fw_set_root(dir_.path().c_str());
    std::filesystem::create_directories(dir_ / "var/log/debug");
    std::filesystem::create_directories(dir_ / "home");
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
  }
  static int sem_key(int log) { return 0x4d400000 | ((getpid() & 0xffff) << 2) | log; }
  std::string log_path(int log) const { return dir_.path() + sys_log_instance[log].path; }
  sys_log_header header(int log) const {
    std::string raw = mlt::read_file(log_path(log)) + std::string(24, '\0');
    return sys_log_decode_header(reinterpret_cast<const unsigned char *>(raw.data()));
  }
  // Text of record index (0 = oldest) after the time stamp; "" when unreadable.
  static std::string record(int log, int index) {
    char buf[1024] = {};
    if (sys_log_read(log, index, buf, sizeof buf - 1) != 0 || strlen(buf) < 20) return "";
    return buf + 20;
  }

  mlt::TempDir dir_;

 private:
  sys_log_desc saved_[SYS_LOG_COUNT];
  std::string saved_root_;
};
