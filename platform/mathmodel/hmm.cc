// The hidden Markov model itself: the record's allocation, the seeded start,
// scaled forward scoring and weighted Baum-Welch.
//
// Training works on a flat copy of the model: the transition matrix row-major
// (a[i*n + j]) and the emission matrix by symbol (bt[k*n + j] = P(k | j)), so
// that each time step reads one contiguous column. The kernels are templates
// on the state count, instantiated for the trainer's 10 states and a generic
// fallback; with the count known the compiler unrolls and vectorises the
// n-by-n loops, which is most of the speed. The backward pass fuses three
// things per step: the scaled beta, the state posterior for the emission
// counts, and a rank-1 update alpha_t (x) v_t whose sum, multiplied
// elementwise by A at the end, gives the expected transition counts.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/mathmodel/mathmodel.h"
#include "platform/mathmodel/mathmodel_internal.h"

namespace {

constexpr int kMax = ML_HMM_MAX_STATES;

// Log of a product of scale factors, taking a logarithm only every so often:
// one log per step would cost as much as the arithmetic of a 10-state step.
class LogProduct {
 public:
  void add(double c) {
    if (c < 1e-100) {
      sum_ += std::log(c);
      return;
    }
    prod_ *= c;
    if (prod_ < 1e-150) flush();
  }
  double value() {
    flush();
    return sum_;
  }

 private:
  void flush() {
    sum_ += std::log(prod_);
    prod_ = 1.0;
  }
  double prod_ = 1.0;
  double sum_ = 0.0;
};

// out[j] = (sum_i prev[i] a[i][j]) * b[j]; returns sum_j out[j].
template <int NC>
inline double forward_step(int n_dyn, const double *prev, const double *a, const double *b,
                           double *out) {
  const int n = NC ? NC : n_dyn;
  double tmp[NC ? NC : kMax];
  for (int j = 0; j < n; ++j) tmp[j] = 0.0;
  for (int i = 0; i < n; ++i) {
    const double p = prev[i];
    const double *row = a + i * n;
    for (int j = 0; j < n; ++j) tmp[j] += p * row[j];
  }
  double c = 0.0;
  for (int j = 0; j < n; ++j) {
    out[j] = tmp[j] * b[j];
    c += out[j];
  }
  return c;
}

template <int NC>
inline void scale(int n_dyn, double *v, double inv) {
  const int n = NC ? NC : n_dyn;
  for (int j = 0; j < n; ++j) v[j] *= inv;
}

// Flat working copy of a model (see the top of this file).
struct Flat {
  int n = 0;
  int m = 0;
  std::vector<double> pi, a, bt;

  Flat(const ml_hmm_model *r) : n(r->state_count), m(r->symbol_count) {
    pi.resize(n);
    a.resize(static_cast<size_t>(n) * n);
    bt.resize(static_cast<size_t>(m) * n);
    for (int i = 0; i < n; ++i) {
      pi[i] = r->initial[i + 1];
      for (int j = 0; j < n; ++j) a[i * n + j] = r->transition[i + 1][j + 1];
      for (int k = 0; k < m; ++k) bt[k * n + i] = r->emission[i + 1][k + 1];
    }
  }

  void store(ml_hmm_model *r) const {
    for (int i = 0; i < n; ++i) {
      r->initial[i + 1] = pi[i];
      for (int j = 0; j < n; ++j) r->transition[i + 1][j + 1] = a[i * n + j];
      for (int k = 0; k < m; ++k) r->emission[i + 1][k + 1] = bt[k * n + i];
    }
  }
};

// Expected counts of one E-step, summed over the weighted sequences.
struct Counts {
  std::vector<double> pi, x, bt;
  double loglik = 0.0;

