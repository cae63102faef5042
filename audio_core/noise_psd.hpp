// Minimum-statistics noise estimator per microphone slot, and the inverse-noise weights derived
// from it.
#pragma once

#include "base/common.hpp"

namespace orvo {

struct NoisePsdState {
  float smoothed[kNumBins];   // recursively smoothed residual power S[k]
  float windowMin[kNumBins];  // minimum of S[k] since the last window end
  float noise[kNumBins];      // noise power estimate N[k]
  float alphaSmooth;
  float alphaFall;
  float alphaRise;
  int32_t frameCount;  // frames since the last window end
};

struct NoiseWeights {
  float inverseNoise[kNumBins];  // W1[k] = c_k / (N[k] + 1)
  float totalNoise;              // sum of N over bins 1..959 of the last complete sweep
  float runningSum;              // sum of the current sweep
  int32_t nextBin;               // first bin of the next refresh step
};

void NoisePSD_Create(NoisePsdState* state);
void NoiseWeights_Init(NoiseWeights& weights);
void NoisePSD_Update(const float* residualPower, int activityHold, NoisePsdState& state);
void NoisePSD_UpdateWeights(const float* noise, NoiseWeights& weights);

}  // namespace orvo
