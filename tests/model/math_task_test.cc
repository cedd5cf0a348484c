// The math task list: its bound, its order across producer threads, and the
// start-up load of the arguments Redis holds in building.
#include "model/math_task.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/ml_debug.h"
#include "tests/policy/test_state.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;
using std::to_string;

class MathTask : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::make_state(1);
    pthread_mutex_init(&g_data->db_connect_lock, nullptr);
  }
  void TearDown() override {
    drain();
    if (g_data->task_array.list) free(g_data->task_array.list);
    for (const auto &k : keys) redis.cmd({"DEL", k});
    for (const auto &f : domain_fields) redis.cmd({"HDEL", "domains", f});
    redisconn_free(g_data->redis_conn);
    g_data->redis_conn = nullptr;
    mlt::free_state();
    enable_debug_print = 0;
  }
  std::vector<math_task> drain() {
    std::vector<math_task> out;
    math_task t;
    while (ml_get_math_task(&t) == 0) out.push_back(t);
    return out;
  }
  void hset(const string &key, std::vector<string> fields) {
    keys.push_back(key);
    fields.insert(fields.begin(), {"HSET", key});
    redis.cmd(fields);
  }
  // A domain listed in the hash "domains".
  uint32_t domain(const std::vector<string> &info) {
    const uint32_t d = mlt::unique_id();
    domain_fields.push_back("mlt_" + to_string(d));
    redis.cmd({"HSET", "domains", domain_fields.back(), to_string(d)});
    if (!info.empty()) hset("domain_info:" + to_string(d), info);
    return d;
  }

  mlt::Redis redis;
  std::vector<string> keys, domain_fields;
};

// Four producers add at once; each add takes a ticket under one lock, so the
// tickets give the order the list must keep.
TEST_F(MathTask, BoundedFifoAcrossProducers) {
  ASSERT_EQ(ml_init_math_task_list(g_data->redis_conn), 0);
  drain();  // whatever other suites left in building
  math_task t{};
  EXPECT_EQ(ml_get_math_task(&t), -2);
  std::mutex order;
  uint32_t ticket = 0;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; p++)
    producers.emplace_back([&] {
      for (int i = 0; i < 2048; i++) {
        std::lock_guard<std::mutex> g(order);
        math_task task{1, ticket, ticket, MATH_TASK_AUTO, "db"};
        if (ml_add_math_task(&task) == 0) ticket++;
      }
    });
  for (auto &p : producers) p.join();
  ASSERT_EQ(ticket, MATH_TASK_MAX);
  EXPECT_EQ(ml_add_math_task(&t), -2);
  EXPECT_EQ(g_data->task_array.task_count, MATH_TASK_MAX);
  EXPECT_EQ(ml_add_math_task(nullptr), -1);

  std::vector<math_task> out = drain();
  ASSERT_EQ(out.size(), MATH_TASK_MAX);
  for (uint32_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i].argid, i);
  EXPECT_EQ(g_data->task_array.task_count, 0u);
  EXPECT_EQ(g_data->task_array.list->head, nullptr);
  // A list that ran empty takes a new task as head and tail.
  math_task again{2, 3, 4, MATH_TASK_MANUAL, "db2"};
  ASSERT_EQ(ml_add_math_task(&again), 0);
  EXPECT_EQ(g_data->task_array.list->head, g_data->task_array.list->tail);
  ASSERT_EQ(ml_get_math_task(&t), 0);
  EXPECT_EQ(t.urlid, 4u);
  EXPECT_STREQ(t.mysql_dbname, "db2");
}

TEST_F(MathTask, StartupLoadsArgumentsInBuildingWithNoEvent) {
  enable_debug_print = 1;
  const uint32_t d = domain({"adomname", "v", "policy_name", "p", "domain", "x", "mysql_dbname",
                             "mlt_db_" + string(70, 'x')});
  const uint32_t no_db = domain({"adomname", "v", "policy_name", "p", "domain", "x"});
  const uint32_t bare = domain({});
  auto arg = [&](uint32_t dom, const string &a, std::vector<string> f) {
    hset("arg:" + to_string(dom) + ":" + a, f);
  };
  arg(d, "1", {"arg_learn_stat", "2", "events", "0", "urlid", "11"});
  arg(d, "2", {"arg_learn_stat", "2", "events", "2", "urlid", "12"});
  arg(d, "3", {"arg_learn_stat", "1", "events", "0", "urlid", "13"});
  arg(d, "4", {"arg_learn_stat", "2", "events", "0"});  // no urlid: skipped
  arg(d, "", {"arg_learn_stat", "2", "events", "0", "urlid", "15"});
  arg(no_db, "1", {"arg_learn_stat", "2", "events", "0", "urlid", "16"});
  arg(bare, "1", {"arg_learn_stat", "2", "events", "0", "urlid", "17"});

  testing::internal::CaptureStdout();
  ASSERT_EQ(ml_init_math_task_list(g_data->redis_conn), 0);
  const string out = testing::internal::GetCapturedStdout();
  std::vector<math_task> mine;
  for (const math_task &t : drain())
    if (t.dbid == d || t.dbid == no_db || t.dbid == bare) mine.push_back(t);
  ASSERT_EQ(mine.size(), 1u) << out;
  EXPECT_EQ(mine[0].dbid, d);
  EXPECT_EQ(mine[0].argid, 1u);
  EXPECT_EQ(mine[0].urlid, 11u);
  EXPECT_EQ(mine[0].type, MATH_TASK_AUTO);
  EXPECT_EQ(string(mine[0].mysql_dbname), ("mlt_db_" + string(70, 'x')).substr(0, 64));
  const string pre = "arg:" + to_string(d) + ":";
  EXPECT_NE(out.find("\t\"get a task from redis db 2, arg_id:1\"\n"), string::npos) << out;
  EXPECT_NE(out.find("get arg " + pre + " failed\n"), string::npos) << out;
  EXPECT_NE(out.find("load arg " + pre + "4 failed\n"), string::npos) << out;
  EXPECT_NE(out.find("load domains failed\n"), string::npos) << out;
  EXPECT_EQ(ml_init_math_task_list(nullptr), -1);
}

}  // namespace
