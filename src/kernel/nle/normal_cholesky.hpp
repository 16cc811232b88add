// Sparse Cholesky factorisation of the normal matrix J^T J + mu D^2 of a sparse m x n Jacobian,
// formed column by column from J itself (the normal matrix is never stored), with everything it
// keeps in a caller's integer array iw and real array of factor values.
//
// The analysis of a Jacobian pattern writes into iw, in this order:
//   Cp    n + 1   the analysed column starts (1-based, as given), to recognise the pattern again
//   Rp    m + 1   row starts of J stored by rows (0-based)
//   Rcol  nnzJ    for each entry in row order: its column in the elimination order
//   Rpos  nnzJ    for each entry in row order: its position in the column-ordered value array
//   perm  n       elimination order: perm[k] = original column eliminated k-th
//   pinv  n       its inverse
//   parent n      elimination tree of the permuted normal matrix (-1 at roots)
//   Lp    n + 1   column starts of the factor L
//   next, stack, flag   n each, scratch of the factorisation
//   Li    nnzL    row indices of L, diagonal first in each column
// During the analysis the Li region first holds the lower triangle of the normal matrix's
// pattern (n + 1 + nnzA ints, nnzA counting the whole diagonal) handed to the minimum-degree
// ordering, so the analysis needs max(nnzL, n + 1 + nnzA) ints there.
#ifndef ORVO_SRC_KERNEL_NLE_NORMAL_CHOLESKY_HPP
#define ORVO_SRC_KERNEL_NLE_NORMAL_CHOLESKY_HPP

#include <cstdint>

namespace Orvo {
namespace nle {

// A Jacobian in compressed column form as the driver hands it over: 1-based row indices and
// column starts (colStarts[0] = 1, colStarts[n] - 1 entries), duplicates allowed (they add up).
struct Jacobian {
  int m;
  int n;
  const int* rows;
  const int* colStarts;
  const double* values;
  int entries() const { return colStarts[n] - 1; }
};

// Offsets into iw for a given size; head is where Li (or the ordering's input) starts.
struct IntLayout {
  std::int64_t cp, rp, rcol, rpos, perm, pinv, parent, lp, next, stack, flag, head;
  IntLayout(int m, int n, int nnzJ);
};

// True when the column starts and row indices describe an m x n pattern: colStarts[0] = 1,
// non-decreasing, every row in 1..m.
bool ValidPattern(const Jacobian& J);

// True when J has exactly the pattern analysed into iw (same entries in the same positions).
bool SamePattern(const Jacobian& J, const int* iw);

struct AnalysisResult {
  bool done;                // false: iw too short, see intsNeeded
  std::int64_t intsNeeded;  // iw length the analysis needs (a lower bound when !done)
  std::int64_t nnzL;        // entries of L, diagonal included (when done)
  std::int64_t nnzA;  // entries of the normal matrix's lower triangle, whole diagonal included
  bool duplicates;    // J has repeated positions
};

// Analyses J's pattern into iw[0, liw): row structure, fill-reducing order (minimum degree, or
// the natural order when naturalOrder is set or the ordering fails), elimination tree and column
// counts of L. Never writes at or past iw[liw].
AnalysisResult Analyse(const Jacobian& J, int* iw, std::int64_t liw, bool naturalOrder);

// Value of entry t (row order) of J.
inline double RowValue(const Jacobian& J, const int* rpos, std::int64_t t) {
  return J.values[rpos[t]];
}

// diag[k] = (J^T J)_{perm[k], perm[k]}: squared column norms, repeated positions summed first.
void NormalDiagonal(const Jacobian& J, const int* iw, bool duplicates, double* diag);

// Factorises P (J^T J + mu diag(dsq)) P^T = L L^T into Lx (nnzL values) with the analysed
// structure; dsq is indexed by original column. Fails (returns false) at the first pivot that is
// not above pivotTolerance times its column's diagonal (or is not finite). work: n doubles.
bool Factorise(const Jacobian& J, int* iw, double mu, const double* dsq, const double* diag,
               double pivotTolerance, double* Lx, double* work);

// Overwrites b (n values, elimination order) with (L L^T)^{-1} b.
void SolveFactorised(const Jacobian& J, const int* iw, const double* Lx, double* b);

}  // namespace nle
}  // namespace Orvo

#endif  // ORVO_SRC_KERNEL_NLE_NORMAL_CHOLESKY_HPP
