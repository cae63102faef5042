#include "audio_core/transform.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/cpu_levels.hpp"

namespace orvo {
namespace {

using cd = std::complex<double>;

// Plain double-precision DFT times `scale`, the reference for every check below.
std::vector<cd> Dft(const std::vector<cd>& x, int sign, double scale) {
  const int n = static_cast<int>(x.size());
  std::vector<cd> tw(n), y(n);
  for (int i = 0; i < n; ++i)
    tw[i] = std::polar(1.0, sign * 2.0 * M_PI * i / n);
  for (int k = 0; k < n; ++k)
    for (int i = 0; i < n; ++i)
      y[k] += scale * x[i] * tw[(static_cast<long>(k) * i) % n];
  return y;
}

double RelRms(const std::vector<cd>& got, const std::vector<cd>& ref) {
  double e = 0, r = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    e += std::norm(got[i] - ref[i]);
    r += std::norm(ref[i]);
  }
  return std::sqrt(e / r);
}

// 960 complex values; real sample n lives in element n / 2, the real part for even n.
struct Buffer : std::vector<Cpx> {
  Buffer() : std::vector<Cpx>(960) {}
  float& Real(int n) { return n % 2 == 0 ? (*this)[n / 2].re : (*this)[n / 2].im; }
  std::vector<cd> Values(bool reals) {  // the 960 elements, or the 1920 real samples
    std::vector<cd> v(reals ? 1920 : 960);
    for (int i = 0; i < static_cast<int>(v.size()); ++i)
      v[i] = reals ? cd(Real(i)) : cd((*this)[i].re, (*this)[i].im);
    return v;
  }
};

// Every processor level's kernels.
class TransformTest : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override { ORVO_SKIP_UNSUPPORTED_LEVEL(GetParam()); }
  void Real(Buffer& work, Buffer& out, int dir) {
    RealFft1920(work.data(), out.data(), dir, GetParam());
  }
  void Complex(Buffer& in, Buffer& out, int dir) {
    ComplexFft960(in.data(), out.data(), dir, GetParam());
  }
};

TEST_P(TransformTest, ImpulseConstantAlternatingAndSingleBinInputs) {
  // Forward: an impulse gives every bin 2 and element 0 (2, 2); a constant puts 3840 at DC, an
  // alternating signal 3840 at 24 kHz.
  for (const int input : {0, 1, 2}) {
    Buffer work, out;
    for (int n = 0; n < 1920; ++n)
      work.Real(n) = input == 0 ? (n == 0 ? 1.0f : 0.0f) : (input == 2 && n % 2 ? -1.0f : 1.0f);
    std::vector<cd> ref(960, input == 0 ? 2.0 : 0.0);
    ref[0] = input == 0 ? cd(2, 2) : input == 1 ? cd(3840, 0) : cd(0, 3840);
    Real(work, out, kFftForward);
    const std::vector<cd> got = out.Values(false);
    for (int k = 0; k < 960; ++k)
      ASSERT_LT(std::abs(got[k] - ref[k]), input == 0 ? 1e-6 : 1e-3) << input << " bin " << k;
  }
  // Inverse: single bins give a cosine and a sine of amplitude 2 / 3840; element 0 DC and 24 kHz.
  const int bins[] = {5, 480, 0};
  const Cpx values[] = {{1, 0}, {0, 1}, {3840, 1920}};
  for (int c = 0; c < 3; ++c) {
    Buffer work, out;
    for (int k = 0; k < 960; ++k)
      work[k] = k == bins[c] ? values[c] : Cpx{0, 0};
    Real(work, out, kFftInverse);
    for (int n = 0; n < 1920; ++n) {
      const double expected = c == 0   ? std::cos(2.0 * M_PI * 5 * n / 1920) / 1920.0
                              : c == 1 ? -std::sin(M_PI * n / 2) / 1920.0
                                       : 1.0 + 0.5 * (n % 2 ? -1.0 : 1.0);
      ASSERT_NEAR(out.Real(n), expected, c == 2 ? 1e-5 : 1e-9) << bins[c] << " " << n;
    }
  }
}

TEST_P(TransformTest, MatchesDoubleDftAndRoundTripsOnFullScaleNoise) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> full(-32768.0f, 32767.0f);
  for (int trial = 0; trial < 3; ++trial) {
    // Real forward: element k = 2 X[k], element 0 = (2 X[0], 2 X[960]).
    Buffer work, out;
    for (int n = 0; n < 1920; ++n)
      work.Real(n) = full(rng);
    const std::vector<cd> x = work.Values(true);
    std::vector<cd> ref = Dft(x, -1, 2.0);
    ref[0] = cd(ref[0].real(), ref[960].real());
    ref.resize(960);
    Real(work, out, kFftForward);
    EXPECT_LT(RelRms(out.Values(false), ref), 1e-6);
    EXPECT_GT(RelRms(work.Values(true), x), 1e-3);  // the input buffer served as scratch
    // And back to the input, consuming the spectrum in turn: with the forward direction exact,
    // this holds the inverse to the same accuracy.
    Real(out, work, kFftInverse);
    EXPECT_LT(RelRms(work.Values(true), x), 1e-6);
    EXPECT_GT(RelRms(out.Values(false), ref), 1e-3);

    // Complex transform, both directions.
    for (const int dir : {1, -1}) {
      for (int n = 0; n < 960; ++n)
        work[n] = Cpx{full(rng), full(rng)};
      ref = Dft(work.Values(false), -dir, dir == 1 ? 1.0 : 1.0 / 3840.0);
      Complex(work, out, dir);
      EXPECT_LT(RelRms(out.Values(false), ref), 1e-6) << "direction " << dir;
    }
  }
}

// Every level gives the baseline level's bits, element by element, in both directions of both
// transforms, on full-scale noise, on tiny values (subnormal products) and on the input
// patterns whose products cancel exactly.
TEST_P(TransformTest, EqualsTheBaselineLevelBitForBit) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> full(-32768.0f, 32767.0f);
  for (int trial = 0; trial < 12; ++trial) {
    const float scale = trial % 3 == 0 ? 1e-30f : (trial % 3 == 1 ? 1.0f : 1e6f);
    Buffer input;
    for (Cpx& c : input)
      c = trial == 11 ? Cpx{1.0f, -1.0f} : Cpx{scale * full(rng), scale * full(rng)};
    for (const int dir : {kFftForward, kFftInverse}) {
      Buffer a = input, b = input, outA, outB;
      Real(a, outA, dir);
      RealFft1920(b.data(), outB.data(), dir, CpuLevel::kBaseline);
      ASSERT_EQ(0, std::memcmp(outA.data(), outB.data(), sizeof(Cpx) * 960)) << trial << dir;
      ASSERT_EQ(0, std::memcmp(a.data(), b.data(), sizeof(Cpx) * 960)) << trial << dir;
      a = input, b = input;
      Complex(a, outA, dir);
      ComplexFft960(b.data(), outB.data(), dir, CpuLevel::kBaseline);
      ASSERT_EQ(0, std::memcmp(outA.data(), outB.data(), sizeof(Cpx) * 960)) << trial << dir;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, TransformTest, ORVO_ALL_CPU_LEVELS);

}  // namespace
}  // namespace orvo
