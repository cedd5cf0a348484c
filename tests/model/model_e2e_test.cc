// The running daemon from the first sample to the published model, and the
// configuration events that change it while it runs. Runs alone (SERIAL): the
// daemon pops arg:mlnsample and listens on channel1.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "model/math_model_thread.h"
#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;
using Lines = std::vector<string>;

// True when text is the template with each '#' a "%f" number and each '@' a
// non-negative "%d" one.
bool matches(const string &text, const string &tmpl) {
  string re;
  for (char c : tmpl)
    re += c == '#'   ? string("-?[0-9]+\\.[0-9]{6}")
          : c == '@' ? string("[0-9]+")
                     : (strchr("\\^$.|?*+()[]{}", c) ? "\\" : "") + string(1, c);
  return std::regex_match(text, std::regex(re));
}

// The template of a model text of n "%f" entries.
string model_text(int column, int n) {
  string t = "{\"column\":" + to_string(column) + ",\"data\":[#";
  for (int i = 1; i < n; i++) t += ",#";
  return t + "]}";
}

class ModelE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    mlt::write_file(root / "var/log/machine_learning_log", "");
    mlt::write_file(root / "sys/fs/cgroup/cpu.max", "400000 100000\n");  // 3 threads of each
    policy("p1", "1");
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
  void policy(const string &pol, const string &weeks) {  // count-only
    redis.cmd({"HSET", "policy:" + vdom + ":" + pol, "sample_collecting_mode", "1", "hmm_engine",
               "0", "model_min_learn_time", weeks, "sl_automatic_definitely", "0"});
  }
  static string akey(uint32_t d, uint32_t a, const string &kind = "") {
    return "arg:" + kind + to_string(d) + ":" + to_string(a);
  }
  void arg(uint32_t d, uint32_t a, long normal = 0) {
    redis.cmd({"HSET", akey(d, a), "arg_learn_stat", "1", "events", "0", "start_time",
               to_string(time(nullptr)), "normalcount", to_string(normal), "abnormalcount", "0",
               "urlid", "12", "arg_name", "a" + to_string(a)});
  }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", akey(d, a), f});
  }
  bool wait_field(uint32_t d, uint32_t a, const string &f, const string &want) {
    return mlt::wait_until([&] { return field(d, a, f) == want; }, std::chrono::seconds(60));
  }
  void push_lines(const Lines &lines) {
    string text;
    for (const auto &l : lines) text += l + "\n";
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
  // Reads notices until those of argument a ("mtype,ctype" each) are kinds.
  bool notices_are(uint32_t a, const Lines &kinds) {
    for (void *r = nullptr;;) {
      Lines got;
      for (const auto &n : notices)
        if (n.find("\"argname\": \"a" + to_string(a) + "\"") != string::npos)
          got.push_back(n.substr(11, 1) + "," + n.substr(23, 1));
      if (got == kinds) return true;
      if (redisGetReply(sub.ctx(), &r) != REDIS_OK) return false;
      mlt::Reply msg(static_cast<redisReply *>(r));
      const string n = msg->elements == 3 && msg->element[2]->str ? msg->element[2]->str : "";
      if (n.find("\"adomname\": \"" + vdom + "\"") != string::npos) notices.push_back(n);
    }
  }
  long rows(bool tmp, const string &cond = "") {  // of argument 7
    return sql.num("select count(*) from " + db + ".ml_sample_" + (tmp ? "tmp_" : "") +
                   "07 where arg_id=7" + cond);
  }

  mlt::TempDir root;
  mlt::Redis redis, sub;
  mlt::Sql sql;
  const string db = "mlt_mode2e_" + to_string(mlt::unique_id()), vdom = "m" + db.substr(11);
  uint32_t d1 = 0, syncs = 0;
  std::vector<uint32_t> doms;
  Lines notices;
  std::unique_ptr<mlt::Daemon> daemon;
};

