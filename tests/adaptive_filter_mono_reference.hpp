// Plain per-bin formulation of the mono adaptive echo filter, kept outside the library as the
// yardstick for the vectorised filter: the agreement test compares the two frame by frame and
// the benchmark times both. Storage follows the natural layout (per bin, then microphone, then
// filter A and B), every bin is processed on its own, one microphone after the other.
#pragma once

#include <cstdint>

#include "audio_core/common.hpp"
#include "audio_core/noise_psd.hpp"

namespace orvo::reference {

struct AdaptiveFilter {
  Cpx lowCoef[40][kMaxMics][2][16];  // [bin][mic][A/B][tap], taps 0..12 used
  Cpx midCoef[280][kMaxMics][2][8];
  Cpx highCoef[680][kMaxMics][2][4];  // bins from 280
  Cpx lowHistory[40][16];             // 13-slot ring
  Cpx midHistory[280][8];
  Cpx highHistory[680][4];
  float echoPower[kMaxMics][kNumBins];
  float smoothedErrorB[kNumBins * kMaxMics];  // bin * 14 + mic
  float smoothedErrorA[kNumBins * kMaxMics];
  float smoothedMicPower[kNumBins * kMaxMics];
  uint32_t frameCounter;
  int32_t lowRingPos;
  float farGroupPower[kNumGroups];
  float echoGroupPower[kMaxMics][kNumGroups];
  float micGroupPower[kMaxMics][kNumGroups];
  float residualGroupPower[kMaxMics][kNumGroups];
  float refTapEnergy[kNumBins];
  float residualPower[kMaxMics][kNumBins];
  float farBinPower[kNumBins];
  float residualTotal[kMaxMics];
  int32_t rotationStart;
  int32_t listCount;
  int32_t MicList[9];

