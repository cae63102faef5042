// Shared sizes, the complex bin type and the band-group table of the engine.
#pragma once

#include <cstdint>

namespace orvo {

constexpr int kFrameSize = 960;  // samples per channel and 20 ms frame at 48 kHz
constexpr int kNumBins = 960;    // spectrum elements per frame (NUMBER_OF_BANDS)
constexpr int NUMBER_OF_BANDS = kNumBins;
constexpr int kTopBin = 480;           // highest bin the spectral stages touch (12 kHz)
constexpr int kMaxMics = 14;           // microphone slots
constexpr int kFarEndSlot = 14;        // filter-bank and level-tracker slot of the far end
constexpr int kSpareSlot = 15;         // spare analysis / level-tracker slot
constexpr int kNumAnalysisSlots = 16;  // 14 microphones, far end, spare
constexpr int kNumGroups = 6;          // band groups of ParsPartTab

// One complex spectrum element: real part first, as two 32-bit floats.
struct Cpx {
  float re;
  float im;
};

// Upper edges (exclusive) of the six band groups shared by the echo filter, the coupling
// estimator, the double-talk detector and the near-end detector.
inline constexpr int ParsPartTab[kNumGroups] = {12, 24, 60, 140, 280, 959};

// Group of bin k (0..958); bin 959 and above fall outside every group and map to 5.
constexpr int GroupOfBin(int k) {
  for (int g = 0; g < kNumGroups; ++g)
    if (k < ParsPartTab[g]) return g;
  return kNumGroups - 1;
}

inline float Power(Cpx c) {
  return c.re * c.re + c.im * c.im;
}

}  // namespace orvo
