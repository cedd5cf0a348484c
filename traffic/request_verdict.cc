#include "traffic/request_verdict.h"

#include <algorithm>
#include <cstdio>

#include "verdict/verdict.h"

namespace traffic {

const char *request_verdict_name(int v) {
  static const char *const names[kKinds] = {"normal",    "not_learned", "unknown_argument",
                                            "potential", "definite",    "no_arguments"};
  return v >= 0 && v < kKinds ? names[v] : "?";
}

int request_verdict_of(int mlv_verdict) {
  switch (mlv_verdict) {
    case MLV_DEFINITE:
      return kDefinite;
    case MLV_POTENTIAL:
      return kPotential;
    case MLV_UNKNOWN_ARGUMENT:
      return kUnknown;
    case MLV_NOT_LEARNED:
      return kNotLearned;
    default:
      return kNormal;
  }
}

int request_verdict_mlv(int v) {
  static const int of_kind[kKinds] = {MLV_NORMAL,    MLV_NOT_LEARNED, MLV_UNKNOWN_ARGUMENT,
                                      MLV_POTENTIAL, MLV_DEFINITE,    MLV_NORMAL};
  return v >= 0 && v < kKinds ? of_kind[v] : MLV_NORMAL;
}

std::string printable(const std::string &value, size_t max) {
  std::string out;
  const size_t n = std::min(value.size(), max);
  for (size_t i = 0; i < n; i++) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < ' ' || c >= 0x7f || c == '\\' || c == '"') {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (n < value.size()) out += "...";
  return out;
}

}  // namespace traffic
