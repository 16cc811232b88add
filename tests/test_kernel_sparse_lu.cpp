// Sparse kernel routines called directly: coordinate sort, square and general LU, output units.
#include <gtest/gtest.h>
#include <umfpack.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kernel/sparse/sparse_kernels.hpp"
#include "kernel/sparse/sparse_lu_support.hpp"
#include "kernel/sparse/supernodal_lu.hpp"

namespace {
struct SortCall {
  std::vector<int> icntl = std::vector<int>(10, 0), info = std::vector<int>(10, -99);
  std::vector<int> ip, iw;
  int run(int nc, int nr, std::vector<int>& irn, std::vector<int>& jcn, std::vector<double>& a) {
    const int ne = static_cast<int>(irn.size());
    const int l = std::max(nr, nc) + 1;
    ip.assign(l, 0);
    iw.assign(l, 0);
    HSL_MC59AD(icntl.data(), &nc, &nr, &ne, irn.data(), &ne, jcn.data(), &ne, a.data(), &l,
               ip.data(), &l, iw.data(), info.data());
    return info[0];
  }
};
}  // namespace

TEST(KernelCoordinateSort, SumsDuplicatesAndRemovesOutsiders) {
  std::vector<int> irn = {2, 1, 2, 4, 1, 2}, jcn = {2, 1, 2, 1, 3, 0};
  std::vector<double> a = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  SortCall sort;
  sort.icntl[2] = 1;
  EXPECT_EQ(sort.run(3, 3, irn, jcn, a), 1);  // warning: (4,1) and (2,0) removed
  EXPECT_EQ(sort.info[1], 2);
  EXPECT_EQ(sort.info[2], 1);  // one duplicate summed away
  EXPECT_EQ(sort.info[4], 3);
  EXPECT_EQ(sort.ip[0], 1);
  EXPECT_EQ(sort.ip[1], 2);
  EXPECT_EQ(sort.ip[2], 3);
  EXPECT_EQ(sort.ip[3], 4);
  EXPECT_EQ(irn[0], 1);
  EXPECT_EQ(a[0], 2.0);
  EXPECT_EQ(irn[1], 2);
  EXPECT_EQ(a[1], 4.0);  // 1 + 3
  EXPECT_EQ(irn[2], 1);
  EXPECT_EQ(a[2], 5.0);
}

TEST(KernelCoordinateSort, RejectsShortArraysWithoutMovingAnything) {
  std::vector<int> irn = {2, 1}, jcn = {2, 1};
  std::vector<double> a = {1.0, 2.0};
  int icntl[10] = {}, info[10], ip[2], iw[3];
  const int nc = 2, nr = 2, ne = 2, short_ip = 2, liw = 3, short_a = 1;
  HSL_MC59AD(icntl, &nc, &nr, &ne, irn.data(), &ne, jcn.data(), &ne, a.data(), &short_ip, ip, &liw,
             iw, info);
  EXPECT_EQ(info[0], -4);
  HSL_MC59AD(icntl, &nc, &nr, &ne, irn.data(), &ne, jcn.data(), &short_a, a.data(), &liw, ip, &liw,
             iw, info);
  EXPECT_EQ(info[0], -3);
  EXPECT_EQ(irn[0], 2);
  EXPECT_EQ(a[0], 1.0);
}

