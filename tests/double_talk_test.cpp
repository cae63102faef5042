#include "audio_core/double_talk.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace orvo {
namespace {

// Inputs of one double-talk frame, all zero unless a test sets them.
struct DtFrame {
  std::vector<float> residual = std::vector<float>(kNumBins, 0.0f);
  std::vector<float> far = std::vector<float>(kNumBins, 0.0f);
  std::vector<float> noise = std::vector<float>(kNumBins, 0.0f);
  float coupling[kNumGroups] = {1, 1, 1, 1, 1, 1};

  void Run(DoubleTalk& dt) const {
    DoubleTalk_Detect(residual.data(), far.data(), noise.data(), coupling, dt);
  }
};

DoubleTalk FreshDetector(float threshold) {
  DoubleTalk dt;
  DoubleTalk_Create(dt);
  dt.threshold = threshold;
  return dt;
}

TEST(DoubleTalk, CreateZeroes) {
  DoubleTalk dt;
  std::memset(&dt, 0x5a, sizeof(dt));
  DoubleTalk_Create(dt);
  for (float p : dt.farPeak)
    EXPECT_EQ(p, 0.0f);
  EXPECT_EQ(dt.score, 0.0f);
  EXPECT_EQ(dt.hangover, 0);
  EXPECT_EQ(dt.threshold, 0.0f);
}

TEST(DoubleTalk, ResidualBelowEightTimesNoiseScoresZeroAndHangoverOnlyCountsDown) {
  DoubleTalk dt = FreshDetector(48.0f);
  dt.hangover = 2;
  DtFrame f;
  for (int k = 12; k < 244; ++k) {
    f.noise[k] = 1000.0f;
    f.residual[k] = 8000.0f;  // exactly 8 N: no excess
  }
  f.Run(dt);
  EXPECT_EQ(dt.score, 0.0f);
  EXPECT_EQ(dt.hangover, 1);
  f.Run(dt);
  EXPECT_EQ(dt.hangover, 0);
  f.Run(dt);
  EXPECT_EQ(dt.hangover, 0);
}

TEST(DoubleTalk, ScoreExactlyAtThresholdIsNoDetection) {
  // Far end silent: every denominator is 10000, so one bin with R = 480000 scores exactly 48.
  DoubleTalk dt = FreshDetector(48.0f);
  DtFrame f;
  f.residual[100] = 480000.0f;
  f.Run(dt);
  EXPECT_EQ(dt.score, 48.0f);
  EXPECT_EQ(dt.hangover, 0);

  f.residual[100] = 480016.0f;
  f.Run(dt);
  EXPECT_GT(dt.score, 48.0f);
  EXPECT_EQ(dt.hangover, 2);
}

TEST(DoubleTalk, OneDetectionHoldsDoubleTalkForTwoFrames) {
  DoubleTalk dt = FreshDetector(48.0f);
  DtFrame loud;
  loud.residual[100] = 1e6f;
  const DtFrame quiet;
  // talkState as the pipeline derives it while the far end is active.
  auto talkState = [](const DoubleTalk& d) { return d.hangover > 0 ? 3 : 2; };

  loud.Run(dt);
  EXPECT_EQ(dt.hangover, 2);
  EXPECT_EQ(talkState(dt), 3);
  quiet.Run(dt);
  EXPECT_EQ(dt.hangover, 1);
  EXPECT_EQ(talkState(dt), 3);
  quiet.Run(dt);
  EXPECT_EQ(dt.hangover, 0);
  EXPECT_EQ(talkState(dt), 2);
  // A new detection during the hangover re-arms it.
  quiet.Run(dt);
  loud.Run(dt);
  EXPECT_EQ(dt.hangover, 2);
}

TEST(DoubleTalk, BlocksCoverBins12To243Only) {
  DoubleTalk dt = FreshDetector(1e30f);
  DtFrame f;
  f.residual[11] = 1e6f;
  f.residual[244] = 1e6f;
  f.residual[959] = 1e6f;
  f.Run(dt);
  EXPECT_EQ(dt.score, 0.0f);

  f.residual[12] = 10000.0f;
  f.residual[243] = 20000.0f;
  f.Run(dt);
  EXPECT_FLOAT_EQ(dt.score, 3.0f);
}

TEST(DoubleTalk, BlockUsesGroupOfItsFirstBin) {
  // Block 1 spans bins 20..27: its first bin lies in group 1 although bins 24..27 are group 2.
  DoubleTalk dt = FreshDetector(1e30f);
  DtFrame f;
  f.coupling[1] = 2.0f;
  f.coupling[2] = 1000.0f;
  f.far[20] = 5000.0f;
  f.residual[26] = 90000.0f;
  f.Run(dt);
  EXPECT_FLOAT_EQ(dt.score, 90000.0f / (2.0f * 5000.0f + 10000.0f));
  EXPECT_EQ(dt.farPeak[1], 5000.0f);

  // The block starting at bin 140 (b = 16) is the first of group 4.
  DoubleTalk dt2 = FreshDetector(1e30f);
  DtFrame g;
  g.coupling[3] = 1000.0f;
  g.coupling[4] = 3.0f;
  g.far[140] = 10000.0f;
  g.residual[147] = 40000.0f;
  g.Run(dt2);
  EXPECT_FLOAT_EQ(dt2.score, 40000.0f / (3.0f * 10000.0f + 10000.0f));

  // Block starting at bin 132 (b = 15) spans 132..139 and stays in group 3.
  DoubleTalk dt3 = FreshDetector(1e30f);
  DtFrame h;
  h.coupling[3] = 1.0f;
  h.coupling[4] = 1000.0f;
  h.far[132] = 10000.0f;
  h.residual[139] = 40000.0f;
  h.Run(dt3);
  EXPECT_FLOAT_EQ(dt3.score, 40000.0f / (1.0f * 10000.0f + 10000.0f));
}

TEST(DoubleTalk, FarPeakHoldsAndDecaysByPointEight) {
  DoubleTalk dt = FreshDetector(1e30f);
  DtFrame f;
  for (int k = 12; k < 20; ++k)
    f.far[k] = 1000.0f;  // block 0 sums to 8000
  f.Run(dt);
  EXPECT_EQ(dt.farPeak[0], 8000.0f);
  const DtFrame quiet;
  quiet.Run(dt);
  EXPECT_FLOAT_EQ(dt.farPeak[0], 6400.0f);
  f.far[12] = 0.0f;
  for (int k = 13; k < 20; ++k)
    f.far[k] = 100.0f;  // 700, below 0.8 * 6400
  f.Run(dt);
  EXPECT_FLOAT_EQ(dt.farPeak[0], 5120.0f);

  // The held peak divides the excess.
  DtFrame r;
  r.residual[15] = 1e5f;
  r.noise[15] = 1000.0f;  // excess 1e5 - 8000
  r.Run(dt);
  EXPECT_FLOAT_EQ(dt.score, 92000.0f / (0.8f * 5120.0f + 10000.0f));
}

// ---------------------------------------------------------------------------------------------

struct TalkerScene {
  std::vector<std::vector<Cpx>> spectra;
  std::vector<NoisePsdState> noise;
  const Cpx* ptrs[kMaxMics] = {};

