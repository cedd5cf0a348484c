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

// Bounds on what is read from Redis, from what the daemon itself writes: a
// hash field longer than its bound, a boxplot text or a manual sample set
// larger than any the daemon makes, is refused by Redis-side scripts before
// it crosses the socket, so a hostile or broken writer cannot make every
// context that loads the argument allocate and parse megabytes.
constexpr size_t kNumberTextMax = 20;
// A model text holds at most states x symbols entries, each "%lf" of a
// probability ("0.123456", at most "-0.000000"), a comma between two.
constexpr size_t kModelEntryMax = 12;
constexpr size_t kModelTextMax = 64 + kModelEntryMax * kModelStatesMax * kModelSymbolsMax;
// The daemon's boxplot record, printed as JSON, is some 200 bytes.
constexpr size_t kBoxplotTextMax = 1024;
// Manual samples hold at most 1024 bytes, one symbol per byte.
constexpr size_t kManualPatternMax = 1024;

// HMGET of fields whose values longer than their bound come back as the
// integer -1 (missing ones as nil, as HMGET answers).
const char kBoundedHmget[] = R"(local out = {}
for i = 1, #ARGV, 2 do
  if redis.call('HSTRLEN', KEYS[1], ARGV[i]) > tonumber(ARGV[i + 1]) then
    out[#out + 1] = -1
  else
    out[#out + 1] = redis.call('HGET', KEYS[1], ARGV[i])
  end
end
return out)";

// The newest boxplot text, or -1 when it is longer than ARGV[1].
const char kBoundedLastBoxplot[] = R"(local v = redis.call('LINDEX', KEYS[1], -1)
if v and #v > tonumber(ARGV[1]) then return -1 end
return v)";

// The manual samples' field names (their patterns), or -1 when there are
// more than ARGV[1]; names longer than ARGV[2] are left out.
const char kBoundedManualKeys[] =
    R"(if redis.call('HLEN', KEYS[1]) > tonumber(ARGV[1]) then return -1 end
local out = {}
for _, k in ipairs(redis.call('HKEYS', KEYS[1])) do
  if #k <= tonumber(ARGV[2]) then out[#out + 1] = k end
end
return out)";

struct bounded_field {
  const char *name;
  size_t max;
};

// Runs script on one key with the given arguments.
reply_ptr eval(redis_conn *redis, const char *script, const std::string &key,
               const std::vector<std::string> &args) {
  std::vector<std::string_view> words{"EVAL", script, "1", key};
  words.insert(words.end(), args.begin(), args.end());
  return reply_ptr(redisconn_run_words(redis, words.data(), words.size()));
}

reply_ptr bounded_hmget(redis_conn *redis, const std::string &key,
                        std::initializer_list<bounded_field> fields) {
  std::vector<std::string> args;
  for (const auto &f : fields) {
    args.emplace_back(f.name);
    args.push_back(std::to_string(f.max));
  }
  return eval(redis, kBoundedHmget, key, args);
}

reply_ptr eval_bounded(redis_conn *redis, const char *script, const std::string &key,
                       std::initializer_list<size_t> limits) {
  std::vector<std::string> args;
  for (size_t l : limits) args.push_back(std::to_string(l));
  return eval(redis, script, key, args);
}

// Element i was refused for its size by a bounded read.
bool too_long(const redis_reply *r, uint32_t i) {
  return r && r->type == ML_REDIS_ARRAY && i < r->elements &&
         r->element[i].type == ML_REDIS_INTEGER;
}

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
size_t text_bytes(const learned_pattern &) { return 0; }

template <class V>
size_t pattern_bytes(const text_map<V> &p) {
  size_t b = p.bucket_count() * sizeof(void *);
  for (const auto &kv : p)
    b += sizeof(kv) + 2 * sizeof(void *) + text_bytes(kv.first) + text_bytes(kv.second);
  return b;
}

// Adds the argument's scan key to the index, reading its URL and name.
int index_key(redis_conn *redis, const redis_reply *key, uint32_t domain, domain_entry *d) {
  uint32_t arg = 0;
  if (!parse_arg_key(std::string_view(key->str, key->len), domain, &arg)) return 0;
  reply_ptr r = bounded_hmget(redis, std::string(key->str, key->len),
                              {{"urlid", kNumberTextMax}, {"arg_name", MLV_MAX_NAME_LEN}});
  if (!is_array(r.get())) return -1;
  if (!elem(r.get(), 0) || !elem(r.get(), 1) || too_long(r.get(), 0) || too_long(r.get(), 1))
    return 0;
  uint32_t url = static_cast<uint32_t>(elem_number(r.get(), 0));
  d->urls[url][elem_text(r.get(), 1)] = arg;
  return 0;
}

