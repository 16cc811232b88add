// sparseMatrix: assembly, compression, product and residual; factorisation and solves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "orvo/sparse.hpp"

using Orvo::mvlarray;
using Orvo::sparseMatrix;

namespace {
using Triple = std::tuple<int, int, double>;

std::vector<Triple> triples(sparseMatrix& a) {
  std::vector<Triple> out;
  for (int k = 0; k < a.Nz(); ++k) out.emplace_back(a.Irn()[k], a.Jcn()[k], a.Data()[k]);
  std::sort(out.begin(), out.end());
  return out;
}

// Random entries (with some repeated positions) kept alongside as a dense reference.
struct RandomAssembly {
  RandomAssembly(int rows, int cols, int count, unsigned seed)
      : matrix(0, rows, cols), dense(rows * cols, 0.0) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> row(0, rows - 1), col(0, cols - 1);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (int k = 0; k < count; ++k) {
      const int i = row(gen), j = col(gen);
      const double v = value(gen);
      matrix.SetAt(i, j, v);
      dense[i + rows * j] += v;
    }
  }
  std::vector<double> times(const std::vector<double>& x) const {
    const int rows = matrix.Nr(), cols = matrix.Nc();
    std::vector<double> y(rows, 0.0);
    for (int j = 0; j < cols; ++j)
      for (int i = 0; i < rows; ++i) y[i] += dense[i + rows * j] * x[j];
    return y;
  }
  sparseMatrix matrix;
  std::vector<double> dense;
};

struct Counters {
  std::int32_t bytes = OrvomemUsed();
  // Call counts need not balance: mvlarray counts the release of an empty array's null block.
  void expectNoBytesOutstanding() const { EXPECT_EQ(OrvomemUsed(), bytes); }
};
}  // namespace

TEST(SparseAssembly, ConstructionAndGrowthByAThird) {
  sparseMatrix sized(3, 4, 5);
  EXPECT_EQ(sized.Nr(), 4);
  EXPECT_EQ(sized.Nc(), 5);
  EXPECT_EQ(sized.Capacity(), 3);
  EXPECT_EQ(sized.Nz(), 0);
  EXPECT_FALSE(sized.isCompressed());
  EXPECT_EQ(sized.Ip().Length(), 6);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(sized.Irn()[k], 1);
    EXPECT_EQ(sized.Data()[k], 0.0);
  }
  for (int c = 0; c <= 5; ++c) EXPECT_EQ(sized.Ip()[c], 1);

  sparseMatrix empty;
  EXPECT_EQ(empty.Nr(), 0);
  EXPECT_EQ(empty.Capacity(), 0);
  EXPECT_EQ(empty.Irn().Length(), 0);

  sparseMatrix a(0, 20, 20);
  const int expected[] = {1, 2, 3, 5, 5, 7, 7, 10, 10, 10, 14};
  for (int k = 0; k < 11; ++k) {
    a.SetAt(k, 19 - k, k + 0.5);
    EXPECT_EQ(a.Capacity(), expected[k]) << "after entry " << k + 1;
    EXPECT_EQ(a.Irn().Length(), expected[k]);
    EXPECT_EQ(a.Data().Length(), expected[k]);
  }
  // Everything appended survived the reallocations, stored 1-based.
  for (int k = 0; k < 11; ++k) {
    EXPECT_EQ(a.Irn()[k], k + 1);
    EXPECT_EQ(a.Jcn()[k], 20 - k);
    EXPECT_EQ(a.Data()[k], k + 0.5);
  }
  // Positions beyond Nz in the last growth (10 -> 14) start as zero.
  for (int k = 11; k < 14; ++k) EXPECT_EQ(a.Data()[k], 0.0);
}

TEST(SparseAssembly, DuplicatesAreKeptAndBothCount) {
  sparseMatrix a(2, 2, 2);
  Orvo::IMatrix& generic = a;
  generic.SetValue(0, 0, 1.5);
  a.SetAt(0, 0, 2.0);
  a.SetAt(1, 0, -1.0);
  EXPECT_EQ(a.Nz(), 3);
  EXPECT_EQ(a.Irn()[0], 1);
  EXPECT_EQ(a.Jcn()[0], 1);
  double x[2] = {2.0, 7.0}, y[2];
  a.MvMul(x, y);
  EXPECT_EQ(y[0], 7.0);  // (1.5 + 2) * 2
  EXPECT_EQ(y[1], -2.0);
  EXPECT_EQ(a.Nz(), 3);
}

