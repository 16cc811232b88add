// Numbered diagnostic output units, in the manner of the kernel library's I/O units.
#include <array>
#include <cstdio>
#include <string>

#include "kernel/sparse/hsl_units.hpp"
#include "kernel/sparse/sparse_kernels.hpp"

namespace {
constexpr int kStandardOutputUnit = 6;
constexpr int kLastUnit = 99;

std::array<std::FILE*, kLastUnit + 1>& unitTable() {
  static std::array<std::FILE*, kLastUnit + 1> table{};
  return table;
}

bool isFileUnit(int unit) {
  return unit >= 1 && unit <= kLastUnit && unit != kStandardOutputUnit;
}
}  // namespace

std::FILE* HslUnitStream(int unit) {
  if (unit == kStandardOutputUnit) return stdout;
  return isFileUnit(unit) ? unitTable()[unit] : nullptr;
}

void HSL_FFOPEN(const char* name, int length, const int* unit) {
  if (!isFileUnit(*unit) || name == nullptr || length < 0) return;
  HSL_FFCLOSE(unit);
  const std::string fileName(name, static_cast<std::size_t>(length));
  unitTable()[*unit] = std::fopen(fileName.c_str(), "w");
}

void HSL_FFCLOSE(const int* unit) {
  if (!isFileUnit(*unit)) return;
  std::FILE*& stream = unitTable()[*unit];
  if (stream != nullptr) std::fclose(stream);
  stream = nullptr;
}
