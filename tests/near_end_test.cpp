#include "audio_core/near_end.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

namespace orvo {
namespace {

const std::vector<float> kUnit(kNumBins, 1.0f);

TEST(WeightingTable, KnownValues) {
  std::vector<float> W(kNumBins);
  BuildWeightingTable(W.data());
  EXPECT_FLOAT_EQ(W[0], 100.0f);                 // 1 / 0.1^2
  EXPECT_NEAR(W[240], 1.0f / 0.632212f, 1e-4f);  // w = 0.7854
  EXPECT_NEAR(W[959], 1.0f / 3.61f, 1e-4f);      // towards 1 / 1.9^2 at w = pi
}

EchoPeakState FreshEchoPeak(float scale) {
  EchoPeakState s;
  std::memset(&s, 0x3c, sizeof(s));
  EchoPeak_Create(s);
  s.scale = scale;
  return s;
}

TEST(ResidualEcho, NoEstimateInTalkStateOneEightTimesThePeakAboveAStrictThresholdInTwo) {
  EchoPeakState s = FreshEchoPeak(1.0f);  // thresholds 1e7 everywhere
  std::vector<float> Y(kNumBins, 5e7f);
  ResidualEcho_Estimate(Y.data(), 1, kUnit.data(), s);
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(s.echoEstimate[k], 0.0f) << k;
  EXPECT_EQ(std::tuple(s.peak[0], s.peak[1], s.peak[480], s.peak[481]),
            std::tuple(0.0f, 5e7f, 5e7f, 0.0f));
  // Same power again: not above the peak, which decays by 0.7 first.
  ResidualEcho_Estimate(Y.data(), 2, kUnit.data(), s);
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(s.echoEstimate[k], k >= 1 && k <= 480 ? 8.0f * (0.7f * 5e7f) : 0.0f) << k;

  s = FreshEchoPeak(0.5f);  // regions 0..3: 5e6; regions 4, 5 keep 1e7
  std::fill(Y.begin(), Y.end(), 0.0f);
  // Exactly the threshold of region 0; above 5e6 (region 3); below and above 1e7 (regions 4, 5).
  Y[5] = 5e6f, Y[100] = 6e6f, Y[200] = 6e6f, Y[300] = 2e7f;
  ResidualEcho_Estimate(Y.data(), 2, kUnit.data(), s);
  EXPECT_EQ(
      std::tuple(s.echoEstimate[5], s.echoEstimate[100], s.echoEstimate[200], s.echoEstimate[300]),
      std::tuple(0.0f, 8 * 6e6f, 0.0f, 8 * 2e7f));
  EXPECT_FLOAT_EQ(s.echoLevel, 2.0f * (5e6f + 6e6f + 6e6f + 2e7f) / 960.0f);
  std::fill(Y.begin(), Y.end(), 0.0f);
  ResidualEcho_Estimate(Y.data(), 2, kUnit.data(), s);
  EXPECT_EQ(std::pair(s.echoEstimate[100], s.echoEstimate[300]),  // 4.2e6 fell below 5e6
            std::pair(0.0f, 8 * (0.7f * 2e7f)));
}

TEST(ResidualEcho, PrepareScalesTheThresholdsByATenthOfTheNoiseScaleAndResetsTheFactors) {
  EchoPeakState s = FreshEchoPeak(0.0f);
  for (float& f : s.regionFactor)
    f = 3.0f;
  // Noise-estimator scale 4: thresholds 4e6 in regions 0..3, 1e7 in 4 and 5.
  ResidualEcho_Prepare(s, 4.0f);
  EXPECT_EQ(s.scale, 4.0f * 0.1f);
  std::vector<float> Y(kNumBins, 0.0f);
  Y[5] = Y[100] = Y[200] = Y[300] = 4.1e6f;  // regions 0, 3, 4, 5
  Y[20] = 3.9e6f;                            // region 1, below
  ResidualEcho_Estimate(Y.data(), 3, kUnit.data(), s);
  // Talk state 3 uses the region factors: 0.25 again after the set-up.
  EXPECT_EQ(std::tuple(s.echoEstimate[5], s.echoEstimate[100], s.echoEstimate[20],
                       s.echoEstimate[200], s.echoEstimate[300]),
            std::tuple(0.25f * 4.1e6f, 0.25f * 4.1e6f, 0.0f, 0.0f, 0.0f));
  for (int r = 0; r < kNumGroups; ++r)
    EXPECT_EQ(s.regionFactor[r], 0.25f) << r;
  // The default noise scale of 10 gives the creation threshold of 1e7.
  ResidualEcho_Prepare(s, 10.0f);
  Y.assign(kNumBins, 0.0f);
  Y[50] = 1.001e7f;
  Y[51] = 0.999e7f;
  ResidualEcho_Estimate(Y.data(), 2, kUnit.data(), s);
  EXPECT_EQ(std::pair(s.echoEstimate[50], s.echoEstimate[51]), std::pair(8.0f * 1.001e7f, 0.0f));
}

TEST(NearEnd, MalformedBandTableStops) {
  const int edge[kNumGroups] = {1, 24, 60, 140, 280, 960},
            tooHigh[kNumGroups] = {12, 24, 60, 140, 280, 961},
            zero[kNumGroups] = {12, 0, 60, 140, 280, 959};
  NearEnd_CheckBandTable(edge);  // 1 and 960 are allowed
  EXPECT_DEATH(NearEnd_CheckBandTable(tooHigh),
               "ParsPartTab\\[region_index\\]<=NUMBER_OF_BANDS.*PostFilter.*line 425");
  EXPECT_DEATH(NearEnd_CheckBandTable(zero), "ParsPartTab\\[region_index\\]>0.*line 426");
}

// One detector with unit weights: M[k] = P[k] wherever P[k] >= E[k].
struct Detector {
  NearEndState state;
  NoiseWeights weights{};
  std::vector<float> W = kUnit, P = std::vector<float>(kNumBins), E = P;
  NearEndTuning tuning{.speechLevelThreshold = 1000.0f};
  int talkState = 1, strongMode = 0;

