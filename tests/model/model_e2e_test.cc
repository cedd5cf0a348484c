// The running daemon from the first sample to the published model, and the
// events that change it while it runs. SERIAL: the daemon pops arg:mlnsample
// and listens on channel1.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "model/math_model_thread.h"
#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;

// True when text is the template with each '#' a "%f" number, '*' a list of
// them and each '@' a "%d" one.
bool matches(const string &text, const string &tmpl) {
  const string num = "-?[0-9]+\\.[0-9]{6}";
  string re;
  for (char c : tmpl)
    re += c == '#'   ? num
          : c == '*' ? num + "(," + num + ")*"
          : c == '@'
              ? string("[0-9]+")
              : (string("\\^$.|?*+()[]{}").find(c) != string::npos ? "\\" : "") + string(1, c);
  return std::regex_match(text, std::regex(re));
}

class ModelE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    mlt::write_file(root / "var/log/machine_learning_log", "");
    mlt::write_file(root / "sys/fs/cgroup/cpu.max", "400000 100000\n");
    policy("p1");
    d1 = domain("p1");
    freeReplyObject(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event"));
    redisSetTimeout(sub.ctx(), {20, 0});
    daemon = std::make_unique<mlt::Daemon>(root.path());
    ASSERT_TRUE(mlt::wait_subscribers(redis, "channel1", 1)) << daemon->out() << daemon->err();
  }
  void TearDown() override {
    if (daemon->running()) daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait_exit(), 0);
    for (uint32_t d : doms) {
      for (const string p : {"arg:", "arg:*:"}) redis.del_pattern(p + to_string(d) + ":*");
      redis.cmd({"DEL", "domain_info:" + to_string(d)});
    }
    redis.del_pattern("policy:" + vdom + ":*");
    mlt::drop_db(db);
  }
  uint32_t domain(const string &pol) {
    const uint32_t d = doms.emplace_back(mlt::unique_id());
    redis.cmd({"HSET", "domain_info:" + to_string(d), "adomname", vdom, "policy_name", pol,
               "domain", "d" + to_string(d) + ".example", "mysql_dbname", db});
    return d;
  }
  void policy(const string &pol) {  // count-only
    redis.cmd({"HSET", "policy:" + vdom + ":" + pol, "sample_collecting_mode", "1", "hmm_engine",
               "0", "model_min_learn_time", "1", "sl_automatic_definitely", "0"});
  }
  static string akey(uint32_t d, uint32_t a, const string &kind = "") {
    return "arg:" + kind + to_string(d) + ":" + to_string(a);
  }
  void arg(uint32_t d, uint32_t a) {
    redis.cmd({"HSET", akey(d, a), "arg_learn_stat", "1", "events", "0", "start_time",
               to_string(time(nullptr)), "urlid", "12", "arg_name", "a" + to_string(a)});
  }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", akey(d, a), f});
  }
  bool wait_field(uint32_t d, uint32_t a, const string &f, const string &want) {
    return mlt::wait_until([&] { return field(d, a, f) == want; }, std::chrono::seconds(60));
  }
  void push(const string &text) {
    mlt::write_file(root / "samples.txt", text);
    ASSERT_EQ(mlt::run(mlt::bin_dir() + "/ml_sample_push -f " + root / "samples.txt"), 0);
  }
  void publish(const string &payload) { redis.cmd({"PUBLISH", "channel1", payload}); }
  static string event(int cls, int act, uint32_t d, uint32_t a) {
    return "{\"class\":" + to_string(cls) + ",\"action\":" + to_string(act) +
           ",\"domain_id\":" + to_string(d) + ",\"arg_id\":" + to_string(a) + "}";
  }
  void policy_event(int act) {
    publish("{\"class\":0,\"action\":" + to_string(act) + ",\"vdom\":\"" + vdom +
            "\",\"policy\":\"p2\"}");
    sync_events();
  }
  // Events are handled in order: once this relearn shows, all before it were.
  void sync_events() {
    publish(event(2, 10, d1, 900 + syncs));
    ASSERT_TRUE(wait_field(d1, 900 + syncs++, "arg_learn_stat", "1")) << daemon->out();
  }
  mlt::TempDir root;
  mlt::Redis redis, sub;
  mlt::Sql sql;
  const string db = "mlt_mode2e_" + to_string(mlt::unique_id()), vdom = "m" + db.substr(11);
  uint32_t d1 = 0, syncs = 0;
  std::vector<uint32_t> doms;
  std::unique_ptr<mlt::Daemon> daemon;
};

