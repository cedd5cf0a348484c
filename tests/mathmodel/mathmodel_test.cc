// The math model: generalisation into symbols, the HMM's scoring and
// training, the daemon's training entry point and the boxplot.
#include "platform/mathmodel/mathmodel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using std::string;
using Syms = std::vector<int32_t>;
static_assert(ML_HMM_SYMBOLS <= 44);

struct ModelDeleter {
  void operator()(ml_hmm_model *m) const { ml_hmm_free(m); }
};
using Model = std::unique_ptr<ml_hmm_model, ModelDeleter>;

// Symbols of a string, with a roomy output array; fails the test on error.
Syms symbols_of(const string &s) {
  Syms out(s.size() + 1);
  int32_t count = static_cast<int32_t>(out.size() * sizeof(int32_t));
  EXPECT_EQ(0, ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(s.data()),
                                     static_cast<uint32_t>(s.size()), out.data(), &count));
  out.resize(count);
  return out;
}

TEST(mathmodel_generalize, ClassesAndRunsKeepLengthUpToThree) {
  const auto digit = symbols_of("7")[0], lower = symbols_of("a")[0], upper = symbols_of("A")[0];
  const auto high = symbols_of("\xC3")[0], space = symbols_of(" ")[0];
  EXPECT_EQ(5u, std::set<int32_t>({digit, lower, upper, high, space}).size());
  EXPECT_EQ(symbols_of("0"), symbols_of("9"));
  EXPECT_EQ(symbols_of("qz"), symbols_of("ab"));
  EXPECT_EQ(Syms(3, digit), symbols_of("541910"));
  EXPECT_EQ(Syms(3, lower), symbols_of("abcdefgh"));
  EXPECT_EQ(Syms({high, high}), symbols_of("\xC3\xA9"));  // é
  EXPECT_EQ(Syms({lower, digit, lower, digit}), symbols_of("a1b2"));
  EXPECT_EQ(Syms({upper, lower, lower, lower, space, digit, digit}), symbols_of("Malaga 55"));
  // Every punctuation character is a symbol of its own, and repeats are kept.
  const string punct = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  std::set<int32_t> seen;
  for (char c : punct) seen.insert(symbols_of(string(1, c))[0]);
  EXPECT_EQ(punct.size(), seen.size());
  EXPECT_FALSE(seen.count(digit) || seen.count(lower) || seen.count(space));
  EXPECT_EQ(5u, symbols_of("'''''").size());
  // Every byte gives a symbol below 44, and never more symbols than bytes.
  string all, noise;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::mt19937 rng(11);
  for (int i = 0; i < 1025; ++i) noise.push_back(static_cast<char>(rng() & 0xff));
  for (const string &s : {all, noise, string(1025, 'x')}) {
    const auto syms = symbols_of(s);
    EXPECT_LE(syms.size(), s.size());
    for (int32_t k : syms) EXPECT_TRUE(k >= 0 && k < ML_HMM_SYMBOLS) << k;
  }
}

TEST(mathmodel_generalize, CountIsCapacityInBytesOnInputAndSymbolsOnOutput) {
  // 1025 alternating bytes give 1025 symbols: exactly the daemon's 4100 bytes.
  string alt;
  for (int i = 0; i < 1026; ++i) alt.push_back(i % 2 ? '1' : 'a');
  const auto *v = reinterpret_cast<const unsigned char *>(alt.data());
  Syms out(1025, -7);
  // {bytes, capacity, succeeds, count afterwards (unchanged on failure)}
  for (auto [len, cap, ok, count_out] :
       {std::tuple{1025u, 4100, true, 1025},
        {1026u, 4100, false, 4100},
        {3u, 11, false, 11},  // a capacity that is not a whole number of symbols rounds down
        {3u, 12, true, 3},
        {0u, 4100, true, 0},
        {3u, -4, false, -4}}) {
    int32_t count = cap;
    EXPECT_EQ(ok, 0 == ml_hmm_generalize_str(v, len, out.data(), &count)) << len << "/" << cap;
    EXPECT_EQ(count_out, count) << len << "/" << cap;
  }
  int32_t count = 4100;
  EXPECT_EQ(0, ml_hmm_generalize_str(nullptr, 0, out.data(), &count));
  EXPECT_NE(0, ml_hmm_generalize_str(nullptr, 3, out.data(), &count));
  EXPECT_NE(0, ml_hmm_generalize_str(v, 3, nullptr, &count));
  EXPECT_NE(0, ml_hmm_generalize_str(v, 3, out.data(), nullptr));
}

