// The policy table and its loading from Redis. Each test owns the vdom
// "t<unique id>" and every policy key under it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/ml_debug.h"
#include "policy/ml_policy.h"
#include "policy/ml_redis_conf.h"
#include "tests/policy/test_state.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;

class Policy : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::make_state(3);
    enable_debug_print = 1;
  }
  void TearDown() override {
    enable_debug_print = 0;
    redis.del_pattern("policy:" + vdom + "*");
    redis.del_pattern("policyX:" + vdom + "*");
    mlt::free_state();
  }
  ml_plist *list() { return &g_data->ml_plist; }
  void put(const string &key, const string &v, bool with_sl = true) {
    std::vector<string> cmd = {"HSET",       key, "sample_collecting_mode", v,
                               "hmm_engine", v,   "model_min_learn_time",   v};
    if (with_sl) cmd.insert(cmd.end(), {"sl_automatic_definitely", v});
    redis.cmd(cmd);
  }
  void put_policy(const string &name, const string &v) { put("policy:" + vdom + ":" + name, v); }
  int mode_of(const string &name) {
    ml_policy_conf c{};
    int found = ml_policy_lookup(list(), vdom.c_str(), name.c_str(), &c);
    return found == 1 ? c.sample_collecting_mode : -1;
  }
  int own_policies() {
    int n = 0;
    for (ml_policy *p = list()->next; p != reinterpret_cast<ml_policy *>(list()); p = p->next)
      n += vdom == p->conf.vdom;
    return n;
  }
  // Standard output of f.
  template <class F>
  static string out_of(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  string load_all() {
    return out_of([] { _load_ml_policy_all(g_data->redis_conn); });
  }
  mlt::Redis redis;
  string vdom = "t" + std::to_string(mlt::unique_id());
};

TEST_F(Policy, EditReplacesWholeSettingsAndDeleteUnlinks) {
  ml_policy_conf a = mlt::policy_conf("root", "a", 1, 1, 1, 1);
  ml_policy_conf other_vdom = mlt::policy_conf("v2", "a", 0, 0, 0, 0);
  ml_policy_conf a2 = mlt::policy_conf("root", "a", 0, 7, 8, 9);
  ml_policy_conf absent = mlt::policy_conf("root", "zz", 0, 0, 0, 0), got{};
  ASSERT_EQ(_add_ml_policy(list(), &a), 0);
  ASSERT_EQ(_add_or_edit_ml_policy(list(), &other_vdom), 0);  // absent: appended
  ASSERT_EQ(_add_or_edit_ml_policy(list(), &a2), 0);
  ASSERT_EQ(ml_policy_lookup(list(), "root", "a", &got), 1);
  EXPECT_EQ(memcmp(&got, &a2, sizeof got), 0);
  EXPECT_EQ(list()->prev->conf.vdom, string("v2"));  // insertion order kept
  EXPECT_EQ(_del_ml_policy(list(), &absent), 0);
  EXPECT_EQ(ml_policy_count(list()), 2);
  EXPECT_EQ(_del_ml_policy(list(), &a), 0);
  EXPECT_EQ(ml_policy_lookup(list(), "root", "a", nullptr), 0);
  EXPECT_EQ(ml_policy_lookup(list(), "v2", "a", nullptr), 1);
  EXPECT_EQ(_del_ml_policy(list(), &other_vdom), 0);
  EXPECT_EQ(list()->next, reinterpret_cast<ml_policy *>(list()));
}

// Readers copy a policy's settings while the main thread keeps replacing,
// deleting and re-adding it. Every edit writes four equal settings, so a copy
// with unequal ones would be a torn read.
TEST_F(Policy, ConcurrentLookupsSeeWholeSettings) {
  ml_policy_conf keep = mlt::policy_conf("cc", "steady", 0, 0, 0, 0);
  _add_ml_policy(list(), &keep);
  std::atomic<bool> stop{false};
  std::atomic<long> found{0}, torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; t++) {
    readers.emplace_back([&] {
      for (ml_policy_conf c{}; !stop.load();) {
        if (ml_policy_lookup(list(), "cc", "hot", &c) != 1) continue;
        found++;
        if (c.hmm_engine != c.sample_collecting_mode || c.hmm_engine != c.model_min_learn_time ||
            c.hmm_engine != c.sl_automatic_definitely || strcmp(c.policy_name, "hot") != 0)
          torn++;
      }
    });
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int32_t k = 1; std::chrono::steady_clock::now() < end; k++) {
    ml_policy_conf c = mlt::policy_conf("cc", "hot", k, k, k, k);
    EXPECT_EQ(_add_or_edit_ml_policy(list(), &c), 0);
    if (k % 64 == 0) {
      EXPECT_EQ(_del_ml_policy(list(), &c), 0);
    }
  }
  stop = true;
  for (auto &r : readers) r.join();
  EXPECT_GT(found.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(ml_policy_lookup(list(), "cc", "steady", nullptr), 1);
}

