// Model building in-process against the real Redis and MariaDB: the means,
// the boxplot groups, the model texts, training sample reading of bad input,
// the store's transaction and the math thread's failure end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "log/ml_debug.h"
#include "model/math_model_thread.h"
#include "model/math_task.h"
#include "model/model_stats.h"
#include "model/model_store.h"
#include "model/training_samples.h"
#include "services/mldb.h"
#include "tests/policy/test_state.h"
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

ml_sample_item item(double prob, uint32_t len, int noise) {
  ml_sample_item it{};
  it.pattern_probability = prob;
  it.sample_len = it.sample_len_copy = len;
  it.noise_flag = noise;
  return it;
}

void mean_of(std::vector<ml_sample_item> items, double *prob, double *len) {
  ml_sample_list list{};
  list.items = items.data();
  list.count = static_cast<int>(items.size());
  ml_hmm_model m{};
  mm_calc_mean(&list, &m);
  *prob = m.mean_prob;
  *len = m.mean_length;
}

TEST(ModelStats, MeansCountEachCleanItemOnce) {
  double p = 1, l = 1;
  mean_of({item(-1.5, 4, 0)}, &p, &l);  // one item: no mean
  EXPECT_EQ(p, 0.0);
  EXPECT_EQ(l, 0.0);
  mean_of({item(-1.0, 3, 0), item(-3.0, 5, 0), item(-50.0, 100, 1), item(0.0, 0, 0),
           item(ML_HMM_NO_PROB, 0, 0)},
          &p, &l);
  EXPECT_EQ(p, -2.0);
  EXPECT_EQ(l, 4.0);
  mean_of({item(0.0, 2, 0), item(ML_HMM_NO_PROB, 6, 0)}, &p, &l);
  EXPECT_EQ(p, 0.0);
  EXPECT_EQ(l, 4.0);
  mean_of({}, &p, &l);
  EXPECT_EQ(p, 0.0);
  mm_calc_mean(nullptr, nullptr);
}

// A database, a Redis connection of the daemon's client and the keys to drop.
class ModelDb : public ::testing::Test {
 protected:
  void SetUp() override {
    id = mlt::unique_id();
    db = "mlt_model_" + to_string(id);
    mlt::provision_db(db);
    conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
    ASSERT_NE(conn, nullptr);
    ASSERT_EQ(init_ml_db_obj(&obj), 0);
    ASSERT_EQ(obj.db_connect(&obj), 0);
  }
  void TearDown() override {
    obj.db_close(&obj);
    for (const auto &k : keys) redis.cmd({"DEL", k});
    mlt::drop_db(db);
  }
  string key(const string &k) {
    keys.push_back(k);
    return k;
  }
  string table(uint32_t a, bool tmp) {
    return db + ".ml_sample_" + string(tmp ? "tmp_" : "") + (a % 16 < 10 ? "0" : "") +
           to_string(a % 16);
  }
  // n temporary rows of one value (ids rise with each call).
  void tmp_rows(uint32_t a, int n, const string &value) {
    string q = "insert into " + table(a, true) + " (arg_id, sample_str, pattern) values ";
    for (int i = 0; i < n; i++) q += (i ? ",(" : "(") + to_string(a) + ",'" + value + "','P')";
    sql.exec(q);
  }

  uint32_t id = 0;
  string db;
  redis_conn *conn = nullptr;  // the client never closes connections
  ml_db_obj obj{};
  mlt::Redis redis;
  mlt::Sql sql;
  std::vector<string> keys;
};

