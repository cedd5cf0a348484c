// mlctl as an operator runs it: exit codes and refusals, the configuration
// messages it publishes (decoded by the daemon's decoder), the listings of a
// learned and a collecting argument, and the persistent log.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/sem.h>

#include <string>

#include "log/sys_log.h"
#include "platform/framework/framework.h"
#include "platform/framework/msg_info.h"
#include "tests/testutil/testutil.h"
#include "tests/verdict/learned_fixture.h"

namespace {

using std::string;
using std::to_string;

struct Out {
  int rc;
  string out, err;
};

class Mlctl : public ::testing::Test {
 protected:
  // Runs mlctl (or another tool of the build) with args, in the private root.
  Out run(const string &args, const string &input = "", const string &tool = "mlctl") {
    mlt::write_file(tmp / "in", input);
    int rc = mlt::run("ML_DAEMON_ROOT=" + tmp.path() + " " + mlt::bin_dir() + "/" + tool + " " +
                      args + " <" + (tmp / "in") + " >" + (tmp / "out") + " 2>" + (tmp / "err"));
    return {rc, mlt::read_file(tmp / "out"), mlt::read_file(tmp / "err")};
  }
  mlt::TempDir tmp;
  const uint32_t id = mlt::unique_id();
};

json_object *parse(const string &text) { return json_tokener_parse(text.c_str()); }

double num(json_object *o, const char *key) {
  json_object *v = nullptr;
  return json_object_object_get_ex(o, key, &v) ? json_object_get_double(v) : -12345;
}
string str(json_object *o, const char *key) {
  json_object *v = nullptr;
  return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "<missing>";
}

TEST_F(Mlctl, ExitCodesAndRefusals) {
  for (const char *cmd : {"status", "policies", "policy", "learn", "relearn", "model", "judge",
                          "debug-level", "log"}) {
    Out o = run(string(cmd) + " --help");
    EXPECT_EQ(o.rc, 0) << cmd;
    EXPECT_EQ(o.out.rfind(string("usage: mlctl ") + cmd, 0), 0u) << o.out;
  }
  EXPECT_EQ(run("").rc, 1);
  EXPECT_EQ(run("frobnicate").rc, 1);
  EXPECT_EQ(run("status --bogus").rc, 1);
  EXPECT_EQ(run("status x").rc, 1);
  EXPECT_EQ(run("status 1 2").rc, 1);
  EXPECT_EQ(run("-p 1 status").rc, 2);
  EXPECT_EQ(run("-p 70000 status").rc, 1);
  EXPECT_EQ(run("model 1").rc, 1);
  EXPECT_EQ(run("model " + to_string(id) + " 1").rc, 1);  // no such argument
  EXPECT_EQ(run("judge 1 2").rc, 1);
  EXPECT_EQ(run("judge -1 2 x").rc, 1);
  EXPECT_EQ(run("-p 1 judge 1 2 x").rc, 2);
  EXPECT_EQ(run("learn 1 x").rc, 1);
  EXPECT_EQ(run("relearn " + to_string(id) + " 5").rc, 1);  // no such argument
  EXPECT_EQ(run("log").rc, 1);
  EXPECT_EQ(run("log dump a b").rc, 1);
  // The message level: only 0..5; anything else leaves the level as it was.
  ASSERT_EQ(run("debug-level 2").out, "2\n");
  for (const char *bad : {"6", "-1", "4294967295", "02", "1.5", "''", "x", "3 4"}) {
    EXPECT_EQ(run(string("debug-level ") + bad).rc, 1) << bad;
    EXPECT_EQ(run(string("debug-level ") + bad, "", "ml_debug_level").rc, 1) << bad;
  }
  EXPECT_EQ(run("debug-level").out, "2\n");
  EXPECT_EQ(run("5", "", "ml_debug_level").out, "5\n");
  EXPECT_EQ(run("debug-level --json").out, "{\"level\":5}\n");
  // Policies: unknown settings, non-numbers, bad names, an incomplete new policy.
  const string vdom = "v" + to_string(id % 100000);
  EXPECT_EQ(run("policy set " + vdom + " p colour=1").rc, 1);
  EXPECT_EQ(run("policy set " + vdom + " p hmm_engine=x").rc, 1);
  EXPECT_EQ(run("policy set " + vdom + " p hmm_engine=-1").rc, 1);
  EXPECT_EQ(run("policy set averyverylongvdom p hmm_engine=1").rc, 1);
  EXPECT_EQ(run("policy set " + vdom + " a:b hmm_engine=1").rc, 1);
  EXPECT_EQ(run("policy set " + vdom + " p hmm_engine=1").rc, 1);  // three settings missing
  EXPECT_EQ(run("policy delete " + vdom + " p").rc, 1);            // no such policy
  EXPECT_EQ(run("policy rename " + vdom + " p").rc, 1);
  mlt::Redis redis;
  EXPECT_EQ(redis.integer({"EXISTS", "policy:" + vdom + ":p"}), 0);
  // A malformed line refuses the whole file, naming the line; nothing is judged.
  Out f = run("judge -f -", "1 2 3 a\n# note\n1 2 x b\n");
  EXPECT_EQ(f.rc, 1);
  EXPECT_NE(f.err.find("-:3:"), string::npos) << f.err;
  EXPECT_EQ(f.out, "");
}

// Waits for the next message on the subscribed connection that mentions key.
string next_message(redisContext *sub, const string &key) {
  for (;;) {
    void *raw = nullptr;
    if (redisGetReply(sub, &raw) != REDIS_OK || !raw) return "";
    mlt::Reply r(static_cast<redisReply *>(raw));
    if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 && r->element[2]->str) {
      string text(r->element[2]->str, r->element[2]->len);
      if (text.find(key) != string::npos) return text;
    }
  }
}

