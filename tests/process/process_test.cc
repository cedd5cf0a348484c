// Sample processing against the real Redis and MariaDB: the units directly
// (discard share, readiness, storage with its cap and trim, the transaction
// that leaves nothing behind), then the running daemon fed by ml_sample_push.
// Runs alone (SERIAL): the daemon pops the shared list arg:mlnsample.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "process/arg_state.h"
#include "process/math_submit.h"
#include "process/ml_sample_process.h"
#include "process/readiness.h"
#include "process/sample_store.h"
#include "services/mldb.h"
#include "tests/policy/test_state.h"
#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;

string hex(const string &s) {
  string out;
  for (unsigned char c : s) out += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
  return out;
}

class Process : public ::testing::Test {
 protected:
  void SetUp() override {
    const unsigned id = mlt::unique_id();
    db = "mlt_proc_" + to_string(id);
    vdom = "p" + to_string(id);
    mlt::provision_db(db);
    mlt::make_state(1);
    pthread_mutex_init(&g_data->db_connect_lock, nullptr);
    g_data->task_array.list = static_cast<task_list *>(calloc(1, sizeof(task_list)));
    pthread_mutex_init(&g_data->task_array.task_lock, nullptr);
    rc = g_data->redis_conn;
    init_ml_db_obj(&mdb);
    ASSERT_EQ(mdb.db_connect(&mdb), 0);
  }
  void TearDown() override {
    if (daemon) {
      stop();
      shutdown(sub.ctx()->fd, SHUT_RDWR);
      listener.join();
    }
    math_task t;
    while (ml_get_math_task(&t) == 0) {
    }
    free(g_data->task_array.list);
    mdb.db_close(&mdb);
    mlt::free_state();
    for (const auto &k : keys) redis.cmd({"DEL", k});
    mlt::drop_db(db);
  }
  // A domain of its own, governed (in Redis and the policy table) by a policy
  // with this mode and learning time unless with_policy is false.
  uint32_t domain(int32_t mode, int32_t weeks, bool with_policy = true) {
    const uint32_t d = mlt::unique_id();
    const string pol = "pol" + to_string(d);
    hset("domain_info:" + to_string(d), {"adomname", vdom, "policy_name", pol, "domain",
                                         "d" + to_string(d) + ".example", "mysql_dbname", db});
    if (!with_policy) return d;
    hset("policy:" + vdom + ":" + pol,
         {"sample_collecting_mode", to_string(mode), "hmm_engine", "0", "model_min_learn_time",
          to_string(weeks), "sl_automatic_definitely", "0"});
    ml_policy_conf c = mlt::policy_conf(vdom, pol, mode, 0, weeks, 0);
    EXPECT_EQ(_add_ml_policy(&g_data->ml_plist, &c), 0);
    return d;
  }
  void hset(const string &key, std::vector<string> fields) {
    keys.push_back(key);
    fields.insert(fields.begin(), {"HSET", key});
    redis.cmd(fields);
  }
  void arg(uint32_t d, uint32_t a, const string &state, const string &events, long start = 0) {
    hset("arg:" + to_string(d) + ":" + to_string(a),
         {"arg_learn_stat", state, "events", events, "start_time", to_string(start), "urlid", "12",
          "arg_name", "a" + to_string(a)});
  }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", "arg:" + to_string(d) + ":" + to_string(a), f});
  }
  bool wait_field(uint32_t d, uint32_t a, const string &f, const string &want) {
    return mlt::wait_until([&] { return field(d, a, f) == want; }, std::chrono::seconds(30));
  }
  static sample_msg sample(uint32_t d, uint32_t a, const string &v) {
    sample_msg m;
    sample_msg_fill(&m, d, 7, a, v.data(), static_cast<uint32_t>(v.size()));
    return m;
  }
  string table(uint32_t a, bool tmp) {
    return db + ".ml_sample_" + (tmp ? "tmp_" : "") + (a % 16 < 10 ? "0" : "") + to_string(a % 16);
  }
  long rows(uint32_t a, bool tmp, const string &extra = "") {
    return sql.num("select count(*) from " + table(a, tmp) + " where arg_id=" + to_string(a) +
                   extra);
  }

  // The daemon, with every ml_arg_event notice collected.
  void start_daemon() {
    mlt::write_file(root / "var/log/machine_learning_log", "");
    mlt::Reply(static_cast<redisReply *>(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event")));
    listener = std::thread([this] {
      void *r = nullptr;
      while (redisGetReply(sub.ctx(), &r) == REDIS_OK) {
        mlt::Reply msg(static_cast<redisReply *>(r));
        std::lock_guard<std::mutex> g(lock);
        if (msg->type == REDIS_REPLY_ARRAY && msg->elements == 3 && msg->element[2]->str)
          notices.emplace_back(msg->element[2]->str);
      }
    });
    daemon = std::make_unique<mlt::Daemon>(root.path());
    ASSERT_TRUE(mlt::wait_subscribers(redis, "channel1", 1)) << daemon->out() << daemon->err();
  }
  void stop() {
    if (!daemon->running()) return;
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait_exit(), 0);
  }
  void push(const string &args) {
    ASSERT_EQ(mlt::run(mlt::bin_dir() + "/ml_sample_push " + args), 0) << args;
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

  string db, vdom;
  mlt::Redis redis, sub;
  mlt::Sql sql;
  redis_conn *rc = nullptr;
  ml_db_obj mdb{};
  std::vector<string> keys;
  mlt::TempDir root;
  std::unique_ptr<mlt::Daemon> daemon;
  std::thread listener;
  std::mutex lock;
  std::vector<string> notices;
};

TEST_F(Process, DiscardShareAndStateChecks) {
  const uint32_t d = domain(1, 1);
  for (auto [a, n, ab, want] : {std::tuple{1u, "995", "5", 0},
                                {2u, "994", "6", 1},
                                {3u, "0", "0", 0},
                                {4u, "x", "6", 1}}) {  // "x" reads as 0
    hset("arg:" + to_string(d) + ":" + to_string(a), {"normalcount", n, "abnormalcount", ab});
    const ml_arg_id id{d, 0, a};
    EXPECT_EQ(check_arg_discard(&id, rc), want) << n << "/" << ab;
  }
  const ml_arg_id partial{d, 0, 5}, none{d, 0, 6};
  hset("arg:" + to_string(d) + ":5", {"normalcount", "10", "arg_learn_stat", "1", "events", "2"});
  EXPECT_EQ(check_arg_discard(&partial, rc), -1);
  EXPECT_EQ(check_arg_stat(&partial, rc, 1, 0), -1);
  EXPECT_EQ(check_arg_stat(&partial, rc, 1, 2), 0);
  EXPECT_EQ(check_arg_stat(&none, rc, 1, 0), -1);
  keys.push_back("arg:" + to_string(d) + ":6");
  EXPECT_EQ(ml_redis_update_sample_count(&none, rc, 1), 0);
  EXPECT_EQ(field(d, 6, "abnormalcount"), "1");
  EXPECT_EQ(set_arg_stat(&none, nullptr, 2, 0), -1);
}

TEST_F(Process, ReadinessByCountTimeAndPolicy) {
  const long now = static_cast<long>(time(nullptr)), week = 604800;
  const uint32_t timed = domain(0, 2), counted = domain(1, 1), never = domain(2, 1);
  const uint32_t zero = domain(1, 0), orphan = domain(0, 1, false);
  const string elapsed = to_string(now - 2 * week);  // start + weeks is exactly now (or past)
  uint32_t a = 0;
  for (auto [d, count, start, want] : {std::tuple{timed, 2499, elapsed, 0},
                                       {timed, 2500, elapsed, 1},
                                       {timed, 2500, to_string(now - 2 * week + 3600), 0},
                                       {counted, 1499, string("0"), 0},
                                       {counted, 1500, to_string(now + week), 1},
                                       {counted, 1500, string(), -1},  // no start_time
                                       {never, 9999, string("0"), 0},
                                       {zero, 9999, string("0"), -1},
                                       {orphan, 9999, string("0"), -1}}) {
    std::vector<string> f = {"normalcount", to_string(count)};
    if (!start.empty()) f.insert(f.end(), {"start_time", start});
    hset("arg:" + to_string(d) + ":" + to_string(++a), f);
    const ml_arg_id id{d, 0, a};
    EXPECT_EQ(check_arg_sample_ready(&id, rc), want) << a;
  }
}

TEST_F(Process, PatternCapAndTemporaryTrim) {
  const uint32_t a = 21;
  sample_table_names names{};
  get_sample_table_names(a, names.name0, names.name1, names.name2);
  // 1999 patterns already stored, and 2498 recent samples.
  sql.exec("insert into " + table(a, false) + " (arg_id, sample_str, pattern) select 21, 'v', " +
           "concat('p', seq) from " + db + ".seq_1_to_1999");
  sql.exec("insert into " + table(a, true) + " (arg_id, sample_str, pattern) select 21, 'v', 'p' " +
           "from " + db + ".seq_1_to_2498");
  const long oldest = sql.num("select min(id) from " + table(a, true));
  stored_sample s{static_cast<int32_t>(a), "new", "q1"};
  auto put = [&](const char *pattern, bool tmp) {
    snprintf(s.pattern, sizeof s.pattern, "%s", pattern);
    return tmp ? insert_sample_temp(&mdb, &s, db.c_str(), &names)
               : insert_sample(&mdb, &s, db.c_str(), &names);
  };
  EXPECT_EQ(put("q1", false), 0);
  EXPECT_EQ(put("q1", true), 0);
  EXPECT_EQ(rows(a, false), 2000);
  EXPECT_EQ(rows(a, true), 2499);
  EXPECT_EQ(put("q2", false), 1);  // full: nothing stored
  EXPECT_EQ(rows(a, false, " and pattern='q2'"), 0);
  EXPECT_EQ(put("p7", false), 0);
  EXPECT_EQ(rows(a, false, " and pattern='p7' and pattern_count=2"), 1);
  EXPECT_EQ(put("p7", true), 0);  // the 2500th: trimmed
  EXPECT_EQ(rows(a, true), 2000);
  EXPECT_EQ(sql.num("select min(id) from " + table(a, true)), oldest + 500);
}

// A failing temporary insert, then the server dropping the connection while
// that insert waits inside the transaction: each time the sample goes whole
// (its sample row too) and no counter moves. The next one is stored.
TEST_F(Process, FailedTransactionLeavesNothingBehind) {
  const uint32_t d = domain(1, 1), a = 22;
  arg(d, a, "1", "0");
  const sample_msg m = sample(d, a, "x'y");
  auto nothing_stored = [&] {
    EXPECT_EQ(rows(a, false), 0);
    EXPECT_EQ(field(d, a, "normalcount"), "");
  };
  sql.exec("rename table " + table(a, true) + " to " + table(a, true) + "_off");
  EXPECT_EQ(process_sample(&m, &mdb, rc), -1);
  sql.exec("rename table " + table(a, true) + "_off to " + table(a, true));
  nothing_stored();
  ASSERT_EQ(mdb.db_execute(&mdb, "select @@in_transaction"), 0);
  {
    recordset_guard rs(&mdb);
    ASSERT_EQ(rs.create(), 0);
    EXPECT_STREQ(mysql_fetch_row(rs->result)[0], "0");
  }

  const string lock_name = "mlt_lock_" + to_string(d), trig = table(a, true) + "_hold";
  sql.exec("select get_lock('" + lock_name + "', 5)");
  sql.exec("create trigger " + trig + " before insert on " + table(a, true) +
           " for each row set @held = get_lock('" + lock_name + "', 20)");
  int r = 0;
  std::thread worker([&] { r = process_sample(&m, &mdb, rc); });
  const string waiting =
      "select id from information_schema.processlist where state = 'User lock' and info like '%" +
      lock_name + "%'";
  EXPECT_TRUE(mlt::wait_until([&] { return !sql.one(waiting).empty(); }));
  sql.exec("kill connection " + sql.one(waiting));
  worker.join();
  sql.exec("drop trigger " + trig);
  sql.exec("select release_lock('" + lock_name + "')");
  EXPECT_EQ(r, -1);
  nothing_stored();

  EXPECT_EQ(process_sample(&m, &mdb, rc), 0);
  EXPECT_EQ(rows(a, false), 1);
  EXPECT_EQ(rows(a, true), 1);
  EXPECT_EQ(field(d, a, "normalcount"), "1");
}

TEST_F(Process, BadInputDropsTheSample) {
  const uint32_t d = domain(1, 1), a = 24;
  arg(d, a, "1", "0");
  // 1025 bytes that escape to 1055, with a short pattern: too long to store.
  sample_msg m = sample(d, a, string(995, 'a') + string(30, '\''));
  m.arg_real_len = 200;
  EXPECT_EQ(process_sample(&m, &mdb, rc), -1);
  redis.cmd({"HDEL", "domain_info:" + to_string(d), "mysql_dbname"});
  m = sample(d, a, "ok");
  EXPECT_EQ(process_sample(&m, &mdb, rc), -1);
  EXPECT_EQ(rows(a, false), 0);
  EXPECT_EQ(field(d, a, "normalcount"), "");
  m.arg_real_len = 0;
  EXPECT_EQ(check_sample(&m, &mdb, rc), -1);
}

TEST_F(Process, ManualRequestMovesAnyStateToBuilding) {
  const uint32_t d = domain(1, 1);
  arg(d, 31, "3", "0");
  hset("arg:" + to_string(d) + ":32", {"arg_learn_stat", "5", "events", "2", "urlid", "13"});
  EXPECT_EQ(ml_add_manual_task(rc, d, 31), 0);
  EXPECT_EQ(field(d, 31, "arg_learn_stat"), "2");
  EXPECT_EQ(ml_add_manual_task(rc, d, 32), -1);  // no arg_name: no notice, no task
  EXPECT_EQ(field(d, 32, "arg_learn_stat") + field(d, 32, "events"), "20");
  EXPECT_EQ(ml_add_manual_task(rc, d + 1000000, 31), -1);  // no domain_info
  math_task t;
  ASSERT_EQ(ml_get_math_task(&t), 0);
  EXPECT_EQ(std::tuple(t.dbid, t.argid, t.urlid, t.type, string(t.mysql_dbname)),
            std::tuple(d, 31u, 12u, 2u, db));
  EXPECT_EQ(ml_get_math_task(&t), -2);
}

TEST_F(Process, PipelineStoresCountsAndRefuses) {
  const uint32_t d = domain(1, 1);
  start_daemon();
  const string pre = to_string(d) + " 7 ";
  arg(d, 101, "1", "0");
  const std::vector<string> values = {"it's", "a\\b", "100%", "\xe9t\xe9\"", "ab's"};
  string lines, stored;
  for (const auto &v : values) {
    lines += pre + "101 " + v + "\n";
    stored += hex(v) + ",";
  }
  mlt::write_file(root / "samples.txt", lines);
  push("-f " + root / "samples.txt");
  ASSERT_TRUE(wait_field(d, 101, "normalcount", "5")) << daemon->out();
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
  for (auto [a, state, events] : {std::tuple{103u, "2", "0"}, {104u, "3", "0"}, {105u, "5", "2"}}) {
    arg(d, a, state, events);
    push(pre + to_string(a) + " v");
    const string line =
        "Invalid arg stat " + string(state) + ", HMGET arg:" + to_string(d) + ":" + to_string(a);
    EXPECT_TRUE(mlt::wait_until([&] { return daemon->out().find(line) != string::npos; })) << line;
    EXPECT_EQ(rows(a, false) + rows(a, true), 0);
    EXPECT_EQ(field(d, a, "normalcount"), "");
  }
}

TEST_F(Process, PipelineDiscardsOrBuildsReadyArguments) {
  const uint32_t d = domain(1, 1), timed = domain(0, 2);
  start_daemon();
  const string pre = to_string(d) + " 7 ", tpre = to_string(timed) + " 7 201 x";
  // 8 abnormal in 1508 is more than five per thousand; 7 in 1507 is not.
  for (auto [a, bad] : {std::pair{202, 8}, {203, 7}}) {
    arg(d, a, "1", "0", time(nullptr));
    push("-n " + to_string(bad) + " " + pre + to_string(a) + " " + string(257, 'b'));
    push("-n 1500 " + pre + to_string(a) + " v1");
  }
  arg(timed, 201, "1", "0", time(nullptr) - 2 * 604800 - 1);
  push("-n 2499 " + tpre);
  ASSERT_TRUE(wait_field(timed, 201, "normalcount", "2499")) << daemon->out();
  EXPECT_EQ(field(timed, 201, "arg_learn_stat"), "1");  // one short
  push(tpre);
  EXPECT_TRUE(mlt::wait_until([&] { return field(timed, 201, "arg_learn_stat") != "1"; }));
  EXPECT_EQ(rows(201, true), 2000);  // the 2500th sample trimmed the recent ones
  ASSERT_TRUE(wait_field(d, 202, "arg_learn_stat", "5")) << daemon->out();
  EXPECT_EQ(field(d, 202, "events") + "/" + field(d, 202, "abnormalcount"), "2/8");
  // Building: one notice and one task, whose math thread answers with a
  // notice of its own. Stopping lets every task taken finish; the marker then
  // shows that every notice published before it has arrived.
  auto math_notices = [&](uint32_t a) {
    return notices_of(a, "\"mtype\": 3, \"ctype\": 1").size() +
           notices_of(a, "\"mtype\": 2").size();
  };
  for (uint32_t a : {201u, 202u, 203u})
    EXPECT_TRUE(mlt::wait_until([&] { return math_notices(a) >= 1; }, std::chrono::seconds(30)))
        << a;
  stop();
  redis.cmd({"PUBLISH", "ml_arg_event", "\"argname\": \"a0\" marker"});
  EXPECT_TRUE(mlt::wait_until([&] { return notices_of(0, "marker").size() == 1; }));
  const auto building = notices_of(203, "\"ctype\": 2");
  ASSERT_EQ(building.size(), 1u);
  EXPECT_EQ(building[0], "{ \"mtype\": 3, \"ctype\": 2, \"adomname\": \"" + vdom +
                             "\", \"policyname\": \"pol" + to_string(d) +
                             "\", \"domain_name\": \"d" + to_string(d) +
                             ".example\", \"urlid\": \"12\", \"argname\": \"a203\", \"source\": "
                             "\"ml_daemon\" }");
  EXPECT_EQ(notices_of(201, "\"ctype\": 2").size(), 1u);
  for (uint32_t a : {201u, 202u, 203u}) EXPECT_EQ(math_notices(a), 1u) << a;
  EXPECT_TRUE(notices_of(202, "\"mtype\": 3").empty());
}

}  // namespace