  Counts(int n, int m) : pi(n), x(static_cast<size_t>(n) * n), bt(static_cast<size_t>(m) * n) {}
  void clear() {
    std::fill(pi.begin(), pi.end(), 0.0);
    std::fill(x.begin(), x.end(), 0.0);
    std::fill(bt.begin(), bt.end(), 0.0);
    loglik = 0.0;
  }
};

// Scaled forward pass storing every alpha row and 1/c; returns ln P or
// -INFINITY when the sequence is impossible under the model.
template <int NC>
double forward_all(const Flat &f, const int32_t *o, int64_t len, double *alpha, double *inv_c) {
  const int n = NC ? NC : f.n;
  LogProduct lp;
  double c = 0.0;
  const double *b0 = &f.bt[static_cast<size_t>(o[0]) * n];
  for (int j = 0; j < n; ++j) {
    alpha[j] = f.pi[j] * b0[j];
    c += alpha[j];
  }
  for (int64_t t = 0;; ++t) {
    if (!(c > 0.0)) return -INFINITY;
    inv_c[t] = 1.0 / c;
    scale<NC>(n, alpha + t * n, inv_c[t]);
    lp.add(c);
    if (t + 1 == len) break;
    c = forward_step<NC>(n, alpha + t * n, f.a.data(), &f.bt[static_cast<size_t>(o[t + 1]) * n],
                         alpha + (t + 1) * n);
  }
  return lp.value();
}

// Backward pass of one sequence, adding its weighted expected counts.
template <int NC>
void backward_accumulate(const Flat &f, const int32_t *o, int64_t len, double w,
                         const double *alpha, const double *inv_c, Counts &acc) {
  const int n = NC ? NC : f.n;
  double beta[NC ? NC : kMax], v[NC ? NC : kMax];
  for (int i = 0; i < n; ++i) beta[i] = 1.0;
  const double *last = alpha + (len - 1) * n;
  double *b_last = &acc.bt[static_cast<size_t>(o[len - 1]) * n];
  for (int i = 0; i < n; ++i) b_last[i] += w * last[i];
  for (int64_t t = len - 2; t >= 0; --t) {
    const double *bcol = &f.bt[static_cast<size_t>(o[t + 1]) * n];
    for (int j = 0; j < n; ++j) v[j] = bcol[j] * beta[j] * inv_c[t + 1];
    const double *al = alpha + t * n;
    double *bacc = &acc.bt[static_cast<size_t>(o[t]) * n];
    for (int i = 0; i < n; ++i) {
      const double wa = w * al[i];
      const double *row = &f.a[i * n];
      double *xrow = &acc.x[i * n];
      double s = 0.0;
      for (int j = 0; j < n; ++j) {
        xrow[j] += wa * v[j];
        s += row[j] * v[j];
      }
      beta[i] = s;
      bacc[i] += wa * s;
    }
  }
  for (int i = 0; i < n; ++i) acc.pi[i] += w * alpha[i] * beta[i];
}

template <int NC>
void e_step_one(const Flat &f, const int32_t *o, int64_t len, double w, double *alpha,
                double *inv_c, Counts &acc) {
  const double ll = forward_all<NC>(f, o, len, alpha, inv_c);
  acc.loglik += w * ll;
  if (std::isfinite(ll)) backward_accumulate<NC>(f, o, len, w, alpha, inv_c, acc);
}

// Divides each of `rows` rows of `cols` entries (stride `stride` between the
// entries of a row, `rstride` between rows) by its sum; a row with no mass
// keeps `old`.
void normalise_rows(double *p, const double *old, int rows, int cols, int rstride, int stride) {
  for (int r = 0; r < rows; ++r) {
    double s = 0.0;
    for (int c = 0; c < cols; ++c) s += p[r * rstride + c * stride];
    for (int c = 0; c < cols; ++c) {
      double &e = p[r * rstride + c * stride];
      e = s > 0.0 ? e / s : old[r * rstride + c * stride];
    }
  }
}

void apply_floor(double *p, int rows, int cols, int rstride, int stride, double fl) {
  if (!(fl > 0.0)) return;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      double &e = p[r * rstride + c * stride];
      if (e < fl) e = fl;
    }
  normalise_rows(p, p, rows, cols, rstride, stride);
}

// Re-estimates f from the counts, then floors every probability.
void m_step(Flat &f, Counts &acc, double fl) {
  const int n = f.n, m = f.m;
  for (size_t k = 0; k < acc.x.size(); ++k) acc.x[k] *= f.a[k];
  normalise_rows(acc.pi.data(), f.pi.data(), 1, n, 0, 1);
  normalise_rows(acc.x.data(), f.a.data(), n, n, n, 1);
  normalise_rows(acc.bt.data(), f.bt.data(), n, m, 1, n);  // row = state, column = symbol
  f.pi.swap(acc.pi);
  f.a.swap(acc.x);
  f.bt.swap(acc.bt);
  apply_floor(f.pi.data(), 1, n, 0, 1, fl);
  apply_floor(f.a.data(), n, n, n, 1, fl);
  apply_floor(f.bt.data(), n, m, 1, n, fl);
}

