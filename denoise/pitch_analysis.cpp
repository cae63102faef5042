#include "denoise/pitch_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/check.hpp"
#include "denoise/pitch_analysis_kernels.hpp"

namespace orvo {

namespace {

constexpr int kMaxAutocorrLag = 8;

inline float Max(float a, float b) {
  return a > b ? a : b;
}

void XcorrBaseline(const float* x, const float* y, float* out, int n, int lags) {
  Xcorr<Lanes4>(x, y, out, n, lags);
}

void XcorrAtBaseline(const float* x, const float* y, int y_len, const int* lags, float* out,
                     int count, int n) {
  XcorrAt<Lanes4>(x, y, y_len, lags, out, count, n);
}

void WhitenBaseline(float* d, const float* num) {
  WhitenInPlace<Lanes4>(d, num);
}

constexpr PitchKernels kBaselineKernels{XcorrBaseline, XcorrAtBaseline, WhitenBaseline};

// ---------------------------------------------------------------------------------------------

// Running energies. Each is one chain of float additions in a fixed order; the chains do not
// depend on one another, so several can advance side by side (one step each per round), which
// lets their additions overlap.

// Energy of y (every stride-th sample) over a window of len samples: 1 + the sum of squares in
// order, then slid by one sample per lag and held at 1 or more. out[j] is the value lag j sees.
struct SlidingEnergy {
  const float* y;
  int stride;
  int len;
  int lags;
  float* out;
  float syy = 1.0f;
  int step = 0;

  ORVO_ALWAYS_INLINE bool Step() {
    if (step < len) {
      const float v = y[stride * step];
      syy += v * v;
    } else {
      const int j = step - len;
      if (j >= lags) return false;
      out[j] = syy;
      const float in = y[stride * (j + len)];
      const float gone = y[stride * j];
      syy += in * in - gone * gone;
      syy = Max(1.0f, syy);
    }
    ++step;
    return true;
  }
};

// Energy of x over n samples (in order from 0) in out[0], then of the window delayed by i
// (one sample in at x[-i], one out at x[n - i]) in out[i] for i <= max_delay, each stored value
// held at 0 or more (the running sum itself is not).
struct DelayedEnergy {
  const float* x;
  int n;
  int max_delay;
  float* out;
  float yy = 0.0f;
  int step = 0;

  ORVO_ALWAYS_INLINE bool Step() {
    if (step < n) {
      yy += x[step] * x[step];
      if (step == n - 1) out[0] = yy;
    } else {
      const int i = step - n + 1;
      if (i > max_delay) return false;
      yy = yy + x[-i] * x[-i] - x[n - i] * x[n - i];
      out[i] = Max(0.0f, yy);
    }
    ++step;
    return true;
  }
};

template <class E>
void RunChain(E&& e) {
  while (e.Step()) {
  }
}

// The two lags with the largest xcorr^2 / syy[j] (syy from SlidingEnergy), best first, over
// lags j = 0 .. count - 1, or, with `at`, over the increasing lags at[0 .. count - 1] (every
// other lag having xcorr 0, which never counts).
void FindBestPitch(const float* xcorr, const float* syy_at, int count, int* best,
                   const int* at = nullptr) {
  float num0 = -1.0f, num1 = -1.0f, den0 = 0.0f, den1 = 0.0f;
  best[0] = 0;
  best[1] = 1;
  for (int c = 0; c < count; ++c) {
    const int j = at != nullptr ? at[c] : c;
    const float syy = syy_at[j];
    const float v = xcorr[j] * 1e-12f;  // keeps the squares in range
    const float num = v * v;
    // Both tests evaluated, one branch: the sign of xcorr is not predictable, a new second best
    // is rare.
    if ((xcorr[j] > 0.0f) & (num * den1 > num1 * syy)) {
      if (num * den0 > num0 * syy) {
        num1 = num0;
        den1 = den0;
        best[1] = best[0];
        num0 = num;
        den0 = syy;
        best[0] = j;
      } else {
        num1 = num;
        den1 = syy;
        best[1] = j;
      }
    }
  }
}

float PitchGain(float xy, float xx, float yy) {
  return static_cast<float>(xy / std::sqrt(static_cast<double>(1.0f + xx * yy)));
}

}  // namespace

const PitchKernels& PitchKernelsOf(CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::kPitchKernels;
#endif
    default:
      return kBaselineKernels;
  }
}