  Detector() {
    std::memset(&state, 0x11, sizeof(state));
    NearEnd_Create(&state);
    std::fill(std::begin(weights.inverseNoise), std::end(weights.inverseNoise), 1.0f);
  }
  void Mark(int first, int last, float p = 100.0f) { std::fill(&P[first], &P[last] + 1, p); }
  std::vector<float> Run() {  // returns the residual as the call leaves it
    std::vector<float> p = P;
    NearEnd_Detect(p.data(), E.data(), weights, talkState, W.data(), tuning, strongMode, state);
    return p;
  }
  bool Kept(int k) const { return state.nearMap[k] != 0.0f; }
};

TEST(NearEnd, MapMarksBinsOneTo480AtOrAboveTheEchoEstimate) {
  Detector d;
  d.P.assign(kNumBins, 500.0f);
  d.E.assign(kNumBins, 500.0f);  // ties count as near end
  d.E[300] = 501.0f;
  d.weights.inverseNoise[100] = 3.0f;
  const std::vector<float> p = d.Run();
  EXPECT_EQ(std::tuple(d.state.nearMap[0], d.state.nearMap[10], d.state.nearMap[100],
                       d.state.nearMap[300], d.state.nearMap[481]),
            std::tuple(0.0f, 500.0f, 1500.0f, 0.0f, 0.0f));
  // The residual is cleared outside bins 1..480.
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(p[k], k >= 1 && k <= 480 ? 500.0f : 0.0f) << k;
}

TEST(NearEnd, LowBandLevelTest) {
  // {talkState, strongMode, first bin, last bin, P, E, speechLevelThreshold, expected}. Far end
  // alone P = 2 E is no near-end energy, 8 E is; in talk state 1 P >= E is, except in strong mode.
  // Map values above 30 count. 17500 beats 10000 but not 3 x 10000 outside talk state 1. The low
  // band is bins 6..40, in strong mode 12..40.
  const float cases[][8] = {{2, 0, 6, 40, 2000, 1000, 1000, 0}, {2, 0, 6, 40, 8000, 1000, 1000, 1},
                            {1, 0, 6, 40, 2000, 1000, 1000, 1}, {1, 1, 6, 40, 2000, 1000, 1000, 0},
                            {1, 0, 6, 40, 30, 0, 100, 0},       {1, 0, 6, 40, 31, 0, 100, 1},
                            {1, 0, 6, 40, 500, 0, 10000, 1},    {3, 0, 6, 40, 500, 0, 10000, 0},
                            {1, 0, 5, 5, 1e3, 0, 100, 0},       {1, 0, 6, 6, 1e3, 0, 100, 1},
                            {1, 0, 40, 40, 1e3, 0, 100, 1},     {1, 0, 41, 41, 1e3, 0, 100, 0},
                            {1, 1, 11, 11, 1e3, 0, 100, 0},     {1, 1, 12, 12, 1e3, 0, 100, 1}};
  for (const auto& c : cases) {
    Detector d;
    const int first = c[2], last = c[3];
    d.talkState = c[0];
    d.strongMode = c[1];
    d.Mark(first, last, c[4]);
    std::fill(&d.E[first], &d.E[last] + 1, c[5]);
    d.tuning.speechLevelThreshold = c[6];
    d.Run();
    EXPECT_EQ(d.state.levelOverThreshold, c[7]) << "case " << (&c - cases);
  }
}

TEST(NearEnd, CleaningClearsIsolatedBinsFrom24To479AndKeepsTheMiddleOfARunOfTwelve) {
  Detector d, runs;
  for (int k : {10, 23, 24, 100, 200, 300, 400, 479, 480})
    d.Mark(k, k);
  runs.Mark(50, 61);  // 12 bins: 53..58 see 12 marks in their windows
  runs.Mark(80, 90);  // 11 bins: nothing survives
  runs.Mark(16, 27);  // 16..23 are never cleaned but count for bin 24
  d.Run();
  runs.Run();
  for (int k = 1; k <= 480; ++k) {
    ASSERT_EQ(d.Kept(k), k == 10 || k == 23 || k == 480) << k;
    ASSERT_EQ(runs.Kept(k), (k >= 16 && k <= 24) || (k >= 53 && k <= 58)) << k;
  }
  // Each zone's window reaches exactly `half` bins either side of the centre: the centre and the
  // marks closest to the edge are exactly enough; moved one bin further out, the edge mark is not.
  const std::tuple<int, int, int> zones[] = {{100, 8, 12}, {240, 16, 16}, {400, 33, 33}};
  for (const auto& [centre, half, needed] : zones) {
    for (const int side : {-1, 1}) {
      Detector z;
      z.Mark(centre, centre);
      for (int k = centre + side * half, count = 1; count < needed; k -= side)
        if (k != centre) {
          z.Mark(k, k);
          ++count;
        }
      z.Run();
      EXPECT_TRUE(z.Kept(centre)) << centre << " side " << side;
      z.Mark(centre + side * half, centre + side * half, 0.0f);
      z.Mark(centre + side * (half + 1), centre + side * (half + 1));
      z.Run();
      EXPECT_FALSE(z.Kept(centre)) << centre << " side " << side;
    }
  }
}

TEST(NearEnd, SpeechTestsUseTheMapTotalBeforeCleaning) {
  Detector d;
  auto total = [&](float each) {  // four isolated marks, every one cleared
    for (int k : {50, 150, 250, 400})
      d.Mark(k, k, each);
    d.Run();
    return std::tuple(d.state.speechDetected, d.state.strongSpeech, d.state.strongCount);
  };
  EXPECT_EQ(total(720.0f), std::tuple(0, 0, 0));  // exactly 2880
  EXPECT_EQ(total(750.0f), std::tuple(1, 0, 0));
  EXPECT_FALSE(d.Kept(50) || d.Kept(150) || d.Kept(250) || d.Kept(400));
  EXPECT_EQ(total(1320.0f), std::tuple(1, 0, 0));  // exactly 5280
  d.Mark(50, 50, 1321.0f);
  d.Run();
  EXPECT_EQ(std::pair(d.state.strongSpeech, d.state.strongCount), std::pair(1, 1));
}

TEST(NearEnd, SpeechNeedsThreeCountingFramesAndDropsAfter26SilentFrames) {
  Detector d;
  d.Mark(1, 60, 1e4f);  // map total 6e5, low band 3.5e5
  // {speechScore, speechFlag, speechHold, silentFrames} after `frames` more frames.
  auto flags = [&](int frames) {
    for (int i = 0; i < frames; ++i)
      d.Run();
    return std::tuple(d.state.speechScore, d.state.speechFlag, d.state.speechHold,
                      d.state.silentFrames);
  };
  EXPECT_EQ(flags(1), std::tuple(1, 0, 0, 0));
  EXPECT_EQ(flags(1), std::tuple(2, 0, 0, 0));
  EXPECT_EQ(flags(1), std::tuple(3, 1, 50, 0));
  EXPECT_EQ(flags(11), std::tuple(10, 1, 50, 0));
  d.P.assign(kNumBins, 0.0f);
  EXPECT_EQ(flags(25), std::tuple(0, 1, 25, 25));  // the score counted down
  EXPECT_EQ(flags(1), std::tuple(0, 0, 0, 26));
}

TEST(NearEnd, CeilingReleaseCountIsReArmedByTheLowBandAndRunsDownWithoutIt) {
  Detector d;
  d.tuning.ceilingRelease = 1;
  d.Mark(6, 40, 1e6f);     // beats the high band and re-arms it in frame 0,
  d.Mark(300, 400, 1e4f);  // then a strong map without a low-band level runs it down
  for (int i = 0; i <= 70; ++i) {
    d.Run();
    ASSERT_EQ(d.state.releaseCount, std::max(55 - i, 0)) << i;
    if (i == 0) d.Mark(6, 40, 0.0f);
  }
  d.tuning.ceilingRelease = 0;  // switched off it reads 55 whatever the map
  d.Run();
  EXPECT_EQ(d.state.releaseCount, 55);
}

}  // namespace
}  // namespace orvo
