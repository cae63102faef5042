#include "audio_core/double_talk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

namespace orvo {
namespace {

// Inputs of one double-talk frame, all zero unless a test sets them.
struct DtFrame {
  std::vector<float> residual = std::vector<float>(kNumBins), far = residual, noise = residual;
  float coupling[kNumGroups] = {1, 1, 1, 1, 1, 1};
  void Run(DoubleTalk& dt) const {
    DoubleTalk_Detect(residual.data(), far.data(), noise.data(), coupling, dt);
  }
};

// A record created over garbage, so that anything Create leaves unset shows.
template <class Record>
Record Fresh(void (*create)(Record&)) {
  Record r;
  std::memset(&r, 0x5a, sizeof(r));
  create(r);
  return r;
}

TEST(DoubleTalk, ScoreExactlyAtThresholdIsNoDetectionAndOneDetectionHoldsTwoFrames) {
  DoubleTalk dt = Fresh(DoubleTalk_Create);
  dt.threshold = 48.0f;
  // Far end silent: every denominator is 10000, so one bin with R = 480000 scores exactly 48.
  DtFrame f;
  f.residual[100] = 480000.0f;
  f.Run(dt);
  EXPECT_EQ(std::pair(dt.score, dt.hangover), std::pair(48.0f, 0));
  f.residual[100] = 480016.0f;
  f.Run(dt);
  EXPECT_GT(dt.score, 48.0f);
  // talkState is 3 while the hangover runs: this frame and the next.
  for (const int expected : {2, 1, 0, 0}) {
    EXPECT_EQ(dt.hangover, expected);
    DtFrame().Run(dt);
  }
  f.Run(dt);  // a new detection re-arms it
  EXPECT_EQ(dt.hangover, 2);
}

TEST(DoubleTalk, ThresholdIsTheConfiguredValueOrFourWhenFixed) {
  DoubleTalk dt = Fresh(DoubleTalk_Create);
  DoubleTalk_SetThreshold(dt, 48, false);
  EXPECT_EQ(dt.threshold, 48.0f);
  DoubleTalk_SetThreshold(dt, 48, true);
  EXPECT_EQ(dt.threshold, 4.0f);
  DoubleTalk_SetThreshold(dt, 16777217, false);  // converted to float like any setter value
  EXPECT_EQ(dt.threshold, 16777216.0f);
  // Fixed at 4: a score of 4.8 is a detection that 48 would not be.
  DtFrame f;
  f.residual[100] = 48000.0f;
  DoubleTalk_SetThreshold(dt, 48, true);
  f.Run(dt);
  EXPECT_EQ(dt.hangover, 2);
}

TEST(DoubleTalk, TalkStateIsOneWhileTheFarEndIsSilentElseThreeDuringTheHangover) {
  DoubleTalk dt = Fresh(DoubleTalk_Create);
  dt.threshold = 48.0f;
  DtFrame detect, quiet;
  detect.residual[100] = 500000.0f;  // score 50
  // {frame input, far end active, talk state}: a detection shows in its frame and the next.
  const std::tuple<const DtFrame*, bool, int> frames[] = {
      {&quiet, true, 2},   {&detect, true, 3}, {&quiet, true, 3},  {&quiet, true, 2},
      {&detect, false, 1}, {&quiet, true, 3},  {&quiet, false, 1}, {&quiet, true, 2}};
  int i = 0;
  for (const auto& [input, farActive, state] : frames) {
    input->Run(dt);
    EXPECT_EQ(DoubleTalk_TalkState(dt, farActive), state) << "frame " << i++;
  }
}

TEST(DoubleTalk, BlocksCoverBins12To243AndUseTheGroupOfTheirFirstBin) {
  DoubleTalk dt = Fresh(DoubleTalk_Create);
  DtFrame f;  // bins 11, 244 and 959 are outside
  f.residual[11] = f.residual[244] = f.residual[959] = 1e6f;
  f.residual[12] = 10000.0f;
  f.residual[243] = 20000.0f;
  f.Run(dt);
  EXPECT_FLOAT_EQ(dt.score, 3.0f);

  // {far bin, residual bin, group of the block, the neighbouring group}: the block 20..27 starts
  // in group 1 though 24..27 are group 2; 140..147 is the first of group 4; 132..139 stays in 3.
  const int cases[][4] = {{20, 26, 1, 2}, {140, 147, 4, 3}, {132, 139, 3, 4}};
  for (const auto& c : cases) {
    DoubleTalk d = Fresh(DoubleTalk_Create);
    DtFrame g;
    g.coupling[c[2]] = 2.0f;
    g.coupling[c[3]] = 1000.0f;
    g.far[c[0]] = 5000.0f;
    g.residual[c[1]] = 90000.0f;
    g.Run(d);
    EXPECT_FLOAT_EQ(d.score, 90000.0f / (2.0f * 5000.0f + 10000.0f)) << c[0];
  }
}

TEST(DoubleTalk, FarPeakHoldsAndDecaysByPointEightAndOnlyExcessOverEightTimesNoiseCounts) {
  DoubleTalk dt = Fresh(DoubleTalk_Create);
  DtFrame f;
  std::fill(&f.far[12], &f.far[20], 1000.0f);  // block 0 sums to 8000
  f.Run(dt);
  EXPECT_EQ(dt.farPeak[0], 8000.0f);
  DtFrame().Run(dt);
  EXPECT_FLOAT_EQ(dt.farPeak[0], 6400.0f);
  // The held peak divides the excess, 1e5 - 8 * 1000, over 0.8 * 6400 + 10000. A block whose
  // residual stays below 8 N (bin 30) adds nothing.
  f = DtFrame();
  f.far[13] = 700.0f;  // below 0.8 * 6400
  f.residual[15] = 1e5f;
  f.noise[15] = f.residual[30] = f.noise[30] = 1000.0f;
  f.Run(dt);
  EXPECT_EQ(dt.farPeak[0], 5120.0f);
  EXPECT_FLOAT_EQ(dt.score, 92000.0f / (5120.0f + 10000.0f));
}

// Microphone spectra before cancellation and their noise records, all zero to start.
struct TalkerScene {
  std::vector<Cpx> spectra = std::vector<Cpx>(kMaxMics * kNumBins);
  std::vector<NoisePsdState> noise = std::vector<NoisePsdState>(kMaxMics);
  Cpx* Mic(int m) { return &spectra[m * kNumBins]; }
  void Fill(int m, float p) {  // power p in one bin of every 16-bin block
    for (int b = 0; b < kTalkerBlocks; ++b)
      Mic(m)[16 + 16 * b + 3] = Cpx{std::sqrt(p), 0.0f};
  }
  void Search(int best, int mics, TalkerMic& t) const {
    const Cpx* ptrs[kMaxMics];
    for (int m = 0; m < kMaxMics; ++m)
      ptrs[m] = &spectra[m * kNumBins];
    TalkerMic_Search(noise.data(), ptrs, best, mics, t);
  }
};

TEST(TalkerMic, ScoreExactlyTwoNamesNobody) {
  TalkerScene s;                   // BestMic 0 silent: every denominator is 1
  s.Mic(1)[40] = Cpx{1.0f, 1.0f};  // power 2 in one block
  TalkerMic t = Fresh(TalkerMic_Create);
  s.Search(0, 2, t);
  EXPECT_EQ(std::tuple(t.bestScore, t.hangover, t.foundMic), std::tuple(2.0f, 0, 0));
  s.Mic(1)[41] = Cpx{0.0f, 0.01f};
  s.Search(0, 2, t);
  EXPECT_GT(t.bestScore, 2.0f);
  EXPECT_EQ(std::pair(t.hangover, t.foundMic), std::pair(35, 1));
  // Nothing found later keeps the named microphone and the hangover the pipeline counts down.
  t.hangover = 20;
  TalkerScene().Search(0, 2, t);
  EXPECT_EQ(std::pair(t.hangover, t.foundMic), std::pair(20, 1));
}

TEST(TalkerMic, TiesGoToTheLowestIndexAndEqualPowersStayBelowTwoAndAQuarter) {
  TalkerScene s, same;
  s.Fill(2, 50.0f);
  s.Fill(3, 50.0f);
  TalkerMic t = Fresh(TalkerMic_Create);
  s.Search(0, 4, t);
  EXPECT_FLOAT_EQ(t.bestScore, 9 * 50.0f);
  EXPECT_EQ(std::pair(t.hangover, t.foundMic), std::pair(35, 2));

  for (int m = 0; m < 3; ++m)
    same.Fill(m, 1e6f);
  t = Fresh(TalkerMic_Create);
  same.Search(1, 3, t);
  // Each block: M / (1 + 4 M) with the fresh peak equal to M.
  EXPECT_FLOAT_EQ(t.bestScore, kTalkerBlocks * (1e6f / (1.0f + 4.0f * 1e6f)));
  EXPECT_LT(t.bestScore, 2.25f);
  EXPECT_EQ(t.foundMic, 0);
  TalkerScene().Search(1, 3, t);  // BestMic's held peak decays by 0.8
  EXPECT_FLOAT_EQ(t.peak[0], 0.8f * 1e6f);
}

TEST(TalkerMic, NoiseBandAndMicCountLimitTheScoresAndBadIndicesChangeNothing) {
  TalkerScene s;
  s.Fill(1, 100.0f);
  for (int k = 16; k < 160; ++k)
    s.noise[1].noise[k] = 5.0f / 16.0f;              // 20 N = 100 per block: no excess
  s.Fill(2, 1e4f);                                   // loud but outside NumberOfMics
  s.Mic(1)[15] = s.Mic(1)[160] = Cpx{100.0f, 0.0f};  // outside bins 16..159
  TalkerMic t = Fresh(TalkerMic_Create);
  s.Search(0, 2, t);
  EXPECT_EQ(std::pair(t.bestScore, t.hangover), std::pair(0.0f, 0));
  s.Fill(1, 1e4f);
  const std::pair<int, int> bad[] = {{2, 2}, {0, 0}, {-1, 2}, {0, kMaxMics + 1}};
  for (const auto& [best, mics] : bad)
    s.Search(best, mics, t);
  EXPECT_EQ(std::pair(t.bestScore, t.hangover), std::pair(0.0f, 0));
  for (float p : t.peak)
    EXPECT_EQ(p, 0.0f);
}

TEST(TalkerMic, TheNamedMicrophoneCountsDownFromItsHangoverAndCanBeForgotten) {
  TalkerMic t = Fresh(TalkerMic_Create);
  EXPECT_EQ(TalkerMic_CountDown(t), -1);
  EXPECT_EQ(t.hangover, 0);  // never below 0
  // A search names microphone 1 for 35 frames; the count-down of the same frame takes one, so
  // the microphone is returned in 34 frames.
  t.hangover = kTalkerHangover;
  t.foundMic = 1;
  int named = 0;
  while (named < 100 && TalkerMic_CountDown(t) == 1)
    ++named;
  EXPECT_EQ(named, kTalkerHangover - 1);
  EXPECT_EQ(t.hangover, 0);
  EXPECT_EQ(TalkerMic_CountDown(t), -1);
  t.hangover = 10;
  TalkerMic_Forget(t);
  EXPECT_EQ(t.hangover, 0);
  EXPECT_EQ(TalkerMic_CountDown(t), -1);
}

}  // namespace
}  // namespace orvo
