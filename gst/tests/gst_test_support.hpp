// Shared by the plugin's tests: GStreamer set-up with the plugin from the build tree, and the
// expected output of an orvoaecdsp element computed with orvo::Engine directly.
#pragma once

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "orvoaec/engine.hpp"

namespace orvo::gsttest {

constexpr int kFrame = orvo::Engine::kFrameSamples;
constexpr int kRate = 48000;

// Initialises GStreamer once per test program with the plugin of this build; registry kept in
// the build tree, scanned in-process (a sanitizer build cannot load the plugin into the
// uninstrumented scanner helper).
class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("GST_PLUGIN_PATH", ORVO_GST_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY", ORVO_GST_PLUGIN_DIR "/test-registry.bin", 1);
    setenv("GST_REGISTRY_FORK", "no", 1);
    gst_init(nullptr, nullptr);
    ASSERT_NE(gst_registry_find_plugin(gst_registry_get(), "orvoaec"), nullptr)
        << "plugin not found in " ORVO_GST_PLUGIN_DIR;
  }
  void TearDown() override { gst_deinit(); }
};

// One block of microphone input as the element receives it between format changes.
struct Chunk {
  int channels;
  std::vector<int16_t> samples;  // interleaved
  size_t Frames() const { return samples.size() / static_cast<size_t>(channels); }
};

// The element's documented behaviour, written out directly: each chunk is cut into frames with
// the last one completed by silence, silent frames follow at the end; the far-end frame is the
// one at the running-time position of the frame's first sample (`farEnd`[position], silence
// outside), and output sample n is engine output sample n + the processing delay, counting only
// real input samples.
inline std::vector<int16_t> ExpectedOutput(const std::vector<Chunk>& chunks,
                                           const std::vector<int16_t>& farEnd,
                                           int64_t farOffset = 0, int denoiseMode = 1,
                                           std::vector<std::pair<bool, int>>* states = nullptr) {
  orvo::Engine engine([](std::string_view) {});
  engine.SetDenoiseMode(denoiseMode);
  const int delay = engine.ProcessingDelaySamples();
  std::vector<int16_t> engineOut;
  std::vector<bool> real;  // per engine input sample
  std::vector<int16_t> mic(2 * kFrame), ref(kFrame), out(kFrame);
  int64_t media = 0, position = 0;
  auto run = [&](int channels, const int16_t* data, size_t frames) {
    std::fill(mic.begin(), mic.end(), int16_t{0});
    std::copy(data, data + frames * static_cast<size_t>(channels), mic.begin());
    position = frames > 0 ? media + farOffset : position + kFrame;
    for (int i = 0; i < kFrame; ++i) {
      const int64_t p = position + i;
      ref[i] = p >= 0 && p < static_cast<int64_t>(farEnd.size()) ? farEnd[p] : int16_t{0};
    }
    engine.AddFarEnd(ref.data());
    const int sel =
        engine.Process(mic.data(), ref.data(), out.data(), false, channels == 2 ? 3 : 1, 1);
    if (states) states->push_back({engine.IsDoubleTalk(), sel});
    engineOut.insert(engineOut.end(), out.begin(), out.end());
    for (int i = 0; i < kFrame; ++i)
      real.push_back(static_cast<size_t>(i) < frames);
    media += static_cast<int64_t>(frames);
  };
  int lastChannels = 1;
  for (const Chunk& c : chunks) {
    for (size_t f = 0; f < c.Frames(); f += kFrame)
      run(c.channels, c.samples.data() + f * c.channels, std::min<size_t>(kFrame, c.Frames() - f));
    lastChannels = c.channels;
  }
  // Silent frames until every real sample has passed the delay.
  int64_t lastReal = -1;
  for (size_t i = 0; i < real.size(); ++i)
    if (real[i]) lastReal = static_cast<int64_t>(i);
  while (static_cast<int64_t>(engineOut.size()) <= lastReal + delay)
    run(lastChannels, nullptr, 0);
  std::vector<int16_t> expected;
  for (size_t i = 0; i < real.size(); ++i)
    if (real[i]) expected.push_back(engineOut[i + static_cast<size_t>(delay)]);
  return expected;
}

// A reproducible test scene (with two microphones the engine's output starts about 27 frames in):
// of it plus a near-end tone.
struct Scene {
  std::vector<int16_t> farEnd;
  std::vector<int16_t> mic[2];
};

inline Scene MakeScene(size_t samples, uint32_t seed = 1) {
  Scene s;
  s.farEnd.resize(samples);
  s.mic[0].resize(samples);
  s.mic[1].resize(samples);
  uint32_t state = seed;
  auto noise = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 16) & 0x7fff) - 16384;
  };
  for (size_t n = 0; n < samples; ++n) {
    const bool burst = (n / 9600) % 3 != 2;
    s.farEnd[n] = static_cast<int16_t>(burst ? noise() / 2 : 0);
  }
  for (size_t n = 0; n < samples; ++n) {
    const int echo = n >= 480 ? s.farEnd[n - 480] / 4 : 0;
    const double t = static_cast<double>(n) / kRate;
    // Near-end talk all through: a tone with a slow syllable-like envelope.
    const double envelope = 0.6 + 0.4 * std::sin(2 * 3.14159265 * 2 * t);
    const int tone = static_cast<int>(8000 * envelope * std::sin(2 * 3.14159265 * 440 * t));
    s.mic[0][n] = static_cast<int16_t>(echo + tone + noise() / 64);
    s.mic[1][n] = static_cast<int16_t>(echo / 2 + tone / 4 + noise() / 64);
  }
  return s;
}

inline std::vector<int16_t> Interleave(const std::vector<int16_t>& a,
                                       const std::vector<int16_t>& b) {
  std::vector<int16_t> out(2 * a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    out[2 * i] = a[i];
    out[2 * i + 1] = b[i];
  }
  return out;
}

}  // namespace orvo::gsttest
