// Dense solvers against independent references: residuals of A X = B scaled by the norms,
// Eigen's factorisations, and small systems whose solutions are known by hand.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "backward_error.hpp"
#include "orvo/dense_solvers.hpp"
#include "random_matrices.hpp"

using namespace Orvo;

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

RMatrix fromRows(int rows, int cols, std::initializer_list<double> rowMajor) {
  RMatrix m(rows, cols);
  auto value = rowMajor.begin();
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) m(i, j) = *value++;
  return m;
}

using support::randomMatrix;
using support::randomSpd;

Eigen::MatrixXd toEigen(const RMatrix& m) {
  return Eigen::Map<const Eigen::MatrixXd>(m.Array(), m.Height(), m.Width());
}

RMatrix fromEigen(const Eigen::MatrixXd& e) {
  RMatrix m(static_cast<int>(e.rows()), static_cast<int>(e.cols()));
  Eigen::Map<Eigen::MatrixXd>(m.Array(), e.rows(), e.cols()) = e;
  return m;
}

// |A X - B|_F / (|A|_F |X|_F + |B|_F), in units of machine epsilon.
double scaledResidual(const RMatrix& A, const RMatrix& X, const RMatrix& B) {
  return support::frobeniusBackwardError(A, X, B);
}

bool sameElements(const RMatrix& a, const RMatrix& b) {
  if (a.Height() != b.Height() || a.Width() != b.Width()) return false;
  for (int k = 0; k < a.Height() * a.Width(); ++k)
    if (a(k) != b(k)) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// LinSolve

class LinSolveRoutes : public ::testing::TestWithParam<int> {};  // parameter: threshold

TEST_P(LinSolveRoutes, RandomSystemHasSmallResidualAndAHoldsItsFactors) {
  const int n = 37;
  const RMatrix original = randomMatrix(n, n, 11);
  const RMatrix B = randomMatrix(n, 3, 12);
  RMatrix A(original), X(B);
  X = LinSolve(A, X, GetParam());  // the target may be the right-hand side
  ASSERT_TRUE(X.isOK());
  EXPECT_LT(scaledResidual(original, X, B), 4.0 * n);

  // A now holds U on and above the diagonal, as Eigen's partial-pivoting LU computes it.
  const Eigen::MatrixXd eigenLU =
      Eigen::PartialPivLU<Eigen::MatrixXd>(toEigen(original)).matrixLU();
  for (int j = 0; j < n; ++j)
    for (int i = 0; i <= j; ++i) EXPECT_NEAR(A(i, j), eigenLU(i, j), 1e-12 * n) << i << "," << j;
}

TEST_P(LinSolveRoutes, SingularMatrixReportsZeroPivotAndLeavesB) {
  RMatrix A = fromRows(2, 2, {1.0, 2.0, 2.0, 4.0});
  const RMatrix B = fromRows(2, 1, {3.0, 5.0});
  RMatrix X(LinSolve(A, B, GetParam()));
  EXPECT_FALSE(X.isOK());
  EXPECT_EQ(X.getInfo(), 2);
  EXPECT_TRUE(sameElements(X, B));
}

TEST_P(LinSolveRoutes, NonConformingShapesAreRejectedBeforeTouchingA) {
  const RMatrix original = randomMatrix(3, 3, 5);
  RMatrix A(original);
  const RMatrix B = randomMatrix(2, 1, 6);
  RMatrix X(LinSolve(A, B, GetParam()));
  EXPECT_FALSE(X.isOK());
  EXPECT_EQ(X.getInfo(), -1);
  EXPECT_TRUE(sameElements(A, original));

  RMatrix wide = randomMatrix(3, 4, 7);
  const RMatrix B4 = randomMatrix(4, 1, 8);
  RMatrix Y(LinSolve(wide, B4, GetParam()));
  EXPECT_EQ(Y.getInfo(), -1);
}

INSTANTIATE_TEST_SUITE_P(LapackAndLinpack, LinSolveRoutes, ::testing::Values(0, 100));

// Orders just below, at and above the crossover: each route on its own solves stably, and the
// default threshold hands the order to the classical route below it and to LAPACK from it on
// (the two routes round differently, so the bits tell which one ran).
TEST(LinSolve, DefaultThresholdSwitchesRoutesAtTheCrossover) {
  constexpr int kCrossover = LinSolve::LinpackCrossoverOrder;
  for (const int n : {kCrossover - 1, kCrossover, kCrossover + 1}) {
    const RMatrix original = randomMatrix(n, n, 300 + n);
    const RMatrix B = randomMatrix(n, 2, 400 + n);
    auto solve = [&](int threshold) {
      RMatrix A(original);
      RMatrix X(LinSolve(A, B, threshold));
      EXPECT_TRUE(X.isOK()) << "n " << n << ", threshold " << threshold;
      EXPECT_LT(scaledResidual(original, X, B), 4.0 * n)
          << "n " << n << ", threshold " << threshold;
      return X;
    };
    const RMatrix lapack = solve(0), classical = solve(n + 1), chosen = solve(kCrossover);
    EXPECT_FALSE(sameElements(lapack, classical)) << "n " << n;
    EXPECT_TRUE(sameElements(chosen, n < kCrossover ? classical : lapack)) << "n " << n;
  }
}

TEST(LinSolve, ThresholdSelectsTheRoute) {
  // Rank one with power-of-two multipliers, so both eliminations are exact and both pivots 2 and
  // 3 vanish: the blocked route stops at the first (2), the classical one reports the last (3).
  const RMatrix rankOne = fromRows(3, 3, {4.0, 8.0, 4.0, 2.0, 4.0, 2.0, 1.0, 2.0, 1.0});
  const RMatrix B = fromRows(3, 1, {1.0, 1.0, 1.0});
  for (const auto& [threshold, expectedInfo] : {std::pair{0, 2}, {3, 2}, {4, 3}, {100, 3}}) {
    RMatrix A(rankOne);
    RMatrix X(LinSolve(A, B, threshold));
    EXPECT_EQ(X.getInfo(), expectedInfo) << "threshold " << threshold;
  }
}

// ---------------------------------------------------------------------------------------------
// LUDecomp / LUSolve

TEST(LUDecomp, SolvesManyRightHandSidesAndLeavesAIntact) {
  const int n = 24;
  const RMatrix A = randomMatrix(n, n, 31);
  const RMatrix copy(A);
  LUDecomp lu(A);
  ASSERT_TRUE(lu.isOK());
  EXPECT_TRUE(sameElements(A, copy));
  EXPECT_EQ(lu.Pivots().Length(), n);
  for (unsigned seed : {32u, 33u}) {
    const RMatrix B = randomMatrix(n, 2, seed);
    RMatrix X = LUSolve(lu, B);
    ASSERT_TRUE(X.isOK());
    EXPECT_LT(scaledResidual(A, X, B), 4.0 * n);
  }
  // The factors are those of partial pivoting with the largest-magnitude pivot.
  const Eigen::MatrixXd eigenLU = Eigen::PartialPivLU<Eigen::MatrixXd>(toEigen(A)).matrixLU();
  EXPECT_LT((toEigen(lu.Factors()) - eigenLU).norm(), 1e-12 * n);
}

TEST(LUDecomp, HolderTakesAMatrixOfAnotherOrderLater) {
  LUDecomp lu(3);
  const RMatrix A = randomMatrix(4, 4, 41);
  lu = A;
  EXPECT_EQ(lu.Pivots().Length(), 4);
  const RMatrix B = randomMatrix(4, 1, 42);
  RMatrix X = LUSolve(lu, B);
  ASSERT_TRUE(X.isOK());
  EXPECT_LT(scaledResidual(A, X, B), 20.0);

  LUDecomp copy(lu);  // deep: re-assigning the original leaves the copy's factors alone
  lu = randomMatrix(4, 4, 43);
  RMatrix Y = LUSolve(copy, B);
  EXPECT_LT(scaledResidual(A, Y, B), 20.0);
}

TEST(LUDecomp, FailedFactorisationIsReportedAndBlocksTheSolve) {
  const RMatrix singular = fromRows(3, 3, {1.0, 2.0, 3.0, 2.0, 4.0, 6.0, 1.0, 0.0, 1.0});
  LUDecomp lu(singular);
  EXPECT_FALSE(lu.isOK());
  EXPECT_EQ(lu.getInfo(), 3);  // the first vanishing pivot is U(3, 3)

  const RMatrix B = fromRows(3, 1, {1.0, 2.0, 3.0});
  RMatrix X = LUSolve(lu, B);
  EXPECT_FALSE(X.isOK());
  EXPECT_EQ(X.getInfo(), 3);
  EXPECT_TRUE(sameElements(X, B));

  LUDecomp copy(lu);  // a copy of a failed decomposition is still failed
  RMatrix Y = LUSolve(copy, B);
  EXPECT_FALSE(Y.isOK());

  LUDecomp assigned(3);
  assigned = lu;
  EXPECT_EQ(assigned.getInfo(), 3);

  const LUDecomp regular(randomMatrix(3, 3, 51));
  const RMatrix fourRows = randomMatrix(4, 1, 52);
  RMatrix Z = LUSolve(regular, fourRows);  // order 3 against 4 rows
  EXPECT_FALSE(Z.isOK());
  EXPECT_EQ(Z.getInfo(), -1);
}

// ---------------------------------------------------------------------------------------------
// Cholesky family

TEST(SPDSolve, HandComputedSystemLeavesAIntact) {
  const RMatrix A = fromRows(2, 2, {4.0, 2.0, 2.0, 3.0});
  const RMatrix copy(A);
  const RMatrix B = fromRows(2, 1, {6.0, 5.0});
  RMatrix X = SPDSolve(A, B, 0.0);
  ASSERT_TRUE(X.isOK());
  EXPECT_NEAR(X(0, 0), 1.0, 4 * kEpsilon);
  EXPECT_NEAR(X(1, 0), 1.0, 4 * kEpsilon);
  EXPECT_TRUE(sameElements(A, copy));
}

TEST(SPDSolve, RidgeTermIsAddedToTheDiagonal) {
  const int n = 30;
  const RMatrix A = randomSpd(n, 61);
  const RMatrix B = randomMatrix(n, 4, 62);
  const double lambda = 0.75;
  RMatrix X = SPDSolve(A, B, lambda);
  ASSERT_TRUE(X.isOK());
  RMatrix shifted(A);
  for (int i = 0; i < n; ++i) shifted(i, i) += lambda;
  EXPECT_LT(scaledResidual(shifted, X, B), 4.0 * n);

  const RMatrix shortB = randomMatrix(n - 1, 1, 63);
  RMatrix Y = SPDSolve(A, shortB, 0.0);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), -1);
}

