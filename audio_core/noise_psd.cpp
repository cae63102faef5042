// Minimum-statistics noise estimator: the residual power of each bin is smoothed, its minimum is
// taken over windows of 51 frames, and the noise estimate follows the window minima with a fast
// fall and a slow rise. The inverse-noise weights are refreshed 24 bins per frame.
#include "audio_core/noise_psd.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "base/check.hpp"

namespace orvo {

namespace {

// Start values, kept as their exact float bit patterns.
constexpr float kStartLevel = std::bit_cast<float>(0x49FBA494u);      // 2061458.5
constexpr float kWindowMinReset = std::bit_cast<float>(0x53EFFC40u);  // 2.0614585e12

// Window length: the minimum is taken over 51 smoothed frames.
constexpr int32_t kWindowFrames = 51;
// Lowest noise estimate.
constexpr float kNoiseFloor = 10.0f;

// Inverse-noise weights: bins 29..199 (725 Hz to 4975 Hz) weigh twice as much.
constexpr float kSpeechBandWeight = std::bit_cast<float>(0x3F83EEF0u);  // 1.0307293
constexpr float kOtherBandWeight = std::bit_cast<float>(0x3F03EEF0u);   // 0.51536465
constexpr int kSpeechBandFirst = 29;
constexpr int kSpeechBandLast = 199;
constexpr int kWeightBinsPerCall = 24;

float OneMinusExp(double x) {
  return static_cast<float>(1.0 - std::exp(-x));
}

}  // namespace

// Start state of one microphone slot: smoothed power and noise estimate at 2061458.5 (a
// full-scale 1920-sample block, 32767^2 * 1920, scaled by 1e-6), the window minimum at 1e6 times
// that, and the three smoothing factors. The window count starts at 0, so the first window end
// comes with the 52nd un-held update. A null record is a programming error and stops the
// process.
void NoisePSD_Create(NoisePsdState* This) {
  ORVO_CHECK(This != NULL, "audio_core\\NoisePSD");
  for (int k = 0; k < kNumBins; ++k) {
    This->smoothed[k] = kStartLevel;
    This->windowMin[k] = kWindowMinReset;
    This->noise[k] = kStartLevel;
  }
  // The time constants are the float values of 2/7, 2.5 and 0.125 (in frames) taken to double.
  This->alphaSmooth = OneMinusExp(0.2857142686843872);
  This->alphaFall = OneMinusExp(2.499999761581421);
  This->alphaRise = OneMinusExp(0.1249999850988388);
  This->frameCount = 0;
}

void NoiseWeights_Init(NoiseWeights& weights) {
  for (float& w : weights.inverseNoise)
    w = 1e6f;
  weights.totalNoise = 0.0f;
  weights.runningSum = 0.0f;
  weights.nextBin = 1;
}

void NoisePSD_Update(const float* residualPower, int activityHold, NoisePsdState& state) {
  // While the microphone is active the estimate is frozen completely, window count included.
  if (activityHold > 0) return;

  const float alphaSmooth = state.alphaSmooth;
  for (int k = 0; k < kNumBins; ++k) {
    const float s = state.smoothed[k] + alphaSmooth * (residualPower[k] - state.smoothed[k]);
    state.smoothed[k] = s;
    state.windowMin[k] = (state.windowMin[k] > s) ? s : state.windowMin[k];
  }

  if (state.frameCount < kWindowFrames) {
    ++state.frameCount;
    return;
  }

  // Window end: follow the window minimum, then restart the window.
  state.frameCount = 0;
  const float alphaRise = state.alphaRise;
  const float alphaFall = state.alphaFall;
  for (int k = 0; k < kNumBins; ++k) {
    const float wm = state.windowMin[k];
    const float n0 = state.noise[k];
    const float a = (wm > n0) ? alphaRise : alphaFall;
    const float n = n0 + a * (wm - n0);
    state.noise[k] = (n < kNoiseFloor) ? kNoiseFloor : n;
    state.windowMin[k] = kWindowMinReset;
  }
  ++state.frameCount;
}

void NoisePSD_UpdateWeights(const float* noise, NoiseWeights& weights) {
  // A sweep over bins 1..959 takes 40 calls, keeping the divisions per frame few.
  const int first = weights.nextBin;
  const int end = (first + kWeightBinsPerCall < kNumBins) ? first + kWeightBinsPerCall : kNumBins;
  float sum = weights.runningSum;
  for (int k = first; k < end; ++k) {
    const float c =
        (k >= kSpeechBandFirst && k <= kSpeechBandLast) ? kSpeechBandWeight : kOtherBandWeight;
    weights.inverseNoise[k] = c / (noise[k] + 1.0f);
    sum += noise[k];
  }
  weights.nextBin = end;
  weights.runningSum = sum;
  if (end == kNumBins) {
    weights.totalNoise = sum;
    weights.runningSum = 0.0f;
    weights.nextBin = 1;
  }
}

}  // namespace orvo
