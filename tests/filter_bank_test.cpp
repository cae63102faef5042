#include "audio_core/filter_bank.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio_core/transform.hpp"

namespace orvo {
namespace {

constexpr int N = kFrameSize;
using Frame = std::vector<int16_t>;
using Spectrum = std::vector<Cpx>;

std::unique_ptr<FilterBankState> NewAnalysis() {
  auto s = std::make_unique<FilterBankState>();
  FilterBank_Create(s.get());
  return s;
}

std::unique_ptr<FilterBankState> NewSynthesis() {
  auto s = std::make_unique<FilterBankState>();
  FilterBank_CreateSynthesis(s.get());
  return s;
}

bool AllZero(const Spectrum& s) {
  return std::all_of(s.begin(), s.end(), [](const Cpx& c) { return c.re == 0.0f && c.im == 0.0f; });
}

// Analysis then synthesis of a whole signal, frame by frame. `shape`, when given, edits each
// spectrum in between.
std::vector<int16_t> RunBank(const std::vector<int16_t>& in, void (*shape)(Spectrum&) = nullptr) {
  auto ana = NewAnalysis();
  auto syn = NewSynthesis();
  std::vector<int16_t> out(in.size());
  Spectrum spec(N);
  for (size_t f = 0; f + N <= in.size(); f += N) {
    FilterBank_Analyze(in.data() + f, spec.data(), *ana);
    if (shape) shape(spec);
    FilterBank_Synthesize(spec.data(), out.data() + f, *syn);
  }
  return out;
}

// SNR of out against in delayed by the bank's delay, after the ramp-in.
double ReconstructionSnrDb(const std::vector<int16_t>& in, const std::vector<int16_t>& out) {
  double sig = 0, err = 0;
  for (size_t n = kFilterBankDelay + kPrototypeLength; n < in.size(); ++n) {
    const double ref = in[n - kFilterBankDelay];
    sig += ref * ref;
    err += (out[n] - ref) * (out[n] - ref);
  }
  return 10.0 * std::log10(sig / err);
}

std::vector<int16_t> WhiteNoise(int frames, double rms, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, rms);
  std::vector<int16_t> x(static_cast<size_t>(frames) * N);
  for (int16_t& v : x)
    v = static_cast<int16_t>(std::clamp(std::lround(g(rng)), -32768L, 32767L));
  return x;
}

// A speech-like test signal: a glottal pulse train with a drifting pitch through three formant
// resonators whose frequencies move between vowels, a syllable-rate envelope with pauses, and
// noisy fricative bursts with energy up to the top of the band.
std::vector<int16_t> SpeechLike(int frames) {
  constexpr double fs = 48000.0;
  const size_t len = static_cast<size_t>(frames) * N;
  struct Vowel {
    double f[3];
  };
  const Vowel vowels[] = {{{730, 1090, 2440}},
                          {{270, 2290, 3010}},
                          {{300, 870, 2240}},
                          {{530, 1840, 2480}},
                          {{570, 840, 2410}}};
  std::mt19937 rng(42);
  std::normal_distribution<double> g(0.0, 1.0);
  double state[3][2] = {};
  double phase = 0.0, hp = 0.0, prevNoise = 0.0;
  std::vector<double> y(len);
  for (size_t n = 0; n < len; ++n) {
    const double t = n / fs;
    const double syll = t * 4.0;  // four syllables a second
    const int idx = static_cast<int>(syll);
    const double frac = syll - idx;
    const bool pause = idx % 7 == 6;
    const bool fricative = idx % 5 == 3;
    const double env = pause ? 0.0 : std::pow(std::sin(M_PI * frac), 2.0);
    // Voiced excitation.
    const double f0 = 110.0 + 40.0 * std::sin(2 * M_PI * 0.7 * t) + 30.0 * frac;
    phase += f0 / fs;
    double exc = 0.0;
    if (phase >= 1.0) {
      phase -= 1.0;
      exc = 1.0;
    }
    const Vowel& a = vowels[idx % 5];
    const Vowel& b = vowels[(idx + 1) % 5];
    double v = fricative ? 0.0 : exc * 3000.0;
    for (int r = 0; r < 3; ++r) {
      const double f = a.f[r] + (b.f[r] - a.f[r]) * frac;
      const double bw = 80.0 + 40.0 * r;
      const double rad = std::exp(-M_PI * bw / fs);
      const double c1 = 2.0 * rad * std::cos(2.0 * M_PI * f / fs), c2 = -rad * rad;
      const double o = v * (1.0 - rad) + c1 * state[r][0] + c2 * state[r][1];
      state[r][1] = state[r][0];
      state[r][0] = o;
      v = o;
    }
    // Fricative: first-difference (high-passed) noise.
    const double noise = g(rng);
    hp = noise - prevNoise;
    prevNoise = noise;
    y[n] = 5.0 * env * (v + (fricative ? 900.0 * hp : 0.0));
  }
  std::vector<int16_t> x(len);
  for (size_t n = 0; n < len; ++n)
    x[n] = static_cast<int16_t>(std::clamp(std::lround(y[n]), -32768L, 32767L));
  return x;
}

double RmsDbfs(const std::vector<int16_t>& x) {
  double e = 0;
  for (int16_t v : x)
    e += double(v) * v;
  return 10.0 * std::log10(e / x.size() / (32768.0 * 32768.0));
}

// --------------------------------------------------------------------------------------------
// The prototype

TEST(FilterBankPrototype, BindingEntriesSumsAndPeak) {
  const float* T = FilterBankPrototype;
  EXPECT_EQ(T[0], -0.05463f);
  EXPECT_EQ(T[959], 0.226519f);
  EXPECT_EQ(T[1919], 0.893229f);
  EXPECT_EQ(T[2054], 0.907996f);
  EXPECT_EQ(T[2879], 0.425717f);
  EXPECT_EQ(T[3839], -0.101383f);
  EXPECT_EQ(T[4799], -0.001738f);
  EXPECT_EQ(T[5759], -0.005092f);
  double sum = 0, sumSq = 0;
  for (int i = 0; i < kPrototypeLength; ++i) {
    sum += T[i];
    sumSq += double(T[i]) * T[i];
    if (i != 2054) {
      ASSERT_LT(T[i], T[2054]) << "index " << i;
    }
  }
  // To the printed precision.
  EXPECT_NEAR(sum, 1357.84, 0.005);
  EXPECT_NEAR(sumSq, 998.978, 0.0005);
}

TEST(FilterBankPrototype, AnalysisWindowIsTheReversedPrototype) {
  for (int i = 0; i < kPrototypeLength; ++i)
    ASSERT_EQ(FilterBankAnalysisWindow[i], FilterBankPrototype[kPrototypeLength - 1 - i]) << i;
}

// --------------------------------------------------------------------------------------------
// Record copies

TEST(FilterBank, CopiesOwnTheirBlocksAndRunIndependently) {
  const std::vector<int16_t> x = WhiteNoise(12, 3000.0, 5);
  auto ana = NewAnalysis();
  auto syn = NewSynthesis();
  Spectrum spec(N);
  Frame out(N);
  for (int f = 0; f < 4; ++f) {
    FilterBank_Analyze(x.data() + f * N, spec.data(), *ana);
    FilterBank_Synthesize(spec.data(), out.data(), *syn);
  }
  // An engine record holds arrays of these and may be copied.
  std::vector<FilterBankState> copies(2, *ana);
  copies.push_back(*syn);
  FilterBankState& anaCopy = copies[1];
  FilterBankState& synCopy = copies[2];
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    EXPECT_GE(anaCopy.blocks[m], &anaCopy.storage[0][0]);
    EXPECT_LE(anaCopy.blocks[m], &anaCopy.storage[5][0]);
    EXPECT_EQ(anaCopy.segments[m], ana->segments[m]);
    EXPECT_EQ(synCopy.blocks[m], syn->blocks[m]);
    EXPECT_EQ(synCopy.segments[m] - &synCopy.storage[0][0], syn->segments[m] - &syn->storage[0][0]);
  }
  Spectrum specCopy(N);
  Frame outCopy(N);
  // The first copy, untouched since, still continues exactly like the original.
  Spectrum first(N);
  FilterBank_Analyze(x.data() + 4 * N, first.data(), copies[0]);
  for (int f = 4; f < 12; ++f) {
    FilterBank_Analyze(x.data() + f * N, spec.data(), *ana);
    FilterBank_Analyze(x.data() + f * N, specCopy.data(), anaCopy);
    ASSERT_EQ(0, std::memcmp(spec.data(), specCopy.data(), N * sizeof(Cpx))) << f;
    if (f == 4) {
      ASSERT_EQ(0, std::memcmp(spec.data(), first.data(), N * sizeof(Cpx)));
    }
    FilterBank_Synthesize(spec.data(), out.data(), *syn);
    FilterBank_Synthesize(spec.data(), outCopy.data(), synCopy);
    ASSERT_EQ(out, outCopy) << f;
  }
}

