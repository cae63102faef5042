// Residual-echo estimate and near-end speech detector.
//
// ResidualEcho_Estimate keeps a decaying peak of the echo power the echo filter reports and turns
// it into a per-bin estimate E[k] of the echo left in the residual. NearEnd_Detect marks the bins
// in which the residual beats that estimate (the near-end map), cleans isolated marks, and derives
// the frame flags, the weighted residual level and the post filter's release counter.
//
// Both stages work on bins 1..480, split into the six ParsPartTab regions (region 5 cut at 481).
#pragma once

#include <cstdint>

#include "audio_core/noise_psd.hpp"
#include "base/common.hpp"

namespace orvo {

struct EchoPeakState {
  float peak[kNumBins];               // decaying peak of the echo power per bin
  float echoEstimate[kNumBins];       // E[k]
  float regionFactor[kNumGroups];     // echo factor per region in talk state 3
  float regionThreshold[kNumGroups];  // minimum peak per region
  float echoLevel;                    // 2 * sum W[k] * peak[k] / 960 over bins 1..480
  float scale;                        // threshold scale, set by the pipeline before every call
};

struct NearEndState {
  float nearMap[kNumBins];     // M[k]; bins 0 and 481..959 stay 0
  float weightedLevel;         // sqrt(sum W[k] P[k] * 2.1701392e-6)
  int32_t speechDetected;      // this frame's map total > 2880
  int32_t speechFlag;          // speech flag with hangover (the engine's speech flag)
  int32_t strongSpeech;        // this frame's map total > 5280
  int32_t speechHold;          // hangover frames of speechFlag, 50 when set
  int32_t speechScore;         // 0..10
  int32_t silentFrames;        // frames since speechDetected was last set
  int32_t levelOverThreshold;  // this frame's low-band level test
  int32_t strongCount;         // strongSpeech frames since levelOverThreshold was last set
  int32_t releaseCount;        // the post filter's release counter L (55 when re-armed)
  int32_t cycleCount;          // frames since it was last cleared
  int32_t framesSinceLevel;    // frames since levelOverThreshold was last set
  float highBandPeak;          // peak follower of the near-end energy of regions 4 and 5
  // Scratch of the map cleaning: 1 where the map was marked before cleaning. Bins 0 and
  // 481..959 stay 0, so windows reaching past bin 480 count nothing there.
  int32_t marked[kNumBins];
  // Per-bin scratch of one call: W[k] P[k] and the near-end energy q[k], summed in bin order
  // after a vectorisable per-bin pass.
  float weightedPower[kNumBins];
  float nearEnergy[kNumBins];
};

// The three tuning values the detector reads.
struct NearEndTuning {
  float speechLevelThreshold = 5e8f;
  int32_t ceilingRelease = 0;
  float highBandWeight = 1.0f;
};

// Weighting table W[k] = 1 / ((1 - 0.9 cos w)^2 + sin^2 w), w = 6.2832 * 25 * k / 48000, for
// k = 0..959. Filled once at engine creation.
void BuildWeightingTable(float* W /*[960]*/);

// regionFactor 0.25, regionThreshold 1e7, everything else 0.
void EchoPeak_Create(EchoPeakState& state);

// Set-up before every ResidualEcho_Estimate: the threshold scale is a tenth of the tuning's
// noise-estimator scale, and every region factor is 0.25 again.
void ResidualEcho_Prepare(EchoPeakState& state, float noiseEstimatorScale);

// echoPower: |Y|^2 of the chosen microphone's echo estimate (960 floats); talkState 1, 2 or 3;
// W: the weighting table. ResidualEcho_Prepare sets state.scale and state.regionFactor first.
void ResidualEcho_Estimate(const float* echoPower, int talkState, const float* W,
                           EchoPeakState& state);

// Zeroes the record and checks the band table (a malformed table stops the process).
void NearEnd_Create(NearEndState* state);

// The band-table check of NearEnd_Create on an arbitrary six-entry table.
void NearEnd_CheckBandTable(const int* table /*[6]*/);

// residualPower: P[960], bins 0 and 481..959 are set to 0 here. echoEstimate: E[960] of the
// slot's EchoPeakState. strongMode: 1 when the denoise mode is 2 or more.
void NearEnd_Detect(float* residualPower, const float* echoEstimate, const NoiseWeights& weights,
                    int talkState, const float* W, const NearEndTuning& tuning, int strongMode,
                    NearEndState& state);

}  // namespace orvo
