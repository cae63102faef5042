// Far-end alignment: the reference delay line and the far-end delay estimator.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "audio_core/delay_estimator.hpp"
#include "audio_core/delay_line.hpp"

namespace orvo {
namespace {

std::vector<Cpx> SpectrumTagged(float tag) {
  std::vector<Cpx> s(kNumBins);
  for (int k = 0; k < kNumBins; ++k)
    s[k] = {tag, static_cast<float>(k)};
  return s;
}

class DelayLineTest : public ::testing::Test {
 protected:
  DelayLineTest() : line_(std::make_unique<ReferenceDelayLine>()) { DelayLine_Reset(*line_); }
  std::unique_ptr<ReferenceDelayLine> line_;
};

TEST_F(DelayLineTest, ZeroDelayReturnsThisFrame) {
  const auto s = SpectrumTagged(3.0f);
  const Cpx* out = DelaySpkSpectrum(*line_, s.data(), 0);
  EXPECT_EQ(out[0].re, 3.0f);
  EXPECT_EQ(out[959].im, 959.0f);
  std::vector<int16_t> frame(960);
  for (int i = 0; i < 960; ++i)
    frame[i] = static_cast<int16_t>(i - 480);
  const auto original = frame;
  DelaySpkSamples(*line_, frame.data(), 0);
  EXPECT_EQ(frame, original);
}

TEST_F(DelayLineTest, DelayIsLimitedToTwentyFrames) {
  // With d = 25 the result is the spectrum of 20 calls before; silence before that.
  for (int f = 0; f < 30; ++f) {
    const auto s = SpectrumTagged(static_cast<float>(f + 1));
    const Cpx* out = DelaySpkSpectrum(*line_, s.data(), 25);
    EXPECT_EQ(out[0].re, f >= 20 ? static_cast<float>(f - 20 + 1) : 0.0f) << f;
  }
  std::vector<int16_t> frame(960);
  for (int f = 0; f < 30; ++f) {
    frame.assign(960, static_cast<int16_t>(f + 1));
    DelaySpkSamples(*line_, frame.data(), 25);
    EXPECT_EQ(frame[0], f >= 20 ? f - 20 + 1 : 0) << f;
    EXPECT_EQ(frame[959], frame[0]);
  }
}

TEST_F(DelayLineTest, SampleRingWrapsWithoutLoss) {
  // 32768 is not a multiple of 960: frame 34 straddles the end of the ring.
  std::vector<int16_t> frame(960);
  int16_t next = 0, expected = 0;
  for (int f = 0; f < 80; ++f) {
    for (int16_t& s : frame)
      s = next++;
    DelaySpkSamples(*line_, frame.data(), 3);
    if (f >= 3) {
      for (int i = 0; i < 960; ++i)
        ASSERT_EQ(frame[i], expected++) << "frame " << f;
    }
  }
  EXPECT_EQ(line_->writePos, (80 * 960) % 32768);
}

TEST_F(DelayLineTest, DelayDropSkipsFrames) {
  std::vector<int16_t> frame(960);
  std::vector<float> spectrumTags;
  for (int f = 0; f < 10; ++f) {
    const auto s = SpectrumTagged(static_cast<float>(f));
    const float tag = DelaySpkSpectrum(*line_, s.data(), 5)[0].re;
    frame.assign(960, static_cast<int16_t>(f));
    DelaySpkSamples(*line_, frame.data(), 5);
    EXPECT_EQ(frame[0], f >= 5 ? f - 5 : 0);
    if (f >= 5) {
      EXPECT_EQ(tag, static_cast<float>(f - 5));
    }
  }
  // Frame 9 gave frame 4; with d = 3, frame 10 gives frame 7: frames 5 and 6 are skipped.
  const auto s = SpectrumTagged(10.0f);
  EXPECT_EQ(DelaySpkSpectrum(*line_, s.data(), 3)[0].re, 7.0f);
  frame.assign(960, 10);
  DelaySpkSamples(*line_, frame.data(), 3);
  EXPECT_EQ(frame[0], 7);
}

// Far-end spectra whose five estimator bands fluctuate independently from frame to frame.
class FluctuatingFarEnd {
 public:
  explicit FluctuatingFarEnd(uint32_t seed) : rng_(seed) {}
  std::vector<Cpx> Next() {
    std::vector<Cpx> s(kNumBins, Cpx{0.0f, 0.0f});
    std::uniform_real_distribution<float> level(0.0f, 4000.0f);
    for (int b = 0; b < 5; ++b) {
      const float a = level(rng_);
      for (int k = 9 + 16 * b; k < 24 + 16 * b; ++k)
        s[k] = {a, 0.5f * a};
    }
    return s;
  }

