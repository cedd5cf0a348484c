// Verdict library: the judgement of one value against a learned argument.
//
// Order: a learned pattern is normal; then the rules derived from the learned
// patterns at load time; then the fences of the newest boxplot (below q4 only
// where the argument is narrow or something in the value is new). The rules come
// first because the model forgives what they catch: a per-symbol likelihood
// averages one foreign symbol away in a long value, and a learned value with
// one character appended scores nearly as well as the value itself.
//
// The rules speak of what is new: the patterns the trainer set aside as noise
// were seen while learning, so their symbols, neighbours and shapes are not
// new to them; the fences judge such values (they are not learned either).
//
// Each rule needs evidence before it speaks, so an argument learned from few
// or very varied values is left to the fences:
// - closed shape set: when the patterns seen once are a tiny share of all the
//   values (Good-Turing: the chance that the next value has a new pattern),
//   the learned patterns are all the shapes the argument takes;
// - foreign symbol: a symbol no learned pattern has, once the symbols seen in
//   a single value are as rare (Good-Turing again) and 100 values were seen;
// - foreign pair: two symbols next to each other (or a symbol at the start or
//   the end) as in no learned pattern, under the same evidence: a digit
//   inside a word, a letter after a number, a sign appended;
// - length: a pattern far longer than the longest learned one;
// and one rule that keeps a value normal: numbers no longer than learned in a
// learned shape (the skeleton). Judging reads the entry only and allocates
// nothing.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "verdict/verdict_cache.h"

namespace mlv {

namespace {

// Values needed before a new pattern or a new symbol may be called foreign.
constexpr int64_t kMinEvidence = 100;
// Largest chance of a new pattern (patterns seen once / values) for which
// the learned patterns count as closed.
constexpr double kClosedShare = 0.005;
// Smallest chance of a new pattern for which an argument counts as varied:
// one value in twenty brings a shape never seen.
constexpr double kVariedShare = 0.05;
// Copies of one request looked for (retries, double submits, GET/POST
// twins), the patterns needed to see them, and the share of the patterns
// whose counts they must divide.
constexpr int kReplayMax = 6;
constexpr size_t kReplayMinPatterns = 8;
constexpr double kReplayShare = 0.9;
// Evidence below this is one value seen once (or its copies).
constexpr double kSingle = 1.5;

// Symbol counts bound the edit distance from below: an insertion or a
// deletion changes one count by one, a replacement two, so the distance is
// at least half the L1 difference of the histograms. Checking that first
// skips most of the distance tables of a search over many patterns.
constexpr int kHistBins = 48;  // every symbol is below 44; anything else shares the last bin
int hist_bin(char c) {
  const unsigned k = static_cast<unsigned char>(c) - static_cast<unsigned>('0');
  return k < kHistBins ? static_cast<int>(k) : kHistBins - 1;
}

int histogram_bound(const int16_t *value_hist, std::string_view text) {
  int16_t diff[kHistBins];
  std::memcpy(diff, value_hist, sizeof diff);
  for (char c : text) diff[hist_bin(c)]--;
  int l1 = 0;
  for (int k = 0; k < kHistBins; ++k) l1 += diff[k] < 0 ? -diff[k] : diff[k];
  return (l1 + 1) / 2;
}

// The MLV_NEAREST learned patterns nearest to the value's, nearest first;
// among equals the more frequent, then the smaller text.
void find_nearest(const arg_entry &e, std::string_view pattern, mlv_result *out) {
  out->nearest_count = 0;
  int16_t value_hist[kHistBins] = {};
  for (char c : pattern) value_hist[hist_bin(c)]++;
  for (const auto &[text, count] : e.by_count) {
    const bool full = out->nearest_count == MLV_NEAREST;
    // A pattern no more frequent than the third must come strictly nearer.
    const int limit = !full ? MLV_MAX_VALUE_LEN
                            : out->nearest[MLV_NEAREST - 1].distance -
                                  (count < out->nearest[MLV_NEAREST - 1].count ? 1 : 0);
    const int len_diff = static_cast<int>(pattern.size()) - static_cast<int>(text.size());
    if (limit < 0 || len_diff > limit || -len_diff > limit ||
        histogram_bound(value_hist, text) > limit)
      continue;
    const int d = edit_distance(pattern, text, limit);
    if (d > limit) continue;
    mlv_near cand = {};
    cand.distance = d;
    cand.count = count;
    snprintf(cand.pattern, sizeof cand.pattern, "%.*s", static_cast<int>(text.size()), text.data());
    auto before = [](const mlv_near &x, const mlv_near &y) {
      if (x.distance != y.distance) return x.distance < y.distance;
      if (x.count != y.count) return x.count > y.count;
      return strcmp(x.pattern, y.pattern) < 0;
    };
    int pos = out->nearest_count;
    while (pos > 0 && before(cand, out->nearest[pos - 1])) pos--;
    if (pos >= MLV_NEAREST) continue;
    int last = std::min(out->nearest_count, MLV_NEAREST - 1);
    for (int i = last; i > pos; i--) out->nearest[i] = out->nearest[i - 1];
    out->nearest[pos] = cand;
    if (out->nearest_count < MLV_NEAREST) out->nearest_count++;
  }
}

// The first symbol of pattern no learned pattern has, or -1.
int foreign_symbol(const arg_rules &r, std::string_view pattern) {
  for (char c : pattern) {
    const int k = c - '0';
    if (k < 0 || k >= 64 || !(r.symbols >> k & 1)) return k;
  }
  return -1;
}

// Index of a pattern character in the pair table, or -1 outside the alphabet.
int pair_index(char c) {
  const int k = c - '0';
  return k >= 0 && k < arg_rules::kEdge ? k : -1;
}

// Calls f(a, b) for every neighbouring pair of pattern, the start and the end
// included (kEdge); stops early when f returns false.
template <class F>
bool for_each_pair(std::string_view pattern, F f) {
  int prev = arg_rules::kEdge;
  for (char c : pattern) {
    const int k = pair_index(c);
    if (k < 0) return false;
    if (!f(prev, k)) return false;
    prev = k;
  }
  return f(prev, arg_rules::kEdge);
}

// The first neighbouring pair of pattern no learned pattern has: a letter
// inside a number, a digit after a capital, a sign at the end. False when
// every pair was learned.
bool foreign_pair(const arg_rules &r, std::string_view pattern, int *a, int *b) {
  return !for_each_pair(pattern, [&](int x, int y) {
    if (r.pairs[x] >> y & 1) return true;
    *a = x;
    *b = y;
    return false;
  });
}

// How a pair is written in a reason: the edge as '^' (start) or '$' (end).
char pair_char(int k, char edge) {
  return k == arg_rules::kEdge ? edge : static_cast<char>('0' + k);
}

// Pattern symbols whose runs the skeleton folds: the digit and the long-run
// mark. Numbers vary in length in every real argument (ids, counts, tokens);
// letters do not fold, or "tLreeInbox" would pass for "treePersFolder".
bool folds(char c) { return c == '0' + 2 || c == '0' + 38; }

}  // namespace

size_t skeleton(std::string_view pattern, char *out, char *runs) {
  size_t n = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (i == 0 || pattern[i] != pattern[i - 1] || !folds(pattern[i])) {
      if (runs) runs[n] = 0;
      out[n++] = pattern[i];
    }
    if (runs) runs[n - 1]++;
  }
  return n;
}

