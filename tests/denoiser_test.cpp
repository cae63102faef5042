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
#include <tuple>
#include <vector>

#include "denoise/denoise_transform.hpp"
#include "denoise/noise_suppressor.hpp"
#include "tests/support/cpu_levels.hpp"
#include "tests/support/denoise_plain.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scenes.hpp"

namespace orvo {
namespace {

using testing::LogCapture;

// Refuses the allocation with index fail_at; counts the calls and the blocks not given back.
struct CountingAllocator {
  int fail_at = -1, count = 0, live = 0;
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

std::unique_ptr<DenoiserState> NewState(float offered_floor = kEngineOfferedGainFloor,
                                        CpuLevel level = CpuLevel::kBaseline) {
  auto st = std::make_unique<DenoiserState>();
  rnnoise_init(*st, offered_floor, level);
  return st;
}

template <typename T>
bool SameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

constexpr float kSpeechLevel = 16000.0f;  // syllable peaks: about 3000 RMS over a speech stretch

// Speech-like signal with stationary coloured noise 20 dB below it.
std::vector<float> NoisySpeech(size_t n, std::uint32_t seed) {
  const std::vector<float> s = scene::SpeechLike(n, kSpeechLevel, seed);
  const float rms = 0.1f * static_cast<float>(std::sqrt(scene::Power(s, 0, n)));
  return scene::Add(s, scene::ColouredNoise(n, rms, seed + 100));
}

TEST(DenoiserInit, ZeroStateAndAFloorOnlyWithinItsRange) {
  DenoiserState zero{};
  zero.gain_floor = 1e-6f;  // the 1e-10 offered by engine creation is refused
  zero.saved_bin_gains[0] = 1.0f;
  EXPECT_TRUE(SameBits(*NewState(), zero));
  // The level goes to the suppressor's kernels and to its network's.
  if (CpuLevelSupported(CpuLevel::kAvx2)) {
    zero.level = zero.network_state.level = CpuLevel::kAvx2;
    EXPECT_TRUE(SameBits(*NewState(kEngineOfferedGainFloor, CpuLevel::kAvx2), zero));
  }
  const std::pair<float, float> cases[] = {{1e-10f, 1e-6f}, {1e-6f, 1e-6f},        {2e-6f, 2e-6f},
                                           {0.5f, 0.5f},    {1.0f, 1.0f},          {1.0001f, 1e-6f},
                                           {-1.0f, 1e-6f},  {std::nanf(""), 1e-6f}};
  for (auto [offered, floor] : cases)
    EXPECT_EQ(NewState(offered)->gain_floor, floor) << offered;
}

TEST(DenoiserGains, FloorAndFallLimit) {
  auto st = NewState();
  for (int b = 0; b < 22; ++b)
    st->prev_band_gains[b] = b < 11 ? 1.0f : 1e-7f;
  float g[22] = {}, gf[481];  // the network would close every band
  EXPECT_FALSE(smooth_and_freeze_gains(*st, g, 0, gf));
  for (int b = 0; b < 22; ++b)
    EXPECT_EQ(g[b], b < 11 ? 0.97f : 1e-6f) << b;  // at most 3 % down, never below the floor
  EXPECT_TRUE(SameBits(st->prev_band_gains, g));
  EXPECT_TRUE(SameBits(st->saved_bin_gains, gf));

  // A rising gain is taken as it is; the floor follows the state.
  for (float offered : {0.99f, 0.1f}) {
    std::fill(g, g + 22, offered);
    smooth_and_freeze_gains(*st, g, 0, gf);
    for (int b = 0; b < 22; ++b)
      EXPECT_EQ(g[b], offered == 0.99f ? 0.99f : 0.97f * 0.99f) << b;
    st->gain_floor = 0.5f;
  }
  st->prev_band_gains[5] = 0.0f;
  std::fill(g, g + 22, 0.1f);
  smooth_and_freeze_gains(*st, g, 0, gf);
  EXPECT_EQ(st->prev_band_gains[5], 0.5f);
}

TEST(DenoiserGains, FreezeNeedsFifteenLowBinsAndTheSpeechFlag) {
  auto st = NewState();
  for (int k = 0; k < 481; ++k)
    st->saved_bin_gains[k] = 0.001f * k;  // recognisable
  // Last accepted gains 0.25, 0 where the bands are pulled down (the 3 % limit must not lift them).
  for (int b = 0; b < 22; ++b)
    st->prev_band_gains[b] = b >= 1 && b <= 5 ? 0.0f : 0.25f;
  const DenoiserState before = *st;
  float g[22], gf[481];
  // Bands 1 to 4 at 0 (the floor, 1e-6, once smoothed), band 5 at `edge`, the rest 1: bins 4 to
  // 15 closed, bins 16 to 19 ramping from 0 to edge. Edge 0.6 gives 15 bins of 4 to 79 below
  // 0.333 (16, 17, 18 at 0, 0.15, 0.3); edge 0.7 gives 14 (bin 18 at 0.35): not enough. Frozen,
  // the saved gains are reused exactly and nothing is accepted; never without the flag.
  for (auto [edge, flag, frozen] :
       {std::tuple{0.6f, 1, true}, {0.6f, 0, false}, {0.7f, 1, false}}) {
    *st = before;
    for (int b = 0; b < 22; ++b)
      g[b] = b == 5 ? edge : b >= 1 && b <= 4 ? 0.0f : 1.0f;
    EXPECT_EQ(smooth_and_freeze_gains(*st, g, flag, gf), frozen) << edge << " " << flag;
    EXPECT_TRUE(frozen ? SameBits(gf, before.saved_bin_gains) && SameBits(*st, before)
                       : SameBits(st->saved_bin_gains, gf) && SameBits(st->prev_band_gains, g));
  }

  // Bins outside 4 to 79 do not count: bands 1 to 13 (bins 4 to 80) open, all others closed,
  // so that bins 0, 1 and 91 to 399 are low.
  *st = before;
  std::fill(st->prev_band_gains, st->prev_band_gains + 22, 0.0f);
  for (int b = 0; b < 22; ++b)
    g[b] = b >= 1 && b <= 13 ? 1.0f : 0.0f;
  EXPECT_FALSE(smooth_and_freeze_gains(*st, g, 1, gf));
  EXPECT_TRUE(gf[1] < 0.333f && gf[91] < 0.333f && gf[4] >= 0.333f && gf[79] >= 0.333f);
}

TEST(DenoiserFrame, SilentFrameGetsUnitGainsAndThePitchFilter) {
  // A 1 kHz tone far below the silence threshold (band energies sum below 0.04); returns the
  // output / input amplitude ratio (the output lags by one hop).
  auto run = [](float amplitude, DenoiserState& st) {
    std::vector<float> in(480 * 40), out(in.size());
    for (size_t n = 0; n < in.size(); ++n)
      in[n] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * n / 48000.0));
    for (size_t i = 0; i < in.size(); i += 480) {
      float vad = -1.0f;
      EXPECT_TRUE(rnnoise_process_frame(st, &out[i], &in[i], 1, DefaultLogger(),
                                        DefaultDenoiseAllocator(), &vad));
      EXPECT_EQ(vad, 0.0f);
    }
    return std::sqrt(scene::Power(out, 480 * 20, 480 * 39) / scene::Power(in, 480 * 19, 480 * 38));
  };
  auto st = NewState();
  EXPECT_NEAR(run(0.1f, *st), 1.0, 0.01);
  for (float v : st->prev_band_gains)
    EXPECT_EQ(v, 1.0f);
  for (int k = 0; k < 481; ++k)
    ASSERT_NEAR(st->saved_bin_gains[k], k < 400 ? 1.0f : 0.0f, k < 400 ? 1e-6f : 0.0f) << k;
  EXPECT_TRUE(SameBits(st->network_state, NetworkState{}));  // the network never ran
  EXPECT_EQ(st->cepstrum_pos, 0);                            // nor the cepstrum