TEST(SPDSolve, IndefiniteMatrixFailsUnlessShifted) {
  const RMatrix A = fromRows(2, 2, {1.0, 2.0, 2.0, 1.0});  // eigenvalues 3 and -1
  const RMatrix B = fromRows(2, 1, {1.0, 1.0});
  RMatrix X(2, 1);
  X = 7.0;
  X = SPDSolve(A, B, 0.0);
  EXPECT_FALSE(X.isOK());
  EXPECT_EQ(X.getInfo(), 2);
  EXPECT_EQ(X(0, 0), 7.0);  // a failed factorisation leaves the target's elements alone
  EXPECT_EQ(X(1, 0), 7.0);

  RMatrix Y = SPDSolve(A, B, 2.0);  // A + 2I has eigenvalues 5 and 1
  ASSERT_TRUE(Y.isOK());
  EXPECT_NEAR(Y(0, 0), 0.2, 8 * kEpsilon);
  EXPECT_NEAR(Y(1, 0), 0.2, 8 * kEpsilon);
}

TEST(SPDSolve, NonFiniteEntriesAreAFailureNotANaNSolution) {
  const RMatrix B = fromRows(3, 1, {1.0, 2.0, 3.0});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // A NaN off the diagonal reaches the pivot of the column it sits in; an infinite diagonal
  // entry makes its own pivot infinite.
  const RMatrix withNaN = fromRows(3, 3, {4.0, 1.0, 0.0, 1.0, 4.0, nan, 0.0, nan, 4.0});
  RMatrix X = SPDSolve(withNaN, B, 0.0);
  EXPECT_FALSE(X.isOK());
  EXPECT_EQ(X.getInfo(), 3);
  const RMatrix withInf = fromRows(3, 3, {4.0, 1.0, 0.0, 1.0, inf, 1.0, 0.0, 1.0, 4.0});
  RMatrix Y = SPDSolve(withInf, B, 0.0);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), 2);
}

