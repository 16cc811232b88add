// Grid table interpolation: the humidity ratio of moist air at sea-level pressure, tabulated over
// temperature and relative humidity from the Magnus saturation-pressure formula, queried by
// bilinear interpolation, refined where it curves most, and printed as a small table.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <iostream>

#include "demo_section.hpp"
#include "orvo/interp.hpp"

using namespace Orvo;

namespace {

constexpr double kPressure = 101325.0;   // Pa
constexpr double kMolarRatio = 0.62198;  // water vapour to dry air

// Humidity ratio in g of water per kg of dry air at temperature t (deg C) and relative humidity
// phi (0 ... 1), with the Magnus form of the saturation pressure over water.
struct HumidityRatio : FunctorBase_pTableInterpolator {
  int calls = 0;
  double operator()(double t, double phi) override {
    ++calls;
    const double saturation = 610.94 * std::exp(17.625 * t / (t + 243.04));
    const double vapour = phi * saturation;
    return 1000.0 * kMolarRatio * vapour / (kPressure - vapour);
  }
};

void run() {
  HumidityRatio air;
  pTableInterpolator table(air);
  table.Initialize(-10.0, 2.5, 25, 0.05, 0.05, 20);  // -10 ... 50 deg C, 5 ... 100 %
  std::printf("table of %d temperatures x %d humidities, %d evaluations of the formula\n",
              table.nX(), table.nY(), air.calls);

  const double queries[][2] = {
      {-3.7, 0.42}, {12.3, 0.65}, {24.9, 0.51}, {36.2, 0.88}, {47.6, 0.97}};
  auto report = [&](const char* title) {
    std::printf("%s\n    T degC   RH %%   interpolated g/kg   formula g/kg   relative error\n",
                title);
    for (const auto& q : queries) {
      const double interpolated = table.Interpolate(q[0], q[1]);
      const double exact = air(q[0], q[1]);
      std::printf("  %8.1f  %5.0f  %18.5f  %13.5f  %15.2e\n", q[0], 100 * q[1], interpolated, exact,
                  std::abs(interpolated - exact) / exact);
    }
  };
  report("steps of 2.5 degC and 5 %:");

  // The ratio curves most at the hot end: add temperatures there, one row at a time.
  const int before = air.calls;
  for (double t = 30.5; t < 50.0; t += 1.0) table.AddXvar(t);
  std::printf("%d rows added between 30 and 50 degC (%d evaluations)\n", table.nX() - 25,
              air.calls - before);
  report("refined:");

  std::printf("outside the table (60 degC): %g, the out-of-range value\n",
              table.Interpolate(60.0, 0.5));

  constexpr int kQueries = 1000000;
  double sum = 0.0;
  const std::clock_t start = std::clock();  // processor time: the machine may be shared
  for (int k = 0; k < kQueries; ++k)        // a low-discrepancy scatter over the whole table
    sum += table.Interpolate(-10.0 + 60.0 * std::fmod(0.6180339887 * k, 1.0),
                             0.05 + 0.95 * std::fmod(0.7548776662 * k, 1.0));
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  std::printf("%d scattered queries: %.1f ns each (mean %.3f g/kg)\n", kQueries,
              1e9 * seconds / kQueries, sum / kQueries);

  HumidityRatio coarseAir;
  pTableInterpolator coarse(coarseAir);
  coarse.Initialize(0.0, 20.0, 3, 0.2, 0.2, 5);
  std::printf("a coarse table, 0/20/40 degC by 20 ... 100 %%, as Write2Stream prints it:\n");
  std::cout << std::fixed << std::setprecision(3);
  coarse.Write2Stream(std::cout);
  std::cout << std::defaultfloat << std::setprecision(6);
}

const DemoSection section("85-grid-interp", "Grid table interpolation: humidity of moist air",
                          &run);
}  // namespace
