#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/mathmodel/mathmodel.h"

namespace {

struct ModelDeleter {
  void operator()(ml_hmm_model *m) const { ml_hmm_free(m); }
};
using Model = std::unique_ptr<ml_hmm_model, ModelDeleter>;

int draw(const double *p, int n, std::mt19937_64 &rng) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  for (int k = 1; k <= n; ++k) {
    u -= p[k];
    if (u < 0.0) return k;
  }
  return n;
}

std::vector<int32_t> sample(const ml_hmm_model &m, int len, std::mt19937_64 &rng) {
  std::vector<int32_t> seq;
  int s = draw(m.initial, m.state_count, rng);
  for (int t = 0; t < len; ++t) {
    seq.push_back(draw(m.emission[s], m.symbol_count, rng) - 1);
    s = draw(m.transition[s], m.state_count, rng);
  }
  return seq;
}

// P(seq) as the sum over every state path.
double brute_force(const ml_hmm_model &m, const std::vector<int32_t> &seq) {
  const int n = m.state_count, len = static_cast<int>(seq.size());
  std::vector<int> path(len, 1);
  double total = 0.0;
  for (;;) {
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
  Model m(ml_hmm_create(10, ML_HMM_SYMBOLS, 5));
  std::mt19937_64 rng(5);
  const auto seq = sample(*m, 1025, rng);
  double p = 0.0;
  ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), seq.data(), 1025, &p));
  EXPECT_TRUE(std::isfinite(p));
  EXPECT_GT(p, -10.0);
  EXPECT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), seq.data(), 0, &p));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  // A symbol no state emits: zero probability.
  for (int i = 1; i <= 10; ++i) m->emission[i][1] = 0.0;
  const int32_t zero_sym[] = {1, 0, 2};
  EXPECT_EQ(0, ml_hmm_calc_prob_by_seq(m.get(), zero_sym, 3, &p));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  const int32_t outside[] = {1, ML_HMM_SYMBOLS};
  EXPECT_NE(0, ml_hmm_calc_prob_by_seq(m.get(), outside, 2, &p));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
  EXPECT_NE(0, ml_hmm_calc_prob_by_seq(nullptr, seq.data(), 3, &p));
  // A 1,025-byte value of every byte value, through the string entry point.
  std::string all;
  for (int i = 0; i < 1025; ++i) all.push_back(static_cast<char>(i % 256));
  double second = 0.0;
  Model fresh(ml_hmm_create(10, ML_HMM_SYMBOLS, 5));
  ASSERT_EQ(0, ml_hmm_calc_prob(fresh.get(), all.data(), 1025, &p, &second));
  EXPECT_TRUE(std::isfinite(p) && std::isfinite(second));
  EXPECT_EQ(0, ml_hmm_calc_prob(fresh.get(), "", 0, &p, &second));
  EXPECT_EQ(ML_HMM_NO_PROB, p);
}

struct Corpus {
  std::vector<std::vector<int32_t>> seqs;
  std::vector<const int32_t *> ptrs;
  std::vector<int64_t> lens;
  void add(std::vector<int32_t> s) {
    seqs.push_back(std::move(s));
    ptrs.clear();
    lens.clear();
    for (const auto &q : seqs) {
      ptrs.push_back(q.data());
      lens.push_back(static_cast<int64_t>(q.size()));
    }
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
  const int32_t bad[] = {0, 8};
  const int32_t *bad_ptr = bad;
  const int64_t bad_len = 2;
  const double before = m->emission[1][1];
  EXPECT_NE(
      0, ml_hmm_baum_welch(m.get(), &bad_ptr, &bad_len, nullptr, 1, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(before, m->emission[1][1]);
}

TEST(mathmodel_hmm, WeightKEqualsKCopies) {
  std::mt19937_64 rng(21);
  Model truth(ml_hmm_create(3, 5, 1));
  Corpus weighted, copies;
  std::vector<double> w;
  for (int s = 0; s < 20; ++s) {
    const auto seq = sample(*truth, 5 + s, rng);
    const int k = 1 + s % 4;
    weighted.add(seq);
    w.push_back(k);
    for (int r = 0; r < k; ++r) copies.add(seq);
  }
  Model a(ml_hmm_create(3, 5, 2)), b(ml_hmm_create(3, 5, 2));
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

}  // namespace
