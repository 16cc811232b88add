// Factorisation records of sparseMatrix: everything the kernel routines hand back and forth
// between calls. Records come from the general heap; their arrays are tracked.
#ifndef ORVO_SRC_SPARSE_SPARSE_RECORDS_HPP
#define ORVO_SRC_SPARSE_SPARSE_RECORDS_HPP

#include <cstdint>

#include "kernel/sparse/sparse_kernels.hpp"
#include "orvo/memory.hpp"
#include "orvo/sparse.hpp"

namespace Orvo {

// Info(0) passes the kernels' statuses through unchanged: the public names must match them.
static_assert(sparseMatrix::Success == ma38::kOk && sparseMatrix::Singular == ma38::kSingular &&
              sparseMatrix::BadSize == ma38::kBadOrder &&
              sparseMatrix::NoEntries == ma38::kBadEntries &&
              sparseMatrix::EntryOutside == ma38::kOutside);
static_assert(sparseMatrix::RankDeficient == ma48::kRankDeficient &&
              sparseMatrix::BadSize == ma48::kBadShape &&
              sparseMatrix::NoEntries == ma48::kBadEntries &&
              sparseMatrix::EntryOutside == ma48::kOutside);

struct MA38Work {
  static constexpr int kInfoLength = ma38::kInfoLength, kIcntlLength = ma38::kIcntlLength,
                       kKeepLength = ma38::kKeepLength, kCntlLength = ma38::kCntlLength,
                       kRinfoLength = ma38::kRinfoLength;
  mvlarray<int> info{kInfoLength};
  mvlarray<int> icntl{kIcntlLength};
  mvlarray<int> keep{kKeepLength};
  mvlarray<double> cntl{kCntlLength};
  mvlarray<double> rinfo{kRinfoLength};
  int lvalue = 0;
  int lindex = 0;
  int n = 0;
  int ne = 0;
  std::uint64_t pattern = 0;  // digest of the entry positions factorised, in any order
  mvlarray<int> index;
  mvlarray<double> value;
};

struct MA48Work {
  static constexpr int kInfoLength = ma48::kInfoLength, kIcntlLength = ma48::kIcntlLength,
                       kCntlLength = ma48::kCntlLength, kRinfoLength = ma48::kRinfoLength;
  mvlarray<int> info{kInfoLength};
  mvlarray<int> icntl{kIcntlLength};
  mvlarray<int> keep;
  mvlarray<double> cntl{kCntlLength};
  mvlarray<double> rinfo{kRinfoLength};
  int n = 0;
  int m = 0;
  int ne = 0;
  int fill = 0;
  int la = 0;
  std::uint64_t pattern = 0;  // digest of the entry positions factorised, in their order
  mvlarray<int> rowCopy;
  mvlarray<int> columnCopy;
  mvlarray<double> valueCopy;
  mvlarray<double> w;
  mvlarray<int> iw;
  mvlarray<int> irn;
  mvlarray<int> jcn;
  mvlarray<double> a;
};

}  // namespace Orvo

#endif
