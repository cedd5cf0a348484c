// Framework stand-in: registration, configuration record, core files, CPU
// count and the debug zone, all below a private root folder; the decoder of
// configuration messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "platform/framework/framework.h"
#include "platform/framework/msg_info.h"
#include "tests/testutil/testutil.h"

namespace {

class FrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override { fw_set_root(root_.path().c_str()); }
  void TearDown() override { fw_set_root(""); }
  mlt::TempDir root_;
};

TEST_F(FrameworkTest, FixedPathsLiveBelowTheRoot) {
  char p[PATH_MAX];
  EXPECT_EQ(std::string(fw_path("/var/log/x", p, sizeof p)), root_.path() + "/var/log/x");
  char tiny[8];
  EXPECT_EQ(std::string(fw_path("/var/log/x", tiny, sizeof tiny)).size(), 7u);  // cut, terminated
}

TEST_F(FrameworkTest, SecondInstanceIsRefused) {
  ASSERT_EQ(dn_init("mlt_instance"), 0);
  EXPECT_EQ(mlt::read_file(root_ / "var/run/mlt_instance.pid"), std::to_string(getpid()) + "\n");
  pid_t child = fork();
  if (child == 0) _exit(dn_init("mlt_instance") == 0 ? 0 : 1);  // another process, same name
  int st;
  waitpid(child, &st, 0);
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_EQ(dn_init("bad/name"), -1);
}

TEST_F(FrameworkTest, GlobalRecordComesFromTheConfigurationFile) {
  EXPECT_EQ(nCfg_query(NCFG_GLOBAL_CONF), nullptr);  // no file: no record
  EXPECT_EQ(cmf_query_update(nullptr), nullptr);
  mlt::write_file(root_ / "etc/ml_daemon/global.conf", "# cores\ncore_file_count = 5\nother = 1\n");
  EXPECT_EQ(nCfg_query(1234), nullptr);
  sys_global_conf *conf = cmf_query_update(nCfg_query(NCFG_GLOBAL_CONF));
  ASSERT_NE(conf, nullptr);
  EXPECT_EQ(reinterpret_cast<uint32_t *>(conf)[5], 5u);
}

// A message is one JSON object of integer class and action, in-range ids and
// string names, and nothing after it; anything else is refused with the event
// left zeroed, so no handler acts on half a message.
TEST_F(FrameworkTest, ConfigurationDecoderRefusesWhatIsNotAnEvent) {
  const mlne_msg_info zero{};
  mlne_msg_info info;
  for (const std::string text :
       {"not json", "[1,2]", "\"s\"", "{\"action\":1}", "{\"class\":\"0\",\"action\":1}",
        "{\"class\":0.5,\"action\":1}", "{\"class\":2147483648,\"action\":1}",
        "{\"class\":2,\"action\":10,\"domain_id\":-1}",
        "{\"class\":2,\"action\":10,\"arg_id\":4294967296}",
        "{\"class\":0,\"action\":1,\"vdom\":5}",
        "{\"class\":0,\"action\":1,\"vdom\":\"v\",\"policy\":[\"p\"]}",
        "{\"class\":0,\"action\":1}junk", "{\"class\":0,\"action\":1}{}"}) {
    memset(&info, 0xff, sizeof info);
    EXPECT_EQ(mlne_get_msg_info(text.data(), static_cast<int>(text.size()), &info), -1) << text;
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0) << text;
  }
  EXPECT_EQ(mlne_get_msg_info(nullptr, 4, &info), -1);
  EXPECT_EQ(mlne_get_msg_info("{}", 0, &info), -1);

  // Refused, not cut: a name longer than its field would name another policy.
  for (const std::string &text :
       {std::string("{\"class\":0,\"action\":1,\"vdom\":\"abcdefghijkl\",\"policy\":\"p\"}"),
        "{\"class\":0,\"action\":1,\"vdom\":\"v\",\"policy\":\"" + std::string(64, 'p') + "\"}"}) {
    memset(&info, 0xff, sizeof info);
    EXPECT_EQ(mlne_get_msg_info(text.data(), static_cast<int>(text.size()), &info), -1) << text;
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0) << text;
  }

  // Accepted: trailing blanks, the extreme ids, names filling their fields,
  // and exactly len bytes read.
  const std::string ok =
      "{\"class\":4,\"action\":-6,\"domain_id\":4294967295,\"arg_id\":7,"
      "\"vdom\":\"abcdefghijk\",\"policy\":\"" +
      std::string(63, 'p') + "\"} \r\n";
  ASSERT_EQ(mlne_get_msg_info(ok.data(), static_cast<int>(ok.size()), &info), 0);
  EXPECT_EQ(std::make_tuple(info.event_class, info.event_action, info.domain_id, info.arg_id),
            std::make_tuple(4, -6, 4294967295u, 7u));
  EXPECT_EQ(std::string(info.vdom) + "/" + info.policy_name, "abcdefghijk/" + std::string(63, 'p'));
  EXPECT_EQ(mlne_get_msg_info("{\"class\":1,\"action\":2}junk", 22, &info), 0);
}

