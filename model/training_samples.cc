// Training sample retrieval. The item array grows one item at a time with
// the system allocator, as the math model library expects of lists it frees.
// Stored values are copied with their exact length (mysql_fetch_lengths), so
// a value holding a zero byte is not cut short. Manual samples are values of
// the form {"sample":"<Base64>","prob":...}; one that does not have that
// form is skipped, never a failure.
#include "model/training_samples.h"

#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/ml_debug.h"
#include "services/mldb.h"
#include "services/redis.h"

namespace {

constexpr size_t kSelectLen = 512;
constexpr size_t kManualCmdLen = 4096;  // the HGET names a manual sample's field
constexpr size_t kManualLen = 4096;
constexpr int kDecodedMax = 1024;
constexpr char kManualHead[] = "{\"sample\":\"";
constexpr char kManualTail[] = "\",\"prob\":";

// Makes room for one more item at index list->count, zero-filled. false when
// the array cannot grow (the list is unchanged).
bool grow(ml_sample_list *list) {
  const size_t n = static_cast<size_t>(list->count) + 1;
  auto *items = static_cast<ml_sample_item *>(realloc(list->items, n * sizeof(ml_sample_item)));
  if (!items) return false;
  list->items = items;
  memset(&items[n - 1], 0, sizeof(ml_sample_item));
  return true;
}

// A zero-terminated private copy of len bytes; null when out of memory.
char *copy_bytes(const char *src, size_t len) {
  auto *p = static_cast<char *>(malloc(len + 1));
  if (!p) return nullptr;
  memcpy(p, src, len);
  p[len] = '\0';
  return p;
}

// Fills the item at list->count (room already made by grow) with a copy of
// the value, a zeroed pattern buffer for the trainer and the weight, and
// counts it. false when memory is short (the slot is left zeroed).
bool fill_training_item(ml_sample_list *list, const char *value, size_t len, int32_t weight,
                        uint8_t is_manual) {
  ml_sample_item *it = &list->items[list->count];
  it->sample_str = copy_bytes(value, len);
  it->pattern = static_cast<char *>(calloc(len + 1, 1));
  if (!it->sample_str || !it->pattern) {
    free(it->sample_str);
    free(it->pattern);
    memset(it, 0, sizeof *it);
    return false;
  }
  it->sample_len = it->sample_len_copy = static_cast<uint32_t>(len);
  it->pattern_count = weight;
  it->is_manual = is_manual;
  list->count++;
  return true;
}

bool column_empty(MYSQL_ROW row, const unsigned long *lens, int i) {
  return !row[i] || lens[i] == 0;
}

// Appends the table rows; false when the array or a copy cannot be had.
bool add_table_rows(MYSQL_RES *res, ml_sample_list *list) {
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    const unsigned long *lens = mysql_fetch_lengths(res);
    if (column_empty(row, lens, 0) || column_empty(row, lens, 1) || !row[2]) continue;
    const int count = atoi(row[2]);
    if (count < 1) continue;
    if (!grow(list) || !fill_training_item(list, row[0], lens[0], count, 0)) return false;
  }
  return true;
}

// Decodes one manual sample value into the item at list->count; false when
// the value is malformed or memory is short (the field is then skipped).
bool add_manual(const redis_reply *value, ml_sample_list *list) {
  if (!value || value->type != ML_REDIS_STRING) return false;
  char text[kManualLen] = {};
  memcpy(text, value->str, value->len < kManualLen - 1 ? value->len : kManualLen - 1);
  if (strncmp(text, kManualHead, sizeof kManualHead - 1) != 0) return false;
  char *tail = strstr(text, kManualTail);
  if (!tail) return false;
  *tail = '\0';
  const char *b64 = text + sizeof kManualHead - 1;
  if (b64 > tail) return false;  // the tail overlaps the head
  char decoded[kDecodedMax] = {};
  const int n = redis_b64decode(b64, static_cast<int>(tail - b64), decoded, kDecodedMax);
  if (n <= 0) return false;
  return fill_training_item(list, decoded, static_cast<size_t>(n), 1, 1);
}

