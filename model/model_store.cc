// Model persistence.
//
// The SQL work (temporary-sample delete, url_args_info row, sample-table
// updates) runs in one transaction; Redis writes are made as they come and
// are not undone (the caller marks the argument discarded on failure, which
// overrides a state written here).
//
// Model texts are built into fixed buffers. A text that would not fit is a
// failure of the whole write, never a cut text: a truncated model would be
// read by the proxy as a different model.
#include "model/model_store.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "arg/arg_state.h"
#include "log/ml_debug.h"
#include "model/model_stats.h"
#include "services/mldb.h"
#include "services/redis.h"

namespace {

constexpr size_t kNumberLen = 256;
constexpr size_t kPiLen = 512;
constexpr size_t kMatrixLen = 8192;
constexpr size_t kHmsetLen = 10240;
constexpr size_t kSqlLen = 1024;
constexpr size_t kBoxKeyLen = 2048;
constexpr size_t kB64Len = 1024;

struct free_deleter {
  void operator()(void *p) const { free(p); }
};
using heap_text = std::unique_ptr<char, free_deleter>;

// Appends to a text of capacity cap at *used; false when it does not fit.
bool append(char *out, size_t cap, size_t *used, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
bool append(char *out, size_t cap, size_t *used, const char *fmt, ...) {
  if (*used >= cap) return false;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out + *used, cap - *used, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= cap - *used) return false;
  *used += static_cast<size_t>(n);
  return true;
}

// "e1,e2,...,en" of rows 1..rows, columns 1..cols (a vector is passed as
// row 1 of a two-row table, so there is no null table for g++'s
// array-bounds check to see indexed at -O3).
bool entries(char *out, size_t cap, const double *const *rows, int nrows, int ncols) {
  size_t used = 0;
  out[0] = '\0';
  for (int i = 1; i <= nrows; i++) {
    for (int j = 1; j <= ncols; j++) {
      char number[kNumberLen];
      snprintf(number, sizeof number, "%lf", rows[i][j]);
      const bool last = i == nrows && j == ncols;
      if (!append(out, cap, &used, "%s%s", number, last ? "" : ",")) return false;
    }
  }
  return true;
}

int wrap(char *out, size_t cap, int column, const char *list) {
  int n = snprintf(out, cap, "{\"column\":%d,\"data\":[%s]}", column, list);
  return n >= 0 && static_cast<size_t>(n) < cap ? 0 : -1;
}

int sql_exec(ml_db_obj *db, const char *sql) { return db->db_execute(db, sql); }

int fail(ml_db_obj *db) {
  db->db_rollback(db);
  return -1;
}

}  // namespace

int mm_model_text_pi(const ml_hmm_model *m, char *out, size_t cap) {
  char list[kPiLen];
  if (!m) return -1;
  const double *const rows[2] = {nullptr, m->initial};
  if (!entries(list, sizeof list, rows, 1, m->state_count)) return -1;
  return wrap(out, cap, 1, list);
}

int mm_model_text_a(const ml_hmm_model *m, char *out, size_t cap) {
  heap_text list(static_cast<char *>(malloc(kMatrixLen)));
  if (!m || !list ||
      !entries(list.get(), kMatrixLen, m->transition, m->state_count, m->state_count))
    return -1;
  return wrap(out, cap, m->state_count, list.get());
}

int mm_model_text_b(const ml_hmm_model *m, char *out, size_t cap) {
  heap_text list(static_cast<char *>(malloc(kMatrixLen)));
  if (!m || !list || !entries(list.get(), kMatrixLen, m->emission, m->state_count, m->symbol_count))
    return -1;
  return wrap(out, cap, m->state_count, list.get());
}

int mm_write_to_db_boxplot(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                           const ml_boxplot *b) {
  if (!redis || !b) return -1;
  char key[kBoxKeyLen], text[kSqlLen];
  snprintf(key, sizeof key, "arg:boxplot:%d:%d", static_cast<int>(domain_id),
           static_cast<int>(arg_id));
  snprintf(text, sizeof text,
           "{\"is_sample\":1,\"q1\":%f, \"q2\":%f, \"q3\":%f, \"notch_top\":%f, "
           "\"notch_bottom\":%f, \"q4\":%f, \"q5\":%f, \"sample_max\":%f, \"sample_min\":%f, "
           "\"potential_anomaly_cnt\":%d, \"definite_anomaly_cnt\":%d}",
           b->q1, b->q2, b->q3, b->notch_top, b->notch_bottom, b->q4, b->q5, b->sample_max,
           b->sample_min, b->potential_anomaly_cnt, b->definite_anomaly_cnt);
  return redis_rpush(redis, key, text, static_cast<int>(strlen(text))) < 0 ? -1 : 0;
}