int draw(const double *p, int n, std::mt19937_64 &rng) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  for (int k = 1; k <= n; ++k)
    if ((u -= p[k]) < 0.0) return k;
  return n;
}

Syms sample(const ml_hmm_model &m, int len, std::mt19937_64 &rng) {
  Syms seq;
  for (int t = 0, s = draw(m.initial, m.state_count, rng); t < len; ++t) {
    seq.push_back(draw(m.emission[s], m.symbol_count, rng) - 1);
    s = draw(m.transition[s], m.state_count, rng);
  }
  return seq;
}

// P(seq) as the sum over every state path.
double brute_force(const ml_hmm_model &m, const Syms &seq) {
  const int n = m.state_count, len = static_cast<int>(seq.size());
  std::vector<int> path(len, 1);
  for (double total = 0.0;;) {
    double p = m.initial[path[0]] * m.emission[path[0]][seq[0] + 1];
    for (int t = 1; t < len; ++t)
      p *= m.transition[path[t - 1]][path[t]] * m.emission[path[t]][seq[t] + 1];
    total += p;
    int t = 0;
    while (t < len && path[t] == n) path[t++] = 1;
    if (t == len) return total;
    ++path[t];
  }
}

TEST(mathmodel_hmm, ForwardEqualsSumOverAllStatePaths) {
  std::mt19937_64 rng(3);
  for (int n : {1, 3, 10}) {
    Model m(ml_hmm_create(n, 6, 100 + n));
    ASSERT_TRUE(m);
    for (int len = 1; len <= (n == 10 ? 4 : 6); ++len) {
      const auto seq = sample(*m, len, rng);
      double ll = 0.0, per_symbol = 0.0;
      ASSERT_EQ(0, ml_hmm_loglik(m.get(), seq.data(), len, &ll));
      EXPECT_NEAR(std::log(brute_force(*m, seq)), ll, 1e-12 * len) << "n=" << n;
      ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), seq.data(), len, &per_symbol));
      EXPECT_DOUBLE_EQ(ll / len, per_symbol);
    }
  }
}

TEST(mathmodel_hmm, LongSequencesScoreFiniteAndBadSequencesScoreDefined) {
  Model m(ml_hmm_create(10, ML_HMM_SYMBOLS, 5)), fresh(ml_hmm_create(10, ML_HMM_SYMBOLS, 5));
  std::mt19937_64 rng(5);
  const auto seq = sample(*m, 1025, rng);
  double p = 0.0, second = 0.0;
  ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), seq.data(), 1025, &p));
  EXPECT_TRUE(std::isfinite(p) && p > -10.0) << p;
  // A 1,025-byte value of every byte value, through the string entry point.
  string all;
  for (int i = 0; i < 1025; ++i) all.push_back(static_cast<char>(i % 256));
  ASSERT_EQ(0, ml_hmm_calc_prob(fresh.get(), all.data(), 1025, &p, &second));
  EXPECT_TRUE(std::isfinite(p) && std::isfinite(second));
  EXPECT_EQ(0, ml_hmm_calc_prob(fresh.get(), "", 0, &p, &second));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  EXPECT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), seq.data(), 0, &p));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  for (int i = 1; i <= 10; ++i) m->emission[i][1] = 0.0;  // a symbol no state emits
  const int32_t zero_sym[] = {1, 0, 2}, outside[] = {1, ML_HMM_SYMBOLS};
  EXPECT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), zero_sym, 3, &p));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  EXPECT_NE(0, ml_hmm_calc_prob_by_seq(m.get(), outside, 2, &p));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  EXPECT_NE(0, ml_hmm_calc_prob_by_seq(nullptr, seq.data(), 3, &p));
}