namespace {

// Every run of the value no longer than the longest learned at its place: a
// number may have fewer digits than the learned ones in the same shape, not
// more. Allowing one more took a quantity of one or two digits given four
// (a value made four times longer) for a learned shape; what it kept normal
// was a counter passing 99, which the fences judge instead.
bool runs_within(const char *runs, const std::string &learned) {
  for (size_t i = 0; i < learned.size(); ++i)
    if (runs[i] > learned[i]) return false;
  return true;
}

// A pattern longer than this is far beyond the learned ones.
int32_t length_limit(const arg_rules &r) { return r.max_len + std::max(4, r.max_len / 2); }

// The verdict of the derived rules, or -1 when none applies and the fences
// decide.
int judge_rules(const arg_entry &e, std::string_view pattern, mlv_result *out) {
  const arg_rules &r = e.rules;
  if (!r.derived) return -1;
  if (r.symbols_known) {
    const int k = foreign_symbol(r, pattern);
    if (k >= 0)
      return set_verdict(out, MLV_DEFINITE, "symbol '%c' in no learned pattern of %lld values",
                         static_cast<char>('0' + k), static_cast<long long>(r.total));
  }
  int a = 0, b = 0;
  if (r.pairs_known && foreign_pair(r, pattern, &a, &b))
    return set_verdict(out, MLV_DEFINITE,
                       "symbols '%c%c' next to each other in no learned pattern of %lld values",
                       pair_char(a, '^'), pair_char(b, '$'), static_cast<long long>(r.total));
  if (static_cast<int32_t>(pattern.size()) > length_limit(r))
    return set_verdict(out, MLV_DEFINITE, "pattern of %zu symbols, learned ones at most %d",
                       pattern.size(), r.max_len);
  char folded[MLV_PATTERN_CAP], runs[MLV_PATTERN_CAP];
  const size_t n = skeleton(pattern, folded, runs);
  const auto shape = e.skeletons.find(std::string_view(folded, n));
  if (shape != e.skeletons.end() && runs_within(runs, shape->second))
    return set_verdict(out, MLV_NORMAL, "learned shape with shorter numbers (score %.3f)",
                       out->score);
  if (r.closed && e.noise.find(pattern) == e.noise.end())
    return set_verdict(out, MLV_DEFINITE, "new pattern; %zu learned patterns cover its %lld values",
                       e.patterns.size(), static_cast<long long>(r.total));
  return -1;
}

}  // namespace