// Newest samples first, whole groups of 500 only; below 500 the reading fails.
TEST_F(ModelDb, BoxplotsGroupTheNewestSamples) {
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 7);
  ASSERT_NE(m, nullptr);
  double abc = 0, second = 0;
  ASSERT_EQ(ml_hmm_calc_prob(m, "abc", 3, &abc, &second), 0);
  ml_boxplot *sentinel = reinterpret_cast<ml_boxplot *>(&second), *boxes = sentinel;
  int count = -1;
  EXPECT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 21, &boxes, &count), 0);  // none
  EXPECT_EQ(count, 0);
  EXPECT_EQ(boxes, sentinel);

  tmp_rows(21, 499, "%%zz~~~");  // oldest
  tmp_rows(21, 1000, "abc");
  ASSERT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 21, &boxes, &count), 0);
  ASSERT_EQ(count, 2);
  for (int g = 0; g < 2; g++) {
    EXPECT_EQ(boxes[g].sample_min, abc);
    EXPECT_EQ(boxes[g].sample_max, abc);
  }
  free(boxes);

  tmp_rows(22, 499, "abc");
  boxes = sentinel;
  EXPECT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 22, &boxes, &count), -1);
  EXPECT_EQ(boxes, nullptr);
  EXPECT_EQ(count, 0);
  ml_hmm_free(m);
}

TEST_F(ModelDb, ModelTextsAreExactAndOversizedModelsFail) {
  ml_hmm_model *m = ml_hmm_create(2, 3, 1);
  ASSERT_NE(m, nullptr);
  m->initial[1] = m->initial[2] = 0.5;
  const double a[2][2] = {{0.1, 0.9}, {0.25, 0.75}};
  const double b[2][3] = {{0.2, 0.3, 0.5}, {1, 0, 0}};
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 3; j++) {
      if (j < 2) m->transition[i + 1][j + 1] = a[i][j];
      m->emission[i + 1][j + 1] = b[i][j];
    }
  m->mean_length = 4;
  m->mean_prob = -1.25;
  m->prob_mean_ex = -2.5;
  m->variance_ex = 0.125;
  const string k = key("arg:" + to_string(id) + ":3");
  ASSERT_EQ(mm_write_to_db_hmm(conn, id, 3, m), 0);
  EXPECT_EQ(redis.str({"HGET", k, "math_model_pi"}), "{\"column\":1,\"data\":[0.500000,0.500000]}");
  EXPECT_EQ(redis.str({"HGET", k, "math_model_a"}),
            "{\"column\":2,\"data\":[0.100000,0.900000,0.250000,0.750000]}");
  EXPECT_EQ(redis.str({"HGET", k, "math_model_b"}),
            "{\"column\":2,\"data\":[0.200000,0.300000,0.500000,1.000000,0.000000,0.000000]}");
  EXPECT_EQ(redis.str({"HGET", k, "mean_length"}), "4.000000");
  EXPECT_EQ(redis.str({"HGET", k, "mean_prob"}), "-1.250000");
  EXPECT_EQ(redis.str({"HGET", k, "prob_mean_ex"}), "-2.500000");
  EXPECT_EQ(redis.str({"HGET", k, "variance_ex"}), "0.125000");
  ml_hmm_free(m);

  // 32 x 38 emission entries do not fit their 8192 bytes: no cut text is written.
  m = ml_hmm_create(ML_HMM_MAX_STATES, ML_HMM_SYMBOLS, 1);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(mm_write_to_db_hmm(conn, id, 4, m), -1);
  EXPECT_EQ(redis.integer({"EXISTS", key("arg:" + to_string(id) + ":4")}), 0);
  ml_hmm_free(m);
}

