// The sparse sorting kernels called directly: the coordinate sort into column order, and the
// compressed-column copy the LU routines start from.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "kernel/sparse/sparse_kernels.hpp"
#include "kernel/sparse/sparse_lu_support.hpp"

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
