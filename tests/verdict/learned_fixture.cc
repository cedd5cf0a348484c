#include "tests/verdict/learned_fixture.h"

#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "model/model_store.h"
#include "platform/mathmodel/mathmodel.h"
#include "platform/mldb/mldb.h"
#include "platform/redis/redisconn.h"
#include "tests/testutil/testutil.h"

namespace mlt {
namespace {

constexpr int kStates = 10;  // the daemon's state count
constexpr int kBoxGroup = 500;

struct Admin {
  MYSQL *conn = mysql_init(nullptr);
  Admin() {
    const std::string sock = admin_socket();
    if (!mysql_real_connect(conn, "127.0.0.1", admin_user().c_str(),
                            admin_password().empty() ? nullptr : admin_password().c_str(), nullptr,
                            3306, sock.empty() ? nullptr : sock.c_str(), 0)) {
      mysql_close(conn);
      conn = nullptr;
    }
  }
  ~Admin() {
    if (conn) mysql_close(conn);
  }
  std::string escape(const std::string &s) {
    std::string out(s.size() * 2 + 1, '\0');
    out.resize(mysql_real_escape_string(conn, out.data(), s.data(), s.size()));
    return out;
  }
  std::string exec(const std::string &sql) {
    if (!conn) return "no administrator connection";
    if (mysql_real_query(conn, sql.data(), sql.size()) != 0) return sql + ": " + mysql_error(conn);
    if (MYSQL_RES *r = mysql_store_result(conn)) mysql_free_result(r);
    return "";
  }
};

std::string table(uint32_t arg) {
  char n0[ML_TABLE_NAME_LEN] = {}, n1[ML_TABLE_NAME_LEN] = {};
  get_sample_table_names(static_cast<int>(arg), n0, n1, nullptr);
  return n0;
}

// One item per distinct pattern, weighted by its count, as the sample table holds them.
void fill_list(const std::vector<std::string> &values, std::vector<ml_sample_item> *items) {
  std::map<std::string, std::pair<std::string, int>> by_pattern;
  for (const auto &v : values) {
    auto [it, fresh] = by_pattern.try_emplace(pattern_of(v), v, 0);
    it->second.second++;
  }
  for (const auto &[pattern, first] : by_pattern) {
    ml_sample_item it = {};
    it.id = static_cast<int32_t>(items->size());
    it.pattern = strdup(pattern.c_str());
    it.sample_str = strdup(first.first.c_str());
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(first.first.size());
    it.pattern_count = first.second;
    items->push_back(it);
  }
}

std::string write_rows(const std::string &db, uint32_t arg, const ml_hmm_model *m,
                       const ml_sample_list &list, LearnedOut *out) {
  Admin admin;
  for (int i = 0; i < list.count; i++) {
    const ml_sample_item &it = list.items[i];
    double p = ML_HMM_NO_PROB;
    ml_hmm_calc_prob_by_seq(m, it.sequence, it.sequence_len, &p);
    char sql[4096];
    snprintf(sql, sizeof sql,
             "insert into %s.%s (arg_id, sample_str, pattern, pattern_count, "
             "pattern_probability, average_probability, noise_flag) values (%u, '%s', '%s', %d, "
             "%f, %f, %d)",
             db.c_str(), table(arg).c_str(), arg, admin.escape(it.sample_str).c_str(), it.pattern,
             it.pattern_count, p, it.average_probability, it.noise_flag);
    std::string err = admin.exec(sql);
    if (!err.empty()) return err;
    if (it.noise_flag == 0) out->patterns.push_back(it.pattern);
  }
  return "";
}

std::string write_boxplot(redis_conn *conn, const LearnedSpec &s, const ml_hmm_model *m,
                          LearnedOut *out) {
  const size_t n = s.values.size() < kBoxGroup ? s.values.size() : kBoxGroup;
  std::vector<double> scores;
  for (size_t i = s.values.size() - n; i < s.values.size(); i++) {
    double p = 0, second = 0;
    ml_hmm_calc_prob(m, s.values[i].data(), static_cast<uint32_t>(s.values[i].size()), &p, &second);
    scores.push_back(p);
  }
  ml_boxplot box;
  if (ml_calc_boxplot(scores.data(), static_cast<int>(scores.size()), &box) != 0)
    return "boxplot failed";
  out->q4 = box.q4;
  out->q5 = box.q5;
  if (!s.boxplot) return "";
  return mm_write_to_db_boxplot(conn, s.domain, s.arg, &box) == 0 ? "" : "boxplot write failed";
}

}  // namespace

std::string pattern_of(const std::string &value) {
  std::vector<int32_t> syms(value.size() + 1);
  int32_t count = static_cast<int32_t>(syms.size() * sizeof(int32_t));
  if (ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(value.data()),
                            static_cast<uint32_t>(value.size()), syms.data(), &count) != 0)
    return "";
  std::string p;
  for (int32_t i = 0; i < count; i++) p += static_cast<char>('0' + syms[i]);
  return p;
}