// --------------------------------------------------------------------------------------------
// Analysis

TEST(FilterBank, SilenceGivesExactZeros) {
  auto ana = NewAnalysis();
  auto syn = NewSynthesis();
  const Frame zeros(N, 0);
  Spectrum spec(N, Cpx{1.0f, 1.0f});
  Frame out(N, 1);
  for (int f = 0; f < 8; ++f) {
    FilterBank_Analyze(zeros.data(), spec.data(), *ana);
    EXPECT_TRUE(AllZero(spec)) << f;
    FilterBank_Synthesize(spec.data(), out.data(), *syn);
    EXPECT_EQ(out, zeros) << f;
  }
}

TEST(FilterBank, SynthesisDrainsToExactZerosAfterSixFrames) {
  auto syn = NewSynthesis();
  std::mt19937 rng(1);
  std::normal_distribution<float> g(0.0f, 2.0e5f);
  Spectrum spec(N);
  Frame out(N);
  for (int f = 0; f < 5; ++f) {
    for (Cpx& c : spec)
      c = Cpx{g(rng), g(rng)};
    FilterBank_Synthesize(spec.data(), out.data(), *syn);
  }
  EXPECT_NE(out, Frame(N, 0));
  const Spectrum zero(N, Cpx{0.0f, 0.0f});
  for (int f = 0; f < 7; ++f) {
    FilterBank_Synthesize(zero.data(), out.data(), *syn);
    if (f < 5) {
      EXPECT_NE(out, Frame(N, 0)) << "accumulators still draining, frame " << f;
    }
    if (f == 6) {
      EXPECT_EQ(out, Frame(N, 0));
    }
  }
}

