// Plain per-bin formulation of the mono adaptive echo filter, kept outside the library as the
// yardstick for the vectorised filter: the agreement test compares the two frame by frame and
// the benchmark times both. Natural layout (bin, microphone, filter A/B, tap); every bin and
// microphone is processed on its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "audio_core/noise_psd.hpp"
#include "base/common.hpp"

namespace orvo::reference {

// Zero it before use (value-initialise, e.g. std::make_unique<AdaptiveFilter>()).
struct AdaptiveFilter {
  Cpx lowCoef[40][kMaxMics][2][16];  // [bin][mic][A/B][tap], taps 0..12 used
  Cpx midCoef[280][kMaxMics][2][8];
  Cpx highCoef[680][kMaxMics][2][4];  // bins from 280
  Cpx lowHistory[40][16];             // 13-slot ring
  Cpx midHistory[280][8];
  Cpx highHistory[680][4];
  float smoothedMicPower[481][kMaxMics], smoothedErrorA[481][kMaxMics];
  float smoothedErrorB[481][kMaxMics];
  float echoPower[kMaxMics][kNumBins], residualPower[kMaxMics][kNumBins];
  float farGroupPower[kNumGroups], echoGroupPower[kMaxMics][kNumGroups];
  float micGroupPower[kMaxMics][kNumGroups], residualGroupPower[kMaxMics][kNumGroups];
  float refTapEnergy[kNumBins], farBinPower[kNumBins], residualTotal[kMaxMics];
  uint32_t frameCounter;
  int32_t lowRingPos, rotationStart, listCount, MicList[9];
  // How often each rule fired, so a test can check that its data exercised them all.
  uint64_t clearedA, copiedAtoB, clearedB, copiedBtoA, adaptations;
};

// One band: bins lo..hi, T taps on a ring at position p; the band's coefficient and history rows
// are indexed from bin `base`.
template <int T, int C, int H>
void Band(int lo, int hi, int base, int p, float beta, Cpx (*coef)[kMaxMics][2][C],
          Cpx (*history)[H], const Cpx* far, const float (*coupling)[kNumGroups],
          const NoisePsdState* noise, Cpx* const* mics, float margin, AdaptiveFilter& s) {
  for (int k = lo; k <= hi; ++k) {
    const int g = GroupOfBin(k);
    const float px = Power(far[k]);
    s.farGroupPower[g] += px;
    s.farBinPower[k] = px;
    Cpx* ring = history[k - base];
    ring[p] = far[k];
    float ex = 0.0f;
    for (int slot = 0; slot < T; ++slot)
      ex += Power(ring[slot]);
    s.refTapEnergy[k] = ex;
    const float mu = 0.5f / (ex + 100.0f);
    for (int i = 0; i < s.listCount; ++i) {
      const int m = s.MicList[i];
      Cpx *A = coef[k - base][m][0], *B = coef[k - base][m][1];
      float &pd = s.smoothedMicPower[k][m], &peA = s.smoothedErrorA[k][m];
      float& peB = s.smoothedErrorB[k][m];
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
      const float pa = Power(ea), pb = Power(eb);
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
      // Divergence clears a filter, a clearly better one is copied over the other; either
      // restarts the three smoothed powers.
      if (peA > 8.0f * pd) {
        std::fill_n(A, T, Cpx{0.0f, 0.0f});
        pd = peA = peB = 0.0f;
        ++s.clearedA;
      } else if (pd > 8.0f * peA && peB > 2.0f * peA) {
        pd = peA = peB = 0.0f;
        std::copy_n(A, T, B);
        ++s.copiedAtoB;
      }
      if (peB > 8.0f * pd) {
        std::fill_n(B, T, Cpx{0.0f, 0.0f});
        pd = peA = peB = 0.0f;
        ++s.clearedB;
      } else if (pd > 8.0f * peB && peA > 2.0f * peB) {
        pd = peA = peB = 0.0f;
        std::copy_n(B, T, A);
        ea = eb;
        ++s.copiedBtoA;
      }
      s.residualPower[m][k] = r;
      s.residualGroupPower[m][g] += r;
      if (k < 280) s.residualTotal[m] += r;
      if (coupling[m][g] * ex > noise[m].noise[k] * margin) {
        const float gr = mu * ea.re, gi = mu * ea.im;
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

inline void Process(const Cpx* far, int numberOfMics, const float (*coupling)[kNumGroups],
                    const NoisePsdState* noise, Cpx* const* mics, int bestMic, int secondaryMic,
                    int talkState, AdaptiveFilter& s) {
  std::memset(s.residualTotal, 0, sizeof s.residualTotal);
  std::memset(s.farGroupPower, 0, sizeof s.farGroupPower);
  std::memset(s.echoGroupPower, 0, sizeof s.echoGroupPower);
  std::memset(s.micGroupPower, 0, sizeof s.micGroupPower);
  std::memset(s.residualGroupPower, 0, sizeof s.residualGroupPower);
  // Microphone list: BestMic first, then up to nine the others ascending; above nine the
  // secondary microphone and a part that rotates by 7 every ten frames.
  const bool rotate = numberOfMics > 9;
  if (rotate && s.frameCounter % 10 == 0) {
    s.rotationStart += 7;
    if (s.rotationStart >= numberOfMics) s.rotationStart -= numberOfMics;
  }
  const bool second =
      rotate && secondaryMic >= 0 && secondaryMic < numberOfMics && secondaryMic != bestMic;
  s.listCount = std::min(numberOfMics, 9);
  s.MicList[0] = bestMic;
  int n = 1;
  if (second) s.MicList[n++] = secondaryMic;
  for (int m = rotate ? s.rotationStart % numberOfMics : 0; n < s.listCount;
       m = (m + 1) % numberOfMics)
    if (m != bestMic && !(second && m == secondaryMic)) s.MicList[n++] = m;

  const float margin = talkState == 2 ? 100.0f : 400.0f;
  s.lowRingPos = (s.lowRingPos + 1) % 13;
  Band<13>(1, 39, 0, s.lowRingPos, 0.03f, s.lowCoef, s.lowHistory, far, coupling, noise, mics,
           margin, s);
  Band<8>(40, 279, 0, static_cast<int>(s.frameCounter % 8), 0.05f, s.midCoef, s.midHistory, far,
          coupling, noise, mics, margin, s);
  Band<4>(280, 480, 280, static_cast<int>(s.frameCounter % 4), 0.05f, s.highCoef, s.highHistory,
          far, coupling, noise, mics, margin, s);
  ++s.frameCounter;
}

}  // namespace orvo::reference
