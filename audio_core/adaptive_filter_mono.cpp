#include "audio_core/adaptive_filter_mono.hpp"

#include <cstddef>
#include <cstring>

#include "audio_core/adaptive_filter_mono_kernels.hpp"
#include "base/check.hpp"

namespace orvo {

namespace {

constexpr float kMarginFarOnly = 100.0f;  // adaptation margin while the far end talks alone
constexpr float kMarginOther = 400.0f;    // far end silent or double talk
constexpr int kTalkFarOnly = 2;
constexpr int kRotationFrames = 10;  // the rotating part of the list moves every 10 frames
constexpr int kRotationStep = 7;

// The baseline band passes (four-float vectors).
void LowBandBaseline(const Cpx* far, const float cpl[kMaxMics][kNumGroups],
                     const NoisePsdState* noise, Cpx* const* mics, float margin,
                     AdaptiveFilterMono& s) {
  LowBandBody<V4>(far, cpl, noise, mics, margin, s);
}
void MidBandBaseline(const Cpx* far, const float cpl[kMaxMics][kNumGroups],
                     const NoisePsdState* noise, Cpx* const* mics, float margin,
                     AdaptiveFilterMono& s) {
  MidBandBody<V4>(far, cpl, noise, mics, margin, s);
}
void HighBandBaseline(const Cpx* far, const float cpl[kMaxMics][kNumGroups],
                      const NoisePsdState* noise, Cpx* const* mics, float margin,
                      AdaptiveFilterMono& s) {
  HighBandBody<V4>(far, cpl, noise, mics, margin, s);
}

void BuildMicList(int NumberOfMics, int BestMic, int secondaryMic, AdaptiveFilterMono& s) {
  for (int m = 0; m < NumberOfMics; ++m)
    s.residualTotal[m] = 0.0f;
  for (int g = 0; g < kNumGroups; ++g)
    s.farGroupPower[g] = 0.0f;
  for (int m = 0; m < kMaxMics; ++m) {
    for (int g = 0; g < kNumGroups; ++g) {
      s.echoGroupPower[m][g] = 0.0f;
      s.micGroupPower[m][g] = 0.0f;
      s.residualGroupPower[m][g] = 0.0f;
    }
  }

  s.MicList[0] = BestMic;
  if (NumberOfMics < 2) {
    s.listCount = 1;
    return;
  }
  if (NumberOfMics <= kAfMaxListed) {
    s.listCount = NumberOfMics;
    int n = 1;
    for (int m = 0; m < NumberOfMics; ++m)
      if (m != BestMic) s.MicList[n++] = m;
    return;
  }

  // More microphones than can be cancelled: BestMic, the secondary microphone, and a part that
  // rotates by 7 every 10 frames.
  s.listCount = kAfMaxListed;
  if (s.frameCounter % kRotationFrames == 0) {
    s.rotationStart += kRotationStep;
    if (s.rotationStart >= NumberOfMics) s.rotationStart -= NumberOfMics;
  }
  // A secondary microphone that is not a distinct valid microphone counts as none, so the
  // list never names a microphone twice or one out of range.
  const bool haveSecondary =
      secondaryMic >= 0 && secondaryMic < NumberOfMics && secondaryMic != BestMic;
  int n = 1;
  if (haveSecondary) s.MicList[n++] = secondaryMic;
  // The start is taken modulo the count in case the count fell since it was set.
  int m = s.rotationStart % NumberOfMics;
  while (n < kAfMaxListed) {
    if (m != BestMic && !(haveSecondary && m == secondaryMic)) s.MicList[n++] = m;
    m = (m + 1 == NumberOfMics) ? 0 : m + 1;
  }
}

}  // namespace

void AdaptiveFilterMono_Create(AdaptiveFilterMono* This, CpuLevel level) {
  ORVO_CHECK(This != NULL, "audio_core\\AdaptiveFilterMono");
  std::memset(static_cast<void*>(This), 0, sizeof(*This));
  This->level = CpuLevelSupported(level) ? level : CpuLevel::kBaseline;
}

void AdaptiveFilterMono_LowBand(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                                const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                float margin, AdaptiveFilterMono& state) {
  // The low band keeps its own 13-frame ring position; the first frame writes slot 1.
  state.lowRingPos = (state.lowRingPos + 1) % kAfLowTaps;
  switch (state.level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::AfLowBand(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
#endif
    default:
      return LowBandBaseline(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
  }
}

void AdaptiveFilterMono_MidBand(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                                const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                float margin, AdaptiveFilterMono& state) {
  switch (state.level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::AfMidBand(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
#endif
    default:
      return MidBandBaseline(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
  }
}

void AdaptiveFilterMono_HighBand(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                                 const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                 float margin, AdaptiveFilterMono& state) {
  switch (state.level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::AfHighBand(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
#endif
    default:
      return HighBandBaseline(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
  }
}

void AdaptiveFilterMono_Process(const Cpx* farSpectrum, int NumberOfMics,
                                const float coupling[kMaxMics][kNumGroups],
                                const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                int BestMic, int secondaryMic, int talkState,
                                AdaptiveFilterMono& state) {
  // clang-format off
  ORVO_CHECK(BestMic<NumberOfMics, "audio_core\\AdaptiveFilterMono");
  // clang-format on
  // Programming errors the list would turn into out-of-range accesses.
  ORVO_CHECK(BestMic >= 0, "audio_core\\AdaptiveFilterMono");
  ORVO_CHECK(NumberOfMics <= kMaxMics, "audio_core\\AdaptiveFilterMono");

  BuildMicList(NumberOfMics, BestMic, secondaryMic, state);
  const float margin = (talkState == kTalkFarOnly) ? kMarginFarOnly : kMarginOther;
  AdaptiveFilterMono_LowBand(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
  AdaptiveFilterMono_MidBand(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
  AdaptiveFilterMono_HighBand(farSpectrum, coupling, noiseRecords, micSpectra, margin, state);
  ++state.frameCounter;
}

}  // namespace orvo