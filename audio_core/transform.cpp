// 1920-point real and 960-point complex transforms. The kernels live in transform_kernels.inc,
// written against a small set of vector operations; this file builds them with portable vector
// code for the baseline level, transform_avx2.cpp with AVX2 intrinsics.
#include "audio_core/transform.hpp"

#include <cstring>

#include "audio_core/transform_kernels.hpp"

// The portable build passes 32-byte vectors between inlined helpers; GCC's note that their
// calling convention differs without AVX concerns no function visible outside this file.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace orvo {
namespace {

using namespace transform_detail;

// ---------------------------------------------------------------------------------------------
// Portable build: GCC/Clang vector extensions of eight floats (four complex values).

namespace baseline {

typedef float V __attribute__((vector_size(32)));
typedef int VI __attribute__((vector_size(32)));
// Passed by reference: without AVX, 32-byte vector arguments have no stable calling convention.
using VIn = const V&;

#if defined(__clang__)
#define ORVO_SHUFFLE1(a, ...) __builtin_shufflevector(a, a, __VA_ARGS__)
#define ORVO_SHUFFLE2(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define ORVO_SHUFFLE1(a, ...) __builtin_shuffle(a, VI{__VA_ARGS__})
#define ORVO_SHUFFLE2(a, b, ...) __builtin_shuffle(a, b, VI{__VA_ARGS__})
#endif

inline V Ld(const Cpx* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void St(Cpx* p, VIn v) {
  std::memcpy(p, &v, sizeof v);
}
inline V Bc(float f) {
  return V{f, f, f, f, f, f, f, f};
}
inline V Alt(float even, float odd) {
  return V{even, odd, even, odd, even, odd, even, odd};
}
inline V Swap(VIn a) {
  return ORVO_SHUFFLE1(a, 1, 0, 3, 2, 5, 4, 7, 6);
}
inline V DupRe(VIn a) {
  return ORVO_SHUFFLE1(a, 0, 0, 2, 2, 4, 4, 6, 6);
}
inline V DupIm(VIn a) {
  return ORVO_SHUFFLE1(a, 1, 1, 3, 3, 5, 5, 7, 7);
}
inline V Rev(VIn a) {
  return ORVO_SHUFFLE1(a, 6, 7, 4, 5, 2, 3, 0, 1);
}
inline V Conj(VIn a) {
  return a * Alt(1.0f, -1.0f);
}
inline V MulAdd(VIn a, VIn b, VIn c) {
  return a * b + c;
}
inline V MulSubAdd(VIn a, VIn b, VIn c) {  // even lanes a b - c, odd lanes a b + c
  return a * b + c * Alt(-1.0f, 1.0f);
}
inline V MulAddSub(VIn a, VIn b, VIn c) {  // even lanes a b + c, odd lanes a b - c
  return a * b + c * Alt(1.0f, -1.0f);
}
inline V AddJ(VIn a, VIn b) {  // a + j b
  return a + Swap(b) * Alt(-1.0f, 1.0f);
}
inline V SubJ(VIn a, VIn b) {  // a - j b
  return a + Swap(b) * Alt(1.0f, -1.0f);
}
// Rows of four complex values in, columns out.
inline void Transpose4(V& a, V& b, V& c, V& d) {
  const V u0 = ORVO_SHUFFLE2(a, b, 0, 1, 8, 9, 4, 5, 12, 13);
  const V u1 = ORVO_SHUFFLE2(a, b, 2, 3, 10, 11, 6, 7, 14, 15);
  const V u2 = ORVO_SHUFFLE2(c, d, 0, 1, 8, 9, 4, 5, 12, 13);
  const V u3 = ORVO_SHUFFLE2(c, d, 2, 3, 10, 11, 6, 7, 14, 15);
  a = ORVO_SHUFFLE2(u0, u2, 0, 1, 2, 3, 8, 9, 10, 11);
  b = ORVO_SHUFFLE2(u1, u3, 0, 1, 2, 3, 8, 9, 10, 11);
  c = ORVO_SHUFFLE2(u0, u2, 4, 5, 6, 7, 12, 13, 14, 15);
  d = ORVO_SHUFFLE2(u1, u3, 4, 5, 6, 7, 12, 13, 14, 15);
}

#undef ORVO_SHUFFLE1
#undef ORVO_SHUFFLE2

#include "audio_core/transform_kernels.inc"

}  // namespace baseline

}  // namespace

void ComplexFft960(Cpx* in, Cpx* out, int direction, CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::ComplexFft960(in, out, direction);
#endif
    default:
      return baseline::ComplexFft960Kernel(in, out, direction);
  }
}

void RealFft1920(Cpx* work, Cpx* out, int direction, CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::RealFft1920(work, out, direction);
#endif
    default:
      return baseline::RealFft1920Kernel(work, out, direction);
  }
}

}  // namespace orvo
