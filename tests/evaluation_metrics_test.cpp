// The evaluation's measures on signals whose answers are known by construction.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "bench/evaluate/metrics.hpp"
#include "tests/support/scenes.hpp"

namespace orvo::eval {
namespace {

constexpr size_t kN = 48000;

std::vector<float> Shift(const std::vector<float>& x, size_t lag, float gain) {
  std::vector<float> y(x.size() + lag, 0.0f);
  for (size_t i = 0; i < x.size(); ++i)
    y[i + lag] = gain * x[i];
  return y;
}

TEST(EvaluationMetrics, AlignmentFindsTheDelayAndGain) {
  const std::vector<float> ref = scene::SpeechLike(kN, 8000.0f, 5);
  for (size_t lag : {0u, 1u, 479u, 3360u}) {
    const std::vector<float> out = Shift(ref, lag, 0.5f);
    EXPECT_EQ(AlignmentLag(out, ref, 0, kN, 4800), lag);
    EXPECT_NEAR(LeastSquaresGain(out, ref, 0, kN, lag), 0.5, 1e-6);
  }
  // A lag beyond the search range is not reported as the delay.
  EXPECT_NE(AlignmentLag(Shift(ref, 5000, 1.0f), ref, 0, kN, 4800), 5000u);
}

TEST(EvaluationMetrics, SignalToDistortionCountsWhatIsNotTheScaledReference) {
  const std::vector<float> ref = scene::SpeechLike(kN, 8000.0f, 6);
  const double refPower = scene::Power(ref, 0, kN);
  const std::vector<float> clean = Shift(ref, 100, 2.0f);
  EXPECT_GT(SignalToDistortion(clean, ref, 0, kN, 100), 100.0);
  // Noise 20 dB below the (scaled) signal: about 20 dB; the gain is irrelevant.
  std::vector<float> noisy = clean;
  const std::vector<float> noise =
      scene::WhiteNoise(noisy.size(), std::sqrt(refPower * 4.0 / 100.0), 9);
  for (size_t i = 0; i < noisy.size(); ++i)
    noisy[i] += noise[i];
  EXPECT_NEAR(SignalToDistortion(noisy, ref, 0, kN, 100), 20.0, 0.3);
  // Misaligned by one block the talker itself becomes distortion.
  EXPECT_LT(SignalToDistortion(clean, ref, 0, kN, 580), 3.0);
}

TEST(EvaluationMetrics, EchoAttenuationIsNormalisedByTheProcessorGain) {
  const std::vector<float> mic = scene::WhiteNoise(kN, 1000.0f, 3);
  std::vector<float> out(kN);
  for (size_t i = 0; i < kN; ++i)
    out[i] = mic[i] * 0.1f;  // 20 dB down
  EXPECT_NEAR(EchoAttenuation(mic, out, 0, kN, 1.0), 20.0, 1e-3);
  // The same output from a processor that also amplifies the talker by 6 dB removed 26 dB.
  EXPECT_NEAR(EchoAttenuation(mic, out, 0, kN, 2.0), 20.0 + 20.0 * std::log10(2.0), 1e-3);
  // Silence is bounded by one LSB per sample: 60 dB for a 1000-RMS microphone.
  const std::vector<float> silent(kN, 0.0f);
  EXPECT_TRUE(IsSilent(silent, 0, kN));
  EXPECT_FALSE(IsSilent(out, 0, kN));
  EXPECT_NEAR(EchoAttenuation(mic, silent, 0, kN, 1.0), 60.0, 0.1);
}

TEST(EvaluationMetrics, ReconvergenceIsTheTimeUntilTheAttenuationReturns) {
  const size_t n = 10 * kN;
  const std::vector<float> mic = scene::WhiteNoise(n, 1000.0f, 4);
  // 30 dB down, except for 2.5 s after the change at 1 s, where the echo passes unchanged.
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i)
    out[i] = (i >= kN && i < kN * 7 / 2) ? mic[i] : mic[i] * 0.0316f;
  EXPECT_NEAR(ReconvergenceSeconds(mic, out, kN, n, 1.0, 30.0), 2.5, 0.11);
  // Never back: negative.
  std::vector<float> stuck = mic;
  EXPECT_LT(ReconvergenceSeconds(mic, stuck, kN, n, 1.0, 30.0), 0.0);
  // A steady value above the 40 dB cap only needs 37 dB.
  for (size_t i = 0; i < n; ++i)
    stuck[i] = i >= kN && i < 2 * kN ? mic[i] : mic[i] * 0.01f;  // 40 dB down
  EXPECT_NEAR(ReconvergenceSeconds(mic, stuck, kN, n, 1.0, 70.0), 1.0, 0.11);
}

}  // namespace
}  // namespace orvo::eval
