// Dense algebra: a small regression design, its Gram matrix and the distances between samples.
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/matrix.hpp"

using namespace Orvo;

namespace {
void print(const char* name, const RMatrix& m) {
  std::printf("%s (%d x %d)%s\n", name, m.Height(), m.Width(), m.isOK() ? "" : "  [not OK]");
  for (int i = 0; i < m.Height(); ++i) {
    std::printf("  ");
    for (int j = 0; j < m.Width(); ++j) std::printf("%11.4f", m(i, j));
    std::printf("\n");
  }
}

void run() {
  // Five samples of two measured variables (temperature in C, pressure in bar).
  const double samples[] = {20.0, 22.5, 25.0, 27.5, 30.0, 1.01, 1.05, 1.12, 1.18, 1.26};
  RMatrix X(5, 2);
  for (int k = 0; k < 10; ++k) X(k) = samples[k];

  RMatrix ones = Vals<1>(5, 1);
  RMatrix design = colJoin(ones, X);  // [1 x1 x2]
  print("design matrix [1 T p]", design);

  RMatrix gram = MatrixMultiply(design, design, 1.0, 0.0, true, false);
  print("Gram matrix D^T D", gram);

  RMatrix standardised = Normalize(X);
  print("standardised samples", standardised);

  RMatrix distance = Euclidean(standardised, standardised);
  print("distances between standardised samples", distance);

  RMatrix mismatch = MatrixMultiply(design, X, 1.0, 0.0, false, false);
  std::printf("D * X with non-conforming shapes: isOK() = %s, getInfo() = %d\n",
              mismatch.isOK() ? "true" : "false", mismatch.getInfo());
}

const DemoSection section("10-dense", "Dense matrices and lazy expressions", &run);
}  // namespace
