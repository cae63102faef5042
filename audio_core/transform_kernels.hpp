// Shared by the transform's per-level builds (transform.cpp, transform_avx2.cpp): the twiddle
// tables and the entry points of the AVX2 build.
#pragma once

#include "base/common.hpp"

namespace orvo {
namespace transform_detail {

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

inline constexpr FftTables kTables = MakeFftTables();
inline constexpr const Cpx (&kStage1Tw)[3][240] = kTables.stage1;
inline constexpr const Cpx (&kStage2Tw)[60][3] = kTables.stage2;
inline constexpr const Cpx (&kStage3Tw)[15][3] = kTables.stage3;
inline constexpr const Cpx (&kStage4Tw)[5][2] = kTables.stage4;
inline constexpr const Cpx (&kSplitTw)[480] = kTables.split;

}  // namespace transform_detail

// The AVX2 build (transform_avx2.cpp).
namespace avx2 {
void ComplexFft960(Cpx* in, Cpx* out, int direction);
void RealFft1920(Cpx* work, Cpx* out, int direction);
}  // namespace avx2

}  // namespace orvo
