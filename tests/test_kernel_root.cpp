// The one-dimensional root-finding kernel: the enclosing-method test set and classic functions
// (code, accuracy against reference roots, every point inside the enclosure, evaluation counts),
// the search without a sign change, the ending codes and the reverse-communication protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

#include "kernel/root/root_kernel.hpp"
#include "root_problems.hpp"

using root_problems::Problem;

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double Tolerance(double tol, double x) {
  return tol + 4.0 * kEps * std::fabs(x);
}

struct Outcome {
  int state = 0;
  double x = 0.0;
  double val = 0.0;
  int evaluations = 0;
  std::vector<double> points;
  bool strayed = false;  // a point outside the enclosure seen so far, or an enclosure that grew
};

// Drives the kernel, answering every request with f, and keeps its own account of the
// enclosure: from the first point whose sign differs from the point evaluated just before it,
// every later point must lie strictly between the closest points of either sign seen since.
Outcome Search(const std::function<double(double)>& f, double a, double b, double tol,
               int maxit = 1000) {
  Outcome run;
  double val[NB01ValueLength] = {};
  double lo = 0.0, hi = 0.0, flo = 0.0, previous = 0.0, fprevious = 0.0;
  bool enclosed = false;
  for (;;) {
    HSL_NB01AD(&run.state, &a, &b, &tol, &run.x, val, &maxit);
    if (run.state != 1) break;
    const double x = run.x, fx = f(x);
    val[0] = fx;
    run.points.push_back(x);
    ++run.evaluations;
    if (enclosed) {
      if (!(x > lo && x < hi)) {
        run.strayed = true;
      } else if ((fx < 0.0) == (flo < 0.0)) {
        lo = x;
        flo = fx;
      } else {
        hi = x;
      }
    } else if (run.evaluations > 1 && fx != 0.0 && fprevious != 0.0 &&
               (fx < 0.0) != (fprevious < 0.0)) {
      enclosed = true;
      lo = std::min(x, previous);
      hi = std::max(x, previous);
      flo = lo == x ? fx : fprevious;
    }
    previous = x;
    fprevious = fx;
  }
  run.val = val[0];
  return run;
}

bool AtRoot(const Problem& p, const Outcome& r, double tol) {
  return std::fabs(r.x - p.root) <= Tolerance(tol, p.root) || p.f(r.x) == 0.0;
}

// The fifteen families of the enclosing-method test set, at a loose and a tight tolerance.
TEST(RootKernel, EnclosureTestSetConvergesInsideEveryEnclosure) {
  const std::vector<Problem> set = root_problems::EnclosureSet();
  for (double tol : {1e-7, 1e-15}) {
    int total = 0;
    for (const Problem& p : set) {
      const Outcome r = Search(p.f, p.a, p.b, tol);
      EXPECT_EQ(r.state, 2) << p.name;
      EXPECT_TRUE(AtRoot(p, r, tol)) << p.name << " x = " << r.x << ", root " << p.root;
      EXPECT_FALSE(r.strayed) << p.name;
      EXPECT_EQ(r.val, p.f(r.x)) << p.name;
      std::printf("  tol %-6g %-14s %3d evaluations\n", tol, p.name.c_str(), r.evaluations);
      total += r.evaluations;
    }
    std::printf("tol %g: %d evaluations over %zu functions\n", tol, total, set.size());
  }
}

