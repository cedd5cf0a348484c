// The daemon's Redis conveniences: a formatted command that does not fit its
// buffer is refused, never sent cut (a cut command names another key).
#include <gtest/gtest.h>

#include <string>

#include "services/redis.h"
#include "tests/testutil/testutil.h"

namespace {

TEST(ServicesRedis, CommandThatWouldBeCutIsRefusedAndNotSent) {
  redis_conn *conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  ASSERT_NE(conn, nullptr);
  mlt::Redis redis;
  const std::string key = "mlt_cut_" + std::to_string(mlt::unique_id());
  // "SET <key> v" fits in 64 bytes only without its last characters: cut,
  // it would set a key named by a prefix of the value.
  const std::string value(40, 'x');
  char buf[48];
  testing::internal::CaptureStdout();
  reply_ptr r = redis_cmdf(conn, buf, sizeof buf, "SET %s %s", key.c_str(), value.c_str());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, nullptr);
  EXPECT_NE(out.find("[ERR]"), std::string::npos) << out;
  EXPECT_EQ(redis.integer({"EXISTS", key}), 0);
  // The same command with room is sent whole.
  char big[ML_CMD_LEN];
  EXPECT_NE(redis_cmdf(conn, big, sizeof big, "SET %s %s", key.c_str(), value.c_str()), nullptr);
  EXPECT_EQ(redis.str({"GET", key}), value);
  redis.cmd({"DEL", key});
  redisconn_free(conn);
}

}  // namespace
