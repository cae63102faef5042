// Do denormal floats slow the engine down? A far-end-only scene (the far end talks, its echo
// reaches the microphone with light noise, nobody talks at the near end): the echo path leaves the
// neural suppressor and the trackers working on values that decay towards zero, where denormals
// appear. Each iteration runs the whole scene through a fresh engine and reports the mean, the
// 99th percentile and the worst frame in thread CPU time (so that other processes on the
// machine do not count), once as the engine runs by default and once with flush-to-zero and
// denormals-are-zero set around every frame. It also counts the denormal values left in the
// neural suppressor's state after the frames, to show that the scene produces them.
//   build/bench/denormal_bench
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <string_view>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tools/scene.hpp"

namespace orvo {
namespace {

constexpr int kFrame = Engine::kFrameSamples;
constexpr size_t kLength = 20 * scene::kRate;

struct FarEndOnly {
  std::vector<int16_t> mic, far;
};

const FarEndOnly& Scene() {
  static const FarEndOnly s = [] {
    const std::vector<float> far = scene::SpeechLike(kLength, 8000.0f, 5);
    const std::vector<float> echo = scene::Convolve(far, scene::RoomResponse(0.01, 0.15, 0.3f, 23));
    // Light microphone noise: the output is then mostly silent frames after a few non-zero
    // samples, whose decaying tails in the suppressor's filters are what turns denormal.
    return FarEndOnly{scene::ToPcm(scene::Add(echo, scene::WhiteNoise(kLength, 30.0f, 3))),
                      scene::ToPcm(far)};
  }();
  return s;
}

double ThreadMicros() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

template <size_t N>
size_t Denormals(const float (&values)[N]) {
  size_t n = 0;
  for (float v : values)
    n += std::fpclassify(v) == FP_SUBNORMAL;
  return n;
}

// Denormal values in the suppressor's signal histories and filter memories.
size_t DenormalsInSuppressor(const Engine& engine) {
  const DenoiserState& d = orvo::internal::StateOf(engine).hRoomPro->denoiser[0];
  return Denormals(d.analysis_history) + Denormals(d.synthesis_overlap) +
         Denormals(d.pitch_history) + Denormals(d.highpass_state);
}

void BM_FarEndOnlyScene(benchmark::State& state) {
  const bool flushToZero = state.range(0) != 0;
  const FarEndOnly& s = Scene();
  const size_t frames = s.far.size() / kFrame;
  std::vector<double> times;
  std::vector<int16_t> out(kFrame);
  size_t denormalFrames = 0;
  for (auto _ : state) {
    Engine engine([](std::string_view) {});
    for (size_t f = 0; f < frames; ++f) {
      const double t0 = ThreadMicros();
      const unsigned saved = _mm_getcsr();
      if (flushToZero) _mm_setcsr(saved | 0x8040);  // FTZ and DAZ
      engine.Process(&s.mic[f * kFrame], &s.far[f * kFrame], out.data(), false, 1, 0);
      if (flushToZero) _mm_setcsr(saved);
      times.push_back(ThreadMicros() - t0);
      denormalFrames += DenormalsInSuppressor(engine) > 0;
    }
  }
  std::sort(times.begin(), times.end());
  double sum = 0.0;
  for (double t : times)
    sum += t;
  state.counters["mean_us"] = sum / static_cast<double>(times.size());
  state.counters["p99_us"] = times[times.size() * 99 / 100];
  state.counters["worst_us"] = times.back();
  state.counters["frames_with_denormal_state"] =
      static_cast<double>(denormalFrames) / static_cast<double>(state.iterations());
  state.counters["frames"] = static_cast<double>(frames);
}
BENCHMARK(BM_FarEndOnlyScene)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("flush_to_zero")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvo
