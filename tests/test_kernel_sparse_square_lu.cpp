// The square sparse LU kernels called directly: storage shortages and the retry protocol, the
// ordering and analysis kept in the arrays, the two factor layouts and the fall-back between them,
// refactorisation, errors, the report written to an output unit, and a host's allocator for the
// engine.
#include <gtest/gtest.h>
#include <umfpack.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kernel/sparse/sparse_kernels.hpp"
#include "kernel/sparse/sparse_lu_support.hpp"
#include "sparse_kernel_problems.hpp"

using namespace sparse_kernel_problems;

namespace {
// The square kernels' record: arrays sized by the caller, matrix at the front.
struct Square {
  std::vector<int> keep = std::vector<int>(20), icntl = std::vector<int>(20),
                   info = std::vector<int>(40);
  std::vector<double> cntl = std::vector<double>(10), rinfo = std::vector<double>(20);
  std::vector<int> index;
  std::vector<double> value;
  int n, ne;
  Square(const Problem& p, int lindex, int lvalue)
      : index(lindex), value(lvalue), n(p.n), ne(p.ne) {
    HSL_MA38ID(keep.data(), cntl.data(), icntl.data());
    load(p);
  }
  void load(const Problem& p) {
    std::copy(p.rows.begin(), p.rows.end(), index.begin());
    std::copy(p.cols.begin(), p.cols.end(), index.begin() + ne);
    std::copy(p.values.begin(), p.values.end(), value.begin());
  }
  int call(void (*routine)(const int*, const int*, const int*, const bool*, const int*, const int*,
                           double*, int*, int*, const double*, const int*, int*, double*)) {
    const int job = 1, lindex = static_cast<int>(index.size()),
              lvalue = static_cast<int>(value.size());
    const bool transpose = false;
    routine(&n, &ne, &job, &transpose, &lvalue, &lindex, value.data(), index.data(), keep.data(),
            cntl.data(), icntl.data(), info.data(), rinfo.data());
    return info[0];
  }
  std::vector<double> solve(const std::vector<double>& b, bool transpose = false) {
    std::vector<double> x(n), w(4 * n);
    const int job = 0, lindex = static_cast<int>(index.size()),
              lvalue = static_cast<int>(value.size());
    HSL_MA38CD(&n, &job, &transpose, &lvalue, &lindex, value.data(), index.data(), keep.data(),
               b.data(), x.data(), w.data(), cntl.data(), icntl.data(), info.data(), rinfo.data());
    return x;
  }
};
}  // namespace

// The shortage is judged from the ordering alone for a symmetric pattern and from the full
// analysis otherwise; either way the lengths reported are enough for the retry.
TEST(KernelSquareLU, ShortStorageOfAnUnsymmetricPattern) {
  const Problem p = cyclicShifts(900);
  Square s(p, 2 * p.ne + 1, p.ne);
  const std::vector<int> index_before = s.index;
  EXPECT_EQ(s.call(&HSL_MA38AD), -5);
  EXPECT_EQ(s.index, index_before);
  Square t(p, s.info[18], s.info[20]);
  ASSERT_EQ(t.call(&HSL_MA38AD), 0);
  EXPECT_LT(largestError(t.solve(p.b), p.x), 1e-12);
}

TEST(KernelSquareLU, ShortStorageIsReportedWithTheLengthsNeeded) {
  const Problem p = laplacian(20, 0.0, true);
  Square s(p, 2 * p.ne + 1, p.ne);  // room for the matrix only
  const std::vector<int> index_before = s.index;
  const std::vector<double> value_before = s.value;
  EXPECT_EQ(s.call(&HSL_MA38AD), -5);
  const int index_needed = s.info[18], value_needed = s.info[20];
  EXPECT_GT(index_needed, 2 * p.ne + 4 * p.n);
  EXPECT_GT(value_needed, p.ne + p.n);
  EXPECT_EQ(s.index, index_before);  // the caller's contents are intact for the retry
  EXPECT_EQ(s.value, value_before);

  // Only the value array short.
  Square v(p, index_needed, p.ne + p.n);
  EXPECT_EQ(v.call(&HSL_MA38AD), -4);

  // Exactly the lengths asked for are enough.
  Square t(p, index_needed, value_needed);
  ASSERT_EQ(t.call(&HSL_MA38AD), 0);
  EXPECT_EQ(t.info[11], p.n);           // full rank
  EXPECT_LE(t.info[18], index_needed);  // after factorising: the exact need
  EXPECT_LT(largestError(t.solve(p.b), p.x), 1e-12);
}

