// Per-call times of the 1920-point real transform (forward + inverse), the 960-point complex
// transform, one filter-bank analysis + synthesis, and FFTW's 1920-point real transform where
// FFTW is available.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "audio_core/filter_bank.hpp"
#include "audio_core/transform.hpp"

#if ORVO_BENCH_WITH_FFTW
#include <fftw3.h>
#endif

namespace orvo {
namespace {

std::vector<float> Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 3000.0f);
  std::vector<float> v(n);
  for (float& x : v)
    x = g(rng);
  return v;
}

// Forward into `spectrum` consumes `work`; the inverse writes the samples back into `work`, so
// the loop keeps transforming the same signal.
void RealForwardInverse(benchmark::State& state, CpuLevel level) {
  const std::vector<float> x = Noise(1920, 1);
  std::vector<Cpx> work(960), spectrum(960);
  std::memcpy(work.data(), x.data(), sizeof(float) * 1920);
  for (auto _ : state) {
    RealFft1920(work.data(), spectrum.data(), kFftForward, level);
    RealFft1920(spectrum.data(), work.data(), kFftInverse, level);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
}

void ComplexForwardInverse(benchmark::State& state, CpuLevel level) {
  const std::vector<float> x = Noise(1920, 2);
  std::vector<Cpx> a(960), b(960);
  std::memcpy(a.data(), x.data(), sizeof(float) * 1920);
  for (auto _ : state) {
    ComplexFft960(a.data(), b.data(), kFftForward, level);
    ComplexFft960(b.data(), a.data(), kFftInverse, level);
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
  }
}

// arg: the processor level (0 baseline, 1 AVX2).
CpuLevel LevelArg(benchmark::State& state) {
  const CpuLevel level = static_cast<CpuLevel>(state.range(0));
  if (!CpuLevelSupported(level)) state.SkipWithError("this processor cannot run the level");
  state.SetLabel(CpuLevelName(level));
  return level;
}

void BM_RealFft1920_ForwardInverse(benchmark::State& state) {
  const CpuLevel level = LevelArg(state);
  if (!state.error_occurred()) RealForwardInverse(state, level);
}
BENCHMARK(BM_RealFft1920_ForwardInverse)->DenseRange(0, 1);

void BM_ComplexFft960_ForwardInverse(benchmark::State& state) {
  const CpuLevel level = LevelArg(state);
  if (!state.error_occurred()) ComplexForwardInverse(state, level);
}
BENCHMARK(BM_ComplexFft960_ForwardInverse)->DenseRange(0, 1);

void BM_FilterBank_AnalyzeSynthesize(benchmark::State& state) {
  const CpuLevel level = LevelArg(state);
  if (state.error_occurred()) return;
  const std::vector<float> noise = Noise(960, 3);
  std::vector<int16_t> pcm(960), out(960);
  for (int n = 0; n < 960; ++n)
    pcm[n] = static_cast<int16_t>(noise[n]);
  auto ana = std::make_unique<FilterBankState>();
  auto syn = std::make_unique<FilterBankState>();
  FilterBank_Create(ana.get(), level);
  FilterBank_CreateSynthesis(syn.get(), level);
  std::vector<Cpx> spectrum(960);
  for (auto _ : state) {
    FilterBank_Analyze(pcm.data(), spectrum.data(), *ana);
    FilterBank_Synthesize(spectrum.data(), out.data(), *syn);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FilterBank_AnalyzeSynthesize)->DenseRange(0, 1);

#if ORVO_BENCH_WITH_FFTW

// FFTW's out-of-place 1920-point r2c and c2r, FFTW_MEASURE plans.
struct Fftw {
  float* in = fftwf_alloc_real(1920);
  float* out = fftwf_alloc_real(1920);
  fftwf_complex* spectrum = fftwf_alloc_complex(961);
  fftwf_plan forward = fftwf_plan_dft_r2c_1d(1920, in, spectrum, FFTW_MEASURE);
  fftwf_plan inverse = fftwf_plan_dft_c2r_1d(1920, spectrum, out, FFTW_MEASURE);
  Fftw() {
    const std::vector<float> x = Noise(1920, 1);
    std::memcpy(in, x.data(), sizeof(float) * 1920);
  }
  ~Fftw() {
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(in);
    fftwf_free(out);
    fftwf_free(spectrum);
  }
  void Run() {
    fftwf_execute(forward);
    fftwf_execute(inverse);
  }
};

void BM_Fftw_Real1920_ForwardInverse(benchmark::State& state) {
  Fftw f;
  for (auto _ : state) {
    f.Run();
    benchmark::DoNotOptimize(f.out);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Fftw_Real1920_ForwardInverse);

// Both in alternating batches within one benchmark, so that they see the same machine load;
// the counter `ratio` is our time over FFTW's.
void BM_RealFft1920_RatioToFftw(benchmark::State& state) {
  Fftw f;
  const std::vector<float> x = Noise(1920, 1);
  std::vector<Cpx> work(960), spectrum(960);
  std::memcpy(work.data(), x.data(), sizeof(float) * 1920);
  using Clock = std::chrono::steady_clock;
  constexpr int kBatch = 200;
  double ours = 0.0, theirs = 0.0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      RealFft1920(work.data(), spectrum.data(), kFftForward, ProcessCpuLevel());
      RealFft1920(spectrum.data(), work.data(), kFftInverse, ProcessCpuLevel());
      benchmark::ClobberMemory();
    }
    const auto t1 = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      f.Run();
      benchmark::ClobberMemory();
    }
    const auto t2 = Clock::now();
    ours += std::chrono::duration<double>(t1 - t0).count();
    theirs += std::chrono::duration<double>(t2 - t1).count();
  }
  const double calls = static_cast<double>(state.iterations()) * kBatch;
  state.counters["ours_ns"] = ours / calls * 1e9;
  state.counters["fftw_ns"] = theirs / calls * 1e9;
  state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_RealFft1920_RatioToFftw);

#endif

}  // namespace
}  // namespace orvo
