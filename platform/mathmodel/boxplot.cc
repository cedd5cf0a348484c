// Quartiles, fences and anomaly counts of a group of scores.
#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/mathmodel/mathmodel.h"
#include "platform/mathmodel/mathmodel_internal.h"

namespace {

// Scores are per-symbol log-probabilities, so [NO_PROB, 0] is their whole
// domain; clamping keeps every fence finite whatever the caller hands in.
double sanitize(double x) {
  if (std::isnan(x) || x < ML_HMM_NO_PROB) return ML_HMM_NO_PROB;
  return x > 0.0 ? 0.0 : x;
}

}  // namespace

namespace mathmodel {

double weighted_quantile(std::vector<Weighted> &v, double p) {
  std::sort(v.begin(), v.end(),
            [](const Weighted &a, const Weighted &b) { return a.value < b.value; });
  double total = 0.0;
  for (const Weighted &w : v) total += w.weight;
  const double h = p * (total - 1.0);
  const double lo = std::floor(h);
  // Walk to the items holding expanded positions lo and lo + 1.
  double before = 0.0;
  size_t k = 0;
  while (k + 1 < v.size() && before + v[k].weight <= lo) before += v[k++].weight;
  const double x_lo = v[k].value;
  size_t k2 = k;
  if (before + v[k].weight <= lo + 1.0 && k + 1 < v.size()) k2 = k + 1;
  const double x_hi = v[k2].value;
  return x_lo + (h - lo) * (x_hi - x_lo);
}

}  // namespace mathmodel

int ml_calc_boxplot(const double *probs, int n, ml_boxplot *out) {
  if (!probs || !out || n < 1) return -1;
  std::vector<mathmodel::Weighted> v(n);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    v[i] = {sanitize(probs[i]), 1.0};
    sum += v[i].value;
  }
  ml_boxplot b{};
  b.q1 = mathmodel::weighted_quantile(v, 0.25);
  b.q2 = mathmodel::weighted_quantile(v, 0.5);
  b.q3 = mathmodel::weighted_quantile(v, 0.75);
  b.iqr = b.q3 - b.q1;
  b.spread = mathmodel::fence_spread(b.iqr);
  b.q4 = b.q1 - 1.5 * b.spread;
  b.q5 = b.q1 - 3.0 * b.spread;
  const double notch = 1.57 * b.iqr / std::sqrt(static_cast<double>(n));
  b.notch_bottom = b.q2 - notch;
  b.notch_top = b.q2 + notch;
  b.sample_min = v.front().value;
  b.sample_max = v.back().value;
  b.mean = sum / n;
  b.sample_count = n;
  for (const mathmodel::Weighted &w : v) {
    if (w.value < b.q5)
      ++b.definite_anomaly_cnt;
    else if (w.value < b.q4)
      ++b.potential_anomaly_cnt;
  }
  *out = b;
  return 0;
}

int ml_boxplot_classify(const ml_boxplot *b, double score) {
  if (!b) return 0;
  if (std::isnan(score)) score = ML_HMM_NO_PROB;
  if (score < b->q5) return 2;
  return score < b->q4 ? 1 : 0;
}