TEST_F(ModelE2e, LearnsThenLearnsManuallyThenRelearnsAndStops) {
  arg(d1, 7);
  string text;
  for (int n = 0; n < 1500; n++) text += to_string(d1) + " 12 7 v" + to_string(n) + "x\n";
  push(text);
  ASSERT_TRUE(wait_field(d1, 7, "arg_learn_stat", "3")) << daemon->out();
  const string cols = "{\"column\":" + to_string(ML_HMM_STATES) + ",\"data\":[*]}";
  EXPECT_TRUE(matches(field(d1, 7, "math_model_pi"), "{\"column\":1,\"data\":[*]}"));
  for (const char *f : {"math_model_a", "math_model_b"})
    EXPECT_TRUE(matches(field(d1, 7, f), cols)) << f << " " << field(d1, 7, f);
  for (const char *f : {"mean_length", "mean_prob", "prob_mean_ex", "variance_ex"})
    EXPECT_TRUE(matches(field(d1, 7, f), "#")) << f << " " << field(d1, 7, f);
  EXPECT_EQ(sql.num("select count(*) from " + db + ".url_args_info where arg_id=7"), 1);
  // Every stored pattern got its scores back from the trained model.
  const string patterns = db + ".ml_sample_07 where arg_id=7";
  EXPECT_GT(sql.num("select count(*) from " + patterns), 0);
  EXPECT_EQ(sql.num("select count(*) from " + patterns +
                    " and (noise_flag not in (0,1) or (noise_flag=0 and (pattern_probability=0"
                    " or average_probability<=0)))"),
            0);
  const string bkey = akey(d1, 7, "boxplot:"),
               tmp_rows = "select count(*) from " + db + ".ml_sample_tmp_07 where arg_id=7";
  mlt::Reply boxes = redis.cmd({"LRANGE", bkey, "0", "-1"});
  ASSERT_EQ(boxes->elements, 3u);
  for (size_t i = 0; i < 3; i++)
    EXPECT_TRUE(matches(boxes->element[i]->str,
                        "{\"is_sample\":1,\"q1\":#, \"q2\":#, \"q3\":#, \"notch_top\":#, "
                        "\"notch_bottom\":#, \"q4\":#, \"q5\":#, \"sample_max\":#, "
                        "\"sample_min\":#, \"potential_anomaly_cnt\":@, "
                        "\"definite_anomaly_cnt\":@}"));
  EXPECT_EQ(sql.num(tmp_rows), 0);
  std::vector<string> kinds;  // of the notices of argument 7, as "mtype,ctype"
  for (void *r = nullptr; kinds.size() < 2 && redisGetReply(sub.ctx(), &r) == REDIS_OK;) {
    const string note = mlt::Reply(static_cast<redisReply *>(r))->element[2]->str;
    if (note.find("\"" + vdom + "\"") != string::npos && note.find("\"a7\"") != string::npos)
      kinds.push_back(note.substr(11, 1) + "," + note.substr(23, 1));
  }
  EXPECT_EQ(kinds, (std::vector<string>{"3,2", "3,1"}));

  // Manual learning: no new boxplot, the manual value written back.
  const string mkey = akey(d1, 7, "manuals:");
  redis.cmd({"HSET", mkey, "m1", "{\"sample\":\"djk5OTl4\",\"prob\":0}"});
  publish(event(4, 6, d1, 7));
  ASSERT_TRUE(wait_field(d1, 7, "arg_learn_stat", "4")) << daemon->out();
  EXPECT_EQ(redis.integer({"LLEN", bkey}), 3);
  mlt::Reply all = redis.cmd({"HGETALL", mkey});
  int written = 0;
  for (size_t i = 1; i < all->elements; i += 2)
    written += matches(all->element[i]->str, "{\"sample\":\"djk5OTl4\",\"prob\":#,}");
  EXPECT_EQ(written, 1);

  // Refused payloads print their lines; the relearn resets; SIGINT in flow.
  publish("not json");
  publish("{\"class\":-1,\"action\":1}");
  sync_events();
  for (const char *line : {"get policy act msg failed, not json\n",
                           "unknown type in subscribe act for {\"class\":-1,\"action\":1}\n"})
    EXPECT_NE(daemon->out().find(line), string::npos) << line;
  publish(event(2, 10, d1, 7));
  ASSERT_TRUE(wait_field(d1, 7, "arg_learn_stat", "1"));
  EXPECT_EQ(field(d1, 7, "events") + field(d1, 7, "normalcount"), "00");
  push(text + text);  // SIGINT while these flow
  daemon->signal(SIGINT);
  ASSERT_EQ(daemon->wait_exit(), 0);
  const string out = daemon->out();
  const size_t ready = out.find("\t\"ml_daemon ready to exit\\n\"\n");
  ASSERT_NE(ready, string::npos) << out;
  EXPECT_NE(out.find("\t\"ml_daemon : all threads exit\\n\"\n", ready), string::npos) << out;
}

// A policy added and deleted between samples. The sample and a marker of a governed domain go to
// the same processing thread, so once the marker is counted the sample was handled.
TEST_F(ModelE2e, PolicyEventsApplyWhileSamplesFlow) {
  const uint32_t d2 = domain("p2");
  const long long gap = static_cast<long long>(d2) + 20 - (static_cast<long long>(d1) + 12 + 30);
  const uint32_t u = static_cast<uint32_t>(12 + (gap % 3 + 3) % 3);  // same bucket as (d2, 12, 20)
  arg(d2, 20);
  arg(d1, 30);
  long marks = 0;
  auto sample = [&](const string &v) {
    push(to_string(d2) + " 12 20 " + v + "\n" + to_string(d1) + " " + to_string(u) + " 30 mark" +
         "\n");
    ASSERT_TRUE(wait_field(d1, 30, "normalcount", to_string(++marks))) << daemon->out();
  };
  sample("x1");  // no policy yet: dropped
  policy("p2");
  policy_event(0);
  sample("x2");  // counted
  policy_event(2);
  sample("x3");  // deleted: dropped again
  EXPECT_EQ(field(d2, 20, "normalcount"), "1");
}

}  // namespace
