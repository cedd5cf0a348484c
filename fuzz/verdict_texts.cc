// What the verdict reads from Redis beside notices: argument keys of a scan,
// the three model texts of an argument hash and a boxplot text. The first
// byte picks the reader; the rest is the text (for the model, three texts
// split at the first two '|' bytes). Accepted texts keep the bounds of what
// the daemon writes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "verdict/verdict_cache.h"

namespace {

void check_model_text(std::string_view text) {
  int column = 0;
  std::vector<double> entries;
  if (!mlv::parse_model_text(text, &column, &entries)) return;
  if (column < 1 || static_cast<size_t>(column) > mlv::kModelStatesMax) abort();
  if (entries.size() > mlv::kModelStatesMax * mlv::kModelSymbolsMax) abort();
  for (double v : entries)
    if (!(v >= 0.0 && v <= 1.0)) abort();
}

void check_model(std::string_view text) {
  const size_t a = text.find('|');
  const size_t b = a == std::string_view::npos ? a : text.find('|', a + 1);
  if (b == std::string_view::npos) return check_model_text(text);
  ml_hmm_model *m =
      mlv::model_from_texts(text.substr(0, a), text.substr(a + 1, b - a - 1), text.substr(b + 1));
  if (!m) return;
  if (m->state_count < 1 || static_cast<size_t>(m->state_count) > mlv::kModelStatesMax ||
      m->symbol_count < 1 || static_cast<size_t>(m->symbol_count) > mlv::kModelSymbolsMax)
    abort();
  ml_hmm_free(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: {
      uint32_t arg = 0;
      const uint32_t domain = data[0] / 3;
      if (!mlv::parse_arg_key(text, domain, &arg)) break;
      const std::string prefix = "arg:" + std::to_string(domain) + ":";
      if (text.substr(0, prefix.size()) != prefix) abort();
      const std::string digits(text.substr(prefix.size()));
      if (digits.empty() || digits.size() > 10 ||
          digits.find_first_not_of("0123456789") != std::string::npos || std::stoull(digits) != arg)
        abort();
      break;
    }
    case 1:
      check_model(text);
      break;
    default: {
      double q4 = 0, q5 = 0;
      if (mlv::parse_fences(text, &q4, &q5) && !(std::isfinite(q4) && std::isfinite(q5))) abort();
    }
  }
  return 0;
}
