// Structural expressions, products, distance matrices and standardisation, checked against
// values worked out by hand and against a plain triple loop.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "orvo/matrix.hpp"
#include "random_matrices.hpp"

using namespace Orvo;

namespace {
RMatrix filled(int height, int width, std::initializer_list<double> columnMajor) {
  RMatrix m(height, width);
  int k = 0;
  for (double v : columnMajor) m(k++) = v;
  return m;
}
using support::randomMatrix;
constexpr double eps = std::numeric_limits<double>::epsilon();
}  // namespace

TEST(Joins, ConcatenateOrReportNonConformingShapes) {
  RMatrix A = filled(2, 2, {1, 2, 3, 4}), B = filled(2, 1, {5, 6});
  RMatrix R(colJoin(A, B));
  EXPECT_EQ(R.Size(), mSize(2, 3));
  EXPECT_TRUE(R.isOK());
  EXPECT_EQ(R(1, 2), 6.0);
  EXPECT_EQ(R(0, 1), 3.0);

  RMatrix tall = filled(3, 1, {7, 8, 9});
  RMatrix bad(colJoin(A, tall));
  EXPECT_FALSE(bad.isOK());
  EXPECT_EQ(bad.getInfo(), -1);

  RMatrix C = filled(1, 2, {7, 8});
  RMatrix S = rowJoin(A, C);
  EXPECT_EQ(S.Size(), mSize(3, 2));
  EXPECT_EQ(S(2, 0), 7.0);
  EXPECT_EQ(S(2, 1), 8.0);
  EXPECT_EQ(S(1, 1), 4.0);
  S = rowJoin(A, B);
  EXPECT_FALSE(S.isOK());
  EXPECT_EQ(S.getInfo(), -1);
  // A successful evaluation sets the flag again.
  S = rowJoin(A, A);
  EXPECT_TRUE(S.isOK());
}

TEST(Ranges, SelectColumnsAndRows) {
  RMatrix A = filled(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  A.markFailed(2);
  RMatrix c = colRange(A, 1, 1);
  EXPECT_EQ(c.Size(), mSize(3, 1));
  EXPECT_EQ(c(0, 0), 4.0);
  EXPECT_EQ(c(2, 0), 6.0);
  RMatrix r = rowRange(A, 1, 2);
  EXPECT_EQ(r.Size(), mSize(2, 3));
  EXPECT_EQ(r(0, 0), 2.0);
  EXPECT_EQ(r(1, 2), 9.0);
  EXPECT_TRUE(r.isOK());  // ranges set no status; a fresh target is OK
}

TEST(ElementWise, SubtractionAndFunctions) {
  RMatrix A = filled(2, 2, {5, 6, 7, 8}), B = filled(2, 2, {1, 1, 2, 3});
  A.setInfo(4);
  RMatrix D = MSub(A, B);
  EXPECT_EQ(D(1, 1), 5.0);
  EXPECT_EQ(D.getInfo(), 4);  // the status comes with A
  A = MSub(A, B);             // in place
  EXPECT_EQ(A(0, 1), 5.0);
  EXPECT_EQ(A(1, 0), 5.0);

  RMatrix L = filled(1, 3, {0.0, 2.0, -800.0});
  L = Apply<matLogistic>(1, 3);
  EXPECT_EQ(L(0), 0.5);
  EXPECT_NEAR(L(1), 1.0 / (1.0 + std::exp(-2.0)), 4 * eps);
  EXPECT_EQ(L(2), 0.0);

  RMatrix C = filled(1, 2, {-1.0, 1.0});
  C = Apply<matCauchy>(1, 2);
  EXPECT_EQ(C(0), 0.5);
  EXPECT_TRUE(std::isinf(C(1)) && C(1) > 0);

  RMatrix S = filled(1, 2, {16.0, -1.0});
  S = Apply<mySqrt>(1, 2);
  EXPECT_EQ(S(0), 4.0);
  EXPECT_TRUE(std::isnan(S(1)));
}

TEST(MatrixMultiply, AgreesWithTripleLoopForEveryTransposition) {
  const int m = 7, n = 5, k = 6;
  for (int variant = 0; variant < 4; ++variant) {
    const bool ta = variant & 1, tb = variant & 2;
    RMatrix A = ta ? randomMatrix(k, m, 1) : randomMatrix(m, k, 1);
    RMatrix B = tb ? randomMatrix(n, k, 2) : randomMatrix(k, n, 2);
    RMatrix C = MatrixMultiply(A, B, 2.0, 0.0, ta, tb);
    ASSERT_EQ(C.Size(), mSize(m, n));
    ASSERT_TRUE(C.isOK());
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < n; ++j) {
        double expected = 0.0, scale = 0.0;
        for (int p = 0; p < k; ++p) {
          const double term = (ta ? A(p, i) : A(i, p)) * (tb ? B(j, p) : B(p, j));
          expected += term;
          scale += std::fabs(term);
        }
        EXPECT_NEAR(C(i, j), 2.0 * expected, 4 * k * eps * 2.0 * scale) << variant;
      }
  }
}

