// Far-end alignment: the reference delay line and the far-end delay estimator.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "audio_core/delay_estimator.hpp"
#include "audio_core/delay_line.hpp"

namespace orvo {
namespace {

using Tags = std::pair<float, int>;  // frame number carried by a spectrum and by a sample frame

class DelayLineTest : public ::testing::Test {
 protected:
  DelayLineTest() { DelayLine_Reset(*line); }
  // Feeds frame `tag` (bin k = (tag, tag * k), samples all tag) with delay d; returns the tags
  // of the delayed spectrum and samples.
  Tags Step(int tag, int d) {
    std::vector<Cpx> s(kNumBins);
    for (int k = 0; k < kNumBins; ++k)
      s[k] = {static_cast<float>(tag), static_cast<float>(tag * k)};
    const Cpx* out = DelaySpkSpectrum(*line, s.data(), d);
    EXPECT_EQ(out[959].im, 959.0f * out[0].re);
    std::vector<int16_t> frame(960, static_cast<int16_t>(tag));
    DelaySpkSamples(*line, frame.data(), d);
    EXPECT_EQ(frame[959], frame[0]);
    return {out[0].re, frame[0]};
  }
  static Tags Tag(int t) { return {static_cast<float>(t), t}; }
  std::unique_ptr<ReferenceDelayLine> line = std::make_unique<ReferenceDelayLine>();
};

TEST_F(DelayLineTest, ReturnsTheFrameOfDFramesAgoAtMost20) {
  for (int f = 0; f < 30; ++f)  // d = 25 is treated as 20; silence before the first frame
    ASSERT_EQ(Step(f + 1, 25), Tag(f >= 20 ? f - 19 : 0)) << f;
  for (int f = 30; f < 40; ++f)
    ASSERT_EQ(Step(f + 1, 5), Tag(f - 4)) << f;
  // Frame 40 gave frame 35; with d = 3, frame 41 gives frame 38: frames 36 and 37 are skipped.
  EXPECT_EQ(Step(41, 3), Tag(38));
  EXPECT_EQ(Step(42, 0), Tag(42));
}

TEST_F(DelayLineTest, SampleRingWrapsWithoutLoss) {
  // 32768 is not a multiple of 960: frame 34 straddles the end of the ring.
  std::vector<int16_t> frame(960);
  int16_t next = 0, expected = 0;
  for (int f = 0; f < 80; ++f) {
    for (int16_t& s : frame)
      s = next++;
    DelaySpkSamples(*line, frame.data(), 3);
    for (int i = 0; i < 960 && f >= 3; ++i)
      ASSERT_EQ(frame[i], expected++) << "frame " << f;
  }
  EXPECT_EQ(line->writePos, (80 * 960) % 32768);
}

const std::vector<Cpx> kSilence(kNumBins, Cpx{0.0f, 0.0f});

// Far-end spectrum whose five estimator bands fluctuate independently from frame to frame.
std::vector<Cpx> Fluctuating(std::mt19937& rng) {
  std::vector<Cpx> s(kNumBins, Cpx{0.0f, 0.0f});
  std::uniform_real_distribution<float> level(0.0f, 4000.0f);
  for (int b = 0; b < 5; ++b) {
    const float a = level(rng);
    for (int k = 9 + 16 * b; k < 24 + 16 * b; ++k)
      s[k] = {a, 0.5f * a};
  }
  return s;
}

TEST(DelayEstimator, LocksToASteadyLeadOnTheTwentySecondAgreeingFrame) {
  DelayEstimator est{};
  std::mt19937 rng(7);
  std::vector<std::vector<Cpx>> far;
  int firstAgreement = -1, lockFrame = -1;
  for (int f = 0; f < 400 && lockFrame < 0; ++f) {
    far.push_back(Fluctuating(rng));
    const float candidateBefore = est.candidateDelay;
    const DelayEstimate r =
        DelayEstimator_Update(est, (f >= 5 ? far[f - 5] : kSilence).data(), far[f].data());
    if (firstAgreement < 0 && est.candidateDelay == 5.0f && candidateBefore != 5.0f)
      firstAgreement = f;
    if (est.lockedDelay == 5.0f) lockFrame = f;
    EXPECT_EQ(r.delay, lockFrame < 0 ? 0 : 4);
  }
  ASSERT_TRUE(firstAgreement >= 0 && lockFrame >= 0);
  EXPECT_EQ(lockFrame - firstAgreement + 1, 22);
  EXPECT_EQ(est.stableCount, 0);
  // Once locked, a loud microphone makes the lock confident; a quiet one never does.
  DelayEstimator quiet = est;
  int confident = 0;
  for (int f = 0; f < 50; ++f) {
    far.push_back(Fluctuating(rng));
    confident +=
        DelayEstimator_Update(est, far[far.size() - 6].data(), far.back().data()).confident;
    std::vector<Cpx> mic = far[far.size() - 6];
    for (Cpx& c : mic)
      c = {c.re * 0.001f, c.im * 0.001f};  // band 2 energy at most 300, below 20000
    EXPECT_EQ(DelayEstimator_Update(quiet, mic.data(), far.back().data()).confident, 0);
  }
  EXPECT_GT(confident, 25);
  EXPECT_EQ(quiet.lockedDelay, 5.0f);
}

TEST(DelayEstimator, SilentFarEndNeverMovesTheLock) {
  DelayEstimator est{};
  const DelayEstimator zero{};
  std::mt19937 rng(3);
  for (int f = 0; f < 300; ++f) {
    const DelayEstimate r = DelayEstimator_Update(est, Fluctuating(rng).data(), kSilence.data());
    ASSERT_TRUE(r.delay == 0 && r.confident == 0) << f;
  }
  EXPECT_TRUE(est.lockedDelay == 0.0f && est.stableCount == 0);
  EXPECT_EQ(0, std::memcmp(est.xcorr, zero.xcorr, sizeof est.xcorr));
}

TEST(DelayEstimator, ResetKeepsCandidateAndStableCountAndLockTruncates) {
  DelayEstimator est, expected{};
  std::memset(&est, 0x3f, sizeof est);
  expected.candidateDelay = est.candidateDelay;
  expected.stableCount = est.stableCount;
  DelayEstimator_Reset(est);
  EXPECT_EQ(0, std::memcmp(&est, &expected, sizeof est));
  // A locked delay of 4.8 frames reads lag 4 and gives an estimate of 3.
  est.lockedDelay = 4.8f;
  EXPECT_EQ(DelayEstimator_Update(est, kSilence.data(), kSilence.data()).delay, 3);
  EXPECT_EQ(est.ringPos, 15);  // moved down from 0 and wrapped
}

}  // namespace
}  // namespace orvo
