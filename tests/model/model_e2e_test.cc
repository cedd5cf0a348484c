// The running daemon from the first sample to the published model, and the
// configuration events that change it while it runs. Runs alone (SERIAL): the
// daemon pops arg:mlnsample and listens on channel1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cctype>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;

// True when text is the template with each '#' a number with six decimals
// ("%f") and each '@' a non-negative integer ("%d").
bool matches(const string &text, const string &tmpl) {
  size_t i = 0;
  auto digits = [&] {
    const size_t from = i;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) i++;
    return i - from;
  };
  for (char c : tmpl) {
    if (c == '#') {
      if (i < text.size() && text[i] == '-') i++;
      if (digits() == 0 || i >= text.size() || text[i++] != '.' || digits() != 6) return false;
    } else if (c == '@') {
      if (digits() == 0) return false;
    } else if (i >= text.size() || text[i++] != c) {
      return false;
    }
  }
  return i == text.size();
}

// Entries of a model text {"column":C,"data":[...]}; -1 when the form is wrong.
int entries_of(const string &text, int column) {
  const string head = "{\"column\":" + to_string(column) + ",\"data\":[";
  if (text.rfind(head, 0) != 0 || text.size() < head.size() + 2 ||
      text.substr(text.size() - 2) != "]}")
    return -1;
  const string data = text.substr(head.size(), text.size() - head.size() - 2) + ",";
  int n = 0;
  for (size_t p = 0, c; (c = data.find(',', p)) != string::npos; p = c + 1, n++)
    if (!matches(data.substr(p, c - p), "#")) return -1;
  return n;
}

