// Constrained optimisation: the lightest closed cylindrical steel tank that holds a required
// volume, fits under a height limit and has walls thick enough for its hydrostatic stress.
#include <cmath>
#include <cstdio>

#include "demo_section.hpp"
#include "orvo/nonlinear.hpp"

using namespace Orvo;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kVolume = 10.0;        // m^3 to be stored
constexpr double kMaxHeight = 2.0;      // m, the hall's clearance
constexpr double kDensity = 7850.0;     // kg/m^3, steel
constexpr double kStressFactor = 5e-4;  // m of wall per m of radius and m of height (hoop stress)

// Variables: radius r, height h, wall thickness t. Mass of shell and two end plates.
struct TankMass : FunctorBase_AAretR {
  double operator()(mvlarray<double>& x, mvlarray<double>& g) override {
    const double r = x[0], h = x[1], t = x[2];
    const double area = 2.0 * kPi * r * r + 2.0 * kPi * r * h;
    g[0] = kDensity * t * (4.0 * kPi * r + 2.0 * kPi * h);
    g[1] = kDensity * t * 2.0 * kPi * r;
    g[2] = kDensity * area;
    return kDensity * t * area;
  }
};

// c0: pi r^2 h - V = 0 (exactly the volume asked for); c1: t - k r h >= 0 (the wall carries the
// hoop stress at the bottom); c2: H - h >= 0; c3: r >= 0.1; c4: t >= 0.002 (fabrication minimum).
struct TankRules : FunctorBase_AAI {
  void operator()(mvlarray<double>& x, mvlarray<double>& c, IMatrix& J) override {
    const double r = x[0], h = x[1], t = x[2];
    const double rows[5][3] = {{2.0 * kPi * r * h, kPi * r * r, 0.0},
                               {-kStressFactor * h, -kStressFactor * r, 1.0},
                               {0.0, -1.0, 0.0},
                               {1.0, 0.0, 0.0},
                               {0.0, 0.0, 1.0}};
    c[0] = kPi * r * r * h - kVolume;
    c[1] = t - kStressFactor * r * h;
    c[2] = kMaxHeight - h;
    c[3] = r - 0.1;
    c[4] = t - 0.002;
    for (int k = 0; k < 5; ++k)
      for (int j = 0; j < 3; ++j) J.SetValue(j, k, rows[k][j]);
  }
};

void run() {
  mvlarray<double> x(3);
  x[0] = 1.0;   // radius
  x[1] = 1.0;   // height
  x[2] = 0.01;  // wall
  TankMass mass;
  TankRules rules;
  vf13Solver solver(x, 5, 1, 1e-10, 200);
  const int code = solver.Solve(mass, rules);
  std::printf("exit code %d (1 = converged)\n", code);
  std::printf("radius %.4f m, height %.4f m, wall %.2f mm, volume %.4f m^3, mass %.1f kg\n", x[0],
              x[1], 1000.0 * x[2], kPi * x[0] * x[0] * x[1], solver.fVal());
  // By hand: the best free shape (h = 2 r) would be too tall, so the height limit is active and
  // the volume fixes r = sqrt(V / (pi H)); the stress then needs k r H = 1.26 mm, less than the
  // fabrication minimum, so t = 2 mm.
  const double r = std::sqrt(kVolume / (kPi * kMaxHeight)), t = 0.002;
  const double best = kDensity * t * (2.0 * kPi * r * r + 2.0 * kPi * r * kMaxHeight);
  std::printf("by hand: radius %.4f m, height %.4f m, wall %.2f mm, mass %.1f kg\n", r, kMaxHeight,
              1000.0 * t, best);

  // Wild first guesses, most of them violating several rules at once (negative radius or wall,
  // a tank taller than the hall): where the linearised rules contradict each other the optimiser
  // first steps towards satisfying them, then minimises as before.
  const double guesses[][3] = {{-3.0, 8.0, -0.05}, {6.0, 0.05, 0.3},  {0.05, 40.0, 0.0},
                               {-1.0, -1.0, 1.0},  {10.0, 10.0, 0.1}, {0.2, 0.2, -0.2}};
  int reached = 0;
  for (const auto& guess : guesses) {
    for (int j = 0; j < 3; ++j) x[j] = guess[j];
    vf13Solver fromGuess(x, 5, 1, 1e-10, 500);
    const int guessCode = fromGuess.Solve(mass, rules);
    const bool same = guessCode == 1 && std::abs(fromGuess.fVal() - best) <= 1e-6 * best;
    reached += same;
    std::printf("from (%5.2f, %5.2f, %5.2f): exit %d, mass %.1f kg\n", guess[0], guess[1], guess[2],
                guessCode, fromGuess.fVal());
  }
  std::printf("the by-hand optimum from %d of 6 wild guesses\n", reached);
}

const DemoSection section("70-sqp", "Constrained optimisation: lightest storage tank", &run);

}  // namespace
