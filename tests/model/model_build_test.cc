// Model building in-process against the real Redis and MariaDB: the means,
// the boxplot groups and the model texts.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "model/math_model_thread.h"
#include "model/model_stats.h"
#include "model/model_store.h"
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

}  // namespace