int mm_delete_sample_tmp(ml_db_obj *db, const char *mysql_dbname, uint32_t arg_id) {
  if (!db || !mysql_dbname) return -1;
  char name0[ML_TABLE_NAME_LEN] = {}, name1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg_id), name0, name1, nullptr);
  if (!name1[0]) return 0;
  char sql[kSqlLen];
  snprintf(sql, sizeof sql, "delete from %s.%s where arg_id=%d;", mysql_dbname, name1,
           static_cast<int>(arg_id));
  return sql_exec(db, sql) == 0 ? 0 : -1;
}

int mm_write_model_to_mysqldb(ml_db_obj *db, const char *mysql_dbname, uint32_t arg_id,
                              const ml_hmm_model *model) {
  if (!db || !mysql_dbname || !*mysql_dbname || !model) return -1;
  char sql[kSqlLen];
  snprintf(sql, sizeof sql,
           "replace into %s.url_args_info (arg_id,prob_mean_ex,variance_ex) values( %d,%lf,%lf);",
           mysql_dbname, static_cast<int>(arg_id), model->prob_mean_ex, model->variance_ex);
  if (sql_exec(db, sql) != 0) {
    ML_ERROR_LINE("execute sql:%s failed\\n", sql);
    return -1;
  }
  return 0;
}

int mm_write_to_db_prob(redis_conn *redis, uint32_t domain_id, ml_db_obj *db,
                        const char *mysql_dbname, uint32_t arg_id, const ml_sample_list *list) {
  if (!redis || !db || !mysql_dbname || !list || arg_id == 0) return -1;
  char name0[ML_TABLE_NAME_LEN] = {}, name1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg_id), name0, name1, nullptr);
  if (!name0[0]) return -1;
  for (int i = 0; i < list->count; i++) {
    const ml_sample_item &it = list->items[i];
    const char *pattern = it.pattern ? it.pattern : "";
    char sql[kSqlLen];
    if (!it.is_manual) {
      // Stored patterns are cut to 255 characters; the trainer's text of the
      // same value is cut the same way to find its row.
      snprintf(sql, sizeof sql,
               "update %s.%s set pattern_probability=%lf, average_probability=%lf, noise_flag=%d "
               "where arg_id=%d and pattern='%.255s';",
               mysql_dbname, name0, it.pattern_probability, it.average_probability, it.noise_flag,
               static_cast<int>(arg_id), pattern);
      if (sql_exec(db, sql) != 0) {
        ML_ERROR_LINE("execute sql:%s failed\\n", sql);
        return -1;
      }
      continue;
    }
    // A sample whose Base64 text or command does not fit is left as it was:
    // a cut command would store a value without its probability.
    char b64[kB64Len] = {};
    if (redis_b64encode(it.sample_str, static_cast<int>(it.sample_len), b64, sizeof b64) < 0)
      continue;
    const int n =
        snprintf(sql, sizeof sql, "HSET arg:manuals:%d:%d %s {\"sample\":\"%s\",\"prob\":%f,}",
                 static_cast<int>(domain_id), static_cast<int>(arg_id), pattern, b64,
                 it.pattern_probability);
    if (n < 0 || static_cast<size_t>(n) >= sizeof sql) continue;
    reply_ptr r(redisconn_run_command(redis, sql, n));
    if (!r) return -1;
  }
  return 0;
}

