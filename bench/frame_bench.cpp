// One whole frame through Engine::Process (as ORVOAEC_Process), for one microphone (mode 1) and a
// microphone pair (mode 3), with the neural suppressor on (denoise mode 1, the default) and off
// (denoise mode 0); the difference is the suppressor's share of the frame.
//
// The scene is a conversation: far-end speech through a room response into each microphone,
// a talker on both microphones and light noise. The engine first runs 3 s of far end alone and
// 2 s of double talk so its filters have adapted; the timed frames then cycle through the double
// talk stretch.
#include <benchmark/benchmark.h>

#include <string_view>
#include <vector>

#include "orvoaec/engine.hpp"
#include "tools/scene.hpp"

namespace orvo {
namespace {

constexpr int kFrame = Engine::kFrameSamples;
constexpr size_t kRate = scene::kRate;
constexpr size_t kNearStart = 3 * kRate;
constexpr size_t kWarmUp = 5 * kRate;
constexpr size_t kLength = 11 * kRate;

struct BenchScene {
  std::vector<int16_t> far;
  std::vector<int16_t> mono;    // first microphone
  std::vector<int16_t> stereo;  // both microphones, interleaved
};

const BenchScene& Scene() {
  static const BenchScene s = [] {
    const std::vector<float> far = scene::SpeechLike(kLength, 4000.0f, 11);
    std::vector<float> near = scene::SpeechLike(kLength, 1500.0f, 22);
    std::fill(near.begin(), near.begin() + kNearStart, 0.0f);
    std::vector<float> near1 = near;
    for (float& v : near1)
      v *= 0.8f;
    const std::vector<float> mic0 = scene::Add(
        scene::Add(scene::Convolve(far, scene::RoomResponse(0.030, 0.150, 0.3f, 3)), near),
        scene::WhiteNoise(kLength, 10.0f, 5));
    const std::vector<float> mic1 = scene::Add(
        scene::Add(scene::Convolve(far, scene::RoomResponse(0.032, 0.150, 0.3f, 4)), near1),
        scene::WhiteNoise(kLength, 10.0f, 6));
    BenchScene b;
    b.far = scene::ToPcm(far);
    b.mono = scene::ToPcm(mic0);
    const std::vector<int16_t> second = scene::ToPcm(mic1);
    b.stereo.resize(2 * kLength);
    for (size_t i = 0; i < kLength; ++i) {
      b.stereo[2 * i] = b.mono[i];
      b.stereo[2 * i + 1] = second[i];
    }
    return b;
  }();
  return s;
}

// Arguments: process mode (1 or 3), denoise mode (1 or 0).
void BM_EngineFrame(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const BenchScene& s = Scene();
  const std::vector<int16_t>& mic = mode == 3 ? s.stereo : s.mono;
  const size_t channels = mode == 3 ? 2 : 1;

  Engine engine([](std::string_view) {});
  engine.SetDenoiseMode(static_cast<int>(state.range(1)));
  std::vector<int16_t> out(kFrame);
  size_t frame = 0;
  for (; frame * kFrame < kWarmUp; ++frame)
    engine.Process(&mic[frame * kFrame * channels], &s.far[frame * kFrame], out.data(), false, mode,
                   0);

  const size_t firstTimed = frame, frames = kLength / kFrame;
  for (auto _ : state) {
    engine.Process(&mic[frame * kFrame * channels], &s.far[frame * kFrame], out.data(), false, mode,
                   0);
    benchmark::DoNotOptimize(out.data());
    if (++frame == frames) frame = firstTimed;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineFrame)
    ->ArgNames({"mode", "denoise"})
    ->Args({1, 1})
    ->Args({3, 1})
    ->Args({1, 0})
    ->Args({3, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvo
