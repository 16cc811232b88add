// LU factorisation without row interchanges of a square matrix whose pattern is close to
// symmetric, ordered symmetrically: R A = P^T L U P, with R the row scaling, P the order, L unit
// lower and U upper triangular, the pattern of U that of L^T. The columns of L (and rows of U)
// with the same pattern below the diagonal are grouped into supernodes and factorised front by
// front with dense kernels; the factors are written straight into the caller's storage, and
// everything the solves need lives there.
//
// Without interchanges the diagonal must serve as pivot: each is tested against the largest entry
// of its column at the time it is used, and the first that fails ends the attempt, so that the
// caller factorises with interchanges instead. On matrices that pass, the factors are those a
// factorisation with interchanges that prefers the diagonal would compute.
#ifndef ORVO_SRC_KERNEL_SPARSE_SUPERNODAL_LU_HPP
#define ORVO_SRC_KERNEL_SPARSE_SUPERNODAL_LU_HPP

#include <cstdint>
#include <vector>

#include "kernel/sparse/sparse_lu_support.hpp"

namespace sparse_lu {

// The structure of the factors, found from the pattern of A + A^T under the given order. The
// order is refined (children before parents in the elimination tree, which changes neither the
// fill nor the work) so that supernodes are runs of consecutive positions.
struct SupernodalStructure {
  int n = 0;
  std::vector<int> order;     // order[k]: the row and column of A at position k
  std::vector<int> first;     // supernode s: positions first[s] .. first[s + 1] - 1
  std::vector<int> rowStart;  // rows[rowStart[s] .. rowStart[s + 1]): positions below s, ascending
  std::vector<int> rows;
  std::int64_t lnz = 0, unz = 0;  // entries of L (unit diagonal included) and of U
};

// Builds the structure for the n x n column form `a` under `order` (a permutation of 0..n-1).
// Returns false when the matrix is not square or the order not a permutation.
bool AnalyseSupernodal(const ColumnForm& a, const std::vector<int>& order,
                       SupernodalStructure& out);

// Integer and real entries of the caller's storage that factors of this structure take.
std::int64_t SupernodalIntegers(const SupernodalStructure& s);
std::int64_t SupernodalReals(const SupernodalStructure& s);

// Storage that covers in practice the factors of an n x n matrix whose order predicts `count`
// entries of L plus U (diagonal once; SymmetricOrdering's count), before the analysis: the
// supernodes add explicit zeros, up to about a third more on small problems.
void EstimateSupernodal(int n, std::int64_t count, std::int64_t& integers, std::int64_t& reals);
// Storage the same factors take at least, whatever the supernodes (the count is an
// approximation, so half of it is taken).
void LeastSupernodal(int n, std::int64_t count, std::int64_t& integers, std::int64_t& reals);

// The factors as they lie in the caller's storage: integers (n, supernodes, order, first,
// rowStart, rows), then reals (the row scale factors, then for each supernode its (k + r) x k
// panel of L with U's diagonal block in its top k rows, and U's k x r block to the right of it,
// both by columns; k columns, r rows below).
struct SupernodalView {
  int n = 0, supernodes = 0;
  const int* order = nullptr;
  const int* first = nullptr;
  const int* rowStart = nullptr;
  const int* rows = nullptr;
  double* scale = nullptr;  // R: multiplies row i of A
  double* panels = nullptr;
};
// The same for factors in place.
std::int64_t SupernodalIntegers(const SupernodalView& v);
std::int64_t SupernodalReals(const SupernodalView& v);
// Writes the structure into `integers` (SupernodalIntegers(s) entries) and lays the view over it
// and `reals` (SupernodalReals(s) entries).
SupernodalView StoreSupernodal(const SupernodalStructure& s, int* integers, double* reals);
// The view of a structure stored earlier. Returns false when what lies there is not one (the
// counts do not fit the lengths given).
bool ViewSupernodal(int* integers, std::int64_t integerLength, double* reals,
                    std::int64_t realLength, SupernodalView& view);

// Outcome of a numeric factorisation.
struct SupernodalOutcome {
  enum Kind {
    kDone,
    kPivotRejected,    // a diagonal entry failed the threshold test (or was zero)
    kPatternMismatch,  // an entry of A lies outside the structure
  } kind = kDone;
  double flops = 0.0, smallestPivot = 0.0, largestPivot = 0.0;
};
// Factorises the n x n column form `a` (the matrix the structure was made for, or one of the
// same pattern) into the view's storage. A diagonal entry is accepted as pivot when its magnitude
// is at least `threshold` times the largest magnitude in its column below it. `blockSize` is the
// width of the dense kernels' panels. Reads `a`, overwrites the view's scale and panels (with
// unspecified contents unless kind == kDone). Raises Orvo::mvlException when scratch memory
// runs out.
SupernodalOutcome FactoriseSupernodal(const ColumnForm& a, const SupernodalView& view,
                                      double threshold, int blockSize);

// Solve A x = b and A^T x = b with the factors: b and x have n entries (they may not overlap);
// work has n entries.
void SolveSupernodal(const SupernodalView& f, const double* b, double* x, double* work);
void SolveSupernodalTransposed(const SupernodalView& f, const double* b, double* x, double* work);

}  // namespace sparse_lu

#endif
