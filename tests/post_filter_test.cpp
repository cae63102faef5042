#include "audio_core/post_filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace orvo {
namespace {

TEST(PostFilter, CreateValues) {
  PostFilterState s;
  std::memset(&s, 0x7f, sizeof(s));
  PostFilter_Create(&s);
  EXPECT_EQ(s.tracked[1], 0.0f);
  EXPECT_EQ(s.holdCount[480], 0);
  EXPECT_EQ(s.hangover, 0);
  EXPECT_NEAR(s.alpha, 0.42624656f, 1e-7f);
  EXPECT_EQ(s.alpha, static_cast<float>(1.0 - std::exp(-5.0 / 9.0)));
  EXPECT_EQ(s.noiseFill, 0);
  EXPECT_EQ(s.noiseReduction, 1);
  EXPECT_EQ(s.echoSuppression, 1);
  EXPECT_EQ(s.agcSwitch, 1);
  EXPECT_EQ(s.floorGain, 0.0f);
  const float hang[] = {0.35f, 0.35f, 0.35f, 0.25f, 0.25f};
  const float base[] = {0.25f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (int r = 0; r < kGainRegions; ++r) {
    EXPECT_EQ(s.hangOffset[r], hang[r]);
    EXPECT_EQ(s.baseOffset[r], base[r]);
  }
}

TEST(PostFilter, NullRecordStops) {
  EXPECT_DEATH(PostFilter_Create(nullptr), "This != NULL.*PostFilter.*line 946");
}

TEST(PostFilter, SlopesAreTheFloatQuotients) {
  volatile float a = 0.65f, b = 0.5f;  // keep the divisions in float
  EXPECT_EQ(GainRowsNormal[0].slope, a / 81.0f);
  EXPECT_EQ(GainRowsNormal[1].slope, a / 81.0f);
  for (int r = 2; r < kGainRegions; ++r)
    EXPECT_EQ(GainRowsNormal[r].slope, a / 41.0f);
  for (int r = 0; r < kGainRegions; ++r) {
    EXPECT_EQ(GainRowsHangover[r].slope, b / 21.0f);
    EXPECT_EQ(GainRowsHangover[r].width, GainRowsNormal[r].width);
  }
}

// A post filter with its detector, driven frame by frame. The input spectrum is (1, -2) in every
// bin, so the gain of bin k is out[k].re.
struct Scene {
  PostFilterState state;
  NearEndState detector;
  NoiseWeights weights;
  std::vector<float> T = std::vector<float>(kNumBins, 1.0f);
  std::vector<Cpx> out;
  float agc = 1.0f;
  int talkState = 1;
  int releaseCount = 55;
  int strongMode = 0;

  Scene() {
    PostFilter_Create(&state);
    std::memset(&detector, 0, sizeof(detector));
    std::memset(&weights, 0, sizeof(weights));
  }
  float* M() { return detector.nearMap; }
  void Run(bool speech = false) {
    detector.speechDetected = speech;
    out.assign(kNumBins, Cpx{1.0f, -2.0f});
    PostFilter_Apply(out.data(), detector, weights, agc, T.data(), talkState, releaseCount, state,
                     strongMode);
  }
  float Gain(int k) const {
    EXPECT_EQ(out[k].im, -2.0f * out[k].re) << k;
    return out[k].re;
  }
};

TEST(PostFilter, FarEndAloneMutesBinsZeroTo480Only) {
  Scene s;
  for (int k = 0; k <= 480; ++k)
    s.M()[k] = 1000.0f + k;
  s.state.floorGain = 0.5f;
  s.talkState = 2;
  s.Run(true);
  for (int k = 0; k <= 480; ++k) {
    ASSERT_EQ(s.out[k].re, 0.0f) << k;
    ASSERT_EQ(s.out[k].im, 0.0f) << k;
  }
  for (int k = 481; k < kNumBins; ++k) {
    ASSERT_EQ(s.out[k].re, 1.0f) << k;
    ASSERT_EQ(s.out[k].im, -2.0f) << k;
  }
  // The levels were still tracked, bin 0 excepted.
  EXPECT_EQ(s.state.tracked[5], 1005.0f);
  EXPECT_EQ(s.state.tracked[0], 0.0f);
  EXPECT_EQ(s.state.holdCount[0], 0);
}

TEST(PostFilter, UnmarkedBinsGetTheFloorGainTimesTheTable) {
  Scene s;
  for (int k = 1; k <= 480; ++k)
    s.M()[k] = 5000.0f;
  s.M()[7] = 0.0f;    // region 0
  s.M()[100] = 0.0f;  // region 2, window mean still high
  s.T[7] = 0.5f;
  s.T[100] = 0.25f;
  s.T[8] = 0.5f;
  s.agc = 3.0f;
  s.state.floorGain = 0.5f;
  s.Run();
  EXPECT_EQ(s.Gain(7), 0.25f);
  EXPECT_EQ(s.Gain(100), 0.125f);
  EXPECT_GT(s.state.tracked[100], 4000.0f);
  EXPECT_EQ(s.Gain(8), 1.5f);  // marked: ceiling 1.0 x AGC 3 x T 0.5
  EXPECT_EQ(s.Gain(0), 0.0f);
  EXPECT_EQ(s.out[0].im, 0.0f);

  s.state.floorGain = 0.0f;
  s.Run();
  EXPECT_EQ(s.Gain(7), 0.0f);
  EXPECT_EQ(s.Gain(100), 0.0f);
  EXPECT_EQ(s.Gain(481), 1.0f);
}

TEST(PostFilter, NormalGainFollowsSlopeTimesLevelPlusDecayingOffset) {
  Scene s;
  s.M()[5] = 10.0f;
  s.agc = 2.0f;
  s.Run();
  float base0 = 0.25f * 0.95f;  // offsets decay before they are used
  EXPECT_EQ(s.state.baseOffset[0], base0);
  EXPECT_FLOAT_EQ(s.Gain(5), (0.0080246907f * 10.0f + base0) * 2.0f);
  s.Run();
  base0 *= 0.95f;
  EXPECT_FLOAT_EQ(s.Gain(5), (0.0080246907f * 10.0f + base0) * 2.0f);
  // A high level is clipped at the ceiling 1.0.
  s.M()[5] = 1e6f;
  s.Run();
  EXPECT_EQ(s.Gain(5), 2.0f);
}

TEST(PostFilter, HangoverLastsFifteenFramesFromTheDetection) {
  Scene s;
  for (int k = 1; k <= 480; ++k)
    s.M()[k] = 1.0f;  // tracked level 1 everywhere, window means 1
  const float hangSlope = 0.0238095243f;
  for (int frame = 0; frame < 15; ++frame) {
    s.Run(frame == 0);
    ASSERT_EQ(s.state.hangover, 14 - frame);
    ASSERT_FLOAT_EQ(s.Gain(5), hangSlope + 0.5f) << frame;     // region 0
    ASSERT_FLOAT_EQ(s.Gain(100), hangSlope + 0.33f) << frame;  // region 2
    ASSERT_FLOAT_EQ(s.Gain(200), hangSlope + 0.5f) << frame;   // region 3
    ASSERT_FLOAT_EQ(s.Gain(400), hangSlope + 0.33f) << frame;  // region 4
  }
  // Frame 15: normal rows, offsets decaying from the hangover values.
  s.Run();
  EXPECT_FLOAT_EQ(s.Gain(5), 0.0080246907f + 0.5f * 0.95f);
  EXPECT_FLOAT_EQ(s.Gain(100), 0.0158536583f + 0.33f * 0.95f);
  EXPECT_FLOAT_EQ(s.Gain(200), 0.0158536583f + 0.5f * 0.95f);
  s.Run();
  EXPECT_FLOAT_EQ(s.Gain(200), 0.0158536583f + 0.5f * 0.95f * 0.95f);
  EXPECT_EQ(s.state.hangover, 0);
}

TEST(PostFilter, StrongModeHangoverLastsFiveFrames) {
  Scene s;
  s.strongMode = 1;
  for (int k = 1; k <= 480; ++k)
    s.M()[k] = 1.0f;
  const float hangSlope = 0.0238095243f;
  for (int frame = 0; frame < 5; ++frame) {
    s.Run(frame == 0);
    ASSERT_FLOAT_EQ(s.Gain(5), hangSlope + 0.1f) << frame;
    ASSERT_FLOAT_EQ(s.Gain(30), hangSlope + 0.33f) << frame;
    ASSERT_FLOAT_EQ(s.Gain(200), hangSlope + 0.15f) << frame;
    ASSERT_FLOAT_EQ(s.Gain(400), hangSlope + 0.1f) << frame;
  }
  s.Run();
  EXPECT_FLOAT_EQ(s.Gain(5), 0.0080246907f + 0.05f * 0.95f);
  EXPECT_FLOAT_EQ(s.Gain(400), 0.0158536583f + 0.05f * 0.95f);
}

TEST(PostFilter, DetectionRestartsTheHangover) {
  Scene s;
  s.M()[5] = 1.0f;
  s.Run(true);
  for (int i = 0; i < 10; ++i)
    s.Run();
  EXPECT_EQ(s.state.hangover, 4);
  s.Run(true);
  EXPECT_EQ(s.state.hangover, 14);
}

TEST(PostFilter, ReleaseCountCeilings) {
  const float ceilings[] = {0.1f, 0.41f, 0.51f, 0.64f, 0.8f};
  for (int L = 0; L <= 5; ++L) {
    Scene s;
    s.state.noiseReduction = 0;
    for (int k = 1; k <= 480; ++k)
      s.M()[k] = 2.0f;
    s.T[50] = 0.5f;
    s.agc = 1.5f;
    s.releaseCount = L;
    s.Run(true);
    const float gmax = L < 5 ? ceilings[L] : 1.0f;
    for (int k : {1, 19, 20, 50, 79, 80, 159, 160, 320, 480}) {
      const float expected = gmax * 1.5f * s.T[k];
      ASSERT_EQ(s.Gain(k), expected) << "L " << L << " bin " << k;
    }
  }
}

TEST(PostFilter, ReleaseCountBelowFiveForcesTheNormalRowsDuringHangover) {
  Scene s;
  s.M()[5] = 10.0f;
  s.releaseCount = 4;
  s.Run(true);
  EXPECT_EQ(s.state.hangover, 14);  // the count still runs
  // Normal slope with the base offset the hangover set (0.5).
  EXPECT_FLOAT_EQ(s.Gain(5), 0.0080246907f * 10.0f + 0.5f);
  s.releaseCount = 5;
  s.Run();
  EXPECT_FLOAT_EQ(s.Gain(5), 0.0238095243f * 10.0f + 0.5f);
  // A release count below 0 gets the lowest ceiling.
  s.M()[5] = 1e6f;
  s.releaseCount = -3;
  s.Run();
  EXPECT_FLOAT_EQ(s.Gain(5), 0.1f);
}

TEST(PostFilter, NoiseReductionOffGivesCeilingTimesAgcTimesTable) {
  Scene s;
  s.state.noiseReduction = 0;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (int k = 1; k <= 480; ++k) {
    s.M()[k] = k % 9 == 0 ? 0.0f : 1e3f * u(rng);
    s.T[k] = u(rng);
  }
  s.agc = 1.25f;
  s.state.floorGain = 0.5f;
  for (int frame = 0; frame < 3; ++frame) {
    s.Run(frame == 1);
    for (int k = 1; k <= 480; ++k) {
      const float G = s.M()[k] != 0.0f ? 1.0f * 1.25f : 0.5f;
      ASSERT_EQ(s.Gain(k), G * s.T[k]) << k;
    }
  }
  EXPECT_EQ(s.state.hangOffset[3], 1.0f);
  EXPECT_EQ(s.state.baseOffset[0], 1.0f);
}

TEST(PostFilter, FallingLevelDecaysForTwoFramesThenFollows) {
  Scene s;
  const float a = s.state.alpha;
  const int bins[] = {5, 200};  // bin by bin, and a windowed bin (its whole window moves)
  auto set = [&](float v) {
    s.M()[5] = v;
    for (int k = 160; k <= 319; ++k)
      s.M()[k] = v;
  };
  set(100.0f);
  s.Run();
  for (int k : bins) {
    EXPECT_EQ(s.state.tracked[k], 100.0f);
    EXPECT_EQ(s.state.holdCount[k], 0);
  }
  set(10.0f);
  s.Run();
  const float s1 = 100.0f + a * (10.0f - 100.0f);
  for (int k : bins) {
    EXPECT_EQ(s.state.tracked[k], s1) << k;
    EXPECT_EQ(s.state.holdCount[k], 1);
  }
  s.Run();
  const float s2 = s1 + a * (10.0f - s1);
  for (int k : bins) {
    EXPECT_EQ(s.state.tracked[k], s2) << k;
    EXPECT_EQ(s.state.holdCount[k], 2);
  }
  s.Run();
  for (int k : bins) {
    EXPECT_EQ(s.state.tracked[k], 10.0f) << k;
    EXPECT_EQ(s.state.holdCount[k], 2);
  }
  set(5.0f);  // falls again: followed at once, the count stays at 2
  s.Run();
  for (int k : bins)
    EXPECT_EQ(s.state.tracked[k], 5.0f) << k;
  set(50.0f);
  s.Run();
  for (int k : bins) {
    EXPECT_EQ(s.state.tracked[k], 50.0f);
    EXPECT_EQ(s.state.holdCount[k], 0);
  }
}

// Mean of M over [k - w/2, k + w/2) summed afresh, with the window width of k's region.
double BruteMean(const float* M, int k) {
  int w = 0;
  for (int r = 1; r < kGainRegions; ++r)
    if (k >= GainRegionEdges[r]) w = GainRowsNormal[r].width;
  if (w == 0) return M[k];
  double sum = 0.0;
  for (int i = k - w / 2; i < k + w / 2; ++i)
    sum += M[i];
  return sum / w;
}

TEST(PostFilter, SlidingWindowMeanEqualsRecountedWindow) {
  // Integer map values keep every float sum exact, so the running sum must match exactly.
  Scene s;
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> u(0, 1000);
  for (int k = 1; k <= 480; ++k)
    s.M()[k] = k % 5 == 0 ? 0.0f : static_cast<float>(u(rng));
  s.Run();
  for (int k = 1; k <= 480; ++k)
    ASSERT_EQ(s.state.tracked[k], static_cast<float>(BruteMean(s.M(), k))) << k;

  // The next frame starts its sum afresh: raise the map so every mean rises and is taken as is.
  for (int k = 1; k <= 480; ++k)
    s.M()[k] += 2000.0f;
  s.Run();
  for (int k = 1; k <= 480; ++k)
    ASSERT_EQ(s.state.tracked[k], static_cast<float>(BruteMean(s.M(), k))) << k;
}

TEST(PostFilter, SlidingWindowMeanMatchesForRealValuedMaps) {
  Scene s;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0.0f, 1e7f);
  for (int k = 1; k <= 480; ++k)
    s.M()[k] = u(rng);
  s.Run();
  for (int k = 1; k <= 480; ++k) {
    const double ref = BruteMean(s.M(), k);
    ASSERT_NEAR(s.state.tracked[k], ref, 1e-5 * 1e7) << k;
  }
}

TEST(PostFilter, WindowsStopAtBin480) {
  // The top window of bin 480 reaches bin 511, where the map is 0; bins above 480 keep their
  // values.
  Scene s;
  for (int k = 449; k <= 480; ++k)
    s.M()[k] = 64.0f;
  s.Run();
  EXPECT_EQ(s.state.tracked[480], 32.0f);  // window [448, 512): 32 of 64 bins marked
  EXPECT_EQ(s.state.tracked[481], 0.0f);
  EXPECT_EQ(s.Gain(481), 1.0f);
}

}  // namespace
}  // namespace orvo
