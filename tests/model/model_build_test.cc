// Model building in-process against the real Redis and MariaDB: the means,
// the boxplot groups, the model texts, the training read of bad input and the
// store, which writes results back and rolls its transaction back on failure.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "model/math_model_thread.h"
#include "model/model_stats.h"
#include "model/model_store.h"
#include "model/training_samples.h"
#include "services/mldb.h"
#include "services/redis.h"
#include "tests/process/sql_check.h"

namespace {

using std::string;
using std::to_string;

// Items of (probability, length, noise flag).
std::pair<double, double> mean_of(const std::vector<std::tuple<double, uint32_t, int>> &in) {
  std::vector<ml_sample_item> items(in.size());
  for (size_t i = 0; i < in.size(); i++) {
    std::tie(items[i].pattern_probability, items[i].sample_len, items[i].noise_flag) = in[i];
    items[i].sample_len_copy = items[i].sample_len;
  }
  ml_sample_list list{0, static_cast<int>(items.size()), 0, items.data()};
  ml_hmm_model m{};
  mm_calc_mean(&list, &m);
  return {m.mean_prob, m.mean_length};
}

TEST(ModelStats, MeansCountEachCleanItemOnce) {
  EXPECT_EQ(mean_of({{-1.5, 4, 0}}), std::make_pair(0.0, 0.0));
  EXPECT_EQ(
      mean_of({{-1.0, 3, 0}, {-3.0, 5, 0}, {-50.0, 100, 1}, {0.0, 0, 0}, {ML_HMM_NO_PROB, 0, 0}}),
      std::make_pair(-2.0, 4.0));
}

TEST(ModelDb, BoxplotsGroupTheNewestSamples) {
  const string db = "mlt_model_" + to_string(mlt::unique_id());
  mlt::provision_db(db);
  ml_db_obj obj{};
  ASSERT_EQ(init_ml_db_obj(&obj), 0);
  ASSERT_EQ(obj.db_connect(&obj), 0);
  mlt::Sql sql;
  auto tmp_rows = [&](uint32_t a, int n, const string &value) {  // ids rise with each call
    string q = "insert into " + db + ".ml_sample_tmp_0" + to_string(a % 16) +
               " (arg_id, sample_str, pattern) values ";
    for (int i = 0; i < n; i++) q += (i ? ",(" : "(") + to_string(a) + ",'" + value + "','P')";
    sql.exec(q);
  };
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 7);
  double abc = 0, second = 0;
  ASSERT_EQ(ml_hmm_calc_prob(m, "abc", 3, &abc, &second), 0);
  ml_boxplot *boxes = nullptr;
  int count = -1;
  EXPECT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 1, &boxes, &count) * 10 + count, 0);
  tmp_rows(1, 499, "%%zz~~~");  // oldest
  tmp_rows(1, 1000, "abc");
  ASSERT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 1, &boxes, &count) * 10 + count, 2);
  for (int g = 0; g < 2; g++)
    EXPECT_EQ(std::make_pair(boxes[g].sample_min, boxes[g].sample_max), std::make_pair(abc, abc));
  free(boxes);
  tmp_rows(2, 499, "abc");
  EXPECT_EQ(mm_calc_all_boxplot(&obj, m, db.c_str(), 2, &boxes, &count), -1);
  ml_hmm_free(m);
  obj.db_close(&obj);
  mlt::drop_db(db);
}

TEST(ModelDb, ModelTextsAreExact) {
  const uint32_t id = mlt::unique_id();
  redis_conn *conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);  // never closed
  ml_hmm_model *m = ml_hmm_create(2, 3, 1);
  m->initial[1] = m->initial[2] = 0.5;
  const double v[] = {0.1, 0.9, 0.25, 0.75, 0.2, 0.3, 0.5, 1, 0, 0};  // A, then B, row by row
  for (int k = 0; k < 4; k++) m->transition[k / 2 + 1][k % 2 + 1] = v[k];
  for (int k = 0; k < 6; k++) m->emission[k / 3 + 1][k % 3 + 1] = v[k + 4];
  ASSERT_EQ(mm_write_to_db_hmm(conn, id, 3, m), 0);
  ml_hmm_free(m);
  mlt::Redis redis;
  const string k = "arg:" + to_string(id) + ":3";
  for (const auto &[f, want] : std::vector<std::pair<string, string>>{
           {"math_model_pi", "{\"column\":1,\"data\":[0.500000,0.500000]}"},
           {"math_model_a", "{\"column\":2,\"data\":[0.100000,0.900000,0.250000,0.750000]}"},
           {"math_model_b",
            "{\"column\":2,\"data\":[0.200000,0.300000,0.500000,1.000000,"
            "0.000000,0.000000]}"}})
    EXPECT_EQ(redis.str({"HGET", k, f}), want);
  redis.cmd({"DEL", k});
}

// A database, a Redis connection of the daemon's client and a database object.
class ModelStore : public ::testing::Test {
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
  // Column 0 of the first row, read over the daemon's own connection.
  string own(const string &q) {
    if (obj.db_execute(&obj, q.c_str()) != 0) return "error";
    recordset_guard rs(&obj);
    if (rs.create() != 0) return "error";
    MYSQL_ROW row = mysql_fetch_row(rs->result);
    return row && row[0] ? row[0] : "";
  }

