// Whole-engine output fingerprint: the 16-bit output of a set of generated scenes, each run
// frame by frame through Engine::Process, reduced to a 64-bit FNV-1a checksum and compared with
// the checksum the engine produced when the table below was recorded. A refactoring that must
// not change behaviour keeps every checksum; a change that is meant to alter the output has to
// re-record the table (the test prints every checksum in the form of a table row; see
// docs/testing.md). The checksum is the one tests/support/engine_scenes.hpp defines for the
// comparison across processor levels and systems.
//
// The scenes cover one microphone (mode 1) and a pair (mode 3) with the neural suppressor off,
// on and in strong mode (denoise 0, 1, 2), plus settings that switch on the rarer rules of the
// frame pipeline: the band-weight presets, the fixed double-talk threshold, live-music mode, a
// short far-end hangover, the ceiling release and a raised noise-estimator scale.
//
// The checksums were recorded on an x86-64 machine with AVX2 and FMA; a machine on a different
// vector level may produce other checksums wherever the vector kernels round differently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/engine_scenes.hpp"
#include "tests/support/scenes.hpp"

namespace orvo {
namespace {

constexpr size_t kFrame = Engine::kFrameSamples;
constexpr size_t kRate = scene::kRate;

// Far end, first and second microphone of one scene.
struct SceneSignals {
  std::vector<int16_t> far, mic0, mic1;
};

size_t At(double seconds) {
  return static_cast<size_t>(seconds * static_cast<double>(kRate));
}

void Silence(std::vector<float>& x, double from, double to) {
  std::fill(x.begin() + static_cast<std::ptrdiff_t>(std::min(At(from), x.size())),
            x.begin() + static_cast<std::ptrdiff_t>(std::min(At(to), x.size())), 0.0f);
}

// 12 s: far end alone, double talk, talker alone (4 s each); each microphone hears the far end
// through its own room, the talker (the second 2 dB lower) and light noise.
SceneSignals Conversation() {
  const size_t n = At(12.0);
  std::vector<float> far = scene::SpeechLike(n, 4000.0f, 11);
  Silence(far, 8.0, 12.0);
  std::vector<float> near = scene::SpeechLike(n, 1500.0f, 22);
  Silence(near, 0.0, 4.0);
  std::vector<float> near1 = near;
  for (float& v : near1)
    v *= 0.8f;
  const auto room0 = scene::RoomResponse(0.030, 0.150, 0.3f, 3);
  const auto room1 = scene::RoomResponse(0.032, 0.150, 0.3f, 4);
  return {scene::ToPcm(far),
          scene::ToPcm(scene::Add(scene::Add(scene::Convolve(far, room0), near),
                                  scene::WhiteNoise(n, 10.0f, 5))),
          scene::ToPcm(scene::Add(scene::Add(scene::Convolve(far, room1), near1),
                                  scene::WhiteNoise(n, 10.0f, 6)))};
}

// 10 s in coloured noise: far-end bursts with pauses longer and shorter than the hangover, a
// louder echo path, and a talker who starts, stops and comes back, louder on the second
// microphone.
SceneSignals Bursts() {
  const size_t n = At(10.0);
  std::vector<float> far = scene::SpeechLike(n, 9000.0f, 31, 0.3, 0.1);
  Silence(far, 1.5, 1.8);
  Silence(far, 3.0, 4.5);
  Silence(far, 7.0, 10.0);
  std::vector<float> near = scene::SpeechLike(n, 2500.0f, 32);
  Silence(near, 0.0, 2.5);
  Silence(near, 5.0, 6.0);
  std::vector<float> near1 = near;
  for (float& v : near1)
    v *= 1.4f;
  const auto room0 = scene::RoomResponse(0.012, 0.200, 0.6f, 33);
  const auto room1 = scene::RoomResponse(0.018, 0.250, 0.5f, 34);
  return {scene::ToPcm(far),
          scene::ToPcm(scene::Add(scene::Add(scene::Convolve(far, room0), near),
                                  scene::ColouredNoise(n, 60.0f, 35))),
          scene::ToPcm(scene::Add(scene::Add(scene::Convolve(far, room1), near1),
                                  scene::ColouredNoise(n, 60.0f, 36)))};
}

// 10 s: 3 s of far end alone through a short room, then a talker in short turns while the far
// end pauses every 2 s; at 5 s the echo path changes to a room whose tail reaches beyond the echo
// filter; talk states 1, 2 and 3 alternate after the echo return has risen through its
// decision level.
SceneSignals ChangingRoom() {
  const size_t n = At(10.0);
  std::vector<float> far = scene::SpeechLike(n, 5000.0f, 41, 0.25, 0.08);
  for (double t = 4.0; t < 10.0; t += 2.0)
    Silence(far, t, t + 0.7);
  std::vector<float> near = scene::SpeechLike(n, 2000.0f, 42);
  Silence(near, 0.0, 3.0);
  for (double t = 3.0; t < 10.0; t += 0.9)
    Silence(near, t, t + 0.6);
  std::vector<float> near1 = near;
  for (float& v : near1)
    v *= 0.9f;
  std::vector<float> firstHalf = far, secondHalf = far;
  Silence(firstHalf, 5.0, 10.0);
  Silence(secondHalf, 0.0, 5.0);
  auto echo = [&](uint32_t seedA, uint32_t seedB) {
    return scene::Add(scene::Convolve(firstHalf, scene::RoomResponse(0.020, 0.200, 0.3f, seedA)),
                      scene::Convolve(secondHalf, scene::RoomResponse(0.045, 0.900, 0.6f, seedB)));
  };
  return {
      scene::ToPcm(far),
      scene::ToPcm(scene::Add(scene::Add(echo(43, 44), near), scene::WhiteNoise(n, 20.0f, 45))),
      scene::ToPcm(scene::Add(scene::Add(echo(46, 47), near1), scene::WhiteNoise(n, 20.0f, 48)))};
}

std::vector<int16_t> RunScene(Engine& engine, const SceneSignals& s, int mode) {
  const size_t frames = s.far.size() / kFrame;
  std::vector<int16_t> mic;
  if (mode == 3) {
    mic.resize(2 * s.mic0.size());
    for (size_t i = 0; i < s.mic0.size(); ++i) {
      mic[2 * i] = s.mic0[i];
      mic[2 * i + 1] = s.mic1[i];
    }
  } else {
    mic = s.mic0;
  }
  const size_t channels = mode == 3 ? 2 : 1;
  std::vector<int16_t> out(frames * kFrame);
  for (size_t f = 0; f < frames; ++f)
    engine.Process(&mic[f * kFrame * channels], &s.far[f * kFrame], &out[f * kFrame], false, mode,
                   0);
  return out;
}

struct Case {
  const char* name;
  const SceneSignals& (*scene)();
  int mode;
  int denoise;
  std::function<void(Engine&)> setup;
};

const SceneSignals& ConversationScene() {
  static const SceneSignals s = Conversation();
  return s;
}
const SceneSignals& ChangingRoomScene() {
  static const SceneSignals s = ChangingRoom();
  return s;
}
const SceneSignals& BurstScene() {
  static const SceneSignals s = Bursts();
  return s;
}

void Defaults(Engine&) {}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (auto [name, scene] :
       {std::pair("conversation", &ConversationScene), std::pair("bursts", &BurstScene)}) {
    for (int mode : {1, 3})
      for (int denoise : {0, 1, 2})
        cases.push_back({name, scene, mode, denoise, Defaults});
  }
  for (int mode : {1, 3})
    cases.push_back({"changing_room", &ChangingRoomScene, mode, 1, Defaults});
  // Rarer rules, on the conversation with one microphone and the suppressor on.
  auto variant = [&](const char* name, int mode, std::function<void(Engine&)> setup) {
    cases.push_back({name, &ConversationScene, mode, 1, std::move(setup)});
  };
  variant("preset100", 1, [](Engine& e) { e.SetBandWeightPreset(100.0f); });
  variant("preset101", 3, [](Engine& e) { e.SetBandWeightPreset(101.0f); });
  variant("fixed_threshold", 1, [](Engine& e) { e.SetFixedThreshold(true); });
  variant("live_music", 3, [](Engine& e) { e.SetLiveMusic(true); });
  variant("short_hangover", 1, [](Engine& e) { e.SetHangoverTime(3); });
  variant("ceiling_release_noise_scale", 1, [](Engine& e) {
    EngineTuning& t = orvo::internal::StateOf(e).hRoomPro->tuning;
    t.nearEnd.ceilingRelease = 1;
    t.noiseScale = 40.0f;
  });
  return cases;
}

std::string Key(const Case& c) {
  return std::string(c.name) + "/mode" + std::to_string(c.mode) + "/denoise" +
         std::to_string(c.denoise);
}

// Recorded from the engine with every processor level giving the same output.
struct Recorded {
  const char* key;
  uint64_t checksum;
};
constexpr Recorded kRecorded[] = {
    {"conversation/mode1/denoise0", 0xc7bdde303d32f9c6ull},
    {"conversation/mode1/denoise1", 0xfbca70c5efdd2001ull},
    {"conversation/mode1/denoise2", 0xfeb40c511978796aull},
    {"conversation/mode3/denoise0", 0xc2a68d5a608c5ab6ull},
    {"conversation/mode3/denoise1", 0xb89b5d2e766c9501ull},
    {"conversation/mode3/denoise2", 0xef5aa9eccd3892e3ull},
    {"bursts/mode1/denoise0", 0xdde363adbfb3e2bfull},
    {"bursts/mode1/denoise1", 0xdf32d90723f60e42ull},
    {"bursts/mode1/denoise2", 0x904e3dab052cbf1aull},
    {"bursts/mode3/denoise0", 0x268b46abff83a660ull},
    {"bursts/mode3/denoise1", 0x9683ee4319bc39edull},
    {"bursts/mode3/denoise2", 0x2579ac16078c1f7full},
    {"changing_room/mode1/denoise1", 0x2dd62d2869d01b7aull},
    {"changing_room/mode3/denoise1", 0xe31c04326a1a905aull},
    {"preset100/mode1/denoise1", 0xbd23739e92ab08f5ull},
    {"preset101/mode3/denoise1", 0x2b77a9d61d301913ull},
    {"fixed_threshold/mode1/denoise1", 0xccab49b033b8bb3cull},
    {"live_music/mode3/denoise1", 0x0d9ba6ab61f1e74aull},
    {"short_hangover/mode1/denoise1", 0x1a4fe8f3027fdf80ull},
    {"ceiling_release_noise_scale/mode1/denoise1", 0xb93d191aac69d12bull},
};

TEST(EngineOutputChecksum, EveryScenePutsOutTheRecordedSamples) {
  for (const Case& c : Cases()) {
    const std::string key = Key(c);
    Engine engine([](std::string_view) {});
    engine.SetDenoiseMode(c.denoise);
    c.setup(engine);
    const uint64_t sum = testing::Checksum(RunScene(engine, c.scene(), c.mode));
    std::printf("    {\"%s\", 0x%016" PRIx64 "ull},\n", key.c_str(), sum);
    const Recorded* r = std::find_if(std::begin(kRecorded), std::end(kRecorded),
                                     [&](const Recorded& x) { return key == x.key; });
    if (r == std::end(kRecorded)) {
      ADD_FAILURE() << key << " has no recorded checksum";
      continue;
    }
    EXPECT_EQ(sum, r->checksum) << key;
  }
}

}  // namespace
}  // namespace orvo