// Classic functions from a bracket, and the same functions from two points on one side of the
// root (secant steps until the sign changes, then the enclosure).
TEST(RootKernel, ClassicFunctionsWithAndWithoutSignChange) {
  const double omega = 0.56714329040978387;  // x e^x = 1
  const auto kepler = [](double x) { return x - 0.9 * std::sin(x) - 1; };
  struct Case {
    const char* name;
    std::function<double(double)> f;
    double root, a, b, c, d;  // [a, b] encloses the root, c and d lie on one side of it
  };
  const std::vector<Case> cases = {
      {"cos x - x", [](double x) { return std::cos(x) - x; }, 0.73908513321516064, 0, 1, 0, 0.3},
      {"x^3 - 2x - 5", [](double x) { return x * x * x - 2 * x - 5; }, 2.0945514815423265, 2, 3, 3,
       4},
      {"e^x - 2", [](double x) { return std::exp(x) - 2; }, std::log(2.0), 0, 1, 1, 2},
      {"x e^x - 1", [](double x) { return x * std::exp(x) - 1; }, omega, 0, 1, -1, 0},
      {"steep x^19 - 2", [](double x) { return std::pow(x, 19) - 2; }, std::pow(2.0, 1.0 / 19), 1,
       2, 1.5, 2},
      {"Kepler E - 0.9 sin E - 1", kepler, root_problems::ReferenceRoot(kepler, 0, 3), 0, 3, 2.5,
       3},
      {"triple root (x - 1)^3", [](double x) { return (x - 1) * (x - 1) * (x - 1); }, 1.0, 0, 3, 2,
       3},
      {"ln x", [](double x) { return std::log(x); }, 1.0, 0.5, 5, 1.5, 2},
      {"x^2 - 1e-8", [](double x) { return x * x - 1e-8; }, 1e-4, 0, 1, 0.5, 1},
      {"atan(x - 3)", [](double x) { return std::atan(x - 3); }, 3.0, 0, 5, 1, 1.5},
  };
  const double tol = 1e-12;
  for (const Case& c : cases) {
    for (bool bracketed : {true, false}) {
      const Outcome r = bracketed ? Search(c.f, c.a, c.b, tol) : Search(c.f, c.c, c.d, tol);
      EXPECT_EQ(r.state, 2) << c.name << (bracketed ? " bracketed" : " one-sided");
      EXPECT_TRUE(std::fabs(r.x - c.root) <= Tolerance(tol, c.root) || c.f(r.x) == 0.0)
          << c.name << " x = " << r.x;
      EXPECT_FALSE(r.strayed) << c.name;
      std::printf("  %-26s %-9s %3d evaluations\n", c.name, bracketed ? "bracket" : "one side",
                  r.evaluations);
    }
  }
}

// Roots that need a documented reading of convergence.
TEST(RootKernel, FlatDoubleAndEndRoots) {
  const double tol = 1e-10;
  // x e^(-1/x^2): zero to double precision wherever e^(-1/x^2) underflows, |x| < 1/sqrt(745.2);
  // the search stops at the first such point with f(x) = 0 exactly.
  auto flat = [](double x) { return x == 0.0 ? 0.0 : x * std::exp(-1.0 / (x * x)); };
  Outcome r = Search(flat, -0.5, 2.0, tol);
  EXPECT_EQ(r.state, 2);
  EXPECT_EQ(flat(r.x), 0.0);
  EXPECT_LT(std::fabs(r.x), 1.0 / std::sqrt(745.2));
  std::printf("  flat root: %d evaluations, x = %g\n", r.evaluations, r.x);

  // A double root shows no sign change: the search ends with 4 next to it.
  auto twice = [](double x) { return (x - 1.0) * (x - 1.0); };
  r = Search(twice, 0.0, 3.0, tol);
  EXPECT_EQ(r.state, 4);
  EXPECT_LE(std::fabs(r.x - 1.0), tol);
  std::printf("  double root: %d evaluations, x - 1 = %g\n", r.evaluations, r.x - 1.0);
  // A simple root approached from one side is enclosed by the probe beyond the secant's
  // estimate, however steep the function is at the start.
  r = Search([](double x) { return std::expm1(x); }, 100.0, 1.0, tol);
  EXPECT_EQ(r.state, 2);
  EXPECT_LE(std::fabs(r.x), tol);
  // A minimum just above zero is no root.
  r = Search([](double x) { return (x - 1.0) * (x - 1.0) + 1e-6; }, 0.0, 3.0, tol);
  EXPECT_EQ(r.state, 4);
  EXPECT_NEAR(r.x, 1.0, 0.1);

  // A root at either end of the bracket: found as soon as that end is evaluated.
  auto line = [](double x) { return x - 2.0; };
  r = Search(line, 2.0, 5.0, tol);
  EXPECT_EQ(r.state, 2);
  EXPECT_EQ(r.x, 2.0);
  EXPECT_EQ(r.evaluations, 1);
  r = Search(line, -1.0, 2.0, tol);
  EXPECT_EQ(r.state, 2);
  EXPECT_EQ(r.x, 2.0);
  EXPECT_EQ(r.evaluations, 2);
}

