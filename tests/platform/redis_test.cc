// Redis client library against the real server.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <string>

#include "services/redis.h"
#include "tests/testutil/testutil.h"

namespace {

class RedisLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    conn_ = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
    ASSERT_NE(conn_, nullptr);
    prefix_ = "mlt:redis:" + std::to_string(mlt::unique_id()) + ":";
  }
  void TearDown() override {
    redis_.del_pattern(prefix_ + "*");
    redisconn_free(conn_);
  }

  reply_ptr run(const std::string &cmd) {
    return reply_ptr(redisconn_run_command(conn_, cmd.c_str(), static_cast<int>(cmd.size())));
  }

  redis_conn *conn_ = nullptr;
  mlt::Redis redis_;
  std::string prefix_;
};

TEST_F(RedisLibTest, CommandLinesPassKeysUnchangedAndReplyTypesAreKept) {
  // '%' and '\' are not format or escape characters for the library.
  const std::string key = prefix_ + "100%d\\s";
  auto r = run("SET  " + key + "\tvalue%s ");  // extra blanks are separators only
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type, ML_REDIS_STATUS);
  EXPECT_EQ(redis_.str({"GET", key}), "value%s");

  r = run("HSET " + key + "h f1 a");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type, ML_REDIS_INTEGER);
  EXPECT_STREQ(r->str, "1");  // integers carry their decimal text

  r = run("HMGET " + key + "h f1 nope f1");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->type, ML_REDIS_ARRAY);
  ASSERT_EQ(r->elements, 3u);
  EXPECT_EQ(r->element[0].type, ML_REDIS_STRING);
  EXPECT_STREQ(r->element[0].str, "a");
  EXPECT_EQ(r->element[1].type, ML_REDIS_NIL);
  EXPECT_TRUE(reply_elem_missing(r.get(), 1));
  EXPECT_FALSE(reply_elem_missing(r.get(), 2));
  EXPECT_TRUE(reply_elem_missing(r.get(), 3));  // out of range reads as missing

  EXPECT_EQ(run("   "), nullptr);
  EXPECT_EQ(redisconn_run_command(nullptr, "PING", 4), nullptr);
}

// Restores min-replicas-to-write to 0 however the test ends: the server is
// shared and must never be left refusing writes.
struct RefusedWritesGuard {
  mlt::Redis &redis;
  // More replicas than any test attaches: the gateway tests run replicas of
  // the shared server, and one of them would satisfy a minimum of 1.
  explicit RefusedWritesGuard(mlt::Redis &r) : redis(r) {
    redis.cmd({"CONFIG", "SET", "min-replicas-to-write", "100"});
  }
  ~RefusedWritesGuard() { redis.cmd({"CONFIG", "SET", "min-replicas-to-write", "0"}); }
};

// A refused command must take the caller's failure path (every caller tests
// for null only) and leave one line naming the command and the server's reason.
TEST_F(RedisLibTest, ErrorRepliesAreFailuresWithOneLine) {
  const std::string key = prefix_ + "str";
  ASSERT_TRUE(run("SET " + key + " v"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(run("HGET " + key + " f1"), nullptr);  // WRONGTYPE
  EXPECT_EQ(redis_rpush(conn_, key.c_str(), "x", 1), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("redisconn: HGET refused: WRONGTYPE"), std::string::npos) << err;
  EXPECT_NE(err.find("redisconn: RPUSH refused: WRONGTYPE"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;

  // A poller meeting the same refusal over and over leaves one line, not one
  // per attempt.
  testing::internal::CaptureStderr();
  for (int i = 0; i < 50; i++) EXPECT_EQ(run("LPOP " + key), nullptr);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

  // Writes refused while reads still work, as with a full disk or no replica.
  testing::internal::CaptureStderr();
  {
    RefusedWritesGuard refused(redis_);
    EXPECT_EQ(run("HSET " + key + "h f v"), nullptr);
    EXPECT_EQ(redis_rpush(conn_, (key + "l").c_str(), "x", 1), -1);
    auto got = run("GET " + key);
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->str, "v");
  }
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("redisconn: HSET refused: NOREPLICAS"), std::string::npos) << err;
  EXPECT_EQ(redis_.integer({"EXISTS", key + "h", key + "l"}), 0);
  // The connection is still in step: the next command gets its own reply.
  auto ok = run("HSET " + key + "h f v");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->type, ML_REDIS_INTEGER);
}

TEST_F(RedisLibTest, BinaryValuesSurviveRpushAndLpop) {
  std::string value(1048, '\0');
  for (size_t i = 0; i < value.size(); i++) value[i] = static_cast<char>((i * 7) % 256);
  const std::string key = prefix_ + "list";
  EXPECT_EQ(redis_rpush(conn_, key.c_str(), value.data(), static_cast<int>(value.size())), 1);
  EXPECT_EQ(redis_rpush(conn_, key.c_str(), "", 0), 2);
  auto r = run("LPOP " + key);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->type, ML_REDIS_STRING);
  ASSERT_EQ(r->len, 1048u);
  EXPECT_EQ(std::string(r->str, r->len), value);
  r = run("LPOP " + key);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->len, 0u);
  r = run("LPOP " + key);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type, ML_REDIS_NIL);
}