TEST(MatrixMultiply, TransposedProductShapeAndMismatch) {
  RMatrix A = filled(3, 2, {1, 2, 3, 4, 5, 6});
  RMatrix B = filled(3, 4, {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1});
  RMatrix C = MatrixMultiply(A, B, 1.0, 0.0, true, false);
  EXPECT_EQ(C.Size(), mSize(2, 4));
  // A^T B: columns of B pick rows of A^T.
  EXPECT_EQ(C(0, 0), 1.0);
  EXPECT_EQ(C(1, 2), 6.0);
  EXPECT_EQ(C(0, 3), 6.0);
  EXPECT_EQ(C(1, 3), 15.0);

  RMatrix shortB = filled(2, 4, {1, 1, 1, 1, 1, 1, 1, 1});
  RMatrix bad = MatrixMultiply(A, shortB, 1.0, 0.0, true, false);
  EXPECT_FALSE(bad.isOK());
  EXPECT_EQ(bad.getInfo(), -1);
}

TEST(MatrixMultiply, AccumulatesIntoExistingTargetWithoutAllocating) {
  RMatrix A = filled(2, 2, {1, 2, 3, 4}), B = filled(2, 2, {1, 0, 0, 1});
  RMatrix C = filled(2, 2, {10, 20, 30, 40});
  const int allocs = OrvoallocCalls();
  C = MatrixMultiply(A, B, 1.0, 1.0, false, false);
  EXPECT_EQ(OrvoallocCalls(), allocs);
  EXPECT_EQ(C(0, 0), 11.0);
  EXPECT_EQ(C(1, 1), 44.0);

  // Product added to a bias block, into a separate target and in place.
  RMatrix bias = filled(2, 2, {1, 1, 1, 1});
  MatrixMultiply product(A, B, 5.0, 7.0, false, false);  // alpha, beta ignored here
  RMatrix T = MatrixMultiplyAndAdd(bias, product);
  EXPECT_EQ(T(1, 0), 3.0);
  EXPECT_EQ(bias(1, 0), 1.0);
  bias = MatrixMultiplyAndAdd(bias, product);
  EXPECT_EQ(bias(0, 1), 4.0);
}

TEST(Distances, HandValuesAndLoopReference) {
  RMatrix A = filled(2, 2, {0, 3, 0, 4});
  RMatrix D2 = Euclidean2(A, A);
  EXPECT_NEAR(D2(0, 1), 25.0, 1e-12);
  EXPECT_NEAR(D2(1, 0), 25.0, 1e-12);
  EXPECT_NEAR(D2(1, 1), 0.0, 1e-12);
  RMatrix D = Euclidean(A, A);
  EXPECT_NEAR(D(0, 1), 5.0, 1e-12);

  RMatrix P = randomMatrix(40, 3, 3), Q = randomMatrix(17, 3, 4);
  RMatrix PQ = Euclidean2(P, Q);
  ASSERT_EQ(PQ.Size(), mSize(40, 17));
  for (int i = 0; i < 40; ++i)
    for (int j = 0; j < 17; ++j) {
      double expected = 0.0;
      for (int c = 0; c < 3; ++c) expected += (P(i, c) - Q(j, c)) * (P(i, c) - Q(j, c));
      EXPECT_NEAR(PQ(i, j), expected, 32 * eps);
    }

  RMatrix wide = randomMatrix(2, 3, 5), narrow = randomMatrix(2, 2, 6);
  RMatrix bad = Euclidean2(wide, narrow);
  EXPECT_FALSE(bad.isOK());
  RMatrix badRoot = Euclidean(wide, narrow);
  EXPECT_FALSE(badRoot.isOK());
}

TEST(Distances, CoincidentPointsAreAtDistanceZeroNotNaN) {
  // Large, non-representable coordinates make |a|^2 + |a|^2 - 2 a.a round away from zero.
  RMatrix P = randomMatrix(200, 7, 8);
  for (int k = 0; k < 200 * 7; ++k) P(k) = 1e3 + 0.1 * P(k);
  RMatrix D2 = Euclidean2(P, P);
  RMatrix D = Euclidean(P, P);
  bool sawNegativeSquare = false;
  for (int i = 0; i < 200; ++i) {
    sawNegativeSquare |= D2(i, i) < 0.0;
    EXPECT_FALSE(std::isnan(D(i, i)));
    // Cancellation error of |a|^2 + |a|^2 - 2 a.a is a few ulps of |a|^2.
    const double normSquared = P.Row(i).SumSquares();
    EXPECT_LE(D(i, i), std::sqrt(16 * normSquared * eps));
  }
  // The unclamped squares really do go negative here, so the clamp is exercised.
  EXPECT_TRUE(sawNegativeSquare);
}

