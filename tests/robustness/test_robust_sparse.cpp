// Hostile input to sparseMatrix: empty and one-element matrices, entries outside the matrix,
// counts the caller set wrongly, singular and rank-deficient systems, non-finite values,
// aliasing of b and x, short vectors, sizes the int storage cannot describe, and solves in two
// threads at once.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <thread>

#include "orvo/sparse.hpp"
#include "robustness_support.hpp"

using namespace Orvo;
using namespace robustness;

namespace {
sparseMatrix tridiagonal(int n) {
  sparseMatrix a(3 * n, n, n);
  for (int i = 0; i < n; ++i) {
    a.SetAt(i, i, 4.0);
    if (i > 0) a.SetAt(i, i - 1, -1.0);
    if (i + 1 < n) a.SetAt(i, i + 1, -1.0);
  }
  return a;
}
}  // namespace

TEST(RobustSparse, ImpossibleSizesAndCountsAreRefused) {
  StorageBalance balance;
  EXPECT_THROW(sparseMatrix(1, INT_MAX, 1), mvlException);
  EXPECT_THROW(sparseMatrix(-1, 1, 1), mvlException);
  sparseMatrix a = tridiagonal(4);
  mvlarray<double> b = filledArray(4, 1.0), x(4);
  for (const int count : {-1, a.Capacity() + 1}) {
    sparseMatrix copy(a);
    copy.Nz() = count;
    EXPECT_FALSE(copy.Solve(b, x));
    EXPECT_EQ(copy.Info(0), -2);
    EXPECT_THROW(copy.MvMul(x.Array(), b.Array()), mvlException);
  }
}

TEST(RobustSparse, EmptyAndOneElementMatrices) {
  StorageBalance balance;
  sparseMatrix none(0, 3, 3);
  mvlarray<double> b = filledArray(3, 1.0), x(3);
  EXPECT_FALSE(none.Solve(b, x));
  EXPECT_EQ(none.Info(0), -2);
  sparseMatrix zeroOrder(0, 0, 0);
  mvlarray<double> nothing(0);
  EXPECT_FALSE(zeroOrder.Solve(nothing, nothing));
  sparseMatrix single(1, 1, 1);
  single.SetAt(0, 0, 4.0);
  mvlarray<double> b1 = filledArray(1, 2.0), x1(1);
  ASSERT_TRUE(single.Solve(b1, x1));
  EXPECT_EQ(x1[0], 0.5);
  for (const bool general : {false, true}) {
    sparseMatrix outside(1, 2, 2);
    outside.SetAt(5, 0, 1.0);
    mvlarray<double> b2 = filledArray(2, 1.0), x2(2);
    EXPECT_FALSE(outside.Solve(b2, x2, general));
  }
}

TEST(RobustSparse, SingularRankDeficientInconsistentAndNonFinite) {
  StorageBalance balance;
  for (const bool general : {false, true}) {
    sparseMatrix singular(4, 2, 2);
    singular.SetAt(0, 0, 1.0);
    singular.SetAt(0, 1, 1.0);
    singular.SetAt(1, 0, 1.0);
    singular.SetAt(1, 1, 1.0);
    mvlarray<double> b = filledArray(2, 1.0), x(2);
    EXPECT_FALSE(singular.Solve(b, x, general));
    EXPECT_GT(singular.Info(0), 0);
  }
  sparseMatrix tall(4, 3, 1);
  tall.SetAt(0, 0, 1.0);
  tall.SetAt(1, 0, 1.0);
  tall.SetAt(2, 0, 1.0);
  mvlarray<double> b(3), x(1);
  b[0] = 1.0;
  b[1] = 2.0;
  b[2] = 3.0;
  EXPECT_FALSE(tall.Solve(b, x));
  EXPECT_EQ(tall.Info(0), sparseMatrix::InconsistentSystem);
  for (const double bad : {kNaN, kInf}) {
    for (const bool general : {false, true}) {
      sparseMatrix a = tridiagonal(5);
      a.Data()[2] = bad;
      mvlarray<double> rhs = filledArray(5, 1.0), solution(5);
      EXPECT_FALSE(a.Solve(rhs, solution, general));
      EXPECT_EQ(a.Info(0), sparseMatrix::NonFiniteEntries);
      a.Data()[2] = -1.0;
      ASSERT_TRUE(a.ReSolve(rhs, solution));
      a.Data()[2] = bad;
      EXPECT_FALSE(a.ReSolve(rhs, solution));
      EXPECT_EQ(a.Info(0), sparseMatrix::NonFiniteEntries);
    }
  }
}

TEST(RobustSparse, AliasedRightHandSideAndChangedPatterns) {
  StorageBalance balance;
  for (const bool general : {false, true}) {
    sparseMatrix a = tridiagonal(6);
    mvlarray<double> expected = filledArray(6, 1.0), bx(6);
    a.MvMul(expected.Array(), bx.Array());
    ASSERT_TRUE(a.Solve(bx, bx, general));
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(bx[i], 1.0, 1e-14);
    a.MvMul(expected.Array(), bx.Array());
    ASSERT_TRUE(a.ReSolve(bx, bx));
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(bx[i], 1.0, 1e-14);
    a.SetAt(0, 5, 1.0);
    EXPECT_FALSE(a.ReSolve(bx, bx));
    EXPECT_EQ(a.Info(0), sparseMatrix::PatternChanged);
  }
}

