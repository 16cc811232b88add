// The classical column-oriented LU against LAPACK's blocked LU on the same systems.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "backward_error.hpp"
#include "kernel/dense/dense_kernels.hpp"
#include "random_matrices.hpp"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

std::vector<double> randomMatrix(int rows, int cols, unsigned seed) {
  return support::randomValues(rows, cols, seed);
}

// max |A x - b| / (|A|_max * |x|_1 + |b|_max): of order n * epsilon for a backward-stable solve.
double scaledResidual(const std::vector<double>& a, int n, const std::vector<double>& x,
                      const std::vector<double>& b, bool transposed) {
  return support::denseBackwardError(a, n, x, b, transposed) * kEpsilon;
}

class LinpackAgainstLapack : public ::testing::TestWithParam<int> {};

TEST_P(LinpackAgainstLapack, FactorsPivotsAndSolutionsAgree) {
  const int n = GetParam();
  const std::vector<double> a = randomMatrix(n, n, 1000 + n);
  const std::vector<double> b = randomMatrix(n, 1, 2000 + n);

  std::vector<double> linpackFactors = a, lapackFactors = a;
  std::vector<int> linpackPivots(n), lapackPivots(n);
  ASSERT_EQ(CLinpack_DGEFA(linpackFactors.data(), n, n, linpackPivots.data()), 0);
  ASSERT_EQ(CLapack_DGETRF(n, n, lapackFactors.data(), n, lapackPivots.data()), 0);

  // Same pivot choice and U. The classical routine stores the negated multipliers and, unlike
  // LAPACK, does not carry later interchanges back into earlier columns of L: replay them.
  EXPECT_EQ(linpackPivots, lapackPivots);
  for (int k = 0; k < n; ++k)
    for (int later = k + 1; later < n; ++later)
      std::swap(linpackFactors[later + k * n], linpackFactors[linpackPivots[later] - 1 + k * n]);
  double largestU = 0.0;
  for (double value : lapackFactors) largestU = std::max(largestU, std::fabs(value));
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double expected = i > j ? -lapackFactors[i + j * n] : lapackFactors[i + j * n];
      EXPECT_NEAR(linpackFactors[i + j * n], expected, 64 * n * kEpsilon * largestU)
          << "(" << i << ", " << j << ")";
    }

  std::vector<double> x = b, xLapack = b;
  linpackFactors = a;
  ASSERT_EQ(CLinpack_DGEFA(linpackFactors.data(), n, n, linpackPivots.data()), 0);
  ASSERT_EQ(CLinpack_DGESL(linpackFactors.data(), n, n, linpackPivots.data(), x.data(), 0), 0);
  ASSERT_EQ(
      CLapack_DGETRS("N", n, 1, lapackFactors.data(), n, lapackPivots.data(), xLapack.data(), n),
      0);
  EXPECT_LT(scaledResidual(a, n, x, b, false), 8 * n * kEpsilon);
  double largestX = 0.0;
  for (double value : xLapack) largestX = std::max(largestX, std::fabs(value));
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], xLapack[i], 1e-9 * largestX);

  std::vector<double> y = b;
  ASSERT_EQ(CLinpack_DGESL(linpackFactors.data(), n, n, linpackPivots.data(), y.data(), 1), 0);
  EXPECT_LT(scaledResidual(a, n, y, b, true), 8 * n * kEpsilon);
}

INSTANTIATE_TEST_SUITE_P(Orders, LinpackAgainstLapack, ::testing::Values(1, 2, 3, 7, 16, 61));

TEST(LinpackLU, WorksInsideALargerLeadingDimension) {
  const int n = 4, lda = 6;
  const std::vector<double> a = randomMatrix(lda, n, 7);
  std::vector<double> compact(n * n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) compact[i + j * n] = a[i + j * lda];
  std::vector<double> factors = a;
  std::vector<int> pivots(n);
  ASSERT_EQ(CLinpack_DGEFA(factors.data(), lda, n, pivots.data()), 0);
  for (int j = 0; j < n; ++j)  // rows past n belong to someone else
    for (int i = n; i < lda; ++i) EXPECT_EQ(factors[i + j * lda], a[i + j * lda]);
  std::vector<double> b = {1.0, -2.0, 0.5, 3.0}, x = b;
  CLinpack_DGESL(factors.data(), lda, n, pivots.data(), x.data(), 0);
  EXPECT_LT(scaledResidual(compact, n, x, b, false), 32 * kEpsilon);
}

