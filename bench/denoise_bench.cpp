// Neural noise suppressor: one 480-sample call and the network alone, each next to the
// straightforward scalar version (plain loops for the correlations and the network).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "denoise/noise_suppressor.hpp"
#include "denoise/recurrent_network.hpp"
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
      highpass_filter(st->highpass_state, x, &s[static_cast<size_t>(i)], kDenoiseHop);
      std::vector<float> f(kDenoiseFeatures);
      if (compute_frame_features(*st, X.data(), P.data(), Ex, Ep, Exp, f.data(), x, DefaultLogger(),
                                 DefaultDenoiseAllocator()) == 0)
        all.push_back(f);
    }
    return all;
  }();
  return features;
}

template <bool kReference>
void ProcessFrame(benchmark::State& state) {
  const std::vector<float>& s = BenchSignal();
  auto st = std::make_unique<DenoiserState>();
  rnnoise_init(*st);
  float out[kDenoiseHop];
  size_t pos = 0;
  for (auto _ : state) {
    if (kReference)
      rnnoise_process_frame_reference(*st, out, &s[pos], 0, DefaultLogger());
    else
      rnnoise_process_frame(*st, out, &s[pos], 0, DefaultLogger());
    benchmark::DoNotOptimize(out);
    pos += kDenoiseHop;
    if (pos + kDenoiseHop > s.size()) pos = 0;
  }
}

template <bool kReference>
void Network(benchmark::State& state) {
  const auto& features = BenchFeatures();
  NetworkState net{};
  float gains[kDenoiseBands], vad;
  size_t i = 0;
  for (auto _ : state) {
    if (kReference)
      compute_rnn_reference(net, gains, &vad, features[i].data(), DefaultLogger());
    else
      compute_rnn(net, gains, &vad, features[i].data(), DefaultLogger());
    benchmark::DoNotOptimize(gains);
    if (++i == features.size()) i = 0;
  }
}

void BM_ProcessFrame(benchmark::State& state) {
  ProcessFrame<false>(state);
}
void BM_ProcessFrameScalar(benchmark::State& state) {
  ProcessFrame<true>(state);
}
void BM_ComputeRnn(benchmark::State& state) {
  Network<false>(state);
}
void BM_ComputeRnnScalar(benchmark::State& state) {
  Network<true>(state);
}

// The machine running these is shared: besides mean and median, report the fastest of the
// repetitions, which is the least disturbed by other load.
double Fastest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

#define DENOISE_BENCHMARK(fn)             \
  BENCHMARK(fn)                           \
      ->Unit(benchmark::kMicrosecond)     \
      ->MinTime(0.05)                     \
      ->Repetitions(12)                   \
      ->ComputeStatistics("min", Fastest) \
      ->ReportAggregatesOnly(true)

DENOISE_BENCHMARK(BM_ProcessFrame);
DENOISE_BENCHMARK(BM_ProcessFrameScalar);
DENOISE_BENCHMARK(BM_ComputeRnn);
DENOISE_BENCHMARK(BM_ComputeRnnScalar);

}  // namespace
}  // namespace orvo