TEST_F(Policy, ScanWalkLoadsEveryPolicyOnceInSeveralCalls) {
  for (int i = 0; i < 250; i++) put_policy("p" + std::to_string(i), std::to_string(i));
  char info[] = "CLIENT INFO";  // our connection's address, to pick its commands out
  reply_ptr r(redisconn_run_command(g_data->redis_conn, info, sizeof info - 1));
  std::smatch m;
  string text = r && r->str ? r->str : "";
  ASSERT_TRUE(std::regex_search(text, m, std::regex("addr=(\\S+)")));
  mlt::Redis monitor;
  ASSERT_EQ(monitor.str({"MONITOR"}), "OK");
  load_all();
  redis.cmd({"ECHO", "end-" + vdom});
  int scans = 0;
  for (string line; line.find("end-" + vdom) == string::npos;) {
    void *raw = nullptr;
    ASSERT_EQ(redisGetReply(monitor.ctx(), &raw), REDIS_OK);
    mlt::Reply reply(static_cast<redisReply *>(raw));
    line.assign(reply->str, reply->len);
    scans += line.find(m[1].str() + "] \"SCAN\"") != string::npos;
  }
  EXPECT_GE(scans, 3);
  EXPECT_EQ(own_policies(), 250);
  for (int i = 0; i < 250; i += 49) EXPECT_EQ(mode_of("p" + std::to_string(i)), i);
}

TEST_F(Policy, KeyShapes) {
  const string p = "policy:" + vdom, long_vdom = vdom + string(12 - vdom.size(), 'L');
  put(p, "1");  // two parts
  put(p + ":nosl", "1", false);
  put(p + ":a b", "1");
  put("policy:" + long_vdom + ":n", "1");
  put_policy("pct%s%d", "2");
  put_policy("junk", "x7");
  string out = load_all();
  // Refused (the over-long vdom not cut); a missing field is reported by the
  // loader, then by the walk.
  const string nosl = "load policy " + p + ":nosl failed\n";
  for (const string &key : {p, "policy:" + long_vdom + ":n", p + ":a b"})
    EXPECT_TRUE(std::regex_search(out, std::regex("(^|\n)[0-9]+,load policy " + key + " failed\n")))
        << key << "\n"
        << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("(^|\n)" + nosl + "[0-9]+," + nosl))) << out;
  EXPECT_EQ(mode_of("pct%s%d"), 2);
  EXPECT_EQ(mode_of("junk"), 0);  // not a number reads as 0
  EXPECT_EQ(own_policies(), 2);

  // Parts after the third are ignored; a first part only has to begin with "policy".
  put("policyX:" + vdom + ":x", "4");
  put_policy("x", "4");
  put_policy("four", "3");
  redis_conn *c = g_data->redis_conn;
  out = out_of([&] {
    EXPECT_EQ(_load_redis_config(c, (p + ":four:extra").c_str()), 0);
    EXPECT_EQ(_load_redis_config(c, ("policyX:" + vdom + ":x").c_str()), 0);
    EXPECT_EQ(_load_redis_config(c, ("polic:" + vdom + ":x").c_str()), -1);
  });
  EXPECT_NE(out.find("invalid policyname polic\n"), string::npos);
  EXPECT_EQ(mode_of("x"), 4);
  EXPECT_EQ(mode_of("four"), 3);
}

TEST_F(Policy, SamePolicyTwiceKeepsFirstSettings) {
  put_policy("twice", "1");
  ASSERT_EQ(_get_redis_config_policy(g_data->redis_conn, vdom.c_str(), "twice"), 0);
  put_policy("twice", "0");
  string out = out_of(
      [&] { EXPECT_EQ(_get_redis_config_policy(g_data->redis_conn, vdom.c_str(), "twice"), 0); });
  EXPECT_NE(out.find("[_add_ml_policy:"), string::npos) << out;
  EXPECT_NE(out.find("]\t\"config id duple\"\n"), string::npos) << out;
  EXPECT_EQ(mode_of("twice"), 1);
}

TEST_F(Policy, ReloadAddsEditsAndDeletes) {
  auto reload = [&](int op) {
    return out_of([&] { _redis_ml_policy_reload(g_data->redis_conn, vdom.c_str(), "r", op); });
  };
  put_policy("r", "1");
  string out = reload(1);
  EXPECT_NE(out.find("\t\"Configuration policy add.\\n\"\n"), string::npos) << out;
  EXPECT_NE(out.find("\"\nVdom[" + vdom + "] Policy[r] #\n\t hmm_engine:1\n"), string::npos);
  EXPECT_EQ(mode_of("r"), 1);
  put_policy("r", "0");
  reload(1);
  EXPECT_EQ(mode_of("r"), 0);
  EXPECT_EQ(own_policies(), 1);
  out = reload(2);
  EXPECT_NE(out.find("\t\"Configuration policy delete.\\n\"\n"), string::npos) << out;
  EXPECT_EQ(own_policies(), 0);
  // A delete reads its names from the hash: once the hash is gone, the policy stays.
  reload(1);
  redis.cmd({"DEL", "policy:" + vdom + ":r"});
  reload(2);
  EXPECT_EQ(mode_of("r"), 0);
}

}  // namespace