TEST(CholDecomp, FactorMatchesHandValuesAndKeepsLowerTriangle) {
  const RMatrix A = fromRows(2, 2, {4.0, 2.0, 2.0, 3.0});
  RMatrix F = CholDecomp(A, 0.0);
  ASSERT_TRUE(F.isOK());
  EXPECT_DOUBLE_EQ(F(0, 0), 2.0);
  EXPECT_DOUBLE_EQ(F(0, 1), 1.0);
  EXPECT_DOUBLE_EQ(F(1, 1), std::sqrt(2.0));
  EXPECT_EQ(F(1, 0), 2.0);
}

TEST(CholDecomp, AgreesWithEigenAndSolvesThroughCholSolve) {
  const int n = 20;
  const RMatrix A = randomSpd(n, 71);
  const double lambda = 0.5;
  RMatrix F = CholDecomp(A, lambda);
  ASSERT_TRUE(F.isOK());
  Eigen::MatrixXd shifted = toEigen(A) + lambda * Eigen::MatrixXd::Identity(n, n);
  const Eigen::MatrixXd eigenU = Eigen::LLT<Eigen::MatrixXd>(shifted).matrixU();
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) EXPECT_NEAR(F(i, j), i <= j ? eigenU(i, j) : A(i, j), 1e-12 * n);

  const RMatrix B = randomMatrix(n, 3, 72);
  RMatrix X = CholSolve(F, B);
  ASSERT_TRUE(X.isOK());
  EXPECT_LT(scaledResidual(fromEigen(shifted), X, B), 4.0 * n);
}

