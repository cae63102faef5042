#include "audio_core/noise_psd.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace orvo {
namespace {

constexpr uint32_t kStartBits = 0x49FBA494u;      // 2061458.5
constexpr uint32_t kWindowMinBits = 0x53EFFC40u;  // 2.0614585e12

struct NoisePsd : ::testing::Test {
  NoisePsd() { NoisePSD_Create(s.get()); }
  void Update(float p, int calls = 1, int hold = 0) {
    const std::vector<float> power(kNumBins, p);
    for (int i = 0; i < calls; ++i)
      NoisePSD_Update(power.data(), hold, *s);
  }
  std::unique_ptr<NoisePsdState> s = std::make_unique<NoisePsdState>();
};

TEST_F(NoisePsd, CreateSetsStartValuesAndFactors) {
  for (int k = 0; k < kNumBins; ++k) {
    ASSERT_EQ(std::bit_cast<uint32_t>(s->smoothed[k]), kStartBits);
    ASSERT_EQ(std::bit_cast<uint32_t>(s->windowMin[k]), kWindowMinBits);
    ASSERT_EQ(std::bit_cast<uint32_t>(s->noise[k]), kStartBits);
  }
  // 1 - e^(-x) in double for x = float(2/7), float(2.5), float(0.125), rounded to float.
  EXPECT_EQ(s->alphaSmooth, 0.24852269887924194f);
  EXPECT_EQ(s->alphaFall, 0.9179149866104126f);
  EXPECT_EQ(s->alphaRise, 0.1175030842423439f);
}

TEST(NoisePsdDeathTest, CreateWithNullRecordStops) {
  EXPECT_DEATH(NoisePSD_Create(nullptr), "This != NULL.*audio_core.NoisePSD");
}

TEST_F(NoisePsd, WindowEndsOnThe52ndUnheldUpdateThenEvery51AndHoldFreezesAll) {
  float previous = s->noise[7];
  Update(500.0f, 30);
  const NoisePsdState before = *s;
  for (int hold : {10, 5, 1}) {
    Update(7.0f, 1, hold);
    ASSERT_EQ(0, std::memcmp(&before, s.get(), sizeof before)) << hold;
  }
  for (int call = 31; call <= 51; ++call) {  // held calls in between do not count
    Update(500.0f);
    Update(7.0f, 1, 3);
  }
  for (int end = 0; end < 2; ++end) {
    EXPECT_EQ(s->frameCount, 51);
    EXPECT_EQ(s->noise[7], previous);
    Update(500.0f);  // the 52nd un-held update; then 51 after the first window end
    EXPECT_EQ(s->frameCount, 1);
    EXPECT_LT(s->noise[7], previous);
    previous = s->noise[7];
    Update(500.0f, 50);
  }
}

// At a window end N moves toward the window minimum by the rise factor when the minimum is above
// N, by the fall factor otherwise (equal included), never below 10; the minimum restarts.
TEST_F(NoisePsd, WindowEndRisesSlowlyFallsFastAndStopsAtTen) {
  const float start[4][2] = {
      {1000.0f, 5000.0f}, {1000.0f, 200.0f}, {1000.0f, 1000.0f}, {10.0f, 0.0f}};
  s->frameCount = 51;
  for (int k = 0; k < kNumBins; ++k) {
    s->noise[k] = start[k % 4][0];
    s->windowMin[k] = start[k % 4][1];
    s->smoothed[k] = 1e7f;  // above the window minimum, and held there by P = S
  }
  Update(1e7f);
  EXPECT_EQ(s->frameCount, 1);
  EXPECT_EQ(s->noise[0], 1000.0f + s->alphaRise * (5000.0f - 1000.0f));
  EXPECT_EQ(s->noise[1], 1000.0f + s->alphaFall * (200.0f - 1000.0f));
  EXPECT_EQ(s->noise[2], 1000.0f);
  EXPECT_EQ(s->noise[959], 10.0f);
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(std::bit_cast<uint32_t>(s->windowMin[k]), kWindowMinBits);
}

TEST(NoiseWeights, FortyCallsSweepBins1To959) {
  NoiseWeights w;
  NoiseWeights_Init(w);
  const float speech = std::bit_cast<float>(0x3F83EEF0u), other = std::bit_cast<float>(0x3F03EEF0u);
  std::vector<float> n(kNumBins, 1.0f);
  for (int call = 1; call <= 20; ++call)
    NoisePSD_UpdateWeights(n.data(), w);
  EXPECT_EQ(w.nextBin, 481);
  EXPECT_EQ(w.runningSum, 480.0f);
  // The sum holds the values as read: bins 481..959 are read after this change.
  n.assign(kNumBins, 2.0f);
  for (int call = 21; call <= 39; ++call)
    NoisePSD_UpdateWeights(n.data(), w);
  EXPECT_EQ(w.nextBin, 937);
  EXPECT_EQ(w.totalNoise, 0.0f);
  NoisePSD_UpdateWeights(n.data(), w);  // 40th: bins 937..959, sweep complete
  EXPECT_EQ(w.nextBin, 1);
  EXPECT_EQ(w.runningSum, 0.0f);
  EXPECT_EQ(w.totalNoise, 480.0f * 1.0f + 479.0f * 2.0f);
  EXPECT_EQ(w.inverseNoise[0], 1e6f);  // bin 0 is never refreshed
  for (int k = 1; k < kNumBins; ++k)
    ASSERT_EQ(w.inverseNoise[k], (k >= 29 && k <= 199 ? speech : other) / (k <= 480 ? 2.0f : 3.0f))
        << k;
  NoisePSD_UpdateWeights(n.data(), w);  // the next sweep starts at bin 1 from a zero sum
  EXPECT_EQ(w.nextBin, 25);
  EXPECT_EQ(w.runningSum, 48.0f);
}

}  // namespace
}  // namespace orvo