class ModelE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    id = mlt::unique_id();
    db = "mlt_mode2e_" + to_string(id);
    vdom = "m" + to_string(id);
    mlt::provision_db(db);
    mlt::write_file(root / "var/log/machine_learning_log", "");
    mlt::write_file(root / "sys/fs/cgroup/cpu.max", "400000 100000\n");  // 3 threads of each
    d1 = domain("p1", true);
    mlt::Reply subscribed(
        static_cast<redisReply *>(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event")));
    listener = std::thread([this] {
      void *r = nullptr;
      while (redisGetReply(sub.ctx(), &r) == REDIS_OK) {
        mlt::Reply msg(static_cast<redisReply *>(r));
        if (msg->type == REDIS_REPLY_ARRAY && msg->elements == 3 && msg->element[2]->str) {
          std::lock_guard<std::mutex> g(lock);
          notices.emplace_back(msg->element[2]->str);
        }
      }
    });
    daemon = std::make_unique<mlt::Daemon>(root.path());
    ASSERT_TRUE(mlt::wait_subscribers(redis, "channel1", 1)) << daemon->out() << daemon->err();
  }
  void TearDown() override {
    if (daemon->running()) daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait_exit(), 0);
    shutdown(sub.ctx()->fd, SHUT_RDWR);
    listener.join();
    for (const auto &k : keys) redis.cmd({"DEL", k});
    mlt::drop_db(db);
  }
  // A domain whose policy (count-only, one week) exists when with_policy is set.
  uint32_t domain(const string &pol, bool with_policy) {
    const uint32_t d = mlt::unique_id();
    if (with_policy) policy(pol, "1");
    hset("domain_info:" + to_string(d), {"adomname", vdom, "policy_name", pol, "domain",
                                         "d" + to_string(d) + ".example", "mysql_dbname", db});
    return d;
  }
  void policy(const string &pol, const string &weeks) {
    hset("policy:" + vdom + ":" + pol,
         {"sample_collecting_mode", "1", "hmm_engine", "0", "model_min_learn_time", weeks,
          "sl_automatic_definitely", "0"});
  }
  void hset(const string &key, std::vector<string> fields) {
    keys.push_back(key);
    fields.insert(fields.begin(), {"HSET", key});
    redis.cmd(fields);
  }
  string akey(uint32_t d, uint32_t a) {
    keys.push_back("arg:boxplot:" + to_string(d) + ":" + to_string(a));
    keys.push_back("arg:manuals:" + to_string(d) + ":" + to_string(a));
    keys.push_back("arg:" + to_string(d) + ":" + to_string(a));
    return keys.back();
  }
  void arg(uint32_t d, uint32_t a, long normal = 0) {
    hset(akey(d, a), {"arg_learn_stat", "1", "events", "0", "start_time", to_string(time(nullptr)),
                      "normalcount", to_string(normal), "abnormalcount", "0", "urlid", "12",
                      "arg_name", "a" + to_string(a)});
  }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", akey(d, a), f});
  }
  bool wait_field(uint32_t d, uint32_t a, const string &f, const string &want) {
    return mlt::wait_until([&] { return field(d, a, f) == want; }, std::chrono::seconds(60));
  }
  void push_lines(const std::vector<string> &lines) {
    string text;
    for (const auto &l : lines) text += l + "\n";
    mlt::write_file(root / "samples.txt", text);
    ASSERT_EQ(mlt::run(mlt::bin_dir() + "/ml_sample_push -f " + root / "samples.txt"), 0);
  }
  void publish(const string &payload) { redis.cmd({"PUBLISH", "channel1", payload}); }
  // Events are handled in order: once this relearn shows, all before it were.
  void sync_events() {
    const uint32_t a = 900 + syncs++;
    publish("{\"class\":2,\"action\":10,\"domain_id\":" + to_string(d1) +
            ",\"arg_id\":" + to_string(a) + "}");
    ASSERT_TRUE(wait_field(d1, a, "arg_learn_stat", "1")) << daemon->out();
  }
  bool wait_out(const string &text) {
    return mlt::wait_until([&] { return daemon->out().find(text) != string::npos; });
  }
  std::vector<string> kinds_of(uint32_t a) {  // "mtype,ctype" of each notice of arg a
    std::lock_guard<std::mutex> g(lock);
    std::vector<string> out;
    for (const auto &n : notices)
      if (n.find("\"argname\": \"a" + to_string(a) + "\"") != string::npos &&
          n.rfind("{ \"mtype\": ", 0) == 0 && n.size() > 25)
        out.push_back(n.substr(11, 1) + "," + n.substr(23, 1));
    return out;
  }
  string table(uint32_t a, bool tmp) {
    return db + ".ml_sample_" + string(tmp ? "tmp_" : "") + (a % 16 < 10 ? "0" : "") +
           to_string(a % 16);
  }
  long rows(uint32_t a, bool tmp, const string &cond = "") {
    return sql.num("select count(*) from " + table(a, tmp) + " where arg_id=" + to_string(a) +
                   cond);
  }

  mlt::TempDir root;
  mlt::Redis redis, sub;
  mlt::Sql sql;
  uint32_t id = 0, d1 = 0, syncs = 0;
  string db, vdom;
  std::vector<string> keys;
  std::thread listener;
  std::mutex lock;
  std::vector<string> notices;
  std::unique_ptr<mlt::Daemon> daemon;
};