// The kernels read Nr values of b and write Nc of x whatever the arrays hold: short vectors are
// refused before anything is read, on both paths, first solve and refactorisation alike, and
// leave an existing factorisation usable.
TEST(RobustSparse, ShortRightHandSidesAndSolutionsAreRefused) {
  StorageBalance balance;
  for (const bool general : {false, true}) {
    sparseMatrix a = tridiagonal(5);
    mvlarray<double> expected = filledArray(5, 1.0), b(5), x = filledArray(5, 7.0);
    a.MvMul(expected.Array(), b.Array());
    mvlarray<double> shortB = filledArray(4, 1.0), shortX = filledArray(4, 7.0);
    EXPECT_FALSE(a.Solve(shortB, x, general));
    EXPECT_EQ(a.Info(0), sparseMatrix::ShortVector);
    EXPECT_FALSE(a.Solve(b, shortX, general));
    EXPECT_EQ(a.Info(0), sparseMatrix::ShortVector);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(shortX[i], 7.0);
    EXPECT_FALSE(a.ReSolve(shortB, x));
    EXPECT_EQ(a.Info(0), sparseMatrix::ShortVector);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(x[i], 7.0);
    ASSERT_TRUE(a.Solve(b, x, general));
    EXPECT_EQ(a.Info(0), sparseMatrix::Success);
    EXPECT_FALSE(a.Solve(shortB, x, general));
    EXPECT_EQ(a.Info(0), sparseMatrix::ShortVector);
    EXPECT_FALSE(a.ReSolve(b, shortX));
    EXPECT_EQ(a.Info(0), sparseMatrix::ShortVector);
    EXPECT_FALSE(a.ReSolve(shortB, shortB));
    a.Data()[0] = 5.0;
    mvlarray<double> residual(5);
    ASSERT_TRUE(a.ReSolve(b, x));
    a.MvMul(x.Array(), residual.Array());
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(residual[i], b[i], 1e-14);
  }
  // Rectangular: b is measured against the rows, x against the columns; longer is fine.
  sparseMatrix wide(4, 2, 3);
  wide.SetAt(0, 0, 1.0);
  wide.SetAt(1, 1, 2.0);
  wide.SetAt(1, 2, 1.0);
  mvlarray<double> b2 = filledArray(2, 2.0), x2(2), x6(6);
  EXPECT_FALSE(wide.Solve(b2, x2));
  EXPECT_EQ(wide.Info(0), sparseMatrix::ShortVector);
  ASSERT_TRUE(wide.Solve(b2, x6));
  mvlarray<double> product(2);
  wide.MvMul(x6.Array(), product.Array());
  EXPECT_NEAR(product[0], 2.0, 1e-15);
  EXPECT_NEAR(product[1], 2.0, 1e-15);
}

// Two threads factorising and solving different matrices at the same time, each on both paths
// and with refactorisations: the engine's allocations are shared process state, and each
// thread's solutions must still satisfy its own system. (No storage balance here: the counters
// may lose counts while two threads update them at once.)
TEST(RobustSparse, ConcurrentSolvesOfDifferentMatricesStayIndependent) {
  constexpr int kRounds = 40;
  auto worker = [](int order, double shift, int* failures) {
    for (int round = 0; round < kRounds; ++round) {
      const int n = order + round % 7;
      // Unsymmetric, diagonally dominant: a fresh analysis every round.
      sparseMatrix a(4 * n, n, n);
      for (int i = 0; i < n; ++i) {
        a.SetAt(i, i, shift + i % 3);
        if (i > 0) a.SetAt(i, i - 1, -1.0 - 0.01 * round);
        if (i + 2 < n) a.SetAt(i, i + 2, 0.5);
        if (i + n / 2 < n) a.SetAt(i, i + n / 2, 0.25);
      }
      mvlarray<double> expected(n), b(n), x(n), ax(n);
      for (int i = 0; i < n; ++i) expected[i] = 1.0 + 0.1 * i;
      auto satisfied = [&]() {
        a.MvMul(x.Array(), ax.Array());
        for (int i = 0; i < n; ++i)
          if (!(std::fabs(ax[i] - b[i]) <= 1e-12 * (1.0 + std::fabs(b[i])))) return false;
        return true;
      };
      const bool general = round % 2 == 1;
      a.MvMul(expected.Array(), b.Array());
      if (!a.Solve(b, x, general) || !satisfied()) ++*failures;
      a.Data()[0] += 1.0;
      a.MvMul(expected.Array(), b.Array());
      if (!a.ReSolve(b, x) || !satisfied()) ++*failures;
    }
  };
  int failuresA = 0, failuresB = 0;
  std::thread first(worker, 60, 5.0, &failuresA);
  std::thread second(worker, 45, 7.0, &failuresB);
  first.join();
  second.join();
  EXPECT_EQ(failuresA, 0);
  EXPECT_EQ(failuresB, 0);
}