TEST(CholDecomp, FailuresAndInPlaceUse) {
  RMatrix A = fromRows(3, 3, {1.0, 0.0, 0.0, 0.0, -1.0, 0.0, 0.0, 0.0, 1.0});
  RMatrix F = CholDecomp(A, 0.0);
  EXPECT_FALSE(F.isOK());
  EXPECT_EQ(F.getInfo(), 2);

  RMatrix rectangular = randomMatrix(3, 2, 73);
  RMatrix G = CholDecomp(rectangular, 0.0);
  EXPECT_EQ(G.getInfo(), -1);

  A = CholDecomp(A, 2.0);  // the factor of diag(3, 1, 3), computed in place
  ASSERT_TRUE(A.isOK());
  EXPECT_DOUBLE_EQ(A(0, 0), std::sqrt(3.0));
  EXPECT_DOUBLE_EQ(A(1, 1), 1.0);

  const RMatrix B = randomMatrix(2, 1, 74);
  RMatrix X = CholSolve(A, B);  // order 3 factor, 2 rows
  EXPECT_EQ(X.getInfo(), -1);
}

TEST(LsqSolve, HandComputedMean) {
  const RMatrix A = fromRows(2, 1, {1.0, 1.0});
  const RMatrix B = fromRows(2, 1, {1.0, 3.0});
  RMatrix X = LsqSolve(A, B, 0.0);
  ASSERT_EQ(X.Height(), 1);
  EXPECT_NEAR(X(0, 0), 2.0, 4 * kEpsilon);
}

TEST(LsqSolve, AgreesWithEigenQRWithAndWithoutRidge) {
  const int m = 40, n = 6;
  const RMatrix A = randomMatrix(m, n, 81);
  const RMatrix B = randomMatrix(m, 2, 82);
  for (double lambda : {0.0, 0.3}) {
    RMatrix X = LsqSolve(A, B, lambda);
    // Ridge regression is ordinary least squares on A stacked over sqrt(lambda) I.
    Eigen::MatrixXd stacked(m + n, n), rhs(m + n, 2);
    stacked << toEigen(A), std::sqrt(lambda) * Eigen::MatrixXd::Identity(n, n);
    rhs << toEigen(B), Eigen::MatrixXd::Zero(n, 2);
    const Eigen::MatrixXd expected = stacked.colPivHouseholderQr().solve(rhs);
    EXPECT_LT((toEigen(X) - expected).norm(), 1e-12 * expected.norm()) << "lambda " << lambda;
  }
}

