// Neural noise suppressor: one 480-sample call at each processor level, and the network alone at
// each level next to its plain neuron-by-neuron version.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "denoise/noise_suppressor.hpp"
#include "denoise/recurrent_network.hpp"
#include "tests/support/denoise_plain.hpp"
#include "tools/scene.hpp"

namespace orvo {
namespace {

constexpr int kSeconds = 4;
constexpr int kSamples = kSeconds * 48000;

// Speech-like signal with stationary noise 20 dB below it, shared by all runs.
const std::vector<float>& BenchSignal() {
  static const std::vector<float> signal = [] {
    const std::vector<float> s = scene::SpeechLike(kSamples, 16000.0f, 3);
    const float rms = 0.1f * static_cast<float>(std::sqrt(scene::Power(s, 0, s.size())));
    return scene::Add(s, scene::ColouredNoise(kSamples, rms, 4));
  }();
  return signal;
}

// Features of a run over the signal, to feed the network alone.
const std::vector<std::vector<float>>& BenchFeatures() {
  static const std::vector<std::vector<float>> features = [] {
    std::vector<std::vector<float>> all;
    auto st = std::make_unique<DenoiserState>();
    rnnoise_init(*st);
    const std::vector<float>& s = BenchSignal();
    std::vector<Cpx> X(kDenoiseFreqBins), P(kDenoiseWindow);
    float Ex[kDenoiseBands], Ep[kDenoiseBands], Exp[kDenoiseBands];
    for (int i = 0; i + kDenoiseHop <= kSamples; i += kDenoiseHop) {
      float x[kDenoiseHop];
      highpass_filter(st->highpass_state, x, &s[static_cast<size_t>(i)], kDenoiseHop, st->level);
      std::vector<float> f(kDenoiseFeatures);
      if (compute_frame_features(*st, X.data(), P.data(), Ex, Ep, Exp, f.data(), x, DefaultLogger(),
                                 DefaultDenoiseAllocator()) == 0)
        all.push_back(f);
    }
    return all;
  }();
  return features;
}

bool SkipUnsupported(benchmark::State& state, CpuLevel level) {
  if (CpuLevelSupported(level)) return false;
  state.SkipWithError("this processor cannot run the level");
  return true;
}

template <CpuLevel level>
void BM_ProcessFrame(benchmark::State& state) {
  if (SkipUnsupported(state, level)) return;
  const std::vector<float>& s = BenchSignal();
  auto st = std::make_unique<DenoiserState>();
  rnnoise_init(*st, kEngineOfferedGainFloor, level);
  float out[kDenoiseHop];
  size_t pos = 0;
  for (auto _ : state) {
    rnnoise_process_frame(*st, out, &s[pos], 0, DefaultLogger());
    benchmark::DoNotOptimize(out);
    pos += kDenoiseHop;
    if (pos + kDenoiseHop > s.size()) pos = 0;
  }
}

template <CpuLevel level>
void BM_ComputeRnn(benchmark::State& state) {
  if (SkipUnsupported(state, level)) return;
  const auto& features = BenchFeatures();
  NetworkState net{};
  net.level = level;
  PrepareDenoiseModel(level);
  float gains[kDenoiseBands], vad;
  size_t i = 0;
  for (auto _ : state) {
    compute_rnn(net, gains, &vad, features[i].data(), DefaultLogger());
    benchmark::DoNotOptimize(gains);
    if (++i == features.size()) i = 0;
  }
}

void BM_ComputeRnnPlain(benchmark::State& state) {
  const auto& features = BenchFeatures();
  NetworkState net{};
  float gains[kDenoiseBands], vad;
  size_t i = 0;
  for (auto _ : state) {
    plain::Network(net, gains, &vad, features[i].data());
    benchmark::DoNotOptimize(gains);
    if (++i == features.size()) i = 0;
  }
}

// The machine running these is shared: besides mean and median, report the fastest of the
// repetitions, which is the least disturbed by other load.
double Fastest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

#define DENOISE_BENCHMARK(...)            \
  BENCHMARK(__VA_ARGS__)                  \
      ->Unit(benchmark::kMicrosecond)     \
      ->MinTime(0.05)                     \
      ->Repetitions(12)                   \
      ->ComputeStatistics("min", Fastest) \
      ->ReportAggregatesOnly(true)

DENOISE_BENCHMARK(BM_ProcessFrame<CpuLevel::kAvx2>)->Name("BM_ProcessFrame/avx2");
DENOISE_BENCHMARK(BM_ProcessFrame<CpuLevel::kBaseline>)->Name("BM_ProcessFrame/baseline");
DENOISE_BENCHMARK(BM_ComputeRnn<CpuLevel::kAvx2>)->Name("BM_ComputeRnn/avx2");
DENOISE_BENCHMARK(BM_ComputeRnn<CpuLevel::kBaseline>)->Name("BM_ComputeRnn/baseline");
DENOISE_BENCHMARK(BM_ComputeRnnPlain);

}  // namespace
}  // namespace orvo
