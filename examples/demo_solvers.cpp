// Dense solvers at work: a sensor calibration curve fitted by least squares (normal equations
// and truncated SVD side by side), a steady heat-conduction rod solved as a banded system, and
// what a singular system looks like to the caller.
#include <cmath>
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/dense_solvers.hpp"

using namespace Orvo;

namespace {

void calibrationCurve() {
  // A thermocouple's voltage (mV) read at reference temperatures (C); fit T = c0 + c1 v + c2 v^2.
  const double volts[] = {0.00, 0.80, 1.61, 2.44, 3.28, 4.12, 4.96, 5.81, 6.65, 7.50};
  const double celsius[] = {0.1, 19.8, 40.2, 60.1, 80.3, 99.7, 120.2, 140.0, 159.8, 180.1};
  const int samples = 10;
  RMatrix design(samples, 3), target(samples, 1);
  for (int i = 0; i < samples; ++i) {
    design(i, 0) = 1.0;
    design(i, 1) = volts[i];
    design(i, 2) = volts[i] * volts[i];
    target(i, 0) = celsius[i];
  }
  RMatrix normalFit = LsqSolve(design, target, 1e-10);

  RMatrix overwritten(design);  // the SVD overwrites its matrix
  RMatrix svdFit = SVDSolve(overwritten, target, 1e-12);

  std::printf("Calibration T(v) = c0 + c1 v + c2 v^2 from %d readings\n", samples);
  std::printf("  normal equations : c = (%9.5f, %9.5f, %9.5f)\n", normalFit(0, 0), normalFit(1, 0),
              normalFit(2, 0));
  std::printf("  truncated SVD    : c = (%9.5f, %9.5f, %9.5f)\n", svdFit(0, 0), svdFit(1, 0),
              svdFit(2, 0));
  double sumSquares = 0.0;
  for (int i = 0; i < samples; ++i) {
    const double fitted =
        normalFit(0, 0) + normalFit(1, 0) * volts[i] + normalFit(2, 0) * volts[i] * volts[i];
    sumSquares += (fitted - celsius[i]) * (fitted - celsius[i]);
  }
  std::printf("  RMS misfit %.3f C; reading 3.00 mV means %.2f C\n\n",
              std::sqrt(sumSquares / samples),
              normalFit(0, 0) + normalFit(1, 0) * 3.0 + normalFit(2, 0) * 9.0);
}

void heatConduction() {
  // Steady temperature in a 1 m rod, ends held at 20 C and 100 C, with a heat source of
  // q / k = 400 K/m^2 in its middle third: -u'' = q/k, central differences on n inner nodes.
  const int n = 99;
  const double h = 1.0 / (n + 1), leftEnd = 20.0, rightEnd = 100.0;
  BandedMatrix rod(n, 1, 1);
  double u[n];
  for (int i = 0; i < n; ++i) {
    for (int j = rod.rowStart(i); j < rod.rowEnd(i); ++j) rod(i, j) = i == j ? 2.0 : -1.0;
    const double x = (i + 1) * h;
    u[i] = (x > 1.0 / 3 && x < 2.0 / 3 ? 400.0 : 0.0) * h * h;
  }
  u[0] += leftEnd;
  u[n - 1] += rightEnd;
  double rhs[n];
  for (int i = 0; i < n; ++i) rhs[i] = u[i];
  const BandedMatrix assembled(rod);  // keep the matrix for the residual check
  rod.Solve(u);
  std::printf("Heat conduction in a rod (%d nodes, tridiagonal, Info() = %d)\n", n, rod.Info());
  for (double x : {0.1, 0.3, 0.5, 0.7, 0.9}) {
    const int node = static_cast<int>(std::lround(x / h)) - 1;
    std::printf("  T(%.1f m) = %7.3f C\n", x, u[node]);
  }
  std::printf("  RMS residual of the solution: %.2e\n\n", assembled.test(u, rhs));
}

void singularSystem() {
  RMatrix A(2, 2), B(2, 1);
  A(0, 0) = 1.0, A(0, 1) = 2.0, A(1, 0) = 2.0, A(1, 1) = 4.0;
  B(0, 0) = 3.0, B(1, 0) = 5.0;
  LUDecomp lu(A);
  RMatrix X = LUSolve(lu, B);
  std::printf("Singular 2 x 2 system: LUSolve isOK() = %s, getInfo() = %d (zero pivot U(2,2))\n",
              X.isOK() ? "true" : "false", X.getInfo());
  RMatrix pseudo = SVDSolve(A, B, 1e-10);
  std::printf("  its minimum-norm least-squares solution by SVD: (%.4f, %.4f)\n", pseudo(0, 0),
              pseudo(1, 0));
}

void run() {
  calibrationCurve();
  heatConduction();
  singularSystem();
}

const DemoSection section("20-solvers", "Dense solvers", &run);
}  // namespace