// Reads the learned patterns (and their scores, for fences of last resort),
// and apart from them the patterns the trainer set aside as noise.
// The daemon keeps at most 2,000 per argument; a table holding more than
// kPatternsMax is not one it wrote, and the argument is left unjudged.
int load_patterns(ml_db_obj *db, const std::string &dbname, uint32_t arg_id, arg_entry *out,
                  std::vector<double> *scores, load_err *err) {
  char name0[ML_TABLE_NAME_LEN] = {}, name1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg_id), name0, name1, nullptr);
  char sql[kCmdLen];
  snprintf(sql, sizeof sql,
           "select pattern, pattern_count, pattern_probability, value_bits, noise_flag from %s.%s "
           "where arg_id=%d limit %zu",
           dbname.c_str(), name0, static_cast<int>(arg_id), kPatternsMax + 1);
  recordset rs = {};
  if (db->db_execute(db, sql) != 0 || db->db_create_recordset(db, &rs) != 0) {
    *err = "learning database " + dbname +
           " did not answer: " + (db->conn ? mysql_error(db->conn) : "no connection");
    return -1;
  }
  size_t rows = 0;
  while (MYSQL_ROW row = mysql_fetch_row(rs.result)) {
    unsigned long *lens = mysql_fetch_lengths(rs.result);
    if (++rows > kPatternsMax) {
      out->problem = "it has more learned patterns than the daemon keeps";
      break;
    }
    if (!row[0] || lens[0] > MLV_MAX_VALUE_LEN) continue;  // no value's pattern is longer
    std::string pattern(row[0], lens[0]);
    const bool noise = row[4] && atoi(row[4]) != 0;
    learned_pattern &lp = (noise ? out->noise : out->patterns)[pattern];
    lp.count = row[1] ? atoi(row[1]) : 1;
    lp.value_bits = row[3] ? strtoull(row[3], nullptr, 10) : 0;
    double p = row[2] ? strtod(row[2], nullptr) : 0.0;
    if (!noise && p != 0.0 && std::isfinite(p)) scores->push_back(p);
  }
  db->db_free_recordset(&rs);
  return 0;
}

// The manual samples' patterns are learned too: the operator declared them normal.
int load_manual_patterns(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, arg_entry *out) {
  reply_ptr r =
      eval_bounded(redis, kBoundedManualKeys,
                   "arg:manuals:" + std::to_string(domain_id) + ":" + std::to_string(arg_id),
                   {kPatternsMax, kManualPatternMax});
  if (!r) return -1;
  if (r->type == ML_REDIS_INTEGER) {
    out->problem = "it has more manual samples than the daemon keeps";
    return 0;
  }
  if (r->type != ML_REDIS_ARRAY) return 0;
  for (uint32_t i = 0; i < r->elements; i++)
    if (const redis_reply *e = elem(r.get(), i))
      if (e->len <= MLV_MAX_VALUE_LEN) out->patterns.try_emplace(std::string(e->str, e->len));
  return 0;
}

