// mlctl model: an argument's model decoded from its texts into matrices, its
// statistics and the fences of every boxplot group.
//
// The emission matrix is printed one row per symbol class and one column per
// state, so it stays narrow; each symbol is named by the bytes that map to it
// (asked of the math library, so the names follow its generalisation).
#include <json-c/json.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/mathmodel/mathmodel.h"
#include "tools/mlctl/mlctl.h"
#include "verdict/verdict.h"
#include "verdict/verdict_cache.h"

namespace mlctl {
namespace {

const char *const kStats[] = {"mean_length", "mean_prob", "prob_mean_ex", "variance_ex"};

// A short name for each symbol: the class of the first byte that maps to it.
std::vector<std::string> symbol_names(int count) {
  std::vector<std::string> names(static_cast<size_t>(count));
  for (int b = 0; b < 256; b++) {
    unsigned char byte = static_cast<unsigned char>(b);
    int32_t sym = 0, n = static_cast<int32_t>(sizeof sym);
    if (ml_hmm_generalize_str(&byte, 1, &sym, &n) != 0 || n != 1 || sym >= count) continue;
    std::string &name = names[static_cast<size_t>(sym)];
    if (!name.empty()) continue;
    name = b >= 0x80               ? "8bit"
           : isdigit(b)            ? "0-9"
           : islower(b)            ? "a-z"
           : isupper(b)            ? "A-Z"
           : b == ' '              ? "' '"
           : b < 0x20 || b == 0x7f ? "ctl"
                                   : std::string(1, static_cast<char>(b));
  }
  for (int s = 0; s < count; s++)
    if (names[static_cast<size_t>(s)].empty())
      names[static_cast<size_t>(s)] = std::string("#") + std::to_string(s);
  return names;
}

struct model_view {
  int n = 0, m = 0;
  std::vector<double> pi, a, b;  // b: n rows of m
  bool ok = false;
};

model_view decode(const std::string &pi, const std::string &a, const std::string &b) {
  model_view v;
  int cp = 0, ca = 0, cb = 0;
  if (!mlv::parse_model_text(pi, &cp, &v.pi) || !mlv::parse_model_text(a, &ca, &v.a) ||
      !mlv::parse_model_text(b, &cb, &v.b))
    return v;
  v.n = static_cast<int>(v.pi.size());
  if (v.n < 1 || ca != v.n || cb != v.n || v.a.size() != v.pi.size() * v.pi.size() ||
      v.b.size() % v.pi.size() != 0)
    return v;
  v.m = static_cast<int>(v.b.size() / v.pi.size());
  v.ok = true;
  return v;
}

void print_matrix_text(const model_view &v) {
  printf("initial (%d states):\n      ", v.n);
  for (int i = 0; i < v.n; i++) printf(" %6.3f", v.pi[static_cast<size_t>(i)]);
  printf("\ntransition (row: from state, column: to state):\n      ");
  for (int j = 0; j < v.n; j++) printf(" %6s", (std::string("s") + std::to_string(j + 1)).c_str());
  for (int i = 0; i < v.n; i++) {
    printf("\n  s%-3d", i + 1);
    for (int j = 0; j < v.n; j++) printf(" %6.3f", v.a[static_cast<size_t>(i * v.n + j)]);
  }
  printf("\nemission (row: symbol, column: state; '.' below 0.001):\n      ");
  for (int j = 0; j < v.n; j++) printf(" %6s", (std::string("s") + std::to_string(j + 1)).c_str());
  const auto names = symbol_names(v.m);
  for (int k = 0; k < v.m; k++) {
    printf("\n  %-4s", names[static_cast<size_t>(k)].c_str());
    for (int i = 0; i < v.n; i++) {
      double p = v.b[static_cast<size_t>(i * v.m + k)];
      p < 0.001 ? printf(" %6s", ".") : printf(" %6.3f", p);
    }
  }
  printf("\n");
}

void print_boxplots_text(const std::vector<std::string> &groups) {
  printf("boxplot groups (%zu, oldest build first; within a build newest samples first):\n",
         groups.size());
  const char *keys[] = {"q1", "q2", "q3", "q4", "q5", "sample_min", "sample_max"};
  for (size_t g = 0; g < groups.size(); g++) {
    json_object *o = json_tokener_parse(groups[g].c_str());
    printf("  %2zu:", g + 1);
    for (const char *k : keys) {
      json_object *v = nullptr;
      if (o && json_object_object_get_ex(o, k, &v))
        printf(" %s %.3f", k, json_object_get_double(v));
    }
    json_object *p = nullptr, *d = nullptr;
    if (o && json_object_object_get_ex(o, "potential_anomaly_cnt", &p) &&
        json_object_object_get_ex(o, "definite_anomaly_cnt", &d))
      printf("  potential %d definite %d", json_object_get_int(p), json_object_get_int(d));
    if (!o) printf(" unreadable: %s", groups[g].c_str());
    printf("\n");
    json_object_put(o);
  }
}

std::string json_list(const std::vector<double> &v, size_t from, size_t n) {
  std::string s = "[";
  for (size_t i = 0; i < n; i++) s += std::string(i ? "," : "") + json_number(v[from + i]);
  return s + "]";
}

void print_json(uint32_t d, uint32_t a, const redisReply *h, const model_view &v,
                const std::vector<std::string> &groups) {
  printf("{\"domain_id\":%u,\"arg_id\":%u,\"name\":%s,\"url_id\":%s,\"state\":%s", d, a,
         json_quote(elem(h, 1)).c_str(), json_quote(elem(h, 2)).c_str(),
         json_quote(mlv_state_name(atoi(elem(h, 0).c_str()))).c_str());
  if (v.ok) {
    printf(",\"states\":%d,\"symbols\":%d,\"initial\":%s,\"transition\":[", v.n, v.m,
           json_list(v.pi, 0, static_cast<size_t>(v.n)).c_str());
    for (int i = 0; i < v.n; i++)
      printf("%s%s", i ? "," : "",
             json_list(v.a, static_cast<size_t>(i * v.n), static_cast<size_t>(v.n)).c_str());
    printf("],\"emission\":[");
    for (int i = 0; i < v.n; i++)
      printf("%s%s", i ? "," : "",
             json_list(v.b, static_cast<size_t>(i * v.m), static_cast<size_t>(v.m)).c_str());
    printf("],\"symbol_names\":[");
    const auto names = symbol_names(v.m);
    for (int k = 0; k < v.m; k++)
      printf("%s%s", k ? "," : "", json_quote(names[static_cast<size_t>(k)]).c_str());
    printf("]");
  }
  printf(",\"statistics\":{");
  for (int s = 0; s < 4; s++)
    printf(
        "%s\"%s\":%s", s ? "," : "", kStats[s],
        elem_nil(h, 6 + s) ? "null" : json_number(strtod(elem(h, 6 + s).c_str(), nullptr)).c_str());
  printf("},\"boxplots\":[");
  for (size_t g = 0; g < groups.size(); g++) {
    json_object *o = json_tokener_parse(groups[g].c_str());
    printf("%s%s", g ? "," : "",
           o ? json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN)
             : json_quote(groups[g]).c_str());
    json_object_put(o);
  }
  printf("]}\n");
}

}  // namespace

