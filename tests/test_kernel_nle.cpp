// The sparse nonlinear-equation kernel below the driver: the normal-matrix Cholesky factorisation
// against a dense reference, and the reverse-communication contract (workspace requests that
// never write past the arrays, finished runs left alone, invalid calls refused).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "kernel/nle/nle_kernel.hpp"
#include "kernel/nle/normal_cholesky.hpp"

namespace {

using Orvo::nle::Jacobian;

// Column-ordered Jacobian built from (row, col, value) triplets, duplicates kept.
struct Csc {
  int m = 0, n = 0;
  std::vector<int> rows, starts;
  std::vector<double> values;
  Csc(int m_, int n_, std::vector<int> r, std::vector<int> c, std::vector<double> v)
      : m(m_), n(n_), starts(n_ + 1, 0) {
    for (int col : c) ++starts[col + 1];
    for (int j = 0; j < n; ++j) starts[j + 1] += starts[j];
    std::vector<int> next(starts.begin(), starts.end() - 1);
    rows.resize(r.size());
    values.resize(r.size());
    for (std::size_t e = 0; e < r.size(); ++e) {
      const int p = next[c[e]]++;
      rows[p] = r[e] + 1;
      values[p] = v[e];
    }
    for (int& s : starts) ++s;
  }
  Jacobian view() const { return Jacobian{m, n, rows.data(), starts.data(), values.data()}; }
  // Dense J^T J + mu diag(dsq), from the triplets.
  std::vector<double> normal(double mu, const std::vector<double>& dsq) const {
    std::vector<double> dense(m * n, 0.0), a(n * n, 0.0);
    for (int j = 0; j < n; ++j)
      for (int e = starts[j] - 1; e < starts[j + 1] - 1; ++e)
        dense[rows[e] - 1 + j * m] += values[e];
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int r = 0; r < m; ++r) s += dense[r + i * m] * dense[r + j * m];
        a[i + j * n] = s + (i == j ? mu * dsq[i] : 0.0);
      }
    return a;
  }
};

Csc randomJacobian(int m, int n, int perRow, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> col(0, n - 2);  // column n - 1 stays empty
  std::uniform_real_distribution<double> val(-2.0, 2.0);
  std::vector<int> r, c;
  std::vector<double> v;
  for (int i = 0; i < m; ++i)
    for (int k = 0; k < perRow; ++k) {
      r.push_back(i);
      c.push_back(col(gen));
      v.push_back(val(gen));
    }
  // A repeated position, whose two values add up.
  r.push_back(0);
  c.push_back(c[0]);
  v.push_back(0.75);
  return Csc(m, n, r, c, v);
}

TEST(NormalCholesky, SolvesTheShiftedNormalEquationsToRounding) {
  const Csc J = randomJacobian(60, 30, 3, 7);
  std::vector<double> dsq(J.n);
  for (int j = 0; j < J.n; ++j) dsq[j] = 0.5 + 0.1 * j;
  const double mu = 0.3;
  const std::vector<double> a = J.normal(mu, dsq);
  for (bool natural : {false, true}) {
    SCOPED_TRACE(natural ? "natural order" : "minimum degree");
    std::vector<int> iw(100000, -7);
    const Orvo::nle::AnalysisResult r =
        Orvo::nle::Analyse(J.view(), iw.data(), static_cast<std::int64_t>(iw.size()), natural);
    ASSERT_TRUE(r.done);
    EXPECT_TRUE(r.duplicates);
    // Lower triangle of the normal matrix with its whole diagonal.
    int lower = 0;
    for (int j = 0; j < J.n; ++j)
      for (int i = j; i < J.n; ++i)
        if (i == j || a[i + j * J.n] != 0.0) ++lower;
    EXPECT_EQ(r.nnzA, lower);
    const Orvo::nle::IntLayout at(J.m, J.n, static_cast<int>(J.values.size()));
    const int* perm = iw.data() + at.perm;
    std::vector<double> diag(J.n), lx(r.nnzL), work(J.n);
    Orvo::nle::NormalDiagonal(J.view(), iw.data(), r.duplicates, diag.data());
    for (int k = 0; k < J.n; ++k)
      EXPECT_NEAR(diag[k], a[perm[k] * (J.n + 1)] - mu * dsq[perm[k]], 1e-13 * (1.0 + diag[k]));
    ASSERT_TRUE(Orvo::nle::Factorise(J.view(), iw.data(), mu, dsq.data(), diag.data(), 1e-12,
                                     lx.data(), work.data()));
    std::vector<double> b(J.n), y(J.n);
    for (int j = 0; j < J.n; ++j) b[j] = std::sin(1.0 + j);
    for (int k = 0; k < J.n; ++k) y[k] = b[perm[k]];
    Orvo::nle::SolveFactorised(J.view(), iw.data(), lx.data(), y.data());
    std::vector<double> solution(J.n);
    for (int k = 0; k < J.n; ++k) solution[perm[k]] = y[k];
    // Backward error |A x - b| / (|A| |x| + |b|), infinity norms.
    double residual = 0.0, anorm = 0.0, xnorm = 0.0, bnorm = 0.0;
    for (int i = 0; i < J.n; ++i) {
      double s = -b[i], row = 0.0;
      for (int j = 0; j < J.n; ++j) {
        s += a[i + j * J.n] * solution[j];
        row += std::fabs(a[i + j * J.n]);
      }
      residual = std::max(residual, std::fabs(s));
      anorm = std::max(anorm, row);
      xnorm = std::max(xnorm, std::fabs(solution[i]));
      bnorm = std::max(bnorm, std::fabs(b[i]));
    }
    EXPECT_LE(residual / (anorm * xnorm + bnorm), 10.0 * J.n * DBL_EPSILON);
  }
}

