// Pieces shared by the two sparse LU families: conversion of the caller's coordinate entries to
// the compressed-column form the numeric engine takes, one factorisation through it with the
// factors copied straight into the caller's arrays, and the triangular solves that work from
// those arrays alone.
#ifndef ORVO_SRC_KERNEL_SPARSE_SPARSE_LU_SUPPORT_HPP
#define ORVO_SRC_KERNEL_SPARSE_SPARSE_LU_SUPPORT_HPP

#include <cstdint>
#include <functional>
#include <vector>

#include "memory/large_pages.hpp"

namespace sparse_lu {

// Scratch arrays of the size of the matrix: written once right after they are obtained.
template <class T>
using ScratchVector = std::vector<T, Orvo::detail::LargePageAllocator<T>>;

// Compressed-column copy of an m x n matrix, 0-based, rows ascending in each column, duplicates
// summed.
struct ColumnForm {
  int m = 0, n = 0;
  ScratchVector<int> start, row;
  ScratchVector<double> value;
};

// Builds the column form of the ne 1-based entries (rows[k], cols[k], values[k]); with
// `transpose` the roles of rows and columns are swapped. Returns false (nothing built) when an
// entry lies outside the m x n matrix.
bool BuildColumnForm(int m, int n, int ne, const int* rows, const int* cols, const double* values,
                     bool transpose, ColumnForm& out);

// Views of the factor pieces inside the caller's arrays. L: m x r row form, unit diagonal
// stored last in each row i < r; U: r x n column form, diagonal last in column j < r when it is
// nonzero; r = min(m, n). P: m row pivots, Q: n column pivots (0-based), scale: m row factors.
struct FactorView {
  int m = 0, n = 0;
  int* rowPerm = nullptr;
  int* colPerm = nullptr;
  int* lStart = nullptr;
  int* lCol = nullptr;
  int* uStart = nullptr;
  int* uRow = nullptr;
  double* scale = nullptr;
  double* lValue = nullptr;
  double* uValue = nullptr;
  bool reciprocalScale = false;
  bool symmetricStrategy = false;  // the strategy that was used
};

// Integer and real entries taken by factors of the given sizes.
std::int64_t FactorIntegers(int m, int n, std::int64_t lnz, std::int64_t unz);
std::int64_t FactorReals(int m, std::int64_t lnz, std::int64_t unz);
// Lays a FactorView over the given integer and real storage.
FactorView LayFactors(int m, int n, std::int64_t lnz, int* integers, double* reals);

struct Settings {
  double pivotThreshold = 0.1;
  double symmetricPivotThreshold = 0.001;
  int blockSize = 32;
  // Which elimination strategy: chosen from the pattern, or one imposed (a refactorisation
  // imposes the one its order was made for: chosen afresh under a given order it may differ,
  // with much more fill).
  enum Strategy { kChoose, kUnsymmetric, kSymmetric } strategy = kChoose;
};

// Outcome of one factorisation attempt.
struct Attempt {
  enum Kind { kDone, kShort, kSingular, kInvalid } kind = kInvalid;
  std::int64_t lnz = 0, unz = 0;  // entries in L and U (estimates when kind == kShort)
  int rank = 0;                   // nonzero pivots
  int offDiagonalPivots = 0;
  double flops = 0.0, smallestPivot = 0.0, largestPivot = 0.0;
  bool reciprocalScale = false;
  bool symmetricStrategy = false;  // the strategy that was used
};

// The engine's analysis of a pattern, kept as bytes in the caller's integer storage so that a
// refactorisation of the same pattern can skip it (the analysis costs a third of the numeric
// work on large 2-D problems). Like the factors it is the caller's: nothing survives a call here.
struct KeptAnalysis {
  int* at = nullptr;              // where it is kept: room for AnalysisIntegers(bytes) entries
  std::int64_t heldBytes = 0;     // in: bytes of an analysis already kept there, 0 if none
  std::uint64_t heldPattern = 0;  // in: PatternFingerprint of the matrix it was made for
  std::int64_t bytes = 0;         // out: bytes kept there once the call succeeds, 0 if none
  std::uint64_t pattern = 0;      // out: PatternFingerprint of this matrix
};
// Integer entries taken by an analysis of the given size.
std::int64_t AnalysisIntegers(std::int64_t bytes);
// A 64-bit digest of the shape and the positions of the entries of a column form: a held
// analysis is reused only for a matrix with the same digest.
std::uint64_t PatternFingerprint(const ColumnForm& a);

// Room behind the matrix where a first factorisation that ends short leaves the ordering it
// found, for the repeated call (made once the caller has grown its arrays, keeping their
// contents) to take up instead of ordering again: the ordering is a tenth of the work of a first
// factorisation. What is found there is used only if it checks out (made for this pattern,
// intact, a permutation); anything else there is ignored.
struct LeftOrdering {
  int* at = nullptr;      // storage behind the matrix
  std::int64_t room = 0;  // integers available there
  bool left = false;      // out: an ordering was left there
};
// Integer entries an ordering of order n takes there.
std::int64_t LeftOrderingIntegers(int n);
// The ordering left there for an n x n pattern with the given fingerprint, with its count (as
// SymmetricOrdering returns it) and whether it failed without row interchanges; false when
// nothing there checks out.
bool TakeLeftOrdering(const LeftOrdering& left, int n, std::uint64_t pattern,
                      std::vector<int>& order, std::int64_t& count, bool& interchanges);
// Leaves `order` there (when there is room; left.left tells).
void LeaveOrdering(LeftOrdering& left, std::uint64_t pattern, const std::vector<int>& order,
                   std::int64_t count, bool interchanges);

// The minimum-degree order of the pattern of A + A^T (into `order`) when the pattern is close
// enough to symmetric to be ordered that way: square, no diagonal entry missing, at least half
// the off-diagonal entries mirrored. Returns the entries of L plus U (diagonal once) that the
// order predicts for an elimination without interchanges, or 0 (order unspecified) when the
// pattern does not qualify.
std::int64_t SymmetricOrdering(const ColumnForm& a, std::vector<int>& order);

// Analyses (givenOrder null) or reuses the column order givenOrder (n entries, 0-based), then
// factorises. The analysis estimates the factor sizes; when `fits` rejects the estimate the
// attempt ends as kShort before any numeric work, reporting the estimate (not so under a given
// order: a refactorisation judges only the exact sizes). Otherwise the matrix
// is factorised, `fits` is asked again with the exact sizes (kShort if rejected), and `place`
// supplies the storage into which the factors are copied. Nothing of the engine survives the
// call. Raises Orvo::mvlException when the engine runs out of memory.
// With `kept`, a held analysis is reused under the given order (a fresh one is made if it cannot
// be read back or no longer matches the pattern). kept->bytes is set before `fits` is asked;
// `place` may set it to 0 when there is no room, else a fresh analysis is stored at kept->at.
// Without a usable in-memory file the analysis is simply not kept (kept->bytes = 0).
using FitsFunction = std::function<bool(std::int64_t lnz, std::int64_t unz)>;
using PlaceFunction = std::function<FactorView(std::int64_t lnz, std::int64_t unz)>;
Attempt Factorise(const ColumnForm& a, const Settings& settings, const int* givenOrder,
                  const FitsFunction& fits, const PlaceFunction& place,
                  KeptAnalysis* kept = nullptr);

// Solves with the factors: x (n entries) from b (m entries). Non-basic unknowns (columns beyond
// the rank, and those of pivots at or below zeroPivot in magnitude) are zero. work: m + n
// doubles.
void SolveWithFactors(const FactorView& f, const double* b, double* x, double* work,
                      double zeroPivot = 0.0);
// Solves A^T x = b for square factors. work: n doubles.
void SolveTransposedWithFactors(const FactorView& f, const double* b, double* x, double* work);

}  // namespace sparse_lu

#endif
