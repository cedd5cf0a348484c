// Real-traffic detection benchmark: the verdict on requests people really
// sent, and on the same requests tampered with or injected.
//
//   real_traffic_bench [--show-held-out] LOG... [--held-out LOG]...
//
// Input: access logs (combined format, or any line holding "METHOD URI
// HTTP/x"); real-traffic.sh says where they come from. Each log is a data set
// of its own, learned and judged as its own domain: its requests with a query
// string are split in time order, the first 60% train, the rest are held out.
// The logs given plainly are the tuning sets, reported each and together
// ("tuning"). A log given with --held-out is kept for checking the rules
// tuned on the others: it is parsed and learned, but its figures are judged
// and printed only with --show-held-out, so that a tuning session does not
// see them by accident.
//
// Per (URL, argument name) the training values are learned as the daemon
// learns its samples (bench/detection/learn.h). An argument with fewer than
// kMinTrain non-empty training samples stays unlearned and is not judged;
// empty values are not judged either (they carry no pattern to score).
//
// Every held-out request with a learned argument is judged as is (false
// positives) and once per anomaly kind with one argument tampered with
// (tamper.h): one character of another class appended, inserted or replacing
// one, letters or a sign in a digit field, the value made four times longer,
// percent-encoded, replaced by a wfuzz injection line or followed by a filled
// sqlmap payload, and an argument name the URL never had ("unknown"). A
// request is caught when any of its values is flagged (or, for the verdict, a
// name is unknown). The verdict is the library's own judge_value on an entry
// built in memory, as mlv_judge_* builds it from Redis and the learning
// database: "verdict" counts potential and definite, "definite" definite
// only; the plain variant also shows a score below q5, below q4, and the
// verdict with the derived rules switched off ("no rules").
//
// Repetition variants (tamper.h, kRepeats): the training requests of each log
// arrive as repeat_order says (every request twice or three times in a row,
// sent again a few requests later, or some in bursts of hundreds) before
// anything is learned, so that pattern counts, sketches, the noise rule,
// readiness and the boxplot of the newest samples all see the repeated
// stream. The held-out requests and their tampering are the same in every
// variant: drawn once, with one seed, against the plain variant's model. An
// argument that only repetition made learned is judged where it occurs in
// those requests (the "judged only there" values below).
// "Repetition invariance" is the share of the values judged in the plain
// variant (held out as is, and the tampered ones) whose verdict (normal,
// potential, definite) differs under k2 or twins.
//
// REAL_BENCH_MISSES=<kind> prints, for the plain variant of the tuning sets,
// the changed values of that kind the verdict missed; any value also prints
// the held-out values it flagged and the arguments flagged most.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/detection/bench_text.h"
#include "bench/detection/learn.h"
#include "bench/detection/tamper.h"
#include "verdict/verdict_cache.h"

