#include "audio_core/echo_coupling.hpp"

#include <cmath>
#include <initializer_list>

namespace orvo {

namespace {

// Group trackers start at the power of a full-scale 1920-sample block (32767^2 * 1920); inputs
// below 1e-12 of it reach the gated stage as that value.
constexpr float kFullScaleBlockPower = 2061458472960.0f;
constexpr float kTrackerFloor = 2.0614583f;
constexpr int kGatedWindow = 50;
constexpr int kBaseWindow = 100;
constexpr float kTrackerSmooth = 0.25f;

constexpr float kStartRatio = 16.0f;
constexpr float kHighestRatio = 32.0f;
constexpr float kDefaultLowestRatio = 0.005f;
constexpr float kLiveMusicLowestRatio = 0.05f;
// Band kept around the ratio of group 1, and the absolute lowest ratio after the limits.
constexpr float kBandAboveGroup1 = 8.0f;
constexpr float kBandBelowGroup1 = 0.125f;
constexpr float kLimitedLowest = 0.1f;
// Band-weight presets and the ratio each forces.
constexpr float kPresetHigh = 100.0f;
constexpr float kPresetHighRatio = 2.0f;
constexpr float kPresetLow = 101.0f;
constexpr float kPresetLowRatio = 0.5f;
constexpr float kLearnRate = 0.2f;
// Far end clearly active: group power above ten times the group floor.
constexpr float kActiveFactor = 10.0f;
// Filter clearly cancelling: microphone power above six times the residual (7.8 dB).
constexpr float kCancelFactor = 6.0f;
// Keeps the ratio finite after a silent far end.
constexpr float kFarPowerGuard = 1e-7f;

// Groups 4 and 5 (bins 140 and up) weigh their echo power by 1.5.
constexpr float kEchoWeight[kNumGroups] = {1.0f, 1.0f, 1.0f, 1.0f, 1.5f, 1.5f};

// Follows a rise at once, a fall with the release factor.
inline void PeakFollow(float& smoothed, float value, float release) {
  if (value > smoothed)
    smoothed = value;
  else
    smoothed += release * (value - smoothed);
}

}  // namespace

void EchoCoupling_Init(EchoCoupling& record) {
  for (int g = 0; g < kNumGroups; ++g) {
    record.smoothedFarPower[g] = 0.0f;
    record.trackers[g] = MakeLevelTracker(kFullScaleBlockPower, kTrackerFloor, kGatedWindow,
                                          kBaseWindow, kTrackerSmooth);
  }
  for (int m = 0; m < kMaxMics; ++m) {
    for (int g = 0; g < kNumGroups; ++g) {
      record.smoothedEchoPower[m][g] = 0.0f;
      record.coupling[m][g] = kStartRatio;
    }
  }
  record.releaseFactor = static_cast<float>(1.0 - std::exp(-0.125));
  record.lowestRatio = kDefaultLowestRatio;
}

void EchoCoupling_Update(const float farGroupPow[kNumGroups],
                         const float echoGroupPow[kMaxMics][kNumGroups], int listCount,
                         const int32_t* MicList, const float micGroupPow[kMaxMics][kNumGroups],
                         const float residualGroupPow[kMaxMics][kNumGroups], EchoCoupling& record) {
  const float a = record.releaseFactor;
  for (int g = 0; g < kNumGroups; ++g) {
    const float far = farGroupPow[g];
    LevelTracker_Update(record.trackers[g], far);
    PeakFollow(record.smoothedFarPower[g], far, a);

    for (int i = 0; i < listCount; ++i) {
      const int m = MicList[i];
      PeakFollow(record.smoothedEchoPower[m][g], kEchoWeight[g] * echoGroupPow[m][g], a);
    }

    if (!(far > kActiveFactor * record.trackers[g].gatedLevel)) continue;
    const float lowest = record.lowestRatio;
    const float farRef = record.smoothedFarPower[g] + kFarPowerGuard;
    for (int i = 0; i < listCount; ++i) {
      const int m = MicList[i];
      if (!(micGroupPow[m][g] > kCancelFactor * residualGroupPow[m][g])) continue;
      float r = record.smoothedEchoPower[m][g] / farRef;
      if (r < lowest) r = lowest;
      if (r > kHighestRatio) r = kHighestRatio;
      float& c = record.coupling[m][g];
      c += kLearnRate * (r - c);
    }
  }
}

void EchoCoupling_SetLiveMusic(EchoCoupling& record, bool liveMusic) {
  record.lowestRatio = liveMusic ? kLiveMusicLowestRatio : kDefaultLowestRatio;
}

void EchoCoupling_LimitRatios(EchoCoupling& record, int numberOfMics) {
  for (int i = 0; i < numberOfMics; ++i) {
    float* c = record.coupling[i];
    const float upper = kBandAboveGroup1 * c[1];
    const float lower = c[1] * kBandBelowGroup1;
    for (int g : {0, 2, 3, 4, 5})
      if (c[g] > upper) c[g] = upper;
    if (c[0] < c[1]) c[0] = c[1];
    for (int g = 2; g < kNumGroups; ++g)
      if (c[g] < lower) c[g] = lower;
    for (int g = 0; g < kNumGroups; ++g)
      if (c[g] < kLimitedLowest) c[g] = kLimitedLowest;
  }
}

void EchoCoupling_ApplyPreset(EchoCoupling& record, int mic, float preset) {
  if (preset != kPresetHigh && preset != kPresetLow) return;
  for (float& c : record.coupling[mic])
    c = preset == kPresetHigh ? kPresetHighRatio : kPresetLowRatio;
}

}  // namespace orvo