TEST_F(ModelE2e, LearnsThenLearnsManuallyThenRelearns) {
  arg(d1, 7);
  Lines lines;
  for (int n = 0; n < 1500; n++) lines.push_back(to_string(d1) + " 12 7 v" + to_string(n) + "x");
  push_lines(lines);
  ASSERT_TRUE(wait_field(d1, 7, "arg_learn_stat", "3")) << daemon->out();
  EXPECT_EQ(field(d1, 7, "events"), "0");
  const int n = ML_HMM_STATES;
  EXPECT_TRUE(matches(field(d1, 7, "math_model_pi"), model_text(1, n)));
  EXPECT_TRUE(matches(field(d1, 7, "math_model_a"), model_text(n, n * n)));
  EXPECT_TRUE(matches(field(d1, 7, "math_model_b"), model_text(n, n * ML_HMM_SYMBOLS)));
  for (const char *f : {"mean_length", "mean_prob", "prob_mean_ex", "variance_ex"})
    EXPECT_TRUE(matches(field(d1, 7, f), "#")) << f << " " << field(d1, 7, f);
  EXPECT_NEAR(std::stod(field(d1, 7, "mean_length")), 4.5, 1.5);  // values of 3 to 6 bytes
  EXPECT_NEAR(
      std::stod(sql.one("select prob_mean_ex from " + db + ".url_args_info where arg_id=7")),
      std::stod(field(d1, 7, "prob_mean_ex")), 1e-6);
  EXPECT_GT(rows(false), 0);
  EXPECT_EQ(rows(false,
                 " and (noise_flag not in (0,1) or (noise_flag=0 and (pattern_probability=0"
                 " or average_probability<=0)))"),
            0);
  const string bkey = akey(d1, 7, "boxplot:");
  mlt::Reply boxes = redis.cmd({"LRANGE", bkey, "0", "-1"});
  ASSERT_EQ(boxes->elements, 3u);
  for (size_t i = 0; i < 3; i++)
    EXPECT_TRUE(matches(boxes->element[i]->str,
                        "{\"is_sample\":1,\"q1\":#, \"q2\":#, \"q3\":#, \"notch_top\":#, "
                        "\"notch_bottom\":#, \"q4\":#, \"q5\":#, \"sample_max\":#, "
                        "\"sample_min\":#, \"potential_anomaly_cnt\":@, "
                        "\"definite_anomaly_cnt\":@}"))
        << boxes->element[i]->str;
  EXPECT_EQ(rows(true), 0);
  EXPECT_TRUE(notices_are(7, {"3,2", "3,1"}));

  // Manual learning: no boxplot, temporary samples kept, manual values written
  // back; an argument with no stored sample is discarded.
  sql.exec("insert into " + db +
           ".ml_sample_tmp_07 (arg_id, sample_str, pattern) values (7,'w','W')");
  const string mkey = akey(d1, 7, "manuals:");
  redis.cmd({"HSET", mkey, "m1", "{\"sample\":\"djk5OTl4\",\"prob\":0}", "bad", "not json"});
  arg(d1, 8);
  publish(event(4, 6, d1, 7));
  publish(event(4, 6, d1, 8));
  ASSERT_TRUE(wait_field(d1, 7, "arg_learn_stat", "4")) << daemon->out();
  ASSERT_TRUE(wait_field(d1, 8, "arg_learn_stat", "5")) << daemon->out();
  EXPECT_EQ(field(d1, 8, "events"), "2");
  EXPECT_EQ(redis.integer({"LLEN", bkey}), 3);
  EXPECT_EQ(rows(true), 1);
  mlt::Reply all = redis.cmd({"HGETALL", mkey});
  ASSERT_EQ(all->elements, 6u);
  int written = 0;
  for (size_t i = 1; i < all->elements; i += 2)
    written += matches(all->element[i]->str, "{\"sample\":\"djk5OTl4\",\"prob\":#,}");
  EXPECT_EQ(written, 1);
  EXPECT_TRUE(notices_are(7, {"3,2", "3,1", "3,2", "3,1"}));
  EXPECT_TRUE(notices_are(8, {"3,2", "2,5"}));

  // Refused payloads print their lines and change nothing; then the relearn.
  for (const string &p :
       {string("not json"), string("{\"class\":-1,\"action\":1}"), event(2, -3, d1, 7),
        event(2, 9, d1, 7), event(3, 10, d1, 7), event(2, 10, d1, 7) + "x"})
    publish(p);
  sync_events();
  for (const string &line :
       {string("get policy act msg failed, not json\n"),
        string("ml redis unknown type in subscribe act for {\"class\":-1,\"action\":1}\n"),
        string("ml redis unknown type in manual learn for -3\n"),
        "get policy act msg failed, " + event(2, 10, d1, 7) + "x\n"})
    EXPECT_NE(daemon->out().find(line), string::npos) << line;
  EXPECT_EQ(field(d1, 7, "arg_learn_stat"), "4");
  const long before = time(nullptr);
  publish(event(2, 10, d1, 7));
  ASSERT_TRUE(wait_field(d1, 7, "arg_learn_stat", "1"));
  for (const char *f : {"events", "normalcount", "anomaly_cnt", "abnormalcount"})
    EXPECT_EQ(field(d1, 7, f), "0") << f;
  EXPECT_GE(std::stol(field(d1, 7, "start_time")), before);
  EXPECT_EQ(field(d1, 7, "arg_name"), "a7");
}

