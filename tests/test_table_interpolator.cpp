// Network table interpolator: accuracy on a smooth property-like table, standardisation of the
// table and of prediction inputs, the deferred and direct predictions, copies, degenerate and
// refused tables, and storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "allocation_test_support.hpp"
#include "orvo/interp.hpp"

using namespace Orvo;

namespace {

// A smooth function of pressure-like p and temperature-like T, and a second intermediate value.
double property(double p, double T) {
  return T * std::log(1.0 + p) + p * p / T;
}
double companion(double p, double T) {
  return p * T / 100.0;
}

// The table on a grid x grid lattice over p in [0.1, 10], T in [250, 600]: I = (p, T),
// X = (property, companion), Y = a smooth function of X.
struct Table {
  RMatrix I, X, Y;
  double low = std::numeric_limits<double>::infinity(), high = -low;
  explicit Table(int grid) : I(grid * grid, 2), X(grid * grid, 2), Y(grid * grid, 1) {
    for (int a = 0; a < grid; ++a)
      for (int b = 0; b < grid; ++b) {
        const int i = a * grid + b;
        const double p = 0.1 + 9.9 * a / (grid - 1), T = 250.0 + 350.0 * b / (grid - 1);
        I(i, 0) = p, I(i, 1) = T;
        X(i, 0) = property(p, T), X(i, 1) = companion(p, T);
        Y(i, 0) = X(i, 0) + 0.5 * X(i, 1);
        low = std::min(low, X(i, 0)), high = std::max(high, X(i, 0));
      }
  }
};

// Points strictly inside the table's box, none on the lattice (with probability one).
RMatrix offGridPoints(int count, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> p(0.1, 10.0), T(250.0, 600.0);
  RMatrix Q(count, 2);
  for (int i = 0; i < count; ++i) Q(i, 0) = p(engine), Q(i, 1) = T(engine);
  return Q;
}

// RMS of the first output against the property, relative to the property's range on the table.
double relativeError(TableInterpolator& interpolator, const RMatrix& points, const Table& table) {
  RMatrix query = points, predicted;
  interpolator.PredictI(query, predicted);
  EXPECT_TRUE(predicted.isOK());
  double sum = 0.0;
  for (int i = 0; i < points.Height(); ++i)
    sum += std::pow(predicted(i, 0) - property(points(i, 0), points(i, 1)), 2);
  return std::sqrt(sum / points.Height()) / (table.high - table.low);
}

double rms(const RMatrix& A, const RMatrix& B) {
  double sum = 0.0;
  for (long k = 0; k < static_cast<long>(A.Height()) * A.Width(); ++k)
    sum += (A(k) - B(k)) * (A(k) - B(k));
  return std::sqrt(sum / (static_cast<double>(A.Height()) * A.Width()));
}

bool sameElements(const RMatrix& A, const RMatrix& B) {
  return A.Height() == B.Height() && A.Width() == B.Width() &&
         std::equal(A.Array(), A.Array() + static_cast<long>(A.Height()) * A.Width(), B.Array());
}

// 30 x 30 table (clustered whole) queried at 1000 points between the lattice nodes. The k-means
// starts come from the clock, so the figures vary a little between runs; the bounds hold with a
// wide margin (about 0.25 % at 25 centres and 0.08 % at 200 in trial runs).
TEST(TableInterpolatorAccuracy, SmoothTableOffTheGrid) {
  const Table table(30);
  const RMatrix points = offGridPoints(1000, 20261208);
  std::vector<double> errors;
  for (int centres : {25, 50, 100, 200}) {
    Table fresh(30);
    TableInterpolator interpolator(fresh.I, fresh.X, fresh.Y, centres);
    errors.push_back(relativeError(interpolator, points, table));
    RecordProperty("relative_rms_" + std::to_string(centres), std::to_string(errors.back()));
    EXPECT_LT(errors.back(), 0.02) << centres << " centres";
  }
  EXPECT_LT(errors.back(), 0.01);
  EXPECT_LT(errors.back(), errors.front());
}

// 40 x 40 = 1600 rows: the centres come from k-means of a random 1000-row subsample.
TEST(TableInterpolatorAccuracy, LargeTableThroughTheSubsample) {
  Table table(40);
  const Table reference(40);
  TableInterpolator interpolator(table.I, table.X, table.Y, 100);
  EXPECT_LT(relativeError(interpolator, offGridPoints(1000, 7), reference), 0.01);
  double first, second;
  interpolator.GetErrors(first, second);
  EXPECT_LT(first / (reference.high - reference.low), 0.01);
  EXPECT_TRUE(std::isfinite(second));
}

// The table's I leaves standardised; the reported errors are those of the trained networks on
// the table, evaluated afresh through the predictions; PredictI standardises its argument as the
// table was.
TEST(TableInterpolatorStandardisation, TableAndPredictionInputs) {
  Table table(12);
  const RMatrix raw = table.I;
  TableInterpolator interpolator(table.I, table.X, table.Y, 30);
  const int n = table.I.Height();
  for (int c = 0; c < 2; ++c) {
    double sum = 0.0, squares = 0.0;
    for (int i = 0; i < n; ++i) sum += table.I(i, c), squares += table.I(i, c) * table.I(i, c);
    EXPECT_NEAR(sum / n, 0.0, 1e-14);
    EXPECT_NEAR(squares / n, 1.0, 1e-14);
  }
  EXPECT_NEAR(interpolator.Mean()[0], 5.05, 1e-13);
  EXPECT_NEAR(interpolator.Mean()[1], 425.0, 1e-12);

  double first, second;
  interpolator.GetErrors(first, second);
  RMatrix query = raw, predictedX, predictedY;
  interpolator.PredictI(query, predictedX);
  EXPECT_NEAR(first, rms(predictedX, table.X), 1e-12 * (1.0 + first));
  interpolator.PredictX(table.X, predictedY);
  EXPECT_NEAR(second, rms(predictedY, table.Y), 1e-12 * (1.0 + second));

  // query now holds the table's I as the constructor standardised it.
  EXPECT_TRUE(sameElements(query, table.I));
}

// The deferred forms give exactly the direct forms' values; a new deferred prediction replaces
// the last one, which the interpolator releases; copies predict identically and hold no
// expression of their own until asked.
TEST(TableInterpolatorPredictions, DeferredDirectAndCopies) {
  Table table(15);
  TableInterpolator interpolator(table.I, table.X, table.Y, 40);
  const RMatrix points = offGridPoints(50, 3);

  RMatrix q1 = points, q2 = points, direct, deferred;
  interpolator.PredictI(q1, direct);
  deferred = interpolator.PredictI(q2);
  EXPECT_TRUE(deferred.isOK());
  EXPECT_TRUE(sameElements(direct, deferred));
  EXPECT_EQ(deferred.Width(), 2);

  RMatrix xs = direct, directY;
  interpolator.PredictX(xs, directY);
  RMatrix q3 = points;
  lazyMatrix& firstExpression = interpolator.PredictI(q3);
  (void)firstExpression;  // released by the next call
  lazyMatrix& secondExpression = interpolator.PredictX(xs);
  RMatrix deferredY = secondExpression;
  EXPECT_TRUE(sameElements(directY, deferredY));
  EXPECT_TRUE(sameElements(xs, direct));  // PredictX leaves its input alone

  TableInterpolator* source = new TableInterpolator(interpolator);
  TableInterpolator copy(*source);
  lazyMatrix& outstanding = source->PredictX(xs);
  delete source;  // takes its expression with it; the copy is unaffected
  (void)outstanding;
  RMatrix q4 = points, fromCopy;
  copy.PredictI(q4, fromCopy);
  EXPECT_TRUE(sameElements(fromCopy, direct));
  double a, b, c, d;
  copy.GetErrors(a, b);
  interpolator.GetErrors(c, d);
  EXPECT_EQ(a, c);
  EXPECT_EQ(b, d);
  RMatrix copyY = copy.PredictX(xs);
  EXPECT_TRUE(sameElements(copyY, directY));
}

// A column of I with a single value is only centred (scale 1); a table of fewer rows than
// centres uses its rows as centres. Both give finite, accurate predictions.
TEST(TableInterpolatorDegenerate, ConstantColumnAndFewRows) {
  const int n = 40;
  RMatrix I(n, 2), X(n, 2), Y(n, 1);
  for (int i = 0; i < n; ++i) {
    const double p = 0.1 + 9.9 * i / (n - 1);
    I(i, 0) = p, I(i, 1) = 300.0;
    X(i, 0) = property(p, 300.0), X(i, 1) = companion(p, 300.0), Y(i, 0) = X(i, 0);
  }
  TableInterpolator flat(I, X, Y, 20);
  EXPECT_EQ(flat.Scale()[1], 1.0);
  RMatrix query(5, 2), predicted;
  for (int i = 0; i < 5; ++i) query(i, 0) = 0.5 + 2.0 * i, query(i, 1) = 300.0;
  flat.PredictI(query, predicted);
  ASSERT_TRUE(predicted.isOK());
  for (int i = 0; i < 5; ++i) {
    const double truth = property(0.5 + 2.0 * i, 300.0);
    EXPECT_NEAR(predicted(i, 0), truth, 0.01 * truth) << i;
  }

  Table small(3);  // 9 rows, 50 centres asked for
  TableInterpolator few(small.I, small.X, small.Y, 50);
  EXPECT_EQ(few.FirstNetwork().nhidden(), 9);
  EXPECT_EQ(few.SecondNetwork().nhidden(), 9);
  double first, second;
  few.GetErrors(first, second);
  EXPECT_LT(first, 1e-3 * (small.high - small.low));
  RMatrix points = offGridPoints(20, 5);
  few.PredictI(points, predicted);
  for (long k = 0; k < 40; ++k) EXPECT_TRUE(std::isfinite(predicted(k)));
}

// Tables that break the preconditions train nothing and leave I alone; their predictions fail
// without touching the inputs, as does a prediction input without two columns.
TEST(TableInterpolatorDegenerate, RefusedTablesAndInputs) {
  std::mt19937 engine(9);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  RMatrix wide(10, 3), I(10, 2), X(10, 2), shortY(9, 1), Y(10, 1);
  for (RMatrix* m : {&wide, &I, &X, &shortY, &Y})
    for (long k = 0; k < static_cast<long>(m->Height()) * m->Width(); ++k)
      (*m)(k) = uniform(engine);
  const RMatrix wideBefore = wide, IBefore = I;
  TableInterpolator threeColumns(wide, X, Y, 4);
  TableInterpolator shortRows(I, X, shortY, 4);
  EXPECT_TRUE(sameElements(wide, wideBefore));
  EXPECT_TRUE(sameElements(I, IBefore));
  for (TableInterpolator* refused : {&threeColumns, &shortRows}) {
    double first, second;
    refused->GetErrors(first, second);
    EXPECT_TRUE(std::isnan(first) && std::isnan(second));
    RMatrix query = IBefore, out;
    refused->PredictI(query, out);
    EXPECT_FALSE(out.isOK());
    EXPECT_EQ(out.getInfo(), -1);
    EXPECT_TRUE(sameElements(query, IBefore));
    RMatrix lazyOut = refused->PredictX(query);
    EXPECT_FALSE(lazyOut.isOK());
  }

  TableInterpolator good(I, X, Y, 4);
  RMatrix oneColumn(5, 1), out;
  oneColumn = 0.5;
  good.PredictI(oneColumn, out);
  EXPECT_FALSE(out.isOK());
  EXPECT_EQ(oneColumn(0, 0), 0.5);
  RMatrix lazyOut = good.PredictI(oneColumn);
  EXPECT_FALSE(lazyOut.isOK());
  EXPECT_EQ(oneColumn(4, 0), 0.5);
}

TEST(TableInterpolatorStorage, EveryBlockIsReturned) {
  const Counters start;
  {
    Table table(35);  // above the subsample size
    TableInterpolator interpolator(table.I, table.X, table.Y, 60);
    RMatrix points = offGridPoints(300, 1), out;
    out = interpolator.PredictI(points);
    TableInterpolator copy(interpolator);
    lazyMatrix& outstanding = copy.PredictX(out);  // still held when the copy dies
    (void)outstanding;
    interpolator.PredictX(out);
  }
  // Releases may outnumber blocks: an empty array's null release counts as one.
  const Counters end;
  EXPECT_EQ(end.bytes, start.bytes);
  EXPECT_GE(end.frees - start.frees, end.allocs - start.allocs);
}

}  // namespace
