#include "audio_core/agc.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace orvo {
namespace {

// 4095.8354, 2047.9177 and 1023.9589 as the engine stores them (the last one is not the float
// nearest to its decimal).
constexpr float kTarget = std::bit_cast<float>(0x457FFD5Eu);
constexpr float kLowest = std::bit_cast<float>(0x44FFFD5Eu);
constexpr float kFloor = std::bit_cast<float>(0x447FFD5Eu);

Agc Fresh() {
  Agc a;
  std::memset(&a, 0x5b, sizeof(a));
  Agc_Create(a);
  return a;
}

TEST(Agc, CreateValuesAndBitPatterns) {
  const Agc a = Fresh();
  EXPECT_EQ(std::bit_cast<uint32_t>(a.level), 0x457FFD5Eu);
  EXPECT_EQ(std::bit_cast<uint32_t>(a.peakLevel), 0x457FFD5Eu);
  EXPECT_EQ(std::bit_cast<uint32_t>(a.lowestDenominator), 0x44FFFD5Eu);
  EXPECT_EQ(std::bit_cast<uint32_t>(a.runningMax), 0x447FFD5Eu);
  EXPECT_EQ(std::bit_cast<uint32_t>(a.candidateMax), 0x447FFD5Eu);
  EXPECT_EQ(std::bit_cast<uint32_t>(a.resetValue), 0x447FFD5Eu);
  EXPECT_EQ(a.level, kTarget);
  EXPECT_EQ(a.lowestDenominator, kLowest);
  EXPECT_EQ(a.resetValue, kFloor);
  EXPECT_EQ(a.levelSmoothing, static_cast<float>(1.0 - std::exp(-0.2)));
  EXPECT_EQ(a.peakSmoothing, static_cast<float>(1.0 - std::exp(-0.05)));
  EXPECT_EQ(a.idleSmoothing, static_cast<float>(1.0 - std::exp(-0.01)));
  EXPECT_NEAR(a.levelSmoothing, 0.18126924f, 1e-8f);
  EXPECT_NEAR(a.peakSmoothing, 0.04877057f, 1e-8f);
  EXPECT_NEAR(a.idleSmoothing, 0.00995017f, 1e-8f);
  EXPECT_EQ(a.shortWindow, 5);
  EXPECT_EQ(a.longWindow, 15);
  EXPECT_EQ(a.counter, 0);
  EXPECT_EQ(a.speechHold, 0);
  EXPECT_EQ(a.gainCeiling, 0.0f);
  EXPECT_EQ(a.outputGain, 1.0f);
  EXPECT_EQ(a.rawGain, 1.0f);
  EXPECT_EQ(a.rampCounter, 0);
  EXPECT_EQ(a.gainScale, 9.0f);
  EXPECT_EQ(kAgcSmoothedGainStart, 0.1f);
}

// A record whose level and peak sit at `peak` so that T stays fixed while the input level does
// not exceed the floor.
Agc Settled(float peak) {
  Agc a = Fresh();
  a.level = kFloor;
  a.runningMax = peak;
  a.peakLevel = peak;
  return a;
}

TEST(Agc, TargetGainLimits) {
  // Peak at or below 1023.9589: T = 2.0.
  for (float peak : {kFloor, 500.0f}) {
    Agc a = Settled(peak);
    float smoothed = 0.1f;
    Agc_Update(1, 0.0f, a, smoothed);
    EXPECT_EQ(a.rawGain, 2.0f) << peak;
    EXPECT_EQ(a.outputGain, 18.0f);
  }
  // Peak at or above 2047.9177: T = 1.0.
  for (float peak : {kLowest, 3000.0f}) {
    Agc a = Settled(peak);
    a.level = peak;
    float smoothed = 0.1f;
    Agc_Update(1, 0.0f, a, smoothed);
    EXPECT_GE(a.peakLevel, kLowest);
    EXPECT_EQ(a.rawGain, 1.0f) << peak;
  }
  // Between the two: T = 4095.8354 / (2 * peak).
  Agc m = Settled(1500.0f);
  m.level = 1500.0f;
  float smoothed = 0.1f;
  Agc_Update(1, 0.0f, m, smoothed);
  EXPECT_FLOAT_EQ(m.rawGain, kTarget / (2.0f * m.peakLevel));
}

TEST(Agc, FirstSpeechFrameAfterCreationSetsNineTimesT) {
  Agc a = Fresh();
  float smoothed = 0.1f;
  Agc_Update(1, 100.0f, a, smoothed);
  // Level 4095.8354 falls towards the floor; the running maximum takes it, the peak follows.
  const float level = kTarget + (kFloor - kTarget) * a.levelSmoothing;
  EXPECT_EQ(a.level, level);
  EXPECT_EQ(a.runningMax, level);
  EXPECT_EQ(a.counter, 0);
  const float peak = kTarget + (level - kTarget) * a.peakSmoothing;
  EXPECT_EQ(a.peakLevel, peak);
  EXPECT_EQ(a.speechHold, 100);
  EXPECT_FLOAT_EQ(a.gainCeiling, 1621.8838f / 100.0f);
  // 2 * peak is above 4095.8354: T = 1.0, taken at once.
  EXPECT_EQ(a.rawGain, 1.0f);
  EXPECT_EQ(a.outputGain, 9.0f);
  EXPECT_EQ(smoothed, static_cast<float>(0.9 * 0.1f + 0.1 * 9.0));
}

TEST(Agc, CeilingBindsThenRecoversOverTwoHundredFrames) {
  Agc a = Settled(kFloor);  // T = 2.0 throughout
  a.rawGain = 2.0f;
  float smoothed = 0.1f;
  // Level 1023.9589 puts the ceiling at 1.584, below T.
  Agc_Update(1, kFloor, a, smoothed);
  const float ceiling = 1621.8838f / (kFloor + 1e-5f);
  EXPECT_EQ(a.gainCeiling, ceiling);
  EXPECT_EQ(a.rawGain, ceiling);
  EXPECT_EQ(a.rampCounter, 200);
  EXPECT_EQ(a.outputGain, 9.0f * ceiling);

  // A quieter level lifts the ceiling above T: 175 slow frames, then 25 faster ones.
  float previous = a.rawGain;
  for (int frame = 1; frame <= 200; ++frame) {
    Agc_Update(1, 500.0f, a, smoothed);
    ASSERT_GT(a.rawGain, previous) << frame;
    ASSERT_LT(a.rawGain, 2.0f) << frame;
    ASSERT_EQ(a.rampCounter, 200 - frame);
    const float step = a.rawGain - previous;
    const float expectedStep = (frame <= 175 ? 0.005f : 0.05f) * (2.0f - previous);
    ASSERT_NEAR(step, expectedStep, 1e-5f) << frame;
    previous = a.rawGain;
  }
  Agc_Update(1, 500.0f, a, smoothed);
  EXPECT_EQ(a.rawGain, 2.0f);
  EXPECT_EQ(a.outputGain, 18.0f);
}

TEST(Agc, CeilingNeedsBothTargetAndRawGainAbove) {
  Agc a = Settled(kFloor);  // T = 2.0
  a.rawGain = 1.5f;
  float smoothed = 0.1f;
  // Ceiling 1621.8838 / 1000 = 1.62: below T but above the raw gain, so no binding.
  Agc_Update(1, 1000.0f, a, smoothed);
  EXPECT_EQ(a.rampCounter, 0);
  EXPECT_EQ(a.rawGain, 2.0f);
  // A zero level gives no ceiling in practice.
  Agc_Update(1, 0.0f, a, smoothed);
  EXPECT_FLOAT_EQ(a.gainCeiling, 1621.8838f / 1e-5f);
}

TEST(Agc, IdlePathAfterHundredFramesWithoutSpeech) {
  Agc a = Settled(kFloor);
  float smoothed = 0.1f;
  Agc_Update(1, 0.0f, a, smoothed);
  EXPECT_EQ(a.outputGain, 18.0f);
  for (int i = 1; i <= 99; ++i) {
    Agc_Update(0, 0.0f, a, smoothed);
    ASSERT_EQ(a.speechHold, 100 - i);
    ASSERT_EQ(a.outputGain, 18.0f) << i;  // T unchanged, peak not tracked
  }
  a.counter = 7;
  const float smoothedBefore = smoothed;
  Agc_Update(0, 0.0f, a, smoothed);
  EXPECT_EQ(a.speechHold, 0);
  EXPECT_EQ(smoothed, smoothedBefore);  // not updated on the idle path
  EXPECT_EQ(a.counter, 0);
  EXPECT_EQ(a.runningMax, kFloor);
  EXPECT_EQ(a.candidateMax, kFloor);
  EXPECT_EQ(a.rampCounter, 50);
  const float drifted = 18.0f + (0.5f * smoothed - 18.0f) * a.idleSmoothing;
  EXPECT_EQ(a.outputGain, drifted);
  EXPECT_EQ(a.rawGain, drifted / 9.0f);

  // The next speech frame starts the slow blend from the drifted gain.
  Agc_Update(1, 0.0f, a, smoothed);
  EXPECT_EQ(a.rampCounter, 49);
  EXPECT_FLOAT_EQ(a.rawGain, 0.995f * (drifted / 9.0f) + 0.005f * 2.0f);
}

TEST(Agc, FirstFramesAfterCreationWithoutSpeechAreIdle) {
  Agc a = Fresh();
  float smoothed = 0.1f;
  Agc_Update(0, 0.0f, a, smoothed);
  EXPECT_EQ(a.rampCounter, 50);
  EXPECT_EQ(a.outputGain, 1.0f + (0.5f * 0.1f - 1.0f) * a.idleSmoothing);
  EXPECT_EQ(smoothed, 0.1f);
}

TEST(Agc, RunningMaximumIsRenewedFromTheCandidate) {
  Agc a = Fresh();
  a.level = 3000.0f;
  a.runningMax = 3000.0f;
  a.peakLevel = 3000.0f;
  float smoothed = 0.1f;
  // Levels below the running maximum: the counter runs; after 5 frames the candidate collects.
  for (int i = 1; i <= 15; ++i) {
    Agc_Update(1, 2000.0f, a, smoothed);
    ASSERT_EQ(a.counter, i);
    ASSERT_EQ(a.runningMax, 3000.0f);
    if (i <= 5) {
      ASSERT_EQ(a.candidateMax, kFloor) << i;
    }
  }
  const float candidate = a.candidateMax;
  EXPECT_GT(candidate, 2000.0f);
  Agc_Update(1, 2000.0f, a, smoothed);  // counter 16 > 15: the candidate becomes the maximum
  EXPECT_EQ(a.counter, 5);
  EXPECT_EQ(a.runningMax, candidate);
  EXPECT_EQ(a.candidateMax, kFloor);
}

}  // namespace
}  // namespace orvo
