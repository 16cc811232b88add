// Vector exponential and reciprocal: element-wise over a contiguous array.
//
// Reference style with the count by value: n elements are read from a and written to y. The two
// arrays may be the same array (in place) but must not otherwise overlap. n <= 0 does nothing.
// Internal to the library: nothing here is exported.
#ifndef ORVO_SRC_KERNEL_VML_VML_KERNELS_HPP
#define ORVO_SRC_KERNEL_VML_VML_KERNELS_HPP

// y[i] = exp(a[i]), within 1 ulp of the correctly rounded value over the whole double range:
// results above the largest double are +inf, results below the smallest subnormal are +0, the
// subnormal range is produced gradually, exp(-inf) = 0, exp(+inf) = +inf and NaN stays NaN.
void VML_vdExp(int n, const double* a, double* y);

// y[i] = 1 / a[i], correctly rounded (IEEE division): 1/±0 = ±inf, 1/±inf = ±0, NaN stays NaN.
void VML_vdInv(int n, const double* a, double* y);

// Which vector width the two routines use. The widest one the processor supports is chosen at
// first use; tests switch explicitly so that every path is exercised on one machine.
enum class VmlPath { Automatic, Avx512, Avx2, Sse2, Scalar };
// Makes `path` the one used from now on; returns false (and changes nothing) when the processor
// or the build cannot run it. Not thread-safe: meant for tests and benchmarks.
bool VML_SelectPath(VmlPath path);

#endif
