// The stream behind a diagnostic output unit opened by HSL_FFOPEN (6 is the standard output);
// null when the unit is not open. For the kernel routines' reports only.
#ifndef ORVO_SRC_KERNEL_SPARSE_HSL_UNITS_HPP
#define ORVO_SRC_KERNEL_SPARSE_HSL_UNITS_HPP

#include <cstdio>

std::FILE* HslUnitStream(int unit);

#endif