TEST(LsqSolve, StatusIsOnlyEverChangedByFailure) {
  const RMatrix A = randomMatrix(5, 2, 91);
  const RMatrix B = randomMatrix(5, 1, 92);
  RMatrix X(2, 1);
  X.markFailed(17);
  X = LsqSolve(A, B, 0.0);
  EXPECT_FALSE(X.isOK());  // success does not clear an earlier failure
  EXPECT_EQ(X.getInfo(), 17);
  RMatrix check(2, 1);
  check = LsqSolve(A, B, 0.0);
  EXPECT_TRUE(sameElements(X, check));

  const RMatrix shortB = randomMatrix(2, 1, 93);
  const RMatrix tall = randomMatrix(3, 2, 94);
  RMatrix Y(2, 1);
  Y = 4.0;
  Y = LsqSolve(tall, shortB, 0.0);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), -1);
  EXPECT_EQ(Y(0, 0), 4.0);

  // A zero column makes A^T A singular; the ridge term repairs it.
  RMatrix degenerate = randomMatrix(5, 2, 95);
  for (int i = 0; i < 5; ++i) degenerate(i, 1) = 0.0;
  RMatrix Z = LsqSolve(degenerate, B, 0.0);
  EXPECT_FALSE(Z.isOK());
  EXPECT_EQ(Z.getInfo(), 2);
  RMatrix W = LsqSolve(degenerate, B, 1e-10);
  EXPECT_TRUE(W.isOK());
  EXPECT_EQ(W(1, 0), 0.0);
}

// ---------------------------------------------------------------------------------------------
// Truncated SVD

TEST(SVDecomp, HandComputedTallMatrixAndTruncation) {
  RMatrix A = fromRows(3, 2, {3.0, 0.0, 0.0, 1.0, 0.0, 0.0});
  const RMatrix before(A);
  const SVDecomp svd(A);
  ASSERT_EQ(svd.Info(), 0);
  EXPECT_NEAR(svd.Eigenvalues()[0], 3.0, 4 * kEpsilon);
  EXPECT_NEAR(svd.Eigenvalues()[1], 1.0, 4 * kEpsilon);
  EXPECT_FALSE(sameElements(A, before));  // A now holds U

  const RMatrix B = fromRows(3, 1, {3.0, 1.0, 5.0});
  RMatrix X(1, 1);
  svd.Solve(B, X, 0.0);
  ASSERT_EQ(X.Height(), 2);
  EXPECT_TRUE(X.isOK());
  EXPECT_NEAR(X(0, 0), 1.0, 8 * kEpsilon);
  EXPECT_NEAR(X(1, 0), 1.0, 8 * kEpsilon);
  svd.Solve(B, X, 0.5);  // ratio 1/3 is below the tolerance
  EXPECT_NEAR(X(0, 0), 1.0, 8 * kEpsilon);
  EXPECT_EQ(X(1, 0), 0.0);
}

TEST(SVDecomp, ValueExactlyAtTheToleranceIsKept) {
  RMatrix A = fromRows(2, 2, {4.0, 0.0, 0.0, 1.0});
  const SVDecomp svd(A);
  const RMatrix B = fromRows(2, 1, {4.0, 1.0});
  RMatrix X(2, 1);
  svd.Solve(B, X, 0.25);
  EXPECT_NEAR(std::fabs(X(1, 0)), 1.0, 8 * kEpsilon);
  svd.Solve(B, X, 0.25 * (1.0 + 4 * kEpsilon));
  EXPECT_EQ(X(1, 0), 0.0);
}