TEST(NormalCholesky, ASingularNormalMatrixFailsUnshiftedAndFactorisesShifted) {
  // Columns 0 and 1 identical: J^T J has rank n - 1.
  const Csc J(3, 3, {0, 0, 1, 1, 2}, {0, 1, 0, 1, 2}, {1.0, 1.0, 2.0, 2.0, 3.0});
  std::vector<int> iw(1000);
  const Orvo::nle::AnalysisResult r = Orvo::nle::Analyse(J.view(), iw.data(), 1000, false);
  ASSERT_TRUE(r.done);
  std::vector<double> dsq(3, 1.0), diag(3), lx(r.nnzL), work(3);
  Orvo::nle::NormalDiagonal(J.view(), iw.data(), false, diag.data());
  EXPECT_FALSE(Orvo::nle::Factorise(J.view(), iw.data(), 0.0, dsq.data(), diag.data(), 1e-12,
                                    lx.data(), work.data()));
  EXPECT_TRUE(Orvo::nle::Factorise(J.view(), iw.data(), 1e-8, dsq.data(), diag.data(), 1e-12,
                                   lx.data(), work.data()));
}

// One run of the kernel by hand on f_i = x_i^2 + 0.5 x_{i+1} - c_i (a bidiagonal system with
// root x = 1), starting from workspace of one element and growing it only as asked.
struct KernelRun {
  static constexpr int kGuard = 64;
  static constexpr int kSentinel = -123456;
  int m = 8, n = 8;
  double tol1 = 0.0, tol2 = 0.0;
  int maxEval = 50, kernelInt = 0, liw = 1, lw = 1, iflag = 1;
  double kernelReal = 0.0;
  std::vector<int> iw = std::vector<int>(liw + kGuard, kSentinel);
  std::vector<double> w = std::vector<double>(lw + kGuard, kSentinel);
  std::vector<double> x = std::vector<double>(n, 3.0), f = std::vector<double>(m);
  std::vector<int> rows, starts;
  std::vector<double> values;
  int icntl[5], info[10], isave[130], lsave[10], auxRows[1] = {1}, auxStarts[9] = {};
  double cntl[5], rinfo[5], rsave[72], auxValues[1] = {0.0};
  KernelRun() {
    HSL_NS23ID(icntl, cntl, isave, rsave, lsave);
    icntl[0] = 0;
  }
  void evaluate() {
    rows.clear();
    starts.assign(1, 1);
    values.clear();
    for (int j = 0; j < n; ++j) {
      if (j > 0) {
        rows.push_back(j);  // row j - 1 (1-based j)
        values.push_back(0.5);
      }
      rows.push_back(j + 1);
      values.push_back(2.0 * x[j]);
      starts.push_back(static_cast<int>(rows.size()) + 1);
    }
    for (int i = 0; i < m; ++i)
      f[i] = x[i] * x[i] + (i + 1 < n ? 0.5 * x[i + 1] : 0.0) - (i + 1 < n ? 1.5 : 1.0);
  }
  void call() {
    HSL_NS23AD(&m, &n, &tol1, &tol2, &maxEval, &kernelInt, rows.data(), starts.data(), auxValues,
               auxRows, auxStarts, &kernelReal, &liw, iw.data(), &lw, w.data(), x.data(), f.data(),
               values.data(), &iflag, icntl, cntl, info, rinfo, isave, rsave, lsave);
  }
  bool guardsIntact() const {
    for (int k = 0; k < kGuard; ++k)
      if (iw[liw + k] != kSentinel || w[lw + k] != kSentinel) return false;
    return true;
  }
};