namespace {

// Adds the terms the fast part of the autocorrelation leaves out (i + lag beyond n) to ac.
void AutocorrTail(const float* x, float* ac, int lag, int n) {
  const int fast_n = n - lag;
  for (int l = 0; l <= lag; ++l) {
    float d = 0.0f;
    for (int i = l + fast_n; i < n; ++i)
      d += x[i] * x[i - l];
    ac[l] += d;
  }
}

}  // namespace

void _celt_autocorr(const float* x, float* ac, int lag, int n, const PitchKernels& k) {
  ORVO_CHECK(lag <= kMaxAutocorrLag && lag < n, "pitch_analysis");
  const int fast_n = n - lag;
  int lags[kMaxAutocorrLag + 1] = {};
  for (int l = 0; l <= lag; ++l)
    lags[l] = l;
  k.xcorr_at(x, x, n, lags, ac, lag + 1, fast_n);
  AutocorrTail(x, ac, lag, n);
}

void AutocorrPrefix::Start(const float* history) {
  const float* h = history + kPitchFrameSize / 2;  // what the shift by one hop keeps
  d[0] = 0.5f * (0.5f * h[1] + h[0]);
  for (int j = 1; j < kAutocorrPrefix + 4; ++j)
    d[j] = 0.5f * (0.5f * (h[2 * j - 1] + h[2 * j + 1]) + h[2 * j]);
  for (float& v : sums)
    v = 0.0f;
  i = 0;
}

void _celt_lpc(float* lpc, const float* ac, int p) {
  float error = ac[0];
  for (int i = 0; i < p; ++i)
    lpc[i] = 0.0f;
  if (ac[0] == 0.0f) return;
  for (int i = 0; i < p; ++i) {
    float rr = 0.0f;
    for (int j = 0; j < i; ++j)
      rr += lpc[j] * ac[i - j];
    rr += ac[i + 1];
    const float r = -rr / error;
    lpc[i] = r;
    for (int j = 0; j < (i + 1) >> 1; ++j) {
      const float u = lpc[j];
      const float v = lpc[i - 1 - j];
      lpc[j] = u + r * v;
      lpc[i - 1 - j] = v + r * u;
    }
    error = error - r * r * error;
    // With a denormal ac[0] the bound 0.001 * ac[0] underflows to 0 while the error can reach
    // 0 exactly; stop there too rather than divide by it.
    if (error < 0.001f * ac[0] || !(error > 0.0f)) break;
  }
}

namespace {

void PitchDownsample(const float* history, float* d, const PitchKernels& k,
                     const AutocorrPrefix* prefix) {
  const float* h = history;
  constexpr int n = kPitchDownsampled;
  for (int i = 1; i < n; ++i)
    d[i] = 0.5f * (0.5f * (h[2 * i - 1] + h[2 * i + 1]) + h[2 * i]);
  d[0] = 0.5f * (0.5f * h[1] + h[0]);

  float ac[5];
  if (prefix != nullptr) {
    // The sums so far, continued in the same order.
    ORVO_CHECK(prefix->i == kAutocorrPrefix, "pitch_analysis");
    for (int l = 0; l <= 4; ++l)
      ac[l] = prefix->sums[l];
    for (int i = kAutocorrPrefix; i < n - 4; ++i) {
      const float x = d[i];
      for (int l = 0; l <= 4; ++l)
        ac[l] += x * d[i + l];
    }
    AutocorrTail(d, ac, 4, n);
  } else {
    _celt_autocorr(d, ac, 4, n, k);
  }
  ac[0] *= 1.0001f;  // noise floor at -40 dB
  for (int i = 1; i <= 4; ++i) {
    const float c = 0.008f * i;  // lag window
    ac[i] -= ac[i] * c * c;
  }
  float lpc[4];
  _celt_lpc(lpc, ac, 4);
  float f = 1.0f;
  for (int i = 0; i < 4; ++i) {
    f = 0.9f * f;  // bandwidth expansion
    lpc[i] = lpc[i] * f;
  }
  // A(z/0.9) times an extra zero at z = -0.8, as a 5-tap FIR over the unfiltered samples.
  constexpr float c1 = 0.8f;
  const float num0 = lpc[0] + 0.8f;
  const float num1 = lpc[1] + c1 * lpc[0];
  const float num2 = lpc[2] + c1 * lpc[1];
  const float num3 = lpc[3] + c1 * lpc[2];
  const float num4 = c1 * lpc[3];
  const float num[5] = {num0, num1, num2, num3, num4};
  k.whiten(d, num);
}

}  // namespace

