#include "audio_core/post_filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace orvo {
namespace {

// Slopes of the gain rows: 0.65 / 81, 0.65 / 41 and, in the hangover, 0.5 / 21.
constexpr float kSlow = 0.0080246907f, kFast = 0.0158536583f, kHang = 0.0238095243f;

// A post filter with its detector, driven frame by frame. The input spectrum is (1, -2) in every
// bin, so the gain of bin k is out[k].re.
struct Scene {
  PostFilterState state;
  NearEndState detector{};
  NoiseWeights weights{};
  std::vector<float> T = std::vector<float>(kNumBins, 1.0f);
  std::vector<Cpx> out;
  float agc = 1.0f;
  int talkState = 1, releaseCount = 55, strongMode = 0;

  Scene() {
    std::memset(&state, 0x7f, sizeof(state));
    PostFilter_Create(&state);
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

TEST(PostFilter, NullRecordStops) {
  EXPECT_DEATH(PostFilter_Create(nullptr), "This != NULL.*PostFilter.*line 946");
}

TEST(PostFilter, FarEndAloneMutesBinsZeroTo480Only) {
  Scene s;
  for (int k = 0; k <= 480; ++k)
    s.M()[k] = 1000.0f + k;
  s.state.floorGain = 0.5f;
  s.talkState = 2;
  s.Run(true);
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(s.Gain(k), k <= 480 ? 0.0f : 1.0f) << k;
  // The levels were still tracked, bin 0 excepted.
  EXPECT_EQ(std::pair(s.state.tracked[0], s.state.tracked[5]), std::pair(0.0f, 1005.0f));
}

TEST(PostFilter, UnmarkedBinsGetTheFloorGainTimesTheTable) {
  Scene s;
  std::fill(s.M() + 1, s.M() + 481, 5000.0f);
  s.M()[7] = s.M()[100] = 0.0f;  // regions 0 and 2; the window mean of 100 stays high
  s.T[7] = s.T[8] = 0.5f;
  s.T[100] = 0.25f;
  s.agc = 3.0f;
  s.state.floorGain = 0.5f;
  s.Run();
  EXPECT_GT(s.state.tracked[100], 4000.0f);
  EXPECT_EQ(s.state.baseOffset[0], 0.25f * 0.95f);  // starts at 0.25, decays before each use
  // Marked bin 8: ceiling 1.0 x AGC 3 x T 0.5. Bin 0 is zeroed.
  EXPECT_EQ(std::tuple(s.Gain(7), s.Gain(100), s.Gain(8), s.Gain(0)),
            std::tuple(0.25f, 0.125f, 1.5f, 0.0f));
  s.state.floorGain = 0.0f;
  s.Run();
  EXPECT_EQ(std::tuple(s.Gain(7), s.Gain(100), s.Gain(481)), std::tuple(0.0f, 0.0f, 1.0f));
}

TEST(PostFilter, EchoReturnBelowTenDecibelsMutesUnmarkedBinsFromTenOnHalvesThem) {
  // {erleDb, floor gain}: the decision level itself keeps the half gain.
  const std::pair<float, float> cases[] = {{0.0f, 0.0f},   {9.99f, 0.0f}, {10.0f, 0.5f},
                                           {10.01f, 0.5f}, {25.0f, 0.5f}, {-3.0f, 0.0f}};
  for (const auto& [erle, gain] : cases) {
    Scene s;
    s.state.floorGain = 0.25f;  // overwritten whatever it was
    PostFilter_FollowEchoReturn(s.state, erle);
    EXPECT_EQ(s.state.floorGain, gain) << erle;
    s.Run();  // nothing marked: every bin 1..480 gets the floor gain
    EXPECT_EQ(std::pair(s.Gain(10), s.Gain(400)), std::pair(gain, gain)) << erle;
  }
}

TEST(PostFilter, HangoverLastsFifteenFramesOrFiveInStrongMode) {
  // Bins of regions 0, 1 or 2, 3 and 4, and the offsets the hangover gives them.
  const int bins[2][4] = {{5, 100, 200, 400}, {5, 30, 200, 400}};
  const float offsets[2][4] = {{0.5f, 0.33f, 0.5f, 0.33f}, {0.1f, 0.33f, 0.15f, 0.1f}};
  for (const int strong : {0, 1}) {
    Scene s;
    s.strongMode = strong;
    std::fill(s.M() + 1, s.M() + 481, 1.0f);  // tracked level 1 everywhere, window means 1
    // Detections in frame 0 and, restarting the running hangover, frame 3.
    const int frames = strong ? 5 : 15;
    for (int frame = 0; frame < 3 + frames; ++frame) {
      s.Run(frame == 0 || frame == 3);
      ASSERT_EQ(s.state.hangover, frames - 1 - (frame < 3 ? frame : frame - 3));
      for (int r = 0; r < 4; ++r)
        ASSERT_FLOAT_EQ(s.Gain(bins[strong][r]), kHang + offsets[strong][r]) << strong << frame;
    }
    // Then the normal rows, the offsets decaying from the hangover's (from 0.05 in strong mode).
    s.Run();
    for (int r = 0; r < 4; ++r)
      EXPECT_FLOAT_EQ(s.Gain(bins[strong][r]), (bins[strong][r] < 80 ? kSlow : kFast) +
                                                   (strong ? 0.05f : offsets[strong][r]) * 0.95f)
          << strong << " bin " << bins[strong][r];
  }
}

TEST(PostFilter, ReleaseCountCeilings) {
  // Ceilings for release counts 0 to 4, 1.0 from 5; a count below 0 gets the lowest.
  const float ceilings[] = {0.1f, 0.41f, 0.51f, 0.64f, 0.8f, 1.0f};
  for (int L = -3; L <= 5; ++L) {
    Scene s;
    s.state.noiseReduction = 0;
    std::fill(s.M() + 1, s.M() + 481, 2.0f);
    s.T[50] = 0.5f;
    s.agc = 1.5f;
    s.releaseCount = L;
    s.Run(true);
    for (int k : {1, 19, 20, 50, 79, 80, 159, 160, 320, 480})
      ASSERT_EQ(s.Gain(k), ceilings[std::max(L, 0)] * 1.5f * s.T[k]) << "L " << L << " bin " << k;
  }
}

TEST(PostFilter, LowReleaseCountForcesNormalRowsDuringTheHangover) {
  Scene s;
  std::fill(s.M() + 1, s.M() + 481, 1.0f);
  s.releaseCount = 4;
  s.Run(true);
  EXPECT_EQ(s.state.hangover, 14);  // the hangover itself runs on
  // Normal slopes with the offsets the hangover set outside it: {0.5, 0.5, 0.33, 0.5, 0.33}.
  EXPECT_FLOAT_EQ(s.Gain(5), kSlow + 0.5f);
  EXPECT_FLOAT_EQ(s.Gain(100), kFast + 0.33f);
  EXPECT_FLOAT_EQ(s.Gain(200), kFast + 0.5f);
}

TEST(PostFilter, FallingLevelDecaysForTwoFramesThenFollows) {
  Scene s;
  const float a = s.state.alpha;
  EXPECT_EQ(a, static_cast<float>(1.0 - std::exp(-5.0 / 9.0)));
  auto step = [&](float v) {  // bin by bin (5), and a windowed bin whose whole window moves
    s.M()[5] = v;
    std::fill(s.M() + 160, s.M() + 320, v);
    s.Run();
    EXPECT_EQ(s.state.tracked[5], s.state.tracked[200]);
    EXPECT_EQ(s.state.holdCount[5], s.state.holdCount[200]);
    return std::pair(s.state.tracked[200], s.state.holdCount[200]);
  };
  EXPECT_EQ(step(100.0f), std::pair(100.0f, 0));
  const float s1 = 100.0f + a * (10.0f - 100.0f);
  EXPECT_EQ(step(10.0f), std::pair(s1, 1));
  EXPECT_EQ(step(10.0f), std::pair(s1 + a * (10.0f - s1), 2));
  EXPECT_EQ(step(10.0f), std::pair(10.0f, 2));
  EXPECT_EQ(step(5.0f), std::pair(5.0f, 2));  // falls again: followed at once
  EXPECT_EQ(step(50.0f), std::pair(50.0f, 0));
}

TEST(PostFilter, SlidingWindowMeanEqualsRecountedWindowAndStopsAtBin480) {
  // Mean of M over [k - w/2, k + w/2) summed afresh, w the window width of k's region.
  auto bruteMean = [](const float* M, int k) {
    const int w = k < 20 ? 0 : k < 80 ? 16 : k < 160 ? 32 : 64;
    double sum = w == 0 ? M[k] : 0.0;
    for (int i = k - w / 2; i < k + w / 2; ++i)
      sum += M[i];
    return static_cast<float>(w == 0 ? sum : sum / w);
  };
  // Integer map values keep every float sum exact, so the running sum must match exactly.
  Scene s;
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> u(0, 1000);
  for (int k = 1; k <= 480; ++k)
    s.M()[k] = k % 5 == 0 ? 0.0f : static_cast<float>(u(rng));
  // Run twice: the second frame must start its sums afresh.
  for (int frame = 0; frame < 2; ++frame) {
    s.Run();
    for (int k = 1; k <= 480; ++k)
      ASSERT_EQ(s.state.tracked[k], bruteMean(s.M(), k)) << k;
  }
  // The window of bin 480 reaches bin 511, where the map is 0.
  Scene top;
  std::fill(top.M() + 449, top.M() + 481, 64.0f);
  top.Run();
  EXPECT_EQ(std::pair(top.state.tracked[480], top.state.tracked[481]), std::pair(32.0f, 0.0f));
}

}  // namespace
}  // namespace orvo
