#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/mathmodel/mathmodel.h"

namespace {

// Symbols of a string, with a roomy output array; fails the test on error.
std::vector<int32_t> symbols_of(const std::string &s) {
  std::vector<int32_t> out(s.size() + 1);
  int32_t count = static_cast<int32_t>(out.size() * sizeof(int32_t));
  EXPECT_EQ(0, ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(s.data()),
                                     static_cast<uint32_t>(s.size()), out.data(), &count));
  out.resize(count);
  return out;
}

TEST(mathmodel_generalize, ClassesAndRunsKeepLengthUpToThree) {
  const auto digit = symbols_of("7")[0], lower = symbols_of("a")[0], upper = symbols_of("A")[0];
  const auto high = symbols_of("\xC3")[0], space = symbols_of(" ")[0];
  EXPECT_EQ(5u, std::set<int32_t>({digit, lower, upper, high, space}).size());
  EXPECT_EQ(symbols_of("0"), symbols_of("9"));
  EXPECT_EQ(symbols_of("qz"), symbols_of("ab"));
  EXPECT_EQ(std::vector<int32_t>({digit, digit}), symbols_of("42"));
  EXPECT_EQ(std::vector<int32_t>(3, digit), symbols_of("541910"));
  EXPECT_EQ(std::vector<int32_t>(3, lower), symbols_of("abcdefgh"));
  EXPECT_EQ(std::vector<int32_t>({high, high}), symbols_of("\xC3\xA9"));  // é
  EXPECT_EQ(std::vector<int32_t>({lower, digit, lower, digit}), symbols_of("a1b2"));
  EXPECT_EQ(std::vector<int32_t>({upper, lower, lower, lower, space, digit}),
            symbols_of("Malaga 5"));
  // Every punctuation character is a symbol of its own, and repeats are kept.
  const std::string punct = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  std::set<int32_t> seen;
  for (char c : punct) seen.insert(symbols_of(std::string(1, c))[0]);
  EXPECT_EQ(punct.size(), seen.size());
  EXPECT_FALSE(seen.count(digit) || seen.count(lower) || seen.count(space));
  EXPECT_EQ(5u, symbols_of("'''''").size());
}

TEST(mathmodel_generalize, EveryByteGivesASymbolBelow44AndNeverMoreSymbolsThanBytes) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::mt19937 rng(11);
  std::string noise;
  for (int i = 0; i < 1025; ++i) noise.push_back(static_cast<char>(rng() & 0xff));
  for (const std::string &s : {all, noise, std::string(1025, 'x')}) {
    const auto syms = symbols_of(s);
    EXPECT_LE(syms.size(), s.size());
    for (int32_t k : syms) {
      EXPECT_GE(k, 0);
      EXPECT_LT(k, 44);
      EXPECT_LT(k, ML_HMM_SYMBOLS);
    }
  }
}

TEST(mathmodel_generalize, CountIsCapacityInBytesOnInputAndSymbolsOnOutput) {
  // 1025 alternating bytes give 1025 symbols: exactly the daemon's 4100 bytes.
  std::string alt;
  for (int i = 0; i < 1026; ++i) alt.push_back(i % 2 ? '1' : 'a');
  const auto *v = reinterpret_cast<const unsigned char *>(alt.data());
  std::vector<int32_t> out(1025, -7);
  int32_t count = 4100;
  EXPECT_EQ(0, ml_hmm_generalize_str(v, 1025, out.data(), &count));
  EXPECT_EQ(1025, count);
  count = 4100;
  EXPECT_NE(0, ml_hmm_generalize_str(v, 1026, out.data(), &count));
  EXPECT_EQ(4100, count);
  // A capacity that is not a whole number of symbols rounds down.
  count = 11;
  EXPECT_NE(0, ml_hmm_generalize_str(v, 3, out.data(), &count));
  count = 12;
  EXPECT_EQ(0, ml_hmm_generalize_str(v, 3, out.data(), &count));
  EXPECT_EQ(3, count);
  // Empty value: no symbols; bad pointers and a negative capacity fail.
  count = 4100;
  EXPECT_EQ(0, ml_hmm_generalize_str(v, 0, out.data(), &count));
  EXPECT_EQ(0, count);
  count = 4100;
  EXPECT_EQ(0, ml_hmm_generalize_str(nullptr, 0, out.data(), &count));
  EXPECT_NE(0, ml_hmm_generalize_str(nullptr, 3, out.data(), &count));
  EXPECT_NE(0, ml_hmm_generalize_str(v, 3, nullptr, &count));
  EXPECT_NE(0, ml_hmm_generalize_str(v, 3, out.data(), nullptr));
  count = -4;
  EXPECT_NE(0, ml_hmm_generalize_str(v, 3, out.data(), &count));
}

}  // namespace
