// Mono adaptive echo filter. For every bin 1..480 and every microphone in this frame's list it
// runs two complex FIR filters along the frame axis of that bin: filter A adapts by a normalised
// LMS rule, filter B is a backup that only receives copies of A. The microphone bin is replaced
// by the smaller of the two errors. Bin 0 and bins 481..959 are left as they are.
//
//   band   bins       taps (frames)   power smoothing
//   low    1..39      13              0.03
//   mid    40..279    8               0.05
//   high   280..480   4               0.05
//
// Storage is laid out for vector processing across bins: bins are grouped in blocks of eight
// (block b holds bins 8b..8b+7), and within a block every tap, real and imaginary part is a run
// of eight floats. Lanes outside a band (bin 0, bins 481..487) carry zeros and stay inert.
#pragma once

#include <cstdint>

#include "audio_core/noise_psd.hpp"
#include "base/common.hpp"
#include "base/cpu_level.hpp"

namespace orvo {

constexpr int kAfLanes = 8;  // bins per block
constexpr int kAfLowTaps = 13;
constexpr int kAfMidTaps = 8;
constexpr int kAfHighTaps = 4;
constexpr int kAfLowFirstBin = 1;
constexpr int kAfMidFirstBin = 40;
constexpr int kAfHighFirstBin = 280;
constexpr int kAfLastBin = kTopBin;                                          // 480
constexpr int kAfLowBlocks = kAfMidFirstBin / kAfLanes;                      // bins 0..39
constexpr int kAfMidBlocks = (kAfHighFirstBin - kAfMidFirstBin) / kAfLanes;  // bins 40..279
constexpr int kAfHighBlocks = (kAfLastBin + 1 - kAfHighFirstBin + kAfLanes - 1) / kAfLanes;
constexpr int kAfPaddedBins = (kAfLowBlocks + kAfMidBlocks + kAfHighBlocks) * kAfLanes;  // 488
constexpr int kAfMaxListed = 9;  // microphones cancelled per frame at most

// Filters A and B of one microphone for one block of eight bins; tap j pairs with the reference
// of j frames ago.
template <int T>
struct AfCoefBlock {
  float aRe[T][kAfLanes];
  float aIm[T][kAfLanes];
  float bRe[T][kAfLanes];
  float bIm[T][kAfLanes];
};

// Reference history of one block of eight bins: a ring of T frames stored twice (slots s and
// s + T hold the same value), so the T most recent frames always lie in consecutive slots.
template <int T>
struct AfHistoryBlock {
  struct Slot {
    float re[kAfLanes];
    float im[kAfLanes];
  };
  Slot slot[2 * T];
};

// About 1 MB, aligned to 64 bytes: create it with new (or inside a record created with new),
// not with malloc.
struct alignas(64) AdaptiveFilterMono {
  // Filter coefficients per microphone and block.
  AfCoefBlock<kAfLowTaps> lowCoef[kMaxMics][kAfLowBlocks];
  AfCoefBlock<kAfMidTaps> midCoef[kMaxMics][kAfMidBlocks];
  AfCoefBlock<kAfHighTaps> highCoef[kMaxMics][kAfHighBlocks];
  // Reference histories per block.
  AfHistoryBlock<kAfLowTaps> lowHistory[kAfLowBlocks];
  AfHistoryBlock<kAfMidTaps> midHistory[kAfMidBlocks];
  AfHistoryBlock<kAfHighTaps> highHistory[kAfHighBlocks];
  // Output: |Y|^2 of the filter whose error was put out.
  float echoPower[kMaxMics][kNumBins];
  // Smoothed error powers of B and A and smoothed microphone power, per microphone and bin.
  float smoothedErrorB[kMaxMics][kAfPaddedBins];
  float smoothedErrorA[kMaxMics][kAfPaddedBins];
  float smoothedMicPower[kMaxMics][kAfPaddedBins];
  uint32_t frameCounter;  // frames processed so far
  int32_t lowRingPos;     // 0..12, advanced at the start of every low-band pass
  // Outputs: this frame's sums per band group.
  float farGroupPower[kNumGroups];                 // |X|^2
  float echoGroupPower[kMaxMics][kNumGroups];      // echo power
  float micGroupPower[kMaxMics][kNumGroups];       // |D|^2 before cancellation
  float residualGroupPower[kMaxMics][kNumGroups];  // residual power
  float refTapEnergy[kNumBins];                    // per bin, sum of |X|^2 over its history
  float residualPower[kMaxMics][kNumBins];         // output: power of the error put out
  float farBinPower[kNumBins];                     // output: |X|^2 of this frame
  float residualTotal[kMaxMics];                   // output: residual power over bins 1..279
  int32_t rotationStart;                           // first microphone of the rotating list part
  int32_t listCount;                               // valid entries of MicList (1..9)
  int32_t MicList[kAfMaxListed];                   // microphones cancelled, BestMic first

  // The processor level whose kernels run the band passes, set at creation.
  CpuLevel level;
  // Per-frame scratch, indexed by bin: the microphone spectrum being processed (split into real
  // and imaginary parts, replaced by the output error), its power, the far-end spectrum, the
  // step size and the coupling ratio of each bin's group.
  alignas(64) float workRe[kAfPaddedBins];
  alignas(64) float workIm[kAfPaddedBins];
  alignas(64) float workMicPower[kAfPaddedBins];
  alignas(64) float farRe[kAfPaddedBins];
  alignas(64) float farIm[kAfPaddedBins];
  alignas(64) float stepSize[kAfPaddedBins];
  alignas(64) float couplingOfBin[kAfPaddedBins];
};

// Zeroes the whole record and sets the processor level of its kernels (the baseline level when
// this processor cannot run `level`). A null record stops the process.
void AdaptiveFilterMono_Create(AdaptiveFilterMono* This, CpuLevel level = ProcessCpuLevel());

// One frame: builds the microphone list, runs the low, mid and high band passes over every
// listed microphone and increments the frame counter.
//   farSpectrum   the delayed far-end spectrum of this frame (960 bins)
//   NumberOfMics  microphones in use, 1..14; BestMic must be below it
//   coupling      echo-coupling ratio per microphone and group
//   noiseRecords  the 14 noise-estimator records; each listed microphone's `noise` is read
//   micSpectra    the 14 microphone spectrum buffers; listed ones are cancelled in place
//   BestMic       the output microphone, first in the list
//   secondaryMic  microphone kept in the list with 10 or more microphones, -1 for none
//   talkState     the previous frame's talk state (2: far end talking alone)
void AdaptiveFilterMono_Process(const Cpx* farSpectrum, int NumberOfMics,
                                const float coupling[kMaxMics][kNumGroups],
                                const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                int BestMic, int secondaryMic, int talkState,
                                AdaptiveFilterMono& state);

// The band passes, in the order Process runs them (the list must be built). `margin` is the
// adaptation margin: 100 while the far end talks alone, else 400.
void AdaptiveFilterMono_LowBand(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                                const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                float margin, AdaptiveFilterMono& state);
void AdaptiveFilterMono_MidBand(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                                const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                float margin, AdaptiveFilterMono& state);
void AdaptiveFilterMono_HighBand(const Cpx* farSpectrum, const float coupling[kMaxMics][kNumGroups],
                                 const NoisePsdState* noiseRecords, Cpx* const* micSpectra,
                                 float margin, AdaptiveFilterMono& state);

}  // namespace orvo