void write_domain(uint32_t domain, const std::string &domain_name, const std::string &db) {
  Redis r;
  r.cmd({"HSET", "domain_info:" + std::to_string(domain), "domain", domain_name, "mysql_dbname", db,
         "adomname", "root", "policy_name", "p" + std::to_string(domain)});
}

void write_state(uint32_t domain, uint32_t url, uint32_t arg, const std::string &name, int state) {
  Redis r;
  r.cmd({"HSET", "arg:" + std::to_string(domain) + ":" + std::to_string(arg), "arg_learn_stat",
         std::to_string(state), "events", state == 5 ? "2" : "0", "urlid", std::to_string(url),
         "arg_name", name, "normalcount", "10", "abnormalcount", "0", "start_time",
         std::to_string(time(nullptr))});
}

std::string write_learned(const LearnedSpec &s, const std::string &db, LearnedOut *out) {
  std::vector<ml_sample_item> items;
  fill_list(s.values, &items);
  ml_sample_list list = {0, static_cast<int32_t>(items.size()), 0, nullptr};
  list.items = static_cast<ml_sample_item *>(malloc(items.size() * sizeof(ml_sample_item)));
  memcpy(list.items, items.data(), items.size() * sizeof(ml_sample_item));
  ml_hmm_model *m = nullptr;
  std::string err;
  redis_conn *conn = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!conn || ml_train_hmm_model(&m, &list, kStates) != 0) err = "training failed";
  if (err.empty()) err = write_rows(db, s.arg, m, list, out);
  if (err.empty()) err = write_boxplot(conn, s, m, out);
  if (err.empty() && mm_write_to_db_hmm(conn, s.domain, s.arg, m) != 0) err = "model write failed";
  if (err.empty()) {
    write_state(s.domain, s.url, s.arg, s.name, s.state);
    Redis r;
    r.cmd({"HSET", "arg:" + std::to_string(s.domain) + ":" + std::to_string(s.arg), "normalcount",
           std::to_string(s.values.size())});
  }
  ml_hmm_free(m);
  ml_free_sample_items(&list);
  redisconn_free(conn);
  return err;
}

std::string add_learned_row(const std::string &db, uint32_t arg, const std::string &value,
                            const std::string &pattern, int count) {
  Admin admin;
  return admin.exec("insert into " + db + "." + table(arg) +
                    " (arg_id, sample_str, pattern, pattern_count, noise_flag) values (" +
                    std::to_string(arg) + ", '" + admin.escape(value) + "', '" + pattern + "', " +
                    std::to_string(count) + ", 0)");
}

void delete_domain_keys(uint32_t domain) {
  Redis r;
  const std::string d = std::to_string(domain);
  r.del_pattern("arg:" + d + ":*");
  r.del_pattern("arg:boxplot:" + d + ":*");
  r.del_pattern("arg:manuals:" + d + ":*");
  r.cmd({"DEL", "domain_info:" + d});
}

std::vector<std::string> traffic(const std::string &kind, int n, uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&](const std::vector<std::string> &v) { return v[rng() % v.size()]; };
  const std::vector<std::string> first = {"anna",  "jean",  "marie", "paul", "lea",   "hugo",
                                          "chloe", "louis", "emma",  "noah", "sofia", "liam"};
  const std::vector<std::string> last = {"Martin", "Bernard", "Dubois",   "Moreau",    "Laurent",
                                         "Garcia", "Roux",    "Fontaine", "Chevalier", "Nguyen"};
  const std::vector<std::string> words = {"great",  "product", "fast", "delivery",
                                          "thanks", "the",     "size", "fits",
                                          "well",   "would",   "buy",  "again"};
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) {
    std::string v;
    if (kind == "qty") {
      v = std::to_string(1 + rng() % (rng() % 10 == 0 ? 250 : 9));
    } else if (kind == "email") {
      v = pick(first) + (rng() % 3 == 0 ? "." + pick(last) : std::to_string(rng() % 100)) + "@" +
          pick({"example.com", "mail.fr", "shop.net", "post.de"});
      for (auto &c : v) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    } else if (kind == "name") {
      std::string f = pick(first);
      f[0] = static_cast<char>(toupper(static_cast<unsigned char>(f[0])));
      v = f + " " + pick(last);
    } else if (kind == "price") {
      v = std::to_string(1 + rng() % 400) + "." + std::to_string(10 + rng() % 90);
    } else if (kind == "date") {
      char b[16];
      snprintf(b, sizeof b, "2026-%02u-%02u", static_cast<unsigned>(1 + rng() % 12),
               static_cast<unsigned>(1 + rng() % 28));
      v = b;
    } else {
      int k = 2 + static_cast<int>(rng() % 6);
      for (int j = 0; j < k; j++) v += (j ? " " : "") + pick(words);
    }
    out.push_back(v);
  }
  return out;
}

}  // namespace mlt