TEST_F(FrameworkTest, OldestSurplusCoreFilesAreRemoved) {
  EXPECT_EQ(dn_clean_coredump(3, "core-ml_daemon"), 0);  // no folder yet
  for (int i = 0; i < 5; i++) {
    std::string path = root_ / ("var/core/core-ml_daemon." + std::to_string(100 + i));
    mlt::write_file(path, "core");
    struct timespec times[2] = {{1000 + i, 0}, {1000 + i, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  mlt::write_file(root_ / "var/core/core-other.1", "core");
  EXPECT_EQ(dn_clean_coredump(3, "core-ml_daemon"), 2);
  namespace fs = std::filesystem;
  EXPECT_FALSE(fs::exists(root_ / "var/core/core-ml_daemon.100"));
  EXPECT_FALSE(fs::exists(root_ / "var/core/core-ml_daemon.101"));
  EXPECT_TRUE(fs::exists(root_ / "var/core/core-ml_daemon.102"));
  EXPECT_TRUE(fs::exists(root_ / "var/core/core-ml_daemon.104"));
  EXPECT_TRUE(fs::exists(root_ / "var/core/core-other.1"));
  EXPECT_EQ(dn_clean_coredump(3, "core-ml_daemon"), 0);
  EXPECT_EQ(dn_clean_coredump(0, "core-ml_daemon"), 3);
}

TEST_F(FrameworkTest, CpuQuotaOfCgroupV2AndV1ElseTheAffinityMask) {
  cpu_set_t set;
  sched_getaffinity(0, sizeof set, &set);
  const int affinity = CPU_COUNT(&set);
  const std::string cg = root_ / "cg", self = root_ / "self_cgroup";

  EXPECT_EQ(fw_cpus_from_cgroup(cg.c_str(), self.c_str()), affinity);  // nothing there

  mlt::write_file(self, "0::/svc\n");
  mlt::write_file(cg + "/svc/cpu.max", "150000 100000\n");  // 1.5 CPUs, rounded up
  EXPECT_EQ(fw_cpus_from_cgroup(cg.c_str(), self.c_str()), 2);
  mlt::write_file(cg + "/svc/cpu.max", "max 100000\n");
  EXPECT_EQ(fw_cpus_from_cgroup(cg.c_str(), self.c_str()), affinity);
  mlt::write_file(cg + "/svc/cpu.max", "0 100000\n");
  EXPECT_EQ(fw_cpus_from_cgroup(cg.c_str(), self.c_str()), 0);
  mlt::write_file(cg + "/svc/cpu.max", "garbage");
  mlt::write_file(cg + "/cpu.max", "6600000 100000\n");  // the mount's own group
  EXPECT_EQ(fw_cpus_from_cgroup(cg.c_str(), self.c_str()), 66);

  const std::string v1 = root_ / "v1", self1 = root_ / "self_v1";
  mlt::write_file(self1, "4:memory:/x\n3:cpu,cpuacct:/job\n");
  mlt::write_file(v1 + "/cpu,cpuacct/job/cpu.cfs_quota_us", "300000\n");
  mlt::write_file(v1 + "/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(fw_cpus_from_cgroup(v1.c_str(), self1.c_str()), 3);
  mlt::write_file(v1 + "/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
  EXPECT_EQ(fw_cpus_from_cgroup(v1.c_str(), self1.c_str()), affinity);

  EXPECT_GT(get_cpus_from_cgroup(), 0);
}

TEST_F(FrameworkTest, DebugZoneIsSharedBetweenMappings) {
  conf_init();
  ASSERT_NE(nCfg_debug_zone, nullptr);
  unsigned char *other = fw_debug_zone_map();  // as an operator tool maps it
  ASSERT_NE(other, nullptr);
  fw_debug_zone_set_level(other, 4);
  EXPECT_EQ(fw_debug_zone_level(nCfg_debug_zone), 4u);
  EXPECT_EQ(std::filesystem::file_size(root_ / "dev/shm/ml_debug_zone"), ML_DEBUG_ZONE_SIZE);
  conf_end();
  EXPECT_EQ(nCfg_debug_zone, nullptr);
  EXPECT_EQ(fw_debug_zone_level(nullptr), 0u);
}

}  // namespace

namespace {

// A refused payload must leave nothing of an earlier event in the caller's
// record, whatever the reason for the refusal (the empty payload was found by
// fuzzing: it left the record as it was).
TEST(MsgInfo, DecodesEventsAndRefusalsLeaveAZeroedRecord) {
  mlne_msg_info info;
  const std::string ok =
      R"({"class":4,"action":6,"domain_id":4294967295,"arg_id":7,"vdom":"root"})";
  ASSERT_EQ(mlne_get_msg_info(ok.data(), static_cast<int>(ok.size()), &info), 0);
  EXPECT_EQ(info.event_class, 4);
  EXPECT_EQ(info.domain_id, 4294967295u);
  EXPECT_STREQ(info.vdom, "root");
  const mlne_msg_info zero{};
  for (const std::string &bad :
       {std::string(), std::string(R"({"class":1,"action":1} x)"), std::string(R"({"class":1})"),
        std::string(R"({"class":1,"action":1,"arg_id":-1})"), std::string(R"([1,2])")}) {
    memset(&info, 0x5a, sizeof info);
    EXPECT_EQ(mlne_get_msg_info(bad.data(), static_cast<int>(bad.size()), &info), -1) << bad;
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0) << bad;
  }
  EXPECT_EQ(mlne_get_msg_info(ok.data(), static_cast<int>(ok.size()), nullptr), -1);
}

}  // namespace