TEST(FilterBank, ImpulseReachesSixConsecutiveSpectra) {
  auto ana = NewAnalysis();
  Frame frame(N, 0);
  Spectrum spec(N);
  for (int f = 0; f < 12; ++f) {
    std::fill(frame.begin(), frame.end(), 0);
    if (f == 2) frame[500] = 10000;  // pre-emphasis keeps it inside the frame
    FilterBank_Analyze(frame.data(), spec.data(), *ana);
    EXPECT_EQ(AllZero(spec), f < 2 || f > 7) << "frame " << f;
  }
}

// Spectrum of a frame whose analysis history is the pre-emphasised signal e (5760 samples,
// oldest first), computed in double.
std::vector<std::complex<double>> ReferenceSpectrum(const std::vector<double>& e) {
  std::vector<double> y(1920, 0.0);
  for (int i = 0; i < kPrototypeLength; ++i)
    y[i % 1920] += FilterBankPrototype[kPrototypeLength - 1 - i] * e[i];
  std::vector<std::complex<double>> s(N);
  for (int k = 0; k <= N; ++k) {
    std::complex<double> acc = 0;
    for (int n = 0; n < 1920; ++n)
      acc += y[n] * std::polar(1.0, -2.0 * M_PI * ((static_cast<long>(k) * n) % 1920) / 1920);
    if (k == 0) s[0] = {2.0 * acc.real(), 0.0};
    if (k == N) s[0] = {s[0].real(), 2.0 * acc.real()};
    if (k > 0 && k < N) s[k] = 2.0 * acc;
  }
  return s;
}

