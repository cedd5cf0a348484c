// The verdict library beside the running daemon: a context opened while an
// argument is collecting follows it, through the daemon's own notices, to its
// learned model, and back to collecting on a relearn request. The context's
// cache age is an hour, so only the notices can refresh it. SERIAL: the
// daemon pops arg:mlnsample and listens on channel1.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/testutil/testutil.h"
#include "tests/verdict/learned_fixture.h"
#include "verdict/verdict.h"

namespace {

using std::string;
using std::to_string;

TEST(VerdictE2e, FollowsTheDaemonFromCollectingToLearnedAndBack) {
  mlt::TempDir root;
  mlt::Redis redis;
  const uint32_t d = mlt::unique_id();
  const string db = "mlt_vde2e_" + to_string(d), vdom = "ve" + to_string(d % 100000);
  mlt::provision_db(db);
  mlt::write_file(root / "sys/fs/cgroup/cpu.max", "400000 100000\n");
  redis.cmd({"HSET", "policy:" + vdom + ":p", "sample_collecting_mode", "1", "hmm_engine", "0",
             "model_min_learn_time", "1", "sl_automatic_definitely", "0"});
  redis.cmd({"HSET", "domain_info:" + to_string(d), "adomname", vdom, "policy_name", "p", "domain",
             "e2e" + to_string(d) + ".example", "mysql_dbname", db});
  mlt::write_state(d, 12, 7, "qty", 1);
  redis.cmd({"HSET", "arg:" + to_string(d) + ":7", "normalcount", "0"});
  auto daemon = std::make_unique<mlt::Daemon>(root.path());
  ASSERT_TRUE(mlt::wait_subscribers(redis, "channel1", 1)) << daemon->err();

  mlv_options o;
  mlv_options_init(&o);
  o.max_age_seconds = 3600;
  mlv_ctx *ctx = mlv_open(&o);
  ASSERT_NE(ctx, nullptr);
  mlv_result r;
  auto judge = [&](const string &name, const string &v) {
    return mlv_judge_by_name(ctx, d, 12, name.data(), name.size(), v.data(), v.size(), 0, &r);
  };
  EXPECT_EQ(judge("qty", "3"), MLV_NOT_LEARNED);
  EXPECT_EQ(r.state, MLV_STATE_COLLECTING);

  // The sample list is shared with any other daemon that runs meanwhile on
  // this Redis (other checkouts' tests), which may take some of these samples,
  // or build the same argument and so make ours discard it: batches go on,
  // starting the argument afresh after a discard, until it is learned or a
  // minute has passed.
  const std::vector<string> values = mlt::traffic("qty", 6000, 11);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (size_t next = 0; std::chrono::steady_clock::now() < deadline && next < values.size();) {
    string text;
    for (size_t end = next + (next == 0 ? 1500 : 500); next < end; next++)
      text += to_string(d) + " 12 7 " + values[next] + "\n";
    if (redis.str({"HGET", "arg:" + to_string(d) + ":7", "arg_learn_stat"}) == "5") {
      mlt::write_state(d, 12, 7, "qty", 1);
      redis.cmd({"HSET", "arg:" + to_string(d) + ":7", "normalcount", "0"});
    }
    mlt::write_file(root / "samples.txt", text);
    ASSERT_EQ(mlt::run(mlt::bin_dir() + "/ml_sample_push -f " + (root / "samples.txt")), 0);
    if (mlt::wait_until([&] { return judge("qty", "3") == MLV_NORMAL; }, std::chrono::seconds(3)))
      break;
  }
  ASSERT_EQ(judge("qty", "3"), MLV_NORMAL)
      << r.reason << "; hash state "
      << redis.str({"HGET", "arg:" + to_string(d) + ":7", "arg_learn_stat"}) << ", count "
      << redis.str({"HGET", "arg:" + to_string(d) + ":7", "normalcount"});
  EXPECT_EQ(r.state, MLV_STATE_LEARNED);
  EXPECT_EQ(r.learned_pattern, 1);
  EXPECT_EQ(judge("qty", "1' OR '1'='1"), MLV_DEFINITE) << r.reason;
  EXPECT_EQ(judge("qty_", "3"), MLV_UNKNOWN_ARGUMENT) << r.reason;

  ASSERT_EQ(mlt::run(mlt::bin_dir() + "/mlctl relearn " + to_string(d) + " 7 >/dev/null"), 0);
  EXPECT_TRUE(mlt::wait_until([&] { return judge("qty", "3") == MLV_NOT_LEARNED; })) << r.reason;
  EXPECT_EQ(r.state, MLV_STATE_COLLECTING);

  mlv_close(ctx);
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait_exit(), 0);
  redis.cmd({"DEL", "policy:" + vdom + ":p"});
  mlt::delete_domain_keys(d);
  mlt::drop_db(db);
}

}  // namespace
