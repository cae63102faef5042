// The mono adaptive echo filter's band passes at the AVX2 level: one eight-float vector per
// block of eight bins.
#include "audio_core/adaptive_filter_mono_kernels.hpp"

namespace orvo::avx2 {

void AfLowBand(const Cpx* far, const float cpl[kMaxMics][kNumGroups], const NoisePsdState* noise,
               Cpx* const* mics, float margin, AdaptiveFilterMono& s) {
  LowBandBody<V8>(far, cpl, noise, mics, margin, s);
}

void AfMidBand(const Cpx* far, const float cpl[kMaxMics][kNumGroups], const NoisePsdState* noise,
               Cpx* const* mics, float margin, AdaptiveFilterMono& s) {
  MidBandBody<V8>(far, cpl, noise, mics, margin, s);
}

void AfHighBand(const Cpx* far, const float cpl[kMaxMics][kNumGroups], const NoisePsdState* noise,
                Cpx* const* mics, float margin, AdaptiveFilterMono& s) {
  HighBandBody<V8>(far, cpl, noise, mics, margin, s);
}

}  // namespace orvo::avx2