// Policy add, replace and delete between samples; then SIGINT while samples
// and tasks flow. A sample of the policy's domain and a marker of a governed
// domain go to the same processing thread, so once the marker is counted the
// sample has been counted or dropped.
TEST_F(ModelE2e, PolicyEventsApplyWhileSamplesFlowAndSigintStops) {
  const uint32_t d2 = domain("p2");
  const long long gap = static_cast<long long>(d2) + 20 - (static_cast<long long>(d1) + 12 + 30);
  const uint32_t u = static_cast<uint32_t>(12 + (gap % 3 + 3) % 3);  // same bucket as (d2, 12, 20)
  arg(d2, 20, 1498);
  arg(d2, 23);
  arg(d1, 30);
  long marks = 0;
  auto sample = [&](uint32_t a, const string &v) {
    push_lines({to_string(d2) + " 12 " + to_string(a) + " " + v,
                to_string(d1) + " " + to_string(u) + " 30 mark"});
    ASSERT_TRUE(wait_field(d1, 30, "normalcount", to_string(++marks))) << daemon->out();
  };
  sample(20, "x1");  // no policy yet: dropped
  EXPECT_EQ(field(d2, 20, "normalcount"), "1498");
  policy("p2", "0");  // learn time 0: never ready
  policy_event(0);
  sample(20, "x2");
  EXPECT_EQ(field(d2, 20, "normalcount"), "1499");
  EXPECT_EQ(field(d2, 20, "arg_learn_stat"), "1");
  policy("p2", "1");  // replaced: the next sample makes the argument ready
  policy_event(1);
  sample(20, "x3");
  // Two temporary samples cannot give a boxplot: the build fails and discards.
  ASSERT_TRUE(wait_field(d2, 20, "arg_learn_stat", "5")) << daemon->out();
  EXPECT_EQ(field(d2, 20, "events"), "2");
  EXPECT_TRUE(notices_are(20, {"3,2", "2,5"}));
  policy_event(2);
  sample(23, "y1");  // deleted: dropped again
  EXPECT_EQ(field(d2, 23, "normalcount"), "0");

  // Stop while samples, building tasks and manual tasks are in flight.
  arg(d1, 31);
  Lines lines;
  for (int n = 0; n < 3000; n++) lines.push_back(to_string(d1) + " 12 31 s" + to_string(n) + "q");
  push_lines(lines);
  ASSERT_TRUE(mlt::wait_until([&] { return std::stol("0" + field(d1, 31, "normalcount")) > 0; }));
  for (uint32_t a : {30, 31}) publish(event(4, 6, d1, a));  // manual tasks; 31 stops counting
  daemon->signal(SIGINT);
  ASSERT_EQ(daemon->wait_exit(), 0);
  const string out = daemon->out();
  const size_t ready = out.find("\t\"ml_daemon ready to exit\\n\"\n");
  ASSERT_NE(ready, string::npos) << out;
  EXPECT_NE(out.find("\t\"ml_daemon : all threads exit\\n\"\n", ready), string::npos) << out;
}

}  // namespace
