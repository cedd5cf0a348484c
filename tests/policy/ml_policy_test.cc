#include "policy/ml_policy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/policy/test_state.h"

namespace {

class PolicyTable : public ::testing::Test {
 protected:
  void SetUp() override { mlt::make_state(3); }
  void TearDown() override { mlt::free_state(); }
  ml_plist *list() { return &g_data->ml_plist; }
};

TEST_F(PolicyTable, EditReplacesWholeSettingsAndDeleteUnlinks) {
  ml_policy_conf a = mlt::policy_conf("root", "a", 1, 1, 1, 1);
  ml_policy_conf other_vdom = mlt::policy_conf("v2", "a", 0, 0, 0, 0);
  ASSERT_EQ(_add_ml_policy(list(), &a), 0);
  ASSERT_EQ(_add_or_edit_ml_policy(list(), &other_vdom), 0);  // absent: appended
  ml_policy_conf a2 = mlt::policy_conf("root", "a", 0, 7, 8, 9);
  ASSERT_EQ(_add_or_edit_ml_policy(list(), &a2), 0);
  ml_policy_conf got{};
  ASSERT_EQ(ml_policy_lookup(list(), "root", "a", &got), 1);
  EXPECT_EQ(memcmp(&got, &a2, sizeof got), 0);
  EXPECT_EQ(list()->prev->conf.vdom, std::string("v2"));  // insertion order kept

  ml_policy_conf absent = mlt::policy_conf("root", "zz", 0, 0, 0, 0);
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
TEST_F(PolicyTable, ConcurrentLookupsSeeWholeSettings) {
  ml_policy_conf keep = mlt::policy_conf("cc", "steady", 0, 0, 0, 0);
  _add_ml_policy(list(), &keep);
  std::atomic<bool> stop{false};
  std::atomic<long> found{0}, torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; t++) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        ml_policy_conf c{};
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

}  // namespace
