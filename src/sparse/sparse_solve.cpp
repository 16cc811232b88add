// Factorisation records, solve and re-solve of sparseMatrix.
#include "kernel/sparse_kernels.hpp"
#include "orvo/sparse.hpp"
#include "sparse/sparse_records.hpp"

namespace Orvo {

int sparseMatrix::Info(int k) const {
  if (square_ != nullptr) return square_->info[k];
  if (general_ != nullptr) return general_->info[k];
  return 0;
}

}  // namespace Orvo
