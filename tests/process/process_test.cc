// Sample processing against the real Redis and MariaDB: the units directly,
// then the running daemon fed by ml_sample_push. SERIAL: the daemon pops the
// shared list arg:mlnsample.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/socket.h>

#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "arg/arg_notify.h"
#include "arg/arg_state.h"
#include "arg/arg_tasks.h"
#include "log/ml_debug.h"
#include "model/math_model_thread.h"
#include "platform/framework/framework.h"
#include "platform/mathmodel/mathmodel.h"
#include "process/ml_sample_process.h"
#include "process/readiness.h"
#include "process/sample_batch.h"
#include "process/sample_store.h"
#include "services/mldb.h"
#include "services/redis.h"
#include "tests/process/sql_check.h"
#include "tests/testutil/state.h"

namespace {

using std::string;
using std::to_string;

class Process : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    st = std::make_unique<mlt::State>(1);
    rc = st->redis;
    init_ml_db_obj(&mdb);
    ASSERT_EQ(mdb.db_connect(&mdb), 0);
  }
  void TearDown() override {
    if (daemon) {
      if (daemon->running()) daemon->signal(SIGINT);
      EXPECT_EQ(daemon->wait_exit(), 0);
      shutdown(sub.ctx()->fd, SHUT_RDWR);
      listener.join();
    }
    mdb.db_close(&mdb);
    st.reset();
    for (const auto &k : keys) redis.cmd({"DEL", k});
    mlt::drop_db(db);
  }
  // A domain governed (in Redis and the policy list) by a policy of this mode and learning time.
  uint32_t domain(int32_t mode, int32_t weeks) {
    const uint32_t d = mlt::unique_id();
    const string pol = "pol" + to_string(d);
    hset("domain_info:" + to_string(d), {"adomname", vdom, "policy_name", pol, "domain",
                                         "d" + to_string(d) + ".example", "mysql_dbname", db});
    hset("policy:" + vdom + ":" + pol,
         {"sample_collecting_mode", to_string(mode), "hmm_engine", "0", "model_min_learn_time",
          to_string(weeks), "sl_automatic_definitely", "0"});
    ml_policy_conf c = mlt::policy_conf(vdom, pol, mode, 0, weeks, 0);
    EXPECT_EQ(_add_ml_policy(&st->plist, &c), 0);
    return d;
  }
  void hset(const string &key, std::vector<string> fields) {
    keys.push_back(key);
    fields.insert(fields.begin(), {"HSET", key});
    redis.cmd(fields);
  }
  void arg(uint32_t d, uint32_t a, const string &state, long start = 0) {
    hset("arg:" + to_string(d) + ":" + to_string(a),
         {"arg_learn_stat", state, "events", "0", "start_time", to_string(start), "urlid", "12",
          "arg_name", "a" + to_string(a)});
  }
  static string field_of(uint32_t d, uint32_t a) { return to_string(d) + ":" + to_string(a); }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", "arg:" + to_string(d) + ":" + to_string(a), f});
  }
  bool wait_field(uint32_t d, uint32_t a, const string &f, const string &want) {
    return mlt::wait_until([&] { return field(d, a, f) == want; }, std::chrono::seconds(30));
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
    // The listener waits as long as the daemon takes to send its first notice
    // (longer than the connection's 5 s under ThreadSanitizer); TearDown ends
    // the wait by shutting the socket down.
    redisSetTimeout(sub.ctx(), {0, 0});
    listener = std::thread([this] {
      for (void *r = nullptr; redisGetReply(sub.ctx(), &r) == REDIS_OK;) {
        mlt::Reply msg(static_cast<redisReply *>(r));
        std::lock_guard<std::mutex> g(lock);
        if (msg->elements == 3 && msg->element[2]->str) notices.emplace_back(msg->element[2]->str);
      }
    });
    daemon = std::make_unique<mlt::Daemon>(root.path());
    ASSERT_TRUE(mlt::wait_subscribers(redis, "channel1", 1)) << daemon->out() << daemon->err();
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

  const string db = "mlt_proc_" + to_string(mlt::unique_id()), vdom = "p" + db.substr(9);
  mlt::Redis redis, sub;
  mlt::Sql sql;
  redis_conn *rc = nullptr;
  std::unique_ptr<mlt::State> st;
  ml_db_obj mdb{};
  std::vector<string> keys;
  mlt::TempDir root;
  std::unique_ptr<mlt::Daemon> daemon;
  std::thread listener;
  std::mutex lock;
  std::vector<string> notices;
};

