// Baum-Welch training and forward scoring of the math model library against
// GHMM, on the same data from the same start, in the same run.
//
// Workload: 2,000 weighted sequences of 3 to 60 symbols (M = 44), drawn from
// a random 10-state model; both trainers start from the library's seeded
// start with no probability floor (GHMM has none). The weighted
// log-likelihood after each of the first 20 iterations is computed for both
// models by their own forward pass and must agree within 1e-6 relative.
//
// GHMM's one-step call also scores every sequence of the updated model once;
// that pass is timed on its own and subtracted from GHMM's iteration time.
// Exit status 1 when the likelihoods disagree.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <ghmm/foba.h>
#include <ghmm/ghmm.h>
#include <ghmm/model.h>
#include <ghmm/reestimate.h>
#include <ghmm/sequence.h>

#include "platform/mathmodel/mathmodel.h"

namespace {

constexpr int kN = 10, kM = 44, kSeqs = 2000, kIters = 20, kRepeats = 3;

struct Data {
  std::vector<std::vector<int32_t>> seqs;
  std::vector<const int32_t *> ptrs;
  std::vector<int64_t> lens;
  std::vector<double> weights;
};

int draw(const double *p, int n, std::mt19937_64 &rng) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  for (int k = 1; k <= n; ++k)
    if ((u -= p[k]) < 0.0) return k;
  return n;
}

Data make_data() {
  ml_hmm_model *truth = ml_hmm_create(kN, kM, 2024);
  std::mt19937_64 rng(77);
  Data d;
  for (int s = 0; s < kSeqs; ++s) {
    const int len = 3 + static_cast<int>(rng() % 58);
    std::vector<int32_t> seq;
    int st = draw(truth->initial, kN, rng);
    for (int t = 0; t < len; ++t) {
      seq.push_back(draw(truth->emission[st], kM, rng) - 1);
      st = draw(truth->transition[st], kN, rng);
    }
    d.seqs.push_back(std::move(seq));
    d.weights.push_back(1.0 + static_cast<double>(rng() % 20));
  }
  for (const auto &s : d.seqs) {
    d.ptrs.push_back(s.data());
    d.lens.push_back(static_cast<int64_t>(s.size()));
  }
  ml_hmm_free(truth);
  return d;
}

ghmm_dmodel *to_ghmm(const ml_hmm_model &m) {
  std::vector<int> deg(kN, kN);
  ghmm_dmodel *g = ghmm_dmodel_calloc(kM, kN, GHMM_kDiscreteHMM, deg.data(), deg.data());
  for (int i = 0; i < kN; ++i) {
    ghmm_dstate &s = g->s[i];
    s.pi = m.initial[i + 1];
    s.out_states = kN;  // the calloc sizes the arrays but leaves the counts 0
    s.in_states = kN;
    for (int k = 0; k < kM; ++k) s.b[k] = m.emission[i + 1][k + 1];
    for (int j = 0; j < kN; ++j) {
      s.out_id[j] = j;
      s.out_a[j] = m.transition[i + 1][j + 1];
      s.in_id[j] = j;
      s.in_a[j] = m.transition[j + 1][i + 1];
    }
  }
  return g;
}

ghmm_dseq *to_ghmm(const Data &d) {
  ghmm_dseq *sq = ghmm_dseq_calloc(kSeqs);
  for (int s = 0; s < kSeqs; ++s) {
    sq->seq_len[s] = static_cast<int>(d.lens[s]);
    sq->seq[s] = static_cast<int *>(malloc(sizeof(int) * d.lens[s]));
    std::copy(d.seqs[s].begin(), d.seqs[s].end(), sq->seq[s]);
    sq->seq_w[s] = d.weights[s];
    sq->total_w += d.weights[s];
  }
  return sq;
}

double ghmm_loglik(ghmm_dmodel *g, ghmm_dseq *sq, const Data &d) {
  double total = 0.0;
  for (int s = 0; s < kSeqs; ++s) {
    double lp = 0.0;
    if (ghmm_dmodel_logp(g, sq->seq[s], sq->seq_len[s], &lp) != 0) return -INFINITY;
    total += d.weights[s] * lp;
  }
  return total;
}

