// The expression protocol over arbitrary shapes and contents: joins, ranges, differences,
// products with every transposition and accumulation, distances, standardisation and the
// dense solves, into fresh targets, into targets of other shapes and into their own operands.
// Every outcome must be a status, never a fault, and the tracked storage must balance.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "orvo/dense_solvers.hpp"
#include "orvo/matrix.hpp"

namespace {
Orvo::RMatrix matrix(FuzzInput& in) {
  Orvo::RMatrix m(in.below(6), in.below(6));
  for (int k = 0; k < m.Height() * m.Width(); ++k) m(k) = in.value();
  return m;
}

void evaluate(FuzzInput& in, Orvo::RMatrix& A, Orvo::RMatrix& B, Orvo::RMatrix& T) {
  using namespace Orvo;
  const int first = in.below(7) - 1, last = in.below(7) - 1;
  switch (in.below(12)) {
    case 0:
      T = colJoin(A, B);
      break;
    case 1:
      T = rowJoin(A, B);
      break;
    case 2:
      if (first <= last && last < A.Width() && first >= 0) T = colRange(A, first, last);
      break;
    case 3:
      if (first <= last && last < A.Height() && first >= 0) T = rowRange(A, first, last);
      break;
    case 4:
      T = MSub(A, B);
      break;
    case 5:
      T = MatrixMultiply(A, B, in.value(), in.byte() % 2 ? 0.0 : 1.0, in.byte() % 2, in.byte() % 2);
      break;
    case 6: {
      MatrixMultiply product(A, B, 1.0, 0.0, in.byte() % 2, in.byte() % 2);
      T = MatrixMultiplyAndAdd(T, product);
      break;
    }
    case 7:
      T = Euclidean(A, B);
      break;
    case 8:
      T = Normalize(A);
      break;
    case 9:
      T = SPDSolve(A, B, in.value());
      break;
    case 10:
      T = LsqSolve(A, B, in.byte() % 2 ? 0.0 : 1e-3);
      break;
    case 11: {
      RMatrix copy = A;
      T = LinSolve(copy, B, in.below(40));
      break;
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::int32_t bytes = OrvomemUsed();
  {
    Orvo::RMatrix A = matrix(in), B = matrix(in), T = matrix(in);
    for (int step = in.below(6); step >= 0 && !in.empty(); --step) {
      switch (in.below(4)) {
        case 0:
          evaluate(in, A, B, T);
          break;
        case 1:
          evaluate(in, A, B, A);
          break;  // the target is an operand
        case 2:
          evaluate(in, A, A, B);
          break;
        default: {
          Orvo::RMatrix fresh(0, 0);
          evaluate(in, A, B, fresh);
        }
      }
    }
  }
  if (OrvomemUsed() != bytes) std::abort();
  return 0;
}
