/// @file
/// Sparse matrix in coordinate form with compression to column order and a direct LU solver.
///
/// Assembly: SetAt appends (row, column, value) triples (0-based arguments, stored 1-based);
/// entries at the same position are kept apart and add up in every use. Compress sorts them into
/// column order (Ip then holds the Nc + 1 column starts, 1-based); MvMul and CheckSolution
/// compress first. A caller may also fill Irn/Jcn/Data directly and set Nz().
///
/// Solving: the first Solve analyses and factorises A and keeps the factors in a record owned
/// by the matrix; later Solve calls reuse them (values changed since are NOT seen); ReSolve
/// refactorises the current values on the same pattern. Square matrices take the square path,
/// rectangular ones (or a square one with general = true) the general path, which gives:
///   * m > n, full column rank: the x satisfying the n pivot-row equations; exact for a
///     consistent system. For an inconsistent one (no least-squares fit is made) Solve returns
///     false with Info(0) == InconsistentSystem, x holding that solution;
///   * m < n, full row rank: a basic solution, the n - m non-pivot variables being zero;
///   * rank deficient: a warning (Info(0) == 4), Solve returns false.
/// Every non-zero kernel status, warnings (positive values such as 1 = singular) included, makes
/// Solve/ReSolve return false; the status stays readable through Info. Storage the kernels need
/// beyond the initial estimate is grown and the call repeated automatically.
#ifndef ORVO_SPARSE_HPP
#define ORVO_SPARSE_HPP

#include "orvo/config.hpp"
#include "orvo/matrix.hpp"
#include "orvo/memory.hpp"

namespace Orvo {

/// @{
/// Factorisation records of the square and the general path; defined by the library.
struct MA38Work;
struct MA48Work;
/// @}

/// Sparse matrix in coordinate form with a direct LU solver (above).
class ORVO_API sparseMatrix : public IMatrix {
 public:
  /// Status codes read through Info(0) (see Info).
  static constexpr int Success = 0, Singular = 1, RankDeficient = 4, BadSize = -1, NoEntries = -2,
                       EntryOutside = -6;
  /// @{
  /// Info(0) set by the library itself rather than a kernel:
  ///   PatternChanged      ReSolve: the entries (their count, positions, or on the general path
  ///                       their order) are not those the factorisation was made from; nothing
  ///                       is refactorised or solved. A changed pattern needs a new matrix.
  ///   InconsistentSystem  general path with Nr > Nc: the solution satisfies the pivot rows but
  ///                       the normwise backward error of all Nr equations exceeds
  ///                       InconsistencyTolerance (no exact solution exists); the call returns
  ///                       false and x holds the computed solution.
  ///   NonFiniteEntries    Solve (first factorisation) or ReSolve: an entry value is NaN or
  ///                       infinite; nothing is factorised and x is not written. A later Solve
  ///                       then finds no factors (-7 square, -2 general... the kernel's code).
  ///   ShortVector         Solve or ReSolve: b holds fewer than Nr() values or x has room for
  ///                       fewer than Nc(); nothing is analysed, factorised or solved, b and x
  ///                       are not touched and an existing factorisation stays as it was (x is
  ///                       never re-sized: the caller provides it).
  static constexpr int PatternChanged = -10;
  static constexpr int NonFiniteEntries = -11;
  static constexpr int ShortVector = -12;
  static constexpr int InconsistentSystem = 8;
  static constexpr double InconsistencyTolerance = 1e-8;
  /// @}

  /// capacity entries of storage for an nr x nc matrix; Irn and Ip filled with 1, Data with 0;
  /// no entries, not compressed, fill-in factor 4, no factorisation, no log file. A negative
  /// argument, or a dimension of INT_MAX (no room for the column starts), throws mvlException.
  sparseMatrix(int capacity, int nr, int nc);
  /// 0 x 0 with no storage (fill-in factor 10); useful only as the target of an assignment.
  sparseMatrix();
  /// @{
  /// Copies dimensions, entries (whole capacity), Ip, the compressed flag, the fill-in factor and
  /// the log-file name. The copy starts WITHOUT factorisation records: its first Solve factorises
  /// its own values. Assignment likewise discards the target's records (released, not leaked).
  sparseMatrix(const sparseMatrix& other);
  sparseMatrix& operator=(const sparseMatrix& other);
  /// @}
  /// Releases the arrays and both factorisation records.
  ~sparseMatrix();

  /// @{
  /// Appends entry (row, col, value), 0-based, growing the storage to floor(4 capacity / 3) + 1
  /// when full (mvlException when that exceeds the int range, or when Nz() was set outside
  /// 0..Capacity()). No bounds check; the compressed flag is left as it is, so an entry appended to
  /// a compressed matrix is outside the column structure until Uncompress + Compress.
  void SetAt(int row, int col, double value);
  void SetValue(int row, int col, double value) override { SetAt(row, col, value); }
  /// @}

  /// @{
  /// Direct access to the storage. Irn/Jcn/Data have Capacity() entries of which the first Nz()
  /// are in use; Ip has Nc + 1 entries, meaningful while compressed.
  mvlarray<int>& Irn() { return irn_; }
  mvlarray<int>& Jcn() { return jcn_; }
  mvlarray<int>& Ip() { return ip_; }
  mvlarray<double>& Data() { return data_; }
  /// @}
  /// @{
  /// Number of entries in use, by reference: a caller filling the arrays directly sets it (or
  /// restarts assembly with 0). It must not exceed Capacity().
  int& Nz() { return nz_; }
  int Nr() const { return nr_; }
  int Nc() const { return nc_; }
  int Capacity() const { return capacity_; }
  bool isCompressed() const { return compressed_; }
  /// @}