TEST(SVDecomp, RandomTallMatrixAgreesWithEigen) {
  const int m = 30, n = 8;
  RMatrix A = randomMatrix(m, n, 101);
  const Eigen::MatrixXd a = toEigen(A);
  const RMatrix B = randomMatrix(m, 2, 102);
  const SVDecomp svd(A);
  ASSERT_EQ(svd.Info(), 0);

  const Eigen::VectorXd expectedValues = Eigen::JacobiSVD<Eigen::MatrixXd>(a).singularValues();
  for (int i = 0; i < n; ++i)
    EXPECT_NEAR(svd.Eigenvalues()[i], expectedValues(i), 1e-13 * expectedValues(0));
  // The overwritten A has orthonormal columns, and U S V^T rebuilds the original.
  const Eigen::MatrixXd u = toEigen(A), vt = toEigen(svd.Vt());
  EXPECT_LT((u.transpose() * u - Eigen::MatrixXd::Identity(n, n)).norm(), 1e-13);
  Eigen::VectorXd s(n);
  for (int i = 0; i < n; ++i) s(i) = svd.Eigenvalues()[i];
  EXPECT_LT((u * s.asDiagonal() * vt - a).norm(), 1e-13 * a.norm());

  RMatrix X(1, 1);
  svd.Solve(B, X, 0.0);
  const Eigen::MatrixXd expected = a.colPivHouseholderQr().solve(toEigen(B));
  EXPECT_LT((toEigen(X) - expected).norm(), 1e-12 * expected.norm());
}

TEST(SVDecomp, RankDeficientSystemsGiveTheMinimumNormSolution) {
  RMatrix tiny = fromRows(2, 2, {1.0, 1.0, 1.0, 1.0});
  const RMatrix b = fromRows(2, 1, {2.0, 2.0});
  RMatrix x = SVDSolve(tiny, b, 1e-10);
  EXPECT_NEAR(x(0, 0), 1.0, 8 * kEpsilon);
  EXPECT_NEAR(x(1, 0), 1.0, 8 * kEpsilon);

  // Rank 3 in a 20 x 6 matrix; compared with a complete orthogonal decomposition.
  const Eigen::MatrixXd a = toEigen(randomMatrix(20, 3, 111)) * toEigen(randomMatrix(3, 6, 112));
  RMatrix A = fromEigen(a);
  const RMatrix B = randomMatrix(20, 2, 113);
  RMatrix X = SVDSolve(A, B, 1e-10);
  ASSERT_TRUE(X.isOK());
  const Eigen::MatrixXd expected =
      Eigen::CompleteOrthogonalDecomposition<Eigen::MatrixXd>(a).solve(toEigen(B));
  EXPECT_LT((toEigen(X) - expected).norm(), 1e-10 * expected.norm());
}

TEST(SVDecomp, WideMatrixGivesTheMinimumNormSolution) {
  const int m = 4, n = 7;
  RMatrix A = randomMatrix(m, n, 121);
  const Eigen::MatrixXd a = toEigen(A);
  const RMatrix B = randomMatrix(m, 3, 122);
  const SVDecomp svd(A);
  ASSERT_EQ(svd.Info(), 0);
  ASSERT_EQ(svd.Eigenvalues().Length(), n);
  const Eigen::VectorXd expectedValues = Eigen::JacobiSVD<Eigen::MatrixXd>(a).singularValues();
  for (int i = 0; i < m; ++i)
    EXPECT_NEAR(svd.Eigenvalues()[i], expectedValues(i), 1e-13 * expectedValues(0));
  for (int i = m; i < n; ++i) EXPECT_EQ(svd.Eigenvalues()[i], 0.0);

  RMatrix X(1, 1);
  svd.Solve(B, X, 0.0);
  ASSERT_TRUE(X.isOK());
  ASSERT_EQ(X.Height(), n);
  // Exact fit with the smallest norm: X = A^T (A A^T)^-1 B.
  const Eigen::MatrixXd expected = a.transpose() * (a * a.transpose()).ldlt().solve(toEigen(B));
  EXPECT_LT((toEigen(X) - expected).norm(), 1e-12 * expected.norm());
}

TEST(SVDecomp, ZeroMatrixGivesZeroSolution) {
  RMatrix A(5, 3);
  A = 0.0;
  const RMatrix B = randomMatrix(5, 2, 131);
  const SVDecomp svd(A);
  for (double tol : {0.0, 1e-10}) {
    RMatrix X(1, 1);
    svd.Solve(B, X, tol);
    ASSERT_TRUE(X.isOK());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(X(k), 0.0);
  }
}

