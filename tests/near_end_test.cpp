#include "audio_core/near_end.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

// The cycle count re-arms the release counter in every frame once it passes 40; a run of more
// than 25 frames without a low-band level and with more than 25 strong frames clears it. The
// two counters of the clearing rule are checked one at a time, each just at its limit.
TEST(NearEnd, CycleCountReArmsTheReleaseAfterFortyFrames) {
  Detector d;
  d.tuning.ceilingRelease = 1;
  d.Mark(6, 40, 1e6f);  // frame 0 re-arms through the low band, then nothing at all
  for (int i = 0; i <= 60; ++i) {
    d.Run();
    ASSERT_EQ(d.state.cycleCount, i + 1) << i;
    // From the 41st frame the count re-arms 55 before the frame's own step down.
    ASSERT_EQ(d.state.releaseCount, i < 40 ? 55 - i : 54) << i;
    if (i == 0) d.Mark(6, 40, 0.0f);
  }
}

TEST(NearEnd, CycleCountClearsOnlyWhenBothRunsPassTwentyFive) {
  // {framesSinceLevel, strongCount before the frame, a strong map in the frame, a low-band
  // level in the frame, cleared}.
  const std::tuple<int, int, bool, bool, bool> cases[] = {
      {25, 25, true, false, true},  {24, 25, true, false, false},  {25, 24, true, false, false},
      {25, 30, false, false, true}, {25, 25, false, false, false}, {30, 25, false, false, false},
      {40, 40, true, true, false},  {26, 26, false, false, true}};
  for (const auto& [sinceLevel, strong, strongFrame, levelFrame, cleared] : cases) {
    Detector d;
    d.tuning.ceilingRelease = 1;
    d.state.cycleCount = 30;
    d.state.framesSinceLevel = sinceLevel;
    d.state.strongCount = strong;
    if (strongFrame) d.Mark(300, 400, 1e4f);  // map total 1.01e6: strong, no low band
    if (levelFrame) d.Mark(6, 40, 1e6f);
    d.Run();
    EXPECT_EQ(d.state.cycleCount, cleared ? 0 : 31)
        << sinceLevel << " " << strong << " " << strongFrame << " " << levelFrame;
  }
}

// The high-band peak (near-end energy of bins 140..480) jumps up to a higher sum and otherwise
// keeps a quarter of itself and takes three quarters of the new sum; the low-band level is the
// low-band sum less highBandWeight times that peak.
TEST(NearEnd, HighBandPeakJumpsUpAndFallsKeepingAQuarter) {
  Detector d;
  d.tuning.highBandWeight = 2.0f;
  d.Mark(139, 139, 1e6f);  // region 3: not high band
  d.Mark(140, 140, 1e4f);
  d.Mark(300, 339, 1e4f);
  d.Mark(480, 480, 1e4f);
  d.Mark(481, 481, 1e6f);  // beyond bin 480: ignored
  d.Run();
  const float first = 42e4f;
  EXPECT_EQ(d.state.highBandPeak, first);
  d.P.assign(kNumBins, 0.0f);
  d.Mark(300, 319, 1e4f);  // 2e5
  d.Run();
  const float second = 0.25f * first + 0.75f * 2e5f;
  EXPECT_EQ(d.state.highBandPeak, second);
  d.P.assign(kNumBins, 0.0f);
  d.Run();
  const float third = 0.25f * second;
  EXPECT_EQ(d.state.highBandPeak, third);
  // Low band 6..40: 35 bins of 2000 = 70000 less 2 x the peak after this frame's update.
  for (const float lowBin : {2000.0f, 1000.0f}) {
    Detector l = d;
    l.tuning.speechLevelThreshold = 70000.0f - 2.0f * 0.25f * third - 100.0f;
    l.Mark(6, 40, lowBin);
    l.Run();
    EXPECT_EQ(l.state.highBandPeak, 0.25f * third);
    EXPECT_EQ(l.state.levelOverThreshold, lowBin == 2000.0f) << lowBin;
  }
  d.Mark(300, 399, 1e4f);  // a higher sum is taken whole
  d.Run();
  EXPECT_EQ(d.state.highBandPeak, 1e6f);
}

// The weighted level follows the weighted residual of bins 1..480 except while the far end
// talks alone (talk state 2), where it keeps the last value.
TEST(NearEnd, WeightedLevelIsFrozenOnlyInTalkStateTwo) {
  Detector d;
  d.W[7] = 5.0f;
  auto level = [&](float p, int talkState) {
    d.P.assign(kNumBins, p);  // bins 0 and 481..959 carry power too, and must not count
    d.talkState = talkState;
    d.Run();
    return d.state.weightedLevel;
  };
  const float unit = std::sqrt((479.0f + 5.0f) * 1e4f * 2.1701392e-6f);
  EXPECT_FLOAT_EQ(level(1e4f, 1), unit);
  const float before = d.state.weightedLevel;
  EXPECT_EQ(level(4e4f, 2), before);  // frozen while the far end talks alone
  EXPECT_FLOAT_EQ(level(4e4f, 3), 2.0f * unit);
  EXPECT_FLOAT_EQ(level(1e4f, 2), 2.0f * unit);
  EXPECT_FLOAT_EQ(level(9e4f, 1), 3.0f * unit);
}

// In strong mode a frame counts for the score, and the held speech flag shows, only when the
// map detects speech in that frame; in normal mode the low-band level and the hold suffice.
TEST(NearEnd, StrongModeNeedsADetectedMapForScoreAndFlag) {
  enum Frame { kBoth, kMapOnly, kLevelOnly, kNothing };
  auto mark = [](Detector& d, Frame f) {
    d.P.assign(kNumBins, 0.0f);
    if (f == kBoth) d.Mark(6, 40, 1e4f);          // map 3.5e5, low band well above 500
    if (f == kMapOnly) d.Mark(300, 400, 100.0f);  // map 10100, no low band
    if (f == kLevelOnly) d.Mark(6, 40, 80.0f);    // map 2800: no detection; low band 2800 or 960
  };
  // {frame, {score, hold, flag} in normal mode, the same in strong mode}.
  using Flags = std::tuple<int, int, int>;
  const std::tuple<Frame, Flags, Flags> frames[] = {
      {kBoth, {1, 0, 0}, {1, 0, 0}},        {kBoth, {2, 0, 0}, {2, 0, 0}},
      {kBoth, {3, 50, 1}, {3, 50, 1}},      {kNothing, {2, 49, 1}, {2, 49, 0}},
      {kMapOnly, {1, 48, 1}, {1, 48, 1}},   {kLevelOnly, {2, 47, 1}, {0, 47, 0}},
      {kLevelOnly, {3, 50, 1}, {0, 46, 0}}, {kLevelOnly, {4, 50, 1}, {0, 45, 0}},
      {kMapOnly, {3, 49, 1}, {0, 44, 1}}};
  for (const int strong : {0, 1}) {
    Detector d;
    d.strongMode = strong;
    d.tuning.speechLevelThreshold = 500.0f;
    d.tuning.highBandWeight = 0.0f;
    int i = 0;
    for (const auto& [frame, normal, strongFlags] : frames) {
      mark(d, frame);
      d.Run();
      EXPECT_EQ(std::tuple(d.state.speechScore, d.state.speechHold, d.state.speechFlag),
                strong ? strongFlags : normal)
          << "strong " << strong << " frame " << i++;
    }
  }
}

}  // namespace
}  // namespace orvo