void pitch_downsample(const float* history, float* d, const PitchKernels& k,
                      const AutocorrPrefix* prefix) {
  PitchDownsample(history, d, k, prefix);
}

void pitch_energies(const float* d, PitchEnergies& e) {
  // The three chains of SlidingEnergy (coarse: every other sample, fine) and DelayedEnergy, one
  // step each per round, with the rounds cut where a chain changes phase so that no round needs
  // a test. The doubling check's chain has two additions per delay step; up to delay 196 it
  // keeps pace with the fine search's chain (one addition and a maximum per lag).
  constexpr int kCoarseLen = kPitchFrameSize / 4, kCoarseLags = kMaxPitchSearch / 4;  // 240, 147
  constexpr int kFineLen = kPitchFrameSize / 2, kFineLags = kMaxPitchSearch / 2;      // 480, 294
  constexpr int kDelayedAhead = 196;
  static_assert(kCoarseLen + kCoarseLags < kFineLen && kDelayedAhead < kFineLags);
  const float* x = d + kPitchMaxPeriod / 2;  // the analysed window of the doubling check
  float coarse = 1.0f, fine = 1.0f, delayed = 0.0f;
  auto coarse_init = [&](int s) {
    const float v = d[2 * s];
    coarse += v * v;
  };
  auto coarse_slide = [&](int j) {
    e.coarse[j] = coarse;
    const float in = d[2 * (j + kCoarseLen)];
    const float gone = d[2 * j];
    coarse += in * in - gone * gone;
    coarse = 1.0f > coarse ? 1.0f : coarse;
  };
  auto fine_init = [&](int s) { fine += d[s] * d[s]; };
  auto fine_slide = [&](int j) {
    e.fine[j] = fine;
    const float in = d[j + kFineLen];
    const float gone = d[j];
    fine += in * in - gone * gone;
    fine = 1.0f > fine ? 1.0f : fine;
  };
  auto delayed_init = [&](int s) { delayed += x[s] * x[s]; };
  auto delayed_step = [&](int i) {
    delayed = delayed + x[-i] * x[-i] - x[kFineLen - i] * x[kFineLen - i];
    e.delayed[i] = 0.0f > delayed ? 0.0f : delayed;
  };
  int s = 0;
  for (; s < kCoarseLen; ++s) {
    coarse_init(s);
    fine_init(s);
    delayed_init(s);
  }
  for (; s < kCoarseLen + kCoarseLags; ++s) {
    coarse_slide(s - kCoarseLen);
    fine_init(s);
    delayed_init(s);
  }
  for (; s < kFineLen; ++s) {
    fine_init(s);
    delayed_init(s);
  }
  e.delayed[0] = delayed;
  for (; s < kFineLen + kDelayedAhead; ++s) {
    fine_slide(s - kFineLen);
    delayed_step(s - kFineLen + 1);
  }
  for (; s < kFineLen + kFineLags; ++s)
    fine_slide(s - kFineLen);
  e.delayed_valid = kDelayedAhead + 1;
  e.delayed_sum = delayed;
}

