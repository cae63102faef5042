// Post filter: the last spectral stage. Multiplies bins 1..480 of the chosen microphone's
// spectrum by real gains that grow with the near-end map, mutes the frame while the far end
// talks alone, raises its gains for a hangover after near-end speech and lowers its ceiling in
// steps when no near-end speech has been seen for long.
#pragma once

#include <cstdint>

#include "audio_core/near_end.hpp"
#include "audio_core/noise_psd.hpp"
#include "base/common.hpp"

namespace orvo {

constexpr int kGainRegions = 5;
// Region r covers [GainRegionEdges[r], GainRegionEdges[r + 1]), cut at bin 480 (inclusive).
inline constexpr int GainRegionEdges[kGainRegions + 1] = {0, 20, 80, 160, 320, 960};

// One gain row: slope of the gain over the tracked level, and the mean window width in bins
// (0: the region is processed bin by bin).
struct GainRow {
  float slope;
  int32_t width;
};

inline constexpr GainRow GainRowsNormal[kGainRegions] = {
    {0.0080246907f, 0},   // 0.65 / 81
    {0.0080246907f, 16},  // 0.65 / 81
    {0.0158536583f, 32},  // 0.65 / 41
    {0.0158536583f, 64},  // 0.65 / 41
    {0.0158536583f, 64},  // 0.65 / 41
};

inline constexpr GainRow GainRowsHangover[kGainRegions] = {
    {0.0238095243f, 0},   // 0.5 / 21
    {0.0238095243f, 16},  // 0.5 / 21
    {0.0238095243f, 32},  // 0.5 / 21
    {0.0238095243f, 64},  // 0.5 / 21
    {0.0238095243f, 64},  // 0.5 / 21
};

// Gain ceiling for release counts 0..4; 1.0 from 5 on.
constexpr int kCeilingSteps = 5;
inline constexpr float PostFilterCeiling[kCeilingSteps] = {0.1f, 0.41f, 0.51f, 0.64f, 0.8f};

struct PostFilterState {
  float tracked[kNumBins];         // tracked near-end level S[k] (bins 1..480 used)
  int32_t holdCount[kNumBins];     // smoothed decay steps since S[k] last rose
  int32_t hangover;                // frames left of the post-speech hangover
  float alpha;                     // decay smoothing, 1 - e^(-5/9)
  int32_t noiseFill;               // "NoiseFill" switch; cleared every frame, no effect
  int32_t noiseReduction;          // "Noise Reduction" switch
  int32_t echoSuppression;         // "Echo Suppression" switch (stored only)
  int32_t agcSwitch;               // "AGC" switch (stored only)
  float floorGain;                 // gain of bins without near-end speech (0.0 or 0.5)
  float hangOffset[kGainRegions];  // per-region gain offsets during the hangover
  float baseOffset[kGainRegions];  // per-region gain offsets outside the hangover
  float windowMean[kNumBins];      // scratch of one call: the input x of each bin 1..480
};

// A null record stops the process ("This != NULL").
void PostFilter_Create(PostFilterState* state);

// Bins without near-end speech are muted while the echo filter removes less than 10 dB of the
// echo (the smoothed echo return erleDb, in dB), and kept at half gain otherwise.
void PostFilter_FollowEchoReturn(PostFilterState& state, float erleDb);

// spectrum: 960 bins, bins 0..480 changed in place (bin 0 zeroed), 481..959 untouched.
// detector: nearMap and speechDetected are read. weights: passed through, not read.
// agcGain: 1.0 while the AGC is off. binGainTable: T[960], multiplies every gain.
// talkState: 1, 2 or 3. releaseCount: the detector's release counter L.
// strongMode: 1 when the denoise mode is 2 or more.
void PostFilter_Apply(Cpx* spectrum, const NearEndState& detector, const NoiseWeights& weights,
                      float agcGain, const float* binGainTable, int talkState, int releaseCount,
                      PostFilterState& state, int strongMode);

}  // namespace orvo