double RelRms(const Spectrum& got, const std::vector<std::complex<double>>& ref) {
  double err = 0, pow = 0;
  for (int k = 0; k < N; ++k) {
    err += std::norm(std::complex<double>(got[k].re, got[k].im) - ref[k]);
    pow += std::norm(ref[k]);
  }
  return std::sqrt(err / pow);
}

TEST(FilterBank, AnalysisMatchesDirectWindowedTransform) {
  // Six frames of noise: the history of the last call is exactly the pre-emphasised input, with
  // the pre-emphasis carried across every frame boundary.
  const std::vector<int16_t> x = WhiteNoise(6, 4000.0, 9);
  auto ana = NewAnalysis();
  Spectrum spec(N);
  for (int f = 0; f < 6; ++f)
    FilterBank_Analyze(x.data() + f * N, spec.data(), *ana);
  std::vector<double> e(kPrototypeLength);
  for (int n = 0; n < kPrototypeLength; ++n)
    e[n] = x[n] - 0.9 * (n > 0 ? x[n - 1] : 0);
  EXPECT_LT(RelRms(spec, ReferenceSpectrum(e)), 1e-5);
  EXPECT_EQ(ana->memory, static_cast<float>(x.back()));
}

TEST(FilterBank, PreEmphasisCarriesAcrossFrames) {
  // A constant input pre-emphasises to 1000 - 0.9 * 1000 = 100 everywhere except the very first
  // sample. Once that sample has left the six-frame history the DC bin is 2 * 100 * sum(T); a
  // pre-emphasis restarting at each frame would add 900 at every frame start.
  auto ana = NewAnalysis();
  const Frame dc(N, 1000);
  Spectrum spec(N);
  double sum = 0;
  for (int i = 0; i < kPrototypeLength; ++i)
    sum += FilterBankPrototype[i];
  for (int f = 0; f < 8; ++f) {
    FilterBank_Analyze(dc.data(), spec.data(), *ana);
    EXPECT_EQ(ana->memory, 1000.0f);
  }
  EXPECT_NEAR(spec[0].re, 2.0 * 100.0 * sum, 2.0);

  // The first sample of a frame uses the last sample of the previous one: after a frame ending
  // in 20000, a frame starting with 18000 pre-emphasises to e = (..., 20000 | 0, -16200, 0, ...),
  // and after a silent frame it would be (..., 0 | 18000, -16200, 0, ...).
  auto a = NewAnalysis();
  auto b = NewAnalysis();
  Frame last(N, 0), first(N, 0);
  last[N - 1] = 20000;
  first[0] = 18000;
  const Frame zeros(N, 0);
  Spectrum sa(N), sb(N);
  FilterBank_Analyze(last.data(), sa.data(), *a);
  FilterBank_Analyze(first.data(), sa.data(), *a);
  FilterBank_Analyze(zeros.data(), sb.data(), *b);
  FilterBank_Analyze(first.data(), sb.data(), *b);
  std::vector<double> e(kPrototypeLength, 0.0);
  e[5 * N - 1] = 20000.0;
  e[5 * N + 1] = -16200.0;
  EXPECT_LT(RelRms(sa, ReferenceSpectrum(e)), 1e-5);
  e[5 * N - 1] = 0.0;
  e[5 * N] = 18000.0;
  EXPECT_LT(RelRms(sb, ReferenceSpectrum(e)), 1e-5);
}

// --------------------------------------------------------------------------------------------
// Synthesis output stage