// A first factorisation that ends short leaves its ordering behind the matrix; the repeated
// call takes it up only when it was made for that pattern and is intact, and the factors are the
// same either way.
TEST(KernelSquareLU, OrderingLeftByAShortCallIsTakenUpOnlyWhenItChecksOut) {
  const Problem p = laplacian(30, 0.5, true);
  sparse_lu::ColumnForm form;
  ASSERT_TRUE(sparse_lu::BuildColumnForm(p.n, p.n, p.ne, p.rows.data(), p.cols.data(),
                                         p.values.data(), false, form));
  const std::uint64_t pattern = sparse_lu::PatternFingerprint(form);
  std::vector<int> order;
  const std::int64_t count = sparse_lu::SymmetricOrdering(form, order);
  ASSERT_GT(count, 0);

  std::vector<int> behind(sparse_lu::LeftOrderingIntegers(p.n));
  auto leave = [&](bool interchanges) {
    sparse_lu::LeftOrdering left{behind.data(), static_cast<std::int64_t>(behind.size())};
    sparse_lu::LeaveOrdering(left, pattern, order, count, interchanges);
    EXPECT_TRUE(left.left);
  };
  auto taken = [&](std::uint64_t for_pattern) {
    const sparse_lu::LeftOrdering left{behind.data(), static_cast<std::int64_t>(behind.size())};
    std::vector<int> found;
    std::int64_t found_count = 0;
    bool interchanges = false;
    const bool ok =
        sparse_lu::TakeLeftOrdering(left, p.n, for_pattern, found, found_count, interchanges);
    if (ok) {
      EXPECT_EQ(found, order);
      EXPECT_EQ(found_count, count);
    }
    return ok;
  };

  leave(false);
  EXPECT_TRUE(taken(pattern));

  // Two entries of the order exchanged: still a permutation, but not the one left.
  leave(false);
  std::swap(behind[behind.size() - 1], behind[behind.size() - 2]);
  EXPECT_FALSE(taken(pattern));

  // Zeros, as a caller that refills the arrays from copies of the matrix leaves there.
  leave(false);
  std::fill(behind.begin(), behind.end(), 0);
  EXPECT_FALSE(taken(pattern));

  // Left for another pattern of the same order and size.
  leave(false);
  Problem moved = p;
  for (int e = 0; e < moved.ne; ++e)
    if (moved.rows[e] == 1 && moved.cols[e] == 2) moved.cols[e] = 3;
  sparse_lu::ColumnForm other;
  ASSERT_TRUE(sparse_lu::BuildColumnForm(p.n, p.n, p.ne, moved.rows.data(), moved.cols.data(),
                                         moved.values.data(), false, other));
  EXPECT_FALSE(taken(sparse_lu::PatternFingerprint(other)));

  // The mark that the order needs interchanges comes back with it.
  leave(true);
  {
    const sparse_lu::LeftOrdering left{behind.data(), static_cast<std::int64_t>(behind.size())};
    std::vector<int> found;
    std::int64_t found_count = 0;
    bool interchanges = false;
    ASSERT_TRUE(sparse_lu::TakeLeftOrdering(left, p.n, pattern, found, found_count, interchanges));
    EXPECT_TRUE(interchanges);
  }

  // No room behind the matrix: nothing is left.
  sparse_lu::LeftOrdering cramped{behind.data(), static_cast<std::int64_t>(behind.size()) - 1};
  sparse_lu::LeaveOrdering(cramped, pattern, order, count, false);
  EXPECT_FALSE(cramped.left);

  // Through the routine, as the solver's driver calls it: too short, then grown keeping the
  // contents, or refilled from a copy of the matrix with zeros behind it. The factors are those
  // of a call that had the room at once.
  Square roomy(p, 40 * p.ne, 40 * p.ne);
  ASSERT_EQ(roomy.call(&HSL_MA38AD), 0);
  for (const bool keep_contents : {true, false}) {
    Square s(p, 2 * p.ne + 2 * p.n, p.ne);
    ASSERT_EQ(s.call(&HSL_MA38AD), -5);
    EXPECT_TRUE(std::equal(p.rows.begin(), p.rows.end(), s.index.begin()));
    EXPECT_TRUE(std::equal(p.cols.begin(), p.cols.end(), s.index.begin() + p.ne));
    EXPECT_TRUE(std::equal(p.values.begin(), p.values.end(), s.value.begin()));
    if (!keep_contents) std::fill(s.index.begin() + 2 * p.ne, s.index.end(), 0);
    s.index.resize(2 * s.info[18]);
    s.value.resize(2 * s.info[20]);
    ASSERT_EQ(s.call(&HSL_MA38AD), 0);
    EXPECT_EQ(s.info[9], roomy.info[9]);
    EXPECT_EQ(s.info[10], roomy.info[10]);
    EXPECT_LT(largestError(s.solve(p.b), p.x), 1e-12);
  }
}

