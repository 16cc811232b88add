// Storage, assembly, compression, product and residual of sparseMatrix.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "kernel/sparse/sparse_kernels.hpp"
#include "orvo/sparse.hpp"
#include "sparse/array_growth.hpp"
#include "sparse/sparse_records.hpp"

namespace Orvo {

namespace {
constexpr int kDefaultFillIn = 4;
constexpr int kDefaultFillInEmpty = 10;
constexpr int kSortInfoLength = 10;
constexpr int kSortControlLength = 10;

}  // namespace

namespace {
// The dimensions and capacity a matrix can be built with: none negative, and room for the
// Nc + 1 column starts and the max(Nr, Nc) + 1 sorting work in the int range.
int checkedCapacity(int capacity, int nr, int nc) {
  if (nr < 0 || nc < 0)
    throw mvlException("sparseMatrix: negative dimension " + std::to_string(nr) + " x " +
                       std::to_string(nc));
  checkedLength(std::int64_t{std::max(nr, nc)} + 1, "sparseMatrix dimensions");
  return checkedLength(capacity, "sparseMatrix capacity");
}
}  // namespace

sparseMatrix::sparseMatrix(int capacity, int nr, int nc)
    : nr_(nr),
      nc_(nc),
      jcn_(checkedCapacity(capacity, nr, nc)),
      nz_(0),
      capacity_(capacity),
      data_(capacity),
      irn_(capacity),
      ip_(nc + 1),
      compressed_(false),
      fill_in_(kDefaultFillIn) {
  std::fill(jcn_.Array(), jcn_.Array() + capacity, 0);
  std::fill(irn_.Array(), irn_.Array() + capacity, 1);
  std::fill(data_.Array(), data_.Array() + capacity, 0.0);
  std::fill(ip_.Array(), ip_.Array() + nc + 1, 1);
}

sparseMatrix::sparseMatrix()
    : nr_(0), nc_(0), nz_(0), capacity_(0), compressed_(false), fill_in_(kDefaultFillInEmpty) {}

sparseMatrix::sparseMatrix(const sparseMatrix& other)
    : IMatrix(other),
      nr_(other.nr_),
      nc_(other.nc_),
      jcn_(other.jcn_),
      nz_(other.nz_),
      capacity_(other.capacity_),
      data_(other.data_),
      irn_(other.irn_),
      ip_(other.ip_),
      compressed_(other.compressed_),
      fill_in_(other.fill_in_),
      log_name_(other.log_name_) {}

sparseMatrix& sparseMatrix::operator=(const sparseMatrix& other) {
  if (this == &other) return *this;
  releaseRecords();
  nr_ = other.nr_;
  nc_ = other.nc_;
  jcn_ = other.jcn_;
  nz_ = other.nz_;
  capacity_ = other.capacity_;
  data_ = other.data_;
  irn_ = other.irn_;
  ip_ = other.ip_;
  compressed_ = other.compressed_;
  fill_in_ = other.fill_in_;
  log_name_ = other.log_name_;
  refused_ = 0;
  return *this;
}

sparseMatrix::~sparseMatrix() {
  releaseRecords();
}

void sparseMatrix::releaseRecords() {
  delete square_;
  square_ = nullptr;
  delete general_;
  general_ = nullptr;
}

void sparseMatrix::growStorage() {
  const int grown = checkedLength(4 * std::int64_t{capacity_} / 3 + 1, "sparseMatrix capacity");
  resizeKeeping(irn_, grown);
  resizeKeeping(jcn_, grown);
  resizeKeeping(data_, grown);
  capacity_ = grown;
}

void sparseMatrix::checkEntryCount() const {
  if (nz_ < 0 || nz_ > capacity_)
    throw mvlException("sparseMatrix: Nz() = " + std::to_string(nz_) + " outside 0.." +
                       std::to_string(capacity_));
}

void sparseMatrix::SetAt(int row, int col, double value) {
  checkEntryCount();
  if (nz_ == capacity_) growStorage();
  irn_[nz_] = row + 1;
  jcn_[nz_] = col + 1;
  data_[nz_] = value;
  ++nz_;
}

void sparseMatrix::Compress() {
  if (compressed_) return;
  checkEntryCount();
  // A default-constructed matrix owns no column starts; the kernel needs Nc + 1 of them.
  if (ip_.Length() < nc_ + 1) ip_.Reallocate(nc_ + 1);
  int work_length = std::max(nr_, nc_) + 1;
  mvlarray<int> work(work_length);
  mvlarray<int> info(kSortInfoLength);
  mvlarray<int> control(kSortControlLength);
  std::fill(control.Array(), control.Array() + kSortControlLength, 0);
  control[0] = 0;  // drop entries outside the matrix
  control[1] = 1;
  control[2] = 0;   // keep duplicates as separate entries
  control[3] = -1;  // no error messages
  control[4] = -1;  // no warnings
  control[5] = 0;   // general (unsymmetric) storage
  int entries = nz_;
  HSL_MC59AD(control.Array(), &nc_, &nr_, &entries, irn_.Array(), &entries, jcn_.Array(), &entries,
             data_.Array(), &work_length, ip_.Array(), &work_length, work.Array(), info.Array());
  // The kernel refuses an empty dimension and leaves everything as it was; the column starts
  // of such a matrix (at most Ip[0]) then describe no entries.
  if (info[0] < 0) {
    std::fill(ip_.Array(), ip_.Array() + ip_.Length(), 1);
    nz_ = 0;
  } else {
    nz_ = ip_[nc_] - 1;
  }
  compressed_ = true;
}

void sparseMatrix::Uncompress() {
  if (!compressed_) return;
  int position = 0;
  for (int c = 1; c <= nc_; ++c) {
    const int count = ip_[c] - ip_[c - 1];
    for (int k = 0; k < count; ++k) jcn_[position++] = c;
  }
  compressed_ = false;
}

void sparseMatrix::MvMul(double* x, double* y, bool, bool accumulate) {
  Compress();
  if (!accumulate) std::fill(y, y + nr_, 0.0);
  const int* rows = irn_.Array();
  const int* cols = jcn_.Array();
  const double* values = data_.Array();
  for (int k = 0; k < nz_; ++k) y[rows[k] - 1] += x[cols[k] - 1] * values[k];
}

double sparseMatrix::CheckSolution(double* x, double* b, bool) {
  Compress();
  mvlarray<double> product(nr_);
  MvMul(x, product.Array(), false, false);
  double sum = 0.0;
  for (int i = 0; i < nr_; ++i) {
    const double r = product[i] - b[i];
    sum += r * r;
  }
  return nr_ > 0 ? std::sqrt(sum / nr_) : 0.0;
}

}  // namespace Orvo
