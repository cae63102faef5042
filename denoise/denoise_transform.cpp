#include "denoise/denoise_transform.hpp"

#include <cmath>
#include <cstring>
#include <numbers>

#include "denoise/denoise_simd.hpp"

namespace orvo {

namespace {

constexpr int kN = kDenoiseFftSize;
constexpr int kHalf = kN / 2;

// Butterfly stages, outermost first: radix, butterflies per group (m) and twiddle stride.
//   radix 5, m 192, stride 1   | radix 3, m 64, stride 5   | radix 4, m 16, stride 15
//   radix 4, m 4, stride 60    | radix 4, m 1 (no twiddles)
constexpr int kTwiddleOffset5 = 0;
constexpr int kTwiddleOffset3 = 4 * 192;
constexpr int kTwiddleOffset4a = kTwiddleOffset3 + 2 * 64;
constexpr int kTwiddleOffset4b = kTwiddleOffset4a + 3 * 16;

void FillStageTwiddles(SharedTables& t, int offset, int radix, int m, int stride) {
  for (int q = 1; q < radix; ++q)
    for (int j = 0; j < m; ++j) {
      const int k = j * q * stride;  // always below 960 for these stages
      t.stage_twiddle_re[offset + (q - 1) * m + j] = t.twiddle_re[k];
      t.stage_twiddle_im[offset + (q - 1) * m + j] = t.twiddle_im[k];
    }
}

SharedTables BuildSharedTables() {
  SharedTables t{};
  const double pi = std::numbers::pi;
  for (int k = 0; k < kN; ++k) {
    const double phase = -2.0 * pi * k / kN;
    t.twiddle_re[k] = static_cast<float>(std::cos(phase));
    t.twiddle_im[k] = static_cast<float>(std::sin(phase));
  }
  // n = q0 + 5 q1 + 15 q2 + 60 q3 + 240 q4 lands at q0 192 + q1 64 + q2 16 + q3 4 + q4.
  for (int n = 0; n < kN; ++n) {
    const int q0 = n % 5, q1 = (n / 5) % 3, q2 = (n / 15) % 4, q3 = (n / 60) % 4, q4 = n / 240;
    t.fft_source[q0 * 192 + q1 * 64 + q2 * 16 + q3 * 4 + q4] = static_cast<std::uint16_t>(n);
  }
  FillStageTwiddles(t, kTwiddleOffset5, 5, 192, 1);
  FillStageTwiddles(t, kTwiddleOffset3, 3, 64, 5);
  FillStageTwiddles(t, kTwiddleOffset4a, 4, 16, 15);
  FillStageTwiddles(t, kTwiddleOffset4b, 4, 4, 60);

  for (int i = 0; i < kHalf; ++i) {
    const double s = std::sin(0.5 * pi * (i + 0.5) / kHalf);
    t.window_half[i] = static_cast<float>(std::sin(0.5 * pi * s * s));
    t.window_full[i] = t.window_half[i];
    t.window_full[kN - 1 - i] = t.window_half[i];
  }
  constexpr float kScale = 1.0f / kN;
  for (int k = 0; k < kN; ++k) {
    const int n = t.fft_source[k];
    t.window_at_source[k] = t.window_full[n] * kScale;
    t.mirror_bin[k] = static_cast<std::uint16_t>(n < kDenoiseBins ? n : kN - n);
    t.imag_scale[k] = n < kDenoiseBins ? kScale : -kScale;
  }
  for (int n = 0; n < kDctSize; ++n)
    for (int k = 0; k < kDctSize; ++k) {
      float c = static_cast<float>(std::cos((n + 0.5) * k * pi / kDctSize));
      if (k == 0) c = static_cast<float>(c * std::sqrt(0.5));
      t.dct_coeffs[n * kDctSize + k] = c;
    }
  t.dct_scale = std::sqrt(2.0 / kDctSize);
  return t;
}

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

// All butterfly stages, innermost first, in place on digit-reversed input.
ORVO_ALWAYS_INLINE void Stages(float* re, float* im, const SharedTables& t) {
  const float* twr = t.stage_twiddle_re;
  const float* twi = t.stage_twiddle_im;
  Radix4Stage<1>(re, im, 240, nullptr, nullptr);
  Radix4Stage<4>(re, im, 60, twr + kTwiddleOffset4b, twi + kTwiddleOffset4b);
  Radix4Stage<16>(re, im, 15, twr + kTwiddleOffset4a, twi + kTwiddleOffset4a);
  Radix3Stage<64>(re, im, 5, twr + kTwiddleOffset3, twi + kTwiddleOffset3, t.twiddle_re[320],
                  t.twiddle_im[320]);
  Radix5Stage<192>(re, im, twr + kTwiddleOffset5, twi + kTwiddleOffset5, t.twiddle_re[192],
                   t.twiddle_im[192], t.twiddle_re[384], t.twiddle_im[384]);
}

void StagesBaseline(float* re, float* im, const SharedTables& t) {
  Stages(re, im, t);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void StagesAvx2(float* re, float* im, const SharedTables& t) {
  Stages(re, im, t);
}
#endif

void RunStages(float* re, float* im, const SharedTables& t) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return StagesAvx2(re, im, t);
#endif
  StagesBaseline(re, im, t);
}

}  // namespace

const SharedTables& GetSharedTables() {
  static const SharedTables tables = BuildSharedTables();
  return tables;
}

void fft960(const float* in_re, const float* in_im, float* out_re, float* out_im, float scale) {
  const SharedTables& t = GetSharedTables();
  for (int k = 0; k < kN; ++k) {
    out_re[k] = in_re[t.fft_source[k]] * scale;
    out_im[k] = in_im[t.fft_source[k]] * scale;
  }
  RunStages(out_re, out_im, t);
}

bool forward_transform(Cpx* out, const float* in, const DenoiseAllocator& alloc) {
  ScratchBlock work(alloc, kN * sizeof(Cpx));
  if (!work) {
    std::memset(out, 0, kDenoiseBins * sizeof(Cpx));
    return false;
  }
  const SharedTables& t = GetSharedTables();
  float* re = work.as<float>();
  float* im = re + kN;
  // Window and 1/960 while copying into digit-reversed order.
  for (int k = 0; k < kN; ++k)
    re[k] = in[t.fft_source[k]] * t.window_at_source[k];
  std::memset(im, 0, kN * sizeof(float));
  RunStages(re, im, t);
  for (int k = 0; k < kDenoiseBins; ++k)
    out[k] = {re[k], im[k]};
  return true;
}

bool inverse_transform(float* out, const Cpx* in, const DenoiseAllocator& alloc) {
  ScratchBlock work(alloc, kN * sizeof(Cpx));
  if (!work) {
    std::memset(out, 0, kN * sizeof(float));
    return false;
  }
  const SharedTables& t = GetSharedTables();
  float* re = work.as<float>();
  float* im = re + kN;
  // The full spectrum (bin 960 - n is the conjugate of bin n), scaled by 1/960, in digit-reversed
  // order.
  for (int k = 0; k < kN; ++k) {
    const Cpx v = in[t.mirror_bin[k]];
    re[k] = v.re * (1.0f / kN);
    im[k] = v.im * t.imag_scale[k];
  }
  RunStages(re, im, t);
  // Reading the forward transform backwards gives the inverse one; then the window.
  out[0] = kN * re[0] * t.window_full[0];
  for (int n = 1; n < kN; ++n)
    out[n] = kN * re[kN - n] * t.window_full[n];
  return true;
}

}  // namespace orvo
