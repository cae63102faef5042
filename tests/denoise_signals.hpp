// Generated test signals for the noise suppressor tests and benchmarks: a speech-like voiced
// signal (gliding pitch, moving formants, syllable rhythm) and stationary noise, at 48 kHz on the
// 16-bit PCM scale.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace orvo::testsignals {

constexpr double kRate = 48000.0;

// Deterministic uniform / Gaussian noise (xorshift64* with Box-Muller).
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  double Uniform() {  // (0, 1)
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    return ((s_ * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0) + 1e-17;
  }
  double Gauss() {
    const double u = Uniform(), v = Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
  }

 private:
  std::uint64_t s_;
};

// Voiced speech-like sound: harmonics of a gliding f0 (110..170 Hz) shaped by three moving
// formant resonances and a -6 dB/octave tilt, under a 4 Hz syllable envelope. Scaled to `rms`
// over its own duration.
inline std::vector<float> SpeechLike(int samples, double rms, std::uint64_t seed) {
  Noise rng(seed);
  std::vector<double> y(static_cast<size_t>(samples));
  double phase = 0.0;
  const double pi = std::numbers::pi;
  const double jitter = 0.3 * rng.Uniform();
  for (int n = 0; n < samples; ++n) {
    const double t = n / kRate;
    const double f0 =
        140.0 + 30.0 * std::sin(2 * pi * 0.9 * t + jitter) + 8.0 * std::sin(2 * pi * 5.3 * t);
    phase += 2 * pi * f0 / kRate;
    const double f1 = 650.0 + 200.0 * std::sin(2 * pi * 2.1 * t);
    const double f2 = 1500.0 + 500.0 * std::sin(2 * pi * 1.3 * t + 1.0);
    const double f3 = 2600.0;
    double v = 0.0;
    for (int h = 1; h * f0 < 5000.0; ++h) {
      const double f = h * f0;
      auto res = [&](double fc, double bw) {
        const double d = (f - fc) / bw;
        return 1.0 / (1.0 + d * d);
      };
      const double amp = (res(f1, 90.0) + 0.6 * res(f2, 120.0) + 0.3 * res(f3, 160.0)) / h;
      v += amp * std::sin(h * phase);
    }
    // Syllables: raised-cosine bursts at about 4 Hz with short gaps.
    const double syl = 0.5 - 0.5 * std::cos(2 * pi * 4.0 * t);
    y[static_cast<size_t>(n)] = v * (0.15 + 0.85 * syl);
  }
  double e = 0.0;
  for (double v : y)
    e += v * v;
  const double scale = rms / std::sqrt(e / samples + 1e-30);
  std::vector<float> out(y.size());
  for (size_t i = 0; i < y.size(); ++i)
    out[i] = static_cast<float>(y[i] * scale);
  return out;
}

// Stationary white Gaussian noise of the given rms.
inline std::vector<float> WhiteNoise(int samples, double rms, std::uint64_t seed) {
  Noise rng(seed);
  std::vector<float> out(static_cast<size_t>(samples));
  for (float& v : out)
    v = static_cast<float>(rms * rng.Gauss());
  return out;
}

// Stationary pink-ish noise (white noise through a one-pole low-pass at ~1 kHz mixed with white).
inline std::vector<float> ColouredNoise(int samples, double rms, std::uint64_t seed) {
  Noise rng(seed);
  std::vector<double> y(static_cast<size_t>(samples));
  double lp = 0.0;
  const double a = std::exp(-2.0 * std::numbers::pi * 1000.0 / kRate);
  for (auto& v : y) {
    const double w = rng.Gauss();
    lp = a * lp + (1 - a) * w;
    v = 6.0 * lp + 0.3 * w;
  }
  double e = 0.0;
  for (double v : y)
    e += v * v;
  const double scale = rms / std::sqrt(e / samples);
  std::vector<float> out(y.size());
  for (size_t i = 0; i < y.size(); ++i)
    out[i] = static_cast<float>(y[i] * scale);
  return out;
}

}  // namespace orvo::testsignals