  // The pitch filter still runs: its renormalisation sqrt(Ex / (1e-8 + Ex)) pulls bands whose
  // energy is near 1e-8 down. Left alone, silent frames would pass unchanged.
  const double ratio_tiny = run(2e-4f, *NewState());
  EXPECT_TRUE(ratio_tiny > 0.3 && ratio_tiny < 0.9) << ratio_tiny;
}

using C = std::complex<float>;

// The 960-point transform as plain mixed-radix stages: digit-reversed copy, then radix 4, 4, 4,
// 3 and 5 butterflies one at a time, with the operations the fast transform must keep.
std::vector<C> PlainFft(const std::vector<C>& in) {
  const SharedTables& t = GetSharedTables();
  auto J = [](C z) { return C(-z.imag(), z.real()); };  // i z, without a multiplication
  auto mul = [](float c, C z) { return C(c * z.real(), c * z.imag()); };
  std::vector<C> a(960);
  for (int n = 0; n < 960; ++n)
    a[(n % 5) * 192 + (n / 5 % 3) * 64 + (n / 15 % 4) * 16 + (n / 60 % 4) * 4 + n / 240] = in[n];
  const int radix[5] = {4, 4, 4, 3, 5}, m_of[5] = {1, 4, 16, 64, 192};
  const int tw_at[5] = {0, 768 + 128 + 48, 768 + 128, 768, 0};
  for (int s = 0; s < 5; ++s) {
    const int p = radix[s], m = m_of[s];
    for (int g = 0; g < 960; g += p * m)
      for (int j = 0; j < m; ++j) {
        C x[5], o[5];
        for (int q = 0; q < p; ++q) {
          x[q] = a[g + j + q * m];
          if (q == 0 || m == 1) continue;
          const int k = tw_at[s] + (q - 1) * m + j;
          const float wr = t.stage_twiddle_re[k], wi = t.stage_twiddle_im[k];
          x[q] = {x[q].real() * wr - x[q].imag() * wi, x[q].real() * wi + x[q].imag() * wr};
        }
        if (p == 4) {
          const C t0 = x[0] + x[2], t1 = x[0] - x[2], t2 = x[1] + x[3], t3 = x[1] - x[3];
          o[0] = t0 + t2, o[2] = t0 - t2, o[1] = t1 - J(t3), o[3] = t1 + J(t3);
        } else if (p == 3) {
          const C s12 = x[1] + x[2], mid = x[0] + mul(t.twiddle_re[320], s12);
          const C e = mul(t.twiddle_im[320], x[1] - x[2]);
          o[0] = x[0] + s12, o[1] = mid + J(e), o[2] = mid - J(e);
        } else {
          const float ar = t.twiddle_re[192], ai = t.twiddle_im[192];
          const float br = t.twiddle_re[384], bi = t.twiddle_im[384];
          const C s14 = x[1] + x[4], d14 = x[1] - x[4], s23 = x[2] + x[3], d23 = x[2] - x[3];
          const C m1 = x[0] + mul(ar, s14) + mul(br, s23), e1 = mul(ai, d14) + mul(bi, d23);
          const C m2 = x[0] + mul(br, s14) + mul(ar, s23), e2 = mul(bi, d14) - mul(ai, d23);
          o[0] = x[0] + s14 + s23, o[1] = m1 + J(e1), o[4] = m1 - J(e1);
          o[2] = m2 + J(e2), o[3] = m2 - J(e2);
        }
        for (int q = 0; q < p; ++q)
          a[g + j + q * m] = o[q];
      }
  }
  return a;
}

// Each processor level (packed network layers, regrouped transform stages, vectorised pitch sums
// and the frame that runs them) against the straightforward versions, bit for bit; whole frames
// against the baseline level.
class DenoiserLevelTest : public ::testing::TestWithParam<CpuLevel> {};

TEST_P(DenoiserLevelTest, AgreesBitForBitWithThePlainVersionsAndTheBaselineLevel) {
  const CpuLevel level = GetParam();
  ORVO_SKIP_UNSUPPORTED_LEVEL(level);
  // Network: ordinary feature values, now and then very large ones that saturate everything.
  std::vector<float> features = scene::WhiteNoise(300 * kDenoiseFeatures, 3.0f, 5);
  NetworkState fast{}, ref{};
  fast.level = ref.level = level;
  for (int step = 0; step < 300; ++step) {
    float* f = &features[step * kDenoiseFeatures];
    float g1[kDenoiseBands], g2[kDenoiseBands], v1, v2;
    for (int i = 0; step % 50 == 49 && i < kDenoiseFeatures; ++i)
      f[i] *= 3000.0f;
    ASSERT_TRUE(compute_rnn(fast, g1, &v1, f, DefaultLogger()));
    plain::Network(ref, g2, &v2, f);
    ASSERT_TRUE(SameBits(g1, g2) && SameBits(v1, v2) && SameBits(fast, ref)) << step;
  }

  // Transforms: fft960 (scale on the way in) against the plain stages, which equal the DFT;
  // forward: x times window / 960, bins 0 to 480; inverse: the conjugate-symmetric spectrum over
  // 960, read backwards, times 960 and the window.
  const SharedTables& t = GetSharedTables();
  std::vector<float> x = scene::WhiteNoise(1920, 3000.0f, 13), re(960), im(960), back(960);
  x[7] = x[1260] = -0.0f;  // signed zeros must come out the same too
  std::vector<C> in(960);
  for (int n = 0; n < 960; ++n)
    in[n] = {x[n] * 0.37f, x[960 + n] * 0.37f};
  fft960(x.data(), x.data() + 960, re.data(), im.data(), 0.37f, level);
  std::vector<C> want = PlainFft(in);
  for (int k = 0; k < 960; ++k) {
    ASSERT_TRUE(SameBits(C(re[k], im[k]), want[k])) << k;
    std::complex<double> dft = 0.0;
    for (int n = 0; n < 960; ++n)
      dft += std::complex<double>(in[n]) * std::polar(1.0, -std::numbers::pi * (k * n % 960) / 480);
    ASSERT_LT(std::abs(dft - std::complex<double>(want[k])), 1e-5 * 0.37 * 3000 * std::sqrt(1920));
  }
  for (int n = 0; n < 960; ++n)
    in[n] = {x[n] * (t.window_full[n] * (1.0f / 960)), 0.0f};
  std::vector<Cpx> X(481);
  ASSERT_TRUE(forward_transform(X.data(), x.data(), DefaultDenoiseAllocator(), level));
  want = PlainFft(in);
  for (int k = 0; k < 481; ++k)
    ASSERT_TRUE(SameBits(C(X[k].re, X[k].im), want[k])) << k;
  for (int n = 0; n < 960; ++n) {
    const Cpx v = X[n <= 480 ? n : 960 - n];
    in[n] = {v.re * (1.0f / 960), v.im * (n <= 480 ? 1.0f / 960 : -1.0f / 960)};
  }
  want = PlainFft(in);
  ASSERT_TRUE(inverse_transform(back.data(), X.data(), DefaultDenoiseAllocator(), level));
  for (int n = 0; n < 960; ++n)
    ASSERT_TRUE(SameBits(back[n], 960 * want[(960 - n) % 960].real() * t.window_full[n])) << n;

  // Engine frames, in place at this level and as two hops at the baseline level, the flag
  // toggling every 100 ms, over noisy speech, noise (the fall limit in play) and full-scale input.
  // Accepted gains stay in [floor, 1] and at or above 0.97 of the last; the pitch history ends
  // with both high-passed halves in order, the analysis history holds the second.
  std::vector<float> sig = NoisySpeech(48000 * 2, 31);
  for (const auto& part :
       {scene::ColouredNoise(48000, 300.0f, 32), scene::WhiteNoise(48000, 20000.0f, 91)})
    sig.insert(sig.end(), part.begin(), part.end());
  for (int n = 0; n < 48000; ++n)
    sig.push_back((n < 24000 ? n / 240 : n) % 2 ? 32767.0f : -32768.0f);
  for (float& v : sig)
    v = std::clamp(v, -32768.0f, 32767.0f);
  auto a = NewState(kEngineOfferedGainFloor, level), b = NewState();
  int limit_hits = 0;
  std::vector<float> hp(960), frame(960), out(960);
  double plain_hp[2] = {0.0, 0.0};
  for (size_t f = 0; f + 960 <= sig.size(); f += 960) {
    const int flag = (f / 4800) % 2;
    float hp_state[2] = {a->highpass_state[0], a->highpass_state[1]}, prev[22];
    highpass_filter(hp_state, hp.data(), &sig[f], 960, level);
    // The high-pass against its plain double-precision recursion.
    for (int n = 0; n < 960; ++n) {
      const float u = sig[f + n], y = u + plain_hp[0];
      plain_hp[0] = static_cast<float>(plain_hp[1] + (-2.0 * u - double(-1.99599f) * y));
      plain_hp[1] = static_cast<float>(1.0 * u - double(0.996f) * y);
      ASSERT_TRUE(SameBits(y, hp[n])) << f << " " << n;
    }
    std::copy(&sig[f], &sig[f] + 960, frame.begin());
    rnnoise_process_engine_frame(*a, frame.data(), flag, DefaultLogger());
    for (int h = 0; h < 960; h += 480) {
      std::copy(b->prev_band_gains, b->prev_band_gains + 22, prev);
      ASSERT_TRUE(rnnoise_process_frame(*b, &out[h], &sig[f + h], flag, DefaultLogger()));
      for (int k = 0; k < 22; ++k) {
        const float g = b->prev_band_gains[k];
        ASSERT_TRUE(g >= 1e-6f && g <= 1.0f && g >= 0.97f * prev[k]) << f << " " << k;
        limit_hits += g == 0.97f * prev[k];
      }
    }
    b->level = b->network_state.level = level;  // the states differ in their level alone
    ASSERT_TRUE(std::memcmp(frame.data(), out.data(), 960 * 4) == 0 && SameBits(*a, *b)) << f;
    b->level = b->network_state.level = CpuLevel::kBaseline;
    for (float v : out)
      ASSERT_TRUE(std::isfinite(v)) << f;
    ASSERT_EQ(std::memcmp(a->pitch_history + kPitchHistory - 960, hp.data(), 960 * 4), 0);
    ASSERT_EQ(std::memcmp(a->analysis_history, hp.data() + 480, 480 * 4), 0);
  }
  EXPECT_GT(limit_hits, 100);
}

INSTANTIATE_TEST_SUITE_P(Levels, DenoiserLevelTest, ORVO_ALL_CPU_LEVELS);

// A hop on a non-silent frame asks, in order, for: X, P and the high-passed input, the analysis
// frame, the transform buffer, the pitch scratch, the transform buffer for P, the network
// scratch, the synthesis frame and the inverse transform buffer. Failures 3 to 7 still write
// the output; the transform buffers fail silently.
TEST(DenoiserAllocation, EveryFailurePathReportsAndCleansUp) {
  const char* const who[] = {
      "rnnoise_process_frame 718", "frame_analysis 376",  "", "compute_frame_features 420", "",
      "compute_rnn 294",           "frame_synthesis 505", ""};
  const std::vector<float> in = NoisySpeech(480 * 31, 71);
  auto primed = NewState();
  float out[480];
  for (int i = 0; i < 480 * 30; i += 480)
    ASSERT_TRUE(rnnoise_process_frame(*primed, out, &in[i], 0, DefaultLogger()));
  const float* hop = &in[480 * 30];
  CountingAllocator plain;
  auto st = std::make_unique<DenoiserState>(*primed);
  ASSERT_TRUE(rnnoise_process_frame(*st, out, hop, 0, DefaultLogger(), plain.get()));
  ASSERT_EQ(plain.count, 10);
  EXPECT_EQ(plain.live, 0);
  for (int n = 0; n < plain.count; ++n) {
    SCOPED_TRACE(n);
    CountingAllocator alloc{n};
    LogCapture log;
    *st = *primed;
    std::fill(out, out + 480, 12345.0f);
    const bool writes = n >= 3 && n <= 7;
    EXPECT_EQ(rnnoise_process_frame(*st, out, hop, 0, log.logger, alloc.get()), writes);
    const std::string where = who[std::max(n - 2, 0)];
    EXPECT_EQ(log.text, where.empty() ? "" : "[" + where + "] malloc failed\n");
    EXPECT_EQ(alloc.live, 0);  // everything obtained was given back
    for (float v : out)
      ASSERT_TRUE(writes ? std::isfinite(v) && v != 12345.0f : v == 12345.0f);
    auto kept = [&](auto field) { return SameBits((*st).*field, (*primed).*field); };
    EXPECT_TRUE(n >= 3 || SameBits(*st, *primed));                  // nothing ran
    EXPECT_TRUE(n != 3 || kept(&DenoiserState::analysis_history));  // analysis abandoned
    EXPECT_TRUE(n != 5 || kept(&DenoiserState::pitch_history));     // pitch analysis too
    EXPECT_TRUE(n < 8 || kept(&DenoiserState::synthesis_overlap));  // synthesis abandoned
    if (n == 5 || n == 7) {  // no network step; unit gains accepted
      EXPECT_TRUE(kept(&DenoiserState::network_state));
      for (float g : st->prev_band_gains)
        EXPECT_EQ(g, 1.0f);
    }
  }
  // An engine frame passes a hop through unchanged when it cannot be processed.
  CountingAllocator first{0};
  LogCapture log;
  std::vector<float> frame(in.begin(), in.begin() + 960);
  rnnoise_process_engine_frame(*NewState(), frame.data(), 0, log.logger, first.get());
  EXPECT_EQ(log.text, "[rnnoise_process_frame 718] malloc failed\n");
  EXPECT_TRUE(std::equal(in.begin(), in.begin() + 480, frame.begin()));
  EXPECT_FALSE(std::equal(in.begin() + 480, in.begin() + 960, frame.begin() + 480));
  EXPECT_EQ(first.live, 0);
}

// Behaviour: stationary noise 20 dB below a speech-like signal, in stretches of speech and
// pauses, through the suppressor alone (engine frames of two hops). Figures are output / input
// energy in dB (the output lags by one hop). White noise is left almost untouched until speech
// has been heard; after that the pauses are attenuated as well.
TEST(DenoiserBehaviour, AttenuatesNoiseInPausesAndKeepsSpeech) {
  constexpr int kLead = 96000, kSpeech = 72000, kPause = 96000, kCycles = 3;
  constexpr int kCycle = kSpeech + kPause, kTotal = kLead + kCycles * kCycle;
  std::vector<float> clean(kTotal, 0.0f);
  double speech_power = 0.0;
  for (int c = 0; c < kCycles; ++c) {
    const std::vector<float> sp = scene::SpeechLike(kSpeech, kSpeechLevel, 11 + c);
    std::copy(sp.begin(), sp.end(), clean.begin() + kLead + c * kCycle);
    speech_power += scene::Power(sp, 0, kSpeech) / kCycles;
  }
  const float rms = 0.1f * static_cast<float>(std::sqrt(speech_power));
  for (auto [white, flag] : {std::pair{false, 0}, {false, 1}, {true, 0}}) {
    const std::vector<float> noise =
        white ? scene::WhiteNoise(kTotal, rms, 7) : scene::ColouredNoise(kTotal, rms, 7);
    std::vector<float> out = scene::Add(clean, noise);
    auto st = NewState();
    for (int f = 0; f < kTotal; f += 960) {
      const bool speaking = f >= kLead && (f - kLead) % kCycle < kSpeech;
      rnnoise_process_engine_frame(*st, &out[f], speaking ? flag : 0, DefaultLogger());
    }
    auto db = [&](int a, int b, const std::vector<float>& ref) {
      return 10.0 * std::log10(scene::Power(out, a + 480, b + 480) / scene::Power(ref, a, b));
    };
    const double lead = db(0, kLead, noise);
    double pause = 0.0, late = 0.0, speech = 0.0;  // late: the second half of each pause
    for (int s0 = kLead; s0 < kTotal; s0 += kCycle) {
      speech += db(s0, s0 + kSpeech, clean) / kCycles;
      pause += db(s0 + kSpeech, s0 + kCycle - 480, noise) / kCycles;
      late += db(s0 + kSpeech + kPause / 2, s0 + kCycle - 480, noise) / kCycles;
    }
    std::printf(
        "[ figures  ] %s noise, speech flag %d in speech: pauses %.1f dB (second halves %.1f dB), "
        "speech %.2f dB, noise before the first speech %.1f dB\n",
        white ? "white" : "coloured", flag, pause, late, speech, lead);
    EXPECT_LT(pause, -10.0);
    EXPECT_GT(speech, -3.0);
    EXPECT_TRUE(white || lead < -10.0) << lead;
  }
}

}  // namespace
}  // namespace orvo
