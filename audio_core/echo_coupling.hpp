// Echo coupling estimator: per microphone and band group, the ratio of the echo power that the
// adaptive filter models to the far-end power. The adaptive filter uses it to decide where echo
// can stand above the noise; the double-talk detector uses it to predict the residual that the
// far end alone can explain. It learns only while the far end is clearly active in the group and
// the filter clearly cancels there.
#pragma once

#include <cstdint>

#include "audio_core/level_tracker.hpp"
#include "base/common.hpp"

namespace orvo {

struct EchoCoupling {
  float smoothedFarPower[kNumGroups];             // peak-following far-end group power
  LevelTracker trackers[kNumGroups];              // far-end floor per group (gatedLevel)
  float smoothedEchoPower[kMaxMics][kNumGroups];  // peak-following echo power
  float coupling[kMaxMics][kNumGroups];           // coupling ratio, the filters' `coupling`
  float releaseFactor;                            // 1 - e^(-0.125)
  float lowestRatio;                              // lower limit of a learnt ratio
};

void EchoCoupling_Init(EchoCoupling& record);

// One frame. The first six arguments are this frame's outputs of the adaptive filter: far-end
// group power, echo group power, list count and `MicList`, microphone group power (before
// cancellation) and residual group power.
void EchoCoupling_Update(const float farGroupPow[kNumGroups],
                         const float echoGroupPow[kMaxMics][kNumGroups], int listCount,
                         const int32_t* MicList, const float micGroupPow[kMaxMics][kNumGroups],
                         const float residualGroupPow[kMaxMics][kNumGroups], EchoCoupling& record);

// Live-music mode lets learnt ratios fall only to 0.05 instead of 0.005.
void EchoCoupling_SetLiveMusic(EchoCoupling& record, bool liveMusic);

// Keeps each of the first numberOfMics channels' ratios within a band around the ratio of group
// 1: at most eight times it, group 0 at least it, groups 2 to 5 at least an eighth of it; and
// every ratio at least 0.1.
void EchoCoupling_LimitRatios(EchoCoupling& record, int numberOfMics);

// The band-weight preset forces one microphone's six ratios: 100.0 sets them to 2.0, 101.0 to
// 0.5; any other value leaves them.
void EchoCoupling_ApplyPreset(EchoCoupling& record, int mic, float preset);

}  // namespace orvo