TEST_F(RedisLibTest, ScanWalksTheWholeKeyspaceOnce) {
  for (int i = 0; i < 250; i++) redis_.cmd({"SET", prefix_ + "k" + std::to_string(i), "1"});
  std::multiset<std::string> seen;
  std::string cursor = "0";
  int calls = 0;
  do {
    auto r = run("SCAN " + cursor + " match " + prefix_ + "k* count 100");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->elements, 2u);
    cursor = reply_elem_str(r.get(), 0);
    const redis_reply *keys = reply_elem(r.get(), 1);
    for (uint32_t i = 0; i < keys->elements; i++) seen.insert(keys->element[i].str);
    calls++;
  } while (cursor != "0");
  EXPECT_GT(calls, 1);
  std::set<std::string> unique(seen.begin(), seen.end());
  EXPECT_EQ(unique.size(), 250u);
}

TEST_F(RedisLibTest, SubscriptionPollingNeverBlocks) {
  redis_conn *sub = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(redisconn_get_subscribe(sub), nullptr);  // not subscribed
  const std::string channel = prefix_ + "chan";
  const std::string subscribe = "SUBSCRIBE " + channel;
  auto ok =
      reply_ptr(redisconn_run_command(sub, subscribe.c_str(), static_cast<int>(subscribe.size())));
  ASSERT_TRUE(ok);
  EXPECT_EQ(redisconn_get_subscribe(sub), nullptr);  // idle; the confirmation is not a message

  redis_.cmd({"PUBLISH", channel, "payload one"});
  redis_.cmd({"PUBLISH", channel, "two"});
  reply_ptr m;
  ASSERT_TRUE(
      mlt::wait_until([&] { return (m = reply_ptr(redisconn_get_subscribe(sub))) != nullptr; }));
  ASSERT_EQ(m->elements, 3u);
  EXPECT_STREQ(reply_elem_str(m.get(), 0), "message");
  EXPECT_EQ(reply_elem_str(m.get(), 1), channel);
  EXPECT_STREQ(reply_elem_str(m.get(), 2), "payload one");
  ASSERT_TRUE(
      mlt::wait_until([&] { return (m = reply_ptr(redisconn_get_subscribe(sub))) != nullptr; }));
  EXPECT_STREQ(reply_elem_str(m.get(), 2), "two");
  EXPECT_EQ(redisconn_get_subscribe(sub), nullptr);
  redisconn_free(sub);
}

TEST(RedisBase64, RoundTripsEveryByteAndRefusesBadInput) {
  std::string all;
  for (int b = 0; b < 256; b++) all.push_back(static_cast<char>(b));
  for (size_t len = 0; len <= all.size(); len += (len < 8 ? 1 : 37)) {
    char text[1024] = {};
    int n = redis_b64encode(all.data(), static_cast<int>(len), text, sizeof text);
    ASSERT_EQ(n, static_cast<int>(4 * ((len + 2) / 3)));
    char back[1024] = {};
    ASSERT_EQ(redis_b64decode(text, n, back, sizeof back), static_cast<int>(len));
    EXPECT_EQ(std::string(back, len), all.substr(0, len));
  }
  char text[16];
  EXPECT_EQ(redis_b64encode("abcdefghijkl", 12, text, 16), -1);  // 16 chars + NUL
  EXPECT_STREQ(text, "");
  EXPECT_EQ(redis_b64encode("abc", 3, text, 16), 4);
  EXPECT_STREQ(text, "YWJj");
  char out[8];
  EXPECT_EQ(redis_b64decode("YWJj", 4, out, 2), -1);  // does not fit
  EXPECT_EQ(redis_b64decode("YW=j", 4, out, 8), -1);  // data after padding
  EXPECT_EQ(redis_b64decode("YWJ", 3, out, 8), -1);   // not a multiple of 4
  EXPECT_EQ(redis_b64decode("YW*j", 4, out, 8), -1);  // not the alphabet
  EXPECT_EQ(redis_b64decode("", 0, out, 8), 0);
}

}  // namespace
