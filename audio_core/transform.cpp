// 1920-point real and 960-point complex transforms. The kernels live in transform_kernels.inc and
// are compiled twice here: once with portable vector code and, on x86, once for AVX2 with FMA. The
// public functions pick the AVX2 build when the processor supports it.
#include "audio_core/transform.hpp"

#include <cstring>

// The portable build passes 32-byte vectors between inlined helpers; GCC's note that their
// calling convention differs without AVX concerns no function visible outside this file.
#pragma GCC diagnostic ignored "-Wpsabi"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORVO_FFT_HAVE_AVX2 1
#else
#define ORVO_FFT_HAVE_AVX2 0
#endif

namespace orvo {
namespace {

// ---------------------------------------------------------------------------------------------
// Twiddle factors, computed at compile time. Every factor of the transforms is a power of
// e^(-j 2 pi / 1920): the argument is reduced exactly in integers to at most an eighth of a turn,
// where a Taylor series in double is exact to the last bit of a float.

struct CosSin {
  double c;
  double s;
};

constexpr double kPi = 3.14159265358979323846;

constexpr CosSin CosSinOfEighth(double x) {  // |x| <= pi / 4
  const double x2 = x * x;
  double c = 0.0, s = 0.0, ct = 1.0, st = x;
  for (int i = 0; i < 14; ++i) {
    c += ct;
    s += st;
    ct *= -x2 / ((2 * i + 1) * (2 * i + 2));
    st *= -x2 / ((2 * i + 2) * (2 * i + 3));
  }
  return {c, s};
}

// cos and sin of 2 pi m / 1920.
constexpr CosSin UnitCircle1920(long m) {
  m %= 1920;
  if (m < 0) m += 1920;
  const long quadrant = m / 480;
  long r = m % 480;
  const bool complement = r > 240;
  if (complement) r = 480 - r;
  CosSin v = CosSinOfEighth(2.0 * kPi * static_cast<double>(r) / 1920.0);
  if (complement) v = {v.s, v.c};
  switch (quadrant) {
    case 1:
      return {-v.s, v.c};
    case 2:
      return {-v.c, -v.s};
    case 3:
      return {v.s, -v.c};
    default:
      return v;
  }
}

// e^(-j 2 pi m / 1920) as (cos, -sin).
constexpr Cpx Twiddle1920(long m) {
  const CosSin v = UnitCircle1920(m);
  return Cpx{static_cast<float>(v.c), static_cast<float>(-v.s)};
}

struct FftTables {
  Cpx stage1[3][240];  // w_960^(p k), k = 1..3, p = 0..239 (p contiguous: read four at a time)
  Cpx stage2[60][3];   // w_240^(p k)
  Cpx stage3[15][3];   // w_60^(p k)
  Cpx stage4[5][2];    // w_15^(p k)
  Cpx split[480];      // e^(-j 2 pi k / 1920), k = 1..480
};

constexpr FftTables MakeFftTables() {
  FftTables t{};
  for (int k = 1; k <= 3; ++k)
    for (int p = 0; p < 240; ++p)
      t.stage1[k - 1][p] = Twiddle1920(2L * p * k);
  for (int p = 0; p < 60; ++p)
    for (int k = 1; k <= 3; ++k)
      t.stage2[p][k - 1] = Twiddle1920(8L * p * k);
  for (int p = 0; p < 15; ++p)
    for (int k = 1; k <= 3; ++k)
      t.stage3[p][k - 1] = Twiddle1920(32L * p * k);
  for (int p = 0; p < 5; ++p)
    for (int k = 1; k <= 2; ++k)
      t.stage4[p][k - 1] = Twiddle1920(128L * p * k);
  for (int k = 1; k <= 480; ++k)
    t.split[k - 1] = Twiddle1920(k);
  return t;
}

constexpr FftTables kTables = MakeFftTables();
constexpr const Cpx (&kStage1Tw)[3][240] = kTables.stage1;
constexpr const Cpx (&kStage2Tw)[60][3] = kTables.stage2;
constexpr const Cpx (&kStage3Tw)[15][3] = kTables.stage3;
constexpr const Cpx (&kStage4Tw)[5][2] = kTables.stage4;
constexpr const Cpx (&kSplitTw)[480] = kTables.split;

// ---------------------------------------------------------------------------------------------
// Portable build: GCC/Clang vector extensions of eight floats (four complex values).

namespace generic {

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
inline V Fma(VIn a, VIn b, VIn c) {
  return a * b + c;
}
inline V FmaddSub(VIn a, VIn b, VIn c) {  // even lanes a b - c, odd lanes a b + c
  return a * b + c * Alt(-1.0f, 1.0f);
}
inline V FmsubAdd(VIn a, VIn b, VIn c) {  // even lanes a b + c, odd lanes a b - c
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

}  // namespace generic

// ---------------------------------------------------------------------------------------------
// AVX2 + FMA build.

#if ORVO_FFT_HAVE_AVX2
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace avx2 {

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
inline V Fma(V a, V b, V c) {
  return _mm256_fmadd_ps(a, b, c);
}
inline V FmaddSub(V a, V b, V c) {
  return _mm256_fmaddsub_ps(a, b, c);
}
inline V FmsubAdd(V a, V b, V c) {
  return _mm256_fmsubadd_ps(a, b, c);
}
inline V AddJ(V a, V b) {
  return _mm256_addsub_ps(a, Swap(b));
}
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

}  // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

// ---------------------------------------------------------------------------------------------
// Dispatch.

bool CpuHasAvx2Fma() {
#if ORVO_FFT_HAVE_AVX2
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

struct VariantTable {
  transform_impl::Variant v[2];
  int count;
};

VariantTable MakeVariants() {
  VariantTable t{};
  t.v[0] = {"portable", true, &generic::ComplexFft960, &generic::RealFft1920};
  t.count = 1;
#if ORVO_FFT_HAVE_AVX2
  t.v[1] = {"avx2", CpuHasAvx2Fma(), &avx2::ComplexFft960, &avx2::RealFft1920};
  t.count = 2;
#endif
  return t;
}

const VariantTable& Variants() {
  static const VariantTable table = MakeVariants();
  return table;
}

// The fastest variant the processor can run.
const transform_impl::Variant& Best() {
  static const transform_impl::Variant& best = []() -> const transform_impl::Variant& {
    const VariantTable& t = Variants();
    for (int i = t.count - 1; i > 0; --i)
      if (t.v[i].available) return t.v[i];
    return t.v[0];
  }();
  return best;
}

}  // namespace

namespace transform_impl {
int VariantCount() {
  return Variants().count;
}
const Variant& GetVariant(int index) {
  return Variants().v[index];
}
}  // namespace transform_impl

void ComplexFft960(Cpx* in, Cpx* out, int direction) {
  Best().complexFft960(in, out, direction);
}

void RealFft1920(Cpx* work, Cpx* out, int direction) {
  Best().realFft1920(work, out, direction);
}

}  // namespace orvo
