// The grid interpolator built from arbitrary grids (any starts and steps, non-finite ones
// included, repeated and interleaved values), queried anywhere and written as text.
#include <cstdint>
#include <sstream>

#include "fuzz_input.hpp"
#include "orvo/interp.hpp"

namespace {
struct Surface : Orvo::FunctorBase_pTableInterpolator {
  double operator()(double x, double y) override { return x * 0.5 - y; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  Surface f;
  Orvo::pTableInterpolator table(f);
  for (int step = in.below(8); step >= 0 && !in.empty(); --step) {
    switch (in.below(5)) {
      case 0:
        table.Initialize(in.value(), in.value(), in.below(12), in.value(), in.value(),
                         in.below(12));
        break;
      case 1:
        table.AddXvar(in.value());
        break;
      case 2:
        table.AddYvar(in.value());
        break;
      case 3: {
        Orvo::pTableInterpolator copy(table);
        copy.AddXvar(in.value());
        copy.Interpolate(in.value(), in.value());
        break;
      }
      default:
        table.Interpolate(in.value(), in.value());
    }
  }
  std::ostringstream text;
  text.precision(in.below(20));
  table.Write2Stream(text);
  return 0;
}