// The compressed-column copy the factorisations start from, against a map of summed entries:
// shuffled input, duplicates, one column long enough for the general sort, both orientations.
TEST(KernelColumnForm, SortsSumsAndTransposes) {
  const int m = 60, n = 45;
  std::mt19937 rng(7);
  std::vector<int> rows, cols;
  std::vector<double> values;
  for (int e = 0; e < 400; ++e) {
    rows.push_back(1 + static_cast<int>(rng() % m));
    cols.push_back(1 + static_cast<int>(rng() % n));
    values.push_back(static_cast<double>(rng() % 1000) / 8.0);
  }
  for (int i = m; i >= 1; --i) {  // column 3 full, rows descending, each twice
    for (int twice = 0; twice < 2; ++twice) {
      rows.push_back(i);
      cols.push_back(3);
      values.push_back(i + 0.5 * twice);
    }
  }
  const int ne = static_cast<int>(rows.size());
  for (const bool transpose : {false, true}) {
    std::map<std::pair<int, int>, double> expected;  // (column, row), 0-based
    for (int e = 0; e < ne; ++e) {
      const int r = (transpose ? cols[e] : rows[e]) - 1, c = (transpose ? rows[e] : cols[e]) - 1;
      expected[{c, r}] += values[e];
    }
    const int mm = transpose ? n : m, nn = transpose ? m : n;
    sparse_lu::ColumnForm form;
    ASSERT_TRUE(sparse_lu::BuildColumnForm(mm, nn, ne, rows.data(), cols.data(), values.data(),
                                           transpose, form));
    ASSERT_EQ(form.row.size(), expected.size());
    auto next = expected.begin();
    for (int j = 0; j < nn; ++j)
      for (int p = form.start[j]; p < form.start[j + 1]; ++p, ++next) {
        ASSERT_EQ(next->first, std::make_pair(j, form.row[p]));
        EXPECT_EQ(next->second, form.value[p]);  // sums of eighths: exact in any order
      }
    EXPECT_EQ(form.start[nn], static_cast<int>(expected.size()));
  }
  rows[5] = m + 1;
  sparse_lu::ColumnForm rejected;
  EXPECT_FALSE(sparse_lu::BuildColumnForm(m, n, ne, rows.data(), cols.data(), values.data(), false,
                                          rejected));
}

