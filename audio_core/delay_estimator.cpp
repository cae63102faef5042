#include "audio_core/delay_estimator.hpp"

#include <cmath>

namespace orvo {

namespace {

constexpr int kBandFirstBin = 9;  // band b covers bins 9 + 16b .. 23 + 16b
constexpr int kBandStride = 16;
constexpr int kBandWidth = 15;
constexpr float kFast = 0.2f;
constexpr float kSlow = 0.025f;

float BandEnergy(const Cpx* s, int band) {
  const int first = kBandFirstBin + kBandStride * band;
  float e = 0.0f;
  for (int k = first; k < first + kBandWidth; ++k)
    e += s[k].re * s[k].re + s[k].im * s[k].im;
  return e;
}

}  // namespace

void DelayEstimator_Reset(DelayEstimator& est) {
  const float candidate = est.candidateDelay;
  const int32_t stable = est.stableCount;
  est = DelayEstimator{};
  est.candidateDelay = candidate;
  est.stableCount = stable;
}

DelayEstimate DelayEstimator_Update(DelayEstimator& est, const Cpx* mic, const Cpx* far) {
  constexpr int B = DelayEstimator::kBands;
  constexpr int kLags = DelayEstimator::kLags;
  const int w = est.ringPos;
  int locked = static_cast<int>(est.lockedDelay);
  if (locked < 0 || locked >= kLags) locked = 0;

  float micEnergy[B];
  int bestLag[B];
  float bestValue[B];
  float lockedSum = 0.0f;
  for (int b = 0; b < B; ++b) {
    micEnergy[b] = BandEnergy(mic, b);
    const float f = std::sqrt(BandEnergy(far, b));
    const float m = std::sqrt(micEnergy[b]);
    est.farFast[b] = 0.8f * est.farFast[b] + kFast * f;
    est.micFast[b] = 0.8f * est.micFast[b] + kFast * m;
    est.farSlow[b] = 0.975f * est.farSlow[b] + kSlow * f;
    est.micSlow[b] = 0.975f * est.micSlow[b] + kSlow * m;
    const float dF = est.farFast[b] - est.farSlow[b];
    const float dM = est.micFast[b] - est.micSlow[b];
    est.farDevHist[b][w] = dF;
    est.farDevPower[b] = 0.975f * est.farDevPower[b] + kSlow * dF * dF;
    est.farNormHist[b][w] = 1.0f / (std::sqrt(est.farDevPower[b]) + 0.001f);
    est.micDevPower[b] = 0.975f * est.micDevPower[b] + kSlow * dM * dM;
    const float nM = 1.0f / (std::sqrt(est.micDevPower[b]) + 0.001f);

    bestLag[b] = 0;
    bestValue[b] = 0.0f;
    for (int k = 0; k < kLags; ++k) {
      const int j = (w + k) & (kLags - 1);
      est.xcorr[b][k] = 0.975f * est.xcorr[b][k] + kSlow * dM * est.farDevHist[b][j];
      const float c = est.farNormHist[b][j] * est.xcorr[b][k] * nM;
      if (c > bestValue[b]) {
        bestValue[b] = c;
        bestLag[b] = k;
      }
    }
    const int j = (w + locked) & (kLags - 1);
    lockedSum += est.farNormHist[b][j] * est.xcorr[b][locked] * nM;
  }

  int lagSum = 0;
  float valueSum = 0.0f;
  for (int b = 0; b < B; ++b) {
    lagSum += bestLag[b];
    valueSum += bestValue[b];
  }
  const float M = 0.2f * static_cast<float>(lagSum);
  const float V = 0.2f * valueSum;
  float S = 0.0f;
  for (int b = 0; b < B; ++b) {
    const float spread = std::fabs(M - static_cast<float>(bestLag[b]));
    if (spread > S) S = spread;
  }

  if (V > 0.9f && S < 2.0f && M >= 0.0f && M < 14.0f) {
    if (std::fabs(est.candidateDelay - M) < 2.0f) {
      ++est.stableCount;
    } else {
      est.stableCount = 0;
    }
    est.candidateDelay = M;
    if (est.stableCount > 20) {
      est.lockedDelay = M;
      est.stableCount = 0;
    }
  } else {
    est.stableCount = 0;
  }

  DelayEstimate result;
  result.confident = (0.2f * lockedSum > 0.9f && est.lockedDelay >= 0.0f &&
                      std::fabs(est.lockedDelay - M) < 2.0f && S < 2.0f && micEnergy[2] >= 20000.0f)
                         ? 1
                         : 0;
  est.ringPos = w - 1 < 0 ? kLags - 1 : w - 1;
  const int estimate = static_cast<int>(est.lockedDelay) - 1;
  result.delay = estimate < 0 ? 0 : estimate;
  return result;
}

}  // namespace orvo
