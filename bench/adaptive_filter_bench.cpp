// AdaptiveFilterMono_Process for 1, 2 and 9 microphones, next to the plain per-bin formulation
// on the same data in the same run. The far end is white noise, every microphone hears it
// through its own 4-frame echo path plus a little near-end noise; the filters are warmed up for
// 100 frames and keep adapting while timed. Each timed frame also copies the raw microphone
// bins 0..480 into the buffers that the filter cancels in place (BM_InputCopy times that part
// alone). The counter "per_mic" is the time per microphone and frame.
#include <benchmark/benchmark.h>

#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "audio_core/adaptive_filter_mono.hpp"
#include "tests/support/adaptive_filter_plain.hpp"

namespace orvo {
namespace {

constexpr int kFrames = 32;  // frames of input, played in a loop
constexpr int kWarmUp = 100;
constexpr int kCopiedBins = kTopBin + 1;

struct Input {
  std::vector<std::vector<Cpx>> far;                // [frame][bin]
  std::vector<std::vector<std::vector<Cpx>>> mics;  // [frame][mic][bin]
  std::vector<NoisePsdState> noise;
  float coupling[kMaxMics][kNumGroups];
};

const Input& TestInput() {
  static const std::unique_ptr<Input> input = [] {
    auto in = std::make_unique<Input>();
    std::mt19937 rng(42);
    std::normal_distribution<float> g(0.0f, 1.0f);
    constexpr int kLags = 4;
    std::vector<std::complex<float>> path(kMaxMics * kNumBins * kLags);
    for (auto& p : path)
      p = {0.3f * g(rng), 0.3f * g(rng)};
    std::vector<std::vector<std::complex<float>>> far(kFrames,
                                                      std::vector<std::complex<float>>(kNumBins));
    for (auto& f : far)
      for (auto& x : f)
        x = {1000.0f * g(rng), 1000.0f * g(rng)};
    in->far.assign(kFrames, std::vector<Cpx>(kNumBins));
    in->mics.assign(kFrames, std::vector<std::vector<Cpx>>(kMaxMics, std::vector<Cpx>(kNumBins)));
    for (int t = 0; t < kFrames; ++t) {
      for (int k = 0; k < kNumBins; ++k)
        in->far[t][k] = Cpx{far[t][k].real(), far[t][k].imag()};
      for (int m = 0; m < kMaxMics; ++m) {
        for (int k = 0; k < kNumBins; ++k) {
          std::complex<float> d(3.0f * g(rng), 3.0f * g(rng));
          for (int l = 0; l < kLags; ++l)
            d += path[(m * kNumBins + k) * kLags + l] * far[(t - l + kFrames) % kFrames][k];
          in->mics[t][m][k] = Cpx{d.real(), d.imag()};
        }
      }
    }
    in->noise.resize(kMaxMics);
    for (auto& n : in->noise) {
      NoisePSD_Create(&n);
      for (float& x : n.noise)
        x = 1000.0f;
    }
    for (auto& row : in->coupling)
      for (float& c : row)
        c = 16.0f;
    return in;
  }();
  return *input;
}

// Microphone buffers that the filter overwrites, refilled from the input every frame.
struct Work {
  std::vector<std::vector<Cpx>> buffers =
      std::vector<std::vector<Cpx>>(kMaxMics, std::vector<Cpx>(kNumBins));
  Cpx* ptr[kMaxMics];
  Work() {
    for (int m = 0; m < kMaxMics; ++m)
      ptr[m] = buffers[m].data();
  }
  void Load(const Input& in, int frame, int mics) {
    for (int m = 0; m < mics; ++m)
      std::memcpy(ptr[m], in.mics[frame][m].data(), kCopiedBins * sizeof(Cpx));
  }
};

void SetCounters(benchmark::State& state, int mics) {
  state.counters["per_mic"] =
      benchmark::Counter(static_cast<double>(mics), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// Warms the filter up, then times one frame per iteration on fresh microphone spectra.
template <class ProcessFrame>
void TimeFrames(benchmark::State& state, int mics, ProcessFrame process) {
  const Input& in = TestInput();
  Work work;
  int frame = 0;
  auto step = [&] {
    work.Load(in, frame % kFrames, mics);
    process(in.far[frame % kFrames].data(), work.ptr);
    ++frame;
  };
  for (int i = 0; i < kWarmUp; ++i)
    step();
  for (auto _ : state) {
    step();
    benchmark::DoNotOptimize(work.ptr[0][100]);
  }
  SetCounters(state, mics);
}

template <CpuLevel level>
void BM_AdaptiveFilterMono(benchmark::State& state) {
  if (!CpuLevelSupported(level)) {
    state.SkipWithError("this processor cannot run the level");
    return;
  }
  const int mics = static_cast<int>(state.range(0));
  const Input& in = TestInput();
  auto filter = std::make_unique<AdaptiveFilterMono>();
  AdaptiveFilterMono_Create(filter.get(), level);
  TimeFrames(state, mics, [&](const Cpx* far, Cpx* const* spectra) {
    AdaptiveFilterMono_Process(far, mics, in.coupling, in.noise.data(), spectra, 0, -1, 2, *filter);
  });
}

void BM_Reference(benchmark::State& state) {
  const int mics = static_cast<int>(state.range(0));
  const Input& in = TestInput();
  auto filter = std::make_unique<reference::AdaptiveFilter>();
  TimeFrames(state, mics, [&](const Cpx* far, Cpx* const* spectra) {
    reference::Process(far, mics, in.coupling, in.noise.data(), spectra, 0, -1, 2, *filter);
  });
}

void BM_InputCopy(benchmark::State& state) {
  const int mics = static_cast<int>(state.range(0));
  const Input& in = TestInput();
  Work work;
  int frame = 0;
  for (auto _ : state) {
    work.Load(in, frame++ % kFrames, mics);
    benchmark::DoNotOptimize(work.ptr[0][100]);
  }
  SetCounters(state, mics);
}

BENCHMARK(BM_AdaptiveFilterMono<CpuLevel::kAvx2>)
    ->Name("AdaptiveFilterMono/Avx2")
    ->Arg(1)
    ->Arg(2)
    ->Arg(9);
BENCHMARK(BM_AdaptiveFilterMono<CpuLevel::kBaseline>)
    ->Name("AdaptiveFilterMono/Baseline")
    ->Arg(1)
    ->Arg(2)
    ->Arg(9);
BENCHMARK(BM_Reference)->Name("PlainReference")->Arg(1)->Arg(2)->Arg(9);
BENCHMARK(BM_InputCopy)->Name("InputCopy")->Arg(1)->Arg(2)->Arg(9);

}  // namespace
}  // namespace orvo