TEST_F(Process, DiscardShareAndReadiness) {
  const uint32_t d = domain(1, 1), timed = domain(0, 2);
  for (auto [a, n, ab, want] :
       {std::tuple{1u, "995", "5", 0}, {2u, "994", "6", 1}, {3u, "0", "0", 0}}) {
    hset("arg:" + to_string(d) + ":" + to_string(a), {"normalcount", n, "abnormalcount", ab});
    const ml_arg_id id{d, 0, a};
    EXPECT_EQ(check_arg_discard(&id, rc), want) << n << "/" << ab;
  }
  const string elapsed = to_string(time(nullptr) - 2 * 604800);  // start + weeks is now
  for (auto [a, count, want] : {std::tuple{4u, "2499", 0}, {5u, "2500", 1}}) {
    hset("arg:" + to_string(timed) + ":" + to_string(a),
         {"normalcount", count, "start_time", elapsed});
    const ml_arg_id id{timed, 0, a};
    EXPECT_EQ(check_arg_sample_ready(&id, rc, &st->plist), want) << count;
  }
}

TEST_F(Process, PatternCapAndTemporaryTrim) {
  const uint32_t a = 21;
  sample_table_names names{};
  get_sample_table_names(a, names.name0, names.name1, names.name2);
  sql.exec("insert into " + table(a, false) + " (arg_id, sample_str, pattern) select 21, 'v', " +
           "concat('p', seq) from " + db + ".seq_1_to_2000");
  sql.exec("insert into " + table(a, true) + " (arg_id, sample_str, pattern) select 21, 'v', 'p' " +
           "from " + db + ".seq_1_to_2499");
  stored_sample s{static_cast<int32_t>(a), "new", "q2", 4};
  EXPECT_EQ(insert_sample(&mdb, &s, db.c_str(), &names), 1);  // full: the new one skipped
  snprintf(s.pattern, sizeof s.pattern, "p7");
  EXPECT_EQ(insert_sample(&mdb, &s, db.c_str(), &names), 0);
  EXPECT_EQ(
      rows(a, false, " and (pattern='q2' or pattern='p7' and pattern_count=2 and value_bits=4)"),
      1);
  EXPECT_EQ(insert_sample_temp(&mdb, &s, db.c_str(), &names), 0);  // the 2500th
  EXPECT_EQ(rows(a, true), 2000);
}

TEST_F(Process, FailedTemporaryInsertRollsBack) {
  const uint32_t d = domain(1, 1), a = 22;
  arg(d, a, "1");
  sample_msg m;
  sample_msg_fill(&m, d, 7, a, "x'y", 3);
  sql.exec("rename table " + table(a, true) + " to " + table(a, true) + "_off");
  const process_env env = st->env(&mdb);
  enable_debug_print = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_sample(&m, &env), -1);
  const string out = testing::internal::GetCapturedStdout();
  enable_debug_print = 0;
  sql.exec("rename table " + table(a, true) + "_off to " + table(a, true));
  // Reported under the operation's own name, the one operators search for.
  EXPECT_TRUE(mlt::has_debug_line(out, "process_sample", "insert_sample_temp failed")) << out;
  EXPECT_EQ(rows(a, false), 0);
  EXPECT_EQ(field(d, a, "normalcount"), "");
  ASSERT_EQ(mdb.db_execute(&mdb, "select @@in_transaction"), 0);
  recordset_guard rs(&mdb);
  ASSERT_EQ(rs.create(), 0);
  EXPECT_STREQ(mysql_fetch_row(rs->result)[0], "0");
}

