// Kernels of the neural noise suppressor's frame, written once and built once per processor
// level: noise_suppressor.cpp builds them for the baseline level, noise_suppressor_avx2.cpp for
// AVX2. Every sum runs in the same order at every level, and a multiply and an add are fused
// only where the product is exact, so all levels give the same bits.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/check.hpp"
#include "denoise/denoise_simd.hpp"
#include "denoise/noise_suppressor.hpp"

namespace orvo {

// Per bin below 400: its band segment b (between the centres of bands b and b + 1) and its
// position in it, frac = j / width, with 1 - frac beside it.
struct BandLayout {
  std::uint8_t band[kGainedBins];
  float frac[kGainedBins];
  float rest[kGainedBins];
};

// The layout, built once (noise_suppressor.cpp).
const BandLayout& GetBandLayout();

// One level's kernels.
struct SuppressorKernels {
  // Band energies of X and of P and band correlations of X and P together.
  void (*bandEnergiesAndCorr)(float* Ex, float* Ep, float* Exp, const Cpx* X, const Cpx* P);
  void (*applyBinGains)(Cpx* X, const float* gf);
  // The input high-pass over n samples.
  void (*highpass)(float* state, float* y, const float* x, int n);
  // The high-pass over one hop while the first autocorrelation terms of the pitch analysis
  // advance in `prefix`.
  void (*highpassPrefix)(float* state, float* y, const float* x, AutocorrPrefix* prefix);
  void (*pitchFilter)(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                      const float* g);
  bool (*smoothAndFreeze)(DenoiserState& st, float* g, int speechFlag, float* gf);
};

namespace avx2 {
extern const SuppressorKernels kSuppressorKernels;  // noise_suppressor_avx2.cpp
}  // namespace avx2

namespace {

// High-pass coefficients, as floats: b = (-2, 1), a = (-1.99599, 0.996).
constexpr float kHighpassB1 = -2.0f;
constexpr float kHighpassB2 = 1.0f;
constexpr float kHighpassA1 = -1.99599f;
constexpr float kHighpassA2 = 0.996f;
static_assert(std::bit_cast<std::uint32_t>(kHighpassA1) == 0xBFFF7C9Au);
static_assert(std::bit_cast<std::uint32_t>(kHighpassA2) == 0x3F7EF9DBu);

constexpr float kGainDecay = 0.97f;    // a band gain falls by at most 3 % per hop
constexpr float kFreezeGain = 0.333f;  // a bin below this counts as pulled down
constexpr int kFreezeFirstBin = 4;     // 200 Hz
constexpr int kFreezeLastBin = 79;     // 3950 Hz
constexpr int kFreezeMinBins = 15;
inline float Max(float a, float b) {
  return a > b ? a : b;
}

// Band sums. Band b collects the terms t(k) of its lower segment (bins from its centre up to the
// next one) weighted by 1 - frac and those of the segment below it weighted by frac, each sum in
// bin order: segment b first adds rest[k] t(k) to the sum of band b (which already holds the
// frac terms of segment b - 1) and starts band b + 1 with frac[k] t(k). The weighted terms are
// computed first, side by side; the additions then run as chains. Two walkers share the loop
// so that their chains overlap: one over segments 0 to 17 (bins 0 .. 191), one over segments
// 18 to 20 (bins 192 .. 399). The second cannot start band 18 before the first has finished band
// 18's lower part, so its lower-segment sum of segment 18 is added afterwards.

constexpr int kSplitSegment = 18;
constexpr int kSplitBin = band_edges[kSplitSegment] << 2;  // 192

struct BandTerms {
  float lower[kGainedBins];  // rest[k] t(k): to the band below bin k
  float upper[kGainedBins];  // frac[k] t(k): to the band above
};

// Sums of K sets of weighted terms into K sets of 22 band values.
template <int K>
ORVO_ALWAYS_INLINE void SumBands(float* const (&out)[K], const BandTerms* const (&terms)[K]) {
  float lo_a[K], hi_a[K], lo_b[K], hi_b[K];
  for (int j = 0; j < K; ++j)
    lo_a[j] = hi_a[j] = lo_b[j] = hi_b[j] = 0.0f;
  int band_a = 0, end_a = band_edges[1] << 2;
  int band_b = kSplitSegment, end_b = band_edges[kSplitSegment + 1] << 2;
  const int span_b = kGainedBins - kSplitBin;
  for (int i = 0; i < span_b; ++i) {
    if (i < kSplitBin) {
      for (int j = 0; j < K; ++j) {
        lo_a[j] += terms[j]->lower[i];
        hi_a[j] += terms[j]->upper[i];
      }
      if (i + 1 == end_a) {
        for (int j = 0; j < K; ++j) {
          out[j][band_a] = lo_a[j];
          lo_a[j] = hi_a[j];
          hi_a[j] = 0.0f;
        }
        ++band_a;
        end_a = band_edges[band_a + 1] << 2;
      }
    }
    const int k = kSplitBin + i;
    for (int j = 0; j < K; ++j) {
      lo_b[j] += terms[j]->lower[k];  // segment 18: replaced below
      hi_b[j] += terms[j]->upper[k];
    }
    if (k + 1 == end_b) {
      for (int j = 0; j < K; ++j) {
        if (band_b != kSplitSegment) out[j][band_b] = lo_b[j];
        lo_b[j] = hi_b[j];
        hi_b[j] = 0.0f;
      }
      ++band_b;
      if (band_b < kDenoiseBands - 1) end_b = band_edges[band_b + 1] << 2;
    }
  }
  // Band 18: the frac terms of segment 17 (the first walker's carry), then segment 18's own.
  const int end18 = band_edges[kSplitSegment + 1] << 2;
  for (int j = 0; j < K; ++j) {
    float lo = lo_a[j];
    for (int k = kSplitBin; k < end18; ++k)
      lo += terms[j]->lower[k];
    out[j][kSplitSegment] = lo;
    out[j][kDenoiseBands - 1] = lo_b[j];
    out[j][0] *= 2.0f;
    out[j][kDenoiseBands - 1] *= 2.0f;
  }
}

ORVO_ALWAYS_INLINE void EnergyTerms(BandTerms& t, const Cpx* X) {
  const BandLayout& l = GetBandLayout();
  for (int k = 0; k < kGainedBins; ++k) {
    float e = X[k].re * X[k].re;
    e = e + X[k].im * X[k].im;
    t.lower[k] = l.rest[k] * e;
    t.upper[k] = l.frac[k] * e;
  }
}

ORVO_ALWAYS_INLINE void CorrTerms(BandTerms& t, const Cpx* X, const Cpx* P) {
  const BandLayout& l = GetBandLayout();
  for (int k = 0; k < kGainedBins; ++k) {
    float c = X[k].re * P[k].re;
    c = c + X[k].im * P[k].im;
    t.lower[k] = l.rest[k] * c;
    t.upper[k] = l.frac[k] * c;
  }
}

// Band energies of X and of P and band correlations of X and P together.
ORVO_ALWAYS_INLINE void BandEnergiesAndCorrBody(float* Ex, float* Ep, float* Exp, const Cpx* X,
                                                const Cpx* P) {
  BandTerms tx, tp, tc;
  EnergyTerms(tx, X);
  EnergyTerms(tp, P);
  CorrTerms(tc, X, P);
  float* const out[3] = {Ex, Ep, Exp};
  const BandTerms* const terms[3] = {&tx, &tp, &tc};
  SumBands<3>(out, terms);
}

// The bin-by-bin loops of the frame (plain loops, vectorised by the compiler to the width of
// the level). Same operations at every level.

ORVO_ALWAYS_INLINE void ApplyBinGainsBody(Cpx* X, const float* gf) {
  for (int k = 0; k < kDenoiseFreqBins; ++k) {
    X[k].re *= gf[k];
    X[k].im *= gf[k];
  }
}

ORVO_ALWAYS_INLINE void InterpBandGainBody(float* g, const float* bandE) {
  const BandLayout& l = GetBandLayout();
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const float lo = bandE[b];
    const float hi = bandE[b + 1];
    for (int k = band_edges[b] << 2; k < band_edges[b + 1] << 2; ++k)
      g[k] = l.rest[k] * lo + l.frac[k] * hi;
  }
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k)
    g[k] = 0.0f;
}

