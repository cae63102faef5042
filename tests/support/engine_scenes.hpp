// A small fixed set of whole-engine runs (one and two microphones, the neural suppressor off,
// normal and strong) and a checksum of their 16-bit output. The level comparison test and the
// scene_checksums tool share them, so outputs can be compared across builds, processor levels
// and systems.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvoaec/engine.hpp"
#include "tests/support/scenes.hpp"

namespace orvo::testing {

struct EngineRun {
  std::string name;
  int mode;     // 1: one microphone, 3: two microphones
  int denoise;  // neural suppressor mode: 0 off, 1 normal, 2 strong
};

// Every mode and suppressor setting the output checks cover.
inline std::vector<EngineRun> EngineRuns() {
  std::vector<EngineRun> runs;
  for (int mode : {1, 3})
    for (int denoise : {0, 1, 2})
      runs.push_back(
          {"mode" + std::to_string(mode) + "_denoise" + std::to_string(denoise), mode, denoise});
  return runs;
}

// The scene: 3 s of far-end talk with its echo, 3 s of near-end talk alone, 3 s of both, over
// coloured room noise. The second microphone hears the room through its own response.
struct EngineScene {
  std::vector<int16_t> mic;  // one channel, or two interleaved with mode 3
  std::vector<int16_t> far;
};

inline EngineScene MakeEngineScene(int mode) {
  namespace sc = orvo::scene;
  const size_t seg = 3 * sc::kRate, n = 3 * seg;
  std::vector<float> far = sc::SpeechLike(n, 9000.0f, 11);
  for (size_t i = seg; i < 2 * seg; ++i)
    far[i] = 0.0f;
  std::vector<float> near = sc::SpeechLike(n, 6000.0f, 23);
  for (size_t i = 0; i < seg; ++i)
    near[i] = 0.0f;
  const std::vector<float> noise = sc::ColouredNoise(n, 200.0f, 7);
  const std::vector<int16_t> mic1 = sc::ToPcm(
      sc::Add(sc::Add(sc::Convolve(far, sc::RoomResponse(0.03, 0.15, 0.5f, 5)), near), noise));
  EngineScene s;
  s.far = sc::ToPcm(far);
  if (mode != 3) {
    s.mic = mic1;
    return s;
  }
  std::vector<float> near2 = near;
  for (float& v : near2)
    v *= 0.5f;
  const std::vector<int16_t> mic2 =
      sc::ToPcm(sc::Add(sc::Add(sc::Convolve(far, sc::RoomResponse(0.02, 0.2, 0.7f, 9)), near2),
                        sc::WhiteNoise(n, 60.0f, 13)));
  s.mic.resize(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s.mic[2 * i] = mic1[i];
    s.mic[2 * i + 1] = mic2[i];
  }
  return s;
}

// Runs `engine` over the scene of `run` and returns its output.
inline std::vector<int16_t> RunEngineScene(Engine& engine, const EngineRun& run) {
  const EngineScene s = MakeEngineScene(run.mode);
  constexpr size_t kFrame = Engine::kFrameSamples;
  const size_t channels = run.mode == 3 ? 2 : 1, frames = s.far.size() / kFrame;
  engine.SetDenoiseMode(run.denoise);
  std::vector<int16_t> out(frames * kFrame);
  for (size_t f = 0; f < frames; ++f)
    engine.Process(&s.mic[f * kFrame * channels], &s.far[f * kFrame], &out[f * kFrame], false,
                   run.mode, 0);
  return out;
}

// 64-bit FNV-1a over the samples, low byte first.
inline uint64_t Checksum(const std::vector<int16_t>& x) {
  uint64_t h = 14695981039346656037ull;
  for (int16_t v : x) {
    const uint16_t u = static_cast<uint16_t>(v);
    for (int b = 0; b < 2; ++b) {
      h ^= (u >> (8 * b)) & 0xffu;
      h *= 1099511628211ull;
    }
  }
  return h;
}

}  // namespace orvo::testing