namespace {

// The chance that the next value brings something unseen, when `once` things
// were seen in a single value out of `values` (Good-Turing, plus one so that
// nothing seen once still leaves a chance of 1 / (values + 1)).
double good_turing(int64_t once, int64_t values) {
  return static_cast<double>(once + 1) / static_cast<double>(values + 1);
}

// A model stored before the long-run symbol existed has fewer symbols, and
// its learned patterns were made without the mark: the value is judged as it
// was generalised then, until the daemon learns the argument again.
int32_t drop_unknown_marks(const arg_entry &e, int32_t *syms, int32_t count) {
  const int32_t mark = ML_HMM_SYMBOLS - 1;
  if (!e.model || e.model->symbol_count > mark) return count;
  int32_t n = 0;
  for (int32_t i = 0; i < count; i++)
    if (syms[i] != mark) syms[n++] = syms[i];
  return n;
}

}  // namespace

namespace {

// How many copies of each request this argument's traffic carries: 2 where
// every form is sent as GET and then as POST, or every request is retried
// once; 1 where requests come once. Copies multiply every value's count, so
// every pattern's count is then a multiple of the number of copies, which
// natural traffic almost never is (half its counts are odd). The largest k
// up to kReplayMax that divides nearly all the counts; 1 when the argument
// has too few patterns to tell. A burst of one value (a crawler, a probe)
// changes one count and not the answer.
int replay_unit(const arg_entry &e) {
  if (e.patterns.size() < kReplayMinPatterns) return 1;
  for (int k = kReplayMax; k >= 2; --k) {
    size_t divisible = 0;
    for (const auto &kv : e.patterns) divisible += kv.second.count % k == 0;
    if (static_cast<double>(divisible) >= kReplayShare * static_cast<double>(e.patterns.size()))
      return k;
  }
  return 1;
}

// The evidence one learned pattern gives: its samples less the copies, and
// never less than its distinct values. Sent k times, every count and the
// replay unit grow k-fold and this stays as it was.
double evidence(const learned_pattern &p, int replay) {
  return std::max(static_cast<double>(ml_hmm_distinct_values(p.count, p.value_bits)),
                  static_cast<double>(std::max(p.count, 1)) / static_cast<double>(replay));
}

}  // namespace

void derive_rules(arg_entry *e) {
  arg_rules r;
  double total = 0.0;
  const int replay = replay_unit(*e);
  double symbol_values[64] = {};  // values whose pattern has the symbol
  // values whose pattern has the pair (a, b), counted once per pattern
  std::vector<double> pair_values((arg_rules::kEdge + 1) * (arg_rules::kEdge + 1), 0.0);
  std::vector<uint8_t> in_pattern(pair_values.size(), 0);
  for (const auto *set : {&e->patterns, &e->noise})
    for (const auto &kv : *set) {
      const std::string &text = kv.first;
      const double values = evidence(kv.second, replay);
      std::fill(in_pattern.begin(), in_pattern.end(), 0);
      for_each_pair(text, [&](int a, int b) {
        const size_t i = static_cast<size_t>(a) * (arg_rules::kEdge + 1) + static_cast<size_t>(b);
        if (!in_pattern[i]) pair_values[i] += values;
        in_pattern[i] = 1;
        r.pairs[a] |= uint64_t{1} << b;
        return true;
      });
      uint64_t in_text = 0;
      for (char c : text) {
        const int k = c - '0';
        if (k >= 0 && k < 64) in_text |= uint64_t{1} << k;
      }
      r.symbols |= in_text;
      for (int k = 0; k < 64; ++k)
        if (in_text >> k & 1) symbol_values[k] += values;
      r.max_len = std::max(r.max_len, static_cast<int32_t>(text.size()));
      total += values;
      r.singles += values < kSingle;
    }
  r.derived = !e->patterns.empty();
  e->skeletons.clear();
  char folded[MLV_PATTERN_CAP], runs[MLV_PATTERN_CAP];
  for (const auto &kv : e->patterns) {
    const std::string &text = kv.first;
    if (text.size() >= sizeof folded) continue;
    const size_t n = skeleton(text, folded, runs);
    auto [it, added] = e->skeletons.try_emplace(std::string(folded, n), runs, n);
    if (!added)
      for (size_t i = 0; i < n; ++i) it->second[i] = std::max(it->second[i], runs[i]);
  }
  e->by_count.clear();
  for (const auto &kv : e->patterns) e->by_count.emplace_back(kv.first, kv.second.count);
  std::sort(e->by_count.begin(), e->by_count.end(), [](const auto &x, const auto &y) {
    return x.second != y.second ? x.second > y.second : x.first < y.first;
  });
  r.total = std::llround(total);
  int64_t rare_symbols = 0;  // symbols of a single value
  for (int k = 0; k < 64; ++k) rare_symbols += symbol_values[k] > 0 && symbol_values[k] < kSingle;
  r.symbols_known = r.total >= kMinEvidence && good_turing(rare_symbols, r.total) <= kClosedShare;
  const int64_t rare_pairs = std::count_if(pair_values.begin(), pair_values.end(),
                                           [](double v) { return v > 0 && v < kSingle; });
  r.pairs_known = r.total >= kMinEvidence && good_turing(rare_pairs, r.total) <= kClosedShare;
  r.new_share = good_turing(r.singles, r.total);
  r.closed = r.total >= kMinEvidence && r.new_share <= kClosedShare;
  e->rules = r;
}

