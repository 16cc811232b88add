// The grid interpolator against values worked out by hand, against GSL's bilinear interpolation
// on a large non-uniform grid, and against hand-written text of its table; plus the callback
// counts, the Train hook, copy on write, and the state a throwing callback leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iomanip>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "allocation_test_support.hpp"
#include "orvo/interp.hpp"

#ifdef ORVO_HAVE_GSL
#include <gsl/gsl_interp2d.h>
#endif

using Orvo::pTableInterpolator;

namespace {

constexpr double kOut = pTableInterpolator::OutOfRange;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// f(x, y), recording each call; throws on call number throwOnCall (counting from 0).
struct Surface : Orvo::FunctorBase_pTableInterpolator {
  std::function<double(double, double)> f = [](double x, double y) { return 10.0 * x + y; };
  std::vector<std::pair<double, double>> calls;
  long throwOnCall = -1;
  double operator()(double x, double y) override {
    if (static_cast<long>(calls.size()) == throwOnCall) {
      throwOnCall = -1;
      throw std::runtime_error("sensor offline");
    }
    calls.emplace_back(x, y);
    return f(x, y);
  }
};

std::vector<double> XGrid(const pTableInterpolator& t) {
  std::vector<double> v;
  for (int i = 0; i < t.nX(); ++i) v.push_back(t.getX(i));
  return v;
}
std::vector<double> YGrid(const pTableInterpolator& t) {
  std::vector<double> v;
  for (int j = 0; j < t.nY(); ++j) v.push_back(t.getY(j));
  return v;
}
// Every entry must be f at its own grid point.
void ExpectTableIsF(const pTableInterpolator& t, const Surface& s) {
  for (int i = 0; i < t.nX(); ++i)
    for (int j = 0; j < t.nY(); ++j)
      ASSERT_EQ(t.getValue(i, j), s.f(t.getX(i), t.getY(j))) << i << ", " << j;
}
std::string Text(const pTableInterpolator& t) {
  std::ostringstream os;
  t.Write2Stream(os);
  return os.str();
}
// A value right-aligned in a field of 15.
std::string F(const std::string& v) {
  return std::string(15 - v.size(), ' ') + v;
}

TEST(GridInterpolator, InitializeMergesSequencesAndEvaluatesEveryPointOnce) {
  Surface s;
  pTableInterpolator t(s);
  t.Initialize(0, 1, 3, 10, 5, 2);
  EXPECT_EQ(XGrid(t), (std::vector<double>{0, 1, 2}));
  EXPECT_EQ(YGrid(t), (std::vector<double>{10, 15}));
  const std::vector<std::pair<double, double>> rowByRow = {{0, 10}, {0, 15}, {1, 10},
                                                           {1, 15}, {2, 10}, {2, 15}};
  EXPECT_EQ(s.calls, rowByRow);
  ExpectTableIsF(t, s);

  // dx = 0 repeats one value, 15 is present already: no surplus rows or columns, and the whole
  // merged grid is evaluated again.
  s.calls.clear();
  t.Initialize(1, 0, 4, 12.5, 2.5, 3);
  EXPECT_EQ(XGrid(t), (std::vector<double>{0, 1, 2}));
  EXPECT_EQ(YGrid(t), (std::vector<double>{10, 12.5, 15, 17.5}));
  EXPECT_EQ(s.calls.size(), 12u);
  ExpectTableIsF(t, s);
  EXPECT_EQ(Text(t).substr(0, 14), "Table( 3 x 4)\n");

  // Descending steps land in order too; nothing to add calls nothing.
  t.Initialize(-0.5, -1, 2, 0, 1, 0);
  EXPECT_EQ(XGrid(t), (std::vector<double>{-1.5, -0.5, 0, 1, 2}));
  s.calls.clear();
  pTableInterpolator empty(s);
  empty.Initialize(0, 1, 0, 0, 1, -3);
  EXPECT_EQ(empty.nX() + empty.nY(), 0);
  EXPECT_TRUE(s.calls.empty());
}

TEST(GridInterpolator, AddingInAnyOrderKeepsGridsSortedAndRowsWithTheirValues) {
  Surface s;
  s.f = [](double x, double y) { return x * x - 3.0 * y + x * y; };
  pTableInterpolator t(s);
  t.AddYvar(0.5);
  t.AddYvar(-1);
  EXPECT_TRUE(s.calls.empty());  // no x values yet
  for (double x : {3.0, 1.0, 2.0}) t.AddXvar(x);
  EXPECT_EQ(XGrid(t), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(s.calls.size(), 6u);  // n_y per AddXvar
  ExpectTableIsF(t, s);

  const std::string before = Text(t);
  t.AddXvar(2.0);
  t.AddYvar(-1.0);
  EXPECT_EQ(Text(t), before);
  EXPECT_EQ(s.calls.size(), 6u);
  t.AddYvar(0.0);
  EXPECT_EQ(s.calls.size(), 9u);  // n_x per AddYvar
  EXPECT_EQ(YGrid(t), (std::vector<double>{-1, 0, 0.5}));
  ExpectTableIsF(t, s);

  // Past several capacity steps, interleaved, in random order: the same grid and table as one
  // Initialize gives.
  std::vector<std::pair<bool, int>> order;
  for (int k = 0; k < 23; ++k) order.emplace_back(true, k);
  for (int k = 0; k < 31; ++k) order.emplace_back(false, k);
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  pTableInterpolator grown(s), reference(s);
  for (auto [isX, k] : order) isX ? grown.AddXvar(0.25 * k - 2) : grown.AddYvar(1.5 - 0.125 * k);
  reference.Initialize(-2, 0.25, 23, 1.5, -0.125, 31);
  EXPECT_EQ(XGrid(grown), XGrid(reference));
  EXPECT_EQ(YGrid(grown), YGrid(reference));
  EXPECT_EQ(Text(grown), Text(reference));
  ExpectTableIsF(grown, s);
}

TEST(GridInterpolator, BilinearValuesWorkedOutByHand) {
  Surface s;
  s.f = [](double x, double y) { return x * x * y; };
  pTableInterpolator t(s);
  t.AddXvar(3);
  t.AddXvar(1);
  t.AddYvar(6);
  t.AddYvar(2);
  t.AddXvar(4);
  // T: (1,2) 2, (1,6) 6, (3,2) 18, (3,6) 54, (4,2) 32, (4,6) 96.
  EXPECT_EQ(t.Interpolate(2, 3), 15.0);    // ty 1/4: c0 3, c1 27; tx 1/2
  EXPECT_EQ(t.Interpolate(2.5, 2), 14.0);  // on a grid line: 2 + 0.75 * 16
  EXPECT_EQ(t.Interpolate(3.5, 5), 62.5);  // ty 3/4: c0 45, c1 80; tx 1/2
  for (int i = 0; i < t.nX(); ++i)
    for (int j = 0; j < t.nY(); ++j)
      EXPECT_EQ(t.Interpolate(t.getX(i), t.getY(j)), t.getValue(i, j));
  // The last grid value of an axis lies in the last interval.
  EXPECT_EQ(t.Interpolate(4, 4), 64.0);    // tx 1: c0 36, c1 64
  EXPECT_EQ(t.Interpolate(3.5, 6), 75.0);  // ty 1: c0 54, c1 96; tx 1/2

  // An interior grid point starts the next interval, even right after a query in the one below
  // it, so it comes back exactly (from the far end, (c1 - c0) + c0 would be off by rounding).
  s.f = [](double x, double y) { return std::sin(3 * x + 1) * std::exp(y); };
  pTableInterpolator w(s);
  w.Initialize(0, 0.1, 12, 0, 0.3, 9);
  for (int i = 1; i + 1 < w.nX(); ++i)
    for (int j = 1; j + 1 < w.nY(); ++j) {
      w.Interpolate(0.5 * (w.getX(i - 1) + w.getX(i)), 0.5 * (w.getY(j - 1) + w.getY(j)));
      ASSERT_EQ(w.Interpolate(w.getX(i), w.getY(j)), w.getValue(i, j)) << i << ", " << j;
    }
}

TEST(GridInterpolator, OutsideTheGridDegenerateGridsAndNotANumber) {
  Surface s;
  pTableInterpolator t(s);
  EXPECT_EQ(t.Interpolate(0, 0), kOut);
  t.AddXvar(1);
  for (double y : {0.0, 1.0, 2.0, 3.0, 4.0}) t.AddYvar(y);
  EXPECT_EQ(t.Interpolate(1, 2), kOut);  // one x value, on a grid point
  pTableInterpolator u(s);
  for (double x : {0.0, 1.0, 2.0, 3.0, 4.0}) u.AddXvar(x);
  u.AddYvar(1);
  EXPECT_EQ(u.Interpolate(2, 1), kOut);  // one y value

  t.AddXvar(2);
  t.AddXvar(4);
  const double inside[][2] = {{1, 0}, {4, 4}, {3.9, 0.1}, {2, 2}};
  const double outside[][2] = {{0.999, 2}, {4.001, 2}, {2, -1e-300}, {2, 4.000001},
                               {kNaN, 2},  {2, kNaN},  {kNaN, kNaN}, {-INFINITY, 1}};
  for (const auto& p : outside) EXPECT_EQ(t.Interpolate(p[0], p[1]), kOut) << p[0] << " " << p[1];
  for (const auto& p : inside) EXPECT_NE(t.Interpolate(p[0], p[1]), kOut) << p[0] << " " << p[1];

  // Each query remembers its interval: hopping in and out of the grid and between cells must
  // give what a fresh interpolator gives.
  const pTableInterpolator pristine(t);  // never queried: copies start without an interval
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> coordinate(0.5, 4.5);
  for (int k = 0; k < 2000; ++k) {
    const double x = k % 7 == 0 ? t.getX(k % 3) : coordinate(gen);
    const double y = k % 5 == 0 ? t.getY(k % 5) : coordinate(gen);
    pTableInterpolator fresh(pristine);
    const double value = t.Interpolate(x, y);
    ASSERT_EQ(value, fresh.Interpolate(x, y)) << x << " " << y;
    if (x < 1 || x > 4 || y > 4)
      ASSERT_EQ(value, kOut);
    else
      ASSERT_NEAR(value, 10 * x + y, 1e-13);
  }

  // A value that is not a number has no place in a sorted grid and is refused.
  const std::string before = Text(t);
  t.AddXvar(kNaN);
  t.AddYvar(kNaN);
  t.Initialize(kNaN, 1, 3, 0, kNaN, 2);
  EXPECT_EQ(Text(t), before);
  t.AddXvar(1.5);
  EXPECT_EQ(XGrid(t), (std::vector<double>{1, 1.5, 2, 4}));
}

#ifdef ORVO_HAVE_GSL
TEST(GridInterpolator, AgreesWithGslBilinearOnANonUniformGrid) {
  constexpr int nx = 50, ny = 70;
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> step(0.05, 1.0);
  std::vector<double> xs(nx), ys(ny);
  xs[0] = -3;
  ys[0] = 1;
  for (int i = 1; i < nx; ++i) xs[i] = xs[i - 1] + step(gen);
  for (int j = 1; j < ny; ++j) ys[j] = ys[j - 1] + 0.5 * step(gen);

  Surface s;
  s.f = [](double x, double y) { return 2.5 + std::sin(x) * std::cos(0.7 * y) + 0.01 * x * y; };
  pTableInterpolator t(s);
  std::vector<int> order(nx + ny);
  for (int k = 0; k < nx + ny; ++k) order[k] = k;
  std::shuffle(order.begin(), order.end(), gen);
  for (int k : order) k < nx ? t.AddXvar(xs[k]) : t.AddYvar(ys[k - nx]);
  ASSERT_EQ(t.nX(), nx);
  ASSERT_EQ(t.nY(), ny);
  EXPECT_EQ(s.calls.size(), static_cast<size_t>(nx * ny));

  std::vector<double> z(nx * ny);
  gsl_interp2d* reference = gsl_interp2d_alloc(gsl_interp2d_bilinear, nx, ny);
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j) gsl_interp2d_set(reference, z.data(), i, j, s.f(xs[i], ys[j]));
  ASSERT_EQ(gsl_interp2d_init(reference, xs.data(), ys.data(), z.data(), nx, ny), 0);
  gsl_interp_accel* xa = gsl_interp_accel_alloc();
  gsl_interp_accel* ya = gsl_interp_accel_alloc();
  std::uniform_real_distribution<double> px(xs.front(), xs.back()), py(ys.front(), ys.back());
  double worst = 0;
  for (int k = 0; k < 10000; ++k) {
    const double x = px(gen), y = py(gen);
    const double expected =
        gsl_interp2d_eval(reference, xs.data(), ys.data(), z.data(), x, y, xa, ya);
    worst = std::max(worst, std::abs(t.Interpolate(x, y) - expected) / std::abs(expected));
  }
  EXPECT_LE(worst, 1e-14);
  gsl_interp_accel_free(ya);
  gsl_interp_accel_free(xa);
  gsl_interp2d_free(reference);
}
#endif

TEST(GridInterpolator, WritesTheTableInItsTextLayout) {
  Surface s;
  pTableInterpolator one(s);
  s.f = [](double, double) { return 1234567.0; };
  one.Initialize(0, 1, 1, 0, 1, 1);
  EXPECT_EQ(Text(one), "Table( 1 x 1)\n" + F("1.23457e+06") + " \n \n");

  s.f = [](double x, double y) { return 10.0 * x + y; };
  pTableInterpolator twoByFive(s);
  twoByFive.Initialize(1, 1, 2, 0, 0.5, 5);
  EXPECT_EQ(Text(twoByFive), "Table( 2 x 5)\n" + F("10") + " " + F("10.5") + " " + F("11") + " " +
                                 F("11.5") + "\n" + F("12") + " \n " + F("20") + " " + F("20.5") +
                                 " " + F("21") + " " + F("21.5") + "\n" + F("22") + " \n \n");

  pTableInterpolator fourByFour(s);
  fourByFour.Initialize(0, 1, 4, 0, 1, 4);
  EXPECT_EQ(Text(fourByFour), "Table( 4 x 4)\n" + F("0") + " " + F("1") + " " + F("2") + " " +
                                  F("3") + "\n\n " + F("10") + " " + F("11") + " " + F("12") + " " +
                                  F("13") + "\n\n " + F("20") + " " + F("21") + " " + F("22") +
                                  " " + F("23") + "\n\n " + F("30") + " " + F("31") + " " +
                                  F("32") + " " + F("33") + "\n\n\n\n");

  pTableInterpolator fiveByNine(s);
  fiveByNine.Initialize(0, 1, 5, 0, 1, 9);
  const std::string nine[] = {
      F("0") + " " + F("1") + " " + F("2") + " " + F("3") + "\n" + F("4") + " " + F("5") + " " +
          F("6") + " " + F("7") + "\n" + F("8") + " \n",
      F("10") + " " + F("11") + " " + F("12") + " " + F("13") + "\n" + F("14") + " " + F("15") +
          " " + F("16") + " " + F("17") + "\n" + F("18") + " \n",
      F("20") + " " + F("21") + " " + F("22") + " " + F("23") + "\n" + F("24") + " " + F("25") +
          " " + F("26") + " " + F("27") + "\n" + F("28") + " \n",
      F("30") + " " + F("31") + " " + F("32") + " " + F("33") + "\n" + F("34") + " " + F("35") +
          " " + F("36") + " " + F("37") + "\n" + F("38") + " \n",
      F("40") + " " + F("41") + " " + F("42") + " " + F("43") + "\n" + F("44") + " " + F("45") +
          " " + F("46") + " " + F("47") + "\n" + F("48") + " \n"};
  EXPECT_EQ(Text(fiveByNine), "Table( 5 x 9)\n" + nine[0] + " " + nine[1] + " " + nine[2] + " " +
                                  nine[3] + "\n" + nine[4] + " \n");

  // The caller's formatting is used and stays in force; the counts stay decimal.
  std::ostringstream os;
  os << std::fixed << std::setprecision(2) << std::hex;
  twoByFive.Write2Stream(os);
  os << 3.14159 << "|";
  EXPECT_EQ(os.str(), "Table( 2 x 5)\n" + F("10.00") + " " + F("10.50") + " " + F("11.00") + " " +
                          F("11.50") + "\n" + F("12.00") + " \n " + F("20.00") + " " + F("20.50") +
                          " " + F("21.00") + " " + F("21.50") + "\n" + F("22.00") + " \n \n3.14|");

  // Rows without values: the field width never pads a separator or outlives the call.
  pTableInterpolator noColumns(s);
  for (double x : {1.0, 2.0, 3.0, 4.0}) noColumns.AddXvar(x);
  std::ostringstream bare;
  noColumns.Write2Stream(bare);
  bare << "|";
  EXPECT_EQ(bare.str(), "Table( 4 x 0)\n\n \n \n \n\n\n|");
}

// Counts its preparations; deliberately does not pass them on to the base class.
class PreparedTable : public pTableInterpolator {
 public:
  using pTableInterpolator::pTableInterpolator;
  void Train() override { seen.push_back(nX() * 100 + nY()); }
  std::vector<int> seen;  // grid size at each call
};

TEST(GridInterpolator, TrainRunsOnceBeforeTheFirstQueryAfterEachChange) {
  Surface s;
  PreparedTable derived(s);
  pTableInterpolator& base = derived;
  base.Interpolate(0, 0);
  EXPECT_TRUE(derived.seen.empty());  // nothing changed yet
  base.Initialize(0, 1, 3, 0, 1, 2);
  EXPECT_TRUE(derived.seen.empty());  // only queries prepare
  for (int k = 0; k < 3; ++k) base.Interpolate(0.5, 0.5);
  base.AddXvar(7);
  base.AddYvar(9);
  EXPECT_DOUBLE_EQ(base.Interpolate(6, 8), 68.0);
  base.Interpolate(1, 1);
  EXPECT_EQ(derived.seen, (std::vector<int>{302, 403}));
}

TEST(GridInterpolator, CopiesShareTheTableUntilOneOfThemChanges) {
  const Counters start;
  Surface s;
  auto source = std::make_unique<pTableInterpolator>(s);
  source->Initialize(0, 1, 3, 0, 1, 3);
  pTableInterpolator copy(*source);
  EXPECT_EQ(s.calls.size(), 9u);  // a copy evaluates nothing
  EXPECT_EQ(copy.Interpolate(1.5, 0.5), 15.5);

  copy.AddXvar(5);
  EXPECT_EQ(s.calls.size(), 12u);
  EXPECT_EQ(source->nX(), 3);
  EXPECT_EQ(source->Interpolate(3, 1), kOut);
  EXPECT_DOUBLE_EQ(copy.Interpolate(3, 1), 31.0);

  pTableInterpolator second(*source);
  source->AddYvar(-1);
  source->Initialize(10, 1, 2, 0, 1, 1);
  EXPECT_EQ(XGrid(second), (std::vector<double>{0, 1, 2}));
  EXPECT_EQ(YGrid(second), (std::vector<double>{0, 1, 2}));
  EXPECT_EQ(XGrid(*source), (std::vector<double>{0, 1, 2, 10, 11}));
  ExpectTableIsF(second, s);
  ExpectTableIsF(*source, s);

  // The last holder releases the block: the sanitizer build reports any leak or reuse.
  pTableInterpolator third(s);
  third = *source;
  third = third;
  source.reset();
  EXPECT_EQ(third.nX(), 5);
  ExpectTableIsF(third, s);
  second = copy;
  second.AddYvar(0.5);
  EXPECT_EQ(copy.nY(), 3);
  EXPECT_EQ(second.nY(), 4);
  // The storage lies outside the tracked counters.
  const Counters now;
  EXPECT_EQ(now.bytes, start.bytes);
  EXPECT_EQ(now.allocs, start.allocs);
}

TEST(GridInterpolator, ACallbackThatThrowsLeavesGridAndTableAsTheyWere) {
  Surface s;
  pTableInterpolator t(s);
  t.Initialize(0, 1, 3, 0, 2, 4);
  pTableInterpolator sharing(t);
  const std::string before = Text(t);
  const auto attempts = {
      std::function<void()>([&] { t.AddXvar(1.5); }),
      std::function<void()>([&] { t.AddYvar(5); }),
      std::function<void()>([&] { t.Initialize(-1, 0.5, 3, 0, 1, 3); }),
  };
  for (const auto& attempt : attempts) {
    s.throwOnCall = static_cast<long>(s.calls.size()) + 2;
    EXPECT_THROW(attempt(), std::runtime_error);
    EXPECT_EQ(Text(t), before);
    EXPECT_EQ(Text(sharing), before);
    EXPECT_EQ(t.Interpolate(1.5, 3), 18.0);
  }
  // The same requests succeed once the callback recovers.
  for (const auto& attempt : attempts) attempt();
  EXPECT_EQ(XGrid(t), (std::vector<double>{-1, -0.5, 0, 1, 1.5, 2}));
  EXPECT_EQ(YGrid(t), (std::vector<double>{0, 1, 2, 4, 5, 6}));
  ExpectTableIsF(t, s);
  EXPECT_EQ(Text(sharing), before);
}

}  // namespace