TEST(LinpackLU, ReportsTheLastZeroPivot) {
  // Rank one, with multipliers that are powers of two so the elimination is exact: the pivots
  // of steps 2 and 3 both vanish.
  std::vector<double> a = {4.0, 2.0, 1.0, 8.0, 4.0, 2.0, 4.0, 2.0, 1.0};
  std::vector<int> pivots(3);
  EXPECT_EQ(CLinpack_DGEFA(a.data(), 3, 3, pivots.data()), 3);

  std::vector<double> firstColumnZero = {0.0, 0.0, 1.0, 2.0};
  std::vector<int> twoPivots(2);
  EXPECT_EQ(CLinpack_DGEFA(firstColumnZero.data(), 2, 2, twoPivots.data()), 1);
}

TEST(LinpackLU, RejectsIllegalArguments) {
  std::vector<double> a(4, 1.0);
  std::vector<int> pivots(2);
  EXPECT_EQ(CLinpack_DGEFA(a.data(), 2, -1, pivots.data()), -3);
  EXPECT_EQ(CLinpack_DGEFA(a.data(), 1, 2, pivots.data()), -2);
  EXPECT_EQ(CLinpack_DGESL(a.data(), 1, 2, pivots.data(), a.data(), 0), -2);
  EXPECT_EQ(CLinpack_DGEFA(a.data(), 1, 0, pivots.data()), 0);  // empty system: nothing to do
}

// The LAPACK faces reject bad arguments themselves (the kernel would print a message), with the
// codes of the published LAPACK interface: minus the position of the first bad argument.
TEST(LapackFaces, RejectedArgumentsGiveThePublishedCodes) {
  std::vector<double> a(16, 1.0), b(4, 1.0), s(4), vt(16), work(64);
  std::vector<int> pivots(4), integerWork(32);
  EXPECT_EQ(CLapack_DGETRF(-1, 2, a.data(), 2, pivots.data()), -1);
  EXPECT_EQ(CLapack_DGETRF(3, 3, a.data(), 2, pivots.data()), -4);
  EXPECT_EQ(CLapack_DGETRF(0, 0, a.data(), 0, pivots.data()), -4);
  EXPECT_EQ(CLapack_DGETRS("X", 2, 1, a.data(), 2, pivots.data(), b.data(), 2), -1);
  EXPECT_EQ(CLapack_DGETRS("N", 2, -1, a.data(), 2, pivots.data(), b.data(), 2), -3);
  EXPECT_EQ(CLapack_DGETRS("N", 3, 1, a.data(), 2, pivots.data(), b.data(), 3), -5);
  EXPECT_EQ(CLapack_DGETRS("N", 3, 1, a.data(), 3, pivots.data(), b.data(), 2), -8);
  EXPECT_EQ(CLapack_DGESV(-1, 1, a.data(), 1, pivots.data(), b.data(), 1), -1);
  EXPECT_EQ(CLapack_DGESV(3, 1, a.data(), 3, pivots.data(), b.data(), 2), -7);
  EXPECT_EQ(CLapack_DPOTRF("X", 2, a.data(), 2), -1);
  EXPECT_EQ(CLapack_DPOTRF("U", 3, a.data(), 2), -4);
  EXPECT_EQ(CLapack_DPOTRS("U", 2, -1, a.data(), 2, b.data(), 2), -3);
  EXPECT_EQ(CLapack_DPOTRS("U", 3, 1, a.data(), 3, b.data(), 1), -7);
  EXPECT_EQ(CLapack_DGESDD("Q", 2, 2, a.data(), 2, s.data(), nullptr, 2, vt.data(), 2, work.data(),
                           64, integerWork.data()),
            -1);
  EXPECT_EQ(CLapack_DGESDD("O", 3, 2, a.data(), 2, s.data(), nullptr, 3, vt.data(), 2, work.data(),
                           64, integerWork.data()),
            -5);
  EXPECT_EQ(CLapack_DGESDD("O", 2, 3, a.data(), 2, s.data(), b.data(), 1, vt.data(), 3, work.data(),
                           64, integerWork.data()),
            -8);  // a wide matrix in overwrite mode needs U
  EXPECT_EQ(CLapack_DGESDD("O", 3, 2, a.data(), 3, s.data(), nullptr, 3, vt.data(), 1, work.data(),
                           64, integerWork.data()),
            -10);
  int info = 0;
  const int n = 4, kl = 1, ku = 1, shortLdab = 3, ldab = 4, one = 1, ldb = 2;
  Lapack_DGBTRF(&n, &n, &kl, &ku, a.data(), &shortLdab, pivots.data(), &info);
  EXPECT_EQ(info, -6);
  Lapack_DGBTRS("N", &n, &kl, &ku, &one, a.data(), &ldab, pivots.data(), b.data(), &ldb, &info);
  EXPECT_EQ(info, -10);
}

}  // namespace
