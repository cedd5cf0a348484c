#include "services/pattern.h"

#include "platform/mathmodel/mathmodel.h"

namespace {
// The most symbols a sample value (at most 1025 bytes) can generalise to.
constexpr int32_t kSymbolsMax = 1025;
}  // namespace

int ml_pattern_text(const unsigned char *value, uint32_t len, char *out, size_t cap) {
  if (!value || !out || cap < 1) return -1;
  int32_t symbols[kSymbolsMax];
  int32_t count = static_cast<int32_t>(sizeof symbols);
  if (ml_hmm_generalize_str(value, len, symbols, &count) != 0 || count < 0 ||
      static_cast<size_t>(count) >= cap)
    return -1;
  for (int32_t i = 0; i < count; i++) out[i] = static_cast<char>('0' + symbols[i]);
  out[count] = '\0';
  return 0;
}
