// Condition estimates of the dense and sparse factorisations against the exact condition
// numbers computed by a second library (Eigen: the inverse for the 1-norm, the SVD for the
// 2-norm) on Hilbert, Vandermonde and random matrices of prescribed condition.
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <Eigen/Dense>

#include "orvo/dense_solvers.hpp"
#include "orvo/sparse.hpp"

using namespace Orvo;

namespace {

using Dense = Eigen::MatrixXd;

Dense hilbert(int n) {
  Dense a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a(i, j) = 1.0 / (i + j + 1.0);
  return a;
}

Dense vandermonde(int n) {
  Dense a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a(i, j) = std::pow(-1.0 + 2.0 * i / (n - 1.0), j);
  return a;
}

// U diag(sigma) V^T with random orthogonal U, V and singular values spaced geometrically from 1
// down to 1 / kappa: 2-norm condition exactly kappa.
Dense prescribedCondition(int n, double kappa, unsigned seed, bool symmetric = false) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> normal;
  const auto orthogonal = [&]() {
    Dense g(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) g(i, j) = normal(engine);
    return Dense(Eigen::HouseholderQR<Dense>(g).householderQ());
  };
  Eigen::VectorXd sigma(n);
  for (int i = 0; i < n; ++i) sigma[i] = std::pow(kappa, -double(i) / (n - 1));
  const Dense u = orthogonal();
  const Dense v = symmetric ? u : orthogonal();
  return u * sigma.asDiagonal() * v.transpose();
}

double exactOneNormCondition(const Dense& a) {
  const Dense inverse = a.fullPivLu().inverse();
  return a.cwiseAbs().colwise().sum().maxCoeff() * inverse.cwiseAbs().colwise().sum().maxCoeff();
}

double svdCondition(const Dense& a) {
  const Eigen::VectorXd s = Eigen::JacobiSVD<Dense>(a).singularValues();
  return s[0] / s[s.size() - 1];
}

RMatrix toRMatrix(const Dense& a) {
  RMatrix m(static_cast<int>(a.rows()), static_cast<int>(a.cols()));
  for (int j = 0; j < a.cols(); ++j)
    for (int i = 0; i < a.rows(); ++i) m(i, j) = a(i, j);
  return m;
}

struct Case {
  const char* name;
  Dense a;
};

std::vector<Case> generalCases() {
  std::vector<Case> cases;
  for (int n : {4, 6, 8, 10}) cases.push_back({"Hilbert", hilbert(n)});
  for (int n : {5, 8, 12}) cases.push_back({"Vandermonde", vandermonde(n)});
  unsigned seed = 1;
  for (double kappa : {1e1, 1e4, 1e8, 1e12})
    for (int n : {20, 50, 120}) cases.push_back({"random", prescribedCondition(n, kappa, seed++)});
  return cases;
}

// The estimate of the condition number is within a factor 10 of the reference.
void expectWithinFactorTen(double rcond, double reference, const std::string& what) {
  ASSERT_GT(rcond, 0.0) << what;
  const double ratio = (1.0 / rcond) / reference;
  EXPECT_GT(ratio, 0.1) << what << ": estimate " << 1.0 / rcond << ", reference " << reference;
  EXPECT_LT(ratio, 10.0) << what << ": estimate " << 1.0 / rcond << ", reference " << reference;
}

}  // namespace

TEST(ConditionEstimate, LuDecompositionAndBothOneShotRoutes) {
  for (const Case& c : generalCases()) {
    const int n = static_cast<int>(c.a.rows());
    const std::string what = std::string(c.name) + " n=" + std::to_string(n);
    const double kappa1 = exactOneNormCondition(c.a), kappa2 = svdCondition(c.a);
    const RMatrix A = toRMatrix(c.a);
    LUDecomp lu(A);
    expectWithinFactorTen(lu.RCond(), kappa1, what + " LUDecomp vs 1-norm");
    // The 1-norm and 2-norm conditions differ by up to a factor n, so the SVD's serves as a
    // reference only for the small orders.
    if (n <= 20) expectWithinFactorTen(lu.RCond(), kappa2, what + " LUDecomp vs SVD");
    RMatrix B(n, 1);
    B = 1.0;
    // Threshold 0: the LAPACK route; a threshold above n: the classical route.
    for (int threshold : {0, n + 1}) {
      RMatrix work = A;
      double rcond = -1.0;
      RMatrix X = LinSolve(work, B, threshold, rcond);
      EXPECT_TRUE(X.isOK());
      expectWithinFactorTen(rcond, kappa1,
                            what + " LinSolve threshold " + std::to_string(threshold));
    }
  }
}