TEST(KernelSquareLU, EverythingLivesInTheArrays) {
  const Problem p = laplacian(15, 0.5, true);
  auto first = std::make_unique<Square>(p, 40 * p.ne, 40 * p.ne);
  ASSERT_EQ(first->call(&HSL_MA38AD), 0);
  // A byte-for-byte copy of the arrays in fresh storage, the original destroyed: the copy
  // solves, transposed solves and refactorises on its own.
  Square copy = *first;
  first.reset();
  EXPECT_LT(largestError(copy.solve(p.b), p.x), 1e-12);
  std::vector<double> bt(p.n, 0.0);
  for (int e = 0; e < p.ne; ++e) bt[p.cols[e] - 1] += p.values[e] * p.x[p.rows[e] - 1];
  EXPECT_LT(largestError(copy.solve(bt, true), p.x), 1e-12);

  // Factors of A^T answer the same two systems.
  Square transposed(p, 40 * p.ne, 40 * p.ne);
  const int job = 1, length = 40 * p.ne;
  const bool yes = true;
  HSL_MA38AD(&transposed.n, &transposed.ne, &job, &yes, &length, &length, transposed.value.data(),
             transposed.index.data(), transposed.keep.data(), transposed.cntl.data(),
             transposed.icntl.data(), transposed.info.data(), transposed.rinfo.data());
  ASSERT_EQ(transposed.info[0], 0);
  EXPECT_LT(largestError(transposed.solve(p.b), p.x), 1e-12);
  EXPECT_LT(largestError(transposed.solve(bt, true), p.x), 1e-12);

  const Problem changed = laplacian(15, 3.0, true);  // same pattern, new values
  copy.load(changed);
  ASSERT_EQ(copy.call(&HSL_MA38BD), 0);
  EXPECT_LT(largestError(copy.solve(changed.b), changed.x), 1e-12);

  // Refinement steps are taken when asked for and leave an exact solution exact.
  copy.icntl[7] = 5;
  EXPECT_LT(largestError(copy.solve(changed.b), changed.x), 1e-13);
  EXPECT_LE(copy.info[23], 5);
}