TEST(NleKernel, WorkspaceRequestsNeverWritePastTheArrays) {
  KernelRun run;
  run.evaluate();
  int requests = 0;
  for (int step = 0; step < 200; ++step) {
    run.call();
    ASSERT_TRUE(run.guardsIntact()) << "after call " << step;
    if (run.iflag == Orvo::nle::kIntegerWorkspaceShort || run.iflag == Orvo::nle::kWorkspaceShort) {
      ++requests;
      ASSERT_GT(run.info[3] > run.liw || run.info[4] > run.lw, 0) << "a request must grow";
      if (run.info[3] > run.liw) run.liw = run.info[3];
      if (run.iflag == Orvo::nle::kWorkspaceShort && run.info[4] > run.lw) run.lw = run.info[4];
      run.iw.assign(run.liw + KernelRun::kGuard, KernelRun::kSentinel);
      run.w.assign(run.lw + KernelRun::kGuard, KernelRun::kSentinel);
      continue;
    }
    if (run.iflag <= 0) break;
    run.evaluate();
  }
  EXPECT_GE(requests, 1);
  ASSERT_EQ(run.iflag, Orvo::nle::kConverged);
  EXPECT_EQ(run.info[0], Orvo::nle::kOutcomeRoot);
  for (int j = 0; j < run.n; ++j) EXPECT_NEAR(run.x[j], 1.0, 1e-10);
  // The lengths stated for this tridiagonal normal matrix: no fill, nnzL = nnzA = 2 n - 1.
  const int nnzJ = 2 * run.n - 1, nnzL = 2 * run.n - 1;
  EXPECT_EQ(run.info[3], 2 * nnzJ + 8 * run.n + run.m + 3 + std::max(nnzL, run.n + 1 + nnzL));
  EXPECT_EQ(run.info[4], 7 * run.n + run.m + nnzL);
}

TEST(NleKernel, FinishedRunsAreLeftAloneAndInvalidCallsRefused) {
  KernelRun run;
  run.liw = run.lw = 2000;
  run.iw.assign(run.liw + KernelRun::kGuard, KernelRun::kSentinel);
  run.w.assign(run.lw + KernelRun::kGuard, KernelRun::kSentinel);
  run.evaluate();
  while (run.iflag > 0) {
    run.call();
    run.evaluate();
  }
  ASSERT_EQ(run.iflag, Orvo::nle::kConverged);
  const std::vector<int> isave(run.isave, run.isave + 130);
  const std::vector<double> x = run.x;
  run.x[0] = 42.0;
  run.call();  // iflag 0 on entry: nothing happens
  EXPECT_EQ(run.iflag, Orvo::nle::kConverged);
  EXPECT_EQ(std::vector<int>(run.isave, run.isave + 130), isave);
  EXPECT_EQ(run.x[0], 42.0);

  KernelRun wide;  // more variables than equations
  wide.m = 7;
  wide.evaluate();
  wide.call();
  EXPECT_EQ(wide.iflag, Orvo::nle::kInvalid);
  EXPECT_EQ(wide.info[0], Orvo::nle::kOutcomeInvalid);

  KernelRun unasked;  // a "workspace grown" answer without a request
  unasked.iflag = Orvo::nle::kWorkspaceShort;
  unasked.evaluate();
  unasked.call();
  EXPECT_EQ(unasked.iflag, Orvo::nle::kInvalid);

  KernelRun broken;  // row index outside the matrix
  broken.evaluate();
  broken.rows[2] = 99;
  broken.call();
  EXPECT_EQ(broken.iflag, Orvo::nle::kInvalid);
  EXPECT_TRUE(broken.guardsIntact());
}

}  // namespace
