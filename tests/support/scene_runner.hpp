// Helpers of the end-to-end tests: running an engine over a generated scene frame by frame,
// levels in decibels and band powers of the output.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "orvoaec/engine.hpp"
#include "tests/support/scenes.hpp"

namespace orvo::e2e {

constexpr int kFrame = Engine::kFrameSamples;
constexpr size_t kRate = scene::kRate;

// Sample index of a time in seconds.
inline size_t At(double seconds) {
  return static_cast<size_t>(seconds * static_cast<double>(kRate));
}
inline double Db(double ratio) {
  return 10.0 * std::log10(ratio);
}

// Runs `engine` over whole frames of the scene with Engine::Process and the given mode; `mic`
// holds one channel, or two interleaved channels with mode 3. After each frame `probe(frame)`
// is called, so the caller can record the engine's state.
inline std::vector<int16_t> RunScene(Engine& engine, const std::vector<int16_t>& mic,
                                     const std::vector<int16_t>& far, int mode,
                                     const std::function<void(size_t)>& probe = {}) {
  const size_t channels = mode == 3 ? 2 : 1, frames = far.size() / kFrame;
  std::vector<int16_t> out(frames * kFrame);
  for (size_t f = 0; f < frames; ++f) {
    engine.Process(&mic[f * kFrame * channels], &far[f * kFrame], &out[f * kFrame], false, mode, 0);
    if (probe) probe(f);
  }
  return out;
}

// Power of x[begin, end) between f0 and f1 Hz: averaged Hann-windowed periodograms of 4096
// points with half overlap (one block when the stretch is shorter than two).
inline double BandPower(const std::vector<int16_t>& x, size_t begin, size_t end, double f0,
                        double f1) {
  constexpr size_t kN = 4096;
  std::vector<std::complex<double>> a(kN);
  double acc = 0.0;
  for (size_t s = begin; s + kN <= end && s + kN <= x.size(); s += kN / 2) {
    for (size_t i = 0; i < kN; ++i)
      a[i] = x[s + i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / kN));
    scene::detail::Fft(a, -1);
    for (size_t k = 1; k < kN / 2; ++k) {
      const double f = static_cast<double>(k) * static_cast<double>(kRate) / kN;
      if (f >= f0 && f < f1) acc += std::norm(a[k]);
    }
  }
  return acc;
}

// A measured figure, printed to the test log and recorded as a property of the running test.
inline void Report(const std::string& name, double value, const char* unit) {
  std::printf("[ figure   ] %-46s %9.2f %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
  ::testing::Test::RecordProperty(name, std::to_string(value));
}

}  // namespace orvo::e2e
