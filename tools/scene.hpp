// Generated test scenes: speech-like signals, noise, and an echo through a decaying room
// response. Used by the demo and by the end-to-end tests. Deterministic for a given seed.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

namespace orvo::scene {

constexpr int kRate = 48000;

// White noise at the given RMS level (in 16-bit sample units).
inline std::vector<float> WhiteNoise(size_t n, float rms, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, rms);
  std::vector<float> x(n);
  for (float& v : x)
    v = dist(rng);
  return x;
}

// Stationary coloured noise at the given RMS level: white Gaussian noise through a one-pole
// low-pass at 1 kHz, with a little of the white noise mixed back in (17 dB down at 10 kHz).
inline std::vector<float> ColouredNoise(size_t n, float rms, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  const double a = std::exp(-2.0 * M_PI * 1000.0 / kRate);
  std::vector<double> y(n);
  double lp = 0.0, energy = 1e-30;
  for (double& v : y) {
    const double w = dist(rng);
    lp = a * lp + (1.0 - a) * w;
    v = 6.0 * lp + 0.3 * w;
    energy += v * v;
  }
  const double scale = rms / std::sqrt(energy / static_cast<double>(std::max<size_t>(n, 1)));
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i)
    x[i] = static_cast<float>(y[i] * scale);
  return x;
}

// A speech-like signal: voiced syllables with a wandering pitch and three formant-like
// resonances, separated by short pauses. `level` is the peak amplitude of the syllables.
inline std::vector<float> SpeechLike(size_t n, float level, uint32_t seed, double syllable = 0.22,
                                     double pause = 0.12) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  std::vector<float> x(n, 0.0f);
  const double formants[3] = {500.0, 1500.0, 2500.0};
  size_t pos = static_cast<size_t>(pause * kRate * uni(rng));
  while (pos < n) {
    const size_t len = static_cast<size_t>((syllable * (0.6 + 0.8 * uni(rng))) * kRate);
    const double f0 = 100.0 + 120.0 * uni(rng);
    const double glide = (uni(rng) - 0.5) * 0.4;
    double f[3];
    for (int k = 0; k < 3; ++k)
      f[k] = formants[k] * (0.8 + 0.4 * uni(rng));
    double phase = 0.0;
    for (size_t i = 0; i < len && pos + i < n; ++i) {
      const double t = static_cast<double>(i) / static_cast<double>(len);
      const double pitch = f0 * (1.0 + glide * t);
      phase += pitch / kRate;
      const double env = std::sin(M_PI * t);
      double s = 0.0;
      // Harmonics weighted by the formant resonances.
      for (int h = 1; h * pitch < 6000.0; ++h) {
        const double fh = h * pitch;
        double w = 0.0;
        for (int k = 0; k < 3; ++k) {
          const double d = (fh - f[k]) / (0.12 * f[k]);
          w += 1.0 / (1.0 + d * d) / (k + 1);
        }
        s += w * std::sin(2.0 * M_PI * h * phase);
      }
      x[pos + i] = static_cast<float>(level * env * s * 0.35);
    }
    pos += len + static_cast<size_t>(pause * kRate * (0.5 + uni(rng)));
  }
  return x;
}

// A room response: a bulk delay followed by exponentially decaying noise taps.
inline std::vector<float> RoomResponse(double delaySeconds, double decaySeconds, float gain,
                                       uint32_t seed, double lengthSeconds = 0.0) {
  if (lengthSeconds <= 0.0) lengthSeconds = decaySeconds;
  const size_t delay = static_cast<size_t>(delaySeconds * kRate);
  const size_t len = static_cast<size_t>(lengthSeconds * kRate);
  std::mt19937 rng(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  std::vector<float> h(delay + len, 0.0f);
  // 60 dB decay over decaySeconds.
  const double tau = decaySeconds / std::log(1000.0);
  double energy = 0.0;
  std::vector<double> taps(len);
  for (size_t i = 0; i < len; ++i) {
    taps[i] = dist(rng) * std::exp(-static_cast<double>(i) / kRate / tau);
    energy += taps[i] * taps[i];
  }
  const double norm = gain / std::sqrt(energy);
  for (size_t i = 0; i < len; ++i)
    h[delay + i] = static_cast<float>(taps[i] * norm);
  return h;
}

namespace detail {

// In-place radix-2 complex FFT (n a power of two); sign -1 forward, +1 inverse (unscaled).
inline void Fft(std::vector<std::complex<double>>& a, int sign) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1)
      j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double ang = sign * 2.0 * M_PI / static_cast<double>(len);
    const std::complex<double> wl(std::cos(ang), std::sin(ang));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1.0, 0.0);
      for (size_t k = 0; k < len / 2; ++k) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= wl;
      }
    }
  }
}

}  // namespace detail

// y = x * h (fast convolution by overlap-add, truncated to the length of x).
inline std::vector<float> Convolve(const std::vector<float>& x, const std::vector<float>& h) {
  std::vector<float> y(x.size(), 0.0f);
  if (h.empty() || x.empty()) return y;
  size_t n = 1;
  while (n < 2 * h.size())
    n <<= 1;
  const size_t block = n - h.size() + 1;
  std::vector<std::complex<double>> H(n), X(n);
  for (size_t i = 0; i < h.size(); ++i)
    H[i] = h[i];
  detail::Fft(H, -1);
  for (size_t start = 0; start < x.size(); start += block) {
    std::fill(X.begin(), X.end(), std::complex<double>(0.0, 0.0));
    for (size_t i = 0; i < block && start + i < x.size(); ++i)
      X[i] = x[start + i];
    detail::Fft(X, -1);
    for (size_t i = 0; i < n; ++i)
      X[i] *= H[i];
    detail::Fft(X, +1);
    for (size_t i = 0; i < n && start + i < y.size(); ++i)
      y[start + i] += static_cast<float>(X[i].real() / static_cast<double>(n));
  }
  return y;
}

inline std::vector<float> Add(std::vector<float> a, const std::vector<float>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    a[i] += b[i];
  return a;
}

// Float signal to 16-bit PCM with saturation.
inline std::vector<int16_t> ToPcm(const std::vector<float>& x) {
  std::vector<int16_t> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float v = std::round(x[i]);
    y[i] = static_cast<int16_t>(v > 32767.0f ? 32767 : (v < -32768.0f ? -32768 : v));
  }
  return y;
}

// Mean power of a stretch of samples.
template <typename T>
double Power(const std::vector<T>& x, size_t begin, size_t end) {
  double acc = 0.0;
  end = std::min(end, x.size());
  if (end <= begin) return 0.0;
  for (size_t i = begin; i < end; ++i)
    acc += static_cast<double>(x[i]) * x[i];
  return acc / static_cast<double>(end - begin);
}

}  // namespace orvo::scene
