// The hand-over from the shared sample list: a lost reply loses nothing and
// hands nothing out twice, and daemons sharing the list never see each
// other's batches.
#include "intake/sample_take.h"

#include "intake/sample_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/redis.h"
#include "tests/testutil/testutil.h"

namespace {

using Strings = std::vector<std::string>;

class SampleTake : public ::testing::Test {
 protected:
  void SetUp() override {
    conn = redisconn_connect("127.0.0.1", 6379);
    ASSERT_NE(conn, nullptr);
    redis.cmd({"DEL", SAMPLE_LIST_KEY});
  }
  void TearDown() override {
    for (const sample_taker *t : {&a, &b})
      if (!t->taken_key.empty()) redis.cmd({"DEL", t->taken_key, t->token_key});
    redis.cmd({"DEL", SAMPLE_LIST_KEY});
    redisconn_free(conn);
  }
  std::string id(const char *who) { return std::to_string(mlt::unique_id()) + who; }
  void push(const Strings &values) {
    Strings argv{"RPUSH", SAMPLE_LIST_KEY};
    argv.insert(argv.end(), values.begin(), values.end());
    redis.cmd(argv);
  }
  Strings take(sample_taker *t, uint32_t n) {
    reply_ptr r = sample_take(conn, t, n);
    if (!r) return {"<no reply>"};
    Strings out;
    const redis_reply *batch = reply_elem(r.get(), 1);
    for (uint32_t i = 0; i < batch->elements; i++) out.emplace_back(batch->element[i].str);
    return out;
  }

  mlt::Redis redis;
  redis_conn *conn = nullptr;
  sample_taker a, b;
};

TEST_F(SampleTake, ALostReplyIsAnsweredAgainAndNothingIsHandedOutTwice) {
  sample_take_init(&a, id("a"));
  ASSERT_EQ(sample_take_recover(conn, &a), 0);
  push({"m0", "m1", "m2", "m3", "m4"});
  EXPECT_EQ(take(&a, 2), (Strings{"m0", "m1"}));
  // The next take's reply is lost: the taker never learns of it.
  const sample_taker before = a;
  EXPECT_EQ(take(&a, 2), (Strings{"m2", "m3"}));
  a = before;
  EXPECT_EQ(take(&a, 3), (Strings{"m2", "m3"})) << "the lost batch, as it was";
  EXPECT_EQ(take(&a, 3), (Strings{"m4"}));
  // An empty take releases the last batch and holds nothing.
  EXPECT_EQ(take(&a, 3), Strings{});
  EXPECT_EQ(redis.integer({"EXISTS", a.taken_key, a.token_key}), 0);

  // A message that arrives while waiting is moved, not handed out: if the
  // wait's reply is lost, the next take still has it.
  push({"m5"});
  EXPECT_EQ(sample_take_wait(conn, &a, "0.1"), 1);
  EXPECT_EQ(redis.integer({"LLEN", SAMPLE_LIST_KEY}), 0);
  push({"m6"});
  EXPECT_EQ(take(&a, 5), (Strings{"m5", "m6"}));
  EXPECT_EQ(sample_take_wait(conn, &a, "0.05"), 0);

  // Released at stop: a new start of the same daemon drops nothing.
  EXPECT_EQ(sample_take_release(conn, &a), 0);
  EXPECT_EQ(redis.integer({"EXISTS", a.taken_key, a.token_key}), 0);
}

TEST_F(SampleTake, ANewStartDropsTheBatchItsPreviousRunHeldAndDaemonsTakeApart) {
  const std::string same = id("x");
  sample_take_init(&a, same);
  push({"m0", "m1", "m2", "m3", "m4", "m5"});
  EXPECT_EQ(take(&a, 2), (Strings{"m0", "m1"}));
  // The run ends without releasing (a crash): the next run of the same
  // daemon may find those two already queued, so it drops them.
  sample_take_init(&a, same);
  EXPECT_EQ(sample_take_recover(conn, &a), 2);
  EXPECT_EQ(sample_take_recover(conn, &a), 0);
  // Another daemon on the same list: each message goes to one of them.
  sample_take_init(&b, id("y"));
  EXPECT_EQ(take(&b, 2), (Strings{"m2", "m3"}));
  EXPECT_EQ(take(&a, 5), (Strings{"m4", "m5"}));
  EXPECT_EQ(take(&b, 2), Strings{});
  EXPECT_EQ(take(&a, 2), Strings{});
  // A daemon that holds a batch never answers another's.
  push({"m6"});
  EXPECT_EQ(take(&a, 1), (Strings{"m6"}));
  sample_taker c = b;
  EXPECT_EQ(take(&c, 1), Strings{});
}

}  // namespace