// A policy whose learning time is 0 weeks never makes an argument ready, in
// either mode and however many samples it has: the readiness check answers
// -1, and a stored sample leaves the argument collecting with no task.
TEST_F(Process, LearnTimeZeroNeverMakesAnArgumentReady) {
  const process_env env = st->env(&mdb);
  for (int32_t mode : {0, 1}) {
    const uint32_t d = domain(mode, 0), a = 25;
    arg(d, a, "1");
    hset("arg:" + to_string(d) + ":" + to_string(a), {"normalcount", "99999"});
    const ml_arg_id id{d, 7, a};
    EXPECT_EQ(check_arg_sample_ready(&id, rc, &st->plist), -1) << mode;
    sample_msg m;
    sample_msg_fill(&m, d, 7, a, "v", 1);
    EXPECT_EQ(process_sample(&m, &env), 0) << mode;
    EXPECT_EQ(field(d, a, "normalcount"), "100000") << mode;
    EXPECT_EQ(field(d, a, "arg_learn_stat"), "1") << mode;
    EXPECT_EQ(st->tasks.task_count, 0u) << mode;
  }
}

// A helper doing a step of an operation reports under the operation's name,
// the one operators search for.
TEST_F(Process, DebugLinesNameTheOperation) {
  const uint32_t d = domain(1, 1), a = 24;
  arg(d, a, "1");
  hset("arg:" + to_string(d) + ":" + to_string(a), {"events", "2", "normalcount", "1500"});
  const ml_arg_id id{d, 7, a};
  enable_debug_print = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_arg_stat(&id, rc, ARG_STAT_COLLECTING, ARG_EVENT_NONE), -1);
  EXPECT_EQ(check_arg_stat(&id, rc, ARG_STAT_BUILDING, ARG_EVENT_NONE), -1);
  EXPECT_EQ(mm_check_arg(rc, d, a, ARG_STAT_BUILDING), -1);
  EXPECT_EQ(check_arg_sample_ready(&id, rc, &st->plist), 1);
  EXPECT_EQ(get_sample_pattern_count(static_cast<int>(a), &mdb, "mlt_no_such_db", "t"), -1);
  // No task list: the argument is building and told, then the task is refused.
  EXPECT_EQ(ml_add_manual_task(rc, nullptr, d, a), -1);
  const string out = testing::internal::GetCapturedStdout();
  enable_debug_print = 0;
  const string hmget = "HMGET arg:" + to_string(d) + ":" + to_string(a) + " arg_learn_stat events";
  EXPECT_TRUE(mlt::has_debug_line(out, "check_arg_stat", "Invalid event 2")) << out;
  EXPECT_TRUE(mlt::has_debug_line(out, "check_arg_stat", "Invalid arg stat 1, " + hmget)) << out;
  EXPECT_TRUE(mlt::has_debug_line(out, "mm_check_arg", "Invalid arg stat 1")) << out;
  EXPECT_TRUE(mlt::has_debug_line(out, "check_arg_sample_ready",
                                  "arg " + to_string(a) + " is ready for model."))
      << out;
  EXPECT_TRUE(mlt::has_debug_line(
      out, "get_sample_pattern_count",
      "execute sql failed:select count(*) from mlt_no_such_db.t where arg_id=" + to_string(a)))
      << out;
  EXPECT_TRUE(mlt::has_debug_line(out, "ml_add_manual_task", "sub_task_for_math_model failed"))
      << out;
}

// A database name from domain_info goes into SQL: only [A-Za-z0-9_]{1,64} is
// taken, anything else refuses the domain's samples with a line naming it.
TEST_F(Process, DomainWithAnUnsafeDatabaseNameIsRefused) {
  const uint32_t d = domain(1, 1), a = 23;
  arg(d, a, "1");
  sample_msg m;
  sample_msg_fill(&m, d, 7, a, "v", 1);
  const process_env env = st->env(&mdb);
  mldaemon_debug_level = 0;
  fw_set_root(root.path().c_str());  // the message's console and terminals are private
  for (const string &bad : {db + "`; drop table x; --", string(65, 'a'), string("")}) {
    redis.cmd({"HSET", "domain_info:" + to_string(d), "mysql_dbname", bad});
    testing::internal::CaptureStdout();
    EXPECT_EQ(process_sample(&m, &env), -1) << bad;
    const string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("domain " + to_string(d) + ": learning database name refused"), string::npos)
        << out;
  }
  fw_set_root("");
  EXPECT_EQ(field(d, a, "normalcount"), "");
  redis.cmd({"HSET", "domain_info:" + to_string(d), "mysql_dbname", db});
  EXPECT_EQ(process_sample(&m, &env), 0);
  EXPECT_EQ(field(d, a, "normalcount"), "1");
}