struct Data {
  const int32_t *const *seqs;
  const int64_t *lens;
  const double *weights;
  int count;
};

template <int NC>
void e_step(const Flat &f, const Data &d, std::vector<double> &alpha, std::vector<double> &inv_c,
            Counts &acc) {
  acc.clear();
  for (int s = 0; s < d.count; ++s) {
    const double w = d.weights ? d.weights[s] : 1.0;
    if (d.lens[s] == 0 || w == 0.0) continue;
    e_step_one<NC>(f, d.seqs[s], d.lens[s], w, alpha.data(), inv_c.data(), acc);
  }
}

template <int NC>
int baum_welch(Flat &f, const Data &d, const ml_hmm_bw_opts &o, double *trace, int trace_cap) {
  int64_t max_len = 1;
  for (int s = 0; s < d.count; ++s) max_len = std::max(max_len, d.lens[s]);
  std::vector<double> alpha(static_cast<size_t>(max_len) * f.n), inv_c(max_len);
  Counts acc(f.n, f.m);
  double prev = 0.0;
  int it = 0;
  while (it < o.max_iter) {
    e_step<NC>(f, d, alpha, inv_c, acc);
    if (trace && it < trace_cap) trace[it] = acc.loglik;
    ++it;
    if (it > 1 && (acc.loglik - prev) / std::fabs(prev) < o.rel_tol) break;
    if (!std::isfinite(acc.loglik)) break;
    prev = acc.loglik;
    m_step(f, acc, o.floor);
  }
  return it;
}

bool valid_data(const Data &d, int m) {
  if (d.count < 0 || (d.count > 0 && (d.seqs == nullptr || d.lens == nullptr))) return false;
  for (int s = 0; s < d.count; ++s) {
    if (d.lens[s] < 0 || (d.lens[s] > 0 && d.seqs[s] == nullptr)) return false;
    if (d.weights && !(d.weights[s] >= 0.0 && std::isfinite(d.weights[s]))) return false;
    for (int64_t t = 0; t < d.lens[s]; ++t)
      if (d.seqs[s][t] < 0 || d.seqs[s][t] >= m) return false;
  }
  return true;
}

uint64_t splitmix64(uint64_t &state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform values plus 0.01, normalised: far enough from uniform that the
// states separate from the first iteration on, and never zero.
void random_row(double *row, int cols, uint64_t &rng) {
  double s = 0.0;
  for (int c = 1; c <= cols; ++c) {
    row[c] = static_cast<double>(splitmix64(rng) >> 11) * 0x1.0p-53 + 0.01;
    s += row[c];
  }
  for (int c = 1; c <= cols; ++c) row[c] /= s;
}

bool valid_model(const ml_hmm_model *m) {
  return m && m->state_count >= 1 && m->state_count <= kMax && m->symbol_count >= 1 &&
         m->transition && m->emission && m->initial;
}

// Forward pass over the record itself, with no allocation: the transition
// matrix is copied flat to the stack and each emission column gathered.
template <int NC>
double record_loglik(const ml_hmm_model *r, const int32_t *o, int64_t len) {
  const int n = NC ? NC : r->state_count;
  double a[(NC ? NC : kMax) * (NC ? NC : kMax)], b[NC ? NC : kMax];
  double cur[NC ? NC : kMax], next[NC ? NC : kMax];
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i * n + j] = r->transition[i + 1][j + 1];
  LogProduct lp;
  double c = 0.0;
  for (int j = 0; j < n; ++j) {
    cur[j] = r->initial[j + 1] * r->emission[j + 1][o[0] + 1];
    c += cur[j];
  }
  for (int64_t t = 1;; ++t) {
    if (!(c > 0.0)) return -INFINITY;
    scale<NC>(n, cur, 1.0 / c);
    lp.add(c);
    if (t == len) break;
    for (int j = 0; j < n; ++j) b[j] = r->emission[j + 1][o[t] + 1];
    c = forward_step<NC>(n, cur, a, b, next);
    std::memcpy(cur, next, sizeof(double) * n);
  }
  return lp.value();
}

}  // namespace

