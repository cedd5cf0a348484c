// Reconnection across a real restart of the private Redis server. Runs alone
// (SERIAL): it stops the server every other test uses.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "services/redis.h"
#include "tests/testutil/testutil.h"

namespace {

// True when the server answering is the one scripts/services runs for this
// checkout: only that one may be restarted by a test.
bool server_is_private() {
  mlt::Redis r;
  mlt::Reply dir = r.cmd({"CONFIG", "GET", "dir"});
  return dir && dir->elements == 2 &&
         std::string(dir->element[1]->str) == mlt::source_dir() + "/var/redis";
}

void restart_redis() {
  {
    mlt::Redis r;
    r.cmd({"SHUTDOWN"});
  }
  ASSERT_EQ(mlt::run(mlt::source_dir() + "/scripts/services start >/dev/null"), 0);
}

TEST(RedisRestart, CommandsAndSubscriptionsResumeAfterARestart) {
  signal(SIGPIPE, SIG_IGN);
  if (!server_is_private()) GTEST_SKIP() << "Redis is not the private instance of this checkout";
  redis_conn *cmd = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  redis_conn *sub = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  ASSERT_TRUE(cmd && sub);
  const std::string channel = "mlt:restart:" + std::to_string(mlt::unique_id());
  const std::string subscribe = "SUBSCRIBE " + channel;
  redisconn_free_result(
      redisconn_run_command(sub, subscribe.c_str(), static_cast<int>(subscribe.size())));

  restart_redis();

  // The server is back: the first command on the connection that was idle
  // across the restart succeeds (a lost first command would be a lost
  // configuration change or a discarded model).
  const std::string set = "SET " + channel + ":k v";
  EXPECT_NE(reply_ptr(redisconn_run_command(cmd, set.c_str(), static_cast<int>(set.size()))),
            nullptr);
  mlt::Redis check;
  EXPECT_EQ(check.str({"GET", channel + ":k"}), "v");
  check.cmd({"DEL", channel + ":k"});

  // The subscribed connection notices the broken socket when polled and
  // subscribes again; publish until a message arrives.
  reply_ptr m;
  ASSERT_TRUE(mlt::wait_until([&] {
    check.cmd({"PUBLISH", channel, "again"});
    m = reply_ptr(redisconn_get_subscribe(sub));
    return m != nullptr;
  }));
  EXPECT_STREQ(reply_elem_str(m.get(), 2), "again");
  redisconn_free(cmd);
  redisconn_free(sub);
}

}  // namespace
