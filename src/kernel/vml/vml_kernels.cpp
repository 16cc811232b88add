// The vector exponential comes from SLEEF (Debian libsleef), whose 1-ulp exp beat both glibc's
// vector math (3 ulp, ~30% slower) and the scalar std::exp (6-7x slower) on the benchmark
// machine. The widest instruction set the processor offers is chosen once, at first use, so the
// library itself stays buildable for the baseline x86-64 target.
#include "kernel/vml/vml_kernels.hpp"

#include <cmath>
#include <initializer_list>

#if defined(__x86_64__)
#include <immintrin.h>

// SLEEF's header only declares the variants for the instruction sets enabled on the command
// line; these are compiled per function below, so the entry points are declared here.
extern "C" {
__m512d Sleef_expd8_u10avx512f(__m512d);
__m256d Sleef_expd4_u10avx2(__m256d);
__m128d Sleef_expd2_u10sse2(__m128d);
}

namespace {

using ArrayKernel = void (*)(int, const double*, double*);

// SLEEF's exponential overflows to +inf slightly early: from x = 709.7827111 on, while the true
// value stays finite up to ln(DBL_MAX) = 709.78271289338. Lanes above this bound are recomputed
// with the scalar function; the band is so narrow that the check costs one compare per vector.
constexpr double kEarlyOverflowBound = 709.78;

// Each body processes whole vectors and finishes the remainder with a partial (masked or padded)
// vector, so the last elements get the same accuracy as the rest.
template <int Lanes>
void repairNearOverflow(unsigned lanesAbove, const double* x, double* result) {
  for (int l = 0; l < Lanes; ++l)
    if (lanesAbove & (1u << l)) result[l] = std::exp(x[l]);
}

__attribute__((target("avx512f"))) __m512d expVector8(__m512d x) {
  __m512d r = Sleef_expd8_u10avx512f(x);
  const __mmask8 above = _mm512_cmp_pd_mask(x, _mm512_set1_pd(kEarlyOverflowBound), _CMP_GT_OQ);
  if (above) {
    alignas(64) double xs[8], rs[8];
    _mm512_store_pd(xs, x);
    _mm512_store_pd(rs, r);
    repairNearOverflow<8>(above, xs, rs);
    r = _mm512_load_pd(rs);
  }
  return r;
}

__attribute__((target("avx512f"))) void expAvx512(int n, const double* a, double* y) {
  int i = 0;
  for (; i + 8 <= n; i += 8) _mm512_storeu_pd(y + i, expVector8(_mm512_loadu_pd(a + i)));
  if (i < n) {
    const __mmask8 tail = static_cast<__mmask8>((1u << (n - i)) - 1u);
    const __m512d x = _mm512_maskz_loadu_pd(tail, a + i);
    _mm512_mask_storeu_pd(y + i, tail, expVector8(x));
  }
}

__attribute__((target("avx512f"))) void invAvx512(int n, const double* a, double* y) {
  const __m512d one = _mm512_set1_pd(1.0);
  int i = 0;
  for (; i + 8 <= n; i += 8) _mm512_storeu_pd(y + i, _mm512_div_pd(one, _mm512_loadu_pd(a + i)));
  if (i < n) {
    const __mmask8 tail = static_cast<__mmask8>((1u << (n - i)) - 1u);
    // Lanes outside the tail divide by 1 so that they raise no spurious exceptions.
    const __m512d x = _mm512_mask_loadu_pd(one, tail, a + i);
    _mm512_mask_storeu_pd(y + i, tail, _mm512_div_pd(one, x));
  }
}

__attribute__((target("avx2,fma"))) __m256d expVector4(__m256d x) {
  __m256d r = Sleef_expd4_u10avx2(x);
  const unsigned above = static_cast<unsigned>(
      _mm256_movemask_pd(_mm256_cmp_pd(x, _mm256_set1_pd(kEarlyOverflowBound), _CMP_GT_OQ)));
  if (above) {
    alignas(32) double xs[4], rs[4];
    _mm256_store_pd(xs, x);
    _mm256_store_pd(rs, r);
    repairNearOverflow<4>(above, xs, rs);
    r = _mm256_load_pd(rs);
  }
  return r;
}

__attribute__((target("avx2,fma"))) void expAvx2(int n, const double* a, double* y) {
  int i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, expVector4(_mm256_loadu_pd(a + i)));
  if (i < n) {
    alignas(32) double in[4] = {0.0, 0.0, 0.0, 0.0}, out[4];
    for (int k = 0; k < n - i; ++k) in[k] = a[i + k];
    _mm256_store_pd(out, expVector4(_mm256_load_pd(in)));
    for (int k = 0; k < n - i; ++k) y[i + k] = out[k];
  }
}