// A pole is a sign change but no root: the enclosure closes on it and the search says so.
TEST(RootKernel, PoleInsideTheBracketIsNotAConvergedRoot) {
  const double tol = 1e-10;
  Outcome r = Search([](double x) { return 1.0 / (x - 1.0); }, 0.0, 3.0, tol);
  EXPECT_EQ(r.state, 6);
  EXPECT_NEAR(r.x, 1.0, Tolerance(tol, 1.0));
  EXPECT_FALSE(r.strayed);
  std::printf("  pole: %d evaluations\n", r.evaluations);
  // tan x on [1, 3] encloses only the pole at pi/2; on [-1, 4] the roots at 0 and pi as well,
  // and whichever the search closes on, it names correctly.
  const double pi = 3.14159265358979323846;
  r = Search([](double x) { return std::tan(x); }, 1.0, 3.0, tol);
  EXPECT_EQ(r.state, 6);
  EXPECT_NEAR(r.x, pi / 2, Tolerance(tol, pi));
  r = Search([](double x) { return std::tan(x); }, -1.0, 4.0, tol);
  EXPECT_FALSE(r.strayed);
  if (r.state == 2) {
    EXPECT_TRUE(std::fabs(r.x) <= tol || std::fabs(r.x - pi) <= Tolerance(tol, pi)) << r.x;
  } else {
    EXPECT_EQ(r.state, 6);
    EXPECT_NEAR(r.x, pi / 2, Tolerance(tol, pi));
  }
  std::printf("  tan x on [-1, 4]: code %d at %.17g\n", r.state, r.x);
  // A jump is located like a root (no growth in |f|), and its value reported.
  r = Search([](double x) { return x < 0.3 ? -1.0 : 1.0; }, 0.0, 1.0, tol);
  EXPECT_EQ(r.state, 2);
  EXPECT_NEAR(r.x, 0.3, tol);
  EXPECT_EQ(std::fabs(r.val), 1.0);
  // With tol = 0 a jump at 0 draws the enclosure down to subnormal ends, where a relative
  // offset rounds away: every point must still be new and inside.
  r = Search([](double x) { return x < 0.0 ? -1.0 : 1.0; }, -1.0, 2.0, 0.0, 5000);
  EXPECT_EQ(r.state, 2);
  EXPECT_FALSE(r.strayed);
  EXPECT_LE(std::fabs(r.x), std::numeric_limits<double>::denorm_min());
  std::printf("  jump at 0, tol 0: %d evaluations\n", r.evaluations);
}

TEST(RootKernel, EndingCodes) {
  const double tol = 1e-12;
  auto f = [](double x) { return std::cos(x) - x; };
  // Evaluation limit: exactly |maxit| evaluations, the best end of the enclosure returned.
  for (int maxit : {3, -3}) {
    const Outcome r = Search(f, 0.0, 1.0, tol, maxit);
    EXPECT_EQ(r.state, 3);
    EXPECT_EQ(r.evaluations, 3);
    EXPECT_GT(r.x, 0.0);
    EXPECT_LT(r.x, 1.0);
    EXPECT_EQ(r.val, f(r.x));
  }
  Outcome r = Search(f, 0.0, 1.0, tol, 0);
  EXPECT_EQ(r.state, 3);
  EXPECT_EQ(r.evaluations, 0);
  EXPECT_EQ(r.x, 0.0);
  EXPECT_TRUE(std::isnan(r.val));
  r = Search(f, 0.0, 1.0, tol, INT_MIN);  // |INT_MIN| evaluations allowed, no overflow
  EXPECT_EQ(r.state, 2);

  // No sign change: no root at all, a secant that goes flat, coinciding starting points.
  r = Search([](double x) { return x * x + 1.0; }, 0.0, 1.0, tol);
  EXPECT_EQ(r.state, 4);
  r = Search([](double) { return 1.0; }, 0.0, 1.0, tol);
  EXPECT_EQ(r.state, 4);
  EXPECT_EQ(r.evaluations, 2);
  r = Search(f, 0.5, 0.5, tol);
  EXPECT_EQ(r.state, 4);
  EXPECT_EQ(r.evaluations, 1);
  // Without a root the secant may run off; the steps are bounded and the search ends.
  r = Search([](double x) { return 1.0 / x; }, 1.0, 2.0, tol, 100000);
  EXPECT_EQ(r.state, 4);
  EXPECT_TRUE(std::isfinite(r.x));

  // Non-finite values end with 5 wherever they come from, never as convergence.
  for (double bad : {kNaN, kInf, -kInf}) {
    int calls = 0;
    r = Search([&](double x) { return ++calls == 4 ? bad : f(x); }, 0.0, 1.0, tol);
    EXPECT_EQ(r.state, 5);
    EXPECT_EQ(r.x, r.points.back());
    EXPECT_EQ(r.evaluations, 4);
    r = Search([&](double) { return bad; }, 0.0, 1.0, tol);
    EXPECT_EQ(r.state, 5);
    EXPECT_EQ(r.evaluations, 1);
  }
  r = Search(f, kNaN, 1.0, tol);
  EXPECT_EQ(r.state, 5);
  EXPECT_EQ(r.evaluations, 0);
  // ln x from 3 and 5: the first secant step lands at a negative x.
  r = Search([](double x) { return std::log(x); }, 3.0, 5.0, tol);
  EXPECT_EQ(r.state, 5);
  EXPECT_LT(r.x, 0.0);
  EXPECT_TRUE(std::isnan(r.val));
  r = Search(f, 0.0, kInf, tol);
  EXPECT_EQ(r.state, 5);
  EXPECT_EQ(r.x, kInf);
}