TEST_F(ModelE2e, LearnsThenLearnsManuallyThenRelearns) {
  const uint32_t d = d1;
  arg(d, 7);
  std::vector<string> lines;
  for (int n = 0; n < 1500; n++) lines.push_back(to_string(d) + " 12 7 v" + to_string(n) + "x");
  push_lines(lines);
  ASSERT_TRUE(wait_field(d, 7, "arg_learn_stat", "3"))
      << field(d, 7, "normalcount") << " " << field(d, 7, "arg_learn_stat") << " " << rows(7, false)
      << " " << rows(7, true)
      << daemon->out().substr(daemon->out().size() > 3000 ? daemon->out().size() - 3000 : 0);
  EXPECT_EQ(field(d, 7, "events"), "0");
  EXPECT_EQ(entries_of(field(d, 7, "math_model_pi"), 1), 10);
  EXPECT_EQ(entries_of(field(d, 7, "math_model_a"), 10), 100);
  const int b = entries_of(field(d, 7, "math_model_b"), 10);
  EXPECT_TRUE(b > 0 && b % 10 == 0) << field(d, 7, "math_model_b");
  for (const char *f : {"mean_length", "mean_prob", "prob_mean_ex", "variance_ex"})
    EXPECT_TRUE(matches(field(d, 7, f), "#")) << f << " " << field(d, 7, f);
  const double len = std::stod(field(d, 7, "mean_length"));
  EXPECT_TRUE(len >= 3.0 && len <= 6.0) << len;
  EXPECT_NEAR(
      std::stod(sql.one("select prob_mean_ex from " + db + ".url_args_info where arg_id=7")),
      std::stod(field(d, 7, "prob_mean_ex")), 1e-6);
  EXPECT_GT(rows(7, false), 0);
  EXPECT_EQ(rows(7, false,
                 " and (noise_flag not in (0,1) or (noise_flag=0 and (pattern_probability=0"
                 " or average_probability<=0)))"),
            0);
  const string bkey = "arg:boxplot:" + to_string(d) + ":7";
  ASSERT_EQ(redis.integer({"LLEN", bkey}), 3);
  const string box =
      "{\"is_sample\":1,\"q1\":#, \"q2\":#, \"q3\":#, \"notch_top\":#, \"notch_bottom\":#, "
      "\"q4\":#, \"q5\":#, \"sample_max\":#, \"sample_min\":#, \"potential_anomaly_cnt\":@, "
      "\"definite_anomaly_cnt\":@}";
  for (int i = 0; i < 3; i++) {
    const string e = redis.str({"LINDEX", bkey, to_string(i)});
    EXPECT_TRUE(matches(e, box)) << e;
  }
  EXPECT_EQ(rows(7, true), 0);
  EXPECT_TRUE(mlt::wait_until([&] { return kinds_of(7) == std::vector<string>{"3,2", "3,1"}; }));

  // Manual learning: no boxplot, temporary samples kept, manual values written back.
  sql.exec("insert into " + table(7, true) +
           " (arg_id, sample_str, pattern) select 7, 'w', 'W' from " + table(7, false) +
           " limit 5");
  const long kept = rows(7, true);
  const string mkey = "arg:manuals:" + to_string(d) + ":7";
  redis.cmd({"HSET", mkey, "m1", "{\"sample\":\"djk5OTl4\",\"prob\":0}", "bad", "not json"});
  arg(d, 8);  // no stored sample at all
  publish("{\"class\":4,\"action\":6,\"domain_id\":" + to_string(d) + ",\"arg_id\":7}");
  publish("{\"class\":4,\"action\":6,\"domain_id\":" + to_string(d) + ",\"arg_id\":8}");
  ASSERT_TRUE(wait_field(d, 7, "arg_learn_stat", "4")) << daemon->out();
  ASSERT_TRUE(wait_field(d, 8, "arg_learn_stat", "5")) << daemon->out();
  EXPECT_EQ(field(d, 8, "events"), "2");
  EXPECT_EQ(redis.integer({"LLEN", bkey}), 3);
  EXPECT_EQ(rows(7, true), kept);
  EXPECT_EQ(redis.integer({"HLEN", mkey}), 3);
  EXPECT_EQ(redis.str({"HGET", mkey, "bad"}), "not json");
  mlt::Reply all = redis.cmd({"HGETALL", mkey});
  int written = 0;
  for (size_t i = 0; all && i + 1 < all->elements; i += 2)
    written += matches(all->element[i + 1]->str, "{\"sample\":\"djk5OTl4\",\"prob\":#,}");
  EXPECT_EQ(written, 1);
  EXPECT_TRUE(mlt::wait_until([&] { return kinds_of(7).size() == 4 && kinds_of(7)[3] == "3,1"; }));
  EXPECT_TRUE(mlt::wait_until([&] { return kinds_of(8) == std::vector<string>{"3,2", "2,5"}; }));

  // Refused payloads print their lines and change nothing; then the relearn.
  const string dd = to_string(d);
  for (const string &p : {string("not json"), string("{\"class\":-1,\"action\":1}"),
                          "{\"class\":2,\"action\":-3,\"domain_id\":" + dd + ",\"arg_id\":7}",
                          "{\"class\":2,\"action\":9,\"domain_id\":" + dd + ",\"arg_id\":7}",
                          "{\"class\":3,\"action\":10,\"domain_id\":" + dd + ",\"arg_id\":7}",
                          "{\"class\":2,\"action\":10,\"domain_id\":" + dd + ",\"arg_id\":7}x"})
    publish(p);
  sync_events();
  const string out = daemon->out();
  EXPECT_NE(out.find("get policy act msg failed, not json\n"), string::npos) << out;
  EXPECT_NE(out.find("ml redis unknown type in subscribe act for {\"class\":-1,\"action\":1}\n"),
            string::npos);
  EXPECT_NE(out.find("ml redis unknown type in manual learn for -3\n"), string::npos);
  EXPECT_NE(out.find("get policy act msg failed, {\"class\":2,\"action\":10,\"domain_id\":" + dd +
                     ",\"arg_id\":7}x\n"),
            string::npos);
  EXPECT_EQ(field(d, 7, "arg_learn_stat"), "4");
  const long before = time(nullptr);
  publish("{\"class\":2,\"action\":10,\"domain_id\":" + dd + ",\"arg_id\":7}");
  ASSERT_TRUE(wait_field(d, 7, "arg_learn_stat", "1"));
  for (const char *f : {"events", "normalcount", "anomaly_cnt", "abnormalcount"})
    EXPECT_EQ(field(d, 7, f), "0") << f;
  EXPECT_GE(std::stol(field(d, 7, "start_time")), before);
  EXPECT_EQ(field(d, 7, "arg_name"), "a7");
  EXPECT_EQ(entries_of(field(d, 7, "math_model_pi"), 1), 10);
  EXPECT_GT(rows(7, false), 0);
}