// The ordering found before the engine runs (minimum degree on A + A^T for near-symmetric
// patterns) gives factors of exactly the size the engine's own analysis gives.
TEST(KernelSquareLU, FactorSizesMatchTheEngineOwnOrdering) {
  for (const Problem& p :
       {laplacian(40, 0.5, true), laplacian(25, 0.0, false), cyclicShifts(700)}) {
    std::vector<int> ap(p.n + 1), ai(p.ne), rows(p.ne), cols(p.ne);
    std::vector<double> ax(p.ne);
    for (int e = 0; e < p.ne; ++e) {
      rows[e] = p.rows[e] - 1;
      cols[e] = p.cols[e] - 1;
    }
    ASSERT_EQ(umfpack_di_triplet_to_col(p.n, p.n, p.ne, rows.data(), cols.data(), p.values.data(),
                                        ap.data(), ai.data(), ax.data(), nullptr),
              UMFPACK_OK);
    void *symbolic = nullptr, *numeric = nullptr;
    ASSERT_EQ(
        umfpack_di_symbolic(p.n, p.n, ap.data(), ai.data(), ax.data(), &symbolic, nullptr, nullptr),
        UMFPACK_OK);
    ASSERT_EQ(
        umfpack_di_numeric(ap.data(), ai.data(), ax.data(), symbolic, &numeric, nullptr, nullptr),
        UMFPACK_OK);
    int lnz = 0, unz = 0, n_row = 0, n_col = 0, nz_udiag = 0;
    umfpack_di_get_lunz(&lnz, &unz, &n_row, &n_col, &nz_udiag, numeric);
    umfpack_di_free_symbolic(&symbolic);
    umfpack_di_free_numeric(&numeric);

    sparse_lu::ColumnForm form;
    ASSERT_TRUE(sparse_lu::BuildColumnForm(p.n, p.n, p.ne, p.rows.data(), p.cols.data(),
                                           p.values.data(), false, form));
    std::vector<int> integers;
    std::vector<double> reals;
    const sparse_lu::Attempt attempt = sparse_lu::Factorise(
        form, sparse_lu::Settings(), nullptr, [](std::int64_t, std::int64_t) { return true; },
        [&](std::int64_t l, std::int64_t u) {
          integers.assign(sparse_lu::FactorIntegers(p.n, p.n, l, u), 0);
          reals.assign(sparse_lu::FactorReals(p.n, l, u), 0.0);
          return sparse_lu::LayFactors(p.n, p.n, l, integers.data(), reals.data());
        });
    ASSERT_EQ(attempt.kind, sparse_lu::Attempt::kDone);
    EXPECT_EQ(attempt.lnz, lnz);
    EXPECT_EQ(attempt.unz, unz);
  }
}

// Under the engine (icntl(6) = 0 imposes it), a refactorisation reuses the analysis kept in the
// arrays when it describes the matrix, and analyses afresh when it cannot: kept without room
// for it, damaged, or made for other positions of the entries. Every way, the new factors solve
// the new system.
TEST(KernelSquareLU, RefactorisationWithAndWithoutTheKeptAnalysis) {
  constexpr int kAnalysisBytes = 9;  // where the square kernels record the analysis kept
  const Problem p = laplacian(30, 0.5, true), changed = laplacian(30, 3.0, true);
  auto refactorised = [&](Square& s, const Problem& q) {
    s.load(q);
    EXPECT_EQ(s.call(&HSL_MA38BD), 0);
    return largestError(s.solve(q.b), q.x);
  };
  struct EngineSquare : Square {
    EngineSquare(const Problem& p, int lindex, int lvalue) : Square(p, lindex, lvalue) {
      icntl[5] = 0;
    }
  };

  EngineSquare roomy(p, 40 * p.ne, 40 * p.ne);
  ASSERT_EQ(roomy.call(&HSL_MA38AD), 0);
  EXPECT_GT(roomy.keep[kAnalysisBytes], 0);
  EXPECT_LT(refactorised(roomy, changed), 1e-12);
  EXPECT_LT(refactorised(roomy, p), 1e-12);

  EngineSquare probe(p, 2 * p.ne + 1, p.ne);
  ASSERT_EQ(probe.call(&HSL_MA38AD), -5);
  EngineSquare exact(p, 2 * probe.info[18], 2 * probe.info[20]);
  ASSERT_EQ(exact.call(&HSL_MA38AD), 0);
  EngineSquare tight(p, exact.info[18], exact.info[20]);
  ASSERT_EQ(tight.call(&HSL_MA38AD), 0);
  EXPECT_EQ(tight.keep[kAnalysisBytes], 0);  // only the lengths asked for: no room
  Problem scaled = p;                        // the same pivots, so the same lengths
  for (double& v : scaled.values) v *= 2.0;
  for (double& v : scaled.b) v *= 2.0;
  EXPECT_LT(refactorised(tight, scaled), 1e-12);

  EngineSquare damaged(p, 40 * p.ne, 40 * p.ne);
  ASSERT_EQ(damaged.call(&HSL_MA38AD), 0);
  std::fill(damaged.index.begin() + 2 * p.ne, damaged.index.begin() + 2 * p.ne + 8, 0);
  EXPECT_LT(refactorised(damaged, changed), 1e-12);

  // Same number of entries, one moved: the pattern no longer matches the analysis.
  EngineSquare moved(p, 40 * p.ne, 40 * p.ne);
  ASSERT_EQ(moved.call(&HSL_MA38AD), 0);
  Problem other = changed;
  for (int e = 0; e < other.ne; ++e)
    if (other.rows[e] == 1 && other.cols[e] == 2) other.cols[e] = 3;  // (1,2) becomes (1,3)
  other.b.assign(other.n, 0.0);
  for (int e = 0; e < other.ne; ++e)
    other.b[other.rows[e] - 1] += other.values[e] * other.x[other.cols[e] - 1];
  EXPECT_LT(refactorised(moved, other), 1e-12);
}

