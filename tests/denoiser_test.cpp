#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "denoise/denoise_transform.hpp"
#include "denoise/noise_suppressor.hpp"
#include "tests/denoise_signals.hpp"

namespace orvo {
namespace {

using testsignals::Noise;

struct LogCapture {
  std::string text;
  Logger logger{[](void* self, const char* s) { static_cast<LogCapture*>(self)->text += s; }, this};
};

// Counts allocations, refuses the one with index fail_at, and checks that every block comes back.
struct CountingAllocator {
  int fail_at = -1;
  int count = 0;
  int live = 0;
  DenoiseAllocator get() {
    return {[](void* ctx, std::size_t n) -> void* {
              auto* self = static_cast<CountingAllocator*>(ctx);
              if (self->count++ == self->fail_at) return nullptr;
              ++self->live;
              return std::malloc(n);
            },
            [](void* ctx, void* p) {
              --static_cast<CountingAllocator*>(ctx)->live;
              std::free(p);
            },
            this};
  }
};

std::unique_ptr<DenoiserState> NewState(float offered_floor = kEngineOfferedGainFloor) {
  auto st = std::make_unique<DenoiserState>();
  rnnoise_init(*st, offered_floor);
  return st;
}

bool SameState(const DenoiserState& a, const DenoiserState& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Speech-like signal with coloured noise 20 dB below it.
std::vector<float> NoisySpeech(int samples, std::uint64_t seed) {
  std::vector<float> s = testsignals::SpeechLike(samples, 3000.0, seed);
  const std::vector<float> n = testsignals::ColouredNoise(samples, 300.0, seed + 100);
  for (size_t i = 0; i < s.size(); ++i)
    s[i] += n[i];
  return s;
}

// Runs the suppressor over a whole signal in hops; returns the output.
std::vector<float> RunHops(DenoiserState& st, const std::vector<float>& in, int speechFlag = 0) {
  std::vector<float> out(in.size(), 0.0f);
  for (size_t i = 0; i + kDenoiseHop <= in.size(); i += kDenoiseHop)
    EXPECT_TRUE(rnnoise_process_frame(st, &out[i], &in[i], speechFlag, DefaultLogger()));
  return out;
}

double Energy(const float* x, int n) {
  double e = 0.0;
  for (int i = 0; i < n; ++i)
    e += static_cast<double>(x[i]) * x[i];
  return e;
}

// ---------------------------------------------------------------------------------------------

TEST(DenoiserInit, ZeroStateFloorAndSavedGains) {
  auto st = NewState();
  EXPECT_EQ(st->gain_floor, 1e-6f);  // 1e-10 offered by engine creation is refused
  EXPECT_EQ(st->saved_bin_gains[0], 1.0f);
  for (int k = 1; k < kDenoiseFreqBins; ++k)
    ASSERT_EQ(st->saved_bin_gains[k], 0.0f) << k;
  DenoiserState zero{};
  zero.gain_floor = 1e-6f;
  zero.saved_bin_gains[0] = 1.0f;
  EXPECT_TRUE(SameState(*st, zero));

  // A floor is taken only above 1e-6 and at most 1.
  const float nan = std::nanf("");
  const std::pair<float, float> cases[] = {{1e-10f, 1e-6f}, {1e-6f, 1e-6f}, {2e-6f, 2e-6f},
                                           {0.5f, 0.5f},    {1.0f, 1.0f},   {1.0001f, 1e-6f},
                                           {-1.0f, 1e-6f},  {nan, 1e-6f}};
  for (auto [offered, floor] : cases)
    EXPECT_EQ(NewState(offered)->gain_floor, floor) << offered;
}

TEST(DenoiserTables, WindowAndDct) {
  const SharedTables& t = GetSharedTables();
  EXPECT_EQ(&t, &GetSharedTables());
  for (int i = 0; i < 480; ++i) {
    // Power complementary, rising from 0 to 1.
    EXPECT_NEAR(
        t.window_half[i] * t.window_half[i] + t.window_half[479 - i] * t.window_half[479 - i], 1.0,
        2e-7);
    if (i > 0) {
      EXPECT_GE(t.window_half[i], t.window_half[i - 1]);
    }
  }
  const double s = std::sin(0.5 * std::numbers::pi * 100.5 / 480);
  EXPECT_EQ(t.window_half[100], static_cast<float>(std::sin(0.5 * std::numbers::pi * s * s)));
  EXPECT_EQ(t.dct_coeffs[0], 0.70710677f);

  // Orthonormal: a constant maps onto the first coefficient only, energy is kept.
  float in[22], out[22];
  for (float& v : in)
    v = 2.0f;
  dct22(out, in);
  EXPECT_NEAR(out[0], 2.0 * std::sqrt(22.0), 1e-5);
  for (int k = 1; k < 22; ++k)
    EXPECT_NEAR(out[k], 0.0, 1e-5);
  Noise rng(3);
  for (float& v : in)
    v = static_cast<float>(rng.Gauss());
  dct22(out, in);
  EXPECT_NEAR(Energy(out, 22), Energy(in, 22), 1e-4 * Energy(in, 22));
}

TEST(DenoiserTransform, FftMatchesTheDiscreteFourierTransform) {
  Noise rng(11);
  std::vector<float> re(960), im(960), out_re(960), out_im(960);
  for (int n = 0; n < 960; ++n) {
    re[n] = static_cast<float>(rng.Gauss());
    im[n] = static_cast<float>(rng.Gauss());
  }
  const float scale = 1.0f / 960.0f;
  fft960(re.data(), im.data(), out_re.data(), out_im.data(), scale);
  double worst = 0.0;
  for (int k = 0; k < 960; ++k) {
    std::complex<double> sum = 0.0;
    for (int n = 0; n < 960; ++n)
      sum += std::complex<double>(re[n], im[n]) *
             std::polar(1.0, -2.0 * std::numbers::pi * ((static_cast<long>(k) * n) % 960) / 960);
    sum *= 1.0 / 960.0;
    worst = std::max(worst, std::abs(sum - std::complex<double>(out_re[k], out_im[k])));
  }
  // Input values have unit variance: each output has a standard deviation of 1/sqrt(960).
  EXPECT_LT(worst, 2e-7);
}

// The 960-point transform as plain mixed-radix stages: digit-reversed copy, then radix 4, 4, 4,
// 3 and 5 butterflies one at a time, in the order and with the operations the fast transform
// must keep (it regroups them, it may not change them).
void PlainFft(std::vector<float>& re, std::vector<float>& im) {
  const SharedTables& t = GetSharedTables();
  std::vector<float> r(960), i(960);
  for (int n = 0; n < 960; ++n) {
    const int k =
        (n % 5) * 192 + ((n / 5) % 3) * 64 + ((n / 15) % 4) * 16 + ((n / 60) % 4) * 4 + n / 240;
    r[k] = re[n];
    i[k] = im[n];
  }
  auto turn = [](float& a, float& b, float wr, float wi) {
    const float x = a * wr - b * wi;
    b = a * wi + b * wr;
    a = x;
  };
  const int radix[5] = {4, 4, 4, 3, 5}, m_of[5] = {1, 4, 16, 64, 192};
  const int tw_at[5] = {0, 768 + 128 + 48, 768 + 128, 768, 0};
  for (int s = 0; s < 5; ++s) {
    const int p = radix[s], m = m_of[s];
    for (int g = 0; g < 960; g += p * m)
      for (int j = 0; j < m; ++j) {
        float ar[5], ai[5];
        for (int q = 0; q < p; ++q) {
          ar[q] = r[g + j + q * m];
          ai[q] = i[g + j + q * m];
          if (q > 0 && m > 1)
            turn(ar[q], ai[q], t.stage_twiddle_re[tw_at[s] + (q - 1) * m + j],
                 t.stage_twiddle_im[tw_at[s] + (q - 1) * m + j]);
        }
        float o_r[5], o_i[5];
        if (p == 4) {
          const float t0r = ar[0] + ar[2], t0i = ai[0] + ai[2], t1r = ar[0] - ar[2],
                      t1i = ai[0] - ai[2], t2r = ar[1] + ar[3], t2i = ai[1] + ai[3],
                      t3r = ar[1] - ar[3], t3i = ai[1] - ai[3];
          o_r[0] = t0r + t2r, o_i[0] = t0i + t2i, o_r[2] = t0r - t2r, o_i[2] = t0i - t2i;
          o_r[1] = t1r + t3i, o_i[1] = t1i - t3r, o_r[3] = t1r - t3i, o_i[3] = t1i + t3r;
        } else if (p == 3) {
          const float c = t.twiddle_re[320], sn = t.twiddle_im[320];
          const float sr = ar[1] + ar[2], si = ai[1] + ai[2], dr = ar[1] - ar[2],
                      di = ai[1] - ai[2];
          const float mr = ar[0] + c * sr, mi = ai[0] + c * si, er = sn * dr, ei = sn * di;
          o_r[0] = ar[0] + sr, o_i[0] = ai[0] + si;
          o_r[1] = mr - ei, o_i[1] = mi + er, o_r[2] = mr + ei, o_i[2] = mi - er;
        } else {
          const float a_r = t.twiddle_re[192], a_i = t.twiddle_im[192];
          const float b_r = t.twiddle_re[384], b_i = t.twiddle_im[384];
          const float s14r = ar[1] + ar[4], s14i = ai[1] + ai[4], d14r = ar[1] - ar[4],
                      d14i = ai[1] - ai[4], s23r = ar[2] + ar[3], s23i = ai[2] + ai[3],
                      d23r = ar[2] - ar[3], d23i = ai[2] - ai[3];
          o_r[0] = ar[0] + s14r + s23r, o_i[0] = ai[0] + s14i + s23i;
          const float m1r = ar[0] + a_r * s14r + b_r * s23r, m1i = ai[0] + a_r * s14i + b_r * s23i;
          const float e1r = a_i * d14r + b_i * d23r, e1i = a_i * d14i + b_i * d23i;
          const float m2r = ar[0] + b_r * s14r + a_r * s23r, m2i = ai[0] + b_r * s14i + a_r * s23i;
          const float e2r = b_i * d14r - a_i * d23r, e2i = b_i * d14i - a_i * d23i;
          o_r[1] = m1r - e1i, o_i[1] = m1i + e1r, o_r[4] = m1r + e1i, o_i[4] = m1i - e1r;
          o_r[2] = m2r - e2i, o_i[2] = m2i + e2r, o_r[3] = m2r + e2i, o_i[3] = m2i - e2r;
        }
        for (int q = 0; q < p; ++q) {
          r[g + j + q * m] = o_r[q];
          i[g + j + q * m] = o_i[q];
        }
      }
  }
  re = r;
  im = i;
}

TEST(DenoiserTransform, AllThreeTransformsEqualThePlainStagesBitForBit) {
  const SharedTables& t = GetSharedTables();
  Noise rng(13);
  std::vector<float> x(960), y(960);
  for (int n = 0; n < 960; ++n) {
    x[n] = static_cast<float>(3000.0 * rng.Gauss());
    y[n] = static_cast<float>(3000.0 * rng.Gauss());
  }
  x[7] = -0.0f;  // signed zeros must come out the same too
  y[300] = -0.0f;

  // fft960: scale on the way in.
  std::vector<float> re(960), im(960), out_re(960), out_im(960);
  for (int n = 0; n < 960; ++n) {
    re[n] = x[n] * 0.37f;
    im[n] = y[n] * 0.37f;
  }
  PlainFft(re, im);
  fft960(x.data(), y.data(), out_re.data(), out_im.data(), 0.37f);
  EXPECT_EQ(std::memcmp(re.data(), out_re.data(), 960 * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(im.data(), out_im.data(), 960 * sizeof(float)), 0);

  // Forward: x times (window / 960), imaginary part 0; bins 0 to 480.
  for (int n = 0; n < 960; ++n) {
    re[n] = x[n] * (t.window_full[n] * (1.0f / 960));
    im[n] = 0.0f;
  }
  PlainFft(re, im);
  std::vector<Cpx> X(481);
  ASSERT_TRUE(forward_transform(X.data(), x.data(), DefaultDenoiseAllocator()));
  for (int k = 0; k < 481; ++k) {
    ASSERT_EQ(std::memcmp(&X[k].re, &re[k], sizeof(float)), 0) << k;
    ASSERT_EQ(std::memcmp(&X[k].im, &im[k], sizeof(float)), 0) << k;
  }

  // Inverse: the conjugate-symmetric spectrum over 960, read backwards, times 960 and the window.
  for (int n = 0; n < 960; ++n) {
    const Cpx v = X[n <= 480 ? n : 960 - n];
    re[n] = v.re * (1.0f / 960);
    im[n] = v.im * (n <= 480 ? 1.0f / 960 : -1.0f / 960);
  }
  PlainFft(re, im);
  std::vector<float> back(960);
  ASSERT_TRUE(inverse_transform(back.data(), X.data(), DefaultDenoiseAllocator()));
  for (int n = 0; n < 960; ++n) {
    const float want = 960 * re[(960 - n) % 960] * t.window_full[n];
    ASSERT_EQ(std::memcmp(&back[n], &want, sizeof(float)), 0) << n;
  }
}

TEST(DenoiserTransform, WindowedOverlapAddReconstructs) {
  // forward then inverse gives the input times the window squared; overlapping halves add to 1.
  Noise rng(12);
  std::vector<float> x(480 * 6);
  for (float& v : x)
    v = static_cast<float>(1000.0 * rng.Gauss());
  std::vector<float> out(x.size(), 0.0f);
  std::vector<Cpx> X(481);
  std::vector<float> y(960);
  for (size_t start = 0; start + 960 <= x.size(); start += 480) {
    ASSERT_TRUE(forward_transform(X.data(), &x[start], DefaultDenoiseAllocator()));
    ASSERT_TRUE(inverse_transform(y.data(), X.data(), DefaultDenoiseAllocator()));
    for (int i = 0; i < 960; ++i)
      out[start + i] += y[i];
  }
  for (size_t i = 480; i + 480 < x.size(); ++i)
    ASSERT_NEAR(out[i], x[i], 0.02) << i;
}

TEST(DenoiserBands, EnergyWeightsAndEdges) {
  // |X[k]|^2 = 1 on every bin: a band gets half of its two neighbouring segments (the end bands
  // their one segment, doubled); bins 400 to 480 do not count.
  std::vector<Cpx> X(481, Cpx{0.6f, 0.8f});
  for (int k = 400; k < 481; ++k)
    X[k] = {1e6f, 1e6f};
  float E[22];
  compute_band_energy(E, X.data());
  auto width = [](int b) { return 4 * (band_edges[b + 1] - band_edges[b]); };
  EXPECT_NEAR(E[0], 2 * (width(0) + 1) / 2.0, 1e-4);
  EXPECT_NEAR(E[21], 2 * (width(20) - 1) / 2.0, 1e-4);
  for (int b = 1; b < 21; ++b)
    EXPECT_NEAR(E[b], (width(b - 1) + width(b)) / 2.0, 1e-4) << b;

  // Correlation of X with itself is its energy; with -X, minus it.
  std::vector<Cpx> minus(481);
  for (int k = 0; k < 481; ++k)
    minus[k] = {-X[k].re, -X[k].im};
  float C[22], Cm[22];
  compute_band_corr(C, X.data(), X.data());
  compute_band_corr(Cm, X.data(), minus.data());
  for (int b = 0; b < 22; ++b) {
    EXPECT_FLOAT_EQ(C[b], E[b]);
    EXPECT_FLOAT_EQ(Cm[b], -E[b]);
  }
}

TEST(DenoiserBands, GainInterpolation) {
  float v[22];
  for (int b = 0; b < 22; ++b)
    v[b] = static_cast<float>(b + 1);
  std::vector<float> g(481, -1.0f);
  interp_band_gain(g.data(), v);
  for (int b = 0; b < 21; ++b)
    EXPECT_EQ(g[4 * band_edges[b]], v[b]) << b;
  EXPECT_FLOAT_EQ(g[2], 1.5f);     // half way between band 0 (bin 0) and band 1 (bin 4)
  EXPECT_FLOAT_EQ(g[356], 21.5f);  // half way between band 20 (bin 312) and band 21 (bin 400)
  EXPECT_FLOAT_EQ(g[399], 21.0f + 87.0f / 88.0f);
  for (int k = 400; k < 481; ++k)
    ASSERT_EQ(g[k], 0.0f) << k;  // 20 kHz and up
}

// ---------------------------------------------------------------------------------------------
// Band-gain smoothing and the freeze rule.

TEST(DenoiserGains, FloorAndFallLimit) {
  auto st = NewState();
  for (int b = 0; b < 22; ++b)
    st->prev_band_gains[b] = b < 11 ? 1.0f : 1e-7f;
  float g[22] = {};  // the network would close every band
  float gf[481];
  EXPECT_FALSE(smooth_and_freeze_gains(*st, g, 0, gf));
  for (int b = 0; b < 11; ++b)
    EXPECT_EQ(g[b], 0.97f) << b;  // at most 3 % down
  for (int b = 11; b < 22; ++b)
    EXPECT_EQ(g[b], 1e-6f) << b;  // never below the floor
  EXPECT_EQ(std::memcmp(st->prev_band_gains, g, sizeof g), 0);
  EXPECT_EQ(std::memcmp(st->saved_bin_gains, gf, sizeof gf), 0);

  // A rising gain is taken as it is; the floor follows the state.
  for (float& v : g)
    v = 0.99f;
  smooth_and_freeze_gains(*st, g, 0, gf);
  for (int b = 0; b < 22; ++b)
    EXPECT_EQ(g[b], 0.99f);
  st->gain_floor = 0.5f;
  for (float& v : g)
    v = 0.1f;
  smooth_and_freeze_gains(*st, g, 0, gf);
  for (int b = 0; b < 22; ++b)
    EXPECT_EQ(g[b], 0.97f * 0.99f);
  st->prev_band_gains[5] = 0.0f;
  for (float& v : g)
    v = 0.1f;
  smooth_and_freeze_gains(*st, g, 0, gf);
  EXPECT_EQ(st->prev_band_gains[5], 0.5f);
}

// Band gains with bands 1 to 4 at 0 (the floor, 1e-6, once smoothed) and band 5 at `edge`, the
// rest 1: bins 4 to 15 are closed, and bins 16 to 19 ramp from 0 to edge. With edge 0.6 that is
// 15 bins of 4 to 79 below 0.333 (16, 17, 18 at 0, 0.15, 0.3); with edge 0.7 it is 14 (bin 18 is
// at 0.35).
void LowBandGains(float* g, float edge) {
  for (int b = 0; b < 22; ++b)
    g[b] = 1.0f;
  for (int b = 1; b <= 4; ++b)
    g[b] = 0.0f;
  g[5] = edge;
}

TEST(DenoiserGains, FreezeNeedsFifteenLowBinsAndTheSpeechFlag) {
  auto st = NewState();
  for (int k = 0; k < 481; ++k)
    st->saved_bin_gains[k] = 0.001f * k;  // recognisable
  // Last accepted gains: 0.25, and 0 where the test pulls bands down (so that the 3 % limit
  // does not lift them).
  for (int b = 0; b < 22; ++b)
    st->prev_band_gains[b] = b >= 1 && b <= 5 ? 0.0f : 0.25f;
  const DenoiserState before = *st;
  float g[22], gf[481];

  LowBandGains(g, 0.6f);
  EXPECT_TRUE(smooth_and_freeze_gains(*st, g, 1, gf));
  EXPECT_EQ(std::memcmp(gf, before.saved_bin_gains, sizeof gf), 0);  // exactly the saved gains
  EXPECT_TRUE(SameState(*st, before));                               // nothing accepted

  LowBandGains(g, 0.6f);
  EXPECT_FALSE(smooth_and_freeze_gains(*st, g, 0, gf));  // never without the flag
  EXPECT_EQ(std::memcmp(st->saved_bin_gains, gf, sizeof gf), 0);
  EXPECT_EQ(std::memcmp(st->prev_band_gains, g, sizeof g), 0);

  *st = before;
  LowBandGains(g, 0.7f);  // 14 bins: not enough
  EXPECT_FALSE(smooth_and_freeze_gains(*st, g, 1, gf));
  EXPECT_EQ(std::memcmp(st->saved_bin_gains, gf, sizeof gf), 0);

  // Bins outside 4 to 79 do not count: bands 1 to 13 (bins 4 to 80) open, all others closed,
  // so that bins 0, 1 and 91 to 399 are low.
  *st = before;
  for (float& v : st->prev_band_gains)
    v = 0.0f;
  for (int b = 0; b < 22; ++b)
    g[b] = b >= 1 && b <= 13 ? 1.0f : 0.0f;
  EXPECT_FALSE(smooth_and_freeze_gains(*st, g, 1, gf));
  EXPECT_LT(gf[1], 0.333f);
  EXPECT_LT(gf[91], 0.333f);
  EXPECT_GE(gf[4], 0.333f);
  EXPECT_GE(gf[79], 0.333f);
}

// ---------------------------------------------------------------------------------------------
// Whole hops.

TEST(DenoiserFrame, SilentFrameGetsUnitGainsAndThePitchFilter) {
  // A 1 kHz tone far below the silence threshold (band energies sum below 0.04).
  auto run = [](float amplitude, DenoiserState& st) {
    std::vector<float> in(480 * 40);
    for (size_t n = 0; n < in.size(); ++n)
      in[n] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * n / 48000.0));
    std::vector<float> out(in.size());
    for (size_t i = 0; i < in.size(); i += 480) {
      float vad = -1.0f;
      EXPECT_TRUE(rnnoise_process_frame(st, &out[i], &in[i], 1, DefaultLogger(),
                                        DefaultDenoiseAllocator(), &vad));
      EXPECT_EQ(vad, 0.0f);
    }
    // Output lags by one hop.
    return std::sqrt(Energy(&out[480 * 20], 480 * 19) / Energy(&in[480 * 19], 480 * 19));
  };
  auto st = NewState();
  const double ratio_quiet = run(0.1f, *st);
  for (float v : st->prev_band_gains)
    EXPECT_EQ(v, 1.0f);
  for (int k = 0; k < 400; ++k)
    ASSERT_NEAR(st->saved_bin_gains[k], 1.0f, 1e-6f) << k;
  for (int k = 400; k < 481; ++k)
    ASSERT_EQ(st->saved_bin_gains[k], 0.0f) << k;
  const NetworkState zero{};
  EXPECT_EQ(std::memcmp(&st->network_state, &zero, sizeof zero), 0);  // the network never ran
  EXPECT_EQ(st->cepstrum_pos, 0);                                     // nor the cepstrum
  EXPECT_NEAR(ratio_quiet, 1.0, 0.01);

  // The pitch filter still runs: its renormalisation sqrt(Ex / (1e-8 + Ex)) pulls bands whose
  // energy is near 1e-8 down. Left alone, silent frames would pass unchanged.
  auto tiny = NewState();
  const double ratio_tiny = run(2e-4f, *tiny);
  EXPECT_LT(ratio_tiny, 0.9);
  EXPECT_GT(ratio_tiny, 0.3);
}

TEST(DenoiserFrame, FreezeOnNoiseWithSpeechFlag) {
  // Loud stationary noise from a fresh state: the network pulls the low bands down at once.
  const std::vector<float> noise = testsignals::ColouredNoise(480 * 30, 2000.0, 21);
  auto frozen = NewState();
  const DenoiserState start = *frozen;
  std::vector<float> out = RunHops(*frozen, noise, 1);
  // Every hop was frozen: the start values stay, and only bin 0 passes (the saved gains).
  EXPECT_EQ(
      std::memcmp(frozen->prev_band_gains, start.prev_band_gains, sizeof start.prev_band_gains), 0);
  EXPECT_EQ(
      std::memcmp(frozen->saved_bin_gains, start.saved_bin_gains, sizeof start.saved_bin_gains), 0);
  EXPECT_LT(Energy(&out[480 * 5], 480 * 25), 1e-2 * Energy(&noise[480 * 4], 480 * 25));

  auto open = NewState();
  RunHops(*open, noise, 0);
  EXPECT_NE(std::memcmp(open->saved_bin_gains, start.saved_bin_gains, sizeof start.saved_bin_gains),
            0);
  for (float v : open->prev_band_gains)
    EXPECT_GE(v, 1e-6f);
}

TEST(DenoiserFrame, AcceptedGainsNeverFallFasterThanThreePerCent) {
  const std::vector<float> in = NoisySpeech(48000 * 2, 31);
  const std::vector<float> noise = testsignals::ColouredNoise(48000 * 2, 300.0, 32);
  auto st = NewState();
  float out[480];
  int limit_hits = 0;
  for (const std::vector<float>* sig : {&in, &noise}) {
    for (size_t i = 0; i + 480 <= sig->size(); i += 480) {
      float prev[22];
      std::memcpy(prev, st->prev_band_gains, sizeof prev);
      ASSERT_TRUE(rnnoise_process_frame(*st, out, &(*sig)[i], 0, DefaultLogger()));
      for (int b = 0; b < 22; ++b) {
        const float g = st->prev_band_gains[b];
        ASSERT_GE(g, 1e-6f);
        ASSERT_GE(g, 0.97f * prev[b]);
        ASSERT_LE(g, 1.0f);
        limit_hits += g == 0.97f * prev[b];
      }
    }
  }
  EXPECT_GT(limit_hits, 100);  // the limit was in play during the noise
}

TEST(DenoiserFrame, TwoHalvesShareOneStateInOrder) {
  const std::vector<float> in = NoisySpeech(960 * 30, 41);
  auto a = NewState();
  auto b = NewState();
  std::vector<float> frame(960);
  for (size_t f = 0; f + 960 <= in.size(); f += 960) {
    float hp_state[2] = {a->highpass_state[0], a->highpass_state[1]};
    std::vector<float> hp(960);
    highpass_filter(hp_state, hp.data(), &in[f], 960);

    std::memcpy(frame.data(), &in[f], 960 * sizeof(float));
    rnnoise_process_engine_frame(*a, frame.data(), 1, DefaultLogger());
    float first[480], second[480];
    ASSERT_TRUE(rnnoise_process_frame(*b, first, &in[f], 1, DefaultLogger()));
    ASSERT_TRUE(rnnoise_process_frame(*b, second, &in[f + 480], 1, DefaultLogger()));
    ASSERT_EQ(std::memcmp(frame.data(), first, sizeof first), 0);
    ASSERT_EQ(std::memcmp(frame.data() + 480, second, sizeof second), 0);
    ASSERT_TRUE(SameState(*a, *b));
    // The pitch history ends with both halves, first then second; the analysis history holds
    // the second half.
    ASSERT_EQ(std::memcmp(a->pitch_history + 1728 - 960, hp.data(), 960 * sizeof(float)), 0);
    ASSERT_EQ(std::memcmp(a->analysis_history, hp.data() + 480, 480 * sizeof(float)), 0);
  }
}

TEST(DenoiserFrame, FastAndReferenceAgreeBitForBit) {
  const std::vector<float> in = NoisySpeech(48000 * 3, 51);
  auto fast = NewState();
  auto ref = NewState();
  float o1[480], o2[480];
  for (size_t i = 0; i + 480 <= in.size(); i += 480) {
    const int flag = (i / 4800) % 2;  // the speech flag toggles every 100 ms
    float v1, v2;
    ASSERT_TRUE(rnnoise_process_frame(*fast, o1, &in[i], flag, DefaultLogger(),
                                      DefaultDenoiseAllocator(), &v1));
    ASSERT_TRUE(rnnoise_process_frame_reference(*ref, o2, &in[i], flag, DefaultLogger(),
                                                DefaultDenoiseAllocator(), &v2));
    ASSERT_EQ(std::memcmp(o1, o2, sizeof o1), 0) << i;
    ASSERT_EQ(v1, v2);
    ASSERT_TRUE(SameState(*fast, *ref)) << i;
  }
}

TEST(DenoiserFrame, InPlaceEqualsSeparateBuffers) {
  const std::vector<float> in = NoisySpeech(480 * 20, 61);
  auto a = NewState();
  auto b = NewState();
  float out[480], buf[480];
  for (size_t i = 0; i + 480 <= in.size(); i += 480) {
    rnnoise_process_frame(*a, out, &in[i], 0, DefaultLogger());
    std::memcpy(buf, &in[i], sizeof buf);
    rnnoise_process_frame(*b, buf, buf, 0, DefaultLogger());
    ASSERT_EQ(std::memcmp(out, buf, sizeof out), 0);
  }
}

TEST(DenoiserFrame, FullScaleInputsStayFinite) {
  // Full-scale square wave, clipped noise, alternating extremes and clicks: every output sample
  // finite and every accepted gain within [floor, 1].
  Noise rng(91);
  std::vector<float> x;
  for (int n = 0; n < 48000; ++n)
    x.push_back((n / 240) % 2 ? 32767.0f : -32768.0f);
  for (int n = 0; n < 48000; ++n)
    x.push_back(static_cast<float>(std::clamp(20000.0 * rng.Gauss(), -32768.0, 32767.0)));
  for (int n = 0; n < 24000; ++n)
    x.push_back(n % 2 ? 32767.0f : -32768.0f);
  for (int n = 0; n < 24000; ++n)
    x.push_back(n % 4800 == 0 ? 32767.0f : 0.0f);
  auto st = NewState();
  float out[480];
  for (size_t i = 0; i + 480 <= x.size(); i += 480) {
    ASSERT_TRUE(rnnoise_process_frame(*st, out, &x[i], (i / 9600) % 2, DefaultLogger()));
    for (float v : out)
      ASSERT_TRUE(std::isfinite(v)) << i;
    for (float g : st->prev_band_gains)
      ASSERT_TRUE(g >= 1e-6f && g <= 1.0f) << i;
  }
}

TEST(DenoiserPitch, FindsThePeriodOfAHarmonicSignal) {
  for (int period : {90, 160, 240, 400, 600}) {
    std::vector<float> x(480 * 20);
    for (size_t n = 0; n < x.size(); ++n) {
      double v = 0.0;
      for (int h = 1; h <= 12; ++h)
        v += std::sin(2 * std::numbers::pi * h * static_cast<double>(n) / period + h) / h;
      x[n] = static_cast<float>(2000.0 * v);
    }
    auto st = NewState();
    RunHops(*st, x);
    EXPECT_NEAR(st->prev_pitch_period, period, 2) << period;
    EXPECT_GT(st->prev_pitch_gain, 0.8f) << period;
  }
}

// The suppressor sums the pitch analysis' running energies and the first autocorrelation terms
// ahead of the functions that use them (in the shadow of other work); with those, every function
// must give exactly what it gives on its own, and the energies must be the plain running sums.
TEST(DenoiserPitch, EnergiesAndAutocorrelationSummedAheadChangeNothing) {
  const std::vector<float> s = NoisySpeech(kPitchHistory + 480, 91);
  const std::vector<float> before(s.begin(), s.begin() + kPitchHistory);  // before the shift
  const std::vector<float> after(s.begin() + 480, s.end());
  AutocorrPrefix prefix;
  prefix.Start(before.data());
  for (int i = 0; i < kAutocorrPrefix; ++i)
    prefix.Step();
  for (const PitchKernels* k : {&FastPitchKernels(), &ReferencePitchKernels()}) {
    std::vector<float> d(kPitchDownsampled), d2(kPitchDownsampled);
    pitch_downsample(after.data(), d.data(), *k);
    pitch_downsample(after.data(), d2.data(), *k, &prefix);
    ASSERT_EQ(std::memcmp(d.data(), d2.data(), d.size() * sizeof(float)), 0);

    PitchEnergies e;
    pitch_energies(d.data(), e);
    // Plain running sums: coarse over every other sample, fine over every sample, each 1 plus
    // the window's energy, slid per lag and held at 1 or more.
    for (int stride : {2, 1}) {
      const int len = 960 / (2 * stride), lags = kMaxPitchSearch / (2 * stride);
      const float* got = stride == 2 ? e.coarse : e.fine;
      float syy = 1.0f;
      for (int j = 0; j < len; ++j)
        syy += d[stride * j] * d[stride * j];
      for (int j = 0; j < lags; ++j) {
        ASSERT_EQ(got[j], syy) << stride << " " << j;
        syy += d[stride * (j + len)] * d[stride * (j + len)] - d[stride * j] * d[stride * j];
        syy = 1.0f > syy ? 1.0f : syy;
      }
    }
    const int T = pitch_search(d.data() + 384, d.data(), 960, kMaxPitchSearch, *k);
    EXPECT_EQ(pitch_search(d.data() + 384, d.data(), 960, kMaxPitchSearch, *k, &e), T);
    // Short and long periods: the long ones need the delayed energies beyond what was summed
    // ahead.
    for (int T0 : {768 - T, 62, 200, 500, 700, 767, 300}) {
      int t1 = T0, t2 = T0;
      const float g1 = remove_doubling(d.data(), 768, 60, 960, &t1, 300, 0.4f, *k);
      const float g2 = remove_doubling(d.data(), 768, 60, 960, &t2, 300, 0.4f, *k, &e);
      EXPECT_EQ(t1, t2) << T0;
      EXPECT_EQ(std::memcmp(&g1, &g2, sizeof g1), 0) << T0;
    }
    const float* x = d.data() + 384;
    float yy = 0.0f;
    for (int i = 0; i < 480; ++i)
      yy += x[i] * x[i];
    ASSERT_EQ(e.delayed[0], yy);
    for (int i = 1; i < e.delayed_valid; ++i) {
      yy = yy + x[-i] * x[-i] - x[480 - i] * x[480 - i];
      ASSERT_EQ(e.delayed[i], 0.0f > yy ? 0.0f : yy) << i;
    }
    EXPECT_GT(e.delayed_valid, 350);  // extended for the long periods
  }
}

// ---------------------------------------------------------------------------------------------
// Scratch allocation failures. A hop on a non-silent frame asks, in order, for: X, P and the
// high-passed input (rnnoise_process_frame), the analysis frame (frame_analysis), the transform
// buffer, the pitch scratch (compute_frame_features), the transform buffer for P, the network
// scratch (compute_rnn), the synthesis frame (frame_synthesis) and the inverse transform buffer.

struct FailureCase {
  const char* message;  // "" where the operation fails silently
  bool writes_out;
};

const FailureCase kFailures[] = {
    {"[rnnoise_process_frame 718] malloc failed\n", false},
    {"[rnnoise_process_frame 718] malloc failed\n", false},
    {"[rnnoise_process_frame 718] malloc failed\n", false},
    {"[frame_analysis 376] malloc failed\n", true},
    {"", true},
    {"[compute_frame_features 420] malloc failed\n", true},
    {"", true},
    {"[compute_rnn 294] malloc failed\n", true},
    {"[frame_synthesis 505] malloc failed\n", false},
    {"", false},
};

TEST(DenoiserAllocation, EveryFailurePathReportsAndCleansUp) {
  const std::vector<float> in = NoisySpeech(480 * 31, 71);
  auto primed = NewState();
  RunHops(*primed, std::vector<float>(in.begin(), in.begin() + 480 * 30));
  const float* hop = &in[480 * 30];

  CountingAllocator plain;
  auto st = std::make_unique<DenoiserState>(*primed);
  float out[480];
  ASSERT_TRUE(rnnoise_process_frame(*st, out, hop, 0, DefaultLogger(), plain.get()));
  ASSERT_EQ(plain.count, static_cast<int>(std::size(kFailures)));
  EXPECT_EQ(plain.live, 0);

  for (int n = 0; n < plain.count; ++n) {
    SCOPED_TRACE(n);
    const FailureCase& c = kFailures[n];
    CountingAllocator alloc;
    alloc.fail_at = n;
    LogCapture log;
    *st = *primed;
    for (float& v : out)
      v = 12345.0f;
    const bool wrote = rnnoise_process_frame(*st, out, hop, 0, log.logger, alloc.get());
    EXPECT_EQ(log.text, c.message);
    EXPECT_EQ(wrote, c.writes_out);
    EXPECT_EQ(alloc.live, 0);  // everything obtained was given back
    if (!c.writes_out) {
      for (float v : out)
        ASSERT_EQ(v, 12345.0f);
    } else {
      for (float v : out)
        ASSERT_TRUE(std::isfinite(v) && v != 12345.0f);
    }
    if (n < 3) {
      EXPECT_TRUE(SameState(*st, *primed));  // nothing ran
    }
    if (n == 3) {  // frame_analysis abandoned: its history stays
      EXPECT_EQ(
          std::memcmp(st->analysis_history, primed->analysis_history, sizeof st->analysis_history),
          0);
    }
    if (n == 5 || n == 7) {  // no network step; unit gains accepted
      EXPECT_EQ(std::memcmp(&st->network_state, &primed->network_state, sizeof st->network_state),
                0);
      for (float g : st->prev_band_gains)
        EXPECT_EQ(g, 1.0f);
    }
    if (n == 5) {  // the pitch analysis was abandoned with its scratch
      EXPECT_EQ(std::memcmp(st->pitch_history, primed->pitch_history, sizeof st->pitch_history), 0);
    }
    if (n >= 8) {  // synthesis abandoned: the overlap stays
      EXPECT_EQ(std::memcmp(st->synthesis_overlap, primed->synthesis_overlap,
                            sizeof st->synthesis_overlap),
                0);
    }
  }
}

TEST(DenoiserAllocation, EngineFramePassesAHopThroughWhenItCannotBeProcessed) {
  const std::vector<float> in = NoisySpeech(960 * 10, 81);
  auto st = NewState();
  std::vector<float> frame(in.begin(), in.begin() + 960);
  CountingAllocator alloc;
  alloc.fail_at = 0;  // the first hop's first allocation
  LogCapture log;
  rnnoise_process_engine_frame(*st, frame.data(), 0, log.logger, alloc.get());
  EXPECT_EQ(log.text, "[rnnoise_process_frame 718] malloc failed\n");
  EXPECT_EQ(std::memcmp(frame.data(), in.data(), 480 * sizeof(float)), 0);  // unchanged
  EXPECT_NE(std::memcmp(frame.data() + 480, in.data() + 480, 480 * sizeof(float)), 0);
  EXPECT_EQ(alloc.live, 0);
}

// ---------------------------------------------------------------------------------------------
// Behaviour on generated signals: stationary noise 20 dB below a speech-like signal, in stretches
// of speech and pauses, through the suppressor alone (two hops per 960-sample frame).

struct Figures {
  double pause_db;       // output / input energy over the pauses (noise only)
  double late_pause_db;  // the same over the second half of each pause
  double speech_db;      // output / clean speech energy over the speech stretches
  double lead_db;        // the noise before the first speech
};

Figures Measure(bool white_noise, int speechFlagInSpeech) {
  constexpr int kLead = 96000, kSpeech = 72000, kPause = 96000, kCycles = 3;
  const int total = kLead + kCycles * (kSpeech + kPause);
  std::vector<float> clean(total, 0.0f);
  std::vector<int> speaking(total, 0);
  for (int c = 0; c < kCycles; ++c) {
    const int s0 = kLead + c * (kSpeech + kPause);
    const std::vector<float> sp = testsignals::SpeechLike(kSpeech, 3000.0, 11 + c);
    std::copy(sp.begin(), sp.end(), clean.begin() + s0);
    std::fill(speaking.begin() + s0, speaking.begin() + s0 + kSpeech, 1);
  }
  const std::vector<float> noise = white_noise ? testsignals::WhiteNoise(total, 300.0, 7)
                                               : testsignals::ColouredNoise(total, 300.0, 7);
  std::vector<float> in(total), out(total);
  for (int i = 0; i < total; ++i)
    in[i] = clean[i] + noise[i];
  out = in;
  auto st = NewState();
  for (int f = 0; f + 960 <= total; f += 960)
    rnnoise_process_engine_frame(*st, &out[f], speaking[f] ? speechFlagInSpeech : 0,
                                 DefaultLogger());
  // The output lags the input by one hop.
  auto ratio_db = [&](int a, int b, const std::vector<float>& ref) {
    return 10.0 * std::log10(Energy(&out[a + 480], b - a) / Energy(&ref[a], b - a));
  };
  Figures f{};
  f.lead_db = ratio_db(0, kLead, noise);
  double pause = 0.0, late = 0.0, speech = 0.0;
  for (int c = 0; c < kCycles; ++c) {
    const int s0 = kLead + c * (kSpeech + kPause);
    speech += ratio_db(s0, s0 + kSpeech, clean) / kCycles;
    pause += ratio_db(s0 + kSpeech, s0 + kSpeech + kPause - 480, noise) / kCycles;
    late += ratio_db(s0 + kSpeech + kPause / 2, s0 + kSpeech + kPause - 480, noise) / kCycles;
  }
  f.pause_db = pause;
  f.late_pause_db = late;
  f.speech_db = speech;
  std::printf(
      "[ figures  ] %s noise, speech flag %d in speech: pauses %.1f dB (second halves "
      "%.1f dB), speech %.2f dB, noise before the first speech %.1f dB\n",
      white_noise ? "white" : "coloured", speechFlagInSpeech, f.pause_db, f.late_pause_db,
      f.speech_db, f.lead_db);
  return f;
}

TEST(DenoiserBehaviour, AttenuatesNoiseInPausesAndKeepsSpeech) {
  for (int flag : {0, 1}) {
    const Figures f = Measure(false, flag);
    EXPECT_LT(f.pause_db, -10.0);
    EXPECT_GT(f.speech_db, -3.0);
    EXPECT_LT(f.lead_db, -10.0);
  }
  // White noise is left almost untouched until speech has been heard; after that the pauses
  // are attenuated as well.
  const Figures w = Measure(true, 0);
  EXPECT_LT(w.pause_db, -10.0);
  EXPECT_GT(w.speech_db, -3.0);
}

}  // namespace
}  // namespace orvo