TEST(SVDecomp, FailuresAreReportedInTheTarget) {
  RMatrix A = randomMatrix(4, 3, 141);
  const SVDecomp svd(A);
  const RMatrix wrongHeight = randomMatrix(3, 1, 142);
  RMatrix X(3, 1);
  X = 9.0;
  svd.Solve(wrongHeight, X, 0.0);
  EXPECT_FALSE(X.isOK());
  EXPECT_EQ(X.getInfo(), -1);
  EXPECT_EQ(X(0, 0), 9.0);

  RMatrix empty(0, 0);
  const SVDecomp rejected(empty);
  EXPECT_LT(rejected.Info(), 0);
  RMatrix Y(0, 1), emptyB(0, 1);
  rejected.Solve(emptyB, Y, 0.0);
  EXPECT_FALSE(Y.isOK());
  EXPECT_EQ(Y.getInfo(), rejected.Info());
}

TEST(SVDSolve, DecomposesAtConstructionAndReadsBAtEvaluation) {
  const RMatrix original = randomMatrix(6, 4, 151);
  RMatrix A(original);
  RMatrix B = randomMatrix(6, 1, 152);
  SVDSolve solve(A, B, 0.0);
  EXPECT_FALSE(sameElements(A, original));
  B = randomMatrix(6, 1, 153);
  const SVDSolve copy(solve);  // shares the overwritten A
  RMatrix X = copy;
  const Eigen::MatrixXd expected = toEigen(original).colPivHouseholderQr().solve(toEigen(B));
  EXPECT_LT((toEigen(X) - expected).norm(), 1e-12 * expected.norm());
  EXPECT_EQ(copy.Decomposition().Info(), 0);
}

// ---------------------------------------------------------------------------------------------
// Banded matrix

TEST(BandedMatrix, StorageLayoutAndRanges) {
  BandedMatrix small(3, 1, 1);
  EXPECT_EQ(&small(1, 0) - small.Data(), 3);
  EXPECT_EQ(&small(0, 1) - small.Data(), 5);
  EXPECT_EQ(small.rowStart(0), 0);
  EXPECT_EQ(small.rowEnd(2), 3);

  // With kl != ku the column and row ranges must describe the same set of band elements.
  const int n = 9, kl = 1, ku = 3;
  BandedMatrix band(n, kl, ku);
  EXPECT_EQ(band.colEnd(0), 2);
  EXPECT_EQ(band.rowEnd(0), 4);
  int fromColumns = 0, fromRows = 0;
  for (int j = 0; j < n; ++j)
    for (int i = band.colStart(j); i < band.colEnd(j); ++i) {
      ++fromColumns;
      EXPECT_TRUE(band.rowStart(i) <= j && j < band.rowEnd(i)) << i << "," << j;
      const long offset = &band(i, j) - band.Data() - static_cast<long>(j) * (2 * kl + ku + 1);
      EXPECT_TRUE(offset >= kl && offset <= 2 * kl + ku);  // below the fill-in rows
    }
  for (int i = 0; i < n; ++i) fromRows += band.rowEnd(i) - band.rowStart(i);
  EXPECT_EQ(fromColumns, fromRows);
}

BandedMatrix tridiagonal(int n) {
  BandedMatrix band(n, 1, 1);
  for (int j = 0; j < n; ++j)
    for (int i = band.colStart(j); i < band.colEnd(j); ++i) band(i, j) = i == j ? 2.0 : -1.0;
  return band;
}

