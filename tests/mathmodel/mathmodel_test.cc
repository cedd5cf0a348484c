// The math model: generalisation into symbols, the HMM's scoring and
// training, the daemon's training entry point and the boxplot.
#include "platform/mathmodel/mathmodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using std::string;
using Syms = std::vector<int32_t>;

struct ModelDeleter {
  void operator()(ml_hmm_model *m) const { ml_hmm_free(m); }
};
using Model = std::unique_ptr<ml_hmm_model, ModelDeleter>;

Syms symbols_of(const string &s) {
  Syms out(s.size() + 1);
  int32_t count = static_cast<int32_t>(out.size() * sizeof(int32_t));
  EXPECT_EQ(0, ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(s.data()),
                                     static_cast<uint32_t>(s.size()), out.data(), &count));
  out.resize(count);
  return out;
}

TEST(mathmodel_generalize, ClassesRunsSymbolRangeAndCapacity) {
  const auto digit = symbols_of("7")[0], lower = symbols_of("a")[0], upper = symbols_of("A")[0];
  EXPECT_EQ(Syms(3, digit), symbols_of("541910"));
  EXPECT_EQ(Syms({upper, lower, lower, lower, symbols_of(" ")[0], digit, digit}),
            symbols_of("Malaga 55"));
  string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const auto syms = symbols_of(all);
  EXPECT_LE(syms.size(), all.size());
  for (int32_t k : syms) EXPECT_TRUE(k >= 0 && k < 44) << k;
  // The count is a capacity in bytes: 1026 symbols do not fit 4100 bytes.
  string alt;
  for (int i = 0; i < 1026; ++i) alt.push_back(i % 2 ? '1' : 'a');
  Syms out(1026);
  int32_t count = 4100;
  EXPECT_NE(0, ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(alt.data()), 1026,
                                     out.data(), &count));
}

TEST(mathmodel_generalize, LongRunsAreMarkedAtTheirEighthSixteenthAndThirtySecondByte) {
  const auto lower = symbols_of("a")[0];
  const int32_t mark = ML_HMM_SYMBOLS - 1;
  EXPECT_EQ(Syms(3, lower), symbols_of("abcdefg"));  // 7 letters: no mark
  EXPECT_EQ(Syms({lower, lower, lower, mark}), symbols_of("abcdefgh"));
  EXPECT_EQ(Syms({lower, lower, lower, mark}), symbols_of("abcdefghijklmno"));
  EXPECT_EQ(Syms({lower, lower, lower, mark, mark}), symbols_of("descdescdescdesc"));
  EXPECT_NE(symbols_of("desc"), symbols_of("descdescdescdesc"));
  EXPECT_EQ(symbols_of(string(32, '9')).size(), 6u);  // marks at 8, 16 and 32
  // The mark follows the run it belongs to; a new run starts afresh.
  const auto digit = symbols_of("7")[0];
  EXPECT_EQ(Syms({digit, digit, digit, mark, lower}), symbols_of("12345678x"));
  // Never more symbols than bytes: a run of 8 gives 4.
  for (int n = 1; n <= 256; ++n) EXPECT_LE(symbols_of(string(n, 'z')).size(), size_t(n)) << n;
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

TEST(mathmodel_hmm, ForwardEqualsBruteForceAndLongSequencesScoreFinite) {
  std::mt19937_64 rng(3);
  Model m(ml_hmm_create(3, 6, 103));
  ASSERT_TRUE(m);
  const auto seq = sample(*m, 5, rng);
  double ll = 0.0;
  ASSERT_EQ(0, ml_hmm_loglik(m.get(), seq.data(), 5, &ll));
  EXPECT_NEAR(std::log(brute_force(*m, seq)), ll, 1e-11);
  Model big(ml_hmm_create(10, ML_HMM_SYMBOLS, 5));
  const auto long_seq = sample(*big, 1025, rng);
  double p = 0.0;
  ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(big.get(), long_seq.data(), 1025, &p));
  EXPECT_TRUE(std::isfinite(p) && p > -10.0) << p;
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
  Model truth(ml_hmm_create(4, 8, 7)), m(ml_hmm_create(4, 8, 99));
  std::mt19937_64 rng(9);
  Corpus c;
  for (int s = 0; s < 300; ++s) c.add(sample(*truth, 3 + static_cast<int>(rng() % 40), rng));
  const ml_hmm_bw_opts o{40, 0.0, 1e-6};
  double trace[40];
  int iters = 0;
  ASSERT_EQ(0, ml_hmm_baum_welch(m.get(), c.ptrs.data(), c.lens.data(), nullptr, 300, &o, trace, 40,
                                 &iters));
  ASSERT_GT(iters, 10);
  for (int k = 1; k < iters; ++k)
    EXPECT_GE(trace[k], trace[k - 1] - 1e-9 * std::fabs(trace[k - 1])) << k;
  EXPECT_GT(trace[iters - 1], trace[0] + 1.0);
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
}