// Synthesis with a zero spectrum outputs the de-emphasised first accumulator.
Frame DrainFirstBlock(FilterBankState& syn) {
  const Spectrum zero(N, Cpx{0.0f, 0.0f});
  Frame out(N);
  FilterBank_Synthesize(zero.data(), out.data(), syn);
  return out;
}

TEST(FilterBank, DeEmphasisKeepsTheValueBeforeConversion) {
  auto syn = NewSynthesis();
  syn->storage[0][0] = 1.9f;
  syn->storage[0][1] = 0.5f;  // 0.5 + 0.9 * 1.9 = 2.21; from a truncated memory it would be 1.4
  syn->storage[0][2] = -4.0f;
  syn->storage[0][N - 1] = 5.5f;
  const Frame out = DrainFirstBlock(*syn);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[2], -2);  // -4 + 0.9 * 2.21 = -2.011, truncated toward zero
  EXPECT_EQ(out[3], -1);  // -1.8099
  // The output block was cleared and moved to the end.
  EXPECT_EQ(syn->segments[5], syn->storage[0]);
  for (int n = 0; n < N; ++n)
    ASSERT_EQ(syn->storage[0][n], 0.0f);
  // The memory carries into the next frame unconverted.
  EXPECT_NEAR(syn->memory, 5.5f, 1e-5f);
  const Frame next = DrainFirstBlock(*syn);
  EXPECT_EQ(next[0], 4);  // 4.95
  EXPECT_EQ(next[1], 4);  // 4.455
  EXPECT_EQ(next[2], 4);  // 4.0095
  EXPECT_EQ(next[3], 3);  // 3.6086
}

TEST(FilterBank, DeEmphasisMatchesTheRecursion) {
  // v[n] = q[n] + 0.9 v[n - 1] over two frames, against a double-precision recursion.
  auto syn = NewSynthesis();
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> u(-3000.0f, 3000.0f);
  double v = 0.0;
  for (int frame = 0; frame < 2; ++frame) {
    float* q = syn->storage[frame];  // the block output next
    ASSERT_EQ(syn->segments[0], q);
    std::vector<double> expect(N);
    for (int n = 0; n < N; ++n) {
      q[n] = u(rng);
      v = q[n] + 0.9 * v;
      expect[n] = v;
    }
    const Frame out = DrainFirstBlock(*syn);
    for (int n = 0; n < N; ++n) {
      // Within float rounding; the truncation may differ only right at an integer.
      const double t = std::trunc(expect[n]);
      if (std::abs(expect[n] - std::round(expect[n])) > 1e-3) {
        ASSERT_EQ(out[n], t) << frame << " " << n;
      }
    }
    EXPECT_NEAR(syn->memory, v, 1e-3);
  }
}

TEST(FilterBank, OutputBeyondSixteenBitsSaturates) {
  auto syn = NewSynthesis();
  syn->storage[0][0] = 40000.0f;   // v = 40000
  syn->storage[0][1] = -80000.0f;  // v = -80000 + 36000 = -44000
  syn->storage[0][2] = 1e30f;
  syn->storage[0][3] = -3e30f;  // v = -2.1e30
  syn->storage[0][4] = std::numeric_limits<float>::quiet_NaN();
  const Frame out = DrainFirstBlock(*syn);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32768);
  EXPECT_EQ(out[2], 32767);
  EXPECT_EQ(out[3], -32768);
  EXPECT_EQ(out[4], 0);
}

TEST(FilterBank, LoudClippedSignalSaturatesInsteadOfWrapping) {
  // A full-scale square wave low-passed at 12 kHz rings past full scale; those samples must
  // stay at the rails with the input's sign.
  std::vector<int16_t> x(40 * N);
  for (size_t n = 0; n < x.size(); ++n)
    x[n] = (n / 120) % 2 ? -32768 : 32767;
  const std::vector<int16_t> y = RunBank(x, [](Spectrum& s) {
    for (int k = kTopBin + 1; k < N; ++k)
      s[k] = Cpx{0.0f, 0.0f};
  });
  int railHits = 0;
  for (size_t n = kFilterBankDelay + kPrototypeLength; n < x.size(); ++n) {
    const int ref = x[n - kFilterBankDelay];
    const size_t phase = (n - kFilterBankDelay) % 120;
    if (phase > 10 && phase < 110) {
      ASSERT_EQ(y[n] > 0, ref > 0) << n;
    }
    railHits += (y[n] == 32767 || y[n] == -32768);
  }
  EXPECT_GT(railHits, 100);
}

