// The sample pipeline of the running daemon end to end: samples pushed with
// ml_sample_push are stored, counted, judged and announced. Runs alone
// (SERIAL): the daemon pops the shared list arg:mlnsample.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;

string hex(const string &s) {
  static const char digits[] = "0123456789ABCDEF";
  string out;
  for (unsigned char c : s) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint32_t id = mlt::unique_id();
    db = "mlt_pipe_" + to_string(id);
    vdom = "e" + to_string(id);
    mlt::provision_db(db);
    mlt::write_file(root / "var/log/machine_learning_log", "");
    timed = domain(0, 2);
    counted = domain(1, 1);
    mlt::Reply(static_cast<redisReply *>(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event")));
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
    stop();
    shutdown(sub.ctx()->fd, SHUT_RDWR);
    listener.join();
    for (const auto &k : keys) redis.cmd({"DEL", k});
    mlt::drop_db(db);
  }
  void stop() {
    if (!daemon->running()) return;
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait_exit(), 0);
  }
  uint32_t domain(int mode, int weeks) {
    const uint32_t d = mlt::unique_id();
    const string pol = "pol" + to_string(d);
    hset("policy:" + vdom + ":" + pol,
         {"sample_collecting_mode", to_string(mode), "hmm_engine", "0", "model_min_learn_time",
          to_string(weeks), "sl_automatic_definitely", "0"});
    hset("domain_info:" + to_string(d), {"adomname", vdom, "policy_name", pol, "domain",
                                         "d" + to_string(d) + ".example", "mysql_dbname", db});
    return d;
  }
  void hset(const string &key, std::vector<string> fields) {
    keys.push_back(key);
    fields.insert(fields.begin(), {"HSET", key});
    redis.cmd(fields);
  }
  void arg(uint32_t d, uint32_t a, const string &state, const string &event, long start = 0) {
    hset("arg:" + to_string(d) + ":" + to_string(a),
         {"arg_learn_stat", state, "events", event, "start_time", to_string(start), "urlid", "12",
          "arg_name", "a" + to_string(a)});
  }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", "arg:" + to_string(d) + ":" + to_string(a), f});
  }
  bool wait_field(uint32_t d, uint32_t a, const string &f, const string &want) {
    return mlt::wait_until([&] { return field(d, a, f) == want; }, std::chrono::seconds(30));
  }
  // ml_sample_push with these arguments (a value, or -f with these lines).
  void push(const string &args) {
    ASSERT_EQ(mlt::run(mlt::bin_dir() + "/ml_sample_push " + args), 0) << args;
  }
  void push_lines(const std::vector<string> &lines) {
    string text;
    for (const auto &l : lines) text += l + "\n";
    mlt::write_file(root / "samples.txt", text);
    push("-f " + root / "samples.txt");
  }
  string table(uint32_t a, bool tmp) {
    return db + ".ml_sample_" + string(tmp ? "tmp_" : "") + (a % 16 < 10 ? "0" : "") +
           to_string(a % 16);
  }
  long rows(uint32_t a, bool tmp) {
    return sql.num("select count(*) from " + table(a, tmp) + " where arg_id=" + to_string(a));
  }
  std::vector<string> notices_of(uint32_t a, const string &kind) {
    std::lock_guard<std::mutex> g(lock);
    std::vector<string> out;
    for (const auto &n : notices)
      if (n.find("\"argname\": \"a" + to_string(a) + "\"") != string::npos &&
          n.find(kind) != string::npos)
        out.push_back(n);
    return out;
  }

  mlt::TempDir root;
  mlt::Redis redis, sub;
  mlt::Sql sql;
  string db, vdom;
  uint32_t timed = 0, counted = 0;
  std::vector<string> keys;
  std::thread listener;
  std::mutex lock;
  std::vector<string> notices;
  std::unique_ptr<mlt::Daemon> daemon;
};