namespace {

using detection::Attacks;
using detection::digit_field;
using detection::kKindCount;
using detection::kKinds;
using detection::kRepeatCount;
using detection::kRepeats;
using detection::Rng;
using Args = std::vector<std::pair<std::string, std::string>>;

// Samples, as the daemon's readiness counts them: a request sent again is a
// sample again, so repetition can make more arguments learned.
constexpr int kMinTrain = 50;
constexpr uint64_t kTamperSeed = 20261206;
constexpr uint64_t kRepeatSeed = 20261207;

struct Request {
  std::string url;
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
bool parse_line(const std::string &line, Request *out) {
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
  out->url = uri.substr(0, qm);
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

// Operating points: score below q5, below q4, the verdict without and with
// the derived rules (potential or definite), and with the rules definite only.
constexpr int kOps = 5;
constexpr int kVerdictOp = 3, kDefiniteOp = 4;

struct Model {
  std::map<std::string, std::unique_ptr<mlv::arg_entry>> args;  // url \x1f name
  std::map<std::string, std::set<std::string>> names;           // url -> names seen in training
  int learned = 0;
};

std::string key(const std::string &url, const std::string &name) { return url + '\x1f' + name; }

mlv::arg_entry *learned_arg(const Model &m, const std::string &url, const std::string &name) {
  auto it = m.args.find(key(url, name));
  return it == m.args.end() ? nullptr : it->second.get();
}

// Learns every argument with enough samples from the training requests in
// the order they arrive (indices into train, each as often as it is sent).
void learn_all(const std::vector<Request> &train, const std::vector<size_t> &order, Model *m) {
  std::map<std::string, std::vector<std::string>> samples;
  for (size_t i : order)
    for (const auto &[name, v] : train[i].args) {
      m->names[train[i].url].insert(name);
      if (!v.empty()) samples[key(train[i].url, name)].push_back(v);
    }
  for (const auto &[k, vs] : samples)
    if (vs.size() >= static_cast<size_t>(kMinTrain) &&
        (m->args[k] = detection::learn_like_daemon(vs)))
      m->learned++;
}

// The verdict codes kept per value to compare variants.
constexpr int8_t kNotJudged = -1, kNormal = 0, kPotential = 1, kDefinite = 2;

// Flags of one value at each operating point and its verdict code.
int8_t judge_arg(const Model &m, const std::string &url, const std::string &name,
                 const std::string &v, bool flags[kOps]) {
  mlv::arg_entry *e = learned_arg(m, url, name);
  if (!e || v.empty()) return kNotJudged;
  if (v.size() > MLV_MAX_VALUE_LEN) {
    for (int k = 0; k < kOps; ++k) flags[k] = true;
    return kDefinite;
  }
  mlv_result r;
  const bool derived = e->rules.derived;
  e->rules.derived = false;
  const int before = mlv::judge_value(*e, v.data(), v.size(), 0, &r);
  e->rules.derived = derived;
  const int after = mlv::judge_value(*e, v.data(), v.size(), 0, &r);
  flags[0] = r.score < e->q5;
  flags[1] = r.score < e->q4;
  flags[2] = before == MLV_POTENTIAL || before == MLV_DEFINITE;
  flags[3] = after == MLV_POTENTIAL || after == MLV_DEFINITE;
  flags[4] = after == MLV_DEFINITE;
  return after == MLV_DEFINITE ? kDefinite : after == MLV_POTENTIAL ? kPotential : kNormal;
}

// A held-out request as judged: as is (kind -1) or tampered with kKinds[kind]
// at argument `at` (-1 for none).
struct Case {
  int kind = -1;
  long at = -1;
  Request req;
};

// The judgement of a case: per request at each operating point, and the
// verdict code of every argument.
struct Outcome {
  bool req[kOps] = {};
  bool unknown = false;
  std::vector<int8_t> verdicts;
};

// As the verdict: a name is unknown only when every argument of the URL is
// learned (so that a new argument is not an attack while its URL learns).
bool names_closed(const Model &m, const std::string &url) {
  const auto names = m.names.find(url);
  return names != m.names.end() &&
         std::all_of(names->second.begin(), names->second.end(),
                     [&](const std::string &n) { return learned_arg(m, url, n) != nullptr; });
}

Outcome judge_case(const Model &m, const Case &c) {
  Outcome o;
  const bool closed = names_closed(m, c.req.url);
  for (const auto &[name, v] : c.req.args) {
    if (closed && !m.names.at(c.req.url).count(name)) o.unknown = true;
    bool f[kOps] = {};
    o.verdicts.push_back(judge_arg(m, c.req.url, name, v, f));
    for (int k = 0; k < kOps; ++k) o.req[k] |= f[k];
  }
  for (int k = 2; k < kOps; ++k) o.req[k] |= o.unknown;
  return o;
}

// Arguments of r that can be judged (learned, value not empty).
std::vector<size_t> judged_args(const Model &m, const Request &r) {
  std::vector<size_t> out;
  for (size_t i = 0; i < r.args.size(); ++i)
    if (learned_arg(m, r.url, r.args[i].first) && !r.args[i].second.empty()) out.push_back(i);
  return out;
}

// One anomalous request of kind made from r, or false.
bool make_anomaly(const Model &m, const std::string &kind, const Request &r, const Attacks &a,
                  Rng &rng, Case *out) {
  out->req = r;
  if (kind == "unknown_name") {
    const auto &known = m.names.at(r.url);
    for (const char *n : {"debug", "admin", "cmd", "file", "redirect", "callback", "q", "page"})
      if (!known.count(n)) {
        out->req.args.emplace_back(n, "1");
        out->at = static_cast<long>(out->req.args.size() - 1);
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
  out->at = static_cast<long>(i);
  return detection::tamper(kind, r.args[i].second, a, rng, &out->req.args[i].second);
}

// The held-out requests with a learned argument as is, then each kind's
// tampered requests, drawn against the plain variant's model.
std::vector<Case> make_cases(const Model &plain, const std::vector<Request> &held,
                             const Attacks &attacks) {
  std::vector<Case> cases;
  std::vector<const Request *> judged;
  for (const Request &r : held)
    if (plain.names.count(r.url) && !judged_args(plain, r).empty()) {
      judged.push_back(&r);
      cases.push_back({-1, -1, r});
    }
  Rng rng(kTamperSeed);
  for (int k = 0; k < kKindCount; ++k)
    for (const Request *r : judged) {
      Case c;
      c.kind = k;
      if (make_anomaly(plain, kKinds[k], *r, attacks, rng, &c)) cases.push_back(std::move(c));
    }
  return cases;
}

}  // namespace

namespace {

// Columns of a row: the held-out requests as is, each kind, all tampered and
// injected (every kind but unknown names), and all anomalies.
constexpr int kNormalCol = 0;
constexpr int kTamperedCol = kKindCount + 1;
constexpr int kAllCol = kKindCount + 2;
constexpr int kCols = kKindCount + 3;

struct Tally {
  long n[kCols] = {};
  long caught[kCols][kOps] = {};
  long compared = 0, changed = 0, only_here = 0;  // values against the plain variant
  int learned = 0;

  void add(const Tally &o) {
    for (int c = 0; c < kCols; ++c) {
      n[c] += o.n[c];
      for (int k = 0; k < kOps; ++k) caught[c][k] += o.caught[c][k];
    }
    compared += o.compared, changed += o.changed, only_here += o.only_here;
    learned += o.learned;
  }
};

void tally_case(const Case &c, const Outcome &o, Tally *t) {
  std::vector<int> cols{c.kind + 1};
  if (c.kind >= 0) cols.push_back(kAllCol);
  if (c.kind >= 0 && std::strcmp(kKinds[c.kind], "unknown_name") != 0) cols.push_back(kTamperedCol);
  for (int col : cols) {
    t->n[col]++;
    for (int k = 0; k < kOps; ++k) t->caught[col][k] += o.req[k];
  }
}

// Compares the verdicts of the values that count (all of a request as is,
// the tampered one otherwise) with the plain variant's.
void compare(const Case &c, const Outcome &plain, const Outcome &o, Tally *t) {
  for (size_t i = 0; i < o.verdicts.size(); ++i) {
    if (c.at >= 0 && static_cast<long>(i) != c.at) continue;
    if (plain.verdicts[i] == kNotJudged) {
      t->only_here += o.verdicts[i] != kNotJudged;
      continue;
    }
    t->compared++;
    t->changed += o.verdicts[i] != plain.verdicts[i];
  }
}

double pct(long a, long b) {
  return b ? 100.0 * static_cast<double>(a) / static_cast<double>(b) : 0.0;
}

const char *column_name(int col) {
  if (col == kNormalCol) return "normal";
  if (col == kTamperedCol) return "tampered";
  if (col == kAllCol) return "all";
  if (std::strcmp(kKinds[col - 1], "unknown_name") == 0) return "unknown";
  return kKinds[col - 1];
}

void print_header(const Tally &t) {
  std::printf("  %-21s", "requests");
  for (int c = 0; c < kCols; ++c) std::printf(" %8.8s", column_name(c));
  std::printf("\n  %-21s", "n");
  for (int c = 0; c < kCols; ++c) std::printf(" %8ld", t.n[c]);
  std::printf("\n");
}

void print_rows(const char *variant, const Tally &t, bool all_ops) {
  static const char *const op_names[kOps] = {"q5", "q4", "no rules", "verdict", "definite"};
  static const int plain_order[] = {kVerdictOp, kDefiniteOp, 0, 1, 2};
  const int rows = all_ops ? kOps : 2;
  for (int r = 0; r < rows; ++r) {
    const int op = plain_order[r];
    char label[64];
    if (r == 0)
      std::snprintf(label, sizeof label, "%-6s %3d %s", variant, t.learned, op_names[op]);
    else
      std::snprintf(label, sizeof label, "%10s %s", "", op_names[op]);
    std::printf("  %-21s", label);
    for (int c = 0; c < kCols; ++c)
      if (t.n[c])
        std::printf(" %7.2f%%", pct(t.caught[c][op], t.n[c]));
      else
        std::printf(" %8s", "-");
    std::printf("\n");
  }
}

void print_invariance(const Tally variants[kRepeatCount]) {
  std::printf("  repetition invariance (values whose verdict differs from plain):");
  for (int v = 1; v < kRepeatCount; ++v) {
    const std::string name = kRepeats[v];
    if (name != "k2" && name != "twins") continue;
    const Tally &t = variants[v];
    std::printf(" %s %.2f%% of %ld (+%ld judged only there);", name.c_str(),
                pct(t.changed, t.compared), t.compared, t.only_here);
  }
  std::printf("\n");
}

void print_table(const Tally variants[kRepeatCount]) {
  print_header(variants[0]);
  for (int v = 0; v < kRepeatCount; ++v) print_rows(kRepeats[v], variants[v], v == 0);
  print_invariance(variants);
}

}  // namespace

namespace {

struct DataSet {
  std::string name;
  bool held_out = false;
  size_t lines = 0;
  std::vector<Request> train, held;
  Tally variants[kRepeatCount];
};

// Reads a log, splitting its requests with arguments in time order.
DataSet load(const std::string &path, bool held_out) {
  DataSet d;
  d.name = path.substr(path.find_last_of('/') + 1);
  d.held_out = held_out;
  std::vector<Request> reqs;
  Request r;
  for (const std::string &line : read_lines(path)) {
    d.lines++;
    if (parse_line(line, &r)) reqs.push_back(r);
  }
  const size_t cut = reqs.size() * 6 / 10;
  d.train.assign(reqs.begin(), reqs.begin() + static_cast<long>(cut));
  d.held.assign(reqs.begin() + static_cast<long>(cut), reqs.end());
  return d;
}

const char *misses_wanted() { return getenv("REAL_BENCH_MISSES"); }

// With REAL_BENCH_MISSES: the held-out values flagged, or the tampered
// values of the kind asked for that were missed.
void print_debug(const Model &m, const Case &c, const Outcome &o) {
  const char *want = misses_wanted();
  const bool normal = c.kind < 0;
  if (!want || (!normal && std::strcmp(want, kKinds[c.kind]) != 0)) return;
  for (size_t i = 0; i < o.verdicts.size(); ++i) {
    if (!normal && static_cast<long>(i) != c.at) continue;
    // REAL_BENCH_POINT=definite: what the point definite lets through.
    const char *point = getenv("REAL_BENCH_POINT");
    const bool strict = !point || std::strcmp(point, "definite") != 0;
    const bool flagged = (strict && o.verdicts[i] == kPotential) || o.verdicts[i] == kDefinite;
    if (o.verdicts[i] == kNotJudged || flagged != normal) continue;
    const auto &[n, v] = c.req.args[i];
    mlv_result res;
    mlv::judge_value(*learned_arg(m, c.req.url, n), v.data(), v.size(), 0, &res);
    std::printf("  %s %s %s=%.60s: %s\n", normal ? "false positive" : "miss", c.req.url.c_str(),
                n.c_str(), v.c_str(), res.reason);
  }
}

// With REAL_BENCH_MISSES: the arguments whose held-out values are flagged most.
void print_worst(const std::vector<Case> &cases, const std::vector<Outcome> &plain) {
  if (!misses_wanted()) return;
  std::map<std::string, std::pair<long, long>> per_arg;  // judged, flagged
  for (size_t i = 0; i < cases.size() && cases[i].kind < 0; ++i)
    for (size_t a = 0; a < plain[i].verdicts.size(); ++a) {
      if (plain[i].verdicts[a] == kNotJudged) continue;
      auto &pa = per_arg[cases[i].req.url + " " + cases[i].req.args[a].first];
      pa.first++;
      pa.second += plain[i].verdicts[a] != kNormal;
    }
  std::vector<std::pair<double, std::string>> worst;
  for (const auto &[k, c] : per_arg)
    if (c.second) worst.emplace_back(pct(c.second, c.first), k);
  std::sort(worst.rbegin(), worst.rend());
  std::printf("  held-out values flagged by the verdict, worst arguments:%s\n",
              worst.empty() ? " none" : "");
  for (size_t i = 0; i < worst.size() && i < 8; ++i)
    std::printf("  %6.2f%% of %5ld  %s\n", worst[i].first, per_arg.at(worst[i].second).first,
                worst[i].second.c_str());
}

// Learns a data set under every repetition variant and, when judge is set,
// judges its held-out cases under each.
void run(DataSet *d, size_t index, const Attacks &attacks, bool judge) {
  std::vector<Case> cases;
  std::vector<Outcome> plain;
  for (int v = 0; v < kRepeatCount; ++v) {
    Rng rng(kRepeatSeed + 1000 * index + static_cast<uint64_t>(v));
    Model m;
    learn_all(d->train, detection::repeat_order(d->train.size(), v, rng), &m);
    Tally &t = d->variants[v];
    t.learned = m.learned;
    if (!judge) continue;
    if (v == 0) cases = make_cases(m, d->held, attacks);
    const bool debug = v == 0 && !d->held_out;
    for (size_t i = 0; i < cases.size(); ++i) {
      Outcome o = judge_case(m, cases[i]);
      tally_case(cases[i], o, &t);
      if (debug) print_debug(m, cases[i], o);
      if (v == 0)
        plain.push_back(std::move(o));
      else
        compare(cases[i], plain[i], o, &t);
    }
    if (debug) print_worst(cases, plain);
  }
}

void print_title(const DataSet &d) {
  const char *what = d.held_out           ? "held-out set"
                     : d.name == "tuning" ? "the tuning sets"
                                          : "tuning";
  std::printf("%s (%s): %zu lines, %zu requests with arguments (%zu train, %zu held out)\n",
              d.name.c_str(), what, d.lines, d.train.size() + d.held.size(), d.train.size(),
              d.held.size());
}

void print_figures(const DataSet &d, bool figures) {
  if (figures) {
    print_table(d.variants);
  } else {
    std::printf("  arguments learned:");
    for (int v = 0; v < kRepeatCount; ++v)
      std::printf(" %s %d", kRepeats[v], d.variants[v].learned);
    std::printf("; its figures are not shown (--show-held-out shows them)\n");
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<DataSet> sets;
  bool show_held_out = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--show-held-out") == 0) {
      show_held_out = true;
    } else if (std::strcmp(argv[i], "--held-out") == 0 && i + 1 < argc) {
      sets.push_back(load(argv[++i], true));
    } else {
      sets.push_back(load(argv[i], false));
    }
  }
  if (std::none_of(sets.begin(), sets.end(), [](const DataSet &d) { return !d.held_out; })) {
    std::fprintf(stderr, "usage: %s [--show-held-out] LOG... [--held-out LOG]...\n", argv[0]);
    return 2;
  }
  const Attacks attacks = detection::load_attacks();
  if (attacks.wfuzz.empty() || attacks.sqlmap.empty()) {
    std::fprintf(stderr, "missing payloads: run bench/detection/install-deps.sh first\n");
    return 2;
  }
  DataSet tuning;
  tuning.name = "tuning";
  for (size_t i = 0; i < sets.size(); ++i) {
    DataSet &d = sets[i];
    if (d.held_out) continue;
    print_title(d);
    run(&d, i, attacks, true);
    print_figures(d, true);
    tuning.lines += d.lines;
    tuning.train.insert(tuning.train.end(), d.train.begin(), d.train.end());
    tuning.held.insert(tuning.held.end(), d.held.begin(), d.held.end());
    for (int v = 0; v < kRepeatCount; ++v) tuning.variants[v].add(d.variants[v]);
  }
  print_title(tuning);
  print_figures(tuning, true);
  for (size_t i = 0; i < sets.size(); ++i) {
    if (!sets[i].held_out) continue;
    print_title(sets[i]);
    run(&sets[i], i, attacks, show_held_out);
    print_figures(sets[i], show_held_out);
  }
  return 0;
}
