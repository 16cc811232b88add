// Vector exponential and reciprocal against the scalar standard library, on every instruction
// set path the machine can run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernel/vml/vml_kernels.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();
constexpr double kMax = std::numeric_limits<double>::max();
// "A few ulp": the exponential is promised within 1 ulp of the rounded value, and std::exp is
// itself within 1 ulp, so two can separate them.
constexpr std::int64_t kExpUlpTolerance = 2;

// Maps doubles to integers monotonically so that the difference counts representable values.
std::int64_t orderedBits(double x) {
  std::int64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
}

std::int64_t ulpDistance(double a, double b) {
  const std::int64_t d = orderedBits(a) - orderedBits(b);
  return d < 0 ? -d : d;
}

std::string pathName(VmlPath path) {
  switch (path) {
    case VmlPath::Avx512:
      return "Avx512";
    case VmlPath::Avx2:
      return "Avx2";
    case VmlPath::Sse2:
      return "Sse2";
    case VmlPath::Scalar:
      return "Scalar";
    default:
      return "Automatic";
  }
}

class VmlKernel : public ::testing::TestWithParam<VmlPath> {
 protected:
  void SetUp() override {
    if (!VML_SelectPath(GetParam())) GTEST_SKIP() << "processor cannot run this path";
  }
  void TearDown() override { VML_SelectPath(VmlPath::Automatic); }
};

// Arguments from below the underflow threshold to beyond overflow, including the gradual
// underflow band (-745.13 < x < -708.4) and the neighbourhood of 0.
std::vector<double> sweep() {
  std::vector<double> x;
  const int steps = 300001;
  for (int k = 0; k < steps; ++k) x.push_back(-760.0 + 1480.0 * k / (steps - 1));
  for (int k = 0; k < 20001; ++k) x.push_back(-1e-3 + 2e-3 * k / 20000);
  for (double edge : {709.78, 709.7827112, 709.782712, 709.782712893384, 709.7827128933841, 709.79,
                      -708.3964185322641, -708.4, -745.1332191019411, -745.1332191019412, -745.14})
    x.push_back(edge);
  for (double tiny : {kDenormMin, -kDenormMin, 1e-310, -1e-310, 2.2250738585072014e-308, 1e-300,
                      0.0, -0.0, 1e-17, -1e-17})
    x.push_back(tiny);
  return x;
}

TEST_P(VmlKernel, ExponentialAgreesWithScalarAcrossTheWholeRange) {
  const std::vector<double> x = sweep();
  std::vector<double> y(x.size());
  VML_vdExp(static_cast<int>(x.size()), x.data(), y.data());
  std::int64_t worst = 0;
  double worstAt = 0.0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    const std::int64_t d = ulpDistance(y[k], std::exp(x[k]));
    if (d > worst) {
      worst = d;
      worstAt = x[k];
    }
  }
  EXPECT_LE(worst, kExpUlpTolerance) << "worst at x = " << worstAt;
}

TEST_P(VmlKernel, ExponentialSpecialValues) {
  const std::vector<double> x = {kInf, -kInf, kNaN, 710.0, kMax, -746.0, -kMax, 0.0, -0.0, 1.0};
  std::vector<double> y(x.size(), -1.0);
  VML_vdExp(static_cast<int>(x.size()), x.data(), y.data());
  EXPECT_EQ(y[0], kInf);
  EXPECT_EQ(y[1], 0.0);
  EXPECT_TRUE(std::isnan(y[2]));
  EXPECT_EQ(y[3], kInf);
  EXPECT_EQ(y[4], kInf);
  EXPECT_EQ(y[5], 0.0);
  EXPECT_FALSE(std::signbit(y[5]));
  EXPECT_EQ(y[6], 0.0);
  EXPECT_EQ(y[7], 1.0);
  EXPECT_EQ(y[8], 1.0);
  EXPECT_LE(ulpDistance(y[9], 2.718281828459045), 1);
  // Deep in the gradual underflow band the result is a subnormal, not flushed to zero.
  double sub = -740.0, subResult = 0.0;
  VML_vdExp(1, &sub, &subResult);
  EXPECT_GT(subResult, 0.0);
  EXPECT_LT(subResult, std::numeric_limits<double>::min());
}

TEST_P(VmlKernel, InPlaceAndEveryTailLengthTouchOnlyTheirElements) {
  constexpr double kGuard = 12345.0;
  for (int n = 0; n <= 19; ++n) {
    std::vector<double> buffer(n + 2, kGuard), expected(n);
    for (int k = 0; k < n; ++k) {
      buffer[k + 1] = 0.37 * k - 3.1;
      expected[k] = std::exp(buffer[k + 1]);
    }
    VML_vdExp(n, buffer.data() + 1, buffer.data() + 1);  // same array as source and result
    EXPECT_EQ(buffer[0], kGuard);
    EXPECT_EQ(buffer[n + 1], kGuard) << "wrote past the end, n = " << n;
    for (int k = 0; k < n; ++k)
      EXPECT_LE(ulpDistance(buffer[k + 1], expected[k]), kExpUlpTolerance) << "n = " << n;

    const std::vector<double> exponentials(buffer.begin() + 1, buffer.end() - 1);
    VML_vdInv(n, buffer.data() + 1, buffer.data() + 1);
    EXPECT_EQ(buffer[0], kGuard);
    EXPECT_EQ(buffer[n + 1], kGuard) << "wrote past the end, n = " << n;
    for (int k = 0; k < n; ++k) EXPECT_EQ(buffer[k + 1], 1.0 / exponentials[k]) << "n = " << n;
  }
  double untouched = kGuard;
  VML_vdExp(-3, &untouched, &untouched);
  VML_vdInv(-3, &untouched, &untouched);
  EXPECT_EQ(untouched, kGuard);
}

TEST_P(VmlKernel, ReciprocalIsCorrectlyRoundedWithIeeeSpecials) {
  std::vector<double> x = {3.0, -7.0, 0.0, -0.0, kInf, -kInf, kNaN, kDenormMin, kMax, 1e-310};
  for (int k = 0; k < 1000; ++k) x.push_back(std::ldexp(1.0 + k / 997.0, (k % 400) - 200));
  std::vector<double> y(x.size());
  VML_vdInv(static_cast<int>(x.size()), x.data(), y.data());
  EXPECT_EQ(y[0], 1.0 / 3.0);
  EXPECT_EQ(y[1], -1.0 / 7.0);
  EXPECT_EQ(y[2], kInf);
  EXPECT_EQ(y[3], -kInf);
  EXPECT_EQ(y[4], 0.0);
  EXPECT_TRUE(std::signbit(y[5]) && y[5] == 0.0);
  EXPECT_TRUE(std::isnan(y[6]));
  EXPECT_EQ(y[7], kInf);  // 1 / smallest subnormal overflows
  EXPECT_GT(y[8], 0.0);
  EXPECT_LT(y[8], std::numeric_limits<double>::min());  // 1 / largest double is subnormal
  // Every product x * (1/x) is within one rounding of 1, which a wrong reciprocal breaks.
  for (std::size_t k = 10; k < x.size(); ++k)
    EXPECT_NEAR(x[k] * y[k], 1.0, 2.0 * std::numeric_limits<double>::epsilon()) << x[k];
}

INSTANTIATE_TEST_SUITE_P(AllPaths, VmlKernel,
                         ::testing::Values(VmlPath::Automatic, VmlPath::Avx512, VmlPath::Avx2,
                                           VmlPath::Sse2, VmlPath::Scalar),
                         [](const ::testing::TestParamInfo<VmlPath>& info) {
                           return pathName(info.param);
                         });

}  // namespace