// Rows with empty fields or no count, and manual values of every bad form,
// never become items; a manual sample alone is no training set.
TEST_F(ModelDb, TrainingReadSkipsBadRowsAndManualValues) {
  const uint32_t a = 35;
  sql.exec("insert into " + table(a, false) +
           " (arg_id, sample_str, pattern, pattern_count, noise_flag) values (" + to_string(a) +
           ",'abc','AAA',3,0),(" + to_string(a) + ",'','B',1,0),(" + to_string(a) +
           ",'xyz','',1,0),(" + to_string(a) + ",'q','Q',0,0),(" + to_string(a) +
           ",'r','R',-1,0),(" + to_string(a) + ",'n','N',1,1)");
  const string mk = key("arg:manuals:" + to_string(id) + ":" + to_string(a));
  const string big(1000, 'z');  // 1000 bytes decode within the 1024-byte buffer
  char b64[2048];
  ASSERT_GT(redis_b64encode(big.data(), 1000, b64, sizeof b64), 0);
  const string head = "{\"sample\":\"", tail = "\",\"prob\":";
  redis.cmd({"HSET", mk, "good", head + "aGVsbG8=" + tail + "0.5,}", "big",
             head + b64 + tail + "0}", "json", "not json at all", "b64",
             head + "!!!*" + tail + "1}", "empty", head + tail + "1}", "notail", head + "aGk=\"}",
             "long", head + string(10240, 'A') + tail + "1}", "lead",
             " " + head + "aGk=" + tail + "1}"});

  ml_sample_list list{};
  ASSERT_EQ(mm_get_sample(conn, id, &obj, db.c_str(), a, &list), 0);
  ASSERT_EQ(list.count, 3);
  std::vector<string> got;
  for (int i = 0; i < list.count; i++) {
    const ml_sample_item &it = list.items[i];
    got.emplace_back(it.sample_str, it.sample_len);
    EXPECT_EQ(it.sample_len_copy, it.sample_len);
    EXPECT_EQ(string(it.pattern, it.sample_len + 1), string(it.sample_len + 1, '\0'));
    EXPECT_EQ(it.pattern_count, i == 0 ? 3 : 1);
    EXPECT_EQ(it.is_manual, i == 0 ? 0 : 1);
  }
  EXPECT_EQ(got[0], "abc");
  std::sort(got.begin() + 1, got.end());
  EXPECT_EQ(got[1], "hello");
  EXPECT_EQ(got[2], big);
  mm_free_sample_list(&list);

  redis.cmd({"RENAME", mk, key("arg:manuals:" + to_string(id) + ":36")});
  EXPECT_EQ(mm_get_sample(conn, id, &obj, db.c_str(), 36, &list), -1);  // no stored row
  mm_free_sample_list(&list);
}

// Manual write-back: the exact value under the pattern's name; a sample whose
// command would not fit is left as it was, never cut.
TEST_F(ModelDb, ManualProbabilitiesAreWrittenBackWhole) {
  string s1 = "hello", p1 = "ABCDE", s2(450, 'q'), p2(450, 'Q');
  std::vector<ml_sample_item> items(2);
  items[0] = item(-1.25, 5, 0);
  items[0].sample_str = s1.data();
  items[0].pattern = p1.data();
  items[1] = item(-2.0, 450, 0);
  items[1].sample_str = s2.data();
  items[1].pattern = p2.data();
  for (auto &it : items) it.is_manual = 1;
  ml_sample_list list{};
  list.items = items.data();
  list.count = 2;
  const string mk = key("arg:manuals:" + to_string(id) + ":9");
  ASSERT_EQ(mm_write_to_db_prob(conn, id, &obj, db.c_str(), 9, &list), 0);
  EXPECT_EQ(redis.str({"HGET", mk, p1}), "{\"sample\":\"aGVsbG8=\",\"prob\":-1.250000,}");
  EXPECT_EQ(redis.integer({"HLEN", mk}), 1);
}