namespace {
// Coordinate entries of a k x k five-point Laplacian with the diagonal perturbed by `shift`
// (1-based, as the kernels take them), and b = A * x for x_i = 1 + i / n.
struct Problem {
  int n = 0, ne = 0;
  std::vector<int> rows, cols;
  std::vector<double> values, x, b;
};

Problem laplacian(int k, double shift, bool unsymmetric) {
  Problem p;
  p.n = k * k;
  auto add = [&](int i, int j, double v) {
    p.rows.push_back(i + 1);
    p.cols.push_back(j + 1);
    p.values.push_back(v);
  };
  for (int i = 0; i < k; ++i)
    for (int j = 0; j < k; ++j) {
      const int q = i + k * j;
      add(q, q, 4.0 + shift * (q % 3));
      if (i > 0) add(q, q - 1, unsymmetric ? -1.5 : -1.0);
      if (i + 1 < k) add(q, q + 1, -1.0);
      if (j > 0) add(q, q - k, -1.0);
      if (j + 1 < k) add(q, q + k, unsymmetric ? -0.5 : -1.0);
    }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(p.n);
  for (int i = 0; i < p.n; ++i) p.x[i] = 1.0 + static_cast<double>(i) / p.n;
  p.b.assign(p.n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
  return p;
}

double largestError(const std::vector<double>& u, const std::vector<double>& v) {
  double d = 0.0;
  for (std::size_t i = 0; i < u.size(); ++i) d = std::max(d, std::abs(u[i] - v[i]));
  return d;
}

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

// A pattern with no entry mirrored across the diagonal: diagonal 4, and -1, -0.5, -0.25 at the
// cyclic offsets 1, 7, 13 of every row.
Problem cyclicShifts(int n) {
  Problem p;
  p.n = n;
  const int offsets[] = {0, 1, 7, 13};
  const double values[] = {4.0, -1.0, -0.5, -0.25};
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 4; ++k) {
      p.rows.push_back(i + 1);
      p.cols.push_back((i + offsets[k]) % n + 1);
      p.values.push_back(values[k]);
    }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(n);
  for (int i = 0; i < n; ++i) p.x[i] = 1.0 + static_cast<double>(i) / n;
  p.b.assign(n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
  return p;
}

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

namespace {
// A random pattern, symmetric about the diagonal, with unsymmetric values: diagonal 1 + U(0,1)
// plus the row's magnitudes (so no pivot needs an interchange), off-diagonal U(-1, 1). `extra`
// adds a dense last row and column (one front holds everything) and leaves some rows uncoupled
// (a forest, not a tree).
Problem randomSymmetricPattern(int n, int perRow, unsigned seed, bool extra) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> column(0, n - 1);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::map<std::pair<int, int>, double> entries;
  for (int i = 0; i < n; ++i) {
    if (extra && i % 7 == 3) continue;
    for (int k = 0; k < perRow; ++k) {
      const int j = column(gen);
      if (j == i) continue;
      entries[{i, j}] = value(gen);
      entries[{j, i}] = value(gen);
    }
  }
  if (extra)
    for (int i = 0; i + 1 < n; ++i) {
      entries[{i, n - 1}] = value(gen);
      entries[{n - 1, i}] = value(gen);
    }
  std::vector<double> row_sum(n, 0.0);
  for (const auto& [at, v] : entries) row_sum[at.first] += std::abs(v);
  for (int i = 0; i < n; ++i) entries[{i, i}] = 1.0 + std::abs(value(gen)) + row_sum[i];
  Problem p;
  p.n = n;
  for (const auto& [at, v] : entries) {
    p.rows.push_back(at.first + 1);
    p.cols.push_back(at.second + 1);
    p.values.push_back(v);
  }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(n);
  for (int i = 0; i < n; ++i) p.x[i] = std::cos(0.3 * i) + 2.0;
  p.b.assign(n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];
  return p;
}

sparse_lu::ColumnForm columnForm(const Problem& p) {
  sparse_lu::ColumnForm form;
  EXPECT_TRUE(sparse_lu::BuildColumnForm(p.n, p.n, p.ne, p.rows.data(), p.cols.data(),
                                         p.values.data(), false, form));
  return form;
}
}  // namespace

// The structure covers every entry the elimination creates: found here by eliminating a dense
// boolean copy of the pattern in the structure's order. Supernodes are runs of positions with
// ascending rows below them, and the factors solve A x = b and A^T x = b.
TEST(KernelSupernodalLU, StructureCoversTheFillAndTheFactorsSolve) {
  int case_number = 0;
  for (const auto& [n, per_row, extra] : std::vector<std::tuple<int, int, bool>>{{1, 0, false},
                                                                                 {2, 1, false},
                                                                                 {40, 1, false},
                                                                                 {90, 2, true},
                                                                                 {150, 3, false},
                                                                                 {300, 4, true}}) {
    SCOPED_TRACE(case_number++);
    const Problem p = randomSymmetricPattern(n, per_row, 11u + n, extra);
    const sparse_lu::ColumnForm form = columnForm(p);
    std::vector<int> order;
    const std::int64_t count = sparse_lu::SymmetricOrdering(form, order);
    ASSERT_GT(count, 0);
    sparse_lu::SupernodalStructure structure;
    ASSERT_TRUE(sparse_lu::AnalyseSupernodal(form, order, structure));
    // The storage judged before the analysis covers what it finds.
    std::int64_t integers_estimate = 0, reals_estimate = 0;
    sparse_lu::EstimateSupernodal(n, count, integers_estimate, reals_estimate);
    EXPECT_GE(integers_estimate, sparse_lu::SupernodalIntegers(structure));
    EXPECT_GE(reals_estimate, sparse_lu::SupernodalReals(structure));

    // The elimination, on positions.
    std::vector<int> where(n);
    for (int k = 0; k < n; ++k) where[structure.order[k]] = k;
    std::vector<std::vector<char>> filled(n, std::vector<char>(n, 0));
    for (int e = 0; e < p.ne; ++e) {
      const int i = where[p.rows[e] - 1], j = where[p.cols[e] - 1];
      filled[i][j] = filled[j][i] = 1;
    }
    for (int k = 0; k < n; ++k)
      for (int i = k + 1; i < n; ++i)
        if (filled[i][k])
          for (int j = k + 1; j < n; ++j)
            if (filled[k][j]) filled[i][j] = filled[j][i] = 1;

    const int supernodes = static_cast<int>(structure.first.size()) - 1;
    ASSERT_EQ(structure.first.front(), 0);
    ASSERT_EQ(structure.first.back(), n);
    std::int64_t stored = 0, needed = 0;
    for (int s = 0; s < supernodes; ++s) {
      const int first = structure.first[s], last = structure.first[s + 1] - 1;
      ASSERT_LE(first, last);
      const std::vector<int> below(structure.rows.begin() + structure.rowStart[s],
                                   structure.rows.begin() + structure.rowStart[s + 1]);
      EXPECT_TRUE(std::is_sorted(below.begin(), below.end()));
      EXPECT_TRUE(below.empty() || below.front() > last);
      for (int j = first; j <= last; ++j)
        for (int i = j + 1; i < n; ++i)
          if (filled[i][j] && i > last) {
            EXPECT_TRUE(std::binary_search(below.begin(), below.end(), i))
                << "L(" << i << ", " << j << ") not covered";
          }
      const std::int64_t k = last - first + 1, r = static_cast<std::int64_t>(below.size());
      stored += k * (k + 1) / 2 + k * r;
    }
    for (int j = 0; j < n; ++j)
      for (int i = j; i < n; ++i) needed += filled[i][j];
    EXPECT_EQ(structure.lnz, stored);
    EXPECT_GE(stored, needed);

    std::vector<int> integers(sparse_lu::SupernodalIntegers(structure));
    std::vector<double> reals(sparse_lu::SupernodalReals(structure));
    const sparse_lu::SupernodalView view =
        sparse_lu::StoreSupernodal(structure, integers.data(), reals.data());
    const sparse_lu::SupernodalOutcome outcome =
        sparse_lu::FactoriseSupernodal(form, view, 0.001, 8);
    ASSERT_EQ(outcome.kind, sparse_lu::SupernodalOutcome::kDone);
    EXPECT_LE(outcome.smallestPivot, outcome.largestPivot);
    std::vector<double> x(n), work(n), bt(n, 0.0);
    sparse_lu::SolveSupernodal(view, p.b.data(), x.data(), work.data());
    EXPECT_LT(largestError(x, p.x), 1e-12);
    for (int e = 0; e < p.ne; ++e) bt[p.cols[e] - 1] += p.values[e] * p.x[p.rows[e] - 1];
    sparse_lu::SolveSupernodalTransposed(view, bt.data(), x.data(), work.data());
    EXPECT_LT(largestError(x, p.x), 1e-12);
  }
}

// Blocked dense kernels (fronts wider than the panel width) and the plain loops of small fronts
// agree: a 3-D grid has fronts of several hundred rows near the root.
TEST(KernelSupernodalLU, WideFrontsMatchAcrossPanelWidths) {
  const int k = 12, n = k * k * k;
  Problem p;
  p.n = n;
  auto add = [&](int i, int j, double v) {
    p.rows.push_back(i + 1);
    p.cols.push_back(j + 1);
    p.values.push_back(v);
  };
  for (int z = 0; z < k; ++z)
    for (int y = 0; y < k; ++y)
      for (int x = 0; x < k; ++x) {
        const int q = x + k * (y + k * z);
        add(q, q, 6.5);
        if (x > 0) add(q, q - 1, -1.25);
        if (x + 1 < k) add(q, q + 1, -0.75);
        if (y > 0) add(q, q - k, -1.0);
        if (y + 1 < k) add(q, q + k, -1.0);
        if (z > 0) add(q, q - k * k, -0.5);
        if (z + 1 < k) add(q, q + k * k, -1.5);
      }
  p.ne = static_cast<int>(p.rows.size());
  p.x.resize(n);
  for (int i = 0; i < n; ++i) p.x[i] = 1.0 + (i % 13) * 0.125;
  p.b.assign(n, 0.0);
  for (int e = 0; e < p.ne; ++e) p.b[p.rows[e] - 1] += p.values[e] * p.x[p.cols[e] - 1];

  const sparse_lu::ColumnForm form = columnForm(p);
  std::vector<int> order;
  ASSERT_GT(sparse_lu::SymmetricOrdering(form, order), 0);
  sparse_lu::SupernodalStructure structure;
  ASSERT_TRUE(sparse_lu::AnalyseSupernodal(form, order, structure));
  int widest = 0;
  for (std::size_t s = 0; s + 1 < structure.first.size(); ++s)
    widest = std::max(widest, structure.first[s + 1] - structure.first[s] +
                                  structure.rowStart[s + 1] - structure.rowStart[s]);
  EXPECT_GT(widest, 100);
  for (const int block : {1, 7, 32, 1000}) {
    std::vector<int> integers(sparse_lu::SupernodalIntegers(structure));
    std::vector<double> reals(sparse_lu::SupernodalReals(structure));
    const sparse_lu::SupernodalView view =
        sparse_lu::StoreSupernodal(structure, integers.data(), reals.data());
    ASSERT_EQ(sparse_lu::FactoriseSupernodal(form, view, 0.001, block).kind,
              sparse_lu::SupernodalOutcome::kDone);
    std::vector<double> x(n), work(n);
    sparse_lu::SolveSupernodal(view, p.b.data(), x.data(), work.data());
    EXPECT_LT(largestError(x, p.x), 1e-12) << "panel width " << block;
  }
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