// Factors of several MiB, large enough for the storage to be handed to the system in whole
// large pages: the kernel writes nothing beyond the lengths it asked for, and the factors it
// leaves there solve and refactorise.
TEST(KernelSquareLU, LargeFactorsStayWithinTheLengthsAskedFor) {
  const Problem p = laplacian(160, 0.25, true);
  Square probe(p, 2 * p.ne + 1, p.ne);
  ASSERT_EQ(probe.call(&HSL_MA38AD), -5);
  const int index_needed = probe.info[18], value_needed = probe.info[20];
  ASSERT_GT(static_cast<double>(value_needed) * sizeof(double), 8.0 * (1 << 20));

  constexpr int kGuard = 4096, kIndexMark = -123456;
  constexpr double kValueMark = -7.25;
  Square s(p, index_needed + kGuard, value_needed + kGuard);
  std::fill(s.index.begin() + index_needed, s.index.end(), kIndexMark);
  std::fill(s.value.begin() + value_needed, s.value.end(), kValueMark);
  ASSERT_EQ(s.call(&HSL_MA38AD), 0);
  EXPECT_LT(largestError(s.solve(p.b), p.x), 1e-11);
  EXPECT_TRUE(std::all_of(s.index.begin() + index_needed, s.index.end(),
                          [](int v) { return v == kIndexMark; }));
  EXPECT_TRUE(std::all_of(s.value.begin() + value_needed, s.value.end(),
                          [](double v) { return v == kValueMark; }));

  const Problem changed = laplacian(160, 2.0, true);
  s.load(changed);
  ASSERT_EQ(s.call(&HSL_MA38BD), 0);
  EXPECT_LT(largestError(s.solve(changed.b), changed.x), 1e-11);
  EXPECT_EQ(s.index[index_needed + kGuard - 1], kIndexMark);
  EXPECT_EQ(s.value[value_needed + kGuard - 1], kValueMark);
}