// A sample list built the way the daemon's reader builds it.
struct List {
  ml_sample_list l{};
  ~List() { ml_free_sample_items(&l); }
  void add(const string &v, int count) {
    l.items =
        static_cast<ml_sample_item *>(realloc(l.items, sizeof(ml_sample_item) * (l.count + 1)));
    ml_sample_item &it = l.items[l.count++];
    std::memset(&it, 0, sizeof it);
    it.sample_str = strdup(v.c_str());
    it.pattern = static_cast<char *>(calloc(v.size() + 1, 1));
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(v.size());
    it.pattern_count = count;
  }
};

// Six numeric values and one injection: the injection scores far below the
// rest, is flagged, and the model returned is the one trained without it.
TEST(mathmodel_train, FillsEveryItemFieldAndTrainsAgainWithoutTheNoise) {
  List list, clean;
  const std::vector<string> values = {"12345", "678", "4021", "7", "99-12", "55"};
  for (size_t i = 0; i < values.size(); ++i)
    for (List *l : {&list, &clean}) l->add(values[i], 40 - 5 * static_cast<int>(i));
  list.add("1' OR 'x'='x'--", 1);
  ml_hmm_model *m = nullptr, *without = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&m, &list.l, 10));
  ASSERT_EQ(0, ml_train_hmm_model(&without, &clean.l, 10));
  Model owned(m), owned_without(without);
  EXPECT_EQ(1, m->noise_count);
  for (int i = 1; i <= 10; ++i)
    for (int k = 1; k <= ML_HMM_SYMBOLS; ++k)
      ASSERT_EQ(without->emission[i][k], m->emission[i][k]) << i << "," << k;
  double w = 0, sum = 0, sq = 0;  // over the non-noise items, weighted by count
  for (int i = 0; i < list.l.count; ++i) {
    const ml_sample_item &it = list.l.items[i];
    const string v(it.sample_str, it.sample_len);
    string pattern;
    for (int32_t k : symbols_of(v)) pattern.push_back(static_cast<char>('0' + k));
    EXPECT_EQ(pattern, it.pattern) << v;
    ASSERT_EQ(std::ssize(pattern), it.sequence_len);
    double p = 0.0;
    ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(m, it.sequence, it.sequence_len, &p));
    EXPECT_DOUBLE_EQ(std::exp(p), it.average_probability);
    EXPECT_EQ(v[1] == '\'' ? 1 : 0, it.noise_flag) << v;
    if (it.noise_flag) continue;
    w += it.pattern_count;
    sum += it.pattern_count * p;
    sq += it.pattern_count * p * p;
  }
  EXPECT_NEAR(sum / w, m->prob_mean_ex, 1e-9);
  EXPECT_NEAR(sq / w - (sum / w) * (sum / w), m->variance_ex, 1e-9);
  // Training the same list again replaces its sequences (the sanitizer build
  // sees a leak otherwise) and gives the same model.
  ml_hmm_model *again = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&again, &list.l, 10));
  Model owned_again(again);
  EXPECT_EQ(m->prob_mean_ex, again->prob_mean_ex);
}

// One dominant pattern gives an IQR of 0: a rarer legitimate value stays.
TEST(mathmodel_train, MinorityPatternsAreNotNoise) {
  List list;
  list.add("Malaga", 3);
  list.add("gie-ming", 1);
  list.add("Paris", 2);
  ml_hmm_model *m = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&m, &list.l, 10));
  Model owned(m);
  for (int i = 0; i < list.l.count; ++i) EXPECT_EQ(0, list.l.items[i].noise_flag) << i;
}

// A shape far from the rest is junk only while it is rare: with 1% of the
// values it is part of the argument.
TEST(mathmodel_train, AShapeWithOnePercentOfTheValuesIsNotNoise) {
  for (int xl : {1, 4}) {
    List list;
    const std::vector<string> words = {"mug", "tea", "blue bag", "wool", "red kids", "lamp"};
    for (const string &w : words) list.add(w, 60);
    list.add("XL", xl);
    ml_hmm_model *m = nullptr;
    ASSERT_EQ(0, ml_train_hmm_model(&m, &list.l, 10));
    Model owned(m);
    EXPECT_EQ(xl == 1 ? 1 : 0, list.l.items[list.l.count - 1].noise_flag) << xl << " of 360";
  }
}

TEST(mathmodel_train, NothingTrainableFailsWithoutAModel) {
  List empty, blanks;
  blanks.add("", 5);
  for (ml_sample_list *list : {&empty.l, &blanks.l}) {
    ml_hmm_model *m = nullptr;
    EXPECT_NE(0, ml_train_hmm_model(&m, list, 10));
    EXPECT_EQ(nullptr, m);
  }
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
  EXPECT_EQ(4, b.potential_anomaly_cnt);  // -2.5; -2.0 sits on the fence
  EXPECT_EQ(5, b.definite_anomaly_cnt);
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
  EXPECT_DOUBLE_EQ(-0.4 - 0.75, b.q4);
  EXPECT_DOUBLE_EQ(-0.4 - 1.5, b.q5);
  EXPECT_EQ(1, b.potential_anomaly_cnt);
  EXPECT_EQ(2, b.definite_anomaly_cnt);  // NaN and -inf
  const double *fields = &b.q2;
  for (int k = 0; k < 12; ++k) EXPECT_TRUE(std::isfinite(fields[k])) << k;
}

}  // namespace