TEST_F(Mlctl, ChangesPublishWhatTheDaemonDecodes) {
  mlt::Redis sub, redis;
  mlt::Reply s(static_cast<redisReply *>(redisCommand(sub.ctx(), "SUBSCRIBE channel1")));
  redisSetTimeout(sub.ctx(), {10, 0});
  const string vdom = "v" + to_string(id % 100000), key = "policy:" + vdom + ":shop";
  auto decoded = [&](const string &text) {
    mlne_msg_info info;
    EXPECT_EQ(mlne_get_msg_info(text.data(), static_cast<int>(text.size()), &info), 0) << text;
    return info;
  };
  const string all =
      " sample_collecting_mode=1 hmm_engine=0 model_min_learn_time=2 "
      "sl_automatic_definitely=0";
  ASSERT_EQ(run("policy set " + vdom + " shop" + all).rc, 0);
  mlne_msg_info m = decoded(next_message(sub.ctx(), "\"" + vdom + "\""));
  EXPECT_EQ(m.event_class * 100 + m.event_action, 0);  // added
  EXPECT_EQ(string(m.vdom) + "/" + m.policy_name, vdom + "/shop");
  EXPECT_EQ(redis.str({"HGET", key, "model_min_learn_time"}), "2");
  ASSERT_EQ(run("policy set " + vdom + " shop model_min_learn_time=3").rc, 0);
  m = decoded(next_message(sub.ctx(), "\"" + vdom + "\""));
  EXPECT_EQ(m.event_class * 100 + m.event_action, 1);  // changed
  EXPECT_EQ(redis.str({"HGET", key, "model_min_learn_time"}), "3");
  EXPECT_EQ(redis.str({"HGET", key, "sample_collecting_mode"}), "1");
  Out list = run("policies --json");
  EXPECT_NE(
      list.out.find("\"vdom\":\"" + vdom + "\",\"name\":\"shop\",\"sample_collecting_mode\":1"),
      string::npos)
      << list.out;
  ASSERT_EQ(run("policy delete --grace 0 " + vdom + " shop").rc, 0);
  m = decoded(next_message(sub.ctx(), "\"" + vdom + "\""));
  EXPECT_EQ(m.event_class * 100 + m.event_action, 2);  // deleted
  EXPECT_EQ(redis.integer({"EXISTS", key}), 0);
  // Manual learning and relearning name the argument by number.
  const string ids = to_string(id) + " 17", arg = "\"domain_id\":" + to_string(id);
  mlt::write_state(id, 3, 17, "q", 1);
  ASSERT_EQ(run("learn " + ids).rc, 0);
  m = decoded(next_message(sub.ctx(), arg));
  EXPECT_EQ(m.event_class * 100 + m.event_action, 406);
  EXPECT_EQ(m.arg_id, 17u);
  ASSERT_EQ(run("relearn " + ids).rc, 0);
  m = decoded(next_message(sub.ctx(), arg));
  EXPECT_EQ(m.event_class * 100 + m.event_action, 210);
  EXPECT_EQ(m.domain_id, id);
  mlt::delete_domain_keys(id);
}

// A domain with one learned argument (41) and one collecting (42) of URL 4,
// under a count-and-time policy of one week.
class MlctlLearned : public Mlctl {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    mlt::write_domain(id, "shop.example", db);
    redis.cmd({"HSET", policy, "sample_collecting_mode", "0", "hmm_engine", "0",
               "model_min_learn_time", "1", "sl_automatic_definitely", "0"});
    mlt::LearnedArg s;
    s.domain = id;
    s.url = 4;
    s.arg = 41;
    s.name = "qty";
    s.values = mlt::traffic("qty", 1500, 3);
    ASSERT_EQ(mlt::write_learned(s, db, &learned), "");
    mlt::write_state(id, 4, 42, "note", 1);  // 10 samples, started now
  }
  void TearDown() override {
    redis.cmd({"DEL", policy});
    mlt::delete_domain_keys(id);
    mlt::drop_db(db);
  }
  const string db = "mlt_mlctl_" + to_string(id), d = to_string(id),
               policy = "policy:root:p" + to_string(id);
  mlt::Redis redis;
  mlt::LearnedOut learned;
};