int pitch_search(const float* x_lp, const float* y, int len, int max_pitch, const PitchKernels& k,
                 const PitchEnergies* energies) {
  ORVO_CHECK(len <= kPitchFrameSize && max_pitch <= kMaxPitchSearch, "pitch_analysis");
  ORVO_CHECK(energies == nullptr || (len == kPitchFrameSize && max_pitch == kMaxPitchSearch),
             "pitch_analysis");
  const int lag = len + max_pitch;
  float x_lp4[kPitchFrameSize / 4];
  float y_lp4[(kPitchFrameSize + kMaxPitchSearch) / 4];
  float xcorr[kMaxPitchSearch / 2];
  float coarse_energy[kMaxPitchSearch / 4], fine_energy[kMaxPitchSearch / 2];
  const float* coarse_syy = coarse_energy;
  const float* fine_syy = fine_energy;
  if (energies != nullptr) {
    coarse_syy = energies->coarse;
    fine_syy = energies->fine;
  } else {
    RunChain(SlidingEnergy{y, 2, len >> 2, max_pitch >> 2, coarse_energy});
    RunChain(SlidingEnergy{y, 1, len >> 1, max_pitch >> 1, fine_energy});
  }

  // Coarse search at a quarter of the full rate.
  for (int j = 0; j < len >> 2; ++j)
    x_lp4[j] = x_lp[2 * j];
  for (int j = 0; j < lag >> 2; ++j)
    y_lp4[j] = y[2 * j];
  k.xcorr(x_lp4, y_lp4, xcorr, len >> 2, max_pitch >> 2);
  int best[2];
  FindBestPitch(xcorr, coarse_syy, max_pitch >> 2, best);

  // Fine search at half rate, only around the two coarse candidates.
  // The lags within 2 of twice either candidate, in increasing order.
  const int half_lags = max_pitch >> 1;
  int lags[10];
  int count = 0;
  const int c0 = std::min(best[0], best[1]), c1 = std::max(best[0], best[1]);
  for (int i = std::max(0, 2 * c0 - 2); i <= std::min(half_lags - 1, 2 * c0 + 2); ++i)
    lags[count++] = i;
  for (int i = std::max(0, 2 * c1 - 2); i <= std::min(half_lags - 1, 2 * c1 + 2); ++i)
    if (count == 0 || i > lags[count - 1]) lags[count++] = i;
  for (int i = 0; i < half_lags; ++i)
    xcorr[i] = 0.0f;
  float sums[10];
  k.xcorr_at(x_lp, y, lag >> 1, lags, sums, count, len >> 1);
  for (int c = 0; c < count; ++c)
    xcorr[lags[c]] = Max(-1.0f, sums[c]);
  FindBestPitch(xcorr, fine_syy, count, best, lags);

  // Pseudo-interpolation. A stronger neighbour at the next lag (a shorter period) moves the
  // result to the longer period 2 b - 1; this sign is part of the published algorithm.
  int offset = 0;
  if (best[0] > 0 && best[0] < half_lags - 1) {
    const float a = xcorr[best[0] - 1];
    const float b = xcorr[best[0]];
    const float c = xcorr[best[0] + 1];
    if ((c - a) > 0.7f * (b - a))
      offset = 1;
    else if ((a - c) > 0.7f * (b - c))
      offset = -1;
  }
  return 2 * best[0] - offset;
}

