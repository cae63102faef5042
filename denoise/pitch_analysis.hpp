// Pitch analysis of the neural noise suppressor: 2:1 down-sampling with LPC whitening, the
// two-stage pitch lag search and the removal of period doubling. All sums of products run in
// index order in float; the vector kernels keep that order, so they agree with the plain loops
// bit for bit.
#pragma once

#include "base/cpu_level.hpp"

namespace orvo {

inline constexpr int kPitchMinPeriod = 60;
inline constexpr int kPitchMaxPeriod = 768;
inline constexpr int kPitchFrameSize = 960;
inline constexpr int kPitchHistory = kPitchMaxPeriod + kPitchFrameSize;        // 1728
inline constexpr int kPitchDownsampled = kPitchHistory / 2;                    // 864
inline constexpr int kMaxPitchSearch = kPitchMaxPeriod - 3 * kPitchMinPeriod;  // 588 lags

// The vector kernels the pitch analysis is built on: one table per processor level.
struct PitchKernels {
  // out[l] = sum_{i<n} x[i] y[l + i] for l < lags; reads y[0 .. lags - 2 + n].
  void (*xcorr)(const float* x, const float* y, float* out, int n, int lags);
  // out[c] = sum_{i<n} x[i] y[lags[c] + i] for c < count (at most 48); y holds y_len values
  // and every lags[c] + n <= y_len.
  void (*xcorr_at)(const float* x, const float* y, int y_len, const int* lags, float* out,
                   int count, int n);
  // The whitening FIR of pitch_downsample on d[0..863], in place and from the end backwards:
  // d[i] += sum_{k<5} num[k] d[i - 1 - k], added in order of k, samples before d[0] being 0.
  void (*whiten)(float* d, const float* num);
};

// The kernels of `level`: neighbouring lags side by side in vector lanes, every sum still added
// in order, so every level gives the same bits as the plain loops.
const PitchKernels& PitchKernelsOf(CpuLevel level);

// ac[k] = sum_i x[i] x[i + k] for k <= lag over n samples (no window), summed as the first
// n - lag products and then the rest.
void _celt_autocorr(const float* x, float* ac, int lag, int n, const PitchKernels& k);

// Levinson-Durbin recursion: order p predictor lpc[0..p-1] from ac[0..p].
void _celt_lpc(float* lpc, const float* ac, int p);

// The autocorrelation pitch_downsample whitens with (lags 0 to 4 of the 864 down-sampled
// samples) is five chains of additions in sample order. Its first kAutocorrPrefix terms involve
// only samples the history already held before the newest hop, so they can be summed ahead,
// while that hop is still being filtered: Start() with the history before the shift, then
// kAutocorrPrefix calls of Step(). pitch_downsample then continues from these sums; the result
// is the same as without them.
inline constexpr int kAutocorrPrefix = 620;

struct AutocorrPrefix {
  float d[kAutocorrPrefix + 4];  // the first down-sampled samples
  float sums[5];
  int i;

  void Start(const float* history);
  void Step() {
    const float x = d[i];
    for (int l = 0; l <= 4; ++l)
      sums[l] += x * d[i + l];
    ++i;
  }
};

// history[1728] -> d[864]: [1/4, 1/2, 1/4] low-pass and 2:1 decimation, then whitening by the
// order-4 LPC (lag-windowed, bandwidth-expanded) with an extra zero at -0.8. `prefix`, when
// given, holds the first kAutocorrPrefix autocorrelation terms of this history.
void pitch_downsample(const float* history, float* d, const PitchKernels& k,
                      const AutocorrPrefix* prefix = nullptr);

// The running window energies the pitch search and the doubling check read for the
// suppressor's sizes (len 960, max_pitch 588, maxperiod 768, N 960), all from the 864
// down-sampled samples d. They are independent chains of additions, so pitch_energies advances
// them side by side. The doubling check's chain is the longest; it is run only as far as the
// others take (delayed[0 .. delayed_valid - 1]) and remove_doubling continues it as far as it
// needs. The values equal those the two functions compute on their own.
struct PitchEnergies {
  float coarse[kMaxPitchSearch / 4];       // coarse search, per lag
  float fine[kMaxPitchSearch / 2];         // fine search, per lag
  float delayed[kPitchMaxPeriod / 2 + 1];  // doubling check: [0] = xx, [i] = delayed by i
  int delayed_valid;                       // entries of delayed computed so far
  float delayed_sum;                       // the running (unclamped) sum behind the last one
};
void pitch_energies(const float* d, PitchEnergies& e);

// Best pitch lag (in full-rate samples, 0 .. 2 * (max_pitch / 2 - 1)) of x_lp against y.
// x_lp: len / 2 samples, y: (len + max_pitch) / 2 samples, both at half rate. `energies`, when
// given, must come from pitch_energies on y (and len, max_pitch be 960, 588).
int pitch_search(const float* x_lp, const float* y, int len, int max_pitch, const PitchKernels& k,
                 const PitchEnergies* energies = nullptr);

// Refines the period *T0 (full rate) against its sub-multiples on the down-sampled signal x
// (maxperiod / 2 history samples before the N / 2 analysed ones) and returns the pitch gain.
// `energies`, when given, come from pitch_energies on x (maxperiod 768, N 960); their delayed
// chain is continued as far as needed.
float remove_doubling(const float* x, int maxperiod, int minperiod, int N, int* T0, int prev_period,
                      float prev_gain, const PitchKernels& k, PitchEnergies* energies = nullptr);

}  // namespace orvo