// The products of the double-precision updates are exact (float times float), so each update
// has a single rounding; a fused multiply-add computes exactly the same value with a shorter
// chain from one sample to the next.
//
// The filter is one long chain from sample to sample, so other independent chains can run in
// its shadow: with `prefix`, the first autocorrelation terms of the pitch analysis advance in the
// same loop (kAutocorrPrefix steps over the hop).
template <bool kFused, bool kPrefix>
ORVO_ALWAYS_INLINE void Highpass(float* state, float* y, const float* x, int n,
                                 AutocorrPrefix* prefix) {
  constexpr double b1 = kHighpassB1, b2 = kHighpassB2, a1 = kHighpassA1, a2 = kHighpassA2;
  float m0 = state[0];
  float m1 = state[1];
  for (int i = 0; i < n; ++i) {
    const float u = x[i];
    const float yi = u + m0;
    const double ud = u, yd = yi;
    if constexpr (kFused) {
      m0 = static_cast<float>(m1 + __builtin_fma(-a1, yd, b1 * ud));
      m1 = static_cast<float>(__builtin_fma(-a2, yd, b2 * ud));
    } else {
      m0 = static_cast<float>(m1 + (b1 * ud - a1 * yd));
      m1 = static_cast<float>(b2 * ud - a2 * yd);
    }
    y[i] = yi;
    if constexpr (kPrefix) {
      prefix->Step();
      if (i < kAutocorrPrefix - kDenoiseHop) prefix->Step();
    }
  }
  state[0] = m0;
  state[1] = m1;
}