// A diagonal too small to serve as pivot: the routine factorises with row interchanges instead,
// on the first factorisation (whether the storage is short or not) and on a refactorisation;
// values that need none go back to the interchange-free factors.
TEST(KernelSquareLU, SmallDiagonalPivotsFallBackToInterchanges) {
  // Tridiagonal: diagonal d, off-diagonals 1 and -1.
  auto tridiagonal = [](int n, double d) {
    Problem p;
    p.n = n;
    for (int i = 0; i < n; ++i)
      for (int j = std::max(0, i - 1); j <= std::min(n - 1, i + 1); ++j) {
        p.rows.push_back(i + 1);
        p.cols.push_back(j + 1);
        p.values.push_back(i == j ? d : (j > i ? 1.0 : -1.0));
      }
    p.ne = static_cast<int>(p.rows.size());
    p.x.resize(n);
    for (int i = 0; i < n; ++i) p.x[i] = 1.0 + 0.01 * i;
    p.b.assign(n, 0.0);
    for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
    return p;
  };
  const Problem small = tridiagonal(400, 1e-9), dominant = tridiagonal(400, 4.0);
  constexpr int kOffDiagonalPivots = 12;

  Square roomy(small, 40 * small.ne, 40 * small.ne);
  ASSERT_EQ(roomy.call(&HSL_MA38AD), 0);
  EXPECT_GT(roomy.info[kOffDiagonalPivots], 0);
  EXPECT_LT(largestError(roomy.solve(small.b), small.x), 1e-10);

  // Grown as the driver grows the arrays, keeping their contents, until the factors fit.
  Square cramped(small, 2 * small.ne + 2 * small.n, small.ne);
  int calls = 1;
  for (; cramped.call(&HSL_MA38AD) < 0 && calls < 4; ++calls) {
    ASSERT_GE(cramped.info[0], -5);
    cramped.index.resize(std::max<std::size_t>(cramped.index.size(), 2 * cramped.info[18]));
    cramped.value.resize(std::max<std::size_t>(cramped.value.size(), 2 * cramped.info[20]));
  }
  ASSERT_EQ(cramped.info[0], 0);
  EXPECT_GT(cramped.info[kOffDiagonalPivots], 0);
  EXPECT_LT(largestError(cramped.solve(small.b), small.x), 1e-10);

  Square s(dominant, 40 * dominant.ne, 40 * dominant.ne);
  ASSERT_EQ(s.call(&HSL_MA38AD), 0);
  EXPECT_EQ(s.info[kOffDiagonalPivots], 0);
  s.load(small);
  ASSERT_EQ(s.call(&HSL_MA38BD), 0);
  EXPECT_GT(s.info[kOffDiagonalPivots], 0);
  EXPECT_LT(largestError(s.solve(small.b), small.x), 1e-10);
  s.load(dominant);
  ASSERT_EQ(s.call(&HSL_MA38BD), 0);
  EXPECT_LT(largestError(s.solve(dominant.b), dominant.x), 1e-12);

  // Storage just enough for the interchange-free factors: the refactorisation that needs
  // interchanges runs short after overwriting them, and the arrays must not be solved with.
  Square exact(dominant, 40 * dominant.ne, 40 * dominant.ne);
  ASSERT_EQ(exact.call(&HSL_MA38AD), 0);
  exact.index.resize(exact.info[18]);
  exact.value.resize(exact.info[20]);
  exact.load(small);
  ASSERT_LT(exact.call(&HSL_MA38BD), 0);
  std::vector<double> x(small.n), w(4 * small.n);
  const int job = 0, lindex = static_cast<int>(exact.index.size()),
            lvalue = static_cast<int>(exact.value.size());
  const bool no = false;
  HSL_MA38CD(&exact.n, &job, &no, &lvalue, &lindex, exact.value.data(), exact.index.data(),
             exact.keep.data(), small.b.data(), x.data(), w.data(), exact.cntl.data(),
             exact.icntl.data(), exact.info.data(), exact.rinfo.data());
  EXPECT_EQ(exact.info[0], -7);
  // Grown, the refactorisation goes through with interchanges.
  exact.index.resize(4 * exact.index.size());
  exact.value.resize(4 * exact.value.size());
  ASSERT_EQ(exact.call(&HSL_MA38BD), 0);
  EXPECT_GT(exact.info[kOffDiagonalPivots], 0);
  EXPECT_LT(largestError(exact.solve(small.b), small.x), 1e-10);
}