TEST_F(MlctlLearned, StatusAndModelListings) {
  // status: the JSON rows, and the text totals.
  json_object *rows = parse(run("status " + d + " --json").out);
  ASSERT_TRUE(rows && json_object_is_type(rows, json_type_array));
  ASSERT_EQ(json_object_array_length(rows), 2u);
  json_object *a = json_object_array_get_idx(rows, 0), *b = json_object_array_get_idx(rows, 1);
  EXPECT_EQ(str(a, "name") + "/" + str(a, "state"), "qty/learned");
  EXPECT_EQ(num(a, "progress"), 1.0);
  EXPECT_EQ(num(a, "normalcount"), 1500);
  EXPECT_EQ(num(a, "boxplot_groups"), 1);
  EXPECT_EQ(str(b, "state"), "collecting");
  EXPECT_NEAR(num(b, "progress"), 10.0 / 2500, 1e-6);
  EXPECT_GT(num(b, "seconds_left"), 604800 - 600);
  json_object_put(rows);
  Out text = run("status " + d);
  EXPECT_NE(text.out.find("totals: collecting 1, building 0, learned 1,"), string::npos)
      << text.out;
  // model: matrices whose rows are distributions, the statistics, the fences.
  json_object *m = parse(run("model " + d + " 41 --json").out);
  ASSERT_TRUE(m);
  EXPECT_EQ(num(m, "states"), 10);
  json_object *tr = nullptr, *boxes = nullptr, *stats = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(m, "transition", &tr));
  for (size_t i = 0; i < json_object_array_length(tr); i++) {
    double sum = 0;
    json_object *row = json_object_array_get_idx(tr, i);
    for (size_t j = 0; j < json_object_array_length(row); j++)
      sum += json_object_get_double(json_object_array_get_idx(row, j));
    EXPECT_NEAR(sum, 1.0, 1e-4);
  }
  ASSERT_TRUE(json_object_object_get_ex(m, "boxplots", &boxes));
  ASSERT_EQ(json_object_array_length(boxes), 1u);
  EXPECT_NEAR(num(json_object_array_get_idx(boxes, 0), "q4"), learned.q4, 1e-6);
  ASSERT_TRUE(json_object_object_get_ex(m, "statistics", &stats));
  EXPECT_NE(num(stats, "mean_prob"), -12345);
  json_object_put(m);
}

TEST_F(MlctlLearned, JudgeOneValueAndAFileWithCounts) {
  json_object *j = parse(run("judge --json " + d + " 41 -- \"1' OR 1=1--\"").out);
  ASSERT_TRUE(j);
  EXPECT_EQ(str(j, "verdict"), "definite");
  EXPECT_EQ(str(j, "action"), "block");
  EXPECT_LT(num(j, "score"), num(j, "q5"));
  EXPECT_EQ(str(j, "learned_pattern"), "false");
  EXPECT_EQ(str(j, "pattern"), mlt::pattern_of("1' OR 1=1--"));
  json_object_put(j);
  Out f = run("judge -f -", d + " 4 41 3\n" + d + " 4 41 <script>\n" + d + " 4 42 x y\n");
  EXPECT_EQ(f.rc, 0) << f.err;
  EXPECT_EQ(f.out.rfind("normal ", 0), 0u) << f.out;
  EXPECT_NE(f.out.find("\ndefinite         block "), string::npos) << f.out;
  EXPECT_NE(f.out.find("\nnot_learned "), string::npos);
  EXPECT_NE(f.out.find("counts: normal 1, potential 0, definite 1, unknown_argument 0, "
                       "not_learned 1, error 0; block 1 log 0 pass 2 at point definite "
                       "(3 values)"),
            string::npos)
      << f.out;
}

TEST_F(Mlctl, LogDumpListsRecordsOldestFirst) {
  EXPECT_EQ(run("log dump").out, "");  // nothing written yet
  fw_set_root(tmp.path().c_str());
  mlt::write_file(tmp / "var/log/debug/daemon_log_flag", "");
  if (semget(sys_log_instance[1].sem_key, 1, 0) < 0) {
    ASSERT_EQ(sys_log_init(1), 0);
  }
  for (int i = 1; i <= 3; i++) ASSERT_EQ(sys_log_print(1, "record %d \"q\"\n", i), 0);
  Out o = run("log dump");
  ASSERT_EQ(o.rc, 0) << o.err;
  const size_t r1 = o.out.find("record 1"), r3 = o.out.find("record 3");
  ASSERT_NE(r3, string::npos) << o.out;
  EXPECT_LT(r1, o.out.find("record 2"));
  EXPECT_LT(o.out.find("record 2"), r3);
  json_object *all = parse(run("log dump --json").out);
  ASSERT_TRUE(all && json_object_array_length(all) == 3);
  EXPECT_EQ(str(json_object_array_get_idx(all, 2), "text"), "record 3 \"q\"");
  EXPECT_EQ(str(json_object_array_get_idx(all, 0), "time").size(), 19u);
  json_object_put(all);
  ASSERT_EQ(run("log dump " + (tmp / "copy.txt")).rc, 0);
  EXPECT_EQ(mlt::read_file(tmp / "copy.txt"), o.out);
  EXPECT_EQ(run("log dump /nonexistent/dir/x").rc, 1);
  fw_set_root("");
}

}  // namespace
