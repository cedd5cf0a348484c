// Real-traffic detection benchmark: the verdict on requests people really
// sent, and on the same requests tampered with or injected.
//
// Input: access logs (combined format, or any line holding "METHOD URI
// HTTP/x"), one domain per file; get-real-traffic.sh says where they come
// from. Each file's requests with a query string are split in time order:
// the first 60% train, the rest are held out. Per (URL, argument name) the
// training values are handled as the daemon handles its samples: grouped by
// pattern into weighted items, trained with N = 10, the items the trainer
// flags as noise left out of the learned patterns, and the boxplot made of
// the scores of the newest 500 samples. An argument with fewer than
// kMinTrain training values stays unlearned and is not judged; empty values
// are not judged either (they carry no pattern to score).
//
// Every held-out request is judged as is (false positives) and once per
// anomaly kind with one argument tampered with: one character of another
// class appended, inserted or replacing one, letters or a sign in a digit field
// with digits, the value made four times longer, percent-encoded, replaced
// by a wfuzz injection line or followed by a filled sqlmap payload, and an
// argument name the URL never had. Operating points: score below q5, score
// below q4, and the verdict (potential or definite) with and without the
// rules derived from the learned patterns. The verdict is the library's own
// judge_value on an entry built in memory, as mlv_judge_* builds it from
// Redis and the learning database.
//
// REAL_BENCH_MISSES=<kind> prints the changed values of that kind the verdict
// missed; any value also prints the held-out values it flagged.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/detection/bench_text.h"
#include "bench/detection/tamper.h"
#include "platform/mathmodel/mathmodel.h"
#include "verdict/verdict_cache.h"

