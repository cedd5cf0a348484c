// Sample processing units against the real Redis and MariaDB: the discard
// share, readiness, storage with its cap and trim, and the transaction that
// must leave nothing behind when the temporary insert fails or the database
// goes away in the middle of it.
#include <gtest/gtest.h>
#include <pthread.h>

#include <ctime>
#include <string>
#include <thread>

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

class Process : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dbname = "mlt_proc_" + to_string(mlt::unique_id());
    mlt::provision_db(dbname);
  }
  static void TearDownTestSuite() { mlt::drop_db(dbname); }

  void SetUp() override {
    mlt::make_state(1);
    pthread_mutex_init(&g_data->db_connect_lock, nullptr);
    g_data->task_array.list = static_cast<task_list *>(calloc(1, sizeof(task_list)));
    pthread_mutex_init(&g_data->task_array.task_lock, nullptr);
    rc = g_data->redis_conn;
    init_ml_db_obj(&db);
    ASSERT_EQ(db.db_connect(&db), 0);
    vdom = "p" + to_string(mlt::unique_id());
  }
  void TearDown() override {
    math_task t;
    while (ml_get_math_task(&t) == 0) tasks.push_back(t);
    free(g_data->task_array.list);
    db.db_close(&db);
    for (const auto &k : keys) redis.cmd({"DEL", k});
    redisconn_free(g_data->redis_conn);
    g_data->redis_conn = nullptr;
    mlt::free_state();
  }
  // A domain of its own governed by a policy with this mode and learning time.
  uint32_t domain(int32_t mode, int32_t weeks, bool with_policy = true) {
    const uint32_t d = mlt::unique_id();
    const string pol = "pol" + to_string(d);
    hset("domain_info:" + to_string(d), {"adomname", vdom, "policy_name", pol, "domain",
                                         "d" + to_string(d) + ".example", "mysql_dbname", dbname});
    ml_policy_conf c = mlt::policy_conf(vdom, pol, mode, 0, weeks, 0);
    if (with_policy) {
      EXPECT_EQ(_add_ml_policy(&g_data->ml_plist, &c), 0);
    }
    return d;
  }
  void hset(const string &key, std::vector<string> fields) {
    keys.push_back(key);
    fields.insert(fields.begin(), {"HSET", key});
    redis.cmd(fields);
  }
  string field(uint32_t d, uint32_t a, const string &f) {
    return redis.str({"HGET", "arg:" + to_string(d) + ":" + to_string(a), f});
  }
  static sample_msg sample(uint32_t d, uint32_t a, const string &v) {
    sample_msg m;
    sample_msg_fill(&m, d, 7, a, v.data(), static_cast<uint32_t>(v.size()));
    return m;
  }
  string table(uint32_t a, bool tmp) {
    char n0[64] = "", n1[64] = "";
    get_sample_table_names(static_cast<int>(a), n0, n1, nullptr);
    return dbname + "." + (tmp ? n1 : n0);
  }
  long rows(uint32_t a, bool tmp, const string &extra = "") {
    return sql.num("select count(*) from " + table(a, tmp) + " where arg_id=" + to_string(a) +
                   extra);
  }

  static string dbname;
  mlt::Redis redis;
  mlt::Sql sql;
  redis_conn *rc = nullptr;
  ml_db_obj db{};
  string vdom;
  std::vector<string> keys;
  std::vector<math_task> tasks;  // taken back at tear-down
};
string Process::dbname;

TEST_F(Process, DiscardShareAndStateChecks) {
  const uint32_t d = domain(1, 1);
  auto counts = [&](uint32_t a, const string &n, const string &ab) {
    hset("arg:" + to_string(d) + ":" + to_string(a), {"normalcount", n, "abnormalcount", ab});
    const ml_arg_id id{d, 0, a};
    return check_arg_discard(&id, rc);
  };
  EXPECT_EQ(counts(1, "995", "5"), 0);  // exactly five per thousand keeps it
  EXPECT_EQ(counts(2, "994", "6"), 1);
  EXPECT_EQ(counts(3, "0", "0"), 0);
  EXPECT_EQ(counts(4, "x", "6"), 1);  // text that is no number reads as 0
  const ml_arg_id partial{d, 0, 5};
  hset("arg:" + to_string(d) + ":5", {"normalcount", "10", "arg_learn_stat", "1", "events", "2"});
  EXPECT_EQ(check_arg_discard(&partial, rc), -1);
  EXPECT_EQ(check_arg_stat(&partial, rc, 1, 0), -1);
  EXPECT_EQ(check_arg_stat(&partial, rc, 1, 2), 0);
  const ml_arg_id none{d, 0, 6};
  EXPECT_EQ(check_arg_stat(&none, rc, 1, 0), -1);
  EXPECT_EQ(ml_redis_update_sample_count(&none, rc, 1), 0);
  keys.push_back("arg:" + to_string(d) + ":6");
  EXPECT_EQ(field(d, 6, "abnormalcount"), "1");
  EXPECT_EQ(set_arg_stat(&none, nullptr, 2, 0), -1);
}

