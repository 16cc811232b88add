// Sparse kernel routines: coordinate sort, two sparse LU families and diagnostic output units.
//
// Reference style throughout: every argument by address in the published order, except the name
// length of HSL_FFOPEN. Control and information entries are numbered from 1 in the comments
// (icntl(1) is icntl[0]). Matrix indices in the arrays are 1-based.
//
// The LU routines keep no state of their own between calls: everything a later call needs (the
// factors, the permutations, the layout of both) lives in the caller's arrays and in `keep`.
// When the arrays are too short they return a negative status together with the lengths needed,
// and leave the caller's arrays in a state from which the same call may simply be repeated once
// they have been enlarged and refilled with their contents from before the call.
// Storage that a routine cannot obtain for its own temporaries raises Orvo::mvlException.
// Internal to the library: nothing here is exported.
#ifndef ORVO_SRC_KERNEL_SPARSE_SPARSE_KERNELS_HPP
#define ORVO_SRC_KERNEL_SPARSE_SPARSE_KERNELS_HPP

// ---------------------------------------------------------------------------------------------
// HSL_MC59AD: sorts the ne coordinate entries (irn, jcn, a) in place into column order in linear
// time and writes the nc+1 column starts (1-based) into ip. Temporary storage is iw.
//   icntl(1)  0: entries with a row outside 1..nr or a column outside 1..nc are removed;
//             otherwise the caller guarantees every index is in range.
//   icntl(3)  0: entries with the same position are kept as separate entries;
//             otherwise they are summed into one entry (first occurrence keeps its place).
//   icntl(6)  must be 0 (general storage).  icntl(2), (4), (5), (7)..(10) are reserved.
//   Lengths: ljcn, la >= ne; lip >= nc + 1; liw >= max(nr, nc) + 1.
//   info(1)   0 success, 1 warning: out-of-range entries were removed,
//             -1 nc < 1 or nr < 1, -2 ne < 0, -3 ljcn or la < ne, -4 lip too short,
//             -5 liw too short, -6 icntl(6) != 0. On an error nothing is moved.
//   info(2)   entries removed as out of range;  info(3) duplicate entries summed away;
//   info(4)   largest number of entries in one column;  info(5) ne after the call
//             (equal to ip(nc+1) - 1).  info(6)..(10) are set to 0.
void HSL_MC59AD(const int* icntl, const int* nc, const int* nr, const int* ne, int* irn,
                const int* ljcn, int* jcn, const int* la, double* a, const int* lip, int* ip,
                const int* liw, int* iw, int* info);

// Length of info and the values of info(1) above.
namespace mc59 {
constexpr int kInfoLength = 10;
enum Status {
  kOk = 0,
  kRemovedOutOfRange = 1,
  kBadSize = -1,
  kBadCount = -2,
  kEntryArraysShort = -3,
  kStartsShort = -4,
  kWorkShort = -5,
  kBadStorage = -6
};
}  // namespace mc59