  explicit TalkerScene(int mics) : spectra(mics, std::vector<Cpx>(kNumBins, Cpx{0, 0})) {
    noise.resize(mics);
    for (auto& n : noise)
      std::memset(&n, 0, sizeof(n));
    for (int m = 0; m < mics; ++m)
      ptrs[m] = spectra[m].data();
  }
  // Puts power p into one bin of every 16-bin block of microphone m.
  void Fill(int m, float p) {
    for (int b = 0; b < kTalkerBlocks; ++b)
      spectra[m][16 + 16 * b + 3] = Cpx{std::sqrt(p), 0.0f};
  }
};

TalkerMic FreshTalker() {
  TalkerMic t;
  TalkerMic_Create(t);
  return t;
}

TEST(TalkerMic, ScoreExactlyTwoNamesNobody) {
  TalkerScene s(2);                    // BestMic 0 silent: every denominator is 1
  s.spectra[1][40] = Cpx{1.0f, 1.0f};  // power 2 in one block
  TalkerMic t = FreshTalker();
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 2, t);
  EXPECT_EQ(t.bestScore, 2.0f);
  EXPECT_EQ(t.hangover, 0);
  EXPECT_EQ(t.foundMic, 0);

  s.spectra[1][41] = Cpx{0.0f, 0.01f};
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 2, t);
  EXPECT_GT(t.bestScore, 2.0f);
  EXPECT_EQ(t.hangover, 35);
  EXPECT_EQ(t.foundMic, 1);
}

