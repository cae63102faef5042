// Kernels of the pitch analysis, written once over a vector width and built once per processor
// level: pitch_analysis.cpp instantiates them with four-float vectors (baseline),
// pitch_analysis_avx2.cpp with eight-float vectors (AVX2).
#pragma once

#include <algorithm>
#include <cstring>

#include "base/check.hpp"
#include "denoise/denoise_simd.hpp"
#include "denoise/pitch_analysis.hpp"

namespace orvo {

namespace {

// ---------------------------------------------------------------------------------------------
// Kernels. Every correlation is a plain sum from 0 in order of i. The fast kernels keep one
// correlation per vector lane, so each lane still adds its terms in order and the results equal
// the plain loops bit for bit: neighbouring lags share a window (one unaligned load per step, up
// to four windows side by side); lags far apart share a vector through transposed blocks. Terms a
// window cannot reach without reading past the end of y are added one lag at a time.

constexpr int kMaxWindows = 48;

// L floats at any address, read as one vector. Copied by value: clang drops the reduced alignment
// when an unaligned vector type is read through a returned reference and emits an aligned load,
// which faults on most addresses.
template <class T>
ORVO_ALWAYS_INLINE typename T::Vec LoadVec(const float* p) {
  typename T::Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

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
      a[w] += xi * LoadVec<T>(yw[w] + i);
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
    v[c] = LoadVec<T>(r[c] + i);
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

// The whitening FIR of pitch_downsample over d[0..863], in place: d[i] += sum_k num[k] d[i-1-k],
// the samples before d[0] counting as 0.
template <class T>
ORVO_ALWAYS_INLINE void WhitenInPlace(float* d, const float* num) {
  constexpr int n = kPitchDownsampled;
  const float num0 = num[0], num1 = num[1], num2 = num[2], num3 = num[3], num4 = num[4];
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
  for (int i = 4; i >= 0; --i) {
    float sum = d[i];
    for (int k = 0; k < i; ++k)
      sum += num[k] * d[i - 1 - k];
    for (int k = i; k < 5; ++k)
      sum += num[k] * 0.0f;
    d[i] = sum;
  }
}

}  // namespace

// The AVX2 table (pitch_analysis_avx2.cpp).
namespace avx2 {
extern const PitchKernels kPitchKernels;
}  // namespace avx2

}  // namespace orvo