// Policy add, replace and delete between samples; then SIGINT while samples
// and tasks flow. A sample of the policy's domain and a marker of a governed
// domain go to the same processing thread, so once the marker is counted the
// sample has been counted or dropped.
TEST_F(ModelE2e, PolicyEventsApplyWhileSamplesFlowAndSigintStops) {
  const uint32_t d2 = domain("p2", false);
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
  publish("{\"class\":0,\"action\":0,\"vdom\":\"" + vdom + "\",\"policy\":\"p2\"}");
  sync_events();
  sample(20, "x2");
  EXPECT_EQ(field(d2, 20, "normalcount"), "1499");
  EXPECT_EQ(field(d2, 20, "arg_learn_stat"), "1");

  policy("p2", "1");  // replaced: the next sample makes the argument ready
  publish("{\"class\":0,\"action\":1,\"vdom\":\"" + vdom + "\",\"policy\":\"p2\"}");
  sync_events();
  sample(20, "x3");
  // Two temporary samples cannot give a boxplot: the build fails and discards.
  ASSERT_TRUE(wait_field(d2, 20, "arg_learn_stat", "5")) << daemon->out();
  EXPECT_EQ(field(d2, 20, "events"), "2");
  EXPECT_TRUE(mlt::wait_until([&] { return kinds_of(20) == std::vector<string>{"3,2", "2,5"}; }));

  publish("{\"class\":0,\"action\":2,\"vdom\":\"" + vdom + "\",\"policy\":\"p2\"}");
  sync_events();
  sample(23, "y1");  // deleted: dropped again
  EXPECT_EQ(field(d2, 23, "normalcount"), "0");

  // Stop while samples, building tasks and manual tasks are in flight.
  arg(d1, 31);
  std::vector<string> lines;
  for (int n = 0; n < 3000; n++) lines.push_back(to_string(d1) + " 12 31 s" + to_string(n) + "q");
  push_lines(lines);
  for (int a : {30, 31})
    publish("{\"class\":4,\"action\":6,\"domain_id\":" + to_string(d1) +
            ",\"arg_id\":" + to_string(a) + "}");
  ASSERT_TRUE(mlt::wait_until([&] { return std::stol("0" + field(d1, 31, "normalcount")) > 0; }));
  daemon->signal(SIGINT);
  ASSERT_EQ(daemon->wait_exit(), 0);
  const string out = daemon->out();
  const size_t ready = out.find("\t\"ml_daemon ready to exit\\n\"\n");
  const size_t done = out.find("\t\"ml_daemon : all threads exit\\n\"\n");
  ASSERT_NE(ready, string::npos) << out;
  ASSERT_NE(done, string::npos) << out;
  EXPECT_LT(ready, done);
}

}  // namespace