TEST(TalkerMic, TieGoesToLowestIndexAndSilenceToMicZero) {
  TalkerScene s(4);
  TalkerMic t = FreshTalker();
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 4, t);
  EXPECT_EQ(t.bestScore, 0.0f);
  EXPECT_EQ(t.hangover, 0);

  s.Fill(2, 50.0f);
  s.Fill(3, 50.0f);
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 4, t);
  EXPECT_FLOAT_EQ(t.bestScore, 9 * 50.0f);
  EXPECT_EQ(t.foundMic, 2);
  EXPECT_EQ(t.hangover, 35);
}

TEST(TalkerMic, EqualPowerScoresStayBelowTwoAndAQuarter) {
  TalkerScene s(3);
  for (int m = 0; m < 3; ++m)
    s.Fill(m, 1e6f);
  TalkerMic t = FreshTalker();
  TalkerMic_Search(s.noise.data(), s.ptrs, 1, 3, t);
  // Each block: M / (1 + 4 M) with the fresh peak equal to M.
  float expected = 0.0f;
  for (int b = 0; b < kTalkerBlocks; ++b)
    expected += 1e6f / (1.0f + 4.0f * 1e6f);
  EXPECT_FLOAT_EQ(t.bestScore, expected);
  EXPECT_LT(t.bestScore, 2.25f);
  EXPECT_EQ(t.foundMic, 0);  // all equal: the lowest index

  // With BestMic's peak held from a louder frame the same equal powers score far lower.
  TalkerScene loud(3);
  for (int m = 0; m < 3; ++m)
    loud.Fill(m, 1e8f);
  TalkerMic u = FreshTalker();
  TalkerMic_Search(loud.noise.data(), loud.ptrs, 1, 3, u);
  TalkerMic_Search(s.noise.data(), s.ptrs, 1, 3, u);
  EXPECT_LT(u.bestScore, 0.1f);
  for (float p : u.peak)
    EXPECT_FLOAT_EQ(p, 0.8f * 1e8f);
}

TEST(TalkerMic, NoiseAndMicCountLimitTheScores) {
  TalkerScene s(3);
  s.Fill(1, 100.0f);
  for (int k = 16; k < 160; ++k)
    s.noise[1].noise[k] = 5.0f / 16.0f;  // 20 N = 100 per block: no excess
  s.Fill(2, 1e4f);                       // loud but outside NumberOfMics
  TalkerMic t = FreshTalker();
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 2, t);
  EXPECT_EQ(t.bestScore, 0.0f);
  EXPECT_EQ(t.hangover, 0);

  // Power outside bins 16..159 is ignored.
  TalkerScene o(2);
  o.spectra[1][15] = Cpx{100.0f, 0.0f};
  o.spectra[1][160] = Cpx{100.0f, 0.0f};
  TalkerMic_Search(o.noise.data(), o.ptrs, 0, 2, t);
  EXPECT_EQ(t.bestScore, 0.0f);
}

TEST(TalkerMic, HangoverIsKeptWhenNothingIsFound) {
  TalkerScene s(2);
  s.Fill(1, 100.0f);
  TalkerMic t = FreshTalker();
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 2, t);
  EXPECT_EQ(t.foundMic, 1);
  t.hangover = 20;  // the pipeline counts it down
  TalkerScene quiet(2);
  TalkerMic_Search(quiet.noise.data(), quiet.ptrs, 0, 2, t);
  EXPECT_EQ(t.hangover, 20);
  EXPECT_EQ(t.foundMic, 1);
}

TEST(TalkerMic, InvalidMicrophoneIndicesLeaveTheRecordUnchanged) {
  TalkerScene s(2);
  s.Fill(1, 100.0f);
  TalkerMic t = FreshTalker();
  TalkerMic_Search(s.noise.data(), s.ptrs, 2, 2, t);
  TalkerMic_Search(s.noise.data(), s.ptrs, 0, 0, t);
  TalkerMic_Search(s.noise.data(), s.ptrs, -1, 2, t);
  EXPECT_EQ(t.bestScore, 0.0f);
  EXPECT_EQ(t.hangover, 0);
  for (float p : t.peak)
    EXPECT_EQ(p, 0.0f);
}

}  // namespace
}  // namespace orvo
