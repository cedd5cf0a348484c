// Loaders of the verdict cache: the Redis and database reads that fill a
// domain entry and an argument entry, and the parsers of the texts the daemon
// writes (model matrices, boxplot groups).
//
// The fences come from the newest boxplot group, that is the list's last
// element: each build appends its groups after those of earlier builds, so
// the tail always belongs to the newest build. A manually learned argument has
// no boxplot; its fences are then the boxplot of the scores the daemon wrote
// for its learned patterns, the nearest thing to "how normal values score".
#include <json-c/json.h>
#include <mysql.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/mldb/mldb.h"
#include "platform/redis/redisconn.h"
#include "verdict/verdict.h"
#include "verdict/verdict_cache.h"

namespace mlv {
namespace {

constexpr size_t kCmdLen = 1024;
constexpr int kScanCount = 1000;

struct reply_free {
  void operator()(redis_reply *r) const { redisconn_free_result(r); }
};
using reply_ptr = std::unique_ptr<redis_reply, reply_free>;

reply_ptr run(redis_conn *redis, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
reply_ptr run(redis_conn *redis, const char *fmt, ...) {
  char cmd[kCmdLen];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(cmd, sizeof cmd, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) return nullptr;
  return reply_ptr(redisconn_run_command(redis, cmd, n));
}

// Element i of an array reply as text, or null when missing or nil.
const redis_reply *elem(const redis_reply *r, uint32_t i) {
  if (!r || r->type != ML_REDIS_ARRAY || i >= r->elements) return nullptr;
  const redis_reply *e = r->element + i;
  return e->type == ML_REDIS_STRING || e->type == ML_REDIS_INTEGER ? e : nullptr;
}

std::string elem_text(const redis_reply *r, uint32_t i) {
  const redis_reply *e = elem(r, i);
  return e ? std::string(e->str, e->len) : std::string();
}

// Plain decimal conversion: text that is not a number reads as 0.
long long elem_number(const redis_reply *r, uint32_t i) {
  const redis_reply *e = elem(r, i);
  return e ? strtoll(e->str, nullptr, 10) : 0;
}

bool is_array(const redis_reply *r) { return r && r->type == ML_REDIS_ARRAY; }

// A database name we are willing to put into a statement unquoted.
bool plain_dbname(const std::string &name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name)
    if (!isalnum(c) && c != '_' && c != '$') return false;
  return true;
}

size_t model_bytes(const ml_hmm_model *m) {
  if (!m) return 0;
  const size_t n = static_cast<size_t>(m->state_count), k = static_cast<size_t>(m->symbol_count);
  return sizeof *m + ((n + 1) * (n + 1) + (n + 1) * (k + 1) + (n + 1)) * sizeof(double) +
         2 * (n + 1) * sizeof(double *);
}

size_t text_bytes(const std::string &s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; }
size_t text_bytes(int32_t) { return 0; }

template <class V>
size_t pattern_bytes(const text_map<V> &p) {
  size_t b = p.bucket_count() * sizeof(void *);
  for (const auto &kv : p)
    b += sizeof(kv) + 2 * sizeof(void *) + text_bytes(kv.first) + text_bytes(kv.second);
  return b;
}

// Adds the argument's scan key to the index, reading its URL and name.
int index_key(redis_conn *redis, const redis_reply *key, int domain, domain_entry *d) {
  char prefix[32];
  int n = snprintf(prefix, sizeof prefix, "arg:%d:", domain);
  if (key->len <= static_cast<uint64_t>(n) || strncmp(key->str, prefix, n) != 0) return 0;
  char *end = nullptr;
  long long arg = strtoll(key->str + n, &end, 10);
  if (*end != '\0') return 0;  // not an argument hash (arg:<d>:<a>:..., say)
  reply_ptr r = run(redis, "HMGET %s urlid arg_name", key->str);
  if (!is_array(r.get())) return -1;
  if (!elem(r.get(), 0) || !elem(r.get(), 1)) return 0;
  uint32_t url = static_cast<uint32_t>(elem_number(r.get(), 0));
  d->urls[url][elem_text(r.get(), 1)] = static_cast<uint32_t>(arg);
  return 0;
}

// Reads the learned patterns (and their scores, for fences of last resort).
int load_patterns(ml_db_obj *db, const std::string &dbname, uint32_t arg_id, arg_entry *out,
                  std::vector<double> *scores, load_err *err) {
  char name0[ML_TABLE_NAME_LEN] = {}, name1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg_id), name0, name1, nullptr);
  char sql[kCmdLen];
  snprintf(sql, sizeof sql,
           "select pattern, pattern_count, pattern_probability from %s.%s where arg_id=%d and "
           "noise_flag=0",
           dbname.c_str(), name0, static_cast<int>(arg_id));
  recordset rs = {};
  if (db->db_execute(db, sql) != 0 || db->db_create_recordset(db, &rs) != 0) {
    *err = "learning database " + dbname +
           " did not answer: " + (db->conn ? mysql_error(db->conn) : "no connection");
    return -1;
  }
  while (MYSQL_ROW row = mysql_fetch_row(rs.result)) {
    unsigned long *lens = mysql_fetch_lengths(rs.result);
    if (!row[0]) continue;
    std::string pattern(row[0], lens[0]);
    out->patterns[pattern] = row[1] ? atoi(row[1]) : 1;
    double p = row[2] ? strtod(row[2], nullptr) : 0.0;
    if (p != 0.0) scores->push_back(p);
  }
  db->db_free_recordset(&rs);
  return 0;
}

