// Text helpers shared by the detection benchmarks: the lines of a file and
// a value's pattern text (the form the sample tables store).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "platform/mathmodel/mathmodel.h"

// The non-empty lines of a file, without a trailing carriage return; none
// when the file cannot be read.
inline std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// One character '0' + k per symbol k of the value's generalisation, for a
// value of any length.
inline std::string pattern_of(const std::string &v) {
  std::vector<int32_t> syms(v.size() + 1);
  int32_t n = static_cast<int32_t>(syms.size() * sizeof(int32_t));
  ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(v.data()),
                        static_cast<uint32_t>(v.size()), syms.data(), &n);
  std::string p;
  for (int k = 0; k < n; ++k) p.push_back(static_cast<char>('0' + syms[k]));
  return p;
}
