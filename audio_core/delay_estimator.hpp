// Far-end delay estimator: finds, in whole frames, how long the far-end signal takes to reach
// the chosen microphone, by correlating the slow fluctuations of five band energies of the
// microphone with those of the last 16 far-end frames. A lag that the bands agree on for more
// than 20 frames becomes the locked delay.
#pragma once

#include "base/common.hpp"

namespace orvo {

struct DelayEstimator {
  static constexpr int kBands = 5;
  static constexpr int kLags = 16;

  int32_t ringPos;  // history write position; moves down by one per frame
  float farDevHist[kBands][kLags];
  float farNormHist[kBands][kLags];
  float xcorr[kBands][kLags];
  float farFast[kBands];
  float farSlow[kBands];
  float micFast[kBands];
  float micSlow[kBands];
  float farDevPower[kBands];
  float micDevPower[kBands];
  float candidateDelay;  // the last frame's agreed lag
  int32_t stableCount;   // frames the agreed lag stayed within 2 of the candidate
  float lockedDelay;     // frames
};

struct DelayEstimate {
  int delay;      // frames, max(truncate(lockedDelay) - 1, 0)
  int confident;  // 1 when the locked lag is confirmed by this frame and the microphone is loud
};

// Clears every field except candidateDelay and stableCount, which carry over.
void DelayEstimator_Reset(DelayEstimator& est);

// One frame: the chosen microphone's spectrum (before echo cancellation) and the undelayed
// far-end spectrum.
DelayEstimate DelayEstimator_Update(DelayEstimator& est, const Cpx* mic, const Cpx* far);

}  // namespace orvo
