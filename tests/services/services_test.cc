// The daemon's Redis conveniences: a formatted command that does not fit its
// buffer is refused, never sent cut (a cut command names another key).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "log/ml_debug.h"
#include "services/mldb.h"
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

// A worker whose database is unreachable retries its connect, but the stop
// flag ends the retries: otherwise the stop sequence would wait for it forever.
TEST(ServicesMldb, ConnectRetriesEndWhenTheDaemonStops) {
  const char *saved_socket = getenv("MLDB_SOCKET");
  const char *saved_port = getenv("MLDB_PORT");
  const std::string socket = saved_socket ? saved_socket : "", port = saved_port ? saved_port : "";
  unsetenv("MLDB_SOCKET");
  setenv("MLDB_PORT", "1", 1);  // nothing listens there
  ml_db_obj db;
  init_ml_db_obj(&db);
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<uint32_t> stop{0};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = 1;
  });
  enable_debug_print = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ml_db_connect_retry(&db, &lock, &stop, "math_model_thread_run"), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  enable_debug_print = 0;
  stopper.join();
  // Each failed attempt is reported by the worker that connects.
  EXPECT_TRUE(mlt::has_debug_line(out, "math_model_thread_run", "Connect database failed")) << out;
  db.db_close(&db);
  if (saved_socket) setenv("MLDB_SOCKET", socket.c_str(), 1);
  if (saved_port)
    setenv("MLDB_PORT", port.c_str(), 1);
  else
    unsetenv("MLDB_PORT");
}

}  // namespace
