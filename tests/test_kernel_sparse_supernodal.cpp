// The supernodal factorisation called directly: symbolic structure against a dense elimination of
// the pattern, factors and solves, blocked and plain dense kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "backward_error.hpp"
#include "kernel/sparse/sparse_lu_support.hpp"
#include "kernel/sparse/supernodal_lu.hpp"
#include "random_matrices.hpp"
#include "sparse_kernel_problems.hpp"

using namespace sparse_kernel_problems;

namespace {
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

// A dense matrix is one front as wide as the matrix: orders just below, at and just above the
// small-front limit (32) take the plain loops and the blocked kernels in turn. Every panel width
// gives a backward-stable solve, and below the limit, where no blocking happens, the same bits.
TEST(KernelSupernodalLU, DenseFrontsAroundTheSmallFrontLimit) {
  for (const int n : {31, 32, 33}) {
    SCOPED_TRACE(n);
    Problem p;
    p.n = n;
    const std::vector<double> values = support::randomValues(n, n, 40u + n);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        p.rows.push_back(i + 1);
        p.cols.push_back(j + 1);
        // Diagonally dominant: no pivot needs an interchange.
        p.values.push_back(values[i + static_cast<std::size_t>(j) * n] + (i == j ? n : 0.0));
      }
    p.ne = n * n;
    p.b = support::randomValues(n, 1, 90u + n);

    const sparse_lu::ColumnForm form = columnForm(p);
    std::vector<int> order;
    ASSERT_GT(sparse_lu::SymmetricOrdering(form, order), 0);
    sparse_lu::SupernodalStructure structure;
    ASSERT_TRUE(sparse_lu::AnalyseSupernodal(form, order, structure));
    ASSERT_EQ(structure.first.size(), 2u);  // one supernode holds every column
    std::vector<double> unblocked;
    for (const int block : {1, 8, 1000}) {
      std::vector<int> integers(sparse_lu::SupernodalIntegers(structure));
      std::vector<double> reals(sparse_lu::SupernodalReals(structure));
      const sparse_lu::SupernodalView view =
          sparse_lu::StoreSupernodal(structure, integers.data(), reals.data());
      ASSERT_EQ(sparse_lu::FactoriseSupernodal(form, view, 0.001, block).kind,
                sparse_lu::SupernodalOutcome::kDone);
      std::vector<double> x(n), work(n);
      sparse_lu::SolveSupernodal(view, p.b.data(), x.data(), work.data());
      EXPECT_LT(support::sparseBackwardError(n, n, p.ne, p.rows.data(), p.cols.data(),
                                             p.values.data(), x.data(), p.b.data()),
                2.0 * n)
          << "panel width " << block;
      if (block == 1) unblocked = x;
      if (n <= 32) {
        EXPECT_EQ(x, unblocked) << "panel width " << block;
      }
    }
  }
}