TEST(Normalize, StandardisesColumnsInPlaceOrIntoTarget) {
  RMatrix A = filled(3, 2, {1, 2, 3, 5, 5, 5});
  RMatrix N = Normalize(A);
  EXPECT_NEAR(N(0, 0), -1.0, 4 * eps);
  EXPECT_NEAR(N(1, 0), 0.0, 4 * eps);
  EXPECT_NEAR(N(2, 0), 1.0, 4 * eps);
  EXPECT_TRUE(std::isnan(N(0, 1)));  // constant column: no spread to divide by
  EXPECT_EQ(A(0, 0), 1.0);

  RMatrix B = randomMatrix(50, 4, 9);
  B = Normalize(B);
  for (int c = 0; c < 4; ++c) {
    Vector<double> column = B.Column(c);
    EXPECT_NEAR(column.Sum() / 50, 0.0, 1e-14);
    EXPECT_NEAR(column.SumSquares() / 49, 1.0, 1e-13);
  }
}

// The target as an operand: products are formed from copies, so squaring in place is exact;
// an operand re-shaped by its own assignment is refused, as are the expressions that cannot
// read an operand they are overwriting.
TEST(Aliasing, ProductsIntoAnOperandAreExactOrRefused) {
  const RMatrix original = randomMatrix(5, 5, 3);
  RMatrix expected = MatrixMultiply(original, original, 1.0, 0.0, false, true);
  RMatrix A = original;
  A = MatrixMultiply(A, A, 1.0, 0.0, false, true);
  ASSERT_TRUE(A.isOK());
  for (int k = 0; k < 25; ++k) EXPECT_NEAR(A(k), expected(k), 8 * eps);

  // With accumulation the old target is read as C as well.
  RMatrix B = original;
  RMatrix twice = MatrixMultiply(original, original, 1.0, 0.0, false, false);
  B = MatrixMultiply(B, B, 1.0, 1.0, false, false);
  for (int k = 0; k < 25; ++k) EXPECT_NEAR(B(k), twice(k) + original(k), 8 * eps);

  // A^T A of a 4 x 2 A is 2 x 2: the assignment re-makes A before the product could read it.
  RMatrix tall = randomMatrix(4, 2, 4);
  tall = MatrixMultiply(tall, tall, 1.0, 0.0, true, false);
  EXPECT_FALSE(tall.isOK());
  EXPECT_EQ(tall.getInfo(), -1);

  // A view of an operand's block as the target.
  RMatrix C = original;
  RMatrix view(5, 5, C.Array());
  view = MatrixMultiply(C, original, 1.0, 0.0, false, false);
  RMatrix reference = MatrixMultiply(original, original, 1.0, 0.0, false, false);
  for (int k = 0; k < 25; ++k) EXPECT_NEAR(C(k), reference(k), 8 * eps);

  RMatrix D = original, E = randomMatrix(5, 5, 5);
  E = MSub(D, E);  // target is the subtrahend
  RMatrix F = randomMatrix(5, 5, 5);
  for (int k = 0; k < 25; ++k) EXPECT_EQ(E(k), original(k) - F(k));

  RMatrix G = original;
  G = colJoin(G, original);
  EXPECT_FALSE(G.isOK());
  RMatrix H = original;
  H = Euclidean2(H, original);
  EXPECT_FALSE(H.isOK());
  RMatrix K = original;
  K = rowRange(K, 1, 2);
  EXPECT_EQ(K.getInfo(), -1);
}

// C0 must have the product's shape; MSub must have a B at least as large as A.
TEST(ShapeErrors, AddedBlockAndSubtrahendOfTheWrongSize) {
  RMatrix A = randomMatrix(3, 2, 6), B = randomMatrix(2, 4, 7);
  MatrixMultiply product(A, B, 1.0, 0.0, false, false);
  RMatrix wrong(2, 2);
  wrong = 5.0;
  RMatrix T(2, 2);
  T = 9.0;
  T = MatrixMultiplyAndAdd(wrong, product);
  EXPECT_FALSE(T.isOK());
  EXPECT_EQ(T.getInfo(), -1);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(T(k), 9.0);

  RMatrix bias(3, 4);
  bias = 1.0;
  RMatrix sum = MatrixMultiplyAndAdd(bias, product);
  ASSERT_TRUE(sum.isOK());
  EXPECT_NEAR(sum(2, 3), 1.0 + A(2, 0) * B(0, 3) + A(2, 1) * B(1, 3), 4 * eps);

  RMatrix big = randomMatrix(3, 3, 8), small = randomMatrix(2, 2, 9);
  RMatrix difference = MSub(big, small);
  EXPECT_FALSE(difference.isOK());
  EXPECT_EQ(difference.getInfo(), -1);
}