  const uint32_t id = mlt::unique_id();
  const string db = "mlt_model_" + to_string(id);
  redis_conn *conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);  // never closed
  ml_db_obj obj{};
  mlt::Redis redis;
  mlt::Sql sql;
};

// Rows with an empty field, no count or a noise flag, and manual values of
// every bad form are skipped, never a failure. The store then writes each
// table item's probability, average and noise flag to its row and a manual
// item's probability to its value.
TEST_F(ModelStore, TrainingReadSkipsBadInputAndTheStoreWritesResultsBack) {
  sql.exec("insert into " + table(35, false) +
           " (arg_id, sample_str, pattern, pattern_count, noise_flag) values (35,'abc','AAA',3,0),"
           "(35,'','B',1,0),(35,'xyz','',1,0),(35,'q','Q',0,0),(35,'n','N',1,1)");
  const string mk = "arg:manuals:" + to_string(id) + ":35";
  const string head = "{\"sample\":\"", tail = "\",\"prob\":";
  redis.cmd({"HSET", mk, "good", head + "aGVsbG8=" + tail + "0.5,}", "json", "not json", "b64",
             head + "!!!*" + tail + "1}", "empty", head + tail + "1}", "long",
             head + string(10240, 'A') + tail + "1}"});
  ml_sample_list list{};
  ASSERT_EQ(mm_get_sample(conn, id, &obj, db.c_str(), 35, &list), 0);
  std::vector<string> got;
  for (int i = 0; i < list.count; i++) {
    const ml_sample_item &it = list.items[i];
    got.push_back(string(it.sample_str, it.sample_len) + "/" + to_string(it.pattern_count) + "/" +
                  to_string(it.is_manual));
  }
  ASSERT_EQ(got, (std::vector<string>{"abc/3/0", "hello/1/1"}));

  snprintf(list.items[0].pattern, 4, "AAA");
  list.items[0].pattern_probability = -1.25;
  list.items[0].average_probability = 0.25;
  list.items[0].noise_flag = 1;
  snprintf(list.items[1].pattern, 6, "HELLO");
  list.items[1].pattern_probability = -1.5;
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 3);
  math_task task{};
  task.type = MATH_TASK_MANUAL;
  EXPECT_EQ(mm_write_to_db(&obj, conn, db.c_str(), id, 35, &list, m, &task), 0);
  ml_hmm_free(m);
  mm_free_sample_list(&list);
  EXPECT_EQ(sql.one("select concat(pattern_probability, '/', average_probability, '/', noise_flag)"
                    " from " +
                    table(35, false) + " where pattern='AAA'"),
            "-1.25/0.25/1");
  EXPECT_EQ(redis.str({"HGET", mk, "HELLO"}), "{\"sample\":\"aGVsbG8=\",\"prob\":-1.500000,}");
  EXPECT_EQ(redis.str({"HGET", "arg:" + to_string(id) + ":35", "arg_learn_stat"}), "4");
}

// A statement failing inside the store's transaction rolls the temporary
// sample delete back, ends the transaction and leaves the state alone.
TEST_F(ModelStore, FailedStoreRollsBack) {
  sql.exec("insert into " + table(40, true) + " (arg_id, sample_str, pattern) select 40, 'abc', " +
           "'P' from " + db + ".seq_1_to_500");
  sql.exec("drop table " + db + ".url_args_info");
  const string k = "arg:" + to_string(id) + ":40";
  redis.cmd({"HSET", k, "arg_learn_stat", "2", "events", "0"});
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 3);
  ml_sample_list list{};
  math_task task{};
  task.type = MATH_TASK_AUTO;
  EXPECT_EQ(mm_write_to_db(&obj, conn, db.c_str(), id, 40, &list, m, &task), -1);
  ml_hmm_free(m);
  EXPECT_EQ(own("select @@in_transaction"), "0");
  EXPECT_EQ(own("select count(*) from " + table(40, true)), "500");
  EXPECT_EQ(redis.str({"HGET", k, "arg_learn_stat"}), "2");
}

// The store's failure lines carry the store's name, whichever of its steps
// failed: here the delete of the temporary samples, refused by a trigger.
TEST_F(ModelStore, FailedTemporaryDeleteIsReportedByTheStore) {
  sql.exec("insert into " + table(41, true) + " (arg_id, sample_str, pattern) select 41, 'abc', " +
           "'P' from " + db + ".seq_1_to_500");
  sql.exec("create trigger " + db + ".keep_tmp before delete on " + table(41, true) +
           " for each row signal sqlstate '45000' set message_text = 'kept'");
  ml_hmm_model *m = ml_hmm_create(ML_HMM_STATES, ML_HMM_SYMBOLS, 3);
  ml_sample_list list{};
  math_task task{};
  task.type = MATH_TASK_AUTO;
  testing::internal::CaptureStdout();
  EXPECT_EQ(mm_write_to_db(&obj, conn, db.c_str(), id, 41, &list, m, &task), -1);
  const string out = testing::internal::GetCapturedStdout();
  ml_hmm_free(m);
  EXPECT_TRUE(mlt::has_debug_line(out, "mm_write_to_db", "mm_delete_sample_tmp:41 failed", true))
      << out;
  EXPECT_EQ(own("select count(*) from " + table(41, true)), "500");
}

}  // namespace