namespace mathmodel {

ml_hmm_model *alloc_model(int n, int m) {
  if (n < 1 || n > kMax || m < 1 || m > (1 << 20)) return nullptr;
  auto *r = static_cast<ml_hmm_model *>(calloc(1, sizeof(ml_hmm_model)));
  if (!r) return nullptr;
  const size_t rows = static_cast<size_t>(n) + 1;
  const size_t doubles = rows + rows * rows + rows * (static_cast<size_t>(m) + 1);
  void *block = calloc(1, 2 * rows * sizeof(double *) + doubles * sizeof(double));
  if (!block) {
    free(r);
    return nullptr;
  }
  r->state_count = n;
  r->symbol_count = m;
  r->transition = static_cast<double **>(block);
  r->emission = r->transition + rows;
  r->initial = reinterpret_cast<double *>(r->emission + rows);
  double *tdata = r->initial + rows;
  double *edata = tdata + rows * rows;
  for (size_t i = 0; i < rows; ++i) {
    r->transition[i] = tdata + i * rows;
    r->emission[i] = edata + i * (m + 1);
  }
  return r;
}

}  // namespace mathmodel

ml_hmm_model *ml_hmm_create(int n_states, int n_symbols, uint64_t seed) {
  ml_hmm_model *r = mathmodel::alloc_model(n_states, n_symbols);
  if (!r) return nullptr;
  uint64_t rng = seed;
  random_row(r->initial, n_states, rng);
  for (int i = 1; i <= n_states; ++i) random_row(r->transition[i], n_states, rng);
  for (int i = 1; i <= n_states; ++i) random_row(r->emission[i], n_symbols, rng);
  return r;
}

void ml_hmm_free(ml_hmm_model *m) {
  if (!m) return;
  free(m->transition);  // the one block holding every row and vector
  free(m);
}

ml_hmm_bw_opts ml_hmm_bw_defaults(void) { return ml_hmm_bw_opts{100, 1e-4, 1e-6}; }

int ml_hmm_baum_welch(ml_hmm_model *m, const int32_t *const *seqs, const int64_t *lens,
                      const double *weights, int n, const ml_hmm_bw_opts *opts, double *trace,
                      int trace_cap, int *iterations) {
  const Data d{seqs, lens, weights, n};
  if (!valid_model(m) || !valid_data(d, m->symbol_count)) return -1;
  const ml_hmm_bw_opts o = opts ? *opts : ml_hmm_bw_defaults();
  Flat f(m);
  const int it = f.n == 10 ? baum_welch<10>(f, d, o, trace, trace_cap)
                           : baum_welch<0>(f, d, o, trace, trace_cap);
  f.store(m);
  m->iterations = it;
  if (iterations) *iterations = it;
  return 0;
}

int ml_hmm_loglik(const ml_hmm_model *m, const int32_t *seq, int64_t len, double *ll) {
  if (!valid_model(m) || !ll || len < 0 || (len > 0 && !seq)) return -1;
  for (int64_t t = 0; t < len; ++t)
    if (seq[t] < 0 || seq[t] >= m->symbol_count) return -1;
  if (len == 0) {
    *ll = 0.0;
    return 0;
  }
  *ll = m->state_count == 10 ? record_loglik<10>(m, seq, len) : record_loglik<0>(m, seq, len);
  return 0;
}

int ml_hmm_calc_prob_by_seq(const ml_hmm_model *m, const int32_t *seq, int64_t len, double *prob) {
  if (!prob) return -1;
  *prob = ML_HMM_NO_PROB;
  double ll = 0.0;
  if (ml_hmm_loglik(m, seq, len, &ll) != 0) return -1;
  if (len > 0 && std::isfinite(ll)) *prob = ll / static_cast<double>(len);
  return 0;
}

int ml_hmm_calc_prob(const ml_hmm_model *m, const char *str, uint32_t len, double *prob,
                     double *second) {
  if (second) *second = ML_HMM_NO_PROB;
  if (!prob) return -1;
  *prob = ML_HMM_NO_PROB;
  if (!valid_model(m) || (!str && len > 0)) return -1;
  int32_t local[1100];
  std::vector<int32_t> heap;
  int32_t *syms = local;
  if (len > sizeof(local) / sizeof(local[0])) {
    heap.resize(len);
    syms = heap.data();
  }
  const int64_t n =
      mathmodel::generalize(reinterpret_cast<const unsigned char *>(str), len, syms, len);
  double ll = 0.0;
  if (n < 0 || ml_hmm_loglik(m, syms, n, &ll) != 0) return -1;
  if (n > 0 && std::isfinite(ll)) {
    *prob = ll / static_cast<double>(n);
    if (second) *second = ll;
  }
  return 0;
}
