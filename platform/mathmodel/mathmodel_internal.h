// Pieces shared by the library's own sources; not part of its interface.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/mathmodel/mathmodel.h"

namespace mathmodel {

// Symbols of len bytes into out (capacity cap symbols): their count, or -1
// when they do not fit.
int64_t generalize(const unsigned char *value, uint32_t len, int32_t *out, int64_t cap);

// A model record with zeroed matrices of the given shape, or null.
ml_hmm_model *alloc_model(int n_states, int n_symbols);

// One score with its weight, for the weighted quantiles.
struct Weighted {
  double value;
  double weight;
};

// The p-quantile of the values, each repeated `weight` times, by linear
// interpolation between neighbouring order statistics (position p * (W - 1)).
// Sorts `v` in place; v must not be empty and the weights must be whole
// numbers of at least 1.
double weighted_quantile(std::vector<Weighted> &v, double p);

// max(IQR, 0.5): the spread every fence uses, so that an argument whose values
// share one pattern (IQR 0) does not flag every rarer legitimate value.
inline double fence_spread(double iqr) { return iqr > 0.5 ? iqr : 0.5; }

}  // namespace mathmodel