int cmd_model(const options &o) {
  uint32_t d = 0, a = 0;
  if (o.args.size() != 2 || !parse_u32(o.args[0], &d) || !parse_u32(o.args[1], &a))
    return usage_error("model", "needs DOMAIN ARG, two numbers");
  redis r;
  if (!r.connect(o.host, o.port)) return service_error("model", "%s", r.error().c_str());
  const std::string ids =
      std::to_string(static_cast<int>(d)) + ":" + std::to_string(static_cast<int>(a));
  auto rep =
      r.pipeline({{"HMGET", "arg:" + ids, "arg_learn_stat", "arg_name", "urlid", "math_model_pi",
                   "math_model_a", "math_model_b", kStats[0], kStats[1], kStats[2], kStats[3]},
                  {"LRANGE", "arg:boxplot:" + ids, "0", "-1"}});
  if (rep.size() != 2 || rep[0]->type != REDIS_REPLY_ARRAY)
    return service_error("model", "%s", r.error().empty() ? "Redis failed" : r.error().c_str());
  const redisReply *h = rep[0].get();
  if (elem_nil(h, 0) && elem_nil(h, 1))
    return usage_error("model", "no argument %u of domain %u", a, d);
  std::vector<std::string> groups;
  for (size_t i = 0; rep[1]->type == REDIS_REPLY_ARRAY && i < rep[1]->elements; i++)
    groups.push_back(elem(rep[1].get(), i));
  const model_view v = decode(elem(h, 3), elem(h, 4), elem(h, 5));
  if (o.json) {
    print_json(d, a, h, v, groups);
    return kOk;
  }
  printf("argument %u of domain %u: '%s' (URL %s), %s\n", a, d, elem(h, 1).c_str(),
         elem(h, 2).c_str(), mlv_state_name(atoi(elem(h, 0).c_str())));
  printf("statistics:");
  for (int s = 0; s < 4; s++)
    printf(" %s %s", kStats[s], elem_nil(h, 6 + s) ? "-" : elem(h, 6 + s).c_str());
  printf("\n");
  if (v.ok)
    print_matrix_text(v);
  else
    printf("no model%s\n", elem_nil(h, 3) ? "" : " (its texts are unreadable)");
  print_boxplots_text(groups);
  return kOk;
}

}  // namespace mlctl
