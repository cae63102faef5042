#include "audio_core/near_end.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace orvo {
namespace {

// ---------------------------------------------------------------------------------------------
// Weighting table and residual-echo estimate

TEST(WeightingTable, KnownValuesAndShape) {
  std::vector<float> W(kNumBins);
  BuildWeightingTable(W.data());
  EXPECT_FLOAT_EQ(W[0], 100.0f);  // 1 / 0.1^2
  // k = 240: w = 0.7854, (1 - 0.9 cos w)^2 + sin^2 w = 0.632212
  EXPECT_NEAR(W[240], 1.0f / 0.632212f, 1e-4f);
  // Close to w = pi the table approaches 1 / 1.9^2.
  EXPECT_NEAR(W[959], 1.0f / 3.61f, 1e-4f);
  for (int k = 1; k < kNumBins; ++k)
    ASSERT_LT(W[k], W[k - 1]) << k;
}

std::vector<float> UnitTable() {
  return std::vector<float>(kNumBins, 1.0f);
}

TEST(ResidualEcho, CreateValues) {
  EchoPeakState s;
  std::memset(&s, 0x3c, sizeof(s));
  EchoPeak_Create(s);
  for (int r = 0; r < kNumGroups; ++r) {
    EXPECT_EQ(s.regionFactor[r], 0.25f);
    EXPECT_EQ(s.regionThreshold[r], 1e7f);
  }
  EXPECT_EQ(s.peak[100], 0.0f);
  EXPECT_EQ(s.echoEstimate[100], 0.0f);
  EXPECT_EQ(s.echoLevel, 0.0f);
  EXPECT_EQ(s.scale, 0.0f);
}

TEST(ResidualEcho, TalkStateOneGivesNoEstimateTwoGivesEightTimesPeak) {
  EchoPeakState s;
  EchoPeak_Create(s);
  s.scale = 1.0f;  // 1e7 in regions 0..3 too
  std::vector<float> Y(kNumBins, 5e7f);
  const auto W = UnitTable();
  ResidualEcho_Estimate(Y.data(), 1, W.data(), s);
  for (int k = 0; k < kNumBins; ++k)
    ASSERT_EQ(s.echoEstimate[k], 0.0f) << k;
  EXPECT_EQ(s.peak[1], 5e7f);
  EXPECT_EQ(s.peak[480], 5e7f);
  EXPECT_EQ(s.peak[0], 0.0f);
  EXPECT_EQ(s.peak[481], 0.0f);

  // Same power again: not above the peak, so the peak decays by 0.7 first.
  ResidualEcho_Estimate(Y.data(), 2, W.data(), s);
  const float decayed = 0.7f * 5e7f;
  for (int k = 1; k <= 480; ++k)
    ASSERT_EQ(s.echoEstimate[k], 8.0f * decayed) << k;
  EXPECT_EQ(s.echoEstimate[0], 0.0f);
  EXPECT_EQ(s.echoEstimate[481], 0.0f);
}

TEST(ResidualEcho, PeakDecaysAndThresholdIsStrict) {
  EchoPeakState s;
  EchoPeak_Create(s);
  s.scale = 0.5f;  // regions 0..3: 5e6; regions 4, 5 keep 1e7
  std::vector<float> Y(kNumBins, 0.0f);
  Y[5] = 5e6f;    // exactly the threshold of region 0
  Y[100] = 6e6f;  // above 5e6 (region 3)
  Y[200] = 6e6f;  // below 1e7 (region 4)
  Y[300] = 2e7f;  // above 1e7 (region 5)
  const auto W = UnitTable();
  ResidualEcho_Estimate(Y.data(), 2, W.data(), s);
  EXPECT_EQ(s.regionThreshold[0], 5e6f);
  EXPECT_EQ(s.regionThreshold[3], 5e6f);
  EXPECT_EQ(s.regionThreshold[4], 1e7f);
  EXPECT_EQ(s.regionThreshold[5], 1e7f);
  EXPECT_EQ(s.echoEstimate[5], 0.0f);
  EXPECT_EQ(s.echoEstimate[100], 8 * 6e6f);
  EXPECT_EQ(s.echoEstimate[200], 0.0f);
  EXPECT_EQ(s.echoEstimate[300], 8 * 2e7f);
  EXPECT_FLOAT_EQ(s.echoLevel, 2.0f * (5e6f + 6e6f + 6e6f + 2e7f) / 960.0f);

  std::vector<float> quiet(kNumBins, 0.0f);
  ResidualEcho_Estimate(quiet.data(), 2, W.data(), s);
  EXPECT_FLOAT_EQ(s.peak[300], 0.7f * 2e7f);
  EXPECT_FLOAT_EQ(s.echoEstimate[300], 8 * 0.7f * 2e7f);
  EXPECT_EQ(s.echoEstimate[100], 0.0f);  // 4.2e6 fell below 5e6
}

TEST(ResidualEcho, TalkStateThreeUsesTheFactorOfEachRegion) {
  EchoPeakState s;
  EchoPeak_Create(s);
  s.scale = 0.1f;
  for (int r = 0; r < kNumGroups; ++r)
    s.regionFactor[r] = static_cast<float>(r + 1);
  std::vector<float> Y(kNumBins, 1e8f);
  const auto W = UnitTable();
  ResidualEcho_Estimate(Y.data(), 3, W.data(), s);
  const std::pair<int, int> binRegion[] = {{1, 0},   {11, 0},  {12, 1},  {23, 1},
                                           {24, 2},  {59, 2},  {60, 3},  {139, 3},
                                           {140, 4}, {279, 4}, {280, 5}, {480, 5}};
  for (auto [k, r] : binRegion)
    EXPECT_EQ(s.echoEstimate[k], 1e8f * (r + 1)) << k;
  EXPECT_EQ(s.echoEstimate[481], 0.0f);
}

// ---------------------------------------------------------------------------------------------
// Near-end detector

TEST(NearEnd, CreateZeroesAndChecksTheBandTable) {
  NearEndState s;
  std::memset(&s, 0x11, sizeof(s));
  NearEnd_Create(&s);
  for (int k = 0; k < kNumBins; ++k) {
    ASSERT_EQ(s.nearMap[k], 0.0f);
    ASSERT_EQ(s.marked[k], 0);
  }
  EXPECT_EQ(s.releaseCount, 0);
  EXPECT_EQ(s.highBandPeak, 0.0f);
  EXPECT_EQ(s.weightedLevel, 0.0f);

  const int tooHigh[kNumGroups] = {12, 24, 60, 140, 280, 961};
  const int zero[kNumGroups] = {12, 0, 60, 140, 280, 959};
  const int edge[kNumGroups] = {1, 24, 60, 140, 280, 960};
  NearEnd_CheckBandTable(edge);  // 1 and 960 are allowed
  EXPECT_DEATH(NearEnd_CheckBandTable(tooHigh),
               "ParsPartTab\\[region_index\\]<=NUMBER_OF_BANDS.*PostFilter.*line 425");
  EXPECT_DEATH(NearEnd_CheckBandTable(zero), "ParsPartTab\\[region_index\\]>0.*line 426");
}

// One detector with unit weights: M[k] = P[k] wherever P[k] >= E[k].
struct Detector {
  NearEndState state;
  NoiseWeights weights;
  std::vector<float> W = UnitTable();
  std::vector<float> P = std::vector<float>(kNumBins, 0.0f);
  std::vector<float> E = std::vector<float>(kNumBins, 0.0f);
  NearEndTuning tuning;
  int talkState = 1;
  int strongMode = 0;

