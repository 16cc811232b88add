// Network table interpolator: a gas property table over pressure and temperature (density and
// enthalpy from a virial equation of state, viscosity from density and temperature) learnt by two
// radial basis networks, then queried between the table's nodes against the exact formulas.
#include <chrono>
#include <cmath>
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/interp.hpp"

using namespace Orvo;

namespace {
constexpr int kGrid = 30, kCentres = 200;
constexpr double kGasConstant = 287.0;   // J / (kg K), air
constexpr double kHeatCapacity = 1.005;  // kJ / (kg K)

// Second virial coefficient per unit pressure, 1 / bar: attraction wins at low temperature.
double virial(double T) {
  return 0.0012 - 0.55 / T;
}
// Density in kg / m^3 at p bar and T kelvin.
double density(double p, double T) {
  return p * 1.0e5 / ((1.0 + virial(T) * p) * kGasConstant * T);
}
// Enthalpy in kJ / kg: the ideal-gas part less the virial departure R T^2 p dB/dT.
double enthalpy(double p, double T) {
  return kHeatCapacity * T - kGasConstant / 1000.0 * 0.55 * p;
}
// Viscosity in micropascal seconds: a power law in temperature with a density correction.
double viscosity(double rho, double T) {
  return 17.16 * std::pow(T / 273.0, 0.7) * (1.0 + 0.002 * rho);
}

void run() {
  const int n = kGrid * kGrid;
  RMatrix I(n, 2), X(n, 2), Y(n, 1);
  for (int a = 0; a < kGrid; ++a)
    for (int b = 0; b < kGrid; ++b) {
      const int i = a * kGrid + b;
      const double p = 1.0 + 49.0 * a / (kGrid - 1), T = 250.0 + 350.0 * b / (kGrid - 1);
      I(i, 0) = p, I(i, 1) = T;
      X(i, 0) = density(p, T), X(i, 1) = enthalpy(p, T);
      Y(i, 0) = viscosity(X(i, 0), T);  // a function of (rho, h) through (p, T)
    }

  const auto start = std::chrono::steady_clock::now();
  TableInterpolator table(I, X, Y, kCentres);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double first, second;
  table.GetErrors(first, second);
  std::printf("%d x %d table over p in [1, 50] bar, T in [250, 600] K, %d centres per network\n",
              kGrid, kGrid, kCentres);
  std::printf(
      "trained in %.3f s; RMS training errors: (p, T) -> (rho, h) %.3g, "
      "(rho, h) -> viscosity %.3g\n",
      seconds, first, second);

  // Off-grid points: halfway between nodes in both directions.
  const double points[][2] = {{3.2, 263.1},  {12.7, 311.4}, {24.4, 402.9},
                              {33.1, 455.5}, {41.9, 518.2}, {48.3, 590.7}};
  const int m = sizeof(points) / sizeof(points[0]);
  RMatrix query(m, 2), raw(m, 2);
  for (int i = 0; i < m; ++i)
    raw(i, 0) = query(i, 0) = points[i][0], raw(i, 1) = query(i, 1) = points[i][1];
  RMatrix predicted = table.PredictI(query);  // query is standardised in place
  RMatrix mu = table.PredictX(predicted);
  std::printf("%7s %7s | %9s %9s | %9s %9s | %8s %8s\n", "p", "T", "rho", "(exact)", "h", "(exact)",
              "mu", "(exact)");
  double worst = 0.0;
  for (int i = 0; i < m; ++i) {
    const double p = raw(i, 0), T = raw(i, 1);
    const double rho = density(p, T), h = enthalpy(p, T), exactMu = viscosity(rho, T);
    std::printf("%7.2f %7.1f | %9.4f %9.4f | %9.3f %9.3f | %8.4f %8.4f\n", p, T, predicted(i, 0),
                rho, predicted(i, 1), h, mu(i, 0), exactMu);
    worst = std::fmax(worst, std::fabs(predicted(i, 0) - rho) / rho);
  }
  std::printf("largest relative density error at these points: %.2e\n", worst);
}

const DemoSection section("75-table-interpolator", "Network table interpolator", &run);
}  // namespace