// ---------------------------------------------------------------------------------------------
// Square LU (HSL_MA38*): A is n x n, given as ne coordinate entries at the front of the caller's
// arrays: index(1..ne) rows, index(ne+1..2ne) columns, value(1..ne) values (duplicates are
// summed). The routines leave that front untouched and place the factorisation behind it, in
// one of two layouts (keep records which):
//  - Patterns close to symmetric (no diagonal entry missing, at least half the off-diagonal
//    entries mirrored), unless icntl(6) = 0: R A = P^T L U P without row interchanges, P the
//    approximate minimum degree order of A + A^T, L and U^T of one pattern, grouped in
//    supernodes. index(2ne+1...) holds the order and the supernodes' structure, value(ne+1...)
//    the row scale factors and each supernode's dense panels of L and U. Every diagonal pivot
//    must be at least cntl(2) times the largest entry below it in its column; should one fail,
//    the matrix is factorised as below under the same order, with interchanges.
//  - Otherwise P R A Q = L U with a fill-reducing column order Q (approximate minimum degree on
//    A + A^T, or on the column structure, chosen from the pattern), threshold partial pivoting
//    for P, row scaling R, unit lower triangular L and upper triangular U. index(2ne+1...) holds,
//    when the array has room for it beyond what info(19) asks, the analysis of the pattern (a
//    few integers per column), then the row and column permutations and the patterns of L and
//    U; value(ne+1...) the row scale factors and the numbers of L and U.
// `keep` (20 ints) records the layout, the sizes and a fingerprint of the pattern factorised,
// and must be handed back unchanged.
//
// Controls set by HSL_MA38ID:
//   icntl(1)  unit for error messages (default 6; < 1 or not open: none)
//   icntl(2)  unit for the diagnostic report (default 6)
//   icntl(3)  report level: 0 none (default), 1 errors, 2 + summary, >= 3 + factor statistics
//   icntl(6)  1 (default): choose the ordering strategy from the pattern; 0: always order the
//             column structure (unsymmetric strategy)
//   icntl(7)  block size of the dense kernels inside the factorisation (default 32)
//   icntl(8)  iterative refinement steps in HSL_MA38CD (default 2); refinement uses the original
//             matrix at the front of the arrays and stops early when the normwise backward
//             error falls below cntl(3) or a step fails to halve it
//   cntl(1)   relative pivot threshold: a pivot must be at least cntl(1) times the largest
//             entry of its column (default 0.1)
//   cntl(2)   relative threshold a diagonal pivot must pass without interchanges, and for
//             preferring the diagonal with them (default 0.001)
//   cntl(3)   backward error at which refinement stops (default machine epsilon)
// Other icntl and cntl entries are reserved.
//
// Information after HSL_MA38AD/BD:
//   info(1)   0 success;  1 warning: matrix singular (a zero pivot; the factors are kept and a
//             solve gives the unknowns of zero pivots the value 0);  -1 n < 1;  -2 ne < 1;  -3
//             index too short; -4 value too short;  -5 both too short;  -6 an entry lies outside
//             the matrix; -7 job invalid, or (HSL_MA38CD) no usable factors: none yet, or the
//             last HSL_MA38AD/BD failed. Until a call succeeds, the factors held before it no
//             longer count.
//   info(5) n,  info(6) ne,  info(7) entries after summing duplicates,
//   info(10)  entries in L (unit diagonal included),  info(11) entries in U,
//   info(12)  numerical rank (nonzero pivots),  info(13) off-diagonal pivots (0 without
//             interchanges),
//   info(19)  and info(22): index length needed (exact after a factorisation; when the
//             shortage was found by the analysis, before any numeric work, an estimate that
//             twice its value covers in practice, and should it not, the next call reports the
//             exact need). Without interchanges the exact lengths are enough to factorise the
//             same matrix again; with them, a first factorisation judges by the estimate before
//             its numeric phase and may ask for more,
//   info(21)  and info(23): value length needed (likewise).
//   rinfo(1)  seconds spent,  rinfo(2) floating-point operations of the factorisation,
//   rinfo(3)  smallest and rinfo(4) largest absolute pivot,
//   rinfo(5)  backward error after HSL_MA38CD with refinement.
void HSL_MA38ID(int* keep, double* cntl, int* icntl);

// Array lengths and the values of info(1) above, for the routines and their callers alike.
namespace ma38 {
constexpr int kInfoLength = 40, kRinfoLength = 20, kKeepLength = 20, kCntlLength = 10,
              kIcntlLength = 20;
enum Status {
  kOk = 0,
  kSingular = 1,
  kBadOrder = -1,
  kBadEntries = -2,
  kIndexShort = -3,
  kValueShort = -4,
  kBothShort = -5,
  kOutside = -6,
  kNoFactors = -7
};
}  // namespace ma38

// Analyses and factorises (job must be 1). With transpose true the factors are those of A^T;
// HSL_MA38CD takes that into account, so either way it solves with A as asked.
// When it reports a shortage (-3..-5) the front is unchanged, but the ordering found may be
// left in index behind it (a few integers more than n, where there is room): a caller that grows
// index keeping its contents and calls again is spared ordering the pattern a second time. What
// lies there is used only when it was made for the same pattern and is intact, so a caller that
// refills the arrays from copies of the matrix gets the same factors.
void HSL_MA38AD(const int* n, const int* ne, const int* job, const bool* transpose,
                const int* lvalue, const int* lindex, double* value, int* index, int* keep,
                const double* cntl, const int* icntl, int* info, double* rinfo);

// Refactorises new values on the pattern factorised before: the order stored by the last
// successful HSL_MA38AD/BD in the arrays is reused (no new ordering; without one it orders
// afresh, as HSL_MA38AD does); pivoting is redone. Without
// interchanges and with the same pattern only the numbers are redone, in place; should a pivot
// fail, the values are factorised with interchanges under the same order. With interchanges, the
// analysis kept in the arrays is reused when its fingerprint matches the entries' pattern, which
// skips the symbolic work; without one (no room, damaged, other positions) the pattern is
// analysed afresh under the stored order. The front of the arrays must hold the entries (same
// pattern, new values). Statuses as above; after a failed refactorisation the factors may no
// longer be usable (HSL_MA38CD then reports -7), but the order stays for another one.
void HSL_MA38BD(const int* n, const int* ne, const int* job, const bool* transpose,
                const int* lvalue, const int* lindex, double* value, int* index, int* keep,
                const double* cntl, const int* icntl, int* info, double* rinfo);

// Solves A x = b (transpose false) or A^T x = b (true) with the factors held in the arrays.
// job is ignored (the whole solve is done). b is not changed. w has 2n doubles, 4n if
// icntl(8) > 0. info(1): 0 success, 1 singular factors (unknowns of zero pivots set to 0), -7 no
// factorisation in the arrays; info(24) is the number of refinement steps taken and rinfo(5)
// the normwise backward error before the last step. Other info entries are left alone.
void HSL_MA38CD(const int* n, const int* job, const bool* transpose, const int* lvalue,
                const int* lindex, const double* value, const int* index, const int* keep,
                const double* b, double* x, double* w, const double* cntl, const int* icntl,
                int* info, double* rinfo);

