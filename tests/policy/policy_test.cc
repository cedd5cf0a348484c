// The policy table and its loading from Redis. Each test owns the vdom
// "t<unique id>" and every policy key under it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/ml_debug.h"
#include "policy/ml_policy.h"
#include "policy/ml_redis_conf.h"
#include "tests/testutil/state.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;

class Policy : public ::testing::Test {
 protected:
  void SetUp() override {
    st = std::make_unique<mlt::State>(3);
    enable_debug_print = 1;
  }
  void TearDown() override {
    enable_debug_print = 0;
    redis.del_pattern("policy:" + vdom + "*");
    st.reset();
  }
  ml_plist *list() { return &st->plist; }
  std::unique_ptr<mlt::State> st;
  void put(const string &key, const string &v, bool with_sl = true) {
    redis.cmd({"HSET", key, "sample_collecting_mode", v, "hmm_engine", v, "model_min_learn_time", v,
               with_sl ? "sl_automatic_definitely" : "hmm_engine", v});
  }
  void put_policy(const string &name, const string &v) { put("policy:" + vdom + ":" + name, v); }
  int mode_of(const string &name) {
    ml_policy_conf c{};
    return ml_policy_lookup(list(), vdom.c_str(), name.c_str(), &c) == 1 ? c.sample_collecting_mode
                                                                         : -1;
  }
  template <class F>
  static string out_of(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  mlt::Redis redis;
  string vdom = "t" + std::to_string(mlt::unique_id());
};

// Every edit writes four equal settings: unequal ones are a torn read.
TEST_F(Policy, ConcurrentLookupsSeeWholeSettings) {
  std::atomic<bool> stop{false};
  std::atomic<long> found{0}, torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; t++) {
    readers.emplace_back([&] {
      for (ml_policy_conf c{}; !stop.load();) {
        if (ml_policy_lookup(list(), "cc", "hot", &c) != 1) continue;
        found++;
        torn += c.hmm_engine != c.sample_collecting_mode ||
                c.hmm_engine != c.model_min_learn_time || c.hmm_engine != c.sl_automatic_definitely;
      }
    });
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int32_t k = 1; std::chrono::steady_clock::now() < end; k++) {
    ml_policy_conf c = mlt::policy_conf("cc", "hot", k, k, k, k);
    _add_or_edit_ml_policy(list(), &c);
    if (k % 64 == 0) _del_ml_policy(list(), &c);
  }
  stop = true;
  for (auto &r : readers) r.join();
  EXPECT_TRUE(found.load() > 0 && torn.load() == 0);
}

TEST_F(Policy, ScanWalkLoadsEveryPolicyOnceInSeveralCalls) {
  for (int i = 0; i < 250; i++) put_policy("p" + std::to_string(i), std::to_string(i));
  auto scan_calls = [&] {
    std::smatch m;
    const string info = redis.str({"INFO", "commandstats"});
    std::regex_search(info, m, std::regex("cmdstat_scan:calls=([0-9]+)"));
    return m.empty() ? 0 : std::stol(m[1].str());
  };
  const long before = scan_calls();
  _load_ml_policy_all(st->redis, list());
  EXPECT_GE(scan_calls() - before, 3);
  int found = 0;
  for (int i = 0; i < 250; i++) found += mode_of("p" + std::to_string(i)) == i;
  EXPECT_EQ(found, 250);
}

TEST_F(Policy, KeyShapes) {
  const string p = "policy:" + vdom, long_vdom = vdom + string(12 - vdom.size(), 'L');
  put(p, "1");  // two parts
  put(p + ":nosl", "1", false);
  put("policy:" + long_vdom + ":n", "1");
  put_policy("pct%s%d", "2");
  put_policy("four", "3");
  string out = out_of([&] { _load_ml_policy_all(st->redis, list()); });
  for (const string &key : {p, p + ":nosl", "policy:" + long_vdom + ":n"})
    EXPECT_TRUE(
        std::regex_search(out, std::regex("(^|\n)[0-9]+,load policy " + key + " failed\n")));
  EXPECT_EQ(mode_of("pct%s%d"), 2);
  EXPECT_EQ(_load_redis_config(st->redis, list(), (p + ":four:extra").c_str()), 0);
}

TEST_F(Policy, SamePolicyTwiceKeepsFirstSettings) {
  put_policy("twice", "1");
  ASSERT_EQ(_get_redis_config_policy(st->redis, list(), vdom.c_str(), "twice"), 0);
  put_policy("twice", "0");
  string out = out_of([&] { _get_redis_config_policy(st->redis, list(), vdom.c_str(), "twice"); });
  EXPECT_NE(out.find("]\t\"config id duple\"\n"), string::npos) << out;
  EXPECT_EQ(mode_of("twice"), 1);
}

TEST_F(Policy, ReloadAddsEditsAndDeletes) {
  auto reload = [&](int op) {
    return out_of([&] { _redis_ml_policy_reload(st->redis, list(), vdom.c_str(), "r", op); });
  };
  put_policy("r", "1");
  EXPECT_NE(reload(1).find("\t\"Configuration policy add.\\n\"\n"), string::npos);
  put_policy("r", "0");
  reload(1);
  EXPECT_EQ(mode_of("r"), 0);
  EXPECT_NE(reload(2).find("\t\"Configuration policy delete.\\n\"\n"), string::npos);
  EXPECT_EQ(ml_policy_count(list()), 0);
  // A delete reads its names from the hash: once the hash is gone, the policy stays.
  reload(1);
  redis.cmd({"DEL", "policy:" + vdom + ":r"});
  reload(2);
  EXPECT_EQ(mode_of("r"), 0);
}

}  // namespace