// The fences of the newest boxplot group; of the learned patterns' scores
// when there is none. A boxplot that is there but unreadable leaves the
// argument unjudged: guessing its fences could switch them off.
int load_fences(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                const std::vector<double> &scores, arg_entry *out) {
  reply_ptr r = eval_bounded(
      redis, kBoundedLastBoxplot,
      "arg:boxplot:" + std::to_string(domain_id) + ":" + std::to_string(arg_id), {kBoxplotTextMax});
  if (!r) return -1;
  if (r->type == ML_REDIS_INTEGER ||
      (r->type == ML_REDIS_STRING &&
       !parse_fences(std::string_view(r->str, r->len), &out->q4, &out->q5))) {
    out->problem = "its boxplot is unreadable";
    return 0;
  }
  if (r->type == ML_REDIS_STRING) {
    out->has_fences = true;
    out->fence_source = "boxplot";
    return 0;
  }
  ml_boxplot box;
  if (!scores.empty() &&
      ml_calc_boxplot(scores.data(), static_cast<int>(scores.size()), &box) == 0 &&
      std::isfinite(box.q4) && std::isfinite(box.q5)) {
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
  if (too_long(h, 3) || too_long(h, 4) || too_long(h, 5)) {
    out->problem = "its model texts are larger than any model the daemon writes";
    return 0;
  }
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
  if (!out->has_fences && out->problem.empty())
    out->problem = "it has neither a boxplot nor scored patterns";
  if (!out->problem.empty()) {  // nothing of it is used: hold no memory for it
    out->model.reset();
    text_map<learned_pattern>().swap(out->patterns);
    text_map<learned_pattern>().swap(out->noise);
    return 0;
  }
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
      if (index_key(redis, &keys.element[i], domain_id, &fresh) != 0) {
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
  reply_ptr h =
      bounded_hmget(redis, "arg:" + std::to_string(domain_id) + ":" + std::to_string(arg_id),
                    {{"arg_learn_stat", kNumberTextMax},
                     {"urlid", kNumberTextMax},
                     {"arg_name", MLV_MAX_NAME_LEN},
                     {"math_model_pi", kModelTextMax},
                     {"math_model_a", kModelTextMax},
                     {"math_model_b", kModelTextMax}});
  if (!is_array(h.get()) || h->elements != 6) {
    *err = "Redis did not answer";
    return -1;
  }
  if (too_long(h.get(), 0) || too_long(h.get(), 1) || too_long(h.get(), 2)) {
    out->problem = "its hash holds fields longer than the daemon writes";
    return 0;  // state none: not judged
  }
  out->state = static_cast<int32_t>(elem_number(h.get(), 0));
  out->url_id = static_cast<uint32_t>(elem_number(h.get(), 1));
  out->name = elem_text(h.get(), 2);
  if (out->state == MLV_STATE_LEARNED || out->state == MLV_STATE_MANUALLY_LEARNED) {
    if (load_learned(redis, db, d, h.get(), out, err) != 0) return -1;
  }
  out->bytes = sizeof *out + out->name.capacity() + model_bytes(out->model.get()) +
               pattern_bytes(out->patterns) + pattern_bytes(out->noise) +
               pattern_bytes(out->skeletons) + out->by_count.capacity() * sizeof out->by_count[0];
  return 0;
}

bool parse_arg_key(std::string_view key, uint32_t domain_id, uint32_t *arg_id) {
  const std::string prefix = "arg:" + std::to_string(domain_id) + ":";
  if (key.size() <= prefix.size() || key.substr(0, prefix.size()) != prefix) return false;
  const std::string_view digits = key.substr(prefix.size());
  // arg:<d>:<a> only: not arg:<d>:<a>:..., nor a number that wraps.
  if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  uint64_t v = 0;
  for (char c : digits) v = v * 10 + static_cast<uint64_t>(c - '0');
  if (v > UINT32_MAX) return false;
  *arg_id = static_cast<uint32_t>(v);
  return true;
}

bool parse_model_text(std::string_view text, int *column, std::vector<double> *data) {
  // Bounded before anything is copied: the daemon never writes more.
  if (text.size() > kModelTextMax) return false;
  std::string t(text);
  static const char kHead[] = "{\"column\":";
  if (t.compare(0, sizeof kHead - 1, kHead) != 0) return false;
  const char *p = t.c_str() + sizeof kHead - 1;
  char *end = nullptr;
  long c = strtol(p, &end, 10);
  static const char kData[] = ",\"data\":[";
  if (end == p || c < 1 || c > static_cast<long>(kModelStatesMax) ||
      strncmp(end, kData, sizeof kData - 1) != 0)
    return false;
  p = end + sizeof kData - 1;
  data->clear();
  while (*p != ']') {
    // A probability in [0, 1] as "%lf" prints one: digits, a point, at most
    // a sign (no exponent, no hexadecimal, no "nan").
    const size_t digits = strspn(p, "0123456789.-");
    if (digits == 0) return false;
    double v = strtod(p, &end);
    if (end != p + digits || !std::isfinite(v) || v < 0.0 || v > 1.0) return false;
    if (data->size() == kModelStatesMax * kModelSymbolsMax) return false;
    data->push_back(v);
    p = end;
    if (*p == ',' && p[1] != ']')
      p++;
    else if (*p != ']')
      return false;
  }
  if (strcmp(p, "]}") != 0 || p + 2 != t.c_str() + t.size()) return false;
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
  if (cp != 1 || n < 1 || n > kModelStatesMax || static_cast<size_t>(ca) != n ||
      va.size() != n * n || static_cast<size_t>(cb) != n || vb.empty() || vb.size() % n != 0)
    return nullptr;
  const size_t m = vb.size() / n;
  if (m > kModelSymbolsMax) return nullptr;
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
  if (text.empty() || text.size() > kBoxplotTextMax) return false;
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
  // json-c reads NaN and Infinity; a fence of -inf would never be crossed.
  const double f4 = ok ? json_object_get_double(v4) : 0.0,
               f5 = ok ? json_object_get_double(v5) : 0.0;
  ok = ok && std::isfinite(f4) && std::isfinite(f5);
  if (ok) {
    *q4 = f4;
    *q5 = f5;
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
