#include "audio_core/filter_bank.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "audio_core/transform.hpp"
#include "tests/support/cpu_levels.hpp"
#include "tests/support/filter_bank_plain.hpp"

namespace orvo {
namespace {

constexpr int N = kFrameSize;
using Frame = std::vector<int16_t>;
using Spectrum = std::vector<Cpx>;

std::unique_ptr<FilterBankState> NewBank(bool synthesis) {
  auto s = std::make_unique<FilterBankState>();
  synthesis ? FilterBank_CreateSynthesis(s.get()) : FilterBank_Create(s.get());
  return s;
}

// Analysis then synthesis of a whole signal; `shape`, when given, edits each spectrum between.
Frame RunBank(const Frame& in, void (*shape)(Spectrum&) = nullptr) {
  auto ana = NewBank(false), syn = NewBank(true);
  Frame out(in.size());
  Spectrum spectrum(N);
  for (size_t f = 0; f + N <= in.size(); f += N) {
    FilterBank_Analyze(in.data() + f, spectrum.data(), *ana);
    if (shape) shape(spectrum);
    FilterBank_Synthesize(spectrum.data(), out.data() + f, *syn);
  }
  return out;
}

// Energy ratio in dB of in delayed by the bank's delay against out - in (or against out alone).
double RatioDb(const Frame& in, const Frame& out, bool error) {
  double ref = 0, other = 0;
  for (size_t n = kFilterBankDelay + kPrototypeLength; n < in.size(); ++n) {
    const double x = in[n - kFilterBankDelay], d = out[n] - (error ? x : 0.0);
    ref += x * x;
    other += d * d;
  }
  return 10.0 * std::log10(error ? ref / other : other / ref);
}

Frame ToPcm(const std::vector<double>& y) {
  Frame x(y.size());
  for (size_t n = 0; n < y.size(); ++n)
    x[n] = static_cast<int16_t>(std::clamp(std::lround(y[n]), -32768L, 32767L));
  return x;
}

Frame WhiteNoise(int frames, double rms, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, rms);
  std::vector<double> y(static_cast<size_t>(frames) * N);
  std::generate(y.begin(), y.end(), [&] { return g(rng); });
  return ToPcm(y);
}

// Speech-like: a glottal pulse train with drifting pitch through three formant resonators moving
// between vowels, a syllable-rate envelope with pauses, and high-passed fricative noise bursts.
Frame SpeechLike(int frames) {
  const double fs = 48000.0, formants[15] = {730,  1090, 2440, 270,  2290, 3010, 300, 870,
                                             2240, 530,  1840, 2480, 570,  840,  2410};
  std::mt19937 rng(42);
  std::normal_distribution<double> g(0.0, 1.0);
  double state[3][2] = {}, phase = 0.0, prevNoise = 0.0;
  std::vector<double> y(static_cast<size_t>(frames) * N);
  for (size_t n = 0; n < y.size(); ++n) {
    const double t = n / fs, syll = t * 4.0;  // four syllables a second
    const int idx = static_cast<int>(syll);
    const double frac = syll - idx;
    const bool fricative = idx % 5 == 3;
    const double env = idx % 7 == 6 ? 0.0 : std::pow(std::sin(M_PI * frac), 2.0);
    phase += (110.0 + 40.0 * std::sin(2 * M_PI * 0.7 * t) + 30.0 * frac) / fs;
    const bool pulse = phase >= 1.0;
    phase -= pulse ? 1.0 : 0.0;
    double v = pulse && !fricative ? 3000.0 : 0.0;
    const double *from = formants + idx % 5 * 3, *to = formants + (idx + 1) % 5 * 3;
    for (int r = 0; r < 3; ++r) {
      const double f = from[r] + (to[r] - from[r]) * frac;
      const double rad = std::exp(-M_PI * (80.0 + 40.0 * r) / fs);
      v = v * (1.0 - rad) + 2.0 * rad * std::cos(2.0 * M_PI * f / fs) * state[r][0] -
          rad * rad * state[r][1];
      state[r][1] = std::exchange(state[r][0], v);
    }
    const double noise = g(rng), hp = noise - std::exchange(prevNoise, noise);
    y[n] = 5.0 * env * (v + (fricative ? 900.0 * hp : 0.0));
  }
  return ToPcm(y);
}

TEST(FilterBankPrototype, BindingEntriesSumsAndPeak) {
  const float* T = FilterBankPrototype;
  const std::pair<int, float> binding[] = {
      {0, -0.05463f},    {959, 0.226519f},   {1919, 0.893229f},  {2054, 0.907996f},
      {2879, 0.425717f}, {3839, -0.101383f}, {4799, -0.001738f}, {5759, -0.005092f}};
  for (auto [i, v] : binding)
    EXPECT_EQ(T[i], v) << i;
  double sum = 0, sumSq = 0;
  for (int i = 0; i < kPrototypeLength; ++i) {
    sum += T[i];
    sumSq += double(T[i]) * T[i];
    ASSERT_TRUE(i == 2054 || T[i] < T[2054]) << "index " << i;
  }
  EXPECT_NEAR(sum, 1357.84, 0.005);  // to the printed precision
  EXPECT_NEAR(sumSq, 998.978, 0.0005);
}

TEST(FilterBank, SilenceGivesExactZerosAndAnImpulseSpansSixFrames) {
  auto ana = NewBank(false), syn = NewBank(true);
  const Frame zeros(N, 0);
  Frame frame(N, 0), out(N, 1);
  Spectrum spectrum(N);
  auto allZero = [&] {
    return std::all_of(spectrum.begin(), spectrum.end(),
                       [](Cpx c) { return c.re == 0 && c.im == 0; });
  };
  // An impulse in frame 2 reaches exactly the spectra 2..7; silence around it gives exact zeros.
  for (int f = 0; f < 12; ++f) {
    frame[500] = f == 2 ? 10000 : 0;  // pre-emphasis keeps it inside the frame
    FilterBank_Analyze(frame.data(), spectrum.data(), *ana);
    EXPECT_EQ(allZero(), f < 2 || f > 7) << "frame " << f;
  }
  // Zero spectra give exact zeros. One loud spectrum (frame 0) fills all six accumulators; after
  // them only the de-emphasis tail is left (frame 6), then exact zeros again.
  std::mt19937 rng(1);
  std::normal_distribution<float> g(0.0f, 2.0e5f);
  for (int f = -2; f < 8; ++f) {
    spectrum.assign(N, Cpx{});
    if (f == 0)
      std::generate(spectrum.begin(), spectrum.end(), [&] { return Cpx{g(rng), g(rng)}; });
    FilterBank_Synthesize(spectrum.data(), out.data(), *syn);
    EXPECT_TRUE(f == 6 || (out == zeros) == (f < 0 || f == 7)) << "frame " << f;
  }
}

TEST(FilterBank, AnalysisIsTheWindowedFoldedTransformWithPreEmphasisAcrossFrames) {
  // After six frames the history is exactly the pre-emphasised input; a pre-emphasis restarting
  // at each frame boundary would miss by far more than float rounding.
  const Frame x = WhiteNoise(6, 4000.0, 9);
  auto ana = NewBank(false);
  Spectrum spectrum(N), work(N), ref(N);
  for (int f = 0; f < 6; ++f)
    FilterBank_Analyze(x.data() + f * N, spectrum.data(), *ana);
  std::vector<double> y(2 * N, 0.0);
  for (int i = 0; i < kPrototypeLength; ++i)
    y[i % (2 * N)] +=
        FilterBankPrototype[kPrototypeLength - 1 - i] * (x[i] - 0.9 * (i > 0 ? x[i - 1] : 0));
  for (int n = 0; n < N; ++n)
    work[n] = Cpx{float(y[2 * n]), float(y[2 * n + 1])};
  RealFft1920(work.data(), ref.data(), kFftForward, CpuLevel::kBaseline);
  double err = 0, pow = 0;
  for (int k = 0; k < N; ++k) {
    err += std::norm(std::complex<double>(spectrum[k].re - ref[k].re, spectrum[k].im - ref[k].im));
    pow += std::norm(std::complex<double>(ref[k].re, ref[k].im));
  }
  EXPECT_LT(std::sqrt(err / pow), 1e-5);
  EXPECT_EQ(ana->memory, static_cast<float>(x.back()));
}

TEST(FilterBank, DeEmphasisCarriesTheUnconvertedValueTruncatesAndSaturates) {
  auto syn = NewBank(true);
  const Spectrum zero(N, Cpx{0.0f, 0.0f});
  Frame out(N);
  float* q = syn->storage[0];  // the accumulators output next, then two frames later
  const float in[] = {1.9f, 0.5f, -4.0f}, loud[] = {40000.0f, -80000.0f, 1e30f, -3e30f, NAN};
  std::copy(std::begin(in), std::end(in), q);
  std::copy(std::begin(loud), std::end(loud), syn->storage[2]);
  q[N - 1] = 5.5f;
  FilterBank_Synthesize(zero.data(), out.data(), *syn);
  // 1.9, 2.21 (1.4 from a truncated memory), -2.011, -1.8099: truncated toward zero.
  EXPECT_EQ(Frame(out.begin(), out.begin() + 4), (Frame{1, 2, -2, -1}));
  // The output block was cleared and moved to the end; the memory carries on unconverted.
  EXPECT_EQ(syn->segments[5], q);
  EXPECT_TRUE(std::all_of(q, q + N, [](float v) { return v == 0.0f; }));
  EXPECT_NEAR(syn->memory, 5.5f, 1e-5f);
  FilterBank_Synthesize(zero.data(), out.data(), *syn);  // 4.95, 4.455, 4.0095, 3.6086
  EXPECT_EQ(Frame(out.begin(), out.begin() + 4), (Frame{4, 4, 4, 3}));
  // 40000, -44000, 1e30, -2.1e30 and NaN beyond the 16-bit range.
  FilterBank_Synthesize(zero.data(), out.data(), *syn);
  EXPECT_EQ(Frame(out.begin(), out.begin() + 5), (Frame{32767, -32768, 32767, -32768, 0}));
}

TEST(FilterBank, ReconstructsWhiteNoiseAndSpeechLikeSignal) {
  const std::pair<const char*, Frame> signals[] = {{"white noise", WhiteNoise(300, 3276.8, 17)},
                                                   {"speech-like signal", SpeechLike(300)}};
  for (const auto& [name, x] : signals) {
    double e = 0;
    for (int16_t v : x)
      e += double(v) * v;
    const double level = 10.0 * std::log10(e / x.size() / (32768.0 * 32768.0));
    const double snr = RatioDb(x, RunBank(x), true);
    std::printf("%s at %.1f dBFS: reconstruction SNR %.1f dB\n", name, level, snr);
    EXPECT_GE(snr, 55.0) << name;
  }
}

TEST(FilterBank, CuttingAboveBin480IsA12kHzLowpass) {
  for (const double hz :
       {100.0, 1000.0, 5000.0, 9000.0, 11800.0, 12300.0, 14000.0, 18000.0, 22000.0}) {
    std::vector<double> y(60 * N);
    for (size_t n = 0; n < y.size(); ++n)
      y[n] = 10000.0 * std::sin(2.0 * M_PI * hz * n / 48000.0);
    const Frame x = ToPcm(y);
    const double g = RatioDb(
        x, RunBank(x, [](Spectrum& s) { std::fill(s.begin() + kTopBin + 1, s.end(), Cpx{}); }),
        false);
    std::printf("tone %6.0f Hz: %+.3f dB\n", hz, g);
    EXPECT_TRUE(hz < 12000.0 ? std::abs(g) < 0.05 : g < -40.0) << hz << " Hz: " << g << " dB";
  }
}

// Every processor level against the sample-by-sample filter bank, bit for bit: spectra and
// output over noise, a tone, full-scale square waves and silence, with the spectra reshaped
// between analysis and synthesis (bin gains, cut bands, now and then a loud bin that
// saturates the output). The de-emphasis in particular must follow the recursion sample by
// sample, rounding after every product and every sum.
class FilterBankLevelTest : public ::testing::TestWithParam<CpuLevel> {};

TEST_P(FilterBankLevelTest, MatchesThePlainFilterBankBitForBit) {
  ORVO_SKIP_UNSUPPORTED_LEVEL(GetParam());
  auto ana = std::make_unique<FilterBankState>(), syn = std::make_unique<FilterBankState>();
  FilterBank_Create(ana.get(), GetParam());
  FilterBank_CreateSynthesis(syn.get(), GetParam());
  ASSERT_EQ(GetParam(), ana->level);
  ASSERT_EQ(GetParam(), syn->level);
  plain::FilterBank ref;
  std::mt19937 rng(29);
  std::uniform_real_distribution<float> gain(0.0f, 1.5f);
  Frame x = WhiteNoise(80, 6000.0, 3);
  for (int n = 20 * N; n < 40 * N; ++n)
    x[n] = static_cast<int16_t>(20000.0 * std::sin(0.01 * n));
  for (int n = 40 * N; n < 50 * N; ++n)
    x[n] = (n / 37) % 2 ? 32767 : -32768;
  std::fill(x.begin() + 60 * N, x.begin() + 65 * N, 0);
  Spectrum spectrum(N), expected(N);
  Frame out(N), want(N);
  for (int f = 0; f < 80; ++f) {
    FilterBank_Analyze(&x[f * N], spectrum.data(), *ana);
    ref.Analyze(&x[f * N], expected.data());
    ASSERT_EQ(0, std::memcmp(spectrum.data(), expected.data(), sizeof(Cpx) * N)) << "frame " << f;
    for (int k = 0; k < N; ++k) {
      const float g = (f % 7 == 3 && k > 200) ? 0.0f : gain(rng);
      spectrum[k].re *= g;
      spectrum[k].im *= g;
    }
    if (f % 11 == 5) spectrum[40].re = 3e7f;
    expected = spectrum;
    FilterBank_Synthesize(spectrum.data(), out.data(), *syn);
    ref.Synthesize(expected.data(), want.data());
    ASSERT_EQ(out, want) << "frame " << f;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, FilterBankLevelTest, ORVO_ALL_CPU_LEVELS);

}  // namespace
}  // namespace orvo