// --------------------------------------------------------------------------------------------
// Reconstruction

TEST(FilterBank, ImpulseComesOutAfterTheDesignDelay) {
  std::vector<int16_t> x(16 * N, 0);
  const int at = 4 * N + 123;
  x[at] = 20000;
  const std::vector<int16_t> y = RunBank(x);
  const auto peak = std::max_element(
      y.begin(), y.end(), [](int16_t a, int16_t b) { return std::abs(a) < std::abs(b); });
  EXPECT_EQ(peak - y.begin(), at + kFilterBankDelay);
  EXPECT_NEAR(*peak, 20000, 2);
  for (size_t n = 0; n < y.size(); ++n)
    if (static_cast<int>(n) != at + kFilterBankDelay) {
      ASSERT_LE(std::abs(y[n]), 2) << n;
    }
}

TEST(FilterBank, ReconstructsWhiteNoiseAtMinus20Dbfs) {
  const std::vector<int16_t> x = WhiteNoise(300, 3276.8, 17);
  const double snr = ReconstructionSnrDb(x, RunBank(x));
  RecordProperty("snr_db", std::to_string(snr));
  std::printf("white noise -20 dBFS: reconstruction SNR %.1f dB\n", snr);
  EXPECT_GE(snr, 55.0);
}

TEST(FilterBank, ReconstructsSpeechLikeSignal) {
  const std::vector<int16_t> x = SpeechLike(300);
  const double snr = ReconstructionSnrDb(x, RunBank(x));
  RecordProperty("snr_db", std::to_string(snr));
  RecordProperty("level_dbfs", std::to_string(RmsDbfs(x)));
  std::printf("speech-like signal at %.1f dBFS: reconstruction SNR %.1f dB\n", RmsDbfs(x), snr);
  EXPECT_GE(snr, 55.0);
}

// Gain in dB of a tone through analysis, the cut above bin 480, and synthesis.
double ToneGainDb(double hz) {
  std::vector<int16_t> x(60 * N);
  for (size_t n = 0; n < x.size(); ++n)
    x[n] = static_cast<int16_t>(std::lround(10000.0 * std::sin(2.0 * M_PI * hz * n / 48000.0)));
  const std::vector<int16_t> y = RunBank(x, [](Spectrum& s) {
    for (int k = kTopBin + 1; k < N; ++k)
      s[k] = Cpx{0.0f, 0.0f};
  });
  double ex = 0, ey = 0;
  for (size_t n = kFilterBankDelay + kPrototypeLength; n < x.size(); ++n) {
    ex += double(x[n - kFilterBankDelay]) * x[n - kFilterBankDelay];
    ey += double(y[n]) * y[n];
  }
  return 10.0 * std::log10(ey / ex);
}

TEST(FilterBank, CuttingAboveBin480IsA12kHzLowpass) {
  for (const double hz : {100.0, 1000.0, 5000.0, 9000.0, 11800.0}) {
    const double g = ToneGainDb(hz);
    std::printf("tone %6.0f Hz: %+.3f dB\n", hz, g);
    EXPECT_NEAR(g, 0.0, 0.05) << hz;
  }
  for (const double hz : {12300.0, 14000.0, 18000.0, 22000.0}) {
    const double g = ToneGainDb(hz);
    std::printf("tone %6.0f Hz: %+.1f dB\n", hz, g);
    EXPECT_LT(g, -40.0) << hz;
  }
}

}  // namespace
}  // namespace orvo