TEST_F(Process, ReadinessByCountTimeAndPolicy) {
  const long now = static_cast<long>(time(nullptr));
  const uint32_t timed = domain(0, 2), counted = domain(1, 1), never = domain(2, 1);
  const uint32_t zero = domain(1, 0), orphan = domain(0, 1, false);
  auto ready = [&](uint32_t d, uint32_t a, long count, const string &start) {
    std::vector<string> f = {"normalcount", to_string(count)};
    if (!start.empty()) f.insert(f.end(), {"start_time", start});
    hset("arg:" + to_string(d) + ":" + to_string(a), f);
    const ml_arg_id id{d, 0, a};
    return check_arg_sample_ready(&id, rc);
  };
  const string elapsed = to_string(now - 2 * 604800);  // start + weeks is exactly now (or past)
  EXPECT_EQ(ready(timed, 1, 2499, elapsed), 0);
  EXPECT_EQ(ready(timed, 2, 2500, elapsed), 1);
  EXPECT_EQ(ready(timed, 3, 2500, to_string(now - 2 * 604800 + 3600)), 0);
  EXPECT_EQ(ready(counted, 1, 1499, "0"), 0);
  EXPECT_EQ(ready(counted, 2, 1500, to_string(now + 604800)), 1);
  EXPECT_EQ(ready(counted, 3, 1500, ""), -1);  // start_time is needed in every mode
  EXPECT_EQ(ready(never, 1, 9999, "0"), 0);
  EXPECT_EQ(ready(zero, 1, 9999, "0"), -1);
  EXPECT_EQ(ready(orphan, 1, 9999, "0"), -1);
}

TEST_F(Process, PatternCapAndTemporaryTrim) {
  const uint32_t a = 21;
  sample_table_names names{};
  get_sample_table_names(a, names.name0, names.name1, names.name2);
  // 1999 patterns already stored, and 2498 recent samples.
  sql.exec("insert into " + table(a, false) + " (arg_id, sample_str, pattern) select " +
           to_string(a) + ", 'v', concat('p', seq) from " + dbname + ".seq_1_to_1999");
  sql.exec("insert into " + table(a, true) + " (arg_id, sample_str, pattern) select " +
           to_string(a) + ", 'v', 'p' from " + dbname + ".seq_1_to_2498");
  const long oldest = sql.num("select min(id) from " + table(a, true));
  stored_sample s{static_cast<int32_t>(a), "new", "q1"};
  EXPECT_EQ(insert_sample(&db, &s, dbname.c_str(), &names), 0);
  EXPECT_EQ(rows(a, false), 2000);
  EXPECT_EQ(insert_sample_temp(&db, &s, dbname.c_str(), &names), 0);
  EXPECT_EQ(rows(a, true), 2499);
  snprintf(s.pattern, sizeof s.pattern, "q2");
  EXPECT_EQ(insert_sample(&db, &s, dbname.c_str(), &names), 1);  // full: nothing stored
  EXPECT_EQ(rows(a, false, " and pattern='q2'"), 0);
  snprintf(s.pattern, sizeof s.pattern, "p7");
  EXPECT_EQ(insert_sample(&db, &s, dbname.c_str(), &names), 0);
  EXPECT_EQ(rows(a, false, " and pattern='p7' and pattern_count=2"), 1);
  EXPECT_EQ(insert_sample_temp(&db, &s, dbname.c_str(), &names), 0);  // the 2500th: trimmed
  EXPECT_EQ(rows(a, true), 2000);
  EXPECT_EQ(sql.num("select min(id) from " + table(a, true)), oldest + 500);
}

// The sample table's row goes with a failing temporary insert, and neither
// counter moves; the connection is left outside any transaction.
TEST_F(Process, FailingTemporaryInsertRollsBackTheWholeSample) {
  const uint32_t d = domain(1, 1), a = 22;
  hset("arg:" + to_string(d) + ":" + to_string(a), {"arg_learn_stat", "1", "events", "0"});
  const sample_msg m = sample(d, a, "x'y");
  sql.exec("rename table " + table(a, true) + " to " + table(a, true) + "_off");
  EXPECT_EQ(process_sample(&m, &db, rc), -1);
  sql.exec("rename table " + table(a, true) + "_off to " + table(a, true));
  EXPECT_EQ(rows(a, false), 0);
  EXPECT_EQ(field(d, a, "normalcount"), "");
  ASSERT_EQ(db.db_execute(&db, "select @@in_transaction"), 0);
  recordset_guard rs(&db);
  ASSERT_EQ(rs.create(), 0);
  EXPECT_STREQ(mysql_fetch_row(rs->result)[0], "0");

  EXPECT_EQ(process_sample(&m, &db, rc), 0);
  EXPECT_EQ(rows(a, false), 1);
  EXPECT_EQ(rows(a, true), 1);
  EXPECT_EQ(field(d, a, "normalcount"), "1");
}