// Appends the manual samples; false only when the array cannot grow.
bool add_manual_samples(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                        ml_sample_list *list) {
  char cmd[kManualCmdLen];
  reply_ptr keys = redis_cmdf(redis, cmd, sizeof cmd, "HKEYS arg:manuals:%d:%d",
                              static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!keys || keys->type != ML_REDIS_ARRAY) return true;
  for (uint32_t i = 0; i < keys->elements; i++) {
    if (reply_elem_missing(keys.get(), i)) continue;
    if (!grow(list)) return false;
    reply_ptr value =
        redis_cmdf(redis, cmd, sizeof cmd, "HGET arg:manuals:%d:%d %s", static_cast<int>(domain_id),
                   static_cast<int>(arg_id), reply_elem_str(keys.get(), i));
    if (value) add_manual(value.get(), list);
  }
  return true;
}

}  // namespace

int mm_get_sample(redis_conn *redis, uint32_t domain_id, ml_db_obj *db, const char *mysql_dbname,
                  uint32_t arg_id, ml_sample_list *list) {
  if (!redis || !db || !mysql_dbname || !list) return -1;
  char name0[ML_TABLE_NAME_LEN] = {}, name1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg_id), name0, name1, nullptr);
  if (!name0[0]) return -1;
  memset(list, 0, sizeof *list);

  char sql[kSelectLen];
  snprintf(sql, sizeof sql,
           "select sample_str, pattern, pattern_count from %s.%s where arg_id=%d and noise_flag=0;",
           mysql_dbname, name0, static_cast<int>(arg_id));
  if (db->db_execute(db, sql) != 0) {
    ML_DEBUG("Execute SQL failed:%s", sql);
    return -1;
  }
  {
    recordset_guard rs(db);
    if (rs.create() != 0) {
      ML_DEBUG("get recordset failed\\n");
      return -1;
    }
    if (rs->row_count == 0 || rs->field_count == 0) return -1;
    if (rs->field_count <= 2) {
      ML_DEBUG("Invalid field number %d", static_cast<int>(rs->field_count));
      return -1;
    }
    if (!add_table_rows(rs->result, list)) return -1;
  }
  return add_manual_samples(redis, domain_id, arg_id, list) ? 0 : -1;
}

int mm_get_tmp_sample(ml_db_obj *db, const char *mysql_dbname, uint32_t arg_id,
                      ml_sample_list *list) {
  if (!db || !mysql_dbname || !list) return -1;
  char name0[ML_TABLE_NAME_LEN] = {}, name1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg_id), name0, name1, nullptr);
  if (!name1[0]) return -1;
  memset(list, 0, sizeof *list);

  char sql[kSelectLen];
  snprintf(sql, sizeof sql,
           "select id, sample_str, pattern from %s.%s where arg_id=%d order by id desc limit %d;",
           mysql_dbname, name1, static_cast<int>(arg_id), TMP_SAMPLES_MAX);
  if (db->db_execute(db, sql) != 0) {
    ML_DEBUG("Execute SQL failed");
    return -1;
  }
  recordset_guard rs(db);
  if (rs.create() != 0) {
    ML_DEBUG("get recordset failed\\n");
    return -1;
  }
  if (rs->row_count == 0 || rs->field_count == 0) return 1;
  if (rs->field_count <= 2) {
    ML_DEBUG("Invalid field number %d", static_cast<int>(rs->field_count));
    return -1;
  }
  bool ok = true;
  while (MYSQL_ROW row = mysql_fetch_row(rs->result)) {
    const unsigned long *lens = mysql_fetch_lengths(rs->result);
    if (column_empty(row, lens, 0) || column_empty(row, lens, 1) || column_empty(row, lens, 2))
      continue;
    if (!grow(list)) {
      ok = false;
      break;
    }
    ml_sample_item *it = &list->items[list->count];
    it->sample_str = copy_bytes(row[1], lens[1]);
    if (!it->sample_str) {
      ok = false;
      break;
    }
    it->id = atoi(row[0]);
    it->sample_len = it->sample_len_copy = static_cast<uint32_t>(lens[1]);
    list->count++;
  }
  if (ok && list->count >= TMP_SAMPLES_MIN) return 0;
  ml_free_sample_items(list);
  list->items = nullptr;
  return -1;
}