// ---------------------------------------------------------------------------------------------
// General LU (HSL_MA48*): A is m x n (any shape), ne coordinate entries at the front of
// a/irn/jcn (duplicates summed). The factors are stored at the END of a and irn (so that new
// values may be written over the front between calls); jcn is only read. keep holds the
// permutations and column starts: m + 5n + floor(4n / icntl(6)) + 7 ints.
//
// P R A Q = L U with L m x r unit lower trapezoidal and U r x n upper trapezoidal,
// r = min(m, n). The numerical rank k counts the pivots above cntl(4) * max |a_ij|.
// HSL_MA48CD then returns:
//   * k = n <= m (full column rank): the x satisfying the n equations chosen as pivot rows;
//     for a consistent system this is the exact solution. For an inconsistent system (m > n)
//     the other m - n equations are not satisfied and no least-squares fit is attempted;
//     error(1) receives the largest absolute residual over all m equations, so the caller can
//     tell.
//   * k = m < n (full row rank): a basic solution; the n - m variables outside the pivot columns
//     are zero.
//   * k < min(m, n): the factorisation reports warning 4 (rank deficient); a solve still returns
//     the basic solution of the first k pivots (the other variables zero).
//
// Controls set by HSL_MA48ID:
//   icntl(1), icntl(3) error unit and report level (defaults 6 and 0: silent); errors only
//   icntl(6)  block size of the dense kernels, also sizing keep (default 32)
//   icntl(9)  iterative refinement steps in HSL_MA48CD for square systems (default 0); a step
//             is kept only while it reduces the largest residual
//   cntl(1)   relative pivot threshold (default 0.1);  cntl(4) relative zero-pivot tolerance
//             for the rank (default 1e-13);  other entries reserved.
// Information:
//   info(1)   0 success;  4 warning: rank deficient (info(5) < min(m, n));  -1 m < 1 or n < 1;
//             -2 ne < 1;  -3 la too short (info(3) or info(4) gives the length needed);
//             -6 an entry outside the matrix;  -7 invalid job or no analysis/factorisation.
//   info(3)   la needed (after HSL_MA48AD an estimate as for info(19) of HSL_MA38, after
//             HSL_MA48BD exact),
//   info(4)   la needed by a job-2 refactorisation,  info(5) rank,
//   info(6)   entries in L and U,  info(7) entries after summing duplicates.
//   rinfo(1)  floating-point operations of the last factorisation.
// HSL_MA48CD sets only info(1) (0, 4 or -7) and leaves the other entries as they were.

void HSL_MA48ID(double* cntl, int* icntl);

// Array lengths and the values of info(1) above, for the routines and their callers alike.
namespace ma48 {
constexpr int kInfoLength = 12, kIcntlLength = 9, kCntlLength = 5, kRinfoLength = 1;
enum Status {
  kOk = 0,
  kRankDeficient = 4,
  kBadShape = -1,
  kBadEntries = -2,
  kShort = -3,
  kOutside = -6,
  kBadJob = -7
};
}  // namespace ma48

// Analyses the pattern (job 1) and keeps the column order in keep. Needs la >= ne.
void HSL_MA48AD(const int* m, const int* n, const int* ne, const int* job, const int* la, double* a,
                int* irn, int* jcn, int* keep, const double* cntl, const int* icntl, int* iw,
                int* info, double* rinfo);

// Factorises. job 1: the first factorisation after HSL_MA48AD; job 2: new values on the same
// pattern (front of a), pivoting redone with the stored column order. w: n + 3m doubles,
// iw: 6m + 3n ints (both scratch).
void HSL_MA48BD(const int* m, const int* n, const int* ne, const int* job, const int* la, double* a,
                int* irn, int* jcn, int* keep, const double* cntl, const int* icntl, double* w,
                int* iw, int* info, double* rinfo);

// Solves A x = b (trans false; b has m entries, x n) or, for square A only, A^T x = b (trans
// true) with the stored factors; job 1 or 3. error(1) receives the largest absolute residual
// of the equations after the solve (and refinement), error(2) and error(3) are set to 0.
// b is not changed. w: n + 3m doubles of scratch; iw is not used.
void HSL_MA48CD(const int* m, const int* n, const bool* trans, const int* job, const int* la,
                const double* a, const int* irn, const int* keep, const double* cntl,
                const int* icntl, const double* rhs, double* x, double* error, double* w, int* iw,
                int* info);

// ---------------------------------------------------------------------------------------------
// Diagnostic output units: a small table of numbered text outputs (units 1..99; 6 is the
// standard output and is always open). HSL_FFOPEN opens (creating or truncating) the file whose
// name is the first `length` characters of `name` on unit *unit; a unit already open is closed
// first. A file that cannot be opened leaves the unit closed (writes to it are dropped).
// HSL_FFCLOSE closes *unit (no effect if it is not open or is 6).
void HSL_FFOPEN(const char* name, int length, const int* unit);
void HSL_FFCLOSE(const int* unit);

#endif
