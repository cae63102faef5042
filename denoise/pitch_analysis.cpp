#include "denoise/pitch_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio_core/check.hpp"
#include "denoise/denoise_simd.hpp"

namespace orvo {

namespace {

constexpr int kMaxAutocorrLag = 8;

inline float Max(float a, float b) {
  return a > b ? a : b;
}

// ---------------------------------------------------------------------------------------------
// Kernels. Every correlation is a plain sum from 0 in order of i. The fast kernels keep one
// correlation per vector lane, so each lane still adds its terms in order and the results equal
// the plain loops bit for bit: neighbouring lags share a window (one unaligned load per step, up
// to four windows side by side); lags far apart share a vector through transposed blocks. Terms a
// window cannot reach without reading past the end of y are added one lag at a time.
// Lanes of four floats on baseline x86-64, of eight on x86-64-v3 processors.

constexpr int kMaxWindows = 48;

// L floats at any address, read as one vector. (An expression of the unaligned type, not a
// function returning a reference to it: clang drops the reduced alignment through such a
// reference and emits an aligned load, which faults on most addresses.)
#define ORVO_LOAD_VEC(T, p) (*reinterpret_cast<const typename T::Unaligned*>(p))

// out[L w + t] = sum_{i < n} x[i] y[start[w] + t + i], for W windows of L lags.
template <class T, int W>
ORVO_ALWAYS_INLINE void XcorrWindows(const float* x, const float* y, const int* start, float* out,
                                     int n) {
  constexpr int L = T::kLanes;
  typename T::Vec a[W];
  const float* yw[W];
  for (int w = 0; w < W; ++w) {
    a[w] = typename T::Vec{};
    yw[w] = y + start[w];
  }
  for (int i = 0; i < n; ++i) {
    const float xi = x[i];
    for (int w = 0; w < W; ++w)
      a[w] += xi * ORVO_LOAD_VEC(T, yw[w] + i);
  }
  for (int w = 0; w < W; ++w)
    *reinterpret_cast<typename T::Unaligned*>(out + L * w) = a[w];
}

template <class T>
ORVO_ALWAYS_INLINE void RunWindows(const float* x, const float* y, const int* start, float* out,
                                   int windows, int n) {
  constexpr int L = T::kLanes;
  // Groups of at most eight windows, as even as possible: each step of a group adds one term to
  // every lane, and six or more windows keep the adders busy while each sum waits for its last.
  const int groups = (windows + 7) / 8;
  for (int g = 0, w = 0; g < groups; ++g) {
    const int size = (windows - w) / (groups - g);
    const int* st = start + w;
    float* o = out + L * w;
    switch (size) {
      case 8:
        XcorrWindows<T, 8>(x, y, st, o, n);
        break;
      case 7:
        XcorrWindows<T, 7>(x, y, st, o, n);
        break;
      case 6:
        XcorrWindows<T, 6>(x, y, st, o, n);
        break;
      case 5:
        XcorrWindows<T, 5>(x, y, st, o, n);
        break;
      case 4:
        XcorrWindows<T, 4>(x, y, st, o, n);
        break;
      case 3:
        XcorrWindows<T, 3>(x, y, st, o, n);
        break;
      case 2:
        XcorrWindows<T, 2>(x, y, st, o, n);
        break;
      default:
        XcorrWindows<T, 1>(x, y, st, o, n);
        break;
    }
    w += size;
  }
}

// Adds the terms i = from .. n - 1 of the correlation at `lag` to sum, in order.
ORVO_ALWAYS_INLINE float FinishSum(float sum, const float* x, const float* y, int lag, int from,
                                   int n) {
  for (int i = from; i < n; ++i)
    sum += x[i] * y[lag + i];
  return sum;
}

// Adds terms i .. i + L - 1 of L correlations (rows r[0..L-1]) to the lanes of acc, in order.
template <class T>
ORVO_ALWAYS_INLINE void LanesStep(typename T::Vec& acc, const float* x, const float* const* r,
                                  int i) {
  constexpr int L = T::kLanes;
  typename T::Vec v[L];
  for (int c = 0; c < L; ++c)
    v[c] = ORVO_LOAD_VEC(T, r[c] + i);
  Transpose(v);
  for (int t = 0; t < L; ++t)
    acc += x[i + t] * v[t];
}

// B groups of L lags far apart, each group as the lanes of one vector: L x L blocks are loaded
// lag by lag and transposed, so that each step adds one term to every lane in order of i.
template <class T, int B>
ORVO_ALWAYS_INLINE void XcorrLanes(const float* x, const float* y, const int* lag, float* out,
                                   int n) {
  constexpr int L = T::kLanes;
  const float* r[B][L];
  typename T::Vec acc[B];
  for (int b = 0; b < B; ++b) {
    acc[b] = typename T::Vec{};
    for (int c = 0; c < L; ++c)
      r[b][c] = y + lag[L * b + c];
  }
  int i = 0;
  for (; i + L <= n; i += L)
    for (int b = 0; b < B; ++b)
      LanesStep<T>(acc[b], x, r[b], i);
  for (int b = 0; b < B; ++b) {
    float a[L];
    std::memcpy(a, &acc[b], sizeof a);
    for (int c = 0; c < L; ++c)
      out[L * b + c] = FinishSum(a[c], x, y, lag[L * b + c], i, n);
  }
}

template <class T>
ORVO_ALWAYS_INLINE void Xcorr(const float* x, const float* y, float* out, int n, int lags) {
  constexpr int L = T::kLanes;
  const int windows = (lags + L - 1) / L;
  ORVO_CHECK(lags > 0 && windows * L <= 8 * kMaxWindows, "pitch_analysis");
  int start[8 * kMaxWindows / L];
  for (int w = 0; w < windows; ++w)
    start[w] = L * w;
  // y holds lags - 1 + n values; a window starting at s reads y[s .. s + L - 2 + n_vec].
  const int y_len = lags - 1 + n;
  const int n_vec = std::max(0, std::min(n, y_len - (L - 1) - start[windows - 1]));
  float tmp[8 * kMaxWindows];
  RunWindows<T>(x, y, start, tmp, windows, n_vec);
  for (int l = 0; l < lags; ++l)
    out[l] = FinishSum(tmp[l], x, y, l, n_vec, n);
}

template <class T>
ORVO_ALWAYS_INLINE void XcorrAt(const float* x, const float* y, int y_len, const int* lags,
                                float* out, int count, int n) {
  constexpr int L = T::kLanes;
  ORVO_CHECK(count <= kMaxWindows, "pitch_analysis");
  // Distinct lags in increasing order.
  int uniq[kMaxWindows];
  int distinct = 0;
  for (int c = 0; c < count; ++c) {
    int p = distinct;
    while (p > 0 && uniq[p - 1] > lags[c])
      --p;
    if (p > 0 && uniq[p - 1] == lags[c]) continue;
    for (int q = distinct; q > p; --q)
      uniq[q] = uniq[q - 1];
    uniq[p] = lags[c];
    ++distinct;
  }
  // Runs of at least L / 2 lags within one window go into windows; the rest into lanes.
  int start[kMaxWindows], lone[kMaxWindows + 8];
  int windows = 0, lones = 0;
  for (int p = 0; p < distinct;) {
    int q = p;
    while (q < distinct && uniq[q] <= uniq[p] + L - 1)
      ++q;
    if (2 * (q - p) >= L && uniq[p] + L - 1 + n <= y_len) {
      start[windows++] = uniq[p];
    } else {
      for (int e = p; e < q; ++e)
        lone[lones++] = uniq[e];
    }
    p = q;
  }
  float window_sums[8 * kMaxWindows];
  RunWindows<T>(x, y, start, window_sums, windows, n);
  float lane_sums[kMaxWindows + 8];
  for (int e = lones; e % L != 0; ++e)
    lone[e] = lone[0];  // pad the last group
  const int groups = (lones + L - 1) / L;
  int g = 0;
  for (; g + 3 <= groups; g += 3)
    XcorrLanes<T, 3>(x, y, lone + L * g, lane_sums + L * g, n);
  for (; g + 2 <= groups; g += 2)
    XcorrLanes<T, 2>(x, y, lone + L * g, lane_sums + L * g, n);
  for (; g < groups; ++g)
    XcorrLanes<T, 1>(x, y, lone + L * g, lane_sums + L * g, n);
  for (int c = 0; c < count; ++c) {
    const int lag = lags[c];
    int w = 0;
    while (w < windows && !(lag >= start[w] && lag <= start[w] + L - 1))
      ++w;
    if (w < windows) {
      out[c] = window_sums[L * w + lag - start[w]];
    } else {
      int e = 0;
      while (lone[e] != lag)
        ++e;
      out[c] = lane_sums[e];
    }
  }
}

void XcorrBaseline(const float* x, const float* y, float* out, int n, int lags) {
  Xcorr<Lanes4>(x, y, out, n, lags);
}

void XcorrAtBaseline(const float* x, const float* y, int y_len, const int* lags, float* out,
                     int count, int n) {
  XcorrAt<Lanes4>(x, y, y_len, lags, out, count, n);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void XcorrAvx2(const float* x, const float* y, float* out, int n, int lags) {
  Xcorr<Lanes8>(x, y, out, n, lags);
}

ORVO_TARGET_AVX2 void XcorrAtAvx2(const float* x, const float* y, int y_len, const int* lags,
                                  float* out, int count, int n) {
  XcorrAt<Lanes8>(x, y, y_len, lags, out, count, n);
}
#endif

void XcorrReference(const float* x, const float* y, float* out, int n, int lags) {
  for (int l = 0; l < lags; ++l) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i)
      sum += x[i] * y[l + i];
    out[l] = sum;
  }
}

void XcorrAtReference(const float* x, const float* y, int, const int* lags, float* out, int count,
                      int n) {
  for (int c = 0; c < count; ++c) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i)
      sum += x[i] * y[lags[c] + i];
    out[c] = sum;
  }
}

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