struct Corpus {
  std::vector<Syms> seqs;
  std::vector<const int32_t *> ptrs;
  std::vector<int64_t> lens;
  void add(const Syms &s, int times = 1) {
    for (int k = 0; k < times; ++k) seqs.push_back(s);
    ptrs.clear();
    lens.clear();
    for (const auto &q : seqs) ptrs.push_back(q.data()), lens.push_back(std::ssize(q));
  }
};

TEST(mathmodel_hmm, BaumWelchClimbsFromItsStartAndNeverDescends) {
  Model truth(ml_hmm_create(4, 8, 7));
  std::mt19937_64 rng(9);
  Corpus c;
  for (int s = 0; s < 300; ++s) c.add(sample(*truth, 3 + static_cast<int>(rng() % 40), rng));
  for (double floor : {0.0, 1e-6}) {
    Model m(ml_hmm_create(4, 8, 99));
    const ml_hmm_bw_opts o{40, 0.0, floor};
    double trace[40];
    int iters = 0;
    ASSERT_EQ(0, ml_hmm_baum_welch(m.get(), c.ptrs.data(), c.lens.data(), nullptr, 300, &o, trace,
                                   40, &iters));
    ASSERT_GT(iters, 10);
    for (int k = 1; k < iters; ++k)
      EXPECT_GE(trace[k], trace[k - 1] - 1e-9 * std::fabs(trace[k - 1])) << k;
    EXPECT_GT(trace[iters - 1], trace[0] + 1.0);
    for (int i = 1; i <= 4; ++i) {
      double row = 0.0;
      for (int k = 1; k <= 8; ++k) row += m->emission[i][k];
      EXPECT_NEAR(1.0, row, 1e-12);
    }
  }
  // Invalid input leaves the model alone.
  Model m(ml_hmm_create(4, 8, 99));
  const int32_t bad[] = {0, 8}, *bad_ptr = bad;
  const int64_t bad_len = 2;
  const double before = m->emission[1][1];
  EXPECT_NE(
      0, ml_hmm_baum_welch(m.get(), &bad_ptr, &bad_len, nullptr, 1, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(before, m->emission[1][1]);
}

TEST(mathmodel_hmm, WeightKEqualsKCopies) {
  std::mt19937_64 rng(21);
  Model truth(ml_hmm_create(3, 5, 1)), a(ml_hmm_create(3, 5, 2)), b(ml_hmm_create(3, 5, 2));
  Corpus weighted, copies;
  std::vector<double> w;
  for (int s = 0; s < 20; ++s) {
    const auto seq = sample(*truth, 5 + s, rng);
    weighted.add(seq);
    copies.add(seq, 1 + s % 4);
    w.push_back(1 + s % 4);
  }
  const ml_hmm_bw_opts o{15, 0.0, 1e-6};
  double ta[15], tb[15];
  ASSERT_EQ(0, ml_hmm_baum_welch(a.get(), weighted.ptrs.data(), weighted.lens.data(), w.data(), 20,
                                 &o, ta, 15, nullptr));
  ASSERT_EQ(0, ml_hmm_baum_welch(b.get(), copies.ptrs.data(), copies.lens.data(), nullptr,
                                 static_cast<int>(copies.seqs.size()), &o, tb, 15, nullptr));
  for (int k = 0; k < 15; ++k) EXPECT_NEAR(ta[k], tb[k], 1e-9 * std::fabs(tb[k]));
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 5; ++j) EXPECT_NEAR(a->emission[i][j], b->emission[i][j], 1e-9);
}

// A sample list built the way the daemon's reader builds it: items grown with
// the system allocator, a private copy of each value, a zeroed pattern buffer.
struct List {
  ml_sample_list l{};
  ~List() { ml_free_sample_items(&l); }
  void add(const string &v, int count, bool with_pattern = true) {
    l.items =
        static_cast<ml_sample_item *>(realloc(l.items, sizeof(ml_sample_item) * (l.count + 1)));
    ml_sample_item &it = l.items[l.count++];
    std::memset(&it, 0, sizeof it);
    it.sample_str = strdup(v.c_str());
    it.pattern = with_pattern ? static_cast<char *>(calloc(v.size() + 1, 1)) : nullptr;
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(v.size());
    it.pattern_count = count;
  }
};

TEST(mathmodel_train, FillsEveryItemFieldAndFlagsTheOddOneOutAsNoise) {
  List list;
  const std::vector<string> values = {"12345", "678", "4021", "7", "99-12", "55"};
  for (size_t i = 0; i < values.size(); ++i) list.add(values[i], 40 - 5 * static_cast<int>(i));
  list.add("1' OR 'x'='x'--", 1);
  list.add("3141", 2, false);  // a sample without a pattern buffer
  ml_hmm_model *m = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&m, &list.l, 10));
  Model owned(m);
  EXPECT_EQ(10, m->state_count);
  EXPECT_EQ(ML_HMM_SYMBOLS, m->symbol_count);
  EXPECT_TRUE(m->mean_length == 0.0 && m->mean_prob == 0.0);
  double w = 0, sum = 0, sq = 0;  // over the non-noise items, weighted by count
  for (int i = 0; i < list.l.count; ++i) {
    const ml_sample_item &it = list.l.items[i];
    const string v(it.sample_str, it.sample_len);
    string pattern;
    for (int32_t k : symbols_of(v)) pattern.push_back(static_cast<char>('0' + k));
    if (it.pattern) {
      EXPECT_EQ(pattern, it.pattern) << v;
    }
    ASSERT_EQ(std::ssize(pattern), it.sequence_len);
    double p = 0.0;
    ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(m, it.sequence, it.sequence_len, &p));
    EXPECT_DOUBLE_EQ(std::exp(p), it.average_probability);
    EXPECT_EQ(v[1] == '\'' ? 1 : 0, it.noise_flag) << v;
    EXPECT_EQ(0.0, it.pattern_probability);
    if (it.noise_flag) continue;
    w += it.pattern_count;
    sum += it.pattern_count * p;
    sq += it.pattern_count * p * p;
  }
  EXPECT_NEAR(sum / w, m->prob_mean_ex, 1e-9);
  EXPECT_NEAR(sq / w - (sum / w) * (sum / w), m->variance_ex, 1e-9);
}

