// Generalisation and scoring of arbitrary bytes: symbols stay inside the
// alphabet, scores are finite log-probabilities or the no-probability mark,
// and boxplots of arbitrary doubles keep their order.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/mathmodel/mathmodel.h"
#include "services/pattern.h"

namespace {

// One model per state count, made once with a fixed seed.
const ml_hmm_model *model(int states) {
  static ml_hmm_model *models[11] = {};
  if (!models[states]) models[states] = ml_hmm_create(states, ML_HMM_SYMBOLS, 42);
  return models[states];
}

void check_score(double p) {
  if (std::isnan(p) || p > 1e-9) abort();
  if (p < ML_HMM_NO_PROB) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Values up to 96 bytes (longer ones run the same loops longer) and models
  // up to the daemon's 10 states keep an execution short enough for millions:
  // instrumented scoring costs about 3 us per symbol at 10 states.
  if (size < 1 || size > 97) return 0;
  const int states = 1 + data[0] % 10;
  const auto *value = data + 1;
  const auto len = static_cast<uint32_t>(size - 1);

  std::vector<int32_t> symbols(len + 1);
  int32_t count = static_cast<int32_t>(symbols.size() * sizeof(int32_t));  // bytes
  if (ml_hmm_generalize_str(value, len, symbols.data(), &count) != 0) abort();
  if (count < 0 || static_cast<uint32_t>(count) > len) abort();
  for (int32_t i = 0; i < count; i++)
    if (symbols[i] < 0 || symbols[i] >= ML_HMM_SYMBOLS) abort();

  char pattern[257];
  if (ml_pattern_text(value, len, pattern, sizeof pattern) == 0 &&
      strlen(pattern) != static_cast<size_t>(count))
    abort();

  const ml_hmm_model *m = model(states);
  if (!m) return 0;
  double prob = 0, second = 0;
  if (ml_hmm_calc_prob(m, reinterpret_cast<const char *>(value), len, &prob, &second) != 0) abort();
  check_score(prob);
  // Scoring the symbols directly must agree; checked on short values only,
  // which reach the same code at a fraction of the cost.
  if (count <= 16) {
    double by_seq = 0;
    if (ml_hmm_calc_prob_by_seq(m, symbols.data(), count, &by_seq) != 0) abort();
    if (by_seq != prob) abort();
  }

  // The same bytes as scores for a boxplot.
  const size_t n = len / sizeof(double);
  if (n >= 1) {
    std::vector<double> scores(n);
    memcpy(scores.data(), value, n * sizeof(double));
    ml_boxplot b;
    if (ml_calc_boxplot(scores.data(), static_cast<int>(n), &b) != 0) abort();
    if (!(b.q5 <= b.q4 && b.q4 <= b.q1 && b.q1 <= b.q2 && b.q2 <= b.q3)) abort();
    if (b.potential_anomaly_cnt + b.definite_anomaly_cnt > static_cast<int>(n)) abort();
  }
  return 0;
}