// The manual samples' patterns are learned too: the operator declared them normal.
int load_manual_patterns(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, arg_entry *out) {
  reply_ptr r =
      run(redis, "HKEYS arg:manuals:%d:%d", static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!r) return -1;
  if (r->type != ML_REDIS_ARRAY) return 0;
  for (uint32_t i = 0; i < r->elements; i++)
    if (const redis_reply *e = elem(r.get(), i))
      out->patterns.try_emplace(std::string(e->str, e->len), 1);
  return 0;
}

int load_fences(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                const std::vector<double> &scores, arg_entry *out) {
  reply_ptr r = run(redis, "LINDEX arg:boxplot:%d:%d -1", static_cast<int>(domain_id),
                    static_cast<int>(arg_id));
  if (!r) return -1;
  if (r->type == ML_REDIS_STRING &&
      parse_fences(std::string_view(r->str, r->len), &out->q4, &out->q5)) {
    out->has_fences = true;
    out->fence_source = "boxplot";
    return 0;
  }
  ml_boxplot box;
  if (!scores.empty() &&
      ml_calc_boxplot(scores.data(), static_cast<int>(scores.size()), &box) == 0) {
    out->has_fences = true;
    out->q4 = box.q4;
    out->q5 = box.q5;
    out->fence_source = "learned patterns";
  }
  return 0;
}

// The model, fences and patterns of a learned argument.
int load_learned(redis_conn *redis, ml_db_obj *db, const domain_entry &d, const redis_reply *h,
                 arg_entry *out, load_err *err) {
  out->model.reset(model_from_texts(elem_text(h, 3), elem_text(h, 4), elem_text(h, 5)));
  if (!out->model) {
    out->problem = "its model texts are missing or unreadable";
    return 0;
  }
  if (!plain_dbname(d.dbname)) {
    out->problem = "its domain names no usable learning database";
    return 0;
  }
  std::vector<double> scores;
  if (load_patterns(db, d.dbname, out->arg_id, out, &scores, err) != 0) return -1;
  if (load_manual_patterns(redis, out->domain_id, out->arg_id, out) != 0 ||
      load_fences(redis, out->domain_id, out->arg_id, scores, out) != 0) {
    *err = "Redis did not answer";
    return -1;
  }
  if (!out->has_fences) out->problem = "it has neither a boxplot nor scored patterns";
  derive_rules(out);
  return 0;
}

}  // namespace

int64_t now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

int load_domain(redis_conn *redis, uint32_t domain_id, domain_entry *out, load_err *err) {
  reply_ptr r =
      run(redis, "HMGET domain_info:%d domain mysql_dbname adomname", static_cast<int>(domain_id));
  if (!is_array(r.get())) {
    *err = "Redis did not answer";
    return -1;
  }
  out->known = elem(r.get(), 0) || elem(r.get(), 1) || elem(r.get(), 2);
  out->name = elem_text(r.get(), 0);
  out->dbname = elem_text(r.get(), 1);
  out->loaded_at = now_seconds();
  return 0;
}

int scan_domain(redis_conn *redis, uint32_t domain_id, domain_entry *d, load_err *err) {
  domain_entry fresh;
  unsigned long long cursor = 0;
  const int domain = static_cast<int>(domain_id);
  do {
    reply_ptr r = run(redis, "SCAN %llu MATCH arg:%d:* COUNT %d", cursor, domain, kScanCount);
    if (!is_array(r.get()) || r->elements != 2 || r->element[1].type != ML_REDIS_ARRAY) {
      *err = "Redis did not answer the scan of domain " + std::to_string(domain_id);
      return -1;
    }
    cursor = strtoull(r->element[0].str, nullptr, 10);
    const redis_reply &keys = r->element[1];
    for (uint32_t i = 0; i < keys.elements; i++) {
      if (keys.element[i].type != ML_REDIS_STRING) continue;
      if (index_key(redis, &keys.element[i], domain, &fresh) != 0) {
        *err = "Redis did not answer while indexing domain " + std::to_string(domain_id);
        return -1;
      }
    }
  } while (cursor != 0);
  d->urls.swap(fresh.urls);
  d->scanned = true;
  d->scanned_at = now_seconds();
  return 0;
}