TEST(BandedMatrix, HandComputedTridiagonalSystem) {
  BandedMatrix band = tridiagonal(3);
  const BandedMatrix unfactorised(band);
  double b[] = {1.0, 0.0, 1.0};
  const double rhs[] = {1.0, 0.0, 1.0};
  band.Solve(b);
  EXPECT_TRUE(band.isFactorised());
  EXPECT_EQ(band.Info(), 0);
  for (double x : b) EXPECT_NEAR(x, 1.0, 4 * kEpsilon);
  EXPECT_NEAR(unfactorised.test(b, rhs), 0.0, 4 * kEpsilon);
  const double wrong[] = {1.0, 1.0, 0.0};  // residuals (0, 1, -2)
  EXPECT_NEAR(unfactorised.test(wrong, rhs), std::sqrt(5.0 / 3.0), 4 * kEpsilon);

  // The factors are reused: an explicit Factorize does nothing, the next solve is still right.
  band.Factorize();
  double c[] = {1.0, 1.0, 1.0};  // solution (1.5, 2, 1.5)
  band.Solve(c);
  EXPECT_NEAR(c[0], 1.5, 8 * kEpsilon);
  EXPECT_NEAR(c[1], 2.0, 8 * kEpsilon);

  // A copy carries the factorised state with it.
  BandedMatrix copy(band);
  double d[] = {1.0, 0.0, 1.0};
  copy.Solve(d);
  EXPECT_NEAR(d[1], 1.0, 4 * kEpsilon);
}

TEST(BandedMatrix, RandomBandAgreesWithDenseSolveAndRefills) {
  const int n = 200, kl = 2, ku = 3;
  std::mt19937 engine(161);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  BandedMatrix band(n, kl, ku);
  Eigen::MatrixXd dense = Eigen::MatrixXd::Zero(n, n);
  auto fill = [&] {
    for (int j = 0; j < n; ++j)
      for (int i = band.colStart(j); i < band.colEnd(j); ++i)
        dense(i, j) = band(i, j) = uniform(engine);
  };
  Eigen::VectorXd b(n);
  for (int i = 0; i < n; ++i) b(i) = uniform(engine);
  for (int round = 0; round < 2; ++round) {
    fill();
    band.Reset();
    const BandedMatrix before(band);
    std::vector<double> x(b.data(), b.data() + n);
    band.Solve(x.data());
    ASSERT_EQ(band.Info(), 0);
    const Eigen::VectorXd expected = dense.partialPivLu().solve(b);
    EXPECT_LT((Eigen::Map<Eigen::VectorXd>(x.data(), n) - expected).norm(),
              1e-10 * expected.norm());
    EXPECT_LT(before.test(x.data(), b.data()), 1e3 * kEpsilon * expected.norm());
  }
}

TEST(BandedMatrix, SingularMatrixIsReportedByInfo) {
  BandedMatrix band = tridiagonal(4);
  for (int i = band.colStart(1); i < band.colEnd(1); ++i) band(i, 1) = 0.0;  // column 1 is zero
  double b[] = {1.0, 1.0, 1.0, 1.0};
  band.Solve(b);
  EXPECT_EQ(band.Info(), 2);
  EXPECT_FALSE(std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(b[2]));
  band.Reset();
  EXPECT_EQ(band.Info(), 0);
}

TEST(DenseSolvers, PrivateStorageIsReturned) {
  const int before = OrvomemUsed();
  {
    const RMatrix A = randomSpd(12, 171);
    const RMatrix B = randomMatrix(12, 2, 172);
    RMatrix X = SPDSolve(A, B, 0.0);
    X = LsqSolve(A, B, 0.1);
    RMatrix wide = randomMatrix(3, 5, 173);
    const RMatrix b3 = randomMatrix(3, 1, 174);
    RMatrix Y = SVDSolve(wide, b3, 0.0);
    RMatrix copy(A);
    X = LinSolve(copy, B, 0);
    BandedMatrix band = tridiagonal(50);
  }
  EXPECT_EQ(OrvomemUsed(), before);
}

}  // namespace

// An infinity is refused as a NaN is, before A is overwritten: no NaN singular values with
// Info() 0.
TEST(SVDecomp, NonFiniteEntriesAreRefused) {
  for (const double bad :
       {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    RMatrix A(3, 2);
    for (int k = 0; k < 6; ++k) A(k) = k + 1.0;
    A(1, 1) = bad;
    SVDecomp svd(A);
    EXPECT_EQ(svd.Info(), SVDecomp::NonFiniteInput);
    EXPECT_EQ(A(0, 0), 1.0);
    RMatrix B(3, 1), X(2, 1);
    B = 1.0;
    svd.Solve(B, X, 0.0);
    EXPECT_FALSE(X.isOK());
  }
}