TEST(ConditionEstimate, CholeskyAndPositiveDefiniteSolve) {
  unsigned seed = 100;
  for (double kappa : {1e1, 1e5, 1e10})
    for (int n : {10, 60}) {
      const Dense a = prescribedCondition(n, kappa, seed++, /*symmetric=*/true);
      const RMatrix A = toRMatrix(a);
      const double kappa1 = exactOneNormCondition(a);
      const std::string what = "SPD kappa=" + std::to_string(kappa) + " n=" + std::to_string(n);
      RMatrix F = CholDecomp(A, 0.0);
      ASSERT_TRUE(F.isOK()) << what;
      expectWithinFactorTen(CholRCond(A, F, 0.0), kappa1, what + " CholRCond");
      RMatrix B(n, 2);
      B = 1.0;
      double rcond = -1.0;
      RMatrix X = SPDSolve(A, B, 0.0, rcond);
      expectWithinFactorTen(rcond, kappa1, what + " SPDSolve");
      // A ridge term improves the condition and the estimate follows it.
      const Dense ridged = a + 1e-3 * Dense::Identity(n, n);
      RMatrix Fr = CholDecomp(A, 1e-3);
      expectWithinFactorTen(CholRCond(A, Fr, 1e-3), exactOneNormCondition(ridged), what + " ridge");
    }
}

// Upper bidiagonal U with 1 on the diagonal and -2 above it: U^-1 holds 2^(j-i), so plain
// triangular solves overflow past n = 1024 and the estimators must take their scaled route. The
// true reciprocal condition is below 1e-300; the estimate must say so, not NaN or a large value.
TEST(ConditionEstimate, OverflowingSolvesTakeTheScaledRoute) {
  const int n = 1100;
  RMatrix U(n, n);
  U = 0.0;
  for (int i = 0; i < n; ++i) {
    U(i, i) = 1.0;
    if (i + 1 < n) U(i, i + 1) = -2.0;
  }
  const double luEstimate = LUDecomp(U).RCond();
  EXPECT_FALSE(std::isnan(luEstimate));
  EXPECT_GE(luEstimate, 0.0);
  EXPECT_LT(luEstimate, 1e-300);

  // A = U^T U (tridiagonal, exact in floating point) is positive definite with condition ~ 4^n.
  const int m = 600;
  RMatrix A(m, m);
  A = 0.0;
  for (int i = 0; i < m; ++i) {
    A(i, i) = i == 0 ? 1.0 : 5.0;
    if (i + 1 < m) A(i, i + 1) = A(i + 1, i) = -2.0;
  }
  RMatrix F = CholDecomp(A, 0.0);
  ASSERT_TRUE(F.isOK());
  const double cholEstimate = CholRCond(A, F, 0.0);
  EXPECT_FALSE(std::isnan(cholEstimate));
  EXPECT_GE(cholEstimate, 0.0);
  EXPECT_LT(cholEstimate, 1e-300);
}

