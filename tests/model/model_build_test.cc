// Model building in-process against the real Redis and MariaDB: the means,
// the boxplot groups, the model texts, training sample reading of bad input
// with the manual write-back, and the store's transaction.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "model/math_model_thread.h"
#include "model/math_task.h"
#include "model/model_stats.h"
#include "model/model_store.h"
#include "model/training_samples.h"
#include "services/mldb.h"
#include "services/redis.h"
#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;

ml_sample_item item(double prob, uint32_t len, int noise = 0) {
  ml_sample_item it{};
  it.pattern_probability = prob;
  it.sample_len = it.sample_len_copy = len;
  it.noise_flag = noise;
  return it;
}

std::pair<double, double> mean_of(std::vector<ml_sample_item> items) {
  ml_sample_list list{};
  list.items = items.data();
  list.count = static_cast<int>(items.size());
  ml_hmm_model m{};
  mm_calc_mean(&list, &m);
  return {m.mean_prob, m.mean_length};
}

TEST(ModelStats, MeansCountEachCleanItemOnce) {
  EXPECT_EQ(mean_of({item(-1.5, 4)}), std::make_pair(0.0, 0.0));  // one item: no mean
  EXPECT_EQ(mean_of({item(-1.0, 3), item(-3.0, 5), item(-50.0, 100, 1), item(0.0, 0),
                     item(ML_HMM_NO_PROB, 0)}),
            std::make_pair(-2.0, 4.0));
  EXPECT_EQ(mean_of({item(0.0, 2), item(ML_HMM_NO_PROB, 6)}), std::make_pair(0.0, 4.0));
}

// A database, a Redis connection of the daemon's client and a database object.
class ModelDb : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    ASSERT_NE(conn, nullptr);
    ASSERT_EQ(init_ml_db_obj(&obj), 0);
    ASSERT_EQ(obj.db_connect(&obj), 0);
  }
  void TearDown() override {
    obj.db_close(&obj);
    redis.del_pattern("arg:" + to_string(id) + ":*");
    redis.del_pattern("arg:*:" + to_string(id) + ":*");
    mlt::drop_db(db);
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

  const uint32_t id = mlt::unique_id();
  const string db = "mlt_model_" + to_string(id);
  redis_conn *conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);  // never closed
  ml_db_obj obj{};
  mlt::Redis redis;
  mlt::Sql sql;
};

// Newest samples first, whole groups of 500 only; below 500 the reading fails.
TEST_F(ModelDb, BoxplotsGroupTheNewestSamples) {
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 7);
  double abc = 0, second = 0;
  ASSERT_EQ(ml_hmm_calc_prob(m, "abc", 3, &abc, &second), 0);
  ml_boxplot *boxes = nullptr;
  int count = -1;
  EXPECT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 21, &boxes, &count), 0);  // none
  EXPECT_EQ(count, 0);
  tmp_rows(21, 499, "%%zz~~~");  // oldest
  tmp_rows(21, 1000, "abc");
  ASSERT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 21, &boxes, &count), 0);
  ASSERT_EQ(count, 2);
  for (int g = 0; g < 2; g++)
    EXPECT_EQ(std::make_pair(boxes[g].sample_min, boxes[g].sample_max), std::make_pair(abc, abc));
  free(boxes);
  tmp_rows(22, 499, "abc");
  EXPECT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 22, &boxes, &count), -1);
  ml_hmm_free(m);
}

