// Kernels of the mono adaptive echo filter, written once over a vector of W floats and built
// once per processor level: adaptive_filter_mono.cpp instantiates them for baseline x86-64
// (W = 4, SSE2) and adaptive_filter_mono_avx2.cpp for AVX2 (W = 8). Everything here has
// internal linkage, so the two builds never mix.
//
// Layout and speed: every band pass first writes this frame's reference into the history and
// computes the tap energy and step size of each bin (shared by all microphones), then runs each
// listed microphone over blocks of eight bins with vector arithmetic. The work of one bin is
// exactly the plain per-bin formulation, operation for operation and in the same order, with no
// multiply and add fused, so both builds give the same bits as a scalar loop. The
// per-group sums are added bin by bin in increasing order for the same reason.
//
// The kernels use GCC vector extensions. Their helpers are always inlined into one wrapper per
// band and level, so 32-byte vectors never cross a function boundary and
// the ABI note GCC gives for such helpers does not apply.
#pragma once
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstddef>
#include <cstring>

#include "audio_core/adaptive_filter_mono.hpp"

namespace orvo {

namespace {

// ---------------------------------------------------------------------------------------------
// Constants of the filter kernels.

constexpr float kLowBeta = 0.03f;       // power smoothing in the low band
constexpr float kBeta = 0.05f;          // power smoothing in the mid and high bands
constexpr float kStepNumerator = 0.5f;  // mu = 0.5 / (Ex + 100)
constexpr float kStepRegulariser = 100.0f;
constexpr float kDivergeFactor = 8.0f;  // error power above 8 x microphone power: diverged
constexpr float kGoodFactor = 8.0f;     // microphone power above 8 x error power: filter good
constexpr float kBetterFactor = 2.0f;   // other filter's error above 2 x: copy the better one

constexpr int kMidFirstBlock = kAfLowBlocks;
constexpr int kHighFirstBlock = kAfLowBlocks + kAfMidBlocks;

// ---------------------------------------------------------------------------------------------
// Vector helpers. The kernels are written once for a vector of W floats: the baseline build
// uses W = 4 (SSE2), the AVX2 build W = 8. A block of eight bins is one AVX2 vector or two
// SSE2 vectors.

typedef float V4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef float V8 __attribute__((vector_size(32)));
typedef int32_t I8 __attribute__((vector_size(32)));

template <typename V>
struct MaskOf;
template <>
struct MaskOf<V4> {
  using type = I4;
};
template <>
struct MaskOf<V8> {
  using type = I8;
};

#define ORVO_AF_INLINE inline __attribute__((always_inline))

template <typename V>
ORVO_AF_INLINE V Load(const float* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename V>
ORVO_AF_INLINE void Store(float* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

template <typename V>
ORVO_AF_INLINE V Splat(float x) {
  V v = {};
  return v + x;
}

template <typename V, typename M>
ORVO_AF_INLINE V Select(M mask, V a, V b) {
  return mask ? a : b;
}

template <typename M>
ORVO_AF_INLINE bool Any(M mask) {
  uint64_t w[sizeof(M) / sizeof(uint64_t)];
  std::memcpy(w, &mask, sizeof w);
  uint64_t any = 0;
  for (uint64_t x : w)
    any |= x;
  return any != 0;
}

// ---------------------------------------------------------------------------------------------
// Divergence and transfer actions of single lanes (rare): clear A, copy A to B, clear B, copy
// B to A. The masks cover W lanes from `lane0`.

template <int T>
__attribute__((noinline, cold)) void ApplyTransfers(AfCoefBlock<T>& c, int lane0, int lanes,
                                                    const int32_t* clearA, const int32_t* copyAtoB,
                                                    const int32_t* clearB,
                                                    const int32_t* copyBtoA) {
  for (int i = 0; i < lanes; ++i) {
    const int l = lane0 + i;
    for (int j = 0; j < T; ++j) {
      if (clearA[i]) {
        c.aRe[j][l] = 0.0f;
        c.aIm[j][l] = 0.0f;
      } else if (copyAtoB[i]) {
        c.bRe[j][l] = c.aRe[j][l];
        c.bIm[j][l] = c.aIm[j][l];
      } else if (clearB[i]) {
        c.bRe[j][l] = 0.0f;
        c.bIm[j][l] = 0.0f;
      } else if (copyBtoA[i]) {
        c.aRe[j][l] = c.bRe[j][l];
        c.aIm[j][l] = c.bIm[j][l];
      }
    }
  }
}

// What the block kernel needs for one microphone; arrays are indexed by bin.
struct MicPass {
  float* workRe;  // microphone spectrum in, chosen error out
  float* workIm;
  float* micPower;  // |D|^2 out
  float* pd;        // smoothed microphone power
  float* peA;       // smoothed error power of A
  float* peB;       // smoothed error power of B
  float* echo;      // echo power out
  float* resid;     // residual power out
  const float* noise;
  const float* coupling;   // coupling ratio of each bin's group
  const float* step;       // mu
  const float* tapEnergy;  // Ex
  float beta;
  float margin;
};

// Filters, output choice, divergence/transfer and adaptation for numBlocks blocks of eight
// bins of one microphone. `newest` is the history slot of this frame's reference; tap j reads
// slot newest - j. The arithmetic of every lane is that of the plain per-bin formulation, in
// the same order, so results match it exactly.
template <int T, typename V>
ORVO_AF_INLINE void FilterBlocks(AfCoefBlock<T>* coef, const AfHistoryBlock<T>* hist, int newest,
                                 int firstBlock, int numBlocks, const MicPass& mp) {
  using M = typename MaskOf<V>::type;
  constexpr int W = sizeof(V) / sizeof(float);
  const V beta = Splat<V>(mp.beta);
  const V margin = Splat<V>(mp.margin);
  const V diverge = Splat<V>(kDivergeFactor);
  const V good = Splat<V>(kGoodFactor);
  const V better = Splat<V>(kBetterFactor);
  const V zero = Splat<V>(0.0f);

  for (int b = 0; b < numBlocks; ++b) {
    AfCoefBlock<T>& c = coef[b];
    const typename AfHistoryBlock<T>::Slot* x = &hist[b].slot[newest];
    for (int h = 0; h < kAfLanes; h += W) {
      const int k0 = (firstBlock + b) * kAfLanes + h;

      const V dr = Load<V>(mp.workRe + k0);
      const V di = Load<V>(mp.workIm + k0);
      const V dp = dr * dr + di * di;
      Store(mp.micPower + k0, dp);
      V pd = Load<V>(mp.pd + k0);
      pd = pd + beta * (dp - pd);

      V yar = zero, yai = zero, ybr = zero, ybi = zero;
#pragma GCC unroll 16
      for (int j = 0; j < T; ++j) {
        const V xr = Load<V>(x[-j].re + h);
        const V xi = Load<V>(x[-j].im + h);
        const V ar = Load<V>(c.aRe[j] + h);
        const V ai = Load<V>(c.aIm[j] + h);
        const V br = Load<V>(c.bRe[j] + h);
        const V bi = Load<V>(c.bIm[j] + h);
        yar = yar + (ar * xr - ai * xi);
        yai = yai + (ar * xi + ai * xr);
        ybr = ybr + (br * xr - bi * xi);
        ybi = ybi + (br * xi + bi * xr);
      }
      const V ear = dr - yar;
      const V eai = di - yai;
      const V ebr = dr - ybr;
      const V ebi = di - ybi;
      const V ea = ear * ear + eai * eai;
      const V eb = ebr * ebr + ebi * ebi;
      V peB = Load<V>(mp.peB + k0);
      V peA = Load<V>(mp.peA + k0);
      peB = peB + beta * (eb - peB);
      peA = peA + beta * (ea - peA);

      // Output the smaller error; on a tie, B's.
      const M useA = eb > ea;
      Store(mp.workRe + k0, Select(useA, ear, ebr));
      Store(mp.workIm + k0, Select(useA, eai, ebi));
      Store(mp.echo + k0, Select(useA, yar * yar + yai * yai, ybr * ybr + ybi * ybi));
      Store(mp.resid + k0, Select(useA, ea, eb));

      // Divergence and transfers. After either of the first two actions the powers are zero,
      // so neither of the last two can follow in the same frame.
      const M clearA = peA > diverge * pd;
      const M copyAtoB = ~clearA & (pd > good * peA) & (peB > better * peA);
      const M first = clearA | copyAtoB;
      const M clearB = ~first & (peB > diverge * pd);
      const M copyBtoA = ~first & ~clearB & (pd > good * peB) & (peA > better * peB);
      const M reset = first | clearB | copyBtoA;
      V uar = ear;
      V uai = eai;
      if (Any(reset)) {
        pd = Select(reset, zero, pd);
        peA = Select(reset, zero, peA);
        peB = Select(reset, zero, peB);
        // A copied from B adapts with B's error.
        uar = Select(copyBtoA, ebr, ear);
        uai = Select(copyBtoA, ebi, eai);
        int32_t m1[W], m2[W], m3[W], m4[W];
        std::memcpy(m1, &clearA, sizeof m1);
        std::memcpy(m2, &copyAtoB, sizeof m2);
        std::memcpy(m3, &clearB, sizeof m3);
        std::memcpy(m4, &copyBtoA, sizeof m4);
        ApplyTransfers<T>(c, h, W, m1, m2, m3, m4);
      }
      Store(mp.pd + k0, pd);
      Store(mp.peA + k0, peA);
      Store(mp.peB + k0, peB);

      // NLMS update of A where the expected echo stands the margin above the noise floor. It
      // also runs on a just-cleared A, with the error computed before the clearing.
      const M adapt =
          Load<V>(mp.coupling + k0) * Load<V>(mp.tapEnergy + k0) > Load<V>(mp.noise + k0) * margin;
      if (Any(adapt)) {
        const V mu = Load<V>(mp.step + k0);
        const V gr = mu * uar;
        const V gi = mu * uai;
#pragma GCC unroll 16
        for (int j = 0; j < T; ++j) {
          const V xr = Load<V>(x[-j].re + h);
          const V xi = Load<V>(x[-j].im + h);
          const V ar = Load<V>(c.aRe[j] + h);
          const V ai = Load<V>(c.aIm[j] + h);
          Store(c.aRe[j] + h, Select(adapt, ar + (gr * xr + gi * xi), ar));
          Store(c.aIm[j] + h, Select(adapt, ai + (gi * xr - gr * xi), ai));
        }
      }
    }
  }
}

// Per-microphone group sums of one band: microphone, echo and residual power, the residual
// total where asked, and (with the first listed microphone) the far-end power. Each sum runs
// bin by bin in increasing order, so it rounds as in the plain formulation; the independent
// sums share one loop to overlap their add latencies.
template <bool addTotal, bool addFar>
ORVO_AF_INLINE void AddGroupSums(int lo, int hi, int m, AdaptiveFilterMono& s) {
  const float* mic = s.workMicPower;
  const float* echo = s.echoPower[m];
  const float* resid = s.residualPower[m];
  const float* far = s.farBinPower;
  float total = s.residualTotal[m];
  int groupLo = 0;
  for (int g = 0; g < kNumGroups; ++g) {
    const int groupHi = ParsPartTab[g] - 1;
    const int a = lo > groupLo ? lo : groupLo;
    const int e = hi < groupHi ? hi : groupHi;
    groupLo = ParsPartTab[g];
    if (a > e) continue;
    float sm = s.micGroupPower[m][g];
    float se = s.echoGroupPower[m][g];
    float sr = s.residualGroupPower[m][g];
    float sf = s.farGroupPower[g];
    for (int k = a; k <= e; ++k) {
      sm += mic[k];
      se += echo[k];
      sr += resid[k];
      if (addTotal) total += resid[k];
      if (addFar) sf += far[k];
    }
    s.micGroupPower[m][g] = sm;
    s.echoGroupPower[m][g] = se;
    s.residualGroupPower[m][g] = sr;
    if (addFar) s.farGroupPower[g] = sf;
  }
  if (addTotal) s.residualTotal[m] = total;
}

// One band pass: reference history and tap energy, then every listed microphone.
template <int T, int numBlocks, typename V>
ORVO_AF_INLINE void BandPass(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                             const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                             float margin, AfCoefBlock<T> (*coef)[numBlocks],
                             AfHistoryBlock<T>* hist, int ringPos, int firstBlock, int lo, int hi,
                             float beta, bool addTotal, AdaptiveFilterMono& s) {
  // Reference: this frame's bins go into ring slot ringPos (and its twin ringPos + T); the
  // lanes outside the band keep zeros.
  for (int k = lo; k <= hi; ++k) {
    s.farRe[k] = farSpectrum[k].re;
    s.farIm[k] = farSpectrum[k].im;
  }
  constexpr int W = sizeof(V) / sizeof(float);
  const V stepNum = Splat<V>(kStepNumerator);
  const V stepReg = Splat<V>(kStepRegulariser);
  for (int b = 0; b < numBlocks; ++b) {
    AfHistoryBlock<T>& hb = hist[b];
    for (int h = 0; h < kAfLanes; h += W) {
      const int k0 = (firstBlock + b) * kAfLanes + h;
      const V xr = Load<V>(s.farRe + k0);
      const V xi = Load<V>(s.farIm + k0);
      Store(hb.slot[ringPos].re + h, xr);
      Store(hb.slot[ringPos].im + h, xi);
      Store(hb.slot[ringPos + T].re + h, xr);
      Store(hb.slot[ringPos + T].im + h, xi);
      Store(s.farBinPower + k0, xr * xr + xi * xi);
      V ex = Splat<V>(0.0f);
#pragma GCC unroll 16
      for (int slot = 0; slot < T; ++slot) {
        const V r = Load<V>(hb.slot[slot].re + h);
        const V i = Load<V>(hb.slot[slot].im + h);
        ex = ex + (r * r + i * i);
      }
      Store(s.refTapEnergy + k0, ex);
      Store(s.stepSize + k0, stepNum / (ex + stepReg));
    }
  }

  for (int i = 0; i < s.listCount; ++i) {
    const int m = s.MicList[i];
    Cpx* spectrum = micSpectra[m];
    for (int k = lo; k <= hi; ++k) {
      s.workRe[k] = spectrum[k].re;
      s.workIm[k] = spectrum[k].im;
    }
    int groupLo = 0;
    for (int g = 0; g < kNumGroups; ++g) {
      const int groupHi = ParsPartTab[g] - 1;
      const int a = lo > groupLo ? lo : groupLo;
      const int e = hi < groupHi ? hi : groupHi;
      groupLo = ParsPartTab[g];
      for (int k = a; k <= e; ++k)
        s.couplingOfBin[k] = coupling[m][g];
    }

    MicPass mp;
    mp.workRe = s.workRe;
    mp.workIm = s.workIm;
    mp.micPower = s.workMicPower;
    mp.pd = s.smoothedMicPower[m];
    mp.peA = s.smoothedErrorA[m];
    mp.peB = s.smoothedErrorB[m];
    mp.echo = s.echoPower[m];
    mp.resid = s.residualPower[m];
    mp.noise = noiseRecords[m].noise;
    mp.coupling = s.couplingOfBin;
    mp.step = s.stepSize;
    mp.tapEnergy = s.refTapEnergy;
    mp.beta = beta;
    mp.margin = margin;
    FilterBlocks<T, V>(coef[m], hist, ringPos + T, firstBlock, numBlocks, mp);

    for (int k = lo; k <= hi; ++k) {
      spectrum[k].re = s.workRe[k];
      spectrum[k].im = s.workIm[k];
    }
    // The list always holds BestMic, so the far-end sums ride along with the first entry.
    if (i == 0) {
      if (addTotal)
        AddGroupSums<true, true>(lo, hi, m, s);
      else
        AddGroupSums<false, true>(lo, hi, m, s);
    } else {
      if (addTotal)
        AddGroupSums<true, false>(lo, hi, m, s);
      else
        AddGroupSums<false, false>(lo, hi, m, s);
    }
  }
}

// The band passes with their fixed tap counts. Each is built once per level; the library is
// compiled without contraction, so products and sums round exactly as in the baseline build and
// as in the plain per-bin formulation.

template <typename V>
ORVO_AF_INLINE void LowBandBody(const Cpx* far, const float cpl[kMaxMics][kNumGroups],
                                const NoisePsdState* noise, Cpx* const* mics, float margin,
                                AdaptiveFilterMono& s) {
  BandPass<kAfLowTaps, kAfLowBlocks, V>(far, cpl, noise, mics, margin, s.lowCoef, s.lowHistory,
                                        s.lowRingPos, 0, kAfLowFirstBin, kAfMidFirstBin - 1,
                                        kLowBeta, true, s);
}

template <typename V>
ORVO_AF_INLINE void MidBandBody(const Cpx* far, const float cpl[kMaxMics][kNumGroups],
                                const NoisePsdState* noise, Cpx* const* mics, float margin,
                                AdaptiveFilterMono& s) {
  BandPass<kAfMidTaps, kAfMidBlocks, V>(far, cpl, noise, mics, margin, s.midCoef, s.midHistory,
                                        static_cast<int>(s.frameCounter % kAfMidTaps),
                                        kMidFirstBlock, kAfMidFirstBin, kAfHighFirstBin - 1, kBeta,
                                        true, s);
}

template <typename V>
ORVO_AF_INLINE void HighBandBody(const Cpx* far, const float cpl[kMaxMics][kNumGroups],
                                 const NoisePsdState* noise, Cpx* const* mics, float margin,
                                 AdaptiveFilterMono& s) {
  BandPass<kAfHighTaps, kAfHighBlocks, V>(far, cpl, noise, mics, margin, s.highCoef, s.highHistory,
                                          static_cast<int>(s.frameCounter % kAfHighTaps),
                                          kHighFirstBlock, kAfHighFirstBin, kAfLastBin, kBeta,
                                          false, s);
}
}  // namespace

// The AVX2 band passes (adaptive_filter_mono_avx2.cpp).
namespace avx2 {
void AfLowBand(const Cpx* far, const float cpl[kMaxMics][kNumGroups], const NoisePsdState* noise,
               Cpx* const* mics, float margin, AdaptiveFilterMono& s);
void AfMidBand(const Cpx* far, const float cpl[kMaxMics][kNumGroups], const NoisePsdState* noise,
               Cpx* const* mics, float margin, AdaptiveFilterMono& s);
void AfHighBand(const Cpx* far, const float cpl[kMaxMics][kNumGroups], const NoisePsdState* noise,
                Cpx* const* mics, float margin, AdaptiveFilterMono& s);
}  // namespace avx2

}  // namespace orvo
