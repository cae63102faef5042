#include "audio_core/noise_psd.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace orvo {
namespace {

std::unique_ptr<NoisePsdState> NewState() {
  auto s = std::make_unique<NoisePsdState>();
  NoisePSD_Create(s.get());
  return s;
}

bool SameState(const NoisePsdState& a, const NoisePsdState& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(NoisePsd, CreateSetsStartValuesAndFactors) {
  auto s = NewState();
  for (int k = 0; k < kNumBins; ++k) {
    ASSERT_EQ(std::bit_cast<uint32_t>(s->smoothed[k]), 0x49FBA494u);
    ASSERT_EQ(std::bit_cast<uint32_t>(s->windowMin[k]), 0x53EFFC40u);
    ASSERT_EQ(std::bit_cast<uint32_t>(s->noise[k]), 0x49FBA494u);
  }
  // 1 - e^(-x) in double for x = float(2/7), float(2.5), float(0.125), rounded to float.
  EXPECT_EQ(s->alphaSmooth, 0.24852269887924194f);
  EXPECT_EQ(s->alphaFall, 0.9179149866104126f);
  EXPECT_EQ(s->alphaRise, 0.1175030842423439f);
  EXPECT_EQ(s->frameCount, 0);
}

TEST(NoisePsdDeathTest, CreateWithNullRecordStops) {
  EXPECT_DEATH(NoisePSD_Create(nullptr), "This != NULL.*audio_core.NoisePSD");
}

TEST(NoisePsd, FirstWindowEndsOnThe52ndUpdateThenEvery51) {
  auto s = NewState();
  const std::vector<float> p(kNumBins, 500.0f);
  const float start = s->noise[7];
  for (int call = 1; call <= 51; ++call) {
    NoisePSD_Update(p.data(), 0, *s);
    ASSERT_EQ(s->frameCount, call);
    ASSERT_EQ(s->noise[7], start) << call;
  }
  NoisePSD_Update(p.data(), 0, *s);  // 52nd: window end
  EXPECT_EQ(s->frameCount, 1);
  EXPECT_LT(s->noise[7], start);
  EXPECT_EQ(std::bit_cast<uint32_t>(s->windowMin[7]), 0x53EFFC40u);
  const float afterFirst = s->noise[7];
  for (int call = 1; call < 51; ++call)
    NoisePSD_Update(p.data(), 0, *s);
  EXPECT_EQ(s->frameCount, 51);
  EXPECT_EQ(s->noise[7], afterFirst);
  NoisePSD_Update(p.data(), 0, *s);  // 51 updates after the first end
  EXPECT_EQ(s->frameCount, 1);
  EXPECT_LT(s->noise[7], afterFirst);
}

TEST(NoisePsd, HoldFreezesEverythingAndDoesNotCount) {
  auto s = NewState();
  std::vector<float> p(kNumBins);
  for (int k = 0; k < kNumBins; ++k)
    p[k] = 10.0f * static_cast<float>(k);
  for (int call = 0; call < 30; ++call)
    NoisePSD_Update(p.data(), 0, *s);
  const NoisePsdState before = *s;
  for (int hold : {10, 5, 1}) {
    NoisePSD_Update(p.data(), hold, *s);
    ASSERT_TRUE(SameState(before, *s)) << hold;
  }
  // Held calls do not advance the window: its end still comes with the 52nd un-held update.
  for (int call = 31; call <= 51; ++call) {
    NoisePSD_Update(p.data(), 0, *s);
    NoisePSD_Update(p.data(), 3, *s);
  }
  EXPECT_EQ(s->frameCount, 51);
  NoisePSD_Update(p.data(), 0, *s);
  EXPECT_EQ(s->frameCount, 1);
}

// At a window end N moves toward the window minimum by the rise factor when the minimum is above
// N, by the fall factor otherwise, and the window minimum restarts.
TEST(NoisePsd, WindowEndRisesSlowlyAndFallsFast) {
  auto s = NewState();
  s->frameCount = 51;
  std::vector<float> p(kNumBins);
  for (int k = 0; k < kNumBins; ++k) {
    s->noise[k] = 1000.0f;
    s->windowMin[k] = (k % 3 == 0) ? 5000.0f : (k % 3 == 1 ? 200.0f : 1000.0f);
    s->smoothed[k] = 1e7f;  // above the window minimum, and held there by P = S
    p[k] = 1e7f;
  }
  NoisePSD_Update(p.data(), 0, *s);
  EXPECT_EQ(s->frameCount, 1);
  const float rise = s->alphaRise, fall = s->alphaFall;
  EXPECT_EQ(s->noise[0], 1000.0f + rise * (5000.0f - 1000.0f));
  EXPECT_EQ(s->noise[1], 1000.0f + fall * (200.0f - 1000.0f));
  EXPECT_EQ(s->noise[2], 1000.0f);  // minimum equal to N: the fall factor, no change
  EXPECT_NEAR(s->noise[0], 1470.0f, 0.1f);
  EXPECT_NEAR(s->noise[1], 265.7f, 0.1f);
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(std::bit_cast<uint32_t>(s->windowMin[k]), 0x53EFFC40u);
}

TEST(NoisePsd, EstimateNeverDropsBelowTen) {
  auto s = NewState();
  const std::vector<float> silence(kNumBins, 0.0f);
  float previous = s->noise[100];
  bool reachedFloor = false;
  for (int call = 0; call < 52 * 12; ++call) {
    NoisePSD_Update(silence.data(), 0, *s);
    for (int k = 0; k < kNumBins; ++k)
      ASSERT_GE(s->noise[k], 10.0f);
    ASSERT_LE(s->noise[100], previous);
    previous = s->noise[100];
    reachedFloor = reachedFloor || s->noise[100] == 10.0f;
  }
  EXPECT_TRUE(reachedFloor);
  EXPECT_EQ(s->noise[959], 10.0f);
}

TEST(NoisePsd, ConstantPowerIsApproachedFastFromAboveAndSlowlyFromBelow) {
  auto s = NewState();
  // From the start value (2061458.5) down to 4000: 92 % of the gap per window.
  const std::vector<float> low(kNumBins, 4000.0f);
  for (int call = 0; call < 52 + 51 * 5; ++call)
    NoisePSD_Update(low.data(), 0, *s);
  EXPECT_NEAR(s->noise[50], 4000.0f, 1.0f);
  // Up to 1e6: 11.75 % of the gap per window once the smoothed power has settled.
  const std::vector<float> high(kNumBins, 1e6f);
  for (int call = 0; call < 51; ++call)
    NoisePSD_Update(high.data(), 0, *s);
  EXPECT_GT(s->noise[50], 4000.0f);
  EXPECT_LT(s->noise[50], 4000.0f + s->alphaRise * (1e6f - 4000.0f));
  float previous = s->noise[50];
  for (int window = 0; window < 3; ++window) {
    for (int call = 0; call < 51; ++call)
      NoisePSD_Update(high.data(), 0, *s);
    const float expected = previous + s->alphaRise * (1e6f - previous);
    EXPECT_NEAR(s->noise[50], expected, 1e-4f * expected) << window;
    previous = s->noise[50];
  }
}

// ---------------------------------------------------------------------------------------------
// Inverse-noise weights.

TEST(NoiseWeights, InitValues) {
  NoiseWeights w;
  NoiseWeights_Init(w);
  for (float x : w.inverseNoise)
    ASSERT_EQ(x, 1e6f);
  EXPECT_EQ(w.totalNoise, 0.0f);
  EXPECT_EQ(w.runningSum, 0.0f);
  EXPECT_EQ(w.nextBin, 1);
}

TEST(NoiseWeights, FortyCallsSweepBins1To959) {
  NoiseWeights w;
  NoiseWeights_Init(w);
  std::vector<float> n(kNumBins, 1.0f);
  NoisePSD_UpdateWeights(n.data(), w);
  EXPECT_EQ(w.nextBin, 25);
  EXPECT_EQ(w.inverseNoise[24], std::bit_cast<float>(0x3F03EEF0u) / 2.0f);
  EXPECT_EQ(w.inverseNoise[25], 1e6f);
  EXPECT_EQ(w.runningSum, 24.0f);
  for (int call = 2; call <= 20; ++call)
    NoisePSD_UpdateWeights(n.data(), w);
  EXPECT_EQ(w.nextBin, 481);
  // The sum holds the values as read: bins 481..959 are read after this change.
  for (int k = 0; k < kNumBins; ++k)
    n[k] = 2.0f;
  for (int call = 21; call <= 39; ++call) {
    NoisePSD_UpdateWeights(n.data(), w);
    ASSERT_EQ(w.totalNoise, 0.0f);
  }
  EXPECT_EQ(w.nextBin, 937);
  NoisePSD_UpdateWeights(n.data(), w);  // 40th: bins 937..959, sweep complete
  EXPECT_EQ(w.nextBin, 1);
  EXPECT_EQ(w.runningSum, 0.0f);
  EXPECT_EQ(w.totalNoise, 480.0f * 1.0f + 479.0f * 2.0f);
  EXPECT_EQ(w.inverseNoise[0], 1e6f);  // bin 0 is never refreshed
  const float speech = std::bit_cast<float>(0x3F83EEF0u);
  const float other = std::bit_cast<float>(0x3F03EEF0u);
  EXPECT_EQ(w.inverseNoise[28], other / 2.0f);
  EXPECT_EQ(w.inverseNoise[29], speech / 2.0f);
  EXPECT_EQ(w.inverseNoise[199], speech / 2.0f);
  EXPECT_EQ(w.inverseNoise[200], other / 2.0f);
  EXPECT_EQ(w.inverseNoise[959], other / 3.0f);
  for (int k = 1; k < kNumBins; ++k)
    ASSERT_NE(w.inverseNoise[k], 1e6f) << k;
  // The next sweep starts again at bin 1 from a zero sum.
  NoisePSD_UpdateWeights(n.data(), w);
  EXPECT_EQ(w.nextBin, 25);
  EXPECT_EQ(w.runningSum, 48.0f);
  EXPECT_EQ(w.inverseNoise[1], other / 3.0f);
}

}  // namespace
}  // namespace orvo
