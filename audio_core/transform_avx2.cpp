// The transforms at the AVX2 level: the kernels of transform_kernels.inc over AVX2 intrinsics.
// A multiply and an add are fused only where the product is exact (a sign), so every value
// rounds as in the baseline build.
#include <immintrin.h>

#include "audio_core/transform.hpp"
#include "audio_core/transform_kernels.hpp"

namespace orvo::avx2 {
namespace {

using namespace transform_detail;

using V = __m256;
using VIn = V;

inline V Ld(const Cpx* p) {
  return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
}
inline void St(Cpx* p, VIn v) {
  _mm256_storeu_ps(reinterpret_cast<float*>(p), v);
}
inline V Bc(float f) {
  return _mm256_set1_ps(f);
}
inline V Alt(float even, float odd) {
  return _mm256_setr_ps(even, odd, even, odd, even, odd, even, odd);
}
inline V Swap(V a) {
  return _mm256_permute_ps(a, 0xB1);
}
inline V DupRe(V a) {
  return _mm256_moveldup_ps(a);
}
inline V DupIm(V a) {
  return _mm256_movehdup_ps(a);
}
inline V Rev(V a) {
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(a), 0x1B));
}
inline V Conj(V a) {
  return _mm256_xor_ps(a, Alt(0.0f, -0.0f));
}
// a b + c, rounded twice as in the baseline build.
inline V MulAdd(V a, V b, V c) {
  return _mm256_add_ps(_mm256_mul_ps(a, b), c);
}
// Even lanes a b - c, odd lanes a b + c.
inline V MulSubAdd(V a, V b, V c) {
  return _mm256_addsub_ps(_mm256_mul_ps(a, b), c);
}
// Even lanes a b + c, odd lanes a b - c.
inline V MulAddSub(V a, V b, V c) {
  return _mm256_addsub_ps(_mm256_mul_ps(a, b), _mm256_xor_ps(c, Bc(-0.0f)));
}
inline V AddJ(V a, V b) {
  return _mm256_addsub_ps(a, Swap(b));
}
// The product with +-1 is exact, so the fused form rounds as the baseline's multiply and add.
inline V SubJ(V a, V b) {
  return _mm256_fmadd_ps(Swap(b), Alt(1.0f, -1.0f), a);
}
inline void Transpose4(V& a, V& b, V& c, V& d) {
  const __m256d u0 = _mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b));
  const __m256d u1 = _mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b));
  const __m256d u2 = _mm256_unpacklo_pd(_mm256_castps_pd(c), _mm256_castps_pd(d));
  const __m256d u3 = _mm256_unpackhi_pd(_mm256_castps_pd(c), _mm256_castps_pd(d));
  a = _mm256_castpd_ps(_mm256_permute2f128_pd(u0, u2, 0x20));
  b = _mm256_castpd_ps(_mm256_permute2f128_pd(u1, u3, 0x20));
  c = _mm256_castpd_ps(_mm256_permute2f128_pd(u0, u2, 0x31));
  d = _mm256_castpd_ps(_mm256_permute2f128_pd(u1, u3, 0x31));
}

#include "audio_core/transform_kernels.inc"

}  // namespace

void ComplexFft960(Cpx* in, Cpx* out, int direction) {
  ComplexFft960Kernel(in, out, direction);
}

void RealFft1920(Cpx* work, Cpx* out, int direction) {
  RealFft1920Kernel(work, out, direction);
}

}  // namespace orvo::avx2