TEST(mathmodel_train, DeterministicAndAPatternCountOfKEqualsKItems) {
  List weighted, copies, again;
  for (List *l : {&weighted, &again}) {
    l->add("Malaga", 3);
    l->add("gie-ming", 1);
    l->add("Paris", 2);
  }
  for (const char *v : {"Malaga", "Malaga", "Malaga", "gie-ming", "Paris", "Paris"})
    copies.add(v, 1);
  ml_hmm_model *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&a, &weighted.l, 10));
  ASSERT_EQ(0, ml_train_hmm_model(&b, &copies.l, 10));
  ASSERT_EQ(0, ml_train_hmm_model(&c, &again.l, 10));
  Model owned[] = {Model(a), Model(b), Model(c)};
  for (int i = 1; i <= 10; ++i) {
    for (int k = 1; k <= ML_HMM_SYMBOLS; ++k) {
      EXPECT_NEAR(a->emission[i][k], b->emission[i][k], 1e-9);
      EXPECT_EQ(a->emission[i][k], c->emission[i][k]);
    }
  }
  EXPECT_NEAR(a->prob_mean_ex, b->prob_mean_ex, 1e-9);
  EXPECT_NEAR(a->variance_ex, b->variance_ex, 1e-9);
  // No minority pattern is thrown away as noise.
  for (int i = 0; i < weighted.l.count; ++i) EXPECT_EQ(0, weighted.l.items[i].noise_flag);
}

TEST(mathmodel_train, NothingTrainableFailsWithoutAModelOrALeak) {
  ml_hmm_model *m = nullptr;
  List empty, blanks, one;
  blanks.add("", 5);
  blanks.add("", 1, false);
  one.add("x", 1);
  for (auto [list, states] : {std::pair{&empty.l, 10},
                              {&blanks.l, 10},
                              {nullptr, 10},
                              {&one.l, 0},
                              {&one.l, ML_HMM_MAX_STATES + 1}}) {
    EXPECT_NE(0, ml_train_hmm_model(&m, list, states));
    EXPECT_EQ(nullptr, m) << states;
  }
  EXPECT_NE(0, ml_train_hmm_model(nullptr, &one.l, 10));
  // Training twice on one list replaces the sequences instead of leaking them.
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(0, ml_train_hmm_model(&m, &one.l, 10));
    ml_hmm_free(m);
  }
  ml_hmm_free(nullptr);
  ml_free_sample_items(nullptr);
  ml_free_sample_items(&one.l);
  EXPECT_EQ(nullptr, one.l.items);
  EXPECT_EQ(0, one.l.count);
}

