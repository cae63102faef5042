#include "audio_core/agc.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

namespace orvo {
namespace {

// 4095.8354, 2047.9177 and 1023.9589 as the engine stores them (the last one is not the float
// nearest to its decimal).
constexpr float kTarget = std::bit_cast<float>(0x457FFD5Eu);
constexpr float kLowest = std::bit_cast<float>(0x44FFFD5Eu);
constexpr float kFloor = std::bit_cast<float>(0x447FFD5Eu);

// A fresh record; with `peak`, level and peak set so that T stays fixed for levels up to the floor.
Agc Fresh(float peak = 0.0f) {
  Agc a;
  std::memset(&a, 0x5b, sizeof(a));
  Agc_Create(a);
  if (peak > 0.0f) {
    a.level = kFloor;
    a.runningMax = a.peakLevel = peak;
  }
  return a;
}

TEST(Agc, TargetGainIsTwoUpToTheFloorOneFromTwiceItAndBetweenTheQuotient) {
  for (const float peak : {kFloor, 500.0f, kLowest, 3000.0f, 1500.0f}) {
    Agc a = Fresh(peak);
    if (peak > kFloor) a.level = peak;
    float smoothed = 0.1f;
    Agc_Update(1, 0.0f, a, smoothed);
    const float T = peak <= kFloor ? 2.0f : peak >= kLowest ? 1.0f : kTarget / (2.0f * a.peakLevel);
    const float tolerance = peak > kFloor && peak < kLowest ? 1e-6f : 0.0f;  // exact at the limits
    EXPECT_NEAR(a.rawGain, T, tolerance) << peak;
    EXPECT_NEAR(a.outputGain, 9.0f * T, 9.0f * tolerance) << peak;
  }
}

TEST(Agc, CreateThenFirstSpeechFrameSetsNineTimesT) {
  Agc a = Fresh();
  EXPECT_EQ(std::tuple(a.lowestDenominator, a.candidateMax, a.resetValue, a.shortWindow,
                       a.longWindow, a.outputGain, a.gainScale, kAgcSmoothedGainStart),
            std::tuple(kLowest, kFloor, kFloor, 5, 15, 1.0f, 9.0f, 0.1f));
  EXPECT_EQ(std::tuple(a.levelSmoothing, a.peakSmoothing, a.idleSmoothing),
            std::tuple(static_cast<float>(1.0 - std::exp(-0.2)),
                       static_cast<float>(1.0 - std::exp(-0.05)),
                       static_cast<float>(1.0 - std::exp(-0.01))));
  float smoothed = kAgcSmoothedGainStart;
  Agc_Update(1, 100.0f, a, smoothed);
  // Level 4095.8354 falls towards the floor; the running maximum takes it, the peak follows.
  const float level = kTarget + (kFloor - kTarget) * a.levelSmoothing;
  EXPECT_EQ(std::tuple(a.level, a.runningMax, a.counter, a.speechHold, a.peakLevel),
            std::tuple(level, level, 0, 100, kTarget + (level - kTarget) * a.peakSmoothing));
  EXPECT_FLOAT_EQ(a.gainCeiling, 1621.8838f / 100.0f);
  // 2 * peak is above 4095.8354: T = 1.0, taken at once.
  EXPECT_EQ(std::pair(a.rawGain, a.outputGain), std::pair(1.0f, 9.0f));
  EXPECT_EQ(smoothed, static_cast<float>(0.9 * 0.1f + 0.1 * 9.0));
}

TEST(Agc, CeilingBindsThenRecoversOverTwoHundredFrames) {
  Agc a = Fresh(kFloor);  // T = 2.0 throughout
  a.rawGain = 1.5f;
  float smoothed = 0.1f;
  // Ceiling 1621.8838 / 1000 = 1.62: below T but above the raw gain, so no binding.
  Agc_Update(1, 1000.0f, a, smoothed);
  EXPECT_EQ(std::pair(a.rampCounter, a.rawGain), std::pair(0, 2.0f));
  // Level 1023.9589 puts the ceiling at 1.584, below both.
  Agc_Update(1, kFloor, a, smoothed);
  const float ceiling = 1621.8838f / (kFloor + 1e-5f);
  EXPECT_EQ(std::tuple(a.gainCeiling, a.rawGain, a.rampCounter, a.outputGain),
            std::tuple(ceiling, ceiling, 200, 9.0f * ceiling));
  // A quieter level lifts the ceiling above T: 175 slow frames, then 25 faster ones.
  float previous = a.rawGain;
  for (int frame = 1; frame <= 200; ++frame) {
    Agc_Update(1, 500.0f, a, smoothed);
    ASSERT_EQ(a.rampCounter, 200 - frame);
    const float expectedStep = (frame <= 175 ? 0.005f : 0.05f) * (2.0f - previous);
    ASSERT_NEAR(a.rawGain - previous, expectedStep, 1e-5f) << frame;
    previous = a.rawGain;
  }
  Agc_Update(1, 500.0f, a, smoothed);
  EXPECT_EQ(std::pair(a.rawGain, a.outputGain), std::pair(2.0f, 18.0f));
  Agc_Update(1, 0.0f, a, smoothed);  // a zero level gives no ceiling in practice
  EXPECT_FLOAT_EQ(a.gainCeiling, 1621.8838f / 1e-5f);
}

TEST(Agc, IdlePathAfterHundredFramesWithoutSpeech) {
  Agc a = Fresh(kFloor);
  float smoothed = 0.1f;
  Agc_Update(1, 0.0f, a, smoothed);
  for (int i = 1; i <= 99; ++i)  // T unchanged, the peak not tracked
    Agc_Update(0, 0.0f, a, smoothed);
  EXPECT_EQ(std::pair(a.speechHold, a.outputGain), std::pair(1, 18.0f));
  a.counter = 7;
  const float smoothedBefore = smoothed;  // not updated on the idle path
  Agc_Update(0, 0.0f, a, smoothed);
  EXPECT_EQ(
      std::tuple(a.speechHold, a.counter, a.runningMax, a.candidateMax, a.rampCounter, smoothed),
      std::tuple(0, 0, kFloor, kFloor, 50, smoothedBefore));
  const float drifted = 18.0f + (0.5f * smoothed - 18.0f) * a.idleSmoothing;
  EXPECT_EQ(std::pair(a.outputGain, a.rawGain), std::pair(drifted, drifted / 9.0f));
  // The next speech frame starts the slow blend from the drifted gain.
  Agc_Update(1, 0.0f, a, smoothed);
  EXPECT_EQ(a.rampCounter, 49);
  EXPECT_FLOAT_EQ(a.rawGain, 0.995f * (drifted / 9.0f) + 0.005f * 2.0f);
}

// While speech lasts and the smoothed level only falls, the running maximum is kept for the long
// window: the counter runs to 15, and in the 16th frame without a new maximum the candidate takes
// over (the highest level seen after the short window of 5) and the counter restarts at 5. The
// exact frames and values catch an off-by-one in either window comparison.
TEST(Agc, RunningMaximumIsReplacedByTheCandidateAfterTheLongWindow) {
  Agc a = Fresh();
  float smoothed = 0.1f;
  std::vector<float> level;
  Agc_Update(1, 0.0f, a, smoothed);  // the level falls from 4095.8354 towards the floor
  level.push_back(a.level);
  EXPECT_EQ(std::pair(a.runningMax, a.counter), std::pair(level[0], 0));
  // The candidate is the level of the sixth frame of a window, so each replacement takes the
  // level of ten frames before it.
  float expectedMax = level[0];
  int expectedCounter = 0;
  for (int frame = 1; frame <= 40; ++frame) {
    Agc_Update(1, 0.0f, a, smoothed);
    level.push_back(a.level);
    ASSERT_LT(level[frame], level[frame - 1]);
    if (++expectedCounter > 15) {
      expectedMax = level[frame - 10];
      expectedCounter = 5;
    }
    ASSERT_EQ(a.counter, expectedCounter) << frame;
    ASSERT_EQ(a.runningMax, expectedMax) << frame;
  }
  // Replacements happened in frames 16, 27 and 38.
  EXPECT_EQ(a.runningMax, level[28]);
}

TEST(Agc, FrameGainRunsTheUpdateWhenOnAndIsOneWithTheRecordUntouchedWhenOff) {
  Agc on = Fresh(kFloor), off = Fresh(kFloor), reference = Fresh(kFloor);
  off.outputGain = 5.0f;  // a gain left from earlier frames is not handed on while off
  const Agc untouched = off;
  float smoothedOn = 0.1f, smoothedOff = 0.1f, smoothedReference = 0.1f;
  for (int frame = 0; frame < 5; ++frame) {
    const float level = 600.0f + 100.0f * static_cast<float>(frame);
    Agc_Update(1, level, reference, smoothedReference);
    EXPECT_EQ(Agc_FrameGain(true, 1, level, on, smoothedOn), reference.outputGain);
    EXPECT_EQ(Agc_FrameGain(false, 1, level, off, smoothedOff), 1.0f);
  }
  EXPECT_EQ(std::memcmp(&on, &reference, sizeof on), 0);
  EXPECT_EQ(smoothedOn, smoothedReference);
  EXPECT_EQ(std::memcmp(&off, &untouched, sizeof off), 0);
  EXPECT_EQ(smoothedOff, 0.1f);
}

}  // namespace
}  // namespace orvo