namespace {

// The fences of the newest boxplot. Below q4 is only potential, and in an
// argument whose values keep bringing new patterns (names, addresses, free
// text) a new pattern made of learned neighbours is ordinary variety: the
// model scores it low because it is rare, not because anything in it is
// foreign, so it stays normal. In a narrow argument the fence keeps its word.
int judge_fences(const arg_entry &e, std::string_view pattern, double score, mlv_result *out) {
  if (score < e.q5)
    return set_verdict(out, MLV_DEFINITE, "score %.3f below q5 %.3f (%s)", score, e.q5,
                       e.fence_source);
  if (score >= e.q4)
    return set_verdict(out, MLV_NORMAL, "score %.3f not below q4 %.3f (%s)", score, e.q4,
                       e.fence_source);
  int a = 0, b = 0;
  if (e.rules.derived && e.rules.new_share >= kVariedShare &&
      !foreign_pair(e.rules, pattern, &a, &b))
    return set_verdict(out, MLV_NORMAL,
                       "score %.3f below q4 %.3f (%s), but a varied argument and every pair of "
                       "symbols learned",
                       score, e.q4, e.fence_source);
  return set_verdict(out, MLV_POTENTIAL, "score %.3f below q4 %.3f (%s)", score, e.q4,
                     e.fence_source);
}

}  // namespace

int judge_value(const arg_entry &e, const char *value, size_t len, int flags, mlv_result *out) {
  // An empty value carries nothing to judge, and the daemon never learns one
  // (the proxy sends no sample for it): its empty pattern would fall foul of
  // every rule, and "?q=&page=2" would be flagged.
  if (len == 0) return set_verdict(out, MLV_NORMAL, "empty value");
  int32_t syms[MLV_MAX_VALUE_LEN];
  int32_t count = static_cast<int32_t>(sizeof syms);
  if (ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(value),
                            static_cast<uint32_t>(len), syms, &count) != 0)
    return set_verdict(out, MLV_ERROR, "the value could not be generalised");
  count = drop_unknown_marks(e, syms, count);
  for (int32_t i = 0; i < count; i++) out->pattern[i] = static_cast<char>('0' + syms[i]);
  out->pattern[count] = '\0';
  out->pattern_len = count;
  double score = ML_HMM_NO_PROB;
  if (ml_hmm_calc_prob_by_seq(e.model.get(), syms, count, &score) != 0) score = ML_HMM_NO_PROB;
  out->has_score = 1;
  out->score = score;
  out->q4 = e.q4;
  out->q5 = e.q5;
  const std::string_view pattern(out->pattern, static_cast<size_t>(count));
  out->learned_pattern = e.patterns.find(pattern) != e.patterns.end();
  if (flags & MLV_EXPLAIN_NEAREST) find_nearest(e, pattern, out);
  if (out->learned_pattern)
    return set_verdict(out, MLV_NORMAL, "learned pattern (score %.3f, q4 %.3f, q5 %.3f from %s)",
                       score, e.q4, e.q5, e.fence_source);
  const int ruled = judge_rules(e, pattern, out);
  if (ruled >= 0) return ruled;
  return judge_fences(e, pattern, score, out);
}

int set_verdict(mlv_result *out, int verdict, const char *fmt, ...) {
  out->verdict = verdict;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out->reason, sizeof out->reason, fmt, ap);
  va_end(ap);
  return verdict;
}

}  // namespace mlv