int load_arg(redis_conn *redis, ml_db_obj *db, const domain_entry &d, uint32_t domain_id,
             uint32_t arg_id, arg_entry *out, load_err *err) {
  out->domain_id = domain_id;
  out->arg_id = arg_id;
  out->loaded_at = now_seconds();
  reply_ptr h = run(redis,
                    "HMGET arg:%d:%d arg_learn_stat urlid arg_name math_model_pi math_model_a "
                    "math_model_b",
                    static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!is_array(h.get())) {
    *err = "Redis did not answer";
    return -1;
  }
  out->state = static_cast<int32_t>(elem_number(h.get(), 0));
  out->url_id = static_cast<uint32_t>(elem_number(h.get(), 1));
  out->name = elem_text(h.get(), 2);
  if (out->state == MLV_STATE_LEARNED || out->state == MLV_STATE_MANUALLY_LEARNED) {
    if (load_learned(redis, db, d, h.get(), out, err) != 0) return -1;
  }
  out->bytes = sizeof *out + out->name.capacity() + model_bytes(out->model.get()) +
               pattern_bytes(out->patterns) + pattern_bytes(out->skeletons) +
               out->by_count.capacity() * sizeof out->by_count[0];
  return 0;
}

bool parse_model_text(std::string_view text, int *column, std::vector<double> *data) {
  std::string t(text);
  static const char kHead[] = "{\"column\":";
  if (t.compare(0, sizeof kHead - 1, kHead) != 0) return false;
  const char *p = t.c_str() + sizeof kHead - 1;
  char *end = nullptr;
  long c = strtol(p, &end, 10);
  static const char kData[] = ",\"data\":[";
  if (end == p || c < 1 || strncmp(end, kData, sizeof kData - 1) != 0) return false;
  p = end + sizeof kData - 1;
  data->clear();
  while (*p != ']') {
    double v = strtod(p, &end);
    if (end == p || !std::isfinite(v)) return false;
    data->push_back(v);
    p = end;
    if (*p == ',')
      p++;
    else if (*p != ']')
      return false;
  }
  if (strcmp(p, "]}") != 0) return false;
  *column = static_cast<int>(c);
  return true;
}

ml_hmm_model *model_from_texts(std::string_view pi, std::string_view a, std::string_view b) {
  int cp = 0, ca = 0, cb = 0;
  std::vector<double> vp, va, vb;
  if (!parse_model_text(pi, &cp, &vp) || !parse_model_text(a, &ca, &va) ||
      !parse_model_text(b, &cb, &vb))
    return nullptr;
  const size_t n = vp.size();
  if (cp != 1 || n < 1 || n > ML_HMM_MAX_STATES || static_cast<size_t>(ca) != n ||
      va.size() != n * n || static_cast<size_t>(cb) != n || vb.empty() || vb.size() % n != 0)
    return nullptr;
  const size_t m = vb.size() / n;
  ml_hmm_model *model = ml_hmm_create(static_cast<int>(n), static_cast<int>(m), 0);
  if (!model) return nullptr;
  for (size_t i = 1; i <= n; i++) {
    model->initial[i] = vp[i - 1];
    for (size_t j = 1; j <= n; j++) model->transition[i][j] = va[(i - 1) * n + (j - 1)];
    for (size_t k = 1; k <= m; k++) model->emission[i][k] = vb[(i - 1) * m + (k - 1)];
  }
  return model;
}

bool parse_fences(std::string_view text, double *q4, double *q5) {
  json_tokener *tok = json_tokener_new();
  if (!tok) return false;
  json_object *root = json_tokener_parse_ex(tok, text.data(), static_cast<int>(text.size()));
  json_tokener_free(tok);
  json_object *v4 = nullptr, *v5 = nullptr;
  bool ok = root && json_object_is_type(root, json_type_object) &&
            json_object_object_get_ex(root, "q4", &v4) &&
            json_object_object_get_ex(root, "q5", &v5) &&
            (json_object_is_type(v4, json_type_double) || json_object_is_type(v4, json_type_int)) &&
            (json_object_is_type(v5, json_type_double) || json_object_is_type(v5, json_type_int));
  if (ok) {
    *q4 = json_object_get_double(v4);
    *q5 = json_object_get_double(v5);
  }
  json_object_put(root);
  return ok;
}

// Only the band |i - j| <= limit of the table is computed (cells outside it
// cannot lead to a distance within the limit): the nearest-pattern search
// runs this once per learned pattern, and its limit is soon small.
int edit_distance(std::string_view a, std::string_view b, int limit) {
  if (a.size() > MLV_MAX_VALUE_LEN || b.size() > MLV_MAX_VALUE_LEN) return limit + 1;
  int diff = static_cast<int>(a.size()) - static_cast<int>(b.size());
  if (diff > limit || -diff > limit) return limit + 1;
  const int inf = limit + 1, n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
  int row[MLV_PATTERN_CAP];
  for (int j = 0; j <= m; j++) row[j] = std::min(j, inf);
  for (int i = 1; i <= n; i++) {
    const int lo = std::max(1, i - limit), hi = std::min(m, i + limit);
    int diag = row[lo - 1];
    int left = lo == 1 ? std::min(i, inf) : inf;
    row[lo - 1] = left;
    int best = left;
    for (int j = lo; j <= hi; j++) {
      const int up = row[j];
      const int v = std::min({up + 1, left + 1, diag + (a[i - 1] != b[j - 1]), inf});
      diag = up;
      row[j] = left = v;
      best = std::min(best, v);
    }
    if (best > limit) return inf;
  }
  return row[m];
}

}  // namespace mlv