  // How often each divergence / transfer rule fired (for tests that need them to happen).
  uint64_t clearedA;
  uint64_t copiedAtoB;
  uint64_t clearedB;
  uint64_t copiedBtoA;
  uint64_t adaptations;
};

namespace detail {

inline void BuildList(int numberOfMics, int bestMic, int secondaryMic, AdaptiveFilter& s) {
  for (int m = 0; m < numberOfMics; ++m)
    s.residualTotal[m] = 0.0f;
  for (int g = 0; g < kNumGroups; ++g) {
    s.farGroupPower[g] = 0.0f;
    for (int m = 0; m < kMaxMics; ++m) {
      s.echoGroupPower[m][g] = 0.0f;
      s.micGroupPower[m][g] = 0.0f;
      s.residualGroupPower[m][g] = 0.0f;
    }
  }
  s.MicList[0] = bestMic;
  if (numberOfMics < 2) {
    s.listCount = 1;
  } else if (numberOfMics <= 9) {
    s.listCount = numberOfMics;
    int n = 1;
    for (int m = 0; m < numberOfMics; ++m)
      if (m != bestMic) s.MicList[n++] = m;
  } else {
    s.listCount = 9;
    if (s.frameCounter % 10 == 0) {
      s.rotationStart += 7;
      if (s.rotationStart >= numberOfMics) s.rotationStart -= numberOfMics;
    }
    const bool second = secondaryMic >= 0 && secondaryMic < numberOfMics && secondaryMic != bestMic;
    int n = 1;
    if (second) s.MicList[n++] = secondaryMic;
    for (int m = s.rotationStart % numberOfMics; n < 9; m = (m + 1) % numberOfMics)
      if (m != bestMic && !(second && m == secondaryMic)) s.MicList[n++] = m;
  }
}

// One band: bins lo..hi, T taps, a ring of T slots at position p, coefficient and history
// arrays indexed from bin `base`.
template <int T, int Slots, int CoefSlots>
void Band(int lo, int hi, int base, int p, float beta, bool addTotal,
          Cpx (*coef)[kMaxMics][2][CoefSlots], Cpx (*history)[Slots], const Cpx* far,
          const float (*coupling)[kNumGroups], const NoisePsdState* noise, Cpx* const* mics,
          float margin, AdaptiveFilter& s) {
  for (int k = lo; k <= hi; ++k) {
    const int g = GroupOfBin(k);
    const Cpx X = far[k];
    const float px = Power(X);
    s.farGroupPower[g] += px;
    s.farBinPower[k] = px;
    Cpx* ring = history[k - base];
    ring[p] = X;
    float ex = 0.0f;
    for (int slot = 0; slot < T; ++slot)
      ex += Power(ring[slot]);
    s.refTapEnergy[k] = ex;
    const float mu = 0.5f / (ex + 100.0f);

    for (int i = 0; i < s.listCount; ++i) {
      const int m = s.MicList[i];
      Cpx* A = coef[k - base][m][0];
      Cpx* B = coef[k - base][m][1];
      float& pd = s.smoothedMicPower[k * kMaxMics + m];
      float& peA = s.smoothedErrorA[k * kMaxMics + m];
      float& peB = s.smoothedErrorB[k * kMaxMics + m];

      const Cpx D = mics[m][k];
      const float dp = Power(D);
      s.micGroupPower[m][g] += dp;
      pd = pd + beta * (dp - pd);

      Cpx ya{0.0f, 0.0f}, yb{0.0f, 0.0f};
      for (int j = 0; j < T; ++j) {
        const Cpx x = ring[(p - j + T) % T];
        ya.re += A[j].re * x.re - A[j].im * x.im;
        ya.im += A[j].re * x.im + A[j].im * x.re;
        yb.re += B[j].re * x.re - B[j].im * x.im;
        yb.im += B[j].re * x.im + B[j].im * x.re;
      }
      Cpx ea{D.re - ya.re, D.im - ya.im};
      const Cpx eb{D.re - yb.re, D.im - yb.im};
      const float pa = Power(ea);
      const float pb = Power(eb);
      peB = peB + beta * (pb - peB);
      peA = peA + beta * (pa - peA);

      float r;
      if (pb > pa) {
        mics[m][k] = ea;
        s.echoPower[m][k] = Power(ya);
        r = pa;
      } else {
        mics[m][k] = eb;
        s.echoPower[m][k] = Power(yb);
        r = pb;
      }
      s.echoGroupPower[m][g] += s.echoPower[m][k];

      if (peA > 8.0f * pd) {
        for (int j = 0; j < T; ++j)
          A[j] = Cpx{0.0f, 0.0f};
        pd = peA = peB = 0.0f;
        ++s.clearedA;
      } else if (pd > 8.0f * peA && peB > 2.0f * peA) {
        pd = peA = peB = 0.0f;
        for (int j = 0; j < T; ++j)
          B[j] = A[j];
        ++s.copiedAtoB;
      }
      if (peB > 8.0f * pd) {
        for (int j = 0; j < T; ++j)
          B[j] = Cpx{0.0f, 0.0f};
        pd = peA = peB = 0.0f;
        ++s.clearedB;
      } else if (pd > 8.0f * peB && peA > 2.0f * peB) {
        pd = peA = peB = 0.0f;
        for (int j = 0; j < T; ++j)
          A[j] = B[j];
        ea = eb;
        ++s.copiedBtoA;
      }

      s.residualPower[m][k] = r;
      s.residualGroupPower[m][g] += r;
      if (addTotal) s.residualTotal[m] += r;

      if (coupling[m][g] * ex > noise[m].noise[k] * margin) {
        const float gr = mu * ea.re;
        const float gi = mu * ea.im;
        for (int j = 0; j < T; ++j) {
          const Cpx x = ring[(p - j + T) % T];
          A[j].re += gr * x.re + gi * x.im;
          A[j].im += gi * x.re - gr * x.im;
        }
        ++s.adaptations;
      }
    }
  }
}

}  // namespace detail

// Zeroes the record (value-initialise it, e.g. std::make_unique<AdaptiveFilter>()).
inline void Process(const Cpx* far, int numberOfMics, const float (*coupling)[kNumGroups],
                    const NoisePsdState* noise, Cpx* const* mics, int bestMic, int secondaryMic,
                    int talkState, AdaptiveFilter& s) {
  detail::BuildList(numberOfMics, bestMic, secondaryMic, s);
  const float margin = (talkState == 2) ? 100.0f : 400.0f;
  s.lowRingPos = (s.lowRingPos + 1) % 13;
  detail::Band<13, 16, 16>(1, 39, 0, s.lowRingPos, 0.03f, true, s.lowCoef, s.lowHistory, far,
                           coupling, noise, mics, margin, s);
  detail::Band<8, 8, 8>(40, 279, 0, static_cast<int>(s.frameCounter % 8), 0.05f, true, s.midCoef,
                        s.midHistory, far, coupling, noise, mics, margin, s);
  detail::Band<4, 4, 4>(280, 480, 280, static_cast<int>(s.frameCounter % 4), 0.05f, false,
                        s.highCoef, s.highHistory, far, coupling, noise, mics, margin, s);
  ++s.frameCounter;
}

}  // namespace orvo::reference