int mm_write_to_db_hmm(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                       const ml_hmm_model *model) {
  if (!redis || !model) return -1;
  char pi[kPiLen];
  heap_text a(static_cast<char *>(malloc(kMatrixLen)));
  heap_text b(static_cast<char *>(malloc(kMatrixLen)));
  if (!a || !b) return -1;
  if (mm_model_text_pi(model, pi, sizeof pi) != 0 ||
      mm_model_text_a(model, a.get(), kMatrixLen) != 0 ||
      mm_model_text_b(model, b.get(), kMatrixLen) != 0)
    return -1;
  heap_text cmd(static_cast<char *>(malloc(kHmsetLen)));
  if (!cmd) {
    puts("malloc sql_str failed.");
    return -1;
  }
  int n = snprintf(cmd.get(), kHmsetLen,
                   "HMSET arg:%d:%d math_model_pi %s math_model_a %s math_model_b %s mean_length "
                   "%f mean_prob %f prob_mean_ex %f variance_ex %f",
                   static_cast<int>(domain_id), static_cast<int>(arg_id), pi, a.get(), b.get(),
                   model->mean_length, model->mean_prob, model->prob_mean_ex, model->variance_ex);
  if (n < 0 || static_cast<size_t>(n) >= kHmsetLen) return -1;
  reply_ptr r(redisconn_run_command(redis, cmd.get(), n));
  return r ? 0 : -1;
}

int mm_write_to_db_arg_status(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state,
                              int32_t event) {
  if (arg_id == 0) return -1;
  // Event 0 leaves events as it was: the state alone is written.
  const int r = arg_state_write(redis, domain_id, arg_id, state, event, event == 0);
  if (r == 0 && state != ARG_STAT_BUILDING) arg_building_done(redis, domain_id, arg_id);
  return r;
}

namespace {

// Boxplots of the recent samples, then their deletion (automatic tasks). Its
// failure line names the store, op.
int store_boxplots(ml_db_obj *db, redis_conn *redis, const char *mysql_dbname, uint32_t domain_id,
                   uint32_t arg_id, const ml_hmm_model *model, const char *op) {
  ml_boxplot *boxes = nullptr;
  int count = 0;
  if (mm_calc_all_boxplot(db, model, mysql_dbname, arg_id, &boxes, &count) != 0) return -1;
  int r = 0;
  for (int i = 0; i < count && r == 0; i++)
    r = mm_write_to_db_boxplot(redis, domain_id, arg_id, &boxes[i]);
  free(boxes);
  if (r != 0) return -1;
  if (mm_delete_sample_tmp(db, mysql_dbname, arg_id) != 0) {
    ML_ERROR_LINE_AS(op, "mm_delete_sample_tmp:%d failed", static_cast<int>(arg_id));
    return -1;
  }
  return 0;
}

}  // namespace

int mm_write_to_db(ml_db_obj *db, redis_conn *redis, const char *mysql_dbname, uint32_t domain_id,
                   uint32_t arg_id, ml_sample_list *list, ml_hmm_model *model,
                   const math_task *task) {
  if (!db || !mysql_dbname || !list || !model || !task) return -1;
  if (db->db_begin_trans(db) != 0) return fail(db);
  if (task->type == MATH_TASK_AUTO &&
      store_boxplots(db, redis, mysql_dbname, domain_id, arg_id, model, __func__) != 0)
    return fail(db);
  if (mm_write_to_db_hmm(redis, domain_id, arg_id, model) != 0) {
    ML_ERROR_LINE("mm_write_to_db_hmm:%d,%d failed", static_cast<int>(domain_id),
                  static_cast<int>(arg_id));
    return fail(db);
  }
  if (mm_write_model_to_mysqldb(db, mysql_dbname, arg_id, model) != 0) {
    ML_ERROR_LINE("mm_write_model_to_mysqldb:%d failed", static_cast<int>(arg_id));
    return fail(db);
  }
  if (mm_write_to_db_prob(redis, domain_id, db, mysql_dbname, arg_id, list) != 0) {
    ML_ERROR_LINE("mm_write_to_db_prob:%s,%d failed", mysql_dbname, static_cast<int>(arg_id));
    return fail(db);
  }
  const int32_t state = task->type == MATH_TASK_AUTO ? ARG_STAT_LEARNED : ARG_STAT_MANUAL_LEARNED;
  if (mm_write_to_db_arg_status(redis, domain_id, arg_id, state, ARG_EVENT_NONE) != 0) {
    ML_ERROR_LINE("mm_write_to_db_arg_status:%s,%d failed", mysql_dbname, static_cast<int>(arg_id));
    return fail(db);
  }
  if (db->db_commit(db) != 0) {
    ML_ERROR_LINE("execute sql failed");
    return fail(db);
  }
  return 0;
}