const PitchKernels& FastPitchKernels() {
#if ORVO_DENOISE_AVX2
  static const PitchKernels avx2{XcorrAvx2, XcorrAtAvx2};
  if (DenoiseUseAvx2()) return avx2;
#endif
  static const PitchKernels baseline{XcorrBaseline, XcorrAtBaseline};
  return baseline;
}

const PitchKernels& ReferencePitchKernels() {
  static const PitchKernels kernels{XcorrReference, XcorrAtReference};
  return kernels;
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

template <class T>
ORVO_ALWAYS_INLINE void PitchDownsample(const float* history, float* d, const PitchKernels& k,
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
  // In place from the end backwards, so that every output still reads unfiltered samples (a
  // block of L outputs loads all its inputs before it stores); the samples before d[0] count
  // as 0.
  constexpr int L = T::kLanes;
  typedef typename T::Vec V;
  typedef typename T::Unaligned U;
  int i = n - L;
  for (; i >= 5; i -= L) {
    const V x0 = *reinterpret_cast<const U*>(d + i);
    const V x1 = *reinterpret_cast<const U*>(d + i - 1);
    const V x2 = *reinterpret_cast<const U*>(d + i - 2);
    const V x3 = *reinterpret_cast<const U*>(d + i - 3);
    const V x4 = *reinterpret_cast<const U*>(d + i - 4);
    const V x5 = *reinterpret_cast<const U*>(d + i - 5);
    V sum = x0;
    sum += num0 * x1;
    sum += num1 * x2;
    sum += num2 * x3;
    sum += num3 * x4;
    sum += num4 * x5;
    *reinterpret_cast<U*>(d + i) = sum;
  }
  for (i += L - 1; i >= 5; --i) {
    float sum = d[i];
    sum += num0 * d[i - 1];
    sum += num1 * d[i - 2];
    sum += num2 * d[i - 3];
    sum += num3 * d[i - 4];
    sum += num4 * d[i - 5];
    d[i] = sum;
  }
  const float num[5] = {num0, num1, num2, num3, num4};
  for (int i = 4; i >= 0; --i) {
    float sum = d[i];
    for (int k = 0; k < i; ++k)
      sum += num[k] * d[i - 1 - k];
    for (int k = i; k < 5; ++k)
      sum += num[k] * 0.0f;
    d[i] = sum;
  }
}

void PitchDownsampleBaseline(const float* history, float* d, const PitchKernels& k,
                             const AutocorrPrefix* prefix) {
  PitchDownsample<Lanes4>(history, d, k, prefix);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void PitchDownsampleAvx2(const float* history, float* d, const PitchKernels& k,
                                          const AutocorrPrefix* prefix) {
  PitchDownsample<Lanes8>(history, d, k, prefix);
}
#endif

}  // namespace

void pitch_downsample(const float* history, float* d, const PitchKernels& k,
                      const AutocorrPrefix* prefix) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return PitchDownsampleAvx2(history, d, k, prefix);
#endif
  PitchDownsampleBaseline(history, d, k, prefix);
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