// A statement failing inside the transaction rolls the temporary-sample delete
// back, prints the error lines and leaves the state alone.
TEST_F(ModelDb, FailedStoreRollsBack) {
  const uint32_t a = 40;
  tmp_rows(a, 500, "abc");
  sql.exec("drop table " + db + ".url_args_info");
  const string k = key("arg:" + to_string(id) + ":" + to_string(a));
  key("arg:boxplot:" + to_string(id) + ":" + to_string(a));
  redis.cmd({"HSET", k, "arg_learn_stat", "2", "events", "0"});
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 3);
  ml_sample_list list{};
  math_task task{};
  task.type = MATH_TASK_AUTO;
  testing::internal::CaptureStdout();
  EXPECT_EQ(mm_write_to_db(&obj, conn, db.c_str(), id, a, &list, m, &task), -1);
  const string out = testing::internal::GetCapturedStdout();
  const size_t line = out.find("[ERR][mm_write_model_to_mysqldb:");
  ASSERT_NE(line, string::npos) << out;
  EXPECT_TRUE(matches(out.substr(line, out.find('\n', line) + 1 - line),
                      "[ERR][mm_write_model_to_mysqldb:@]\t\"execute sql:replace into " + db +
                          ".url_args_info (arg_id,prob_mean_ex,variance_ex) values( 40,#,#); "
                          "failed\\n\"\n"))
      << out;
  EXPECT_NE(out.find("[ERR][mm_write_to_db:"), string::npos) << out;
  EXPECT_NE(out.find("]\t\"mm_write_model_to_mysqldb:40 failed\"\n"), string::npos) << out;
  EXPECT_EQ(sql.num("select count(*) from " + table(a, true)), 500);
  EXPECT_EQ(redis.integer({"LLEN", "arg:boxplot:" + to_string(id) + ":" + to_string(a)}), 1);
  EXPECT_EQ(redis.str({"HGET", k, "arg_learn_stat"}), "2");
  ml_hmm_free(m);
}

// The math thread's failure end: an argument no longer building, one already
// learned and one with only noise rows all end discarded with their notice.
TEST_F(ModelDb, MathThreadDiscardsTasksThatCannotBuild) {
  mlt::make_state(1);
  pthread_mutex_init(&g_data->db_connect_lock, nullptr);
  ASSERT_EQ(ml_init_math_task_list(g_data->redis_conn), 0);
  mlt::Redis sub;
  redisReply *r = static_cast<redisReply *>(redisCommand(sub.ctx(), "SUBSCRIBE ml_arg_event"));
  freeReplyObject(r);
  redisSetTimeout(sub.ctx(), {20, 0});
  const string d = to_string(id);
  redis.cmd({"HSET", key("domain_info:" + d), "adomname", "root", "policy_name", "p", "domain",
             "x.example", "mysql_dbname", db});
  sql.exec("insert into " + table(53, false) +
           " (arg_id, sample_str, pattern, pattern_count, noise_flag) values (53,'a','A',1,1)");
  const std::vector<std::pair<uint32_t, string>> args = {{51, "1"}, {52, "3"}, {53, "2"}};
  for (const auto &[a, state] : args) {
    redis.cmd({"HSET", key("arg:" + d + ":" + to_string(a)), "arg_learn_stat", state, "events", "0",
               "urlid", "12", "arg_name", "n" + to_string(a)});
    math_task t{id, a, 12, MATH_TASK_AUTO, {}};
    snprintf(t.mysql_dbname, sizeof t.mysql_dbname, "%s", db.c_str());
    ASSERT_EQ(ml_add_math_task(&t), 0);
  }
  std::thread worker([] { math_model_thread_run(nullptr); });
  int discards = 0;
  while (discards < 3) {
    void *msg = nullptr;
    ASSERT_EQ(redisGetReply(sub.ctx(), &msg), REDIS_OK);
    mlt::Reply reply(static_cast<redisReply *>(msg));
    const string text = reply->element[2]->str;
    if (text.find("\"domain_name\": \"x.example\"") == string::npos) continue;
    EXPECT_NE(text.find("{ \"mtype\": 2, \"ctype\": 5, "), string::npos) << text;
    discards++;
  }
  for (const auto &[a, state] : args) {
    const string k = "arg:" + d + ":" + to_string(a);
    EXPECT_TRUE(mlt::wait_until([&] { return redis.str({"HGET", k, "arg_learn_stat"}) == "5"; }));
    EXPECT_EQ(redis.str({"HGET", k, "events"}), "2");
  }
  g_data->stop_flag = 1;
  worker.join();
  free(g_data->task_array.list);
  mlt::free_state();
}

}  // namespace