TEST(SparseAssembly, CompressionGroupsColumnsAndKeepsEveryEntry) {
  RandomAssembly r(37, 23, 400, 7);
  sparseMatrix& a = r.matrix;
  const auto before = triples(a);
  a.Compress();
  ASSERT_TRUE(a.isCompressed());
  EXPECT_EQ(triples(a), before);
  EXPECT_EQ(a.Ip()[0], 1);
  EXPECT_EQ(a.Ip()[a.Nc()], a.Nz() + 1);
  for (int c = 1; c <= a.Nc(); ++c) {
    ASSERT_LE(a.Ip()[c - 1], a.Ip()[c]);
    for (int p = a.Ip()[c - 1]; p < a.Ip()[c]; ++p) EXPECT_EQ(a.Jcn()[p - 1], c);
  }
  // A second Compress is a no-op.
  std::vector<int> rows(a.Irn().Array(), a.Irn().Array() + a.Nz());
  a.Compress();
  EXPECT_TRUE(std::equal(rows.begin(), rows.end(), a.Irn().Array()));

  // Uncompress rebuilds the columns from Ip alone.
  std::fill(a.Jcn().Array(), a.Jcn().Array() + a.Nz(), -1);
  a.Uncompress();
  EXPECT_FALSE(a.isCompressed());
  EXPECT_EQ(triples(a), before);
  a.Jcn()[0] = 99;  // coordinate form: Uncompress must not touch Jcn
  a.Uncompress();
  EXPECT_EQ(a.Jcn()[0], 99);
}

TEST(SparseAssembly, CompressDropsEntriesOutsideTheMatrix) {
  sparseMatrix a(4, 3, 3);
  a.SetAt(0, 0, 1.0);
  a.SetAt(5, 1, 2.0);   // row beyond Nr
  a.SetAt(1, -1, 3.0);  // column before the first
  a.SetAt(2, 2, 4.0);
  a.Compress();
  EXPECT_EQ(a.Nz(), 2);
  double x[3] = {1.0, 1.0, 1.0}, y[3];
  a.MvMul(x, y);
  EXPECT_EQ(y[0], 1.0);
  EXPECT_EQ(y[1], 0.0);
  EXPECT_EQ(y[2], 4.0);
}

TEST(SparseAssembly, ProductMatchesDenseAndAccumulates) {
  RandomAssembly r(31, 45, 300, 11);
  std::vector<double> x(45);
  for (int j = 0; j < 45; ++j) x[j] = std::sin(j + 1.0);
  const auto expected = r.times(x);
  std::vector<double> y(31, 5.0);
  r.matrix.MvMul(x.data(), y.data(), true, false);
  EXPECT_TRUE(r.matrix.isCompressed());
  for (int i = 0; i < 31; ++i) EXPECT_NEAR(y[i], expected[i], 1e-14 * 45);
  r.matrix.MvMul(x.data(), y.data(), false, true);
  for (int i = 0; i < 31; ++i) EXPECT_NEAR(y[i], 2 * expected[i], 2e-14 * 45);
}

TEST(SparseAssembly, CheckSolutionIsRootMeanSquare) {
  sparseMatrix a(4, 2, 2);
  a.SetAt(0, 0, 2.0);
  a.SetAt(1, 1, 4.0);
  a.SetAt(0, 1, 1.0);
  double x[2] = {1.0, 1.0};
  double exact[2] = {3.0, 4.0};
  EXPECT_EQ(a.CheckSolution(x, exact), 0.0);
  double off[2] = {0.0, 0.0};  // residuals 3 and 4: sqrt(25 / 2), not the norm 5
  EXPECT_DOUBLE_EQ(a.CheckSolution(x, off, true), std::sqrt(12.5));
  EXPECT_TRUE(a.isCompressed());
}

TEST(SparseAssembly, DirectFillingThroughTheAccessors) {
  sparseMatrix a(6, 3, 3);
  const int rows[] = {3, 1, 2, 3}, cols[] = {3, 1, 2, 1};
  const double values[] = {5.0, 1.0, 2.0, 7.0};
  for (int k = 0; k < 4; ++k) {
    a.Irn()[k] = rows[k];
    a.Jcn()[k] = cols[k];
    a.Data()[k] = values[k];
  }
  a.Nz() = 4;
  double x[3] = {1.0, 10.0, 100.0}, y[3];
  a.MvMul(x, y);
  EXPECT_EQ(y[0], 1.0);
  EXPECT_EQ(y[1], 20.0);
  EXPECT_EQ(y[2], 507.0);
  // Restarting assembly by resetting Nz.
  a.Uncompress();
  a.Nz() = 0;
  a.SetAt(0, 2, 3.0);
  a.MvMul(x, y);
  EXPECT_EQ(y[0], 300.0);
  EXPECT_EQ(y[2], 0.0);
}

TEST(SparseAssembly, CopiesAreDeepAndNothingLeaks) {
  Counters counters;
  {
    RandomAssembly r(12, 9, 50, 3);
    r.matrix.Compress();
    sparseMatrix copy(r.matrix);
    EXPECT_TRUE(copy.isCompressed());
    EXPECT_EQ(copy.Capacity(), r.matrix.Capacity());
    EXPECT_EQ(triples(copy), triples(r.matrix));
    copy.Data()[0] += 1.0;
    EXPECT_NE(copy.Data()[0], r.matrix.Data()[0]);

    sparseMatrix assigned;
    assigned = r.matrix;
    EXPECT_EQ(assigned.Nr(), 12);
    EXPECT_EQ(triples(assigned), triples(r.matrix));
    assigned = assigned;
    EXPECT_EQ(assigned.Nz(), r.matrix.Nz());

    sparseMatrix empty;
    empty.Compress();  // no columns: nothing to sort, nothing to break
    EXPECT_EQ(empty.Nz(), 0);
  }
  counters.expectNoBytesOutstanding();
}