  Detector() {
    NearEnd_Create(&state);
    std::memset(&weights, 0, sizeof(weights));
    for (float& w : weights.inverseNoise)
      w = 1.0f;
    tuning.speechLevelThreshold = 1000.0f;
  }
  void Clear() { std::fill(P.begin(), P.end(), 0.0f); }
  void Mark(int first, int last, float p = 100.0f) {
    for (int k = first; k <= last; ++k)
      P[k] = p;
  }
  void Run() {
    std::vector<float> p = P;
    NearEnd_Detect(p.data(), E.data(), weights, talkState, W.data(), tuning, strongMode, state);
  }
  bool Kept(int k) const { return state.nearMap[k] != 0.0f; }
};

TEST(NearEnd, ClearsResidualOutsideBinsOneTo480) {
  Detector d;
  std::vector<float> p(kNumBins, 7.0f);
  NearEnd_Detect(p.data(), d.E.data(), d.weights, 1, d.W.data(), d.tuning, 0, d.state);
  EXPECT_EQ(p[0], 0.0f);
  EXPECT_EQ(p[1], 7.0f);
  EXPECT_EQ(p[480], 7.0f);
  for (int k = 481; k < kNumBins; ++k)
    ASSERT_EQ(p[k], 0.0f) << k;
  EXPECT_EQ(d.state.nearMap[0], 0.0f);
  EXPECT_EQ(d.state.nearMap[481], 0.0f);
}

TEST(NearEnd, MapMarksResidualAtOrAboveTheEchoEstimate) {
  Detector d;
  d.talkState = 2;
  d.Mark(1, 480, 500.0f);
  d.E.assign(kNumBins, 500.0f);  // ties count as near end
  d.E[300] = 501.0f;
  d.weights.inverseNoise[100] = 3.0f;
  d.Run();
  EXPECT_EQ(d.state.nearMap[10], 500.0f);
  EXPECT_EQ(d.state.nearMap[100], 1500.0f);
  EXPECT_EQ(d.state.nearMap[300], 0.0f);
}

TEST(NearEnd, FarAloneNeedsEightTimesTheEchoForNearEndEnergy) {
  // Low band 6..40 with P = 2 E: in the map, but no near-end energy in talk state 2.
  Detector d;
  d.talkState = 2;  // threshold 3 * 1000
  for (int k = 6; k <= 40; ++k) {
    d.E[k] = 1000.0f;
    d.P[k] = 2000.0f;
  }
  d.Run();
  EXPECT_EQ(d.state.nearMap[20], 2000.0f);
  EXPECT_EQ(d.state.levelOverThreshold, 0);

  for (int k = 6; k <= 40; ++k)
    d.P[k] = 8000.0f;  // exactly 8 E counts
  d.Run();
  EXPECT_EQ(d.state.levelOverThreshold, 1);

  // Talk state 1 (normal mode) needs only P >= E.
  Detector e;
  e.talkState = 1;
  for (int k = 6; k <= 40; ++k) {
    e.E[k] = 1000.0f;
    e.P[k] = 2000.0f;
  }
  e.Run();
  EXPECT_EQ(e.state.levelOverThreshold, 1);
  // In strong mode talk state 1 keeps the factor 8.
  e.strongMode = 1;
  e.Run();
  EXPECT_EQ(e.state.levelOverThreshold, 0);
}

TEST(NearEnd, NearEndEnergyNeedsMapAboveThirty) {
  Detector d;
  d.tuning.speechLevelThreshold = 100.0f;
  d.Mark(6, 40, 30.0f);  // m = 30 is not above 30
  d.Run();
  EXPECT_EQ(d.state.levelOverThreshold, 0);
  d.Mark(6, 40, 31.0f);
  d.Run();
  EXPECT_EQ(d.state.levelOverThreshold, 1);
}

TEST(NearEnd, LowBandIsBins6To40OrInStrongMode12To40) {
  for (int strong : {0, 1}) {
    for (int k : {5, 6, 11, 12, 40, 41}) {
      Detector d;
      d.strongMode = strong;
      d.tuning.speechLevelThreshold = 100.0f;
      d.Mark(k, k, 1000.0f);
      d.Run();
      const bool inside = k <= 40 && k >= (strong ? 12 : 6);
      EXPECT_EQ(d.state.levelOverThreshold, inside) << "strong " << strong << " bin " << k;
    }
  }
}

TEST(NearEnd, HighBandPeakLowersTheLowBandLevel) {
  Detector d;
  d.tuning.speechLevelThreshold = 1000.0f;
  d.Mark(6, 40, 100.0f);      // low band 3500
  d.Mark(140, 140, 3000.0f);  // high band 3000
  d.Run();
  EXPECT_EQ(d.state.highBandPeak, 3000.0f);
  EXPECT_EQ(d.state.levelOverThreshold, 0);  // 3500 - 3000 = 500
  d.Mark(140, 140, 0.0f);
  d.Run();
  EXPECT_EQ(d.state.highBandPeak, 750.0f);   // 0.25 * 3000 + 0.75 * 0
  EXPECT_EQ(d.state.levelOverThreshold, 1);  // 3500 - 750
  d.tuning.highBandWeight = 0.0f;
  d.Mark(480, 480, 1e6f);
  d.Run();
  EXPECT_EQ(d.state.highBandPeak, 1e6f);
  EXPECT_EQ(d.state.levelOverThreshold, 1);
}

TEST(NearEnd, CleaningClearsIsolatedBinsFrom24To479Only) {
  Detector d;
  for (int k : {10, 23, 30, 100, 200, 300, 400, 479, 480})
    d.Mark(k, k);
  d.Run();
  for (int k : {10, 23, 480})
    EXPECT_TRUE(d.Kept(k)) << k;
  for (int k : {30, 100, 200, 300, 400, 479})
    EXPECT_FALSE(d.Kept(k)) << k;
}

TEST(NearEnd, RunOfTwelveSurvivesInItsMiddleBetween24And159) {
  Detector d;
  d.Mark(50, 61);  // 12 bins
  d.Run();
  for (int k = 50; k <= 61; ++k)
    EXPECT_EQ(d.Kept(k), k >= 53 && k <= 58) << k;

  Detector e;
  e.Mark(80, 90);  // 11 bins: nothing survives
  e.Run();
  for (int k = 80; k <= 90; ++k)
    EXPECT_FALSE(e.Kept(k)) << k;
}

TEST(NearEnd, CountsIncludeUncleanedBinsAndIgnoreTheClearing) {
  Detector d;
  d.Mark(16, 27);  // bins 16..23 are never cleaned but count for bin 24
  d.Run();
  for (int k = 16; k <= 24; ++k)
    EXPECT_TRUE(d.Kept(k)) << k;
  for (int k = 25; k <= 27; ++k)
    EXPECT_FALSE(d.Kept(k)) << k;
}

TEST(NearEnd, TopWindowReachesPastBin480) {
  // Bins past 480 are never marked, so the top bins need their marks below.
  Detector d;
  d.Mark(448, 480);  // bin 479 counts 446..512: 33
  d.Run();
  EXPECT_TRUE(d.Kept(479));
  EXPECT_TRUE(d.Kept(448));  // window 415..481 holds all 33
  d.Clear();
  d.Mark(449, 480);  // 32 marks: 449..479 cleared, 480 never cleaned
  d.Run();
  EXPECT_FALSE(d.Kept(479));
  EXPECT_TRUE(d.Kept(480));
}

TEST(NearEnd, WindowEdgesReachExactlyHalfAWindowEachSide) {
  struct Zone {
    int center, half, minCount;
  };
  for (const Zone z : {Zone{100, 8, 12}, Zone{240, 16, 16}, Zone{400, 33, 33}}) {
    for (int side : {-1, 1}) {
      // The centre, one mark at the edge of the window on one side and minCount - 2 marks
      // closest to the centre elsewhere in the window: exactly minCount marks.
      Detector d;
      d.Mark(z.center, z.center);
      d.Mark(z.center + side * z.half, z.center + side * z.half);
      const int extra = z.minCount - 2;
      const int opposite = extra < z.half ? extra : z.half;
      for (int i = 1; i <= opposite; ++i)
        d.Mark(z.center - side * i, z.center - side * i);
      for (int i = 1; i <= extra - opposite; ++i)
        d.Mark(z.center + side * i, z.center + side * i);
      d.Run();
      EXPECT_TRUE(d.Kept(z.center)) << z.center << " side " << side;
      // One bin further out the edge mark no longer counts.
      d.Mark(z.center + side * z.half, z.center + side * z.half, 0.0f);
      d.Mark(z.center + side * (z.half + 1), z.center + side * (z.half + 1));
      d.Run();
      EXPECT_FALSE(d.Kept(z.center)) << z.center << " side " << side;
    }
  }
}

TEST(NearEnd, SpeechTestsUseTheMapTotalBeforeCleaning) {
  Detector d;
  for (int k : {50, 150, 250, 400})
    d.Mark(k, k, 720.0f);  // total exactly 2880
  d.Run();
  EXPECT_EQ(d.state.speechDetected, 0);
  for (int k : {50, 150, 250, 400})
    d.Mark(k, k, 750.0f);  // 3000, every mark cleared
  d.Run();
  EXPECT_EQ(d.state.speechDetected, 1);
  EXPECT_EQ(d.state.strongSpeech, 0);
  for (int k : {50, 150, 250, 400})
    EXPECT_FALSE(d.Kept(k));
  for (int k : {50, 150, 250, 400})
    d.Mark(k, k, 1320.0f);  // exactly 5280
  d.Run();
  EXPECT_EQ(d.state.strongSpeech, 0);
  EXPECT_EQ(d.state.strongCount, 0);
  d.Mark(50, 50, 1321.0f);
  d.Run();
  EXPECT_EQ(d.state.strongSpeech, 1);
  EXPECT_EQ(d.state.strongCount, 1);
}

TEST(NearEnd, SpeechNeedsThreeCountingFramesAndDropsAfter26SilentFrames) {
  Detector d;
  d.Mark(1, 60, 1e4f);  // map total 6e5, low band 3.5e5
  d.Run();
  d.Run();
  EXPECT_EQ(d.state.speechScore, 2);
  EXPECT_EQ(d.state.speechFlag, 0);
  d.Run();
  EXPECT_EQ(d.state.speechScore, 3);
  EXPECT_EQ(d.state.speechHold, 50);
  EXPECT_EQ(d.state.speechFlag, 1);
  for (int i = 0; i < 10; ++i)
    d.Run();
  EXPECT_EQ(d.state.speechScore, 10);

  d.Clear();
  for (int i = 1; i <= 25; ++i)
    d.Run();
  EXPECT_EQ(d.state.silentFrames, 25);
  EXPECT_EQ(d.state.speechHold, 25);
  EXPECT_EQ(d.state.speechFlag, 1);
  d.Run();
  EXPECT_EQ(d.state.silentFrames, 26);
  EXPECT_EQ(d.state.speechFlag, 0);
  EXPECT_EQ(d.state.speechHold, 0);
  EXPECT_EQ(d.state.speechScore, 0);
}

TEST(NearEnd, StrongModeFlagRequiresTheDetectedMap) {
  Detector d;
  d.strongMode = 1;
  d.Mark(12, 40, 1e4f);
  for (int i = 0; i < 3; ++i)
    d.Run();
  EXPECT_EQ(d.state.speechFlag, 1);
  // Low-band level alone, map total below 2880: the flag drops although the hold runs.
  d.Clear();
  d.Run();
  EXPECT_EQ(d.state.speechHold, 49);
  EXPECT_EQ(d.state.speechFlag, 0);
}

TEST(NearEnd, WeightedLevelIsFrozenWhileTheFarEndTalksAlone) {
  Detector d;
  d.W.assign(kNumBins, 2.0f);
  d.Mark(1, 60, 1e4f);
  d.Run();
  const float expected = std::sqrt(2.0f * 6e5f * 2.1701392e-6f);
  EXPECT_FLOAT_EQ(d.state.weightedLevel, expected);
  d.talkState = 2;
  d.Mark(1, 60, 1e6f);
  d.Run();
  EXPECT_EQ(d.state.weightedLevel, expected);
  d.talkState = 3;
  d.Run();
  EXPECT_FLOAT_EQ(d.state.weightedLevel, std::sqrt(2.0f * 6e7f * 2.1701392e-6f));
}

TEST(NearEnd, LevelThresholdTriplesUnlessTheFarEndIsSilent) {
  Detector d;
  d.tuning.speechLevelThreshold = 10000.0f;
  d.Mark(6, 40, 500.0f);  // low band 17500
  d.Run();
  EXPECT_EQ(d.state.levelOverThreshold, 1);
  d.talkState = 3;
  d.Run();
  EXPECT_EQ(d.state.levelOverThreshold, 0);
}

TEST(NearEnd, ReleaseCountReads55WithCeilingReleaseOff) {
  Detector d;
  for (int i = 0; i < 60; ++i) {
    if (i % 7 == 0)
      d.Mark(1, 60, 1e4f);
    else
      d.Clear();
    d.Run();
    ASSERT_EQ(d.state.releaseCount, 55) << i;
  }
}

TEST(NearEnd, ReleaseCountRunsDownWithStrongMapButNoLowBandLevel) {
  Detector d;
  d.tuning.ceilingRelease = 1;
  // Silence from creation: nothing to release until the cycle passes 40.
  for (int i = 1; i <= 40; ++i) {
    d.Run();
    ASSERT_EQ(d.state.releaseCount, 0) << i;
  }
  d.Run();
  EXPECT_EQ(d.state.releaseCount, 54);

  Detector e;
  e.tuning.ceilingRelease = 1;
  e.Mark(6, 40, 1e4f);
  e.Run();  // level over threshold arms the counter
  EXPECT_EQ(e.state.releaseCount, 55);
  e.Clear();
  e.Mark(300, 400, 1e4f);  // strong map, only high band
  int previous = 55;
  for (int i = 0; i < 70; ++i) {
    e.Run();
    ASSERT_EQ(e.state.levelOverThreshold, 0);
    ASSERT_EQ(e.state.releaseCount, previous > 0 ? previous - 1 : 0) << i;
    previous = e.state.releaseCount;
  }
  EXPECT_EQ(e.state.releaseCount, 0);
  EXPECT_GT(e.state.strongCount, 25);
}

}  // namespace
}  // namespace orvo
