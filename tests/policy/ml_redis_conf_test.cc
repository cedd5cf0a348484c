#include "policy/ml_redis_conf.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "log/ml_debug.h"
#include "tests/policy/test_state.h"
#include "tests/testutil/testutil.h"

namespace {

// Each test owns the vdom "t<unique id>" and every policy key under it.
class PolicyLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::make_state(3);
    vdom = "t" + std::to_string(mlt::unique_id());
    enable_debug_print = 1;
  }
  void TearDown() override {
    enable_debug_print = 0;
    redis.del_pattern("policy:" + vdom + "*");
    redis.del_pattern("policyX:" + vdom + "*");
    mlt::free_state();
  }
  void put(const std::string &key, const std::string &v, bool with_sl = true) {
    std::vector<std::string> cmd = {"HSET",       key, "sample_collecting_mode", v,
                                    "hmm_engine", v,   "model_min_learn_time",   v};
    if (with_sl) cmd.insert(cmd.end(), {"sl_automatic_definitely", v});
    redis.cmd(cmd);
  }
  void put_policy(const std::string &name, const std::string &v) {
    put("policy:" + vdom + ":" + name, v);
  }
  int mode_of(const std::string &name) {
    ml_policy_conf c{};
    int found = ml_policy_lookup(&g_data->ml_plist, vdom.c_str(), name.c_str(), &c);
    return found == 1 ? c.sample_collecting_mode : -1;
  }
  int own_policies() {
    int n = 0;
    ml_plist *l = &g_data->ml_plist;
    for (ml_policy *p = l->next; p != reinterpret_cast<ml_policy *>(l); p = p->next)
      n += vdom == p->conf.vdom;
    return n;
  }
  std::string load_all() {
    testing::internal::CaptureStdout();
    _load_ml_policy_all(g_data->redis_conn);
    return testing::internal::GetCapturedStdout();
  }
  mlt::Redis redis;
  std::string vdom;
};

TEST_F(PolicyLoad, ScanWalkLoadsEveryPolicyOnceInSeveralCalls) {
  for (int i = 0; i < 250; i++) put_policy("p" + std::to_string(i), std::to_string(i));
  char info[] = "CLIENT INFO";  // our connection's address, to pick its commands out
  reply_ptr r(redisconn_run_command(g_data->redis_conn, info, sizeof info - 1));
  std::smatch m;
  std::string text = r && r->str ? r->str : "";
  ASSERT_TRUE(std::regex_search(text, m, std::regex("addr=(\\S+)")));
  const std::string scan_of_ours = m[1].str() + "] \"SCAN\"";

  mlt::Redis monitor;
  ASSERT_EQ(monitor.str({"MONITOR"}), "OK");
  load_all();
  redis.cmd({"ECHO", "end-" + vdom});
  int scans = 0;
  for (std::string line; line.find("end-" + vdom) == std::string::npos;) {
    void *raw = nullptr;
    ASSERT_EQ(redisGetReply(monitor.ctx(), &raw), REDIS_OK);
    mlt::Reply reply(static_cast<redisReply *>(raw));
    line.assign(reply->str, reply->len);
    scans += line.find(scan_of_ours) != std::string::npos;
  }
  EXPECT_GE(scans, 3);
  EXPECT_EQ(own_policies(), 250);
  for (int i = 0; i < 250; i += 49) EXPECT_EQ(mode_of("p" + std::to_string(i)), i);
}

TEST_F(PolicyLoad, KeyShapes) {
  const std::string p = "policy:" + vdom;
  const std::string long_vdom = vdom + std::string(12 - vdom.size(), 'L');
  put(p, "1");  // two parts
  put(p + ":nosl", "1", false);
  put(p + ":a b", "1");
  put("policy:" + long_vdom + ":n", "1");
  put_policy("pct%s%d", "2");
  put_policy("junk", "x7");
  std::string out = load_all();

  auto failed = [&](const std::string &key) {
    return std::regex_search(out, std::regex("(^|\n)[0-9]+,load policy " + key + " failed\n"));
  };
  EXPECT_TRUE(failed(p)) << out;
  EXPECT_TRUE(failed("policy:" + long_vdom + ":n")) << out;  // refused, not cut
  EXPECT_TRUE(failed(p + ":a b")) << out;
  // A missing field is reported by the loader, then by the walk.
  const std::string nosl = "load policy " + p + ":nosl failed\n";
  EXPECT_TRUE(std::regex_search(out, std::regex("(^|\n)" + nosl + "[0-9]+," + nosl))) << out;
  EXPECT_EQ(mode_of("pct%s%d"), 2);
  EXPECT_EQ(mode_of("junk"), 0);  // not a number reads as 0
  EXPECT_EQ(own_policies(), 2);

  // Parts after the third are ignored; a first part only has to begin with "policy".
  put("policyX:" + vdom + ":x", "4");
  put_policy("x", "4");
  put_policy("four", "3");
  testing::internal::CaptureStdout();
  EXPECT_EQ(_load_redis_config(g_data->redis_conn, (p + ":four:extra").c_str()), 0);
  EXPECT_EQ(_load_redis_config(g_data->redis_conn, ("policyX:" + vdom + ":x").c_str()), 0);
  EXPECT_EQ(_load_redis_config(g_data->redis_conn, ("polic:" + vdom + ":x").c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("invalid policyname polic\n"),
            std::string::npos);
  EXPECT_EQ(mode_of("x"), 4);
  EXPECT_EQ(mode_of("four"), 3);
}

TEST_F(PolicyLoad, SamePolicyTwiceKeepsFirstSettings) {
  put_policy("twice", "1");
  ASSERT_EQ(_get_redis_config_policy(g_data->redis_conn, vdom.c_str(), "twice"), 0);
  put_policy("twice", "0");
  testing::internal::CaptureStdout();
  EXPECT_EQ(_get_redis_config_policy(g_data->redis_conn, vdom.c_str(), "twice"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[_add_ml_policy:"), std::string::npos) << out;
  EXPECT_NE(out.find("]\t\"config id duple\"\n"), std::string::npos) << out;
  EXPECT_EQ(mode_of("twice"), 1);
}

TEST_F(PolicyLoad, ReloadAddsEditsAndDeletes) {
  redis_conn *c = g_data->redis_conn;
  put_policy("r", "1");
  testing::internal::CaptureStdout();
  _redis_ml_policy_reload(c, vdom.c_str(), "r", 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\t\"Configuration policy add.\\n\"\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"\nVdom[" + vdom + "] Policy[r] #\n\t hmm_engine:1\n"), std::string::npos);
  EXPECT_EQ(mode_of("r"), 1);

  put_policy("r", "0");
  _redis_ml_policy_reload(c, vdom.c_str(), "r", 1);
  EXPECT_EQ(mode_of("r"), 0);
  EXPECT_EQ(own_policies(), 1);
  testing::internal::CaptureStdout();
  _redis_ml_policy_reload(c, vdom.c_str(), "r", 2);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\t\"Configuration policy delete.\\n\"\n"), std::string::npos) << out;
  EXPECT_EQ(own_policies(), 0);

  // A delete reads its names from the hash: once the hash is gone, the policy stays.
  _redis_ml_policy_reload(c, vdom.c_str(), "r", 1);
  redis.cmd({"DEL", "policy:" + vdom + ":r"});
  _redis_ml_policy_reload(c, vdom.c_str(), "r", 2);
  EXPECT_EQ(mode_of("r"), 0);
}

}  // namespace