  /// Sorts the entries into column order and sets Ip (no effect when compressed). Entries whose
  /// indices lie outside the matrix are dropped (Nz shrinks accordingly); duplicates are kept.
  /// An Nz() outside 0..Capacity() throws mvlException (so do MvMul and CheckSolution).
  void Compress();
  /// Back to coordinate form: Jcn rewritten from Ip, entry order unchanged (no effect when not
  /// compressed).
  void Uncompress();

  /// y = A x, or y += A x when accumulate is true (x: Nc values, y: Nr values). Compresses the
  /// matrix first. The third argument is accepted and ignored.
  void MvMul(double* x, double* y, bool unused = false, bool accumulate = false);
  /// Root-mean-square residual sqrt(sum_i (A x - b)_i^2 / Nr). Compresses the matrix first. The
  /// third argument is accepted and ignored.
  double CheckSolution(double* x, double* b, bool unused = false);

  /// Solves A x = b (b: Nr values, x: room for Nc values, written). general = true takes the
  /// general path even for a square matrix. The matrix is left uncompressed. A failure to
  /// obtain storage (mvlException) during the first square factorisation is caught and reported
  /// as false; elsewhere it propagates. x may be b itself (the solve works from a copy of b).
  /// An Nz() outside 0..Capacity() counts as no entries (Info(0) == -2, false). A b shorter than
  /// Nr() or an x shorter than Nc() is refused: false with Info(0) == ShortVector.
  bool Solve(mvlarray<double>& b, mvlarray<double>& x, bool general = false);
  /// Refactorises the current values and solves; without a factorisation yet, the same as
  /// Solve(b, x, false). The entries must be the ones first factorised, only their values
  /// changed: otherwise false with Info(0) == PatternChanged. x may be b itself. A b shorter than
  /// Nr() or an x shorter than Nc() is refused as by Solve (ShortVector).
  bool ReSolve(mvlarray<double>& b, mvlarray<double>& x);
  /// Entry k (0 = status) of the square record's information array if there is one, else of the
  /// general record's; 0 without a record or when k lies outside the record's array. Square: 0 ok,
  /// 1 singular, -1 n < 1, -2 no entries, -6 entry outside the matrix; general: 0 ok, 4 rank
  /// deficient, -1, -2, -6 as square. Square record, further: Info(9)/Info(10) entries in L and U,
  /// Info(11) nonzero pivots, Info(12) pivots taken off the diagonal (0 when no row interchanges
  /// were needed), Info(18)/Info(20) the integer/real storage the last factorisation needed (40
  /// entries). General record: Info(2) storage needed, Info(4) rank (12 entries). After a call
  /// refused for its vectors' lengths, Info(0) is ShortVector (with or without a record) until
  /// the next Solve or ReSolve.
  int Info(int k) const;
  /// @{
  /// Reciprocal of the condition number in the 1-norm, 1 / (||A||_1 ||A^-1||_1), estimated from
  /// the factors of the last successful square Solve or ReSolve: ||A||_1 exactly (duplicates
  /// added up), ||A^-1||_1 by a few solves with A and A^T (Hager-Higham; rarely more than a
  /// factor 3 low, so the result is rarely more than 3 times too large). Costs O(Nz) plus about
  /// ten solves, and is computed only when called; the factors are not changed. Returns 0 when
  /// the last factorisation found the matrix singular, kNoFactors when there are no square
  /// factors (no solve yet, a failed one, or the general path), NaN for non-finite entries.
  double RCond();
  static constexpr double kNoFactors = -1.0;
  /// @}
  /// Multiplier for the initial factor storage (values below 2 count as 2 on the square path);
  /// read when a record is created.
  void SetFillIn(int fill) { fill_in_ = fill; }
  /// Name of a file receiving a report of the first square factorisation (order, entries, fill,
  /// pivots, time, status); null switches it off. The string is not copied and must stay alive
  /// while the matrix may factorise. The file is written through the kernel's output unit 1,
  /// which is process-wide: matrices logging from different threads at once would share it.
  /// A file that cannot be opened is not an error (nothing is written).
  void SetLogging(char* file_name) { log_name_ = file_name; }

 private:
  void growStorage();
  // Throws mvlException when Nz() lies outside 0..Capacity().
  void checkEntryCount() const;
  void releaseRecords();

  int nr_;
  int nc_;
  mvlarray<int> jcn_;
  int nz_;
  int capacity_;
  mvlarray<double> data_;
  mvlarray<int> irn_;
  mvlarray<int> ip_;
  bool compressed_;
  int fill_in_;
  MA38Work* square_ = nullptr;
  MA48Work* general_ = nullptr;
  char* log_name_ = nullptr;
  // ShortVector while the last Solve/ReSolve was refused for its vectors, else 0; it stands
  // for Info(0) then, the records being left untouched.
  int refused_ = 0;
};

}  // namespace Orvo

#endif  // ORVO_SPARSE_HPP
