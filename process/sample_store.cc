#include "process/sample_store.h"

#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/ml_message.h"
#include "platform/mathmodel/mathmodel.h"
#include "services/mldb.h"
#include "services/pattern.h"

namespace {

constexpr size_t kQueryLen = 1024;
constexpr size_t kInsertLen = 4096;
constexpr size_t kEscapedMax = 1024;

// Runs a "select count(*)" statement and reads its one number; -1 on failure.
// quiet_sql: the temporary-table count names no statement in its failure line.
// The lines name the counting operation op.
int count_query(ml_db_obj *db, const char *sql, bool quiet_sql, const char *op) {
  if (db->db_execute(db, sql) != 0) {
    if (quiet_sql)
      ML_DEBUG_AS(op, "execute sql failed");
    else
      ML_DEBUG_AS(op, "execute sql failed:%s", sql);
    return -1;
  }
  recordset_guard rs(db);
  if (rs.create() != 0) {
    ML_DEBUG_AS(op, "Create recordset failed\\n");
    return -1;
  }
  if (rs->row_count == 0 || rs->field_count == 0) {
    ML_DEBUG_AS(op, "0 rows got after data query");
    return -1;
  }
  MYSQL_ROW row = mysql_fetch_row(rs->result);
  return row && row[0] ? atoi(row[0]) : -1;
}

}  // namespace

int get_hmm_gen_str(const sample_msg *msg, char *out, int cap) {
  if (!msg || !out || cap < 1) return -1;
  // arg_len is checked before storage; the clamp only keeps the read inside
  // the message whatever it says.
  uint32_t len = msg->arg_len < SAMPLE_VALUE_MAX ? msg->arg_len : SAMPLE_VALUE_MAX;
  if (ml_pattern_text(msg->arg_value, len, out, static_cast<size_t>(cap)) != 0) {
    ML_DEBUG("generate hmm str failed");
    return -1;
  }
  return 0;
}

int prepare_sample(const sample_msg *msg, ml_db_obj *db, const char *pattern, stored_sample *s) {
  const uint32_t len = msg->arg_len < SAMPLE_VALUE_MAX ? msg->arg_len : SAMPLE_VALUE_MAX;
  // The worst case of the bytes actually escaped (len may exceed kArgLenMax
  // when the caller skipped check_sample).
  char escaped[2 * SAMPLE_VALUE_MAX + 1];
  const unsigned long escaped_len = mysql_real_escape_string(
      db->conn, escaped, reinterpret_cast<const char *>(msg->arg_value), len);
  if (escaped_len == 0 || escaped_len > kEscapedMax) {
    MLD_ERR(MLD_UNIT_PROCESS, "strescape failed, too long size :%d\n",
            static_cast<int>(escaped_len));
    return -1;
  }
  s->arg_id = static_cast<int32_t>(msg->arg_id);
  memcpy(s->sample_str, escaped, escaped_len);
  s->sample_str[escaped_len] = '\0';
  // A 256-character pattern loses its last character.
  const size_t pattern_len = strnlen(pattern, sizeof s->pattern - 1);
  memcpy(s->pattern, pattern, pattern_len);
  s->pattern[pattern_len] = '\0';
  s->value_bit = ml_hmm_value_bit(msg->arg_value, len);
  return 0;
}

int get_sample_pattern_count(int arg_id, ml_db_obj *db, const char *dbname, const char *table) {
  if (!db || !dbname || !table) return -1;
  char sql[kQueryLen];
  snprintf(sql, sizeof sql, "select count(*) from %s.%s where arg_id=%d", dbname, table, arg_id);
  return count_query(db, sql, false, __func__);
}

int check_pattern_exist(int arg_id, ml_db_obj *db, const char *dbname, const char *table,
                        const char *pattern) {
  if (!db || !dbname || !table || !pattern) return -1;
  char sql[kQueryLen];
  snprintf(sql, sizeof sql, "select count(*) from %s.%s where arg_id=%d and pattern='%s';", dbname,
           table, arg_id, pattern);
  return count_query(db, sql, false, __func__);
}

