// The math task list: its bound and order, the start-up load, and a math
// thread discarding a task whose argument is no longer building.
#include "tasks/math_task.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arg/arg_tasks.h"
#include "model/math_model_thread.h"
#include "tests/testutil/state.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;
using std::to_string;

// The start-up load, then the bound and the order: tickets taken under one
// lock give the order the list must keep.
TEST(MathTask, StartupLoadBoundedFifoAndDiscard) {
  mlt::State st(1);
  ml_math_task_list_free(&st.tasks);  // the start-up load makes the list itself
  auto drain = [&] {
    std::vector<math_task> out;
    for (math_task t; ml_get_math_task(&st.tasks, &t) == 0;) out.push_back(t);
    return out;
  };
  mlt::Redis redis;
  const uint32_t d = mlt::unique_id();
  const string pre = "arg:" + to_string(d) + ":";
  redis.cmd({"HSET", "domains", "mlt_" + to_string(d), to_string(d)});
  redis.cmd({"HSET", "domain_info:" + to_string(d), "adomname", "v", "policy_name", "p", "domain",
             "x", "mysql_dbname", "db"});
  redis.cmd({"HSET", pre + "1", "arg_learn_stat", "2", "events", "0", "urlid", "11"});
  redis.cmd({"HSET", pre + "3", "arg_learn_stat", "1", "events", "0", "urlid", "13", "arg_name",
             "n" + to_string(d)});
  ASSERT_EQ(ml_init_math_task_list(&st.tasks, st.redis, &st.connect_lock), 0);
  string mine;  // argument/url of each task of this domain
  for (const math_task &t : drain())
    if (t.dbid == d) mine += to_string(t.argid) + "/" + to_string(t.urlid) + " ";
  EXPECT_EQ(mine, "1/11 ");
  std::mutex order;
  uint32_t ticket = 0;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; p++)
    producers.emplace_back([&] {
      for (int i = 0; i < 2100; i++) {
        std::lock_guard<std::mutex> g(order);
        math_task task{1, ticket, ticket, MATH_TASK_AUTO, "db"};
        if (ml_add_math_task(&st.tasks, &task) == 0) ticket++;
      }
    });
  for (auto &p : producers) p.join();
  std::vector<math_task> out = drain();
  ASSERT_EQ(out.size(), 8192u);
  for (uint32_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i].argid, i);

  // Argument 3 is not building: a thread taking its task discards it with a notice.
  mlt::Redis sub;
  freeReplyObject(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event"));
  redisSetTimeout(sub.ctx(), {20, 0});
  math_task task{d, 3, 13, MATH_TASK_AUTO, "db"};
  ASSERT_EQ(ml_add_math_task(&st.tasks, &task), 0);
  std::thread worker([&] { math_model_thread_run(&st.math_slot); });
  string notice;
  while (notice.find("\"argname\": \"n" + to_string(d) + "\"") == string::npos) {
    void *msg = nullptr;
    ASSERT_EQ(redisGetReply(sub.ctx(), &msg), REDIS_OK);
    notice = mlt::Reply(static_cast<redisReply *>(msg))->element[2]->str;
  }
  EXPECT_EQ(notice.rfind("{ \"mtype\": 2, \"ctype\": 5, ", 0), 0u) << notice;
  EXPECT_TRUE(mlt::wait_until([&] {
    return redis.str({"HGET", pre + "3", "arg_learn_stat"}) +
               redis.str({"HGET", pre + "3", "events"}) ==
           "52";
  }));
  st.stop = 1;
  worker.join();
  redis.del_pattern(pre + "*");
  redis.cmd({"DEL", "domain_info:" + to_string(d)});
  redis.cmd({"HDEL", "domains", "mlt_" + to_string(d)});
}

}  // namespace
