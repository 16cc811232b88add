// The general (rectangular) sparse LU kernels called directly: the retry protocol for short
// storage, refactorisation, rectangular and rank-deficient systems.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kernel/sparse/sparse_kernels.hpp"
#include "sparse_kernel_problems.hpp"

using namespace sparse_kernel_problems;

namespace {
struct General {
  int m, n, ne, la;
  std::vector<int> keep, icntl = std::vector<int>(9), info = std::vector<int>(12), irn, jcn, iw;
  std::vector<double> cntl = std::vector<double>(5), rinfo = std::vector<double>(1), a, w;
  General(int rows, int cols, const std::vector<int>& r, const std::vector<int>& c,
          const std::vector<double>& v, int length)
      : m(rows), n(cols), ne(static_cast<int>(r.size())), la(length) {
    HSL_MA48ID(cntl.data(), icntl.data());
    keep.assign(m + 5 * n + 4 * n / icntl[5] + 7, 0);
    irn.assign(la, 0);
    jcn.assign(la, 0);
    a.assign(la, 0.0);
    const int fit = std::min(ne, la);  // a deliberately short array takes what fits
    std::copy(r.begin(), r.begin() + fit, irn.begin());
    std::copy(c.begin(), c.begin() + fit, jcn.begin());
    std::copy(v.begin(), v.begin() + fit, a.begin());
    w.assign(n + 3 * m, 0.0);
    iw.assign(6 * m + 3 * n, 0);
  }
  // Enlarges the arrays keeping every position, as a caller retrying after -3 does.
  void grow(int length) {
    la = length;
    irn.resize(la, 0);
    jcn.resize(la, 0);
    a.resize(la, 0.0);
  }
  int analyse() {
    const int job = 1;
    HSL_MA48AD(&m, &n, &ne, &job, &la, a.data(), irn.data(), jcn.data(), keep.data(), cntl.data(),
               icntl.data(), iw.data(), info.data(), rinfo.data());
    return info[0];
  }
  int factorise(int job) {
    HSL_MA48BD(&m, &n, &ne, &job, &la, a.data(), irn.data(), jcn.data(), keep.data(), cntl.data(),
               icntl.data(), w.data(), iw.data(), info.data(), rinfo.data());
    return info[0];
  }
  std::vector<double> solve(const std::vector<double>& b, double* residual = nullptr) {
    std::vector<double> x(n), error(3);
    const int job = 1;
    const bool trans = false;
    HSL_MA48CD(&m, &n, &trans, &job, &la, a.data(), irn.data(), keep.data(), cntl.data(),
               icntl.data(), b.data(), x.data(), error.data(), w.data(), iw.data(), info.data());
    if (residual != nullptr) *residual = error[0];
    return x;
  }
};
}  // namespace

TEST(KernelGeneralLU, RetryProtocolAndRefactorisation) {
  const Problem p = laplacian(12, 0.0, true);
  General g(p.n, p.n, p.rows, p.cols, p.values, p.ne - 1);
  EXPECT_EQ(g.analyse(), -3);
  EXPECT_EQ(g.info[2], p.ne);
  g.grow(p.ne);
  g.irn[p.ne - 1] = p.rows.back();  // the caller refills its entries after growing
  g.jcn[p.ne - 1] = p.cols.back();
  g.a[p.ne - 1] = p.values.back();
  EXPECT_EQ(g.analyse(), -3);  // enough to analyse, not for the factors: an estimate is given
  const int estimate = g.info[2];
  EXPECT_GT(estimate, 2 * p.ne);
  EXPECT_EQ(g.factorise(1), -3);
  const int exact = g.info[2];
  EXPECT_LE(exact, 2 * estimate);
  g.grow(exact);
  ASSERT_EQ(g.factorise(1), 0);
  EXPECT_EQ(g.info[4], p.n);
  double residual = -1;
  EXPECT_LT(largestError(g.solve(p.b, &residual), p.x), 1e-12);
  EXPECT_LT(residual, 1e-12);

  // New values over the front, refactorised in place; then again after moving to a larger
  // array where the old factors sit at their old positions.
  const Problem changed = laplacian(12, 2.0, true);
  std::copy(changed.values.begin(), changed.values.end(), g.a.begin());
  ASSERT_EQ(g.factorise(2), 0);  // the order and strategy of job 1: no more fill than before
  EXPECT_LT(largestError(g.solve(changed.b), changed.x), 1e-12);
  g.grow(g.la + 1000);
  ASSERT_EQ(g.factorise(2), 0);
  EXPECT_LT(largestError(g.solve(changed.b), changed.x), 1e-12);
}

TEST(KernelGeneralLU, RectangularAndRankDeficient) {
  // 4 x 2, consistent: x = (1, -2).
  const std::vector<int> r = {1, 2, 3, 4, 1, 3, 4}, c = {1, 1, 1, 1, 2, 2, 2};
  const std::vector<double> v = {1, 2, 3, 4, 1, -1, 2};
  General tall(4, 2, r, c, v, 200);
  ASSERT_EQ(tall.analyse(), 0);
  ASSERT_EQ(tall.factorise(1), 0);
  double residual = -1;
  const std::vector<double> x = tall.solve({-1, 2, 5, 0}, &residual);
  EXPECT_NEAR(x[0], 1.0, 1e-14);
  EXPECT_NEAR(x[1], -2.0, 1e-14);
  EXPECT_LT(residual, 1e-14);
  // Inconsistent: the largest residual over all equations says so.
  tall.solve({-1, 2, 5, 1}, &residual);
  EXPECT_GT(residual, 0.1);

  // Rank 1 matrix 2 x 3: warning 4, the rank in info(5).
  General flat(2, 3, {1, 1, 2, 2}, {1, 3, 1, 3}, {1, 2, 2, 4}, 200);
  ASSERT_EQ(flat.analyse(), 0);
  EXPECT_EQ(flat.factorise(1), 4);
  EXPECT_EQ(flat.info[4], 1);
  std::vector<int> empty_keep(20, 0);
  std::swap(flat.keep, empty_keep);
  flat.solve({1, 2});
  EXPECT_EQ(flat.info[0], -7);  // no factors described by keep
}
