// The math task list: its bound, its order across producer threads, the
// start-up load of the arguments in building, and a math thread discarding a
// task whose argument is no longer building.
#include "model/math_task.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "model/math_model_thread.h"
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
    free(g_data->task_array.list);
    redis.del_pattern("arg:" + to_string(d) + ":*");
    redis.cmd({"DEL", "domain_info:" + to_string(d)});
    redis.cmd({"HDEL", "domains", "mlt_" + to_string(d)});
    mlt::free_state();
  }
  std::vector<math_task> drain() {
    std::vector<math_task> out;
    for (math_task t; ml_get_math_task(&t) == 0;) out.push_back(t);
    return out;
  }
  mlt::Redis redis;
  const uint32_t d = mlt::unique_id();
};

// Each add takes a ticket under one lock, so the tickets give the order the
// list must keep.
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
  std::vector<math_task> out = drain();
  ASSERT_EQ(out.size(), MATH_TASK_MAX);
  for (uint32_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i].argid, i);
  math_task again{2, 3, 4, MATH_TASK_MANUAL, "db2"};  // the emptied list fills again
  ASSERT_EQ(ml_add_math_task(&again), 0);
  ASSERT_EQ(ml_get_math_task(&t), 0);
  EXPECT_EQ(t.urlid, 4u);
}

TEST_F(MathTask, StartupLoadsBuildingArgumentsAndThreadDiscardsOthers) {
  const string dbname = "mlt_db_" + string(70, 'x'), pre = "arg:" + to_string(d) + ":";
  redis.cmd({"HSET", "domains", "mlt_" + to_string(d), to_string(d)});
  redis.cmd({"HSET", "domain_info:" + to_string(d), "adomname", "v", "policy_name", "p", "domain",
             "x", "mysql_dbname", dbname});
  redis.cmd({"HSET", pre + "1", "arg_learn_stat", "2", "events", "0", "urlid", "11"});
  redis.cmd({"HSET", pre + "2", "arg_learn_stat", "2", "events", "2", "urlid", "12"});
  redis.cmd({"HSET", pre + "3", "arg_learn_stat", "1", "events", "0", "urlid", "13", "arg_name",
             "n" + to_string(d)});
  redis.cmd({"HSET", pre + "4", "arg_learn_stat", "2", "events", "0"});  // no urlid
  ASSERT_EQ(ml_init_math_task_list(g_data->redis_conn), 0);
  std::vector<math_task> mine;
  for (const math_task &t : drain())
    if (t.dbid == d) mine.push_back(t);
  ASSERT_EQ(mine.size(), 1u);
  const math_task &t = mine[0];
  EXPECT_EQ(std::tie(t.dbid, t.argid, t.urlid, t.type),
            std::make_tuple(d, 1u, 11u, +MATH_TASK_AUTO));
  EXPECT_EQ(string(t.mysql_dbname), dbname.substr(0, 64));

  // A thread taking a task of argument 3 (not building) discards it with a notice.
  mlt::Redis sub;
  freeReplyObject(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event"));
  redisSetTimeout(sub.ctx(), {20, 0});
  math_task task{d, 3, 13, MATH_TASK_AUTO, "db"};
  ASSERT_EQ(ml_add_math_task(&task), 0);
  std::thread worker([] { math_model_thread_run(nullptr); });
  string notice;
  while (notice.find("\"argname\": \"n" + to_string(d) + "\"") == string::npos) {
    void *msg = nullptr;
    ASSERT_EQ(redisGetReply(sub.ctx(), &msg), REDIS_OK);
    mlt::Reply reply(static_cast<redisReply *>(msg));
    notice = reply->element[2]->str;
  }
  EXPECT_EQ(notice.rfind("{ \"mtype\": 2, \"ctype\": 5, ", 0), 0u) << notice;
  EXPECT_TRUE(mlt::wait_until([&] { return redis.str({"HGET", pre + "3", "events"}) == "2"; }));
  EXPECT_EQ(redis.str({"HGET", pre + "3", "arg_learn_stat"}), "5");
  g_data->stop_flag = 1;
  worker.join();
}

}  // namespace