TEST_F(ModelDb, ModelTextsAreExactAndOversizedModelsFail) {
  ml_hmm_model *m = ml_hmm_create(2, 3, 1);
  m->initial[1] = m->initial[2] = 0.5;
  const double v[] = {0.1, 0.9, 0.25, 0.75, 0.2, 0.3, 0.5, 1, 0, 0};  // A, then B, row by row
  for (int k = 0; k < 4; k++) m->transition[k / 2 + 1][k % 2 + 1] = v[k];
  for (int k = 0; k < 6; k++) m->emission[k / 3 + 1][k % 3 + 1] = v[k + 4];
  m->mean_length = 4;
  m->mean_prob = -1.25;
  m->prob_mean_ex = -2.5;
  m->variance_ex = 0.125;
  ASSERT_EQ(mm_write_to_db_hmm(conn, id, 3, m), 0);
  const std::vector<std::pair<string, string>> want = {
      {"math_model_pi", "{\"column\":1,\"data\":[0.500000,0.500000]}"},
      {"math_model_a", "{\"column\":2,\"data\":[0.100000,0.900000,0.250000,0.750000]}"},
      {"math_model_b",
       "{\"column\":2,\"data\":[0.200000,0.300000,0.500000,1.000000,0.000000,0.000000]}"},
      {"mean_length", "4.000000"},
      {"mean_prob", "-1.250000"},
      {"prob_mean_ex", "-2.500000"},
      {"variance_ex", "0.125000"}};
  for (const auto &[f, v] : want)
    EXPECT_EQ(redis.str({"HGET", "arg:" + to_string(id) + ":3", f}), v);
  ml_hmm_free(m);
  // 32 x 38 emission entries do not fit their 8192 bytes: no cut text is written.
  m = ml_hmm_create(ML_HMM_MAX_STATES, ML_HMM_SYMBOLS, 1);
  EXPECT_EQ(mm_write_to_db_hmm(conn, id, 4, m), -1);
  EXPECT_EQ(redis.integer({"EXISTS", "arg:" + to_string(id) + ":4"}), 0);
  ml_hmm_free(m);
}

// Rows with empty fields, no count or noise, and manual values of every bad
// form never become items; a manual probability is written back.
TEST_F(ModelDb, TrainingReadSkipsBadInputAndWritesManualsBack) {
  sql.exec("insert into " + table(35, false) +
           " (arg_id, sample_str, pattern, pattern_count, noise_flag) values (35,'abc','AAA',3,0),"
           "(35,'','B',1,0),(35,'xyz','',1,0),(35,'q','Q',0,0),(35,'n','N',1,1)");
  const string mk = "arg:manuals:" + to_string(id) + ":35";
  const string head = "{\"sample\":\"", tail = "\",\"prob\":";
  redis.cmd({"HSET", mk, "good", head + "aGVsbG8=" + tail + "0.5,}", "json", "not json", "b64",
             head + "!!!*" + tail + "1}", "long", head + string(10240, 'A') + tail + "1}"});
  ml_sample_list list{};
  ASSERT_EQ(mm_get_sample(conn, id, &obj, db.c_str(), 35, &list), 0);
  std::vector<string> got;
  for (int i = 0; i < list.count; i++) {
    const ml_sample_item &it = list.items[i];
    got.push_back(string(it.sample_str, it.sample_len) + "/" + to_string(it.pattern_count) + "/" +
                  to_string(it.is_manual));
  }
  ASSERT_EQ(got, (std::vector<string>{"abc/3/0", "hello/1/1"}));

  snprintf(list.items[1].pattern, 6, "HELLO");
  list.items[1].pattern_probability = -1.25;
  ASSERT_EQ(mm_write_to_db_prob(conn, id, &obj, db.c_str(), 35, &list), 0);
  EXPECT_EQ(redis.str({"HGET", mk, "HELLO"}), "{\"sample\":\"aGVsbG8=\",\"prob\":-1.250000,}");
  mm_free_sample_list(&list);
}

// A statement failing inside the transaction rolls the temporary-sample delete
// back and leaves the state alone.
TEST_F(ModelDb, FailedStoreRollsBack) {
  tmp_rows(40, 500, "abc");
  sql.exec("drop table " + db + ".url_args_info");
  const string k = "arg:" + to_string(id) + ":40";
  redis.cmd({"HSET", k, "arg_learn_stat", "2", "events", "0"});
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 3);
  ml_sample_list list{};
  math_task task{};
  task.type = MATH_TASK_AUTO;
  EXPECT_EQ(mm_write_to_db(&obj, conn, db.c_str(), id, 40, &list, m, &task), -1);
  EXPECT_EQ(sql.num("select count(*) from " + table(40, true)), 500);
  EXPECT_EQ(redis.str({"HGET", k, "arg_learn_stat"}), "2");
  ml_hmm_free(m);
}

}  // namespace