TEST_F(Pipeline, StoresCountsAndRefuses) {
  const uint32_t d = counted;
  const string pre = to_string(d) + " 7 ";
  arg(d, 101, "1", "0");
  const std::vector<string> values = {"it's", "a\\b", "100%", "\xe9t\xe9\"", "ab's"};
  std::vector<string> lines;
  for (const auto &v : values) lines.push_back(pre + "101 " + v);
  push_lines(lines);
  ASSERT_TRUE(wait_field(d, 101, "normalcount", "5")) << daemon->out();
  string stored;
  for (const auto &v : values) stored += hex(v) + ",";
  EXPECT_EQ(sql.one("select group_concat(hex(sample_str) order by id separator ',') from " +
                    table(101, true) + " where arg_id=101") +
                ",",
            stored);
  EXPECT_EQ(rows(101, false), 4);  // "it's" and "ab's" share a pattern
  EXPECT_EQ(sql.one("select concat(sample_str, '/', pattern_count) from " + table(101, false) +
                    " where arg_id=101 and pattern_count>1"),
            "it's/2");

  // Lengths: 256 stored, 257 and 1025 only counted abnormal, 1026 refused.
  arg(d, 102, "1", "0");
  for (int n : {256, 257, 1025, 1026}) push(pre + "102 " + string(n, 'a'));
  push(pre + "102 z");
  ASSERT_TRUE(wait_field(d, 102, "normalcount", "2"));
  EXPECT_EQ(field(d, 102, "abnormalcount"), "2");
  EXPECT_EQ(rows(102, false), 2);
  EXPECT_EQ(rows(102, true), 2);
  EXPECT_NE(daemon->out().find("> Invalid argument length arg_len=1026,arg_real_len=1026\n"),
            string::npos);

  // Only a collecting argument takes samples.
  arg(d, 103, "2", "0");
  arg(d, 104, "3", "0");
  arg(d, 105, "5", "2");
  for (int a : {103, 104, 105}) push(pre + to_string(a) + " v");
  for (string s : {"2, HMGET arg:%:103", "3, HMGET arg:%:104", "5, HMGET arg:%:105"}) {
    s.replace(s.find('%'), 1, to_string(d));
    EXPECT_TRUE(mlt::wait_until([&] {
      return daemon->out().find("Invalid arg stat " + s) != string::npos;
    })) << s;
  }
  for (int a : {103, 104, 105}) {
    EXPECT_EQ(rows(a, false) + rows(a, true), 0);
    EXPECT_EQ(field(d, a, "normalcount"), "");
  }
}

TEST_F(Pipeline, ReadyArgumentsAreDiscardedOrBuilt) {
  const long now = static_cast<long>(time(nullptr));
  arg(timed, 201, "1", "0", now - 2 * 604800 - 1);
  arg(counted, 202, "1", "0", now);
  arg(counted, 203, "1", "0", now);
  const string c = to_string(counted) + " 7 ";
  push("-n 8 " + c + "202 " + string(257, 'b'));
  push("-n 7 " + c + "203 " + string(257, 'b'));
  push("-n 1500 " + c + "202 v1");  // 8 abnormal in 1508: more than five per thousand
  push("-n 1500 " + c + "203 v1");  // 7 in 1507: kept
  push("-n 2499 " + to_string(timed) + " 7 201 x");
  ASSERT_TRUE(wait_field(timed, 201, "normalcount", "2499")) << daemon->out();
  EXPECT_EQ(field(timed, 201, "arg_learn_stat"), "1");  // one short
  push(to_string(timed) + " 7 201 x");
  EXPECT_TRUE(mlt::wait_until([&] { return field(timed, 201, "arg_learn_stat") != "1"; }));
  EXPECT_EQ(rows(201, true), 2000);  // the 2500th sample trimmed the recent ones

  ASSERT_TRUE(wait_field(counted, 202, "arg_learn_stat", "5"));
  EXPECT_EQ(field(counted, 202, "events"), "2");
  EXPECT_EQ(field(counted, 202, "abnormalcount"), "8");
  EXPECT_TRUE(mlt::wait_until([&] { return notices_of(202, "\"mtype\": 2").size() == 1; }));
  // Building: one notice and one task, whose math thread answers with a
  // notice of its own. Stopping lets every task taken finish; the marker then
  // shows that every notice published before it has arrived.
  auto math_notices = [&](uint32_t a) {
    return notices_of(a, "\"mtype\": 3, \"ctype\": 1").size() +
           notices_of(a, "\"mtype\": 2").size();
  };
  for (uint32_t a : {201u, 203u})
    EXPECT_TRUE(mlt::wait_until([&] { return math_notices(a) >= 1; }, std::chrono::seconds(30)))
        << a;
  stop();
  redis.cmd({"PUBLISH", "ml_arg_event", "\"argname\": \"a0\" marker"});
  EXPECT_TRUE(mlt::wait_until([&] { return notices_of(0, "marker").size() == 1; }));
  const auto building = notices_of(201, "\"ctype\": 2");
  ASSERT_EQ(building.size(), 1u);
  EXPECT_EQ(building[0], "{ \"mtype\": 3, \"ctype\": 2, \"adomname\": \"" + vdom +
                             "\", \"policyname\": \"pol" + to_string(timed) +
                             "\", \"domain_name\": \"d" + to_string(timed) +
                             ".example\", \"urlid\": \"12\", \"argname\": \"a201\", \"source\": "
                             "\"ml_daemon\" }");
  EXPECT_EQ(notices_of(203, "\"ctype\": 2").size(), 1u);
  EXPECT_EQ(math_notices(201), 1u);
  EXPECT_EQ(math_notices(203), 1u);
  EXPECT_EQ(notices_of(202, "\"mtype\": 2").size(), 1u);
  EXPECT_TRUE(notices_of(202, "\"mtype\": 3").empty());
}

}  // namespace