int get_boxplot_sample_count(int arg_id, ml_db_obj *db, const char *dbname, const char *tmp_table) {
  if (!db || !dbname || !tmp_table) return -1;
  char sql[kQueryLen];
  snprintf(sql, sizeof sql, "select count(*) from %s.%s where arg_id=%d", dbname, tmp_table,
           arg_id);
  return count_query(db, sql, true, __func__);
}

int get_sample_count(int arg_id, ml_db_obj *db, const char *dbname, const char *table) {
  if (!db || !dbname || !table) return -1;
  char sql[kQueryLen];
  snprintf(sql, sizeof sql, "select count(pattern_count) from %s.%s where arg_id=%d", dbname, table,
           arg_id);
  return count_query(db, sql, false, __func__);
}

int insert_sample(ml_db_obj *db, const stored_sample *s, const char *dbname,
                  const sample_table_names *names) {
  if (!db || !s || !dbname || !names) return -1;
  const int n = get_sample_pattern_count(s->arg_id, db, dbname, names->name0);
  char sql[kInsertLen];
  if (n < SAMPLE_PATTERN_CAP) {  // also when the count failed: the key still dedups
    snprintf(sql, sizeof sql,
             "insert into %s.%s (arg_id, sample_str, pattern, pattern_count, pattern_probability, "
             "average_probability, value_bits) \t\t\tvalues(%d, '%s', '%s', 1, 0.0, 0.0, %llu) "
             "ON DUPLICATE KEY UPDATE pattern_count=pattern_count+1, %s;",
             dbname, names->name0, s->arg_id, s->sample_str, s->pattern,
             static_cast<unsigned long long>(s->value_bit), SAMPLE_VALUE_BITS_UPDATE);
    if (db->db_execute(db, sql) != 0) {
      ML_DEBUG("execute sql failed");
      return -1;
    }
    return 0;
  }
  const int e = check_pattern_exist(s->arg_id, db, dbname, names->name0, s->pattern);
  if (e == 0) return 1;  // a new pattern for a full argument: not stored
  if (e < 0) {
    ML_DEBUG("check_pattern_exist failed");
    return -1;
  }
  snprintf(sql, sizeof sql,
           "update %s.%s set pattern_count = pattern_count+1, value_bits = value_bits | %llu where "
           "arg_id = %d and pattern = '%s';",
           dbname, names->name0, static_cast<unsigned long long>(s->value_bit), s->arg_id,
           s->pattern);
  if (db->db_execute(db, sql) != 0) {
    ML_DEBUG("execute sql failed:%s\\n", sql);
    return -1;
  }
  return 0;
}

int insert_sample_temp(ml_db_obj *db, const stored_sample *s, const char *dbname,
                       const sample_table_names *names) {
  if (!db || !s || !dbname || !names) return -1;
  char sql[kInsertLen];
  snprintf(sql, sizeof sql,
           "insert into %s.%s \t\t\t(arg_id,sample_str,pattern) \t\t\tvalues( %d,'%s','%s')",
           dbname, names->name1, s->arg_id, s->sample_str, s->pattern);
  if (db->db_execute(db, sql) != 0) {
    MLD_ERR(MLD_UNIT_PROCESS, "exec sql:%s failed\n", sql);
    return -1;
  }
  const int m = get_boxplot_sample_count(s->arg_id, db, dbname, names->name1);
  if (m >= SAMPLE_TMP_TRIM_AT) {
    snprintf(sql, sizeof sql, "delete from %s.%s where arg_id=%d order by id limit %d;", dbname,
             names->name1, s->arg_id, m - SAMPLE_TMP_KEEP);
    db->db_execute(db, sql);  // a failed trim is retried by a later insert
  }
  return 0;
}
