// Kernels of the suppressor's transforms, written once over a vector width and built once per
// processor level: denoise_transform.cpp instantiates them with four-float vectors (baseline),
// denoise_transform_avx2.cpp with eight-float vectors (AVX2). Every sum runs in the same order
// at both widths, so both give the same bits.
#pragma once

#include <cstring>

#include "base/check.hpp"
#include "denoise/denoise_simd.hpp"
#include "denoise/denoise_transform.hpp"

namespace orvo {

namespace {

constexpr int kN = kDenoiseFftSize;
constexpr int kHalf = kN / 2;
constexpr float kScale = 1.0f / kN;

// Butterfly stages, outermost first: radix, butterflies per group (m) and twiddle stride.
//   radix 5, m 192, stride 1   | radix 3, m 64, stride 5   | radix 4, m 16, stride 15
//   radix 4, m 4, stride 60    | radix 4, m 1 (no twiddles)
constexpr int kTwiddleOffset5 = 0;
constexpr int kTwiddleOffset3 = 4 * 192;
constexpr int kTwiddleOffset4a = kTwiddleOffset3 + 2 * 64;
constexpr int kTwiddleOffset4b = kTwiddleOffset4a + 3 * 16;

// ---------------------------------------------------------------------------------------------
// Butterfly stages on split real / imaginary arrays. Group g covers radix * M elements from
// g * radix * M; butterfly j of a group combines elements j + q M (q < radix) after turning
// element q by twiddle run q at j. The j loops run over contiguous memory.

ORVO_ALWAYS_INLINE void Twiddle(float& re, float& im, float wr, float wi) {
  const float r = re * wr - im * wi;
  im = re * wi + im * wr;
  re = r;
}

template <int M>
ORVO_ALWAYS_INLINE void Radix4Stage(float* __restrict re, float* __restrict im, int groups,
                                    const float* __restrict twr, const float* __restrict twi) {
  for (int g = 0; g < groups; ++g) {
    float* r = re + g * 4 * M;
    float* i = im + g * 4 * M;
    for (int j = 0; j < M; ++j) {
      const float a0r = r[j], a0i = i[j];
      float a1r = r[j + M], a1i = i[j + M];
      float a2r = r[j + 2 * M], a2i = i[j + 2 * M];
      float a3r = r[j + 3 * M], a3i = i[j + 3 * M];
      if constexpr (M > 1) {
        Twiddle(a1r, a1i, twr[j], twi[j]);
        Twiddle(a2r, a2i, twr[M + j], twi[M + j]);
        Twiddle(a3r, a3i, twr[2 * M + j], twi[2 * M + j]);
      }
      const float t0r = a0r + a2r, t0i = a0i + a2i;
      const float t1r = a0r - a2r, t1i = a0i - a2i;
      const float t2r = a1r + a3r, t2i = a1i + a3i;
      const float t3r = a1r - a3r, t3i = a1i - a3i;
      r[j] = t0r + t2r;
      i[j] = t0i + t2i;
      r[j + 2 * M] = t0r - t2r;
      i[j + 2 * M] = t0i - t2i;
      r[j + M] = t1r + t3i;  // t1 - i t3
      i[j + M] = t1i - t3r;
      r[j + 3 * M] = t1r - t3i;  // t1 + i t3
      i[j + 3 * M] = t1i + t3r;
    }
  }
}

template <int M>
ORVO_ALWAYS_INLINE void Radix3Stage(float* __restrict re, float* __restrict im, int groups,
                                    const float* __restrict twr, const float* __restrict twi,
                                    float c, float s) {
  // c + i s = e^(-2 pi i / 3)
  for (int g = 0; g < groups; ++g) {
    float* r = re + g * 3 * M;
    float* i = im + g * 3 * M;
    for (int j = 0; j < M; ++j) {
      const float a0r = r[j], a0i = i[j];
      float a1r = r[j + M], a1i = i[j + M];
      float a2r = r[j + 2 * M], a2i = i[j + 2 * M];
      Twiddle(a1r, a1i, twr[j], twi[j]);
      Twiddle(a2r, a2i, twr[M + j], twi[M + j]);
      const float sr = a1r + a2r, si = a1i + a2i;
      const float dr = a1r - a2r, di = a1i - a2i;
      const float mr = a0r + c * sr, mi = a0i + c * si;
      const float er = s * dr, ei = s * di;
      r[j] = a0r + sr;
      i[j] = a0i + si;
      r[j + M] = mr - ei;  // m + i e
      i[j + M] = mi + er;
      r[j + 2 * M] = mr + ei;  // m - i e
      i[j + 2 * M] = mi - er;
    }
  }
}

template <int M>
ORVO_ALWAYS_INLINE void Radix5Stage(float* __restrict re, float* __restrict im,
                                    const float* __restrict twr, const float* __restrict twi,
                                    float ar, float ai, float br, float bi) {
  // ar + i ai = e^(-2 pi i / 5), br + i bi = e^(-4 pi i / 5); one group.
  float* r = re;
  float* i = im;
  for (int j = 0; j < M; ++j) {
    const float a0r = r[j], a0i = i[j];
    float a1r = r[j + M], a1i = i[j + M];
    float a2r = r[j + 2 * M], a2i = i[j + 2 * M];
    float a3r = r[j + 3 * M], a3i = i[j + 3 * M];
    float a4r = r[j + 4 * M], a4i = i[j + 4 * M];
    Twiddle(a1r, a1i, twr[j], twi[j]);
    Twiddle(a2r, a2i, twr[M + j], twi[M + j]);
    Twiddle(a3r, a3i, twr[2 * M + j], twi[2 * M + j]);
    Twiddle(a4r, a4i, twr[3 * M + j], twi[3 * M + j]);
    const float s14r = a1r + a4r, s14i = a1i + a4i;
    const float d14r = a1r - a4r, d14i = a1i - a4i;
    const float s23r = a2r + a3r, s23i = a2i + a3i;
    const float d23r = a2r - a3r, d23i = a2i - a3i;
    r[j] = a0r + s14r + s23r;
    i[j] = a0i + s14i + s23i;
    const float m1r = a0r + ar * s14r + br * s23r, m1i = a0i + ar * s14i + br * s23i;
    const float e1r = ai * d14r + bi * d23r, e1i = ai * d14i + bi * d23i;
    r[j + M] = m1r - e1i;  // m1 + i e1
    i[j + M] = m1i + e1r;
    r[j + 4 * M] = m1r + e1i;  // m1 - i e1
    i[j + 4 * M] = m1i - e1r;
    const float m2r = a0r + br * s14r + ar * s23r, m2i = a0i + br * s14i + ar * s23i;
    const float e2r = bi * d14r - ai * d23r, e2i = bi * d14i - ai * d23i;
    r[j + 2 * M] = m2r - e2i;  // m2 + i e2
    i[j + 2 * M] = m2i + e2r;
    r[j + 3 * M] = m2r + e2i;  // m2 - i e2
    i[j + 3 * M] = m2i - e2r;
  }
}

// ---------------------------------------------------------------------------------------------
// The first two stages (radix 4 with m 1, then radix 4 with m 4) run on the input itself, viewed
// as a 16 x 60 matrix: input n = 60 s + m is row s, column m. Digit-reversed position k of input
// n is 16 b + e with e = 4 (s % 4) + s / 4 and b = 12 q0 + 4 q1 + q2 for m = q0 + 5 q1 + 15 q2,
// so each column is one independent 16-point sub-transform whose twiddles depend on the row
// alone. L neighbouring columns run side by side, one per vector lane, with the butterflies of
// the plain stages; the 16 results of each column are then transposed into place at 16 b.

constexpr int kRows = 16;
constexpr int kCols = 60;

struct ColumnTargets {
  std::uint16_t at[kCols];  // 16 b for column m
};

constexpr ColumnTargets MakeColumnTargets() {
  ColumnTargets c{};
  for (int m = 0; m < kCols; ++m)
    c.at[m] = static_cast<std::uint16_t>(16 * (12 * (m % 5) + 4 * ((m / 5) % 3) + m / 15));
  return c;
}

constexpr ColumnTargets kColumnTargets = MakeColumnTargets();

// Sources of the 16 x 60 view. Each reads L columns from m of row s as (re, im) vectors.
struct WindowedReal {  // x[n] times the forward window; imaginary part 0
  const float* x;
  const float* window;
  template <class T>
  ORVO_ALWAYS_INLINE void Load(typename T::Vec& re, typename T::Vec& im, int n) const {
    typedef typename T::Unaligned U;
    re = *reinterpret_cast<const U*>(x + n) * *reinterpret_cast<const U*>(window + n);
    im = typename T::Vec{};
  }
};

struct ScaledComplex {  // (re[n], im[n]) times scale
  const float* re_in;
  const float* im_in;
  float scale;
  template <class T>
  ORVO_ALWAYS_INLINE void Load(typename T::Vec& re, typename T::Vec& im, int n) const {
    typedef typename T::Unaligned U;
    re = *reinterpret_cast<const U*>(re_in + n) * scale;
    im = *reinterpret_cast<const U*>(im_in + n) * scale;
  }
};

struct PlainComplex {
  const float* re_in;
  const float* im_in;
  template <class T>
  ORVO_ALWAYS_INLINE void Load(typename T::Vec& re, typename T::Vec& im, int n) const {
    typedef typename T::Unaligned U;
    re = *reinterpret_cast<const U*>(re_in + n);
    im = *reinterpret_cast<const U*>(im_in + n);
  }
};

template <class V>
ORVO_ALWAYS_INLINE void TwiddleVec(V& re, V& im, float wr, float wi) {
  const V r = re * wr - im * wi;
  im = re * wi + im * wr;
  re = r;
}

// Radix-4 butterfly on (a0 .. a3), results in place (outputs 0 .. 3).
template <class V>
ORVO_ALWAYS_INLINE void Butterfly4(V& a0r, V& a0i, V& a1r, V& a1i, V& a2r, V& a2i, V& a3r, V& a3i) {
  const V t0r = a0r + a2r, t0i = a0i + a2i;
  const V t1r = a0r - a2r, t1i = a0i - a2i;
  const V t2r = a1r + a3r, t2i = a1i + a3i;
  const V t3r = a1r - a3r, t3i = a1i - a3i;
  a0r = t0r + t2r;
  a0i = t0i + t2i;
  a2r = t0r - t2r;
  a2i = t0i - t2i;
  a1r = t1r + t3i;  // t1 - i t3
  a1i = t1i - t3r;
  a3r = t1r - t3i;  // t1 + i t3
  a3i = t1i + t3r;
}

template <class T, class Src>
ORVO_ALWAYS_INLINE void FirstStages(const Src& src, float* __restrict re, float* __restrict im,
                                    const float* __restrict twr, const float* __restrict twi) {
  constexpr int L = T::kLanes;
  typedef typename T::Vec V;
  typedef typename T::Unaligned U;
  for (int c = 0; c < kCols; c += L) {
    // The last block may overlap the one before; it recomputes the same values.
    const int m = c + L <= kCols ? c : kCols - L;
    V ar[kRows], ai[kRows];  // by position e in the sub-transform
    // Radix 4, m 1: group q3 takes rows q3 + 4 q (q = 0..3), outputs to e = 4 q3 + q.
    for (int q3 = 0; q3 < 4; ++q3) {
      V a0r, a0i, a1r, a1i, a2r, a2i, a3r, a3i;
      src.template Load<T>(a0r, a0i, 60 * q3 + m);
      src.template Load<T>(a1r, a1i, 60 * (q3 + 4) + m);
      src.template Load<T>(a2r, a2i, 60 * (q3 + 8) + m);
      src.template Load<T>(a3r, a3i, 60 * (q3 + 12) + m);
      Butterfly4(a0r, a0i, a1r, a1i, a2r, a2i, a3r, a3i);
      ar[4 * q3] = a0r;
      ai[4 * q3] = a0i;
      ar[4 * q3 + 1] = a1r;
      ai[4 * q3 + 1] = a1i;
      ar[4 * q3 + 2] = a2r;
      ai[4 * q3 + 2] = a2i;
      ar[4 * q3 + 3] = a3r;
      ai[4 * q3 + 3] = a3i;
    }
    // Radix 4, m 4: butterfly j takes e = j + 4 q, turned by twiddle run q at j.
    for (int j = 0; j < 4; ++j) {
      TwiddleVec(ar[j + 4], ai[j + 4], twr[j], twi[j]);
      TwiddleVec(ar[j + 8], ai[j + 8], twr[4 + j], twi[4 + j]);
      TwiddleVec(ar[j + 12], ai[j + 12], twr[8 + j], twi[8 + j]);
      Butterfly4(ar[j], ai[j], ar[j + 4], ai[j + 4], ar[j + 8], ai[j + 8], ar[j + 12], ai[j + 12]);
    }
    // L x L blocks of (e, column) become (column, e): each column's results are contiguous.
    for (int e = 0; e < kRows; e += L) {
      V br[L], bi[L];
      for (int t = 0; t < L; ++t) {
        br[t] = ar[e + t];
        bi[t] = ai[e + t];
      }
      Transpose(br);
      Transpose(bi);
      for (int t = 0; t < L; ++t) {
        *reinterpret_cast<U*>(re + kColumnTargets.at[m + t] + e) = br[t];
        *reinterpret_cast<U*>(im + kColumnTargets.at[m + t] + e) = bi[t];
      }
    }
  }
}

// The whole transform: the first two stages from the source into re / im (natural digit-reversed
// positions), then the other three in place, innermost first.
template <class T, class Src>
ORVO_ALWAYS_INLINE void Transform(const Src& src, float* re, float* im, const SharedTables& t) {
  const float* twr = t.stage_twiddle_re;
  const float* twi = t.stage_twiddle_im;
  FirstStages<T>(src, re, im, twr + kTwiddleOffset4b, twi + kTwiddleOffset4b);
  Radix4Stage<16>(re, im, 15, twr + kTwiddleOffset4a, twi + kTwiddleOffset4a);
  Radix3Stage<64>(re, im, 5, twr + kTwiddleOffset3, twi + kTwiddleOffset3, t.twiddle_re[320],
                  t.twiddle_im[320]);
  Radix5Stage<192>(re, im, twr + kTwiddleOffset5, twi + kTwiddleOffset5, t.twiddle_re[192],
                   t.twiddle_im[192], t.twiddle_re[384], t.twiddle_im[384]);
}

// L lanes in reverse order.
template <class T>
ORVO_ALWAYS_INLINE void Reverse(typename T::Vec& v) {
  if constexpr (T::kLanes == 8)
    v = __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0);
  else
    v = __builtin_shufflevector(v, v, 3, 2, 1, 0);
}

// Even and odd floats of 2 L floats from p (real and imaginary parts of L bins).
template <class T>
ORVO_ALWAYS_INLINE void Deinterleave(typename T::Vec& re, typename T::Vec& im, const float* p) {
  typedef typename T::Unaligned U;
  const typename T::Vec a = *reinterpret_cast<const U*>(p);
  const typename T::Vec b = *reinterpret_cast<const U*>(p + T::kLanes);
  if constexpr (T::kLanes == 8) {
    re = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
    im = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
  } else {
    re = __builtin_shufflevector(a, b, 0, 2, 4, 6);
    im = __builtin_shufflevector(a, b, 1, 3, 5, 7);
  }
}

// Windowed forward transform of 960 samples; bins 0 to 480 to out.
template <class T>
ORVO_ALWAYS_INLINE void Forward(Cpx* out, const float* in, float* re, float* im,
                                const SharedTables& t) {
  constexpr int L = T::kLanes;
  typedef typename T::Vec V;
  typedef typename T::Unaligned U;
  Transform<T>(WindowedReal{in, t.window_forward}, re, im, t);
  float* o = reinterpret_cast<float*>(out);
  int k = 0;
  for (; k + L <= kDenoiseBins; k += L) {
    const V r = *reinterpret_cast<const U*>(re + k);
    const V i = *reinterpret_cast<const U*>(im + k);
    V lo, hi;
    if constexpr (L == 8) {
      lo = __builtin_shufflevector(r, i, 0, 8, 1, 9, 2, 10, 3, 11);
      hi = __builtin_shufflevector(r, i, 4, 12, 5, 13, 6, 14, 7, 15);
    } else {
      lo = __builtin_shufflevector(r, i, 0, 4, 1, 5);
      hi = __builtin_shufflevector(r, i, 2, 6, 3, 7);
    }
    *reinterpret_cast<U*>(o + 2 * k) = lo;
    *reinterpret_cast<U*>(o + 2 * k + L) = hi;
  }
  for (; k < kDenoiseBins; ++k)
    out[k] = {re[k], im[k]};
}

// Inverse transform of 481 bins (the upper half by conjugate symmetry) to 960 windowed samples.
template <class T>
ORVO_ALWAYS_INLINE void Inverse(float* out, const Cpx* in, float* re, float* im,
                                const SharedTables& t) {
  constexpr int L = T::kLanes;
  typedef typename T::Vec V;
  typedef typename T::Unaligned U;
  // The full spectrum scaled by 1/960: bin 960 - n is the conjugate of bin n.
  float spec_re[kN], spec_im[kN];
  const float* f = reinterpret_cast<const float*>(in);
  int n = 0;
  for (; n + L <= kDenoiseBins; n += L) {
    V r, i;
    Deinterleave<T>(r, i, f + 2 * n);
    *reinterpret_cast<U*>(spec_re + n) = r * kScale;
    *reinterpret_cast<U*>(spec_im + n) = i * kScale;
  }
  for (; n < kDenoiseBins; ++n) {
    spec_re[n] = in[n].re * kScale;
    spec_im[n] = in[n].im * kScale;
  }
  for (; n + L <= kN; n += L) {
    V r, i;  // bins 960 - n - L + 1 .. 960 - n
    Deinterleave<T>(r, i, f + 2 * (kN - n - L + 1));
    Reverse<T>(r);
    Reverse<T>(i);
    *reinterpret_cast<U*>(spec_re + n) = r * kScale;
    *reinterpret_cast<U*>(spec_im + n) = i * -kScale;
  }
  for (; n < kN; ++n) {
    spec_re[n] = in[kN - n].re * kScale;
    spec_im[n] = in[kN - n].im * -kScale;
  }
  Transform<T>(PlainComplex{spec_re, spec_im}, re, im, t);
  // Reading the forward transform backwards gives the inverse one; then the window.
  const float* w = t.window_full;
  out[0] = kN * re[0] * w[0];
  n = 1;
  for (; n + L <= kN; n += L) {
    V r = *reinterpret_cast<const U*>(re + kN - n - L + 1);
    Reverse<T>(r);
    *reinterpret_cast<U*>(out + n) =
        static_cast<float>(kN) * r * *reinterpret_cast<const U*>(w + n);
  }
  for (; n < kN; ++n)
    out[n] = kN * re[kN - n] * w[n];
}

}  // namespace

// The AVX2 builds (denoise_transform_avx2.cpp).
namespace avx2 {
void DenoiseForward(Cpx* out, const float* in, float* re, float* im, const SharedTables& t);
void DenoiseInverse(float* out, const Cpx* in, float* re, float* im, const SharedTables& t);
void DenoiseFft960(const float* in_re, const float* in_im, float scale, float* re, float* im,
                   const SharedTables& t);
}  // namespace avx2

}  // namespace orvo