double ours_loglik(const ml_hmm_model *m, const Data &d) {
  double total = 0.0;
  for (int s = 0; s < kSeqs; ++s) {
    double lp = 0.0;
    ml_hmm_loglik(m, d.ptrs[s], d.lens[s], &lp);
    total += d.weights[s] * lp;
  }
  return total;
}

template <typename F>
double best_seconds(F &&f) {
  double best = 1e30;
  for (int r = 0; r < kRepeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main() {
  ghmm_set_loglevel(0);
  const Data d = make_data();
  const ml_hmm_bw_opts no_floor{kIters + 1, -INFINITY, 0.0};
  const uint64_t start_seed = 0x6d6c5f686d6d3130ull;

  // Agreement: ours after k updates is trace[k]; GHMM's by its own forward.
  ml_hmm_model *ours = ml_hmm_create(kN, kM, start_seed);
  double trace[kIters + 1];
  ml_hmm_baum_welch(ours, d.ptrs.data(), d.lens.data(), d.weights.data(), kSeqs, &no_floor, trace,
                    kIters + 1, nullptr);
  ml_hmm_model *start = ml_hmm_create(kN, kM, start_seed);
  ghmm_dmodel *g = to_ghmm(*start);
  ghmm_dseq *sq = to_ghmm(d);
  double worst = 0.0;
  std::printf("iter  ours                GHMM                rel.diff\n");
  for (int k = 1; k <= kIters; ++k) {
    ghmm_dmodel_baum_welch_nstep(g, sq, 1, 0.0);
    const double ref = ghmm_loglik(g, sq, d);
    double rel = std::fabs(trace[k] - ref) / std::fabs(ref);
    if (!std::isfinite(rel)) rel = INFINITY;
    worst = std::max(worst, rel);
    std::printf("%4d  %-18.6f  %-18.6f  %.2e\n", k, trace[k], ref, rel);
  }

  // Training speed per iteration.
  const ml_hmm_bw_opts timed{kIters, -INFINITY, 0.0};
  const double t_ours = best_seconds([&] {
                          ml_hmm_model *m = ml_hmm_create(kN, kM, start_seed);
                          ml_hmm_baum_welch(m, d.ptrs.data(), d.lens.data(), d.weights.data(),
                                            kSeqs, &timed, nullptr, 0, nullptr);
                          ml_hmm_free(m);
                        }) /
                        kIters;
  const double t_ghmm_score = best_seconds([&] { ghmm_loglik(g, sq, d); });
  const double t_ghmm_steps = best_seconds([&] {
                                ghmm_dmodel *m = to_ghmm(*start);
                                for (int k = 0; k < kIters; ++k)
                                  ghmm_dmodel_baum_welch_nstep(m, sq, 1, 0.0);
                                ghmm_dmodel_free(&m);
                              }) /
                              kIters;
  const double t_ghmm = t_ghmm_steps - t_ghmm_score;

  // Scoring speed: every sequence once, per pass.
  const double t_ours_score = best_seconds([&] { ours_loglik(ours, d); });

  std::printf("\nlog-likelihood agreement over %d iterations: worst relative difference %.2e\n",
              kIters, worst);
  std::printf("training per iteration: ours %.3f ms, GHMM %.3f ms -> %.1fx faster\n", t_ours * 1e3,
              t_ghmm * 1e3, t_ghmm / t_ours);
  std::printf("scoring 2000 sequences: ours %.3f ms, GHMM %.3f ms -> %.1fx faster\n",
              t_ours_score * 1e3, t_ghmm_score * 1e3, t_ghmm_score / t_ours_score);
  ghmm_dmodel_free(&g);
  ghmm_dseq_free(&sq);
  ml_hmm_free(ours);
  ml_hmm_free(start);
  return worst <= 1e-6 ? 0 : 1;
}
