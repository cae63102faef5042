// The filter bank's per-sample loops, written once and built once per processor level:
// filter_bank.cpp builds them for the baseline level, filter_bank_avx2.cpp for AVX2. Every loop
// works sample by sample with no sum carried across samples and no multiply and add fused, so
// all levels give the same bits; the compiler vectorises them to the width of the level.
#pragma once

#include <cstdint>

#include "audio_core/common.hpp"

namespace orvo {

// One level's loops; every array holds kFrameSize samples.
struct FilterBankKernels {
  // e[n] = x[n] - 0.9 x[n - 1], x[-1] = previous.
  void (*preEmphasis)(const int16_t* x, float previous, float* e);
  // y[n] = h0[n] b0[n] + h1[n] b1[n] + h2[n] b2[n]
  void (*fold3)(float* y, const float* h0, const float* b0, const float* h1, const float* b1,
                const float* h2, const float* b2);
  // q[n] += t[n] z[n]
  void (*accumulate)(float* q, const float* t, const float* z);
  // 16-bit conversion by truncation toward zero, saturating; a NaN gives 0.
  void (*toPcm)(const float* v, int16_t* pcm);
};

namespace avx2 {
extern const FilterBankKernels kFilterBankKernels;  // filter_bank_avx2.cpp
}  // namespace avx2

namespace filter_bank_detail {
namespace {

#define ORVO_FB_INLINE inline __attribute__((always_inline))

constexpr int N = kFrameSize;
constexpr float kEmphasis = 0.9f;

// e[n] = x[n] - 0.9 x[n - 1], x[-1] = previous.
ORVO_FB_INLINE void PreEmphasis(const int16_t* __restrict x, float previous, float* __restrict e) {
  e[0] = static_cast<float>(x[0]) - kEmphasis * previous;
  for (int n = 1; n < N; ++n)
    e[n] = static_cast<float>(x[n]) - kEmphasis * static_cast<float>(x[n - 1]);
}

// y[n] = h0[n] b0[n] + h1[n] b1[n] + h2[n] b2[n]
ORVO_FB_INLINE void Fold3(float* __restrict y, const float* __restrict h0,
                          const float* __restrict b0, const float* __restrict h1,
                          const float* __restrict b1, const float* __restrict h2,
                          const float* __restrict b2) {
  for (int n = 0; n < N; ++n)
    y[n] = h0[n] * b0[n] + h1[n] * b1[n] + h2[n] * b2[n];
}

// q[n] += t[n] z[n]
ORVO_FB_INLINE void Accumulate(float* __restrict q, const float* __restrict t,
                               const float* __restrict z) {
  for (int n = 0; n < N; ++n)
    q[n] += t[n] * z[n];
}

// Truncation toward zero. Values beyond the 16-bit range saturate (converting them as they are
// would be undefined); a NaN gives 0.
ORVO_FB_INLINE void ToPcm(const float* __restrict v, int16_t* __restrict pcm) {
  for (int n = 0; n < N; ++n) {
    float x = v[n];
    x = (x == x) ? x : 0.0f;
    x = x < 32767.0f ? x : 32767.0f;
    x = x > -32768.0f ? x : -32768.0f;
    pcm[n] = static_cast<int16_t>(static_cast<int>(x));
  }
}

#undef ORVO_FB_INLINE

}  // namespace
}  // namespace filter_bank_detail

}  // namespace orvo