float remove_doubling(const float* x, int maxperiod, int minperiod, int N, int* T0_,
                      int prev_period, float prev_gain, const PitchKernels& k,
                      PitchEnergies* energies) {
  static constexpr int kSecondCheck[16] = {0, 0, 3, 2, 3, 2, 5, 2, 3, 2, 3, 2, 5, 2, 3, 2};
  const int minperiod0 = minperiod;
  maxperiod /= 2;
  minperiod /= 2;
  *T0_ /= 2;
  prev_period /= 2;
  N /= 2;
  ORVO_CHECK(maxperiod <= kPitchMaxPeriod / 2, "pitch_analysis");
  const float* d = x;  // x[-maxperiod ..] as an array: the delay T is lag maxperiod - T of d
  const int d_len = maxperiod + N;
  x += maxperiod;
  if (*T0_ >= maxperiod) *T0_ = maxperiod - 1;
  const int T0 = *T0_;
  int T = T0;

  // Sub-multiples T0 / k, each with a second lag. No correlation depends on another, so all of
  // them (with the correlation at T0) are computed together first.
  int t1[16], t1b[16];
  int count = 0;
  for (int kk = 2; kk <= 15; ++kk) {
    const int T1 = (2 * T0 + kk) / (2 * kk);
    if (T1 < minperiod) break;
    int T1b;
    if (kk == 2) {
      T1b = (T1 + T0 > maxperiod) ? T0 : T0 + T1;
    } else {
      T1b = (2 * kSecondCheck[kk] * T0 + kk) / (2 * kk);
    }
    t1[count] = T1;
    t1b[count] = T1b;
    ++count;
  }
  // Energy of the window delayed by i, for every i (only the stored copies are clamped).
  // Needed up to the largest of T0 and the sub-multiples' lags (all within maxperiod).
  ORVO_CHECK(energies == nullptr || (maxperiod == kPitchMaxPeriod / 2 && N == kPitchFrameSize / 2),
             "pitch_analysis");
  int need = T0;
  for (int c = 0; c < count; ++c)
    need = std::max(need, std::max(t1[c], t1b[c]));
  float own_energy[kPitchMaxPeriod / 2 + 1];
  float* yy_lookup = own_energy;
  if (energies == nullptr) {
    RunChain(DelayedEnergy{x, N, need, own_energy});
  } else {
    yy_lookup = energies->delayed;
    if (need >= energies->delayed_valid) {
      DelayedEnergy more{
          x, N, need, yy_lookup, energies->delayed_sum, N - 1 + energies->delayed_valid};
      RunChain(more);
      energies->delayed_valid = need + 1;
      energies->delayed_sum = more.yy;
    }
  }
  const float xx = yy_lookup[0];

  int lags[1 + 2 * 14];
  lags[0] = maxperiod - T0;  // xy
  for (int c = 0; c < count; ++c) {
    lags[1 + 2 * c] = maxperiod - t1[c];
    lags[2 + 2 * c] = maxperiod - t1b[c];
  }
  float sums[1 + 2 * 14];
  k.xcorr_at(x, d, d_len, lags, sums, 1 + 2 * count, N);
  const float xy = sums[0];

  float yy = yy_lookup[T0];
  float best_xy = xy;
  float best_yy = yy;
  const float g0 = PitchGain(xy, xx, yy);
  float g = g0;

  for (int c = 0; c < count; ++c) {
    const int kk = c + 2;
    const int T1 = t1[c];
    const int T1b = t1b[c];
    const float xy1 = 0.5f * (sums[1 + 2 * c] + sums[2 + 2 * c]);
    const float yy1 = 0.5f * (yy_lookup[T1] + yy_lookup[T1b]);
    const float g1 = PitchGain(xy1, xx, yy1);
    float cont;
    if (std::abs(T1 - prev_period) <= 1)
      cont = prev_gain;
    else if (std::abs(T1 - prev_period) <= 2 && 5 * kk * kk < T0)
      cont = 0.5f * prev_gain;
    else
      cont = 0.0f;
    float thresh = Max(0.3f, 0.7f * g0 - cont);
    // Shorter periods need a stronger correlation. The second branch can never be taken (any
    // T1 below 2 minperiod is below 3 minperiod); kept as the published algorithm has it.
    if (T1 < 3 * minperiod)
      thresh = Max(0.4f, 0.85f * g0 - cont);
    else if (T1 < 2 * minperiod)
      thresh = Max(0.5f, 0.9f * g0 - cont);
    if (g1 > thresh) {
      best_xy = xy1;
      best_yy = yy1;
      T = T1;
      g = g1;
    }
  }
  best_xy = Max(0.0f, best_xy);
  float pg = best_yy <= best_xy ? 1.0f : best_xy / (best_yy + 1.0f);

  float xc[3];
  const int near[3] = {maxperiod - (T - 1), maxperiod - T, maxperiod - (T + 1)};
  k.xcorr_at(x, d, d_len, near, xc, 3, N);
  int offset = 0;
  if ((xc[2] - xc[0]) > 0.7f * (xc[1] - xc[0]))
    offset = 1;
  else if ((xc[0] - xc[2]) > 0.7f * (xc[1] - xc[2]))
    offset = -1;
  // Only the upper side is limited: the gain stays negative when the input period correlates
  // negatively and no sub-multiple was taken.
  if (pg > g) pg = g;
  *T0_ = 2 * T + offset;
  if (*T0_ < minperiod0) *T0_ = minperiod0;
  return pg;
}

}  // namespace orvo