// Interchange-free factors refactorised: in place for the same pattern (also of A^T), analysed
// afresh under the kept order when an entry has moved.
TEST(KernelSquareLU, InterchangeFreeRefactorisation) {
  const Problem p = laplacian(25, 0.5, true), changed = laplacian(25, 2.0, true);
  Square s(p, 40 * p.ne, 40 * p.ne);
  ASSERT_EQ(s.call(&HSL_MA38AD), 0);
  const int index_needed = s.info[18], value_needed = s.info[20];
  s.load(changed);
  ASSERT_EQ(s.call(&HSL_MA38BD), 0);
  EXPECT_EQ(s.info[18], index_needed);
  EXPECT_EQ(s.info[20], value_needed);
  EXPECT_LT(largestError(s.solve(changed.b), changed.x), 1e-12);

  Problem moved = changed;
  for (int e = 0; e < moved.ne; ++e)
    if (moved.rows[e] == 1 && moved.cols[e] == 2) moved.cols[e] = 3;
  moved.b.assign(moved.n, 0.0);
  for (int e = 0; e < moved.ne; ++e)
    moved.b[moved.rows[e] - 1] += moved.values[e] * moved.x[moved.cols[e] - 1];
  s.load(moved);
  ASSERT_EQ(s.call(&HSL_MA38BD), 0);
  EXPECT_LT(largestError(s.solve(moved.b), moved.x), 1e-12);

  // Factors of A^T, refactorised with new values: solves with A and with A^T.
  Square t(p, 40 * p.ne, 40 * p.ne);
  const int job = 1, length = 40 * p.ne;
  const bool yes = true;
  auto factor_transposed = [&](void (*routine)(const int*, const int*, const int*, const bool*,
                                               const int*, const int*, double*, int*, int*,
                                               const double*, const int*, int*, double*)) {
    routine(&t.n, &t.ne, &job, &yes, &length, &length, t.value.data(), t.index.data(),
            t.keep.data(), t.cntl.data(), t.icntl.data(), t.info.data(), t.rinfo.data());
    return t.info[0];
  };
  ASSERT_EQ(factor_transposed(&HSL_MA38AD), 0);
  t.load(changed);
  ASSERT_EQ(factor_transposed(&HSL_MA38BD), 0);
  std::vector<double> bt(p.n, 0.0);
  for (int e = 0; e < changed.ne; ++e)
    bt[changed.cols[e] - 1] += changed.values[e] * changed.x[changed.rows[e] - 1];
  EXPECT_LT(largestError(t.solve(changed.b), changed.x), 1e-12);
  EXPECT_LT(largestError(t.solve(bt, true), changed.x), 1e-12);
}

// Whatever way a refactorisation fails (an entry outside the matrix, storage short for a moved
// entry), the factors of the old values are not solved with afterwards, on either layout.
TEST(KernelSquareLU, AFailedRefactorisationLeavesNoFactorsToSolveWith) {
  auto solve_status = [](Square& s, const Problem& q) {
    s.icntl[7] = 2;  // refinement reads the entries at the front
    s.solve(q.b);
    return s.info[0];
  };
  for (const int strategy : {1, 0}) {  // interchange-free where it can, the engine
    SCOPED_TRACE(strategy);
    const Problem p = laplacian(12, 0.5, false);
    Square outside(p, 40 * p.ne, 40 * p.ne);
    outside.icntl[5] = strategy;
    ASSERT_EQ(outside.call(&HSL_MA38AD), 0);
    Problem bad = p;
    bad.rows[1] = 3 * p.n;
    outside.load(bad);
    ASSERT_EQ(outside.call(&HSL_MA38BD), -6);
    EXPECT_EQ(solve_status(outside, p), -7);

    Square tight(p, 40 * p.ne, 40 * p.ne);
    tight.icntl[5] = strategy;
    ASSERT_EQ(tight.call(&HSL_MA38AD), 0);
    tight.index.resize(tight.info[18]);
    tight.value.resize(tight.info[20]);
    Problem moved = p;  // six entries moved far off the band: more fill than there is room for
    int count = 0;
    for (int e = 0; e < moved.ne && count < 6; ++e)
      if (moved.rows[e] == moved.cols[e] + 1 && moved.rows[e] % 10 == 3) {
        moved.rows[e] = std::min(p.n, moved.rows[e] + p.n / 2);
        ++count;
      }
    tight.load(moved);
    ASSERT_LE(tight.call(&HSL_MA38BD), -3);
    EXPECT_EQ(solve_status(tight, moved), -7);
    // Grown, the same refactorisation goes through.
    tight.index.resize(4 * tight.index.size());
    tight.value.resize(4 * tight.value.size());
    ASSERT_EQ(tight.call(&HSL_MA38BD), 0);
    EXPECT_EQ(solve_status(tight, moved), 0);
  }
}

// The lengths a successful interchange-free first factorisation reports as needed are enough to
// repeat it.
TEST(KernelSquareLU, ExactLengthsRepeatAFirstFactorisation) {
  for (const Problem& p : {laplacian(20, 0.5, false), laplacian(5, 0.5, true)}) {
    Square roomy(p, 40 * p.ne, 40 * p.ne);
    ASSERT_EQ(roomy.call(&HSL_MA38AD), 0);
    Square exact(p, roomy.info[18], roomy.info[20]);
    EXPECT_EQ(exact.call(&HSL_MA38AD), 0);
    EXPECT_LT(largestError(exact.solve(p.b), p.x), 1e-12);
  }
}