 private:
  std::mt19937 rng_;
};

TEST(DelayEstimator, LocksToASteadyLeadOnTheTwentySecondAgreeingFrame) {
  DelayEstimator est{};
  DelayEstimator_Reset(est);
  FluctuatingFarEnd far(7);
  std::vector<std::vector<Cpx>> history;
  const std::vector<Cpx> silence(kNumBins, Cpx{0.0f, 0.0f});
  int firstAgreement = -1, lockFrame = -1;
  for (int f = 0; f < 400 && lockFrame < 0; ++f) {
    history.push_back(far.Next());
    const std::vector<Cpx>& mic = f >= 5 ? history[f - 5] : silence;
    const float candidateBefore = est.candidateDelay;
    const DelayEstimate r = DelayEstimator_Update(est, mic.data(), history[f].data());
    if (firstAgreement < 0 && est.candidateDelay == 5.0f && candidateBefore != 5.0f)
      firstAgreement = f;
    if (est.lockedDelay == 5.0f) {
      lockFrame = f;
      EXPECT_EQ(r.delay, 4);
      EXPECT_EQ(est.stableCount, 0);
    } else {
      EXPECT_EQ(r.delay, 0);
    }
  }
  ASSERT_GE(firstAgreement, 0);
  ASSERT_GE(lockFrame, 0);
  EXPECT_EQ(lockFrame - firstAgreement + 1, 22);
  // Once locked, a loud microphone makes the lock confident; a quiet one never does.
  int confident = 0;
  for (int f = 0; f < 50; ++f) {
    history.push_back(far.Next());
    const size_t n = history.size();
    confident += DelayEstimator_Update(est, history[n - 6].data(), history[n - 1].data()).confident;
  }
  EXPECT_GT(confident, 25);
  DelayEstimator quiet = est;
  for (int f = 0; f < 50; ++f) {
    history.push_back(far.Next());
    std::vector<Cpx> mic = history[history.size() - 6];
    for (Cpx& c : mic)
      c = {c.re * 0.01f, c.im * 0.01f};  // band 2 energy below 20000
    EXPECT_EQ(DelayEstimator_Update(quiet, mic.data(), history.back().data()).confident, 0);
  }
  EXPECT_EQ(quiet.lockedDelay, 5.0f);
}

TEST(DelayEstimator, SilentFarEndNeverMovesTheLock) {
  DelayEstimator est{};
  FluctuatingFarEnd mic(3);
  const std::vector<Cpx> silence(kNumBins, Cpx{0.0f, 0.0f});
  for (int f = 0; f < 300; ++f) {
    const auto m = mic.Next();
    const DelayEstimate r = DelayEstimator_Update(est, m.data(), silence.data());
    EXPECT_EQ(r.delay, 0);
    EXPECT_EQ(r.confident, 0);
  }
  EXPECT_EQ(est.lockedDelay, 0.0f);
  EXPECT_EQ(est.stableCount, 0);
  for (int b = 0; b < 5; ++b)
    for (int k = 0; k < 16; ++k)
      EXPECT_EQ(est.xcorr[b][k], 0.0f);
}

TEST(DelayEstimator, ResetKeepsCandidateAndStableCount) {
  DelayEstimator est{};
  est.candidateDelay = 4.2f;
  est.stableCount = 7;
  est.lockedDelay = 3.0f;
  est.ringPos = 9;
  est.xcorr[2][3] = 1.0f;
  DelayEstimator_Reset(est);
  EXPECT_EQ(est.candidateDelay, 4.2f);
  EXPECT_EQ(est.stableCount, 7);
  EXPECT_EQ(est.lockedDelay, 0.0f);
  EXPECT_EQ(est.ringPos, 0);
  EXPECT_EQ(est.xcorr[2][3], 0.0f);
}

TEST(DelayEstimator, FractionalLockTruncates) {
  // A locked delay of 4.8 frames reads lag 4 and gives an estimate of 3.
  DelayEstimator est{};
  est.lockedDelay = 4.8f;
  const std::vector<Cpx> silence(kNumBins, Cpx{0.0f, 0.0f});
  EXPECT_EQ(DelayEstimator_Update(est, silence.data(), silence.data()).delay, 3);
  EXPECT_EQ(est.ringPos, 15);  // moved down from 0 and wrapped
}

}  // namespace
}  // namespace orvo