__attribute__((target("avx2"))) void invAvx2(int n, const double* a, double* y) {
  const __m256d one = _mm256_set1_pd(1.0);
  int i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, _mm256_div_pd(one, _mm256_loadu_pd(a + i)));
  for (; i < n; ++i) y[i] = 1.0 / a[i];
}

__m128d expVector2(__m128d x) {
  __m128d r = Sleef_expd2_u10sse2(x);
  const unsigned above =
      static_cast<unsigned>(_mm_movemask_pd(_mm_cmpgt_pd(x, _mm_set1_pd(kEarlyOverflowBound))));
  if (above) {
    alignas(16) double xs[2], rs[2];
    _mm_store_pd(xs, x);
    _mm_store_pd(rs, r);
    repairNearOverflow<2>(above, xs, rs);
    r = _mm_load_pd(rs);
  }
  return r;
}

void expSse2(int n, const double* a, double* y) {
  int i = 0;
  for (; i + 2 <= n; i += 2) _mm_storeu_pd(y + i, expVector2(_mm_loadu_pd(a + i)));
  if (i < n) y[i] = _mm_cvtsd_f64(expVector2(_mm_set1_pd(a[i])));
}

void invSse2(int n, const double* a, double* y) {
  const __m128d one = _mm_set1_pd(1.0);
  int i = 0;
  for (; i + 2 <= n; i += 2) _mm_storeu_pd(y + i, _mm_div_pd(one, _mm_loadu_pd(a + i)));
  if (i < n) y[i] = 1.0 / a[i];
}

void expScalar(int n, const double* a, double* y) {
  for (int i = 0; i < n; ++i) y[i] = std::exp(a[i]);
}

void invScalar(int n, const double* a, double* y) {
  for (int i = 0; i < n; ++i) y[i] = 1.0 / a[i];
}

struct VectorKernels {
  ArrayKernel exp;
  ArrayKernel inv;
};

bool supports(VmlPath path) {
  __builtin_cpu_init();
  switch (path) {
    case VmlPath::Avx512:
      return __builtin_cpu_supports("avx512f");
    case VmlPath::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    default:
      return true;
  }
}

VectorKernels kernelsFor(VmlPath path) {
  switch (path) {
    case VmlPath::Avx512:
      return {expAvx512, invAvx512};
    case VmlPath::Avx2:
      return {expAvx2, invAvx2};
    case VmlPath::Sse2:
      return {expSse2, invSse2};
    case VmlPath::Scalar:
      return {expScalar, invScalar};
    case VmlPath::Automatic:
      break;
  }
  for (VmlPath widest : {VmlPath::Avx512, VmlPath::Avx2})
    if (supports(widest)) return kernelsFor(widest);
  return kernelsFor(VmlPath::Sse2);
}

VectorKernels& kernels() {
  static VectorKernels chosen = kernelsFor(VmlPath::Automatic);
  return chosen;
}

}  // namespace

bool VML_SelectPath(VmlPath path) {
  if (!supports(path)) return false;
  kernels() = kernelsFor(path);
  return true;
}

void VML_vdExp(int n, const double* a, double* y) {
  if (n > 0) kernels().exp(n, a, y);
}

void VML_vdInv(int n, const double* a, double* y) {
  if (n > 0) kernels().inv(n, a, y);
}

#else  // other architectures: the compiler's own vectorisation of the scalar functions

void VML_vdExp(int n, const double* a, double* y) {
  for (int i = 0; i < n; ++i) y[i] = std::exp(a[i]);
}

void VML_vdInv(int n, const double* a, double* y) {
  for (int i = 0; i < n; ++i) y[i] = 1.0 / a[i];
}

bool VML_SelectPath(VmlPath path) {
  return path == VmlPath::Automatic || path == VmlPath::Scalar;
}

#endif