TEST(KernelSquareLU, ErrorsAndWarnings) {
  Problem p = laplacian(3, 0.0, false);
  Square none(p, 10 * p.ne, 10 * p.ne);
  EXPECT_EQ(none.call(&HSL_MA38BD), 0);  // no factors yet: a refactorisation orders afresh
  Square blank(p, 10 * p.ne, 10 * p.ne);
  std::vector<double> x(p.n), w(2 * p.n);
  const int job = 0, len = 10 * p.ne;
  const bool no = false;
  HSL_MA38CD(&p.n, &job, &no, &len, &len, blank.value.data(), blank.index.data(), blank.keep.data(),
             p.b.data(), x.data(), w.data(), blank.cntl.data(), blank.icntl.data(),
             blank.info.data(), blank.rinfo.data());
  EXPECT_EQ(blank.info[0], -7);

  Square outside(p, 10 * p.ne, 10 * p.ne);
  outside.index[3] = p.n + 1;
  EXPECT_EQ(outside.call(&HSL_MA38AD), -6);
  Square order(p, 10 * p.ne, 10 * p.ne);
  order.n = 0;
  EXPECT_EQ(order.call(&HSL_MA38AD), -1);
  Square empty(p, 10 * p.ne, 10 * p.ne);
  empty.ne = 0;
  EXPECT_EQ(empty.call(&HSL_MA38AD), -2);

  // Two equal rows: singular, a warning with the rank in info(12).
  Problem twin;
  twin.n = 2;
  twin.ne = 4;
  twin.rows = {1, 1, 2, 2};
  twin.cols = {1, 2, 1, 2};
  twin.values = {1.0, 2.0, 1.0, 2.0};
  Square singular(twin, 100, 100);
  EXPECT_EQ(singular.call(&HSL_MA38AD), 1);
  EXPECT_EQ(singular.info[11], 1);
}

TEST(KernelSquareLU, ReportGoesToTheOpenUnit) {
  const char name[] = "kernel_unit_report.txt";
  const int unit = 7;
  HSL_FFOPEN(name, static_cast<int>(sizeof name) - 1, &unit);
  const Problem p = laplacian(4, 0.0, false);
  Square s(p, 40 * p.ne, 40 * p.ne);
  s.icntl[1] = unit;
  s.icntl[2] = 2;
  ASSERT_EQ(s.call(&HSL_MA38AD), 0);
  HSL_FFCLOSE(&unit);
  s.call(&HSL_MA38AD);  // closed unit: nothing written, nothing breaks
  std::FILE* f = std::fopen(name, "r");
  ASSERT_NE(f, nullptr);
  char line[200];
  int lines = 0;
  bool order_seen = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    ++lines;
    order_seen =
        order_seen || std::string(line).find("order                 16") != std::string::npos;
  }
  std::fclose(f);
  std::remove(name);
  EXPECT_TRUE(order_seen);
  EXPECT_GE(lines, 8);
}

namespace {
int hostAllocations = 0;
void* countingHostMalloc(std::size_t bytes) {
  ++hostAllocations;
  return std::malloc(bytes);
}
}  // namespace

// A host application's own allocator for the engine, set before or after the library's first
// factorisation, serves every engine allocation from then on (the library never puts back a
// setting of its own over it), and factors and solutions are unaffected.
TEST(KernelSquareLU, AHostAllocatorForTheEngineKeepsServingIt) {
  void* (*const previous)(std::size_t) = SuiteSparse_config.malloc_func;
  SuiteSparse_config.malloc_func = &countingHostMalloc;
  const Problem p = cyclicShifts(400);
  for (int round = 0; round < 2; ++round) {
    const int before = hostAllocations;
    Square s(p, 40 * p.ne, 40 * p.ne);
    ASSERT_EQ(s.call(&HSL_MA38AD), 0);
    EXPECT_GT(hostAllocations, before) << round;
    EXPECT_LT(largestError(s.solve(p.b), p.x), 1e-12);
  }
  SuiteSparse_config.malloc_func = previous;
}
