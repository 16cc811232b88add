// Sparse kernel routines called directly: coordinate sort, square and general LU, output units.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kernel/sparse_kernels.hpp"

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
