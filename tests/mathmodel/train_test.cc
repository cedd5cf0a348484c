#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mathmodel/mathmodel.h"

namespace {

// A sample list built the way the daemon's reader builds it: items grown with
// the system allocator, a private copy of each value, a zeroed pattern buffer.
struct List {
  ml_sample_list l{};
  ~List() { ml_free_sample_items(&l); }
  void add(const std::string &v, int count, bool with_pattern = true) {
    l.items =
        static_cast<ml_sample_item *>(realloc(l.items, sizeof(ml_sample_item) * (l.count + 1)));
    ml_sample_item &it = l.items[l.count++];
    std::memset(&it, 0, sizeof it);
    it.sample_str = static_cast<char *>(calloc(v.size() + 1, 1));
    std::memcpy(it.sample_str, v.data(), v.size());
    it.pattern = with_pattern ? static_cast<char *>(calloc(v.size() + 1, 1)) : nullptr;
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(v.size());
    it.pattern_count = count;
  }
};

std::string pattern_text(const std::string &v) {
  std::vector<int32_t> syms(v.size() + 1);
  int32_t n = static_cast<int32_t>(syms.size() * 4);
  EXPECT_EQ(0, ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(v.data()),
                                     static_cast<uint32_t>(v.size()), syms.data(), &n));
  std::string out;
  for (int k = 0; k < n; ++k) out.push_back(static_cast<char>('0' + syms[k]));
  return out;
}

TEST(mathmodel_train, FillsEveryItemFieldAndFlagsTheOddOneOutAsNoise) {
  List list;
  const std::vector<std::string> values = {"12345", "678", "4021", "7", "99-12", "55"};
  for (size_t i = 0; i < values.size(); ++i) list.add(values[i], 40 - 5 * static_cast<int>(i));
  list.add("1' OR 'x'='x'--", 1);
  list.add("3141", 2, false);  // a sample without a pattern buffer
  ml_hmm_model *m = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&m, &list.l, 10));
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(10, m->state_count);
  EXPECT_EQ(ML_HMM_SYMBOLS, m->symbol_count);
  EXPECT_EQ(0.0, m->mean_length);
  EXPECT_EQ(0.0, m->mean_prob);
  for (int i = 0; i < list.l.count; ++i) {
    const ml_sample_item &it = list.l.items[i];
    const std::string v(it.sample_str, it.sample_len);
    if (it.pattern) {
      EXPECT_EQ(pattern_text(v), it.pattern) << v;
    }
    ASSERT_EQ(static_cast<int32_t>(pattern_text(v).size()), it.sequence_len);
    double p = 0.0;
    ASSERT_EQ(0, ml_hmm_calc_prob_by_seq(m, it.sequence, it.sequence_len, &p));
    EXPECT_DOUBLE_EQ(std::exp(p), it.average_probability);
    EXPECT_EQ(v[1] == '\'' ? 1 : 0, it.noise_flag) << v;
    EXPECT_EQ(0.0, it.pattern_probability);
  }
  // Mean and variance are over the non-noise items, weighted by count.
  double w = 0, sum = 0, sq = 0;
  for (int i = 0; i < list.l.count; ++i) {
    const ml_sample_item &it = list.l.items[i];
    if (it.noise_flag) continue;
    const double p = std::log(it.average_probability);
    w += it.pattern_count;
    sum += it.pattern_count * p;
    sq += it.pattern_count * p * p;
  }
  EXPECT_NEAR(sum / w, m->prob_mean_ex, 1e-9);
  EXPECT_NEAR(sq / w - (sum / w) * (sum / w), m->variance_ex, 1e-9);
  ml_hmm_free(m);
}

TEST(mathmodel_train, DeterministicAndAPatternCountOfKEqualsKItems) {
  List weighted, copies, again;
  for (List *l : {&weighted, &again}) {
    l->add("Malaga", 3);
    l->add("gie-ming", 1);
    l->add("Paris", 2);
  }
  for (int k = 0; k < 3; ++k) copies.add("Malaga", 1);
  copies.add("gie-ming", 1);
  copies.add("Paris", 1);
  copies.add("Paris", 1);
  ml_hmm_model *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(0, ml_train_hmm_model(&a, &weighted.l, 10));
  ASSERT_EQ(0, ml_train_hmm_model(&b, &copies.l, 10));
  ASSERT_EQ(0, ml_train_hmm_model(&c, &again.l, 10));
  for (int i = 1; i <= 10; ++i) {
    for (int k = 1; k <= ML_HMM_SYMBOLS; ++k) {
      EXPECT_NEAR(a->emission[i][k], b->emission[i][k], 1e-9);
      EXPECT_EQ(a->emission[i][k], c->emission[i][k]);
    }
  }
  EXPECT_NEAR(a->prob_mean_ex, b->prob_mean_ex, 1e-9);
  EXPECT_NEAR(a->variance_ex, b->variance_ex, 1e-9);
  // No minority pattern is thrown away as noise.
  for (int i = 0; i < weighted.l.count; ++i) EXPECT_EQ(0, weighted.l.items[i].noise_flag);
  ml_hmm_free(a);
  ml_hmm_free(b);
  ml_hmm_free(c);
}

TEST(mathmodel_train, NothingTrainableFailsWithoutAModelOrALeak) {
  ml_hmm_model *m = nullptr;
  List empty;
  EXPECT_NE(0, ml_train_hmm_model(&m, &empty.l, 10));
  EXPECT_EQ(nullptr, m);
  List blanks;
  blanks.add("", 5);
  blanks.add("", 1, false);
  EXPECT_NE(0, ml_train_hmm_model(&m, &blanks.l, 10));
  EXPECT_EQ(nullptr, m);
  List one;
  one.add("x", 1);
  EXPECT_NE(0, ml_train_hmm_model(&m, nullptr, 10));
  EXPECT_NE(0, ml_train_hmm_model(nullptr, &one.l, 10));
  EXPECT_NE(0, ml_train_hmm_model(&m, &one.l, 0));
  EXPECT_NE(0, ml_train_hmm_model(&m, &one.l, ML_HMM_MAX_STATES + 1));
  EXPECT_EQ(nullptr, m);
  // Training twice on one list replaces the sequences instead of leaking them.
  ASSERT_EQ(0, ml_train_hmm_model(&m, &one.l, 10));
  ml_hmm_free(m);
  ASSERT_EQ(0, ml_train_hmm_model(&m, &one.l, 10));
  ml_hmm_free(m);
  ml_hmm_free(nullptr);
  ml_free_sample_items(nullptr);
  ml_free_sample_items(&one.l);
  EXPECT_EQ(nullptr, one.l.items);
  EXPECT_EQ(0, one.l.count);
}

}  // namespace
