// Generalisation of a value into symbols. Letters, digits and non-ASCII bytes
// are classes whose runs keep their length up to 3 (so "7" "42" "2024" stay
// apart while numbers of 4 to 7 digits look alike); every ASCII punctuation
// character is its own symbol because that is where injections differ from
// data. A run that goes on adds one long-run symbol at its 8th, 16th, 32nd...
// byte: without it a value repeated four times ("descdescdescdesc") or a
// 40-digit number had the pattern of a short word or number, and no model or
// rule could tell a value made much longer.
#include <array>
#include <cstring>

#include "platform/mathmodel/mathmodel.h"
#include "platform/mathmodel/mathmodel_internal.h"

namespace {

enum : int32_t {
  kControl = 0,
  kSpace = 1,
  kDigit = 2,
  kLower = 3,
  kUpper = 4,
  kHigh = 5,
  kFirstPunct = 6,
  kLongRun = 38,  // after the punctuation
};
constexpr const char kPunct[] = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
constexpr int kRunCap = 3;

constexpr std::array<int32_t, 256> build_table() {
  std::array<int32_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    int32_t s = kControl;
    if (b >= 0x80)
      s = kHigh;
    else if (b == ' ')
      s = kSpace;
    else if (b >= '0' && b <= '9')
      s = kDigit;
    else if (b >= 'a' && b <= 'z')
      s = kLower;
    else if (b >= 'A' && b <= 'Z')
      s = kUpper;
    for (int p = 0; kPunct[p] != '\0'; ++p)
      if (kPunct[p] == b) s = kFirstPunct + p;
    t[b] = s;
  }
  return t;
}
constexpr std::array<int32_t, 256> kSymbolOf = build_table();
static_assert(kFirstPunct + sizeof(kPunct) - 1 == kLongRun);
static_assert(kLongRun + 1 == ML_HMM_SYMBOLS);
static_assert(ML_HMM_SYMBOLS <= 44);

bool is_run_class(int32_t s) { return s >= kDigit && s <= kHigh; }

// A run's 8th, 16th, 32nd... byte: a power of two from 8 on.
bool long_run_mark(int run) { return run >= 8 && (run & (run - 1)) == 0; }

}  // namespace

namespace mathmodel {

int64_t generalize(const unsigned char *value, uint32_t len, int32_t *out, int64_t cap) {
  int64_t n = 0;
  int run = 0;
  int32_t prev = -1;
  for (uint32_t i = 0; i < len; ++i) {
    const int32_t s = kSymbolOf[value[i]];
    run = (s == prev) ? run + 1 : 1;
    prev = s;
    if (is_run_class(s) && run > kRunCap) {
      if (!long_run_mark(run)) continue;
      if (n >= cap) return -1;
      out[n++] = kLongRun;
      continue;
    }
    if (n >= cap) return -1;
    out[n++] = s;
  }
  return n;
}

}  // namespace mathmodel

int ml_hmm_generalize_str(const unsigned char *value, uint32_t len, int32_t *symbols,
                          int32_t *inout_count) {
  if (symbols == nullptr || inout_count == nullptr || *inout_count < 0) return -1;
  if (value == nullptr && len > 0) return -1;
  const int64_t cap = *inout_count / static_cast<int64_t>(sizeof(int32_t));
  const int64_t n = mathmodel::generalize(value, len, symbols, cap);
  if (n < 0) return -1;
  *inout_count = static_cast<int32_t>(n);
  return 0;
}