namespace {

using detection::Attacks;
using detection::digit_field;
using detection::kKinds;
using detection::load_attacks;
using detection::Rng;
using detection::tamper;
using Args = std::vector<std::pair<std::string, std::string>>;

constexpr int kMinTrain = 50;
constexpr int kBoxplotSamples = 500;

struct Request {
  std::string url;  // "<file>#<path>"
  Args args;
};

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string url_decode(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size() && hexval(s[i + 1]) >= 0 && hexval(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexval(s[i + 1]) * 16 + hexval(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The request of one log line, or false when it has no query string.
bool parse_line(const std::string &line, const std::string &file, Request *out) {
  const size_t q = line.find('"');
  if (q == std::string::npos) return false;
  const size_t sp = line.find(' ', q);
  if (sp == std::string::npos) return false;
  const size_t end = line.find(' ', sp + 1);
  if (end == std::string::npos) return false;
  std::string uri = line.substr(sp + 1, end - sp - 1);
  uri = uri.substr(0, uri.find('#'));
  const size_t qm = uri.find('?');
  if (qm == std::string::npos) return false;
  out->url = file + "#" + uri.substr(0, qm);
  out->args.clear();
  std::stringstream ss(uri.substr(qm + 1));
  for (std::string part; std::getline(ss, part, '&');) {
    const size_t eq = part.find('=');
    std::string name = url_decode(part.substr(0, eq));
    if (name.empty()) continue;
    out->args.emplace_back(name, eq == std::string::npos ? "" : url_decode(part.substr(eq + 1)));
  }
  return !out->args.empty();
}

double score_of(const ml_hmm_model *m, const std::string &v) {
  double p = ML_HMM_NO_PROB, second = 0.0;
  ml_hmm_calc_prob(m, v.data(), static_cast<uint32_t>(v.size()), &p, &second);
  return p;
}

// Learns an argument from its training values as the daemon does; null when
// the trainer refuses them.
std::unique_ptr<mlv::arg_entry> learn(const std::vector<std::string> &values) {
  std::map<std::string, std::pair<std::string, int>> by_pattern;
  for (const std::string &v : values) {
    auto &e = by_pattern[pattern_of(v)];
    if (e.second++ == 0) e.first = v;
  }
  ml_sample_list list{};
  list.items = static_cast<ml_sample_item *>(calloc(by_pattern.size(), sizeof(ml_sample_item)));
  std::vector<std::string> keys;
  for (const auto &[pat, e] : by_pattern) {
    ml_sample_item &it = list.items[list.count++];
    it.sample_str = static_cast<char *>(calloc(e.first.size() + 1, 1));
    std::memcpy(it.sample_str, e.first.data(), e.first.size());
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(e.first.size());
    it.pattern = static_cast<char *>(calloc(e.first.size() + 1, 1));
    it.pattern_count = e.second;
    keys.push_back(pat);
  }
  ml_hmm_model *m = nullptr;
  auto e = std::make_unique<mlv::arg_entry>();
  if (ml_train_hmm_model(&m, &list, 10) != 0) {
    ml_free_sample_items(&list);
    return nullptr;
  }
  for (int32_t i = 0; i < list.count; ++i)
    if (list.items[i].noise_flag == 0) e->patterns[keys[i]] = list.items[i].pattern_count;
  ml_free_sample_items(&list);
  e->model.reset(m);
  const size_t n = std::min<size_t>(values.size(), kBoxplotSamples);
  std::vector<double> scores;
  for (size_t i = values.size() - n; i < values.size(); ++i)
    scores.push_back(score_of(m, values[i]));
  ml_boxplot box{};
  ml_calc_boxplot(scores.data(), static_cast<int>(scores.size()), &box);
  e->has_fences = true;
  e->q4 = box.q4;
  e->q5 = box.q5;
  e->fence_source = "boxplot";
  e->state = MLV_STATE_LEARNED;
  mlv::derive_rules(e.get());
  return e;
}

// Operating points: score below q5, below q4, verdict before and after the
// rules (potential or definite), and after the rules definite only.
constexpr int kOps = 5;

struct Model {
  std::map<std::string, std::unique_ptr<mlv::arg_entry>> args;  // url \x1f name
  std::map<std::string, std::set<std::string>> names;           // url -> names seen in training
};

std::string key(const std::string &url, const std::string &name) { return url + '\x1f' + name; }

// Flags of one value at each operating point; false when not judged.
bool judge_arg(Model &m, const std::string &url, const std::string &name, const std::string &v,
               bool flags[kOps]) {
  auto it = m.args.find(key(url, name));
  if (it == m.args.end() || !it->second || v.empty()) return false;
  mlv::arg_entry &e = *it->second;
  if (v.size() > MLV_MAX_VALUE_LEN) {
    for (int k = 0; k < kOps; ++k) flags[k] = true;
    return true;
  }
  mlv_result r;
  const bool derived = e.rules.derived;
  e.rules.derived = false;
  const int before = mlv::judge_value(e, v.data(), v.size(), 0, &r);
  e.rules.derived = derived;
  const int after = mlv::judge_value(e, v.data(), v.size(), 0, &r);
  flags[0] = r.score < e.q5;
  flags[1] = r.score < e.q4;
  flags[2] = before == MLV_POTENTIAL || before == MLV_DEFINITE;
  flags[3] = after == MLV_POTENTIAL || after == MLV_DEFINITE;
  flags[4] = after == MLV_DEFINITE;
  return true;
}

struct Tally {
  long requests = 0, unknown = 0, values = 0;
  long req[kOps] = {}, val[kOps] = {};
};

// Judges a request: per-request flags (values only), unknown names, per-value counts.
void judge_request(Model &m, const Request &r, Tally *t, long tampered,
                   std::map<std::string, std::pair<long, long>> *per_arg) {
  bool any[kOps] = {};
  bool unknown = false;
  const auto names = m.names.find(r.url);
  // As the verdict: a name is unknown only when every argument of the URL is learned.
  const bool all_learned =
      names != m.names.end() &&
      std::all_of(names->second.begin(), names->second.end(), [&](const std::string &n) {
        auto a = m.args.find(key(r.url, n));
        return a != m.args.end() && a->second;
      });
  for (size_t i = 0; i < r.args.size(); ++i) {
    const auto &[name, v] = r.args[i];
    if (all_learned && !names->second.count(name)) unknown = true;
    bool f[kOps] = {};
    if (!judge_arg(m, r.url, name, v, f)) continue;
    const bool counted = tampered < 0 || static_cast<size_t>(tampered) == i;
    if (counted) t->values++;
    for (int k = 0; k < kOps; ++k) {
      any[k] |= f[k];
      if (counted) t->val[k] += f[k];
    }
    if (f[3] && tampered < 0 && getenv("REAL_BENCH_MISSES")) {
      mlv_result res;
      mlv::judge_value(*m.args[key(r.url, name)], v.data(), v.size(), 0, &res);
      std::printf("  false positive %s %s=%.60s: %s\n", r.url.c_str(), name.c_str(), v.c_str(),
                  res.reason);
    }
    if (per_arg && tampered < 0) {
      auto &pa = (*per_arg)[key(r.url, name)];
      pa.first++;
      pa.second += f[3];
    }
  }
  t->requests++;
  t->unknown += unknown;
  for (int k = 0; k < kOps; ++k) t->req[k] += any[k] || (k >= 2 && unknown);
}

double pct(long a, long b) {
  return b ? 100.0 * static_cast<double>(a) / static_cast<double>(b) : 0.0;
}

// Arguments of r that can be judged (learned, value not empty).
std::vector<size_t> judged_args(const Model &m, const Request &r) {
  std::vector<size_t> out;
  for (size_t i = 0; i < r.args.size(); ++i) {
    auto it = m.args.find(key(r.url, r.args[i].first));
    if (it != m.args.end() && it->second && !r.args[i].second.empty()) out.push_back(i);
  }
  return out;
}

// One anomalous request of kind made from r, or false.
bool make_anomaly(const Model &m, const std::string &kind, const Request &r, const Attacks &a,
                  Rng &rng, Request *out, long *tampered) {
  *out = r;
  if (kind == "unknown_name") {
    const auto &known = m.names.at(r.url);
    for (const char *n : {"debug", "admin", "cmd", "file", "redirect", "callback", "q", "page"})
      if (!known.count(n)) {
        out->args.emplace_back(n, "1");
        *tampered = static_cast<long>(out->args.size() - 1);
        return true;
      }
    return false;
  }
  std::vector<size_t> cand = judged_args(m, r);
  if (kind == "letters" || kind == "sign")
    cand.erase(std::remove_if(cand.begin(), cand.end(),
                              [&](size_t i) { return !digit_field(r.args[i].second); }),
               cand.end());
  if (cand.empty()) return false;
  const size_t i = cand[rng() % cand.size()];
  *tampered = static_cast<long>(i);
  return tamper(kind, r.args[i].second, a, rng, &out->args[i].second);
}

}  // namespace

namespace {

// Reads the logs, splitting each in time order into train and held out.
void load_requests(int argc, char **argv, std::vector<Request> *train, std::vector<Request> *held) {
  for (int f = 1; f < argc; ++f) {
    std::vector<Request> reqs;
    Request r;
    for (const std::string &line : read_lines(argv[f]))
      if (parse_line(line, std::to_string(f), &r)) reqs.push_back(r);
    const size_t cut = reqs.size() * 6 / 10;
    train->insert(train->end(), reqs.begin(), reqs.begin() + static_cast<long>(cut));
    held->insert(held->end(), reqs.begin() + static_cast<long>(cut), reqs.end());
  }
}

// Learns every argument with enough training values; returns how many.
int learn_all(const std::vector<Request> &train, Model *m) {
  std::map<std::string, std::vector<std::string>> values;
  for (const Request &r : train)
    for (const auto &[name, v] : r.args) {
      m->names[r.url].insert(name);
      if (!v.empty()) values[key(r.url, name)].push_back(v);
    }
  int learned = 0;
  for (const auto &[k, vs] : values)
    if (vs.size() >= static_cast<size_t>(kMinTrain) && (m->args[k] = learn(vs))) learned++;
  return learned;
}

void print_row(const char *name, const Tally &t) {
  std::printf("%-13s %7ld |", name, t.requests);
  for (int k = 0; k < kOps; ++k) std::printf(" %6.2f%%", pct(t.req[k], t.requests));
  std::printf(" |");
  for (int k = 0; k < kOps; ++k) std::printf(" %6.2f%%", pct(t.val[k], t.values));
  std::printf("\n");
}

// With REAL_BENCH_MISSES=<kind>: the changed value of a request the verdict missed.
void print_miss(Model &m, const char *kind, const Request &a, long at) {
  const char *dbg = getenv("REAL_BENCH_MISSES");
  if (!dbg || std::strcmp(dbg, kind) != 0) return;
  const auto &[n, v] = a.args[static_cast<size_t>(at)];
  bool f[kOps] = {};
  mlv_result res;
  if (!judge_arg(m, a.url, n, v, f) || f[3]) return;
  mlv::judge_value(*m.args[key(a.url, n)], v.data(), v.size(), 0, &res);
  std::printf("  miss %s %s=%.60s: %s\n", a.url.c_str(), n.c_str(), v.c_str(), res.reason);
}

// One row per anomaly kind, then the sums without and with unknown names.
void report_anomalies(Model &m, const std::vector<Request> &held, const Attacks &attacks) {
  Rng rng(20261206);
  Tally all, tampering;
  for (const char *kind : kKinds) {
    Tally t;
    for (const Request &r : held) {
      Request a;
      long at = -1;
      if (!make_anomaly(m, kind, r, attacks, rng, &a, &at)) continue;
      judge_request(m, a, &t, at, nullptr);
      print_miss(m, kind, a, at);
    }
    print_row(kind, t);
    for (Tally *sum : {&all, &tampering}) {
      if (sum == &tampering && std::strcmp(kind, "unknown_name") == 0) continue;
      sum->requests += t.requests;
      sum->values += t.values;
      for (int k = 0; k < kOps; ++k) sum->req[k] += t.req[k], sum->val[k] += t.val[k];
    }
  }
  print_row("values (all)", tampering);
  print_row("all anomalies", all);
}

void report_worst(const std::map<std::string, std::pair<long, long>> &per_arg) {
  std::printf("\nheld-out values flagged by verdict+rules, worst arguments:\n");
  std::vector<std::pair<double, std::string>> worst;
  for (const auto &[k, c] : per_arg)
    if (c.second) worst.emplace_back(pct(c.second, c.first), k);
  std::sort(worst.rbegin(), worst.rend());
  for (size_t i = 0; i < worst.size() && i < 8; ++i) {
    std::string k = worst[i].second;
    std::replace(k.begin(), k.end(), '\x1f', ' ');
    std::printf("  %6.2f%% of %5ld  %s\n", worst[i].first, per_arg.at(worst[i].second).first,
                k.c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ACCESS_LOG...\n", argv[0]);
    return 2;
  }
  const Attacks attacks = load_attacks();
  if (attacks.wfuzz.empty() || attacks.sqlmap.empty()) {
    std::fprintf(stderr, "missing payloads: run bench/detection/install-deps.sh first\n");
    return 2;
  }
  std::vector<Request> train, held;
  load_requests(argc, argv, &train, &held);
  Model m;
  const int learned = learn_all(train, &m);
  std::printf(
      "requests with arguments: %zu train, %zu held out; %d arguments learned "
      "(>= %d non-empty training values)\n\n",
      train.size(), held.size(), learned, kMinTrain);
  std::vector<Request> judged_held;
  for (const Request &r : held)
    if (m.names.count(r.url) && !judged_args(m, r).empty()) judged_held.push_back(r);
  std::map<std::string, std::pair<long, long>> per_arg;
  Tally normal;
  for (const Request &r : judged_held) judge_request(m, r, &normal, -1, &per_arg);
  std::printf("%-13s %7s | per request: %-39s | per value: %s\n", "kind", "n",
              "q5 / q4 / verdict / +rules / definite", "q5 / q4 / verdict / +rules / definite");
  print_row("normal (FP)", normal);
  std::printf("%-13s %7ld   of them with a name their URL never had (unknown_argument)\n", "",
              normal.unknown);
  report_anomalies(m, judged_held, attacks);
  report_worst(per_arg);
  return 0;
}
