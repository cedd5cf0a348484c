// Distinct-value sketch of a pattern. Counting samples lets repetition speak
// twice: traffic where every form is sent twice shows each learned value, and
// so each pattern, at least twice, and any estimate built on "seen once"
// (how closed an argument's set of shapes is) goes wrong. One bit per value,
// OR-ed, is what the sample table can keep per pattern at no extra statement
// and what two daemons can merge without coordination.
#include <bit>
#include <cmath>

#include "platform/mathmodel/mathmodel.h"

uint64_t ml_hmm_value_bit(const unsigned char *value, uint32_t len) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (uint32_t i = 0; value && i < len; ++i) {
    h ^= value[i];
    h *= 1099511628211ull;
  }
  // splitmix64's finaliser, so that the top bits depend on every byte
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  h ^= h >> 31;
  return uint64_t{1} << (h >> 58);
}

int64_t ml_hmm_distinct_values(int32_t count, uint64_t bits) {
  const int64_t seen = count > 0 ? count : 1;
  if (bits == 0) return seen;
  const int set = std::popcount(bits);
  if (set == 1) return 1;
  // Linear counting: n values leave a bit unset with chance (1 - 1/64)^n.
  const double est = set >= 64 ? 64.0 * std::log(64.0) : -64.0 * std::log1p(-set / 64.0);
  const int64_t n = std::llround(est);
  return n < set ? set : (n > seen ? seen : n);
}