// Names holding quotes, backslashes and control characters reach the proxy
// as the same names: the notice is JSON that parses back to them, a NUL byte
// included (a name cut at it would never match the argument it names).
TEST_F(Process, NoticeEscapesNamesHoldingQuotes) {
  const uint32_t d = domain(1, 1);
  const string pol = "po\"l\\", name = string("a\"b'c\\d\te") + '\0' + "f";
  hset("domain_info:" + to_string(d), {"policy_name", pol});
  hset("arg:" + to_string(d) + ":5", {"arg_name", name, "urlid", "12"});
  mlt::Reply(static_cast<redisReply *>(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event")));
  redisSetTimeout(sub.ctx(), {20, 0});
  ASSERT_EQ(sendmsg_proxyd_arg(rc, d, 5, 3, 2), 0);
  string notice;
  while (notice.find("d" + to_string(d) + ".example") == string::npos) {
    void *r = nullptr;
    ASSERT_EQ(redisGetReply(sub.ctx(), &r), REDIS_OK);
    mlt::Reply msg(static_cast<redisReply *>(r));
    notice = msg->elements == 3 && msg->element[2]->str ? msg->element[2]->str : "";
  }
  json_object *o = json_tokener_parse(notice.c_str());
  ASSERT_NE(o, nullptr) << notice;
  auto text = [&](const char *key) {
    json_object *v = nullptr;
    if (!json_object_object_get_ex(o, key, &v)) return string("<none>");
    if (!json_object_is_type(v, json_type_string)) return string(json_object_get_string(v));
    return string(json_object_get_string(v), static_cast<size_t>(json_object_get_string_len(v)));
  };
  EXPECT_EQ(text("argname"), name) << notice;
  EXPECT_EQ(text("policyname"), pol) << notice;
  EXPECT_EQ(text("mtype") + "," + text("ctype") + "," + text("adomname"), "3,2," + vdom);
  json_object_put(o);
}

// One batch holds what one sample at a time would do: an argument ready in
// mid-batch takes no later sample, the pattern cap and the temporary trim
// land where they would, refused samples stay refused.
TEST_F(Process, BatchKeepsEachSampleTheMeaningItHasAlone) {
  const uint32_t d = domain(1, 1);
  for (uint32_t a : {301u, 302u, 304u, 305u}) arg(d, a, "1", time(nullptr));
  arg(d, 303, "3");
  hset("arg:" + to_string(d) + ":301", {"normalcount", "1498", "abnormalcount", "0"});
  for (uint32_t a : {302u, 304u, 305u})
    hset("arg:" + to_string(d) + ":" + to_string(a), {"normalcount", "0", "abnormalcount", "0"});
  sql.exec("insert into " + table(304, true) + " (arg_id, sample_str, pattern) select 304, 'v', " +
           "'p' from " + db + ".seq_1_to_2490");
  sql.exec("insert into " + table(305, false) + " (arg_id, sample_str, pattern) select 305, 'v', " +
           "concat('p', seq) from " + db + ".seq_1_to_1999");
  std::vector<std::pair<uint32_t, string>> in = {
      {301, "v1"}, {302, "x"}, {301, "v2"}, {301, "v3"}, {301, string(257, 'b')},
      {303, "w"},  {302, "y"}, {302, ""},   {305, "a"},  {305, "1"},
      {305, "a"}};
  for (int i = 0; i < 20; i++) in.emplace_back(304, "t" + to_string(i));
  std::vector<sample_msg> msgs(in.size());
  std::vector<sample_node> nodes(in.size());
  std::vector<sample_node *> ptrs;
  for (size_t i = 0; i < in.size(); i++) {
    sample_msg_fill(&msgs[i], d, 12, in[i].first, in[i].second.data(),
                    static_cast<uint32_t>(in[i].second.size()));
    nodes[i].data = reinterpret_cast<unsigned char *>(&msgs[i]);
    ptrs.push_back(&nodes[i]);
  }
  const process_env env{&mdb, rc, &st->plist, &st->tasks};
  ASSERT_EQ(process_sample_batch(ptrs.data(), static_cast<uint32_t>(ptrs.size()), &env), 0);
  // 301 became ready at its second sample: v3 and the abnormal one refused.
  EXPECT_EQ(field(d, 301, "normalcount") + "/" + field(d, 301, "abnormalcount"), "1500/0");
  EXPECT_EQ(field(d, 301, "arg_learn_stat"), "2");
  EXPECT_EQ(rows(301, true), 2);
  math_task task;
  EXPECT_EQ(ml_get_math_task(&st->tasks, &task), 0);
  EXPECT_EQ(task.argid, 301u);
  EXPECT_NE(ml_get_math_task(&st->tasks, &task), 0) << "one task";
  EXPECT_EQ(field(d, 302, "normalcount"), "2");  // the empty value refused
  EXPECT_EQ(rows(303, false) + rows(303, true), 0);
  // 305 had 1999 patterns: "a" is the 2000th, "1" a new one beyond the cap.
  EXPECT_EQ(field(d, 305, "normalcount"), "2");
  EXPECT_EQ(rows(305, false), 2000);
  // The same value twice counts twice and sets one bit of the distinct-value
  // sketch; two values of one pattern set the bits of both.
  auto bit = [](const string &v) {
    return ml_hmm_value_bit(reinterpret_cast<const unsigned char *>(v.data()),
                            static_cast<uint32_t>(v.size()));
  };
  EXPECT_EQ(rows(305, false, " and pattern_count=2 and value_bits=" + to_string(bit("a"))), 1);
  EXPECT_EQ(
      rows(302, false, " and pattern_count=2 and value_bits=" + to_string(bit("x") | bit("y"))), 1);
  // 2490 + 20: trimmed back to 2000 at the 2500th, then 10 more.
  EXPECT_EQ(rows(304, true), 2010);
  EXPECT_EQ(field(d, 304, "normalcount"), "20");
}

// Daemons sharing one Redis: each step to building, each manual request and
// each orphaned argument is taken by one of them.
TEST_F(Process, DaemonsSharingRedisTakeEachStepOnce) {
  const uint32_t d = domain(1, 1);
  const string me = ml_daemon_id(), other = "other" + db + ":/x", gone = "gone" + db + ":/y";
  auto owner = [&](uint32_t a) { return redis.str({"HGET", ARG_BUILDING_KEY, field_of(d, a)}); };
  auto set_owner = [&](uint32_t a, const string &who) {
    redis.cmd({"HSET", ARG_BUILDING_KEY, field_of(d, a), who});
  };
  keys.push_back(DAEMON_ALIVE_PREFIX + other);
  redis.cmd({"SET", keys.back(), "1", "EX", "60"});
  arg(d, 401, "1");
  const ml_arg_id id{d, 12, 401};
  EXPECT_EQ(arg_state_advance(rc, &id, ARG_STAT_BUILDING, ARG_EVENT_NONE), 1);
  EXPECT_EQ(arg_state_advance(rc, &id, ARG_STAT_BUILDING, ARG_EVENT_NONE), 0) << "taken already";
  EXPECT_EQ(owner(401), me);
  EXPECT_EQ(arg_claim_building(rc, d, 401, arg_claim::manual), 1) << "its own build";
  set_owner(401, other);  // alive
  EXPECT_EQ(arg_claim_building(rc, d, 401, arg_claim::manual), 0);
  EXPECT_EQ(arg_claim_building(rc, d, 401, arg_claim::startup), 0);
  EXPECT_EQ(arg_built_elsewhere(rc, d, 401), 1);
  set_owner(401, gone);
  EXPECT_EQ(arg_claim_building(rc, d, 401, arg_claim::startup), 1);
  EXPECT_EQ(arg_built_elsewhere(rc, d, 401), 0);

  // Orphans: a gone builder's argument is taken over and queued; a record
  // whose argument left building is dropped; a live builder's stays.
  arg(d, 402, "2");
  arg(d, 403, "3");
  arg(d, 404, "2");
  set_owner(402, gone);
  set_owner(403, gone);
  set_owner(404, other);
  EXPECT_GE(ml_adopt_orphan_tasks(rc, &st->tasks), 1);
  EXPECT_EQ(owner(402), me);
  EXPECT_EQ(owner(403), "");
  EXPECT_EQ(owner(404), other);
  bool queued = false;
  for (math_task t; ml_get_math_task(&st->tasks, &t) == 0;) queued = queued || t.argid == 402;
  EXPECT_TRUE(queued);
  for (uint32_t a : {401u, 402u, 403u, 404u}) redis.cmd({"HDEL", ARG_BUILDING_KEY, field_of(d, a)});
}

TEST_F(Process, PipelineStoresCountsAndRefuses) {
  const uint32_t d = domain(1, 1);
  start_daemon();
  const string pre = to_string(d) + " 7 ";
  arg(d, 101, "1");
  string lines;
  for (const char *v : {"it's", "a\\b", "100%", "\xe9t\xe9\""}) lines += pre + "101 " + v + "\n";
  mlt::write_file(root / "samples.txt", lines);
  push("-f " + root / "samples.txt");
  ASSERT_TRUE(wait_field(d, 101, "normalcount", "4")) << daemon->out();
  EXPECT_EQ(sql.one("select group_concat(hex(sample_str) order by id) from " + table(101, true)),
            "69742773,615C62,31303025,E974E922");
  // 256 stored, 257 and 1025 only counted abnormal, 1026 refused.
  arg(d, 102, "1");
  for (int n : {256, 257, 1025, 1026}) push(pre + "102 " + string(n, 'a'));
  push(pre + "102 z");
  ASSERT_TRUE(wait_field(d, 102, "normalcount", "2"));
  EXPECT_EQ(field(d, 102, "abnormalcount") + "/" + to_string(rows(102, false)), "2/2");
  // A non-collecting argument takes no sample.
  arg(d, 104, "3");
  push(pre + "104 v");
  const string line = "Invalid arg stat 3, HMGET arg:" + to_string(d) + ":104";
  EXPECT_TRUE(mlt::wait_until([&] { return daemon->out().find(line) != string::npos; }));
  EXPECT_EQ(rows(104, false) + rows(104, true), 0);
}

TEST_F(Process, PipelineDiscardsOrBuildsReadyArguments) {
  const uint32_t d = domain(1, 1);
  start_daemon();
  // 8 abnormal in 1508 is more than five per thousand; 7 in 1507 is not.
  for (auto [a, bad] : {std::pair{202, 8}, {203, 7}}) {
    arg(d, a, "1", time(nullptr));
    const string pre = to_string(d) + " 7 " + to_string(a) + " ";
    push("-n " + to_string(bad) + " " + pre + string(257, 'b'));
    push("-n 1500 " + pre + "v1");
  }
  ASSERT_TRUE(wait_field(d, 202, "arg_learn_stat", "5")) << daemon->out();
  EXPECT_EQ(field(d, 202, "events"), "2");
  // The one task of 203 ends in a math notice; after SIGINT a marker shows
  // every notice before it has arrived.
  auto math_notices = [&] {
    return notices_of(203, "\"mtype\": 3, \"ctype\": 1").size() +
           notices_of(203, "\"mtype\": 2").size();
  };
  EXPECT_TRUE(mlt::wait_until([&] { return math_notices() >= 1; }, std::chrono::seconds(30)));
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait_exit(), 0);
  redis.cmd({"PUBLISH", "ml_arg_event", "\"argname\": \"a0\" marker"});
  EXPECT_TRUE(mlt::wait_until([&] { return notices_of(0, "marker").size() == 1; }));
  EXPECT_EQ(notices_of(203, "\"ctype\": 2"),
            std::vector<string>{"{ \"mtype\": 3, \"ctype\": 2, \"adomname\": \"" + vdom +
                                "\", \"policyname\": \"pol" + to_string(d) +
                                "\", \"domain_name\": \"d" + to_string(d) +
                                ".example\", \"urlid\": \"12\", \"argname\": \"a203\", "
                                "\"source\": \"ml_daemon\" }"});
  EXPECT_EQ(math_notices(), 1u);
  EXPECT_EQ(notices_of(202, "\"mtype\": 2").size(), 1u);
}

}  // namespace
