// Per-frame cost of the double-talk detector, the talker search, the residual-echo estimate, the
// near-end detector, the post filter and the AGC, each on one frame of random but plausible data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "audio_core/agc.hpp"
#include "audio_core/double_talk.hpp"
#include "audio_core/near_end.hpp"
#include "audio_core/post_filter.hpp"

namespace orvo {
namespace {

std::vector<float> RandomPowers(unsigned seed, float scale) {
  std::mt19937 rng(seed);
  std::exponential_distribution<float> e(1.0f);
  std::vector<float> v(kNumBins);
  for (float& x : v)
    x = scale * e(rng);
  return v;
}

std::vector<Cpx> RandomSpectrum(unsigned seed, float scale) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> n(0.0f, scale);
  std::vector<Cpx> v(kNumBins);
  for (Cpx& c : v)
    c = Cpx{n(rng), n(rng)};
  return v;
}

void BM_DoubleTalkDetect(benchmark::State& st) {
  const auto residual = RandomPowers(1, 1e6f);
  const auto far = RandomPowers(2, 1e7f);
  const auto noise = RandomPowers(3, 1e4f);
  const float coupling[kNumGroups] = {0.2f, 0.3f, 0.5f, 0.4f, 0.3f, 0.2f};
  DoubleTalk dt;
  DoubleTalk_Create(dt);
  dt.threshold = 48.0f;
  for (auto _ : st) {
    DoubleTalk_Detect(residual.data(), far.data(), noise.data(), coupling, dt);
    benchmark::DoNotOptimize(dt.score);
  }
}
BENCHMARK(BM_DoubleTalkDetect);

void BM_TalkerMicSearch(benchmark::State& st) {
  const int mics = static_cast<int>(st.range(0));
  std::vector<std::vector<Cpx>> spectra;
  std::vector<NoisePsdState> noise(mics);
  const Cpx* ptrs[kMaxMics] = {};
  for (int m = 0; m < mics; ++m) {
    spectra.push_back(RandomSpectrum(10 + m, 1000.0f));
    ptrs[m] = spectra.back().data();
    const auto n = RandomPowers(20 + m, 1e4f);
    std::memcpy(noise[m].noise, n.data(), sizeof(noise[m].noise));
  }
  TalkerMic t;
  TalkerMic_Create(t);
  for (auto _ : st) {
    TalkerMic_Search(noise.data(), ptrs, 0, mics, t);
    benchmark::DoNotOptimize(t.bestScore);
  }
}
BENCHMARK(BM_TalkerMicSearch)->Arg(1)->Arg(2)->Arg(3);

void BM_ResidualEchoEstimate(benchmark::State& st) {
  std::vector<float> W(kNumBins);
  BuildWeightingTable(W.data());
  const auto echo = RandomPowers(4, 1e7f);
  EchoPeakState s;
  EchoPeak_Create(s);
  s.scale = 1.0f;
  for (auto _ : st) {
    ResidualEcho_Estimate(echo.data(), 3, W.data(), s);
    benchmark::DoNotOptimize(s.echoLevel);
  }
}
BENCHMARK(BM_ResidualEchoEstimate);

void BM_NearEndDetect(benchmark::State& st) {
  std::vector<float> W(kNumBins);
  BuildWeightingTable(W.data());
  auto residual = RandomPowers(5, 1e6f);
  const auto echo = RandomPowers(6, 1e6f);
  NoiseWeights weights;
  std::memset(&weights, 0, sizeof(weights));
  const auto w1 = RandomPowers(7, 1e-3f);
  std::memcpy(weights.inverseNoise, w1.data(), sizeof(weights.inverseNoise));
  NearEndState s;
  NearEnd_Create(&s);
  const NearEndTuning tuning;
  for (auto _ : st) {
    NearEnd_Detect(residual.data(), echo.data(), weights, 3, W.data(), tuning, 0, s);
    benchmark::DoNotOptimize(s.speechFlag);
  }
}
BENCHMARK(BM_NearEndDetect);

// Includes restoring the 960-bin spectrum before every call (the filter works in place).
void BM_PostFilterApply(benchmark::State& st) {
  const auto input = RandomSpectrum(8, 1000.0f);
  std::vector<Cpx> spectrum = input;
  NearEndState det;
  NearEnd_Create(&det);
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (int k = 1; k <= kTopBin; ++k)
    det.nearMap[k] = u(rng) < 0.3f ? 0.0f : 100.0f * u(rng);
  NoiseWeights weights;
  std::memset(&weights, 0, sizeof(weights));
  const std::vector<float> T(kNumBins, 1.0f);
  PostFilterState s;
  PostFilter_Create(&s);
  s.floorGain = 0.5f;
  int frame = 0;
  for (auto _ : st) {
    std::memcpy(spectrum.data(), input.data(), sizeof(Cpx) * kNumBins);
    det.speechDetected = (++frame % 20) == 0;
    PostFilter_Apply(spectrum.data(), det, weights, 2.0f, T.data(), 3, 55, s, 0);
    benchmark::DoNotOptimize(spectrum.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PostFilterApply);

void BM_AgcUpdate(benchmark::State& st) {
  Agc a;
  Agc_Create(a);
  float smoothed = kAgcSmoothedGainStart;
  int frame = 0;
  for (auto _ : st) {
    ++frame;
    Agc_Update((frame & 63) < 40, 800.0f + static_cast<float>(frame & 255), a, smoothed);
    benchmark::DoNotOptimize(a.outputGain);
  }
}
BENCHMARK(BM_AgcUpdate);

}  // namespace
}  // namespace orvo
