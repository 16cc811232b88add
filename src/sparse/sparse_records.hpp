// Factorisation records of sparseMatrix: everything the kernel routines hand back and forth
// between calls. Records come from the general heap; their arrays are tracked.
#ifndef ORVO_SRC_SPARSE_SPARSE_RECORDS_HPP
#define ORVO_SRC_SPARSE_SPARSE_RECORDS_HPP

#include <cstdint>

#include "orvo/memory.hpp"

namespace Orvo {

struct MA38Work {
  static constexpr int kInfoLength = 40, kIcntlLength = 20, kKeepLength = 20, kCntlLength = 10,
                       kRinfoLength = 20;
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
  static constexpr int kInfoLength = 12, kIcntlLength = 9, kCntlLength = 5, kRinfoLength = 1;
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
