// Test functions for the one-dimensional root finder: the fifteen families of Alefeld, Potra and
// Shi, "Algorithm 748: Enclosing Zeros of Continuous Functions" (ACM TOMS 21, 1995), with their
// published brackets and parameters, and classic single functions. Shared by the kernel tests,
// the driver tests and the benchmark. Reference roots are closed forms where one exists, and
// otherwise the result of 200 bisections in long double arithmetic (ReferenceRoot), which relies
// on nothing but the sign of f.
#ifndef ORVO_TESTS_ROOT_PROBLEMS_HPP
#define ORVO_TESTS_ROOT_PROBLEMS_HPP

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace root_problems {

struct Problem {
  std::string name;
  double a = 0.0;
  double b = 0.0;
  std::function<double(double)> f;
  double root = 0.0;
};

// Bisection on the sign of f in long double; the bracket must change sign.
inline double ReferenceRoot(const std::function<double(double)>& f, double a, double b) {
  long double lo = a, hi = b;
  const bool loNegative = f(a) < 0.0;
  for (int k = 0; k < 200; ++k) {
    const long double mid = 0.5L * (lo + hi);
    const double fm = f(static_cast<double>(mid));
    if (fm == 0.0) return static_cast<double>(mid);
    if ((fm < 0.0) == loNegative) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return static_cast<double>(0.5L * (lo + hi));
}

inline std::string Name(const char* family, double parameter) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s(%g)", family, parameter);
  return buffer;
}

// The enclosing-method test set: 154 instances.
inline std::vector<Problem> EnclosureSet() {
  std::vector<Problem> set;
  const double pi = 3.14159265358979323846;
  auto add = [&set](std::string name, double a, double b, std::function<double(double)> f,
                    double root) {
    set.push_back({std::move(name), a, b, std::move(f), root});
  };
  auto addBisected = [&](std::string name, double a, double b, std::function<double(double)> f) {
    const double root = ReferenceRoot(f, a, b);
    add(std::move(name), a, b, std::move(f), root);
  };

  addBisected("aps01", pi / 2, pi, [](double x) { return std::sin(x) - x / 2; });
  for (int n = 1; n <= 10; ++n) {
    addBisected(Name("aps02", n), n * n + 1e-9, (n + 1.0) * (n + 1.0) - 1e-9, [](double x) {
      double s = 0.0;
      for (int i = 1; i <= 20; ++i) {
        const double u = 2.0 * i - 5.0, v = x - i * i;
        s += u * u / (v * v * v);
      }
      return -2.0 * s;
    });
  }
  const double p3[3][2] = {{-40, -1}, {-100, -2}, {-200, -3}};
  for (const auto& ab : p3) {
    const double a = ab[0], b = ab[1];
    add(
        Name("aps03", a), -9, 31, [a, b](double x) { return a * x * std::exp(b * x); }, 0.0);
  }
  for (double a : {0.2, 1.0}) {
    for (int n = 4; n <= 12; n += 2) {
      add(
          Name(a == 1.0 ? "aps04a1" : "aps04a02", n), 0, 5,
          [a, n](double x) { return std::pow(x, n) - a; }, std::pow(a, 1.0 / n));
    }
  }
  for (int n = 8; n <= 14; n += 2) {
    add(
        Name("aps04b", n), -0.95, 4.05, [n](double x) { return std::pow(x, n) - 1.0; }, 1.0);
  }
  add(
      "aps05", 0, 1.5, [](double x) { return std::sin(x) - 0.5; }, pi / 6);
  for (int n : {1, 2, 3, 4, 5, 20, 40, 60, 80, 100}) {
    addBisected(Name("aps06", n), 0, 1,
                [n](double x) { return 2.0 * x * std::exp(-n) - 2.0 * std::exp(-n * x) + 1.0; });
  }
  for (int n : {5, 10, 20}) {
    // n^2 x^2 - (2 n + 1 + (1 - n)^2) x + 1 = 0, smaller root.
    const double p = 2.0 * n + 1.0 + (1.0 - n) * (1.0 - n), q = double(n) * n;
    const double root = 2.0 / (p + std::sqrt(p * p - 4.0 * q));
    add(
        Name("aps07", n), 0, 1,
        [n](double x) { return (1.0 + (1.0 - n) * (1.0 - n)) * x - (1.0 - n * x) * (1.0 - n * x); },
        root);
  }
  for (int n : {2, 5, 10, 15, 20}) {
    addBisected(Name("aps08", n), 0, 1, [n](double x) { return x * x - std::pow(1.0 - x, n); });
  }
  for (int n : {1, 2, 4, 5, 8, 15, 20}) {
    addBisected(Name("aps09", n), 0, 1, [n](double x) {
      const double u = 1.0 - n * x;
      return (1.0 + std::pow(1.0 - n, 4)) * x - u * u * u * u;
    });
  }
  for (int n : {1, 5, 10, 15, 20}) {
    addBisected(Name("aps10", n), 0, 1,
                [n](double x) { return std::exp(-n * x) * (x - 1.0) + std::pow(x, n); });
  }
  for (int n : {2, 5, 15, 20}) {
    add(
        Name("aps11", n), 0.01, 1, [n](double x) { return (n * x - 1.0) / ((n - 1.0) * x); },
        1.0 / n);
  }
  for (int n = 2; n <= 33; ++n) {
    if (n > 6 && n % 2 == 0) continue;
    add(
        Name("aps12", n), 1, 100,
        [n](double x) { return std::pow(x, 1.0 / n) - std::pow(double(n), 1.0 / n); }, n);
  }
  add(
      "aps13", -1, 4, [](double x) { return x == 0.0 ? 0.0 : x * std::exp(-1.0 / (x * x)); }, 0.0);
  for (int n = 1; n <= 40; ++n) {
    addBisected(Name("aps14", n), -1e4, pi / 2, [n](double x) {
      return x >= 0.0 ? n / 20.0 * (x / 1.5 + std::sin(x) - 1.0) : -n / 20.0;
    });
  }
  std::vector<int> p15;
  for (int n = 20; n <= 40; ++n) p15.push_back(n);
  for (int n = 100; n <= 1000; n += 100) p15.push_back(n);
  for (int n : p15) {
    const double knee = 2e-3 / (1.0 + n);
    add(
        Name("aps15", n), -1e4, 1e-4,
        [n, knee](double x) {
          if (x < 0.0) return -0.859;
          if (x > knee) return std::exp(1.0) - 1.859;
          return std::exp((n + 1.0) * x / 2.0 * 1000.0) - 1.859;
        },
        std::log(1.859) * 2.0 / (1000.0 * (n + 1.0)));
  }
  return set;
}

}  // namespace root_problems

#endif  // ORVO_TESTS_ROOT_PROBLEMS_HPP