// A search is the seven arguments: a copy taken in the middle continues exactly as the
// original; a repeat request hands back the same point; a finished search stays finished.
TEST(RootKernel, ProtocolCopyRepeatAndFinish) {
  auto f = [](double x) { return x * x * x - 2 * x - 5; };
  int state = 0, maxit = 100;
  double a = 3.0, b = 4.0, tol = 1e-13, x = 0.0, val[NB01ValueLength];
  for (double& v : val) v = 12345.0;  // whatever the caller's array held before
  for (int k = 0; k < 4; ++k) {
    HSL_NB01AD(&state, &a, &b, &tol, &x, val, &maxit);
    ASSERT_EQ(state, 1);
    val[0] = f(x);
  }
  int state2 = state, maxit2 = maxit;
  double a2 = a, b2 = b, tol2 = tol, x2 = x, val2[NB01ValueLength];
  std::copy(val, val + NB01ValueLength, val2);

  // The repeat code hands back the pending request without absorbing anything.
  HSL_NB01AD(&state, &a, &b, &tol, &x, val, &maxit);
  const double pending = x;
  int repeat = -1;
  x = 0.0;
  HSL_NB01AD(&repeat, &a, &b, &tol, &x, val, &maxit);
  EXPECT_EQ(repeat, 1);
  EXPECT_EQ(x, pending);

  std::vector<double> first, second;
  first.push_back(x);
  for (val[0] = f(x);; val[0] = f(x)) {
    HSL_NB01AD(&state, &a, &b, &tol, &x, val, &maxit);
    if (state != 1) break;
    first.push_back(x);
  }
  for (;;) {
    HSL_NB01AD(&state2, &a2, &b2, &tol2, &x2, val2, &maxit2);
    if (state2 != 1) break;
    second.push_back(x2);
    val2[0] = f(x2);
  }
  EXPECT_EQ(state, 2);
  EXPECT_EQ(state2, 2);
  EXPECT_EQ(first, second);
  EXPECT_EQ(x, x2);
  EXPECT_EQ(a, 3.0);  // the starting values are read, not written
  EXPECT_EQ(b, 4.0);

  // Finished: no restart, nothing written.
  const double result = x, value = val[0];
  for (int code : {2, 7, -5}) {
    int s = code;
    HSL_NB01AD(&s, &a, &b, &tol, &x, val, &maxit);
    EXPECT_EQ(s, code);
    EXPECT_EQ(x, result);
    EXPECT_EQ(val[0], value);
  }
  state = 1;  // a stray continue after the end is ignored as well
  HSL_NB01AD(&state, &a, &b, &tol, &x, val, &maxit);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(x, result);
}

}  // namespace
