// Sparse assembly, compression, product and solves from arbitrary triples: indices inside and
// outside the matrix, duplicates, any values, both paths, repeated solves and re-solves with the
// right-hand side as the solution array. Every outcome must be a status, never a fault, and the
// tracked storage must balance.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "orvo/sparse.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::int32_t bytes = OrvomemUsed();
  {
    const int rows = in.below(12), cols = in.below(12);
    Orvo::sparseMatrix a(in.below(8), rows, cols);
    const int entries = in.below(64);
    for (int k = 0; k < entries; ++k) {
      // Mostly inside, sometimes just outside the matrix.
      const int i = in.below(rows + 2) - (in.byte() % 8 == 0 ? 1 : 0);
      const int j = in.below(cols + 2) - (in.byte() % 8 == 0 ? 1 : 0);
      a.SetAt(i, j, in.value());
    }
    Orvo::mvlarray<double> b(rows), x(cols > rows ? cols : rows);
    for (int i = 0; i < rows; ++i) b[i] = in.value();
    for (int i = 0; i < x.Length(); ++i) x[i] = 0.0;
    if (in.byte() % 2 == 0) a.MvMul(x.Array(), b.Array(), false, true);
    const bool general = in.byte() % 2 == 0;
    a.Solve(b, x, general);
    for (int round = in.below(3); round > 0; --round) {
      if (in.byte() % 3 == 0 && a.Nz() > 0) a.Data()[in.below(a.Nz())] = in.value();
      if (in.byte() % 5 == 0) a.SetAt(in.below(rows + 1), in.below(cols + 1), 1.0);
      if (rows == cols && in.byte() % 2 == 0) {
        Orvo::mvlarray<double> bx(b);
        a.ReSolve(bx, bx);
      } else {
        a.Solve(b, x, general);
      }
    }
    a.CheckSolution(x.Array(), b.Array());
    Orvo::sparseMatrix copy(a);
    copy.Solve(b, x, !general);
  }
  if (OrvomemUsed() != bytes) std::abort();
  return 0;
}