TEST(mathmodel_boxplot, ExactQuartilesFencesAndCounts) {
  // Sorted: -5 x3, -3.2 x2, -2.5 x4, -2 x116 (index 0..124), -1 x250, 0 x125.
  std::vector<double> v;
  for (auto [n, x] :
       {std::pair{3, -5.0}, {2, -3.2}, {4, -2.5}, {116, -2.0}, {250, -1.0}, {125, 0.0}})
    v.insert(v.end(), n, x);
  std::shuffle(v.begin(), v.end(), std::mt19937(4));
  ml_boxplot b{};
  ASSERT_EQ(0, ml_calc_boxplot(v.data(), 500, &b));
  EXPECT_DOUBLE_EQ(-1.25, b.q1);  // between index 124 (-2) and 125 (-1)
  EXPECT_DOUBLE_EQ(-1.0, b.q2);
  EXPECT_DOUBLE_EQ(-0.75, b.q3);
  EXPECT_DOUBLE_EQ(-2.0, b.q4);  // IQR 0.5
  EXPECT_DOUBLE_EQ(-2.75, b.q5);
  EXPECT_DOUBLE_EQ(-1.0 - 1.57 * 0.5 / std::sqrt(500.0), b.notch_bottom);
  EXPECT_DOUBLE_EQ(-1.0 + 1.57 * 0.5 / std::sqrt(500.0), b.notch_top);
  EXPECT_EQ(-5.0, b.sample_min);
  EXPECT_EQ(0.0, b.sample_max);
  EXPECT_EQ(4, b.potential_anomaly_cnt);  // -2.5; -2.0 sits on the fence
  EXPECT_EQ(5, b.definite_anomaly_cnt);
  for (auto [score, cls] : {std::pair{-2.0, 0}, {-2.5, 1}, {-2.76, 2}, {std::nan(""), 2}})
    EXPECT_EQ(cls, ml_boxplot_classify(&b, score)) << score;
}

TEST(mathmodel_boxplot, ZeroIqrUsesTheSpreadFloorAndBadNumbersStayDefined) {
  std::vector<double> v(500, -0.4);
  v[0] = std::numeric_limits<double>::quiet_NaN();
  v[1] = -std::numeric_limits<double>::infinity();
  v[2] = std::numeric_limits<double>::infinity();
  v[3] = -1.0;  // within 1.5 * 0.5 of q1: normal
  v[4] = -1.5;  // potential
  ml_boxplot b{};
  ASSERT_EQ(0, ml_calc_boxplot(v.data(), 500, &b));
  EXPECT_DOUBLE_EQ(-0.4, b.q1);
  EXPECT_DOUBLE_EQ(-0.4, b.q3);
  EXPECT_DOUBLE_EQ(-0.4 - 0.75, b.q4);
  EXPECT_DOUBLE_EQ(-0.4 - 1.5, b.q5);
  EXPECT_EQ(ML_HMM_NO_PROB, b.sample_min);
  EXPECT_EQ(0.0, b.sample_max);
  EXPECT_EQ(1, b.potential_anomaly_cnt);
  EXPECT_EQ(2, b.definite_anomaly_cnt);  // NaN and -inf
  const double *fields = &b.q2;
  for (int k = 0; k < 12; ++k) EXPECT_TRUE(std::isfinite(fields[k])) << k;
  ml_boxplot untouched{};
  untouched.q1 = 42.0;
  EXPECT_NE(0, ml_calc_boxplot(v.data(), 0, &untouched));
  EXPECT_NE(0, ml_calc_boxplot(nullptr, 500, &untouched));
  EXPECT_NE(0, ml_calc_boxplot(v.data(), 500, nullptr));
  EXPECT_EQ(42.0, untouched.q1);
  ASSERT_EQ(0, ml_calc_boxplot(v.data() + 5, 1, &b));
  EXPECT_EQ(-0.4, b.q2);
}

}  // namespace
