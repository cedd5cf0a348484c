#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "platform/mathmodel/mathmodel.h"

namespace {

TEST(mathmodel_boxplot, ExactQuartilesFencesAndCounts) {
  // Sorted: -5 x3, -3.2 x2, -2.5 x4, -2 x116 (index 0..124), -1 x250, 0 x125.
  std::vector<double> v;
  v.insert(v.end(), 3, -5.0);
  v.insert(v.end(), 2, -3.2);
  v.insert(v.end(), 4, -2.5);
  v.insert(v.end(), 116, -2.0);
  v.insert(v.end(), 250, -1.0);
  v.insert(v.end(), 125, 0.0);
  std::shuffle(v.begin(), v.end(), std::mt19937(4));
  ml_boxplot b{};
  ASSERT_EQ(0, ml_calc_boxplot(v.data(), 500, &b));
  EXPECT_DOUBLE_EQ(-1.25, b.q1);  // between index 124 (-2) and 125 (-1)
  EXPECT_DOUBLE_EQ(-1.0, b.q2);
  EXPECT_DOUBLE_EQ(-0.75, b.q3);
  EXPECT_DOUBLE_EQ(-2.0, b.q4);  // IQR 0.5
  EXPECT_DOUBLE_EQ(-2.75, b.q5);
  EXPECT_DOUBLE_EQ(-1.0 - 1.57 * 0.5 / std::sqrt(500.0), b.notch_bottom);
  EXPECT_DOUBLE_EQ(-1.0 + 1.57 * 0.5 / std::sqrt(500.0), b.notch_top);
  EXPECT_EQ(-5.0, b.sample_min);
  EXPECT_EQ(0.0, b.sample_max);
  EXPECT_EQ(4, b.potential_anomaly_cnt);  // -2.5; -2.0 sits on the fence
  EXPECT_EQ(5, b.definite_anomaly_cnt);
  EXPECT_EQ(0, ml_boxplot_classify(&b, -2.0));
  EXPECT_EQ(1, ml_boxplot_classify(&b, -2.5));
  EXPECT_EQ(2, ml_boxplot_classify(&b, -2.76));
  EXPECT_EQ(2, ml_boxplot_classify(&b, std::nan("")));
}

TEST(mathmodel_boxplot, ZeroIqrUsesTheSpreadFloorAndBadNumbersStayDefined) {
  std::vector<double> v(500, -0.4);
  v[0] = std::numeric_limits<double>::quiet_NaN();
  v[1] = -std::numeric_limits<double>::infinity();
  v[2] = std::numeric_limits<double>::infinity();
  v[3] = -1.0;  // within 1.5 * 0.5 of q1: normal
  v[4] = -1.5;  // potential
  ml_boxplot b{};
  ASSERT_EQ(0, ml_calc_boxplot(v.data(), 500, &b));
  EXPECT_DOUBLE_EQ(-0.4, b.q1);
  EXPECT_DOUBLE_EQ(-0.4, b.q3);
  EXPECT_DOUBLE_EQ(-0.4 - 0.75, b.q4);
  EXPECT_DOUBLE_EQ(-0.4 - 1.5, b.q5);
  EXPECT_EQ(ML_HMM_NO_PROB, b.sample_min);
  EXPECT_EQ(0.0, b.sample_max);
  EXPECT_EQ(1, b.potential_anomaly_cnt);
  EXPECT_EQ(2, b.definite_anomaly_cnt);  // NaN and -inf
  const double *fields = &b.q2;
  for (int k = 0; k < 12; ++k) EXPECT_TRUE(std::isfinite(fields[k])) << k;
  ml_boxplot untouched{};
  untouched.q1 = 42.0;
  EXPECT_NE(0, ml_calc_boxplot(v.data(), 0, &untouched));
  EXPECT_NE(0, ml_calc_boxplot(nullptr, 500, &untouched));
  EXPECT_NE(0, ml_calc_boxplot(v.data(), 500, nullptr));
  EXPECT_EQ(42.0, untouched.q1);
  ASSERT_EQ(0, ml_calc_boxplot(v.data() + 5, 1, &b));
  EXPECT_EQ(-0.4, b.q2);
}

}  // namespace
