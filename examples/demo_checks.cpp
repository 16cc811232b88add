// Safeguards an embedding application uses around the solvers: a derivative check that finds a
// wrong Jacobian entry before a fit goes astray, condition estimates that tell a nearly singular
// system from a well-posed one, and a trained model saved and loaded back bit for bit.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "demo_section.hpp"
#include "orvo/dense_solvers.hpp"
#include "orvo/derivative_check.hpp"
#include "orvo/model_io.hpp"
#include "orvo/nnet.hpp"

using namespace Orvo;

namespace {

// Arrhenius rate law k(T) = A exp(-E / T) at six temperatures; the hand-written Jacobian has a
// sign slip in d k / d E, the commonest kind of mistake.
struct Arrhenius : FunctorBase_AA, FunctorBase_AM {
  bool slip = true;
  void operator()(mvlarray<double>& p, mvlarray<double>& r) override {
    for (int i = 0; i < 6; ++i) r[i] = p[0] * std::exp(-p[1] / (300.0 + 20.0 * i));
  }
  void operator()(mvlarray<double>& p, RMatrix& J) override {
    for (int i = 0; i < 6; ++i) {
      const double T = 300.0 + 20.0 * i, e = std::exp(-p[1] / T);
      J(i, 0) = e;
      J(i, 1) = (slip ? 1.0 : -1.0) * p[0] * e / T;
    }
  }
};

void run() {
  Arrhenius model;
  mvlarray<double> p(2);
  p[0] = 2.0e7, p[1] = 4500.0;  // badly scaled on purpose
  DerivativeCheckReport report = CheckJacobian(model, model, p, 6);
  std::printf(
      "Jacobian check: %s, %d of %d entries wrong, worst J(%d,%d): supplied %.4g, "
      "differences %.4g\n",
      report.passed ? "passed" : "FAILED", report.entriesFailed, report.entriesChecked,
      report.worst[0].row, report.worst[0].column, report.worst[0].supplied,
      report.worst[0].estimated);
  model.slip = false;
  report = CheckJacobian(model, model, p, 6);
  std::printf("after the fix: %s, worst relative error %.1e, %d evaluations\n",
              report.passed ? "passed" : "FAILED", report.worstRelativeError,
              report.functionEvaluations);

  std::printf("condition estimates against the known 1-norm condition of Hilbert matrices:\n");
  const double known[] = {0, 0, 27.0, 748.0, 28375.0, 943656.0, 2.9070279e7};
  for (int n = 2; n <= 6; ++n) {
    RMatrix H(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) H(i, j) = 1.0 / (i + j + 1.0);
    const auto t0 = std::chrono::steady_clock::now();
    LUDecomp lu(H);
    const double rcond = lu.RCond();
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  n = %d: estimated %.4g, exact %.4g (%.1f us with the factorisation)\n", n,
                1.0 / rcond, known[n], us);
  }

  MLP net(2, 4, 1);
  mvlarray<double> w(net.nwts());
  for (int k = 0; k < w.Length(); ++k) w[k] = std::sin(1.0 + k) / 3.0;
  net.SetWeights(w);
  std::stringstream file;
  SaveModel(file, net);
  MLP loaded;
  LoadModel(file, loaded);
  mvlarray<double> back(loaded.nwts());
  loaded.GetWeights(back);
  std::printf(
      "model record of %zu bytes; reloaded weights bit for bit equal: %s\n", file.str().size(),
      std::memcmp(w.Array(), back.Array(), sizeof(double) * w.Length()) == 0 ? "yes" : "no");
  std::istringstream damaged(file.str().substr(0, 60));
  try {
    LoadModel(damaged, loaded);
  } catch (const mvlException& e) {
    std::printf("a truncated record is refused: %s\n", e.what());
  }
}

const DemoSection section("85-checks", "Safeguards: derivative checks, conditioning, saved models",
                          &run);

}  // namespace
