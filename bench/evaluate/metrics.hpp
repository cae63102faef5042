// Quality measures of the evaluation: delay and gain alignment against a clean reference,
// signal-to-distortion ratio, echo attenuation and re-convergence time.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "tools/scene.hpp"

namespace orvo::eval {

// Sum of squares of x[begin, end).
template <typename T>
double Energy(const std::vector<T>& x, size_t begin, size_t end) {
  double acc = 0.0;
  for (size_t i = begin; i < std::min(end, x.size()); ++i)
    acc += static_cast<double>(x[i]) * static_cast<double>(x[i]);
  return acc;
}

inline double Db(double ratio) {
  return 10.0 * std::log10(std::max(ratio, 1e-30));
}

// The lag (0 to maxLag samples) at which `out` best matches `ref` over [begin, end): the peak of
// the cross-correlation sum_n out[n + lag] * ref[n], computed through the FFT.
template <typename A, typename B>
size_t AlignmentLag(const std::vector<A>& out, const std::vector<B>& ref, size_t begin, size_t end,
                    size_t maxLag) {
  end = std::min(end, ref.size());
  if (end <= begin) return 0;
  const size_t len = end - begin;
  size_t n = 1;
  while (n < len + maxLag + 1)
    n <<= 1;
  std::vector<std::complex<double>> a(n), b(n);
  for (size_t i = 0; i < len + maxLag && begin + i < out.size(); ++i)
    a[i] = static_cast<double>(out[begin + i]);
  for (size_t i = 0; i < len; ++i)
    b[i] = static_cast<double>(ref[begin + i]);
  scene::detail::Fft(a, -1);
  scene::detail::Fft(b, -1);
  for (size_t i = 0; i < n; ++i)
    a[i] *= std::conj(b[i]);
  scene::detail::Fft(a, +1);
  size_t best = 0;
  double bestValue = -std::numeric_limits<double>::infinity();
  for (size_t lag = 0; lag <= maxLag && lag < n; ++lag) {
    if (a[lag].real() > bestValue) {
      bestValue = a[lag].real();
      best = lag;
    }
  }
  return best;
}

// Least-squares gain g minimising |out[n + lag] - g * ref[n]|^2 over [begin, end).
template <typename A, typename B>
double LeastSquaresGain(const std::vector<A>& out, const std::vector<B>& ref, size_t begin,
                        size_t end, size_t lag) {
  double cross = 0.0, refEnergy = 1e-30;
  for (size_t i = begin; i < end && i < ref.size() && i + lag < out.size(); ++i) {
    cross += static_cast<double>(out[i + lag]) * static_cast<double>(ref[i]);
    refEnergy += static_cast<double>(ref[i]) * static_cast<double>(ref[i]);
  }
  return cross / refEnergy;
}

// Signal-to-distortion ratio in dB of `out` against the clean `ref` over [begin, end), after
// shifting `out` back by `lag` and scaling `ref` by the least-squares gain. Everything that is
// not the scaled reference counts as distortion: residual echo, noise, suppression of the
// talker, artefacts.
template <typename A, typename B>
double SignalToDistortion(const std::vector<A>& out, const std::vector<B>& ref, size_t begin,
                          size_t end, size_t lag) {
  const double g = LeastSquaresGain(out, ref, begin, end, lag);
  double signal = 1e-30, distortion = 1e-30;
  for (size_t i = begin; i < end && i < ref.size() && i + lag < out.size(); ++i) {
    const double s = g * static_cast<double>(ref[i]);
    const double d = static_cast<double>(out[i + lag]) - s;
    signal += s * s;
    distortion += d * d;
  }
  return Db(signal / distortion);
}

// Output power below which a 16-bit output counts as silent: one LSB squared per sample.
constexpr double kSilentPower = 1.0;

// True when the output over [begin, end) is below kSilentPower, i.e. digitally silent.
template <typename B>
bool IsSilent(const std::vector<B>& out, size_t begin, size_t end) {
  return end > begin && Energy(out, begin, end) < kSilentPower * static_cast<double>(end - begin);
}

// Echo attenuation in dB over [begin, end): microphone energy against output energy, the output
// divided by the processor's own gain `gain` (squared) so that an amplifying stage neither hides
// nor inflates the echo removed. The output energy counts as at least kSilentPower per sample,
// so a silent output gives a finite bound instead of infinity.
template <typename A, typename B>
double EchoAttenuation(const std::vector<A>& mic, const std::vector<B>& out, size_t begin,
                       size_t end, double gain) {
  if (end <= begin) return 0.0;
  const double g2 = std::max(gain * gain, 1e-6);
  const double floor = kSilentPower * static_cast<double>(end - begin);
  return Db((Energy(mic, begin, end) + 1e-9) / (std::max(Energy(out, begin, end), floor) / g2));
}

// Seconds after `change` until the echo attenuation over a sliding one-second window (hop
// 100 ms) first comes back to within `toleranceDb` of `steadyDb`, or of `capDb` when the steady
// value was higher (beyond that the echo is inaudible and the last decibels say nothing about
// convergence); negative when it does not before `end`.
template <typename A, typename B>
double ReconvergenceSeconds(const std::vector<A>& mic, const std::vector<B>& out, size_t change,
                            size_t end, double gain, double steadyDb, double toleranceDb = 3.0,
                            double capDb = 40.0, size_t rate = scene::kRate) {
  const size_t window = rate, hop = rate / 10;
  const double target = std::min(steadyDb, capDb) - toleranceDb;
  for (size_t start = change; start + window <= end; start += hop) {
    if (EchoAttenuation(mic, out, start, start + window, gain) >= target)
      return static_cast<double>(start - change) / static_cast<double>(rate);
  }
  return -1.0;
}

}  // namespace orvo::eval
