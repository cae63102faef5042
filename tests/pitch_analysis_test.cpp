// The pitch analysis kernels at every processor level against their plain loops, element by
// element and bit for bit.
#include "denoise/pitch_analysis.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/cpu_levels.hpp"
#include "tests/support/denoise_plain.hpp"
#include "tests/support/scenes.hpp"

namespace orvo {
namespace {

class PitchKernelTest : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override { ORVO_SKIP_UNSUPPORTED_LEVEL(GetParam()); }
  const PitchKernels& k() const { return PitchKernelsOf(GetParam()); }
  const PitchKernels& plain() const { return plain::PitchKernelTable(); }
};

// Values over a wide range, with signed zeros, so that every rounding and sign shows.
std::vector<float> Signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::uniform_int_distribution<int> e(-20, 20);
  std::vector<float> x(n);
  for (float& v : x)
    v = std::ldexp(g(rng), e(rng));
  x[3] = -0.0f;
  return x;
}

TEST_P(PitchKernelTest, CorrelationsOfEveryLengthAndLagCount) {
  const std::vector<float> x = Signal(1000, 1), y = Signal(2000, 2);
  // Lengths and lag counts around the vector widths and the window blocks.
  for (const int n : {1, 3, 4, 7, 8, 9, 31, 240, 480})
    for (const int lags : {1, 2, 5, 8, 13, 64, 147, 294, 295}) {
      std::vector<float> got(lags, -1.0f), want(lags, -2.0f);
      k().xcorr(x.data(), y.data(), got.data(), n, lags);
      plain().xcorr(x.data(), y.data(), want.data(), n, lags);
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), lags * sizeof(float))) << n << " " << lags;
    }
}

TEST_P(PitchKernelTest, CorrelationsAtScatteredLagsUpToTheEndOfY) {
  const std::vector<float> x = Signal(1000, 3), y = Signal(1500, 4);
  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 480), count = 1 + static_cast<int>(rng() % 48);
    const int yLen = n + 1 + static_cast<int>(rng() % 1000);
    std::vector<int> lags(count);
    for (int& l : lags)  // neighbours, far lags and the last lag y can take
      l = trial % 4 == 0 ? yLen - n : static_cast<int>(rng() % (yLen - n + 1));
    if (count > 2) lags[1] = lags[0] + (lags[0] + 1 <= yLen - n ? 1 : 0);
    std::vector<float> got(count), want(count);
    k().xcorr_at(x.data(), y.data(), yLen, lags.data(), got.data(), count, n);
    plain().xcorr_at(x.data(), y.data(), yLen, lags.data(), want.data(), count, n);
    ASSERT_EQ(0, std::memcmp(got.data(), want.data(), count * sizeof(float))) << trial;
  }
}

TEST_P(PitchKernelTest, WhiteningFilterFromTheEndBackwards) {
  for (uint32_t seed = 10; seed < 20; ++seed) {
    std::vector<float> a = Signal(kPitchDownsampled, seed), b = a;
    const std::vector<float> num = Signal(5, seed + 100);
    k().whiten(a.data(), num.data());
    plain().whiten(b.data(), num.data());
    ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << seed;
  }
}

// The down-sampling with its whitening, with the first autocorrelation terms summed ahead (as
// the suppressor runs it) or not, at this level and with the plain kernels: all the same.
TEST_P(PitchKernelTest, DownsamplingWithAndWithoutTheAutocorrelationPrefix) {
  const std::vector<float> speech = scene::SpeechLike(kPitchHistory + 480 * 20, 9000.0f, 8);
  for (int hop = 0; hop < 20; ++hop) {
    const float* before = &speech[480 * hop];  // the history before the newest hop came in
    const float* history = before + 480;
    AutocorrPrefix prefix;
    prefix.Start(before);
    for (int i = 0; i < kAutocorrPrefix; ++i)
      prefix.Step();
    std::vector<float> a(kPitchDownsampled), b(kPitchDownsampled), c(kPitchDownsampled);
    pitch_downsample(history, a.data(), k(), &prefix);
    pitch_downsample(history, b.data(), k());
    pitch_downsample(history, c.data(), plain());
    ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << hop;
    ASSERT_EQ(0, std::memcmp(b.data(), c.data(), b.size() * sizeof(float))) << hop;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, PitchKernelTest, ORVO_ALL_CPU_LEVELS);

}  // namespace
}  // namespace orvo
