// The filter bank's per-sample loops, written once and built once per processor level:
// filter_bank.cpp builds them for the baseline level, filter_bank_avx2.cpp for AVX2. Every loop
// works sample by sample with no sum carried across samples and no multiply and add fused, so
// all levels give the same bits; the compiler vectorises them to the width of the level.
#pragma once
// Eight-float vectors stay inside inlined helpers; GCC's note on their calling convention without
// AVX concerns no function boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstdint>
#include <cstring>

#include "base/common.hpp"

namespace orvo {

// One level's loops; every array holds kFrameSize samples.
struct FilterBankKernels {
  // e[n] = x[n] - 0.9 x[n - 1], x[-1] = previous.
  void (*preEmphasis)(const int16_t* x, float previous, float* e);
  // y[n] = h0[n] b0[n] + h1[n] b1[n] + h2[n] b2[n]
  void (*fold3)(float* y, const float* h0, const float* b0, const float* h1, const float* b1,
                const float* h2, const float* b2);
  // The synthesis output: adds t_m z_m to the six accumulation blocks q_m (acc[0] is output
  // next), then, sample by sample, v[n] = q_0[n] + 0.9 v[n - 1] with v[-1] = memory, converted
  // to 16 bits (truncation toward zero, saturating, NaN gives 0) into pcm, and q_0 cleared.
  // Returns v[959].
  float (*synthesisOutput)(float* const* acc, const float* const* t, const float* const* z,
                           float memory, int16_t* pcm);
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

// Eight floats; the baseline build splits them into two SSE2 vectors. All helpers are inlined.
typedef float V8 __attribute__((vector_size(32)));
typedef int I8 __attribute__((vector_size(32)));
typedef short S8 __attribute__((vector_size(16)));

ORVO_FB_INLINE V8 Load8(const float* p) {
  V8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

ORVO_FB_INLINE void Store8(float* p, V8 v) {
  std::memcpy(p, &v, sizeof v);
}

// Truncation toward zero of eight values. Values beyond the 16-bit range saturate (converting
// them as they are would be undefined); a NaN gives 0.
ORVO_FB_INLINE void ToPcm8(V8 x, int16_t* pcm) {
  const V8 zero = {};
  x = (x == x) ? x : zero;
  x = x < 32767.0f ? x : zero + 32767.0f;
  x = x > -32768.0f ? x : zero - 32768.0f;
  const S8 s = __builtin_convertvector(__builtin_convertvector(x, I8), S8);
  std::memcpy(pcm, &s, sizeof s);
}

// The de-emphasis is one chain from sample to sample and runs in sample order at every level
// (regrouping it, as a prefix scan over several samples would, rounds differently). The
// accumulation of the five later blocks and the conversion need nothing from that chain, so they
// advance beside it, eight samples at a time, in its shadow.
ORVO_FB_INLINE float SynthesisOutput(float* const* acc, const float* const* t,
                                     const float* const* z, float memory, int16_t* pcm) {
  static_assert(N % 8 == 0);
  float* q0 = acc[0];
  const V8 zero = {};
  for (int n0 = 0; n0 < N; n0 += 8) {
    float q[8];
    Store8(q, Load8(q0 + n0) + Load8(t[0] + n0) * Load8(z[0] + n0));
    float v[8];
    for (int j = 0; j < 8; ++j) {
      memory = q[j] + kEmphasis * memory;
      v[j] = memory;
    }
    for (int m = 1; m < 6; ++m)
      Store8(acc[m] + n0, Load8(acc[m] + n0) + Load8(t[m] + n0) * Load8(z[m] + n0));
    Store8(q0 + n0, zero);
    ToPcm8(Load8(v), pcm + n0);
  }
  return memory;
}

#undef ORVO_FB_INLINE

}  // namespace
}  // namespace filter_bank_detail

}  // namespace orvo