ORVO_ALWAYS_INLINE void PitchFilterBody(Cpx* X, const Cpx* P, const float* Ex, const float* Ep,
                                        const float* Exp, const float* g) {
  float r[kDenoiseBands];
  for (int b = 0; b < kDenoiseBands; ++b) {
    float rb;
    if (Exp[b] > g[b]) {
      rb = 1.0f;
    } else {
      const float e2 = Exp[b] * Exp[b];
      const float g2 = g[b] * g[b];
      const float num = e2 * (1.0f - g2);
      rb = static_cast<float>(num / (0.001 + static_cast<double>(g2 * (1.0f - e2))));
    }
    float c = 0.0f > rb ? 0.0f : rb;
    c = 1.0f < c ? 1.0f : c;
    rb = static_cast<float>(std::sqrt(static_cast<double>(c)));
    r[b] = static_cast<float>(rb * std::sqrt(Ex[b] / (1e-8 + static_cast<double>(Ep[b]))));
  }
  // X += rf P with rf the band values r interpolated to the bins (0 from bin 400 on), and the
  // weighted energy terms of the result on the way.
  const BandLayout& l = GetBandLayout();
  BandTerms terms;
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const float lo = r[b];
    const float hi = r[b + 1];
    for (int k = band_edges[b] << 2; k < band_edges[b + 1] << 2; ++k) {
      const float rf = l.rest[k] * lo + l.frac[k] * hi;
      X[k].re += rf * P[k].re;
      X[k].im += rf * P[k].im;
      float e = X[k].re * X[k].re;
      e = e + X[k].im * X[k].im;
      terms.lower[k] = l.rest[k] * e;
      terms.upper[k] = l.frac[k] * e;
    }
  }
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k) {
    X[k].re += 0.0f * P[k].re;
    X[k].im += 0.0f * P[k].im;
  }
  float newE[kDenoiseBands];
  {
    float* const out[1] = {newE};
    const BandTerms* const t[1] = {&terms};
    SumBands<1>(out, t);
  }
  float norm[kDenoiseBands];
  for (int b = 0; b < kDenoiseBands; ++b)
    norm[b] = static_cast<float>(std::sqrt(Ex[b] / (1e-8 + static_cast<double>(newE[b]))));
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const float lo = norm[b];
    const float hi = norm[b + 1];
    for (int k = band_edges[b] << 2; k < band_edges[b + 1] << 2; ++k) {
      const float normf = l.rest[k] * lo + l.frac[k] * hi;
      X[k].re *= normf;
      X[k].im *= normf;
    }
  }
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k) {
    X[k].re *= 0.0f;
    X[k].im *= 0.0f;
  }
}

ORVO_ALWAYS_INLINE bool SmoothAndFreezeBody(DenoiserState& st, float* g, int speechFlag,
                                            float* gf) {
  for (int b = 0; b < kDenoiseBands; ++b) {
    float v = Max(g[b], kGainDecay * st.prev_band_gains[b]);
    g[b] = Max(v, st.gain_floor);
  }
  InterpBandGainBody(gf, g);
  int pulled_down = 0;
  for (int k = kFreezeFirstBin; k <= kFreezeLastBin; ++k)
    if (gf[k] < kFreezeGain) ++pulled_down;
  if (pulled_down < kFreezeMinBins || speechFlag == 0) {
    std::memcpy(st.prev_band_gains, g, sizeof st.prev_band_gains);
    std::memcpy(st.saved_bin_gains, gf, sizeof st.saved_bin_gains);
    return false;
  }
  std::memcpy(gf, st.saved_bin_gains, sizeof st.saved_bin_gains);
  return true;
}

}  // namespace

}  // namespace orvo