TEST(ConditionEstimate, SingularAndUnusableInputIsTold) {
  RMatrix singular(3, 3);
  singular = 1.0;
  EXPECT_EQ(LUDecomp(singular).RCond(), 0.0);
  EXPECT_TRUE(std::isnan(LUDecomp(3).RCond()));  // never factorised
  RMatrix B(3, 1);
  B = 1.0;
  for (int threshold : {0, 10}) {
    RMatrix work = singular;
    double rcond = -1.0;
    RMatrix X = LinSolve(work, B, threshold, rcond);
    EXPECT_FALSE(X.isOK());
    EXPECT_EQ(rcond, 0.0);
  }
  RMatrix rectangular(3, 2), B2(3, 1);
  rectangular = 1.0;
  B2 = 1.0;
  double rcond = 0.0;
  RMatrix X = LinSolve(rectangular, B2, 0, rcond);
  EXPECT_TRUE(std::isnan(rcond));
  RMatrix indefinite(2, 2);
  indefinite = 1.0;
  indefinite(1, 1) = -1.0;
  RMatrix F = CholDecomp(indefinite, 0.0);
  EXPECT_EQ(CholRCond(indefinite, F, 0.0), 0.0);
  RMatrix B1(2, 1);
  B1 = 1.0;
  RMatrix Y = SPDSolve(indefinite, B1, 0.0, rcond);
  EXPECT_EQ(rcond, 0.0);
  RMatrix withNan = toRMatrix(hilbert(3));
  withNan(1, 2) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(LUDecomp(withNan).RCond()));
}

namespace {

// Loads a dense matrix into a sparse one, dropping zeros; the first entry of every column is
// split in two to check that duplicates count as their sum.
sparseMatrix toSparse(const Dense& a) {
  const int n = static_cast<int>(a.rows());
  sparseMatrix s(2 * n * n + n, n, n);
  for (int j = 0; j < n; ++j) {
    bool split = false;
    for (int i = 0; i < n; ++i) {
      if (a(i, j) == 0.0) continue;
      if (!split) {
        s.SetAt(i, j, 0.25 * a(i, j));
        s.SetAt(i, j, 0.75 * a(i, j));
        split = true;
      } else {
        s.SetAt(i, j, a(i, j));
      }
    }
  }
  return s;
}

}  // namespace

TEST(ConditionEstimate, SparseAgreesWithDenseOnTheSameMatrix) {
  std::vector<Case> cases = generalCases();
  // A sparse one as well: the 2-D Laplacian on a 12 x 12 grid with a scaled corner.
  const int g = 12, n = g * g;
  Dense laplacian = Dense::Zero(n, n);
  for (int i = 0; i < g; ++i)
    for (int j = 0; j < g; ++j) {
      const int k = i * g + j;
      laplacian(k, k) = 4.0;
      if (i > 0) laplacian(k, k - g) = -1.0;
      if (i + 1 < g) laplacian(k, k + g) = -1.0;
      if (j > 0) laplacian(k, k - 1) = -1.0;
      if (j + 1 < g) laplacian(k, k + 1) = -1.0;
    }
  laplacian.row(0) *= 1e3;
  cases.push_back({"Laplacian", laplacian});
  for (const Case& c : cases) {
    const int size = static_cast<int>(c.a.rows());
    const std::string what = std::string(c.name) + " n=" + std::to_string(size);
    sparseMatrix A = toSparse(c.a);
    EXPECT_EQ(A.RCond(), sparseMatrix::kNoFactors) << what;  // nothing factorised yet
    mvlarray<double> b(size), x(size);
    for (int i = 0; i < size; ++i) b[i] = 1.0;
    ASSERT_TRUE(A.Solve(b, x)) << what;
    const double sparse = A.RCond();
    const double dense = LUDecomp(toRMatrix(c.a)).RCond();
    expectWithinFactorTen(sparse, exactOneNormCondition(c.a), what + " sparse");
    EXPECT_GT(sparse / dense, 0.1) << what;
    EXPECT_LT(sparse / dense, 10.0) << what;
    // The estimate changes nothing: the next solve with the kept factors is as before.
    mvlarray<double> x2(size);
    ASSERT_TRUE(A.Solve(b, x2));
    for (int i = 0; i < size; ++i) EXPECT_EQ(x[i], x2[i]) << what;
  }
  sparseMatrix singular(4, 2, 2);
  singular.SetAt(0, 0, 1.0);
  singular.SetAt(1, 0, 1.0);
  mvlarray<double> b(2), x(2);
  b[0] = b[1] = 1.0;
  EXPECT_FALSE(singular.Solve(b, x));
  EXPECT_LE(singular.RCond(), 0.0);
}