// The server drops the connection while the temporary insert waits inside
// the transaction: the sample is dropped whole and the next one is stored
// on a fresh connection.
TEST_F(Process, ConnectionLostMidTransaction) {
  const uint32_t d = domain(1, 1), a = 23;
  hset("arg:" + to_string(d) + ":" + to_string(a), {"arg_learn_stat", "1", "events", "0"});
  const string lock = "mlt_lock_" + to_string(d);
  const string trig = table(a, true) + "_hold";
  sql.exec("select get_lock('" + lock + "', 5)");
  sql.exec("create trigger " + trig + " before insert on " + table(a, true) +
           " for each row set @held = get_lock('" + lock + "', 20)");
  const sample_msg m = sample(d, a, "v1");
  int r = 0;
  std::thread worker([&] { r = process_sample(&m, &db, rc); });
  const string waiting =
      "select id from information_schema.processlist where state = "
      "'User lock' and info like '%" +
      lock + "%'";
  EXPECT_TRUE(mlt::wait_until([&] { return !sql.one(waiting).empty(); }));
  sql.exec("kill connection " + sql.one(waiting));
  worker.join();
  sql.exec("drop trigger " + trig);
  sql.exec("select release_lock('" + lock + "')");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(rows(a, false), 0);
  EXPECT_EQ(field(d, a, "normalcount"), "");
  EXPECT_EQ(process_sample(&m, &db, rc), 0);
  EXPECT_EQ(rows(a, false), 1);
  EXPECT_EQ(field(d, a, "normalcount"), "1");
}

TEST_F(Process, BadInputDropsTheSample) {
  const uint32_t d = domain(1, 1), a = 24;
  hset("arg:" + to_string(d) + ":" + to_string(a), {"arg_learn_stat", "1", "events", "0"});
  // 1025 bytes that escape to 1055, with a short pattern: too long to store.
  sample_msg m = sample(d, a, string(995, 'a') + string(30, '\''));
  m.arg_real_len = 200;
  EXPECT_EQ(process_sample(&m, &db, rc), -1);
  redis.cmd({"HDEL", "domain_info:" + to_string(d), "mysql_dbname"});
  m = sample(d, a, "ok");
  EXPECT_EQ(process_sample(&m, &db, rc), -1);
  EXPECT_EQ(rows(a, false), 0);
  EXPECT_EQ(field(d, a, "normalcount"), "");
  m.arg_len = 1026;
  EXPECT_EQ(check_sample(&m, &db, rc), -1);
  m.arg_len = 1025;
  EXPECT_EQ(check_sample(&m, &db, rc), 0);
  m.arg_real_len = 0;
  EXPECT_EQ(check_sample(&m, &db, rc), -1);
}

TEST_F(Process, ManualRequestMovesAnyStateToBuilding) {
  const uint32_t d = domain(1, 1);
  hset("arg:" + to_string(d) + ":31",
       {"arg_learn_stat", "3", "events", "0", "urlid", "12", "arg_name", "q"});
  hset("arg:" + to_string(d) + ":32", {"arg_learn_stat", "5", "events", "2", "urlid", "13"});
  EXPECT_EQ(ml_add_manual_task(rc, d, 31), 0);
  EXPECT_EQ(field(d, 31, "arg_learn_stat"), "2");
  EXPECT_EQ(ml_add_manual_task(rc, d, 32), -1);  // no arg_name: no notice, no task
  EXPECT_EQ(field(d, 32, "arg_learn_stat"), "2");
  EXPECT_EQ(field(d, 32, "events"), "0");
  EXPECT_EQ(ml_add_manual_task(rc, d + 1000000, 31), -1);  // no domain_info
  math_task t;
  ASSERT_EQ(ml_get_math_task(&t), 0);
  EXPECT_EQ(t.dbid, d);
  EXPECT_EQ(t.argid, 31u);
  EXPECT_EQ(t.urlid, 12u);
  EXPECT_EQ(t.type, 2u);
  EXPECT_EQ(string(t.mysql_dbname), dbname);
  EXPECT_EQ(ml_get_math_task(&t), -2);
}

}  // namespace
