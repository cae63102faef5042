// Weighted overlap-add analysis/synthesis filter bank: hop 960, 1920-point real transform,
// 5760-tap asymmetric low-delay prototype (six frames).
//
// Analysis: pre-emphasis 1 - 0.9 z^-1 of the 16-bit input, the last six frames windowed with the
// time-reversed prototype, folded onto 1920 samples and transformed forward.
// Synthesis: inverse transform, the 1920 samples spread with the prototype over six accumulation
// blocks, the oldest block output through the de-emphasis 1 / (1 - 0.9 z^-1) and converted to
// 16 bits. With the spectrum passed through unchanged, the output is the input delayed by
// kFilterBankDelay samples (three frames) up to the prototype's reconstruction error.
#pragma once

#include <array>
#include <cstdint>

#include "base/common.hpp"
#include "base/cpu_level.hpp"

namespace orvo {

inline constexpr int kFilterBankBlocks = 6;
inline constexpr int kPrototypeLength = kFilterBankBlocks * kFrameSize;  // 5760
inline constexpr int kFilterBankDelay = 3 * kFrameSize;                  // 2880 samples, 60 ms

// The prototype T. Its largest value is T[2054].
extern const float FilterBankPrototype[kPrototypeLength];
// The analysis window h[i] = T[5759 - i], shared by every analysis record.
extern const std::array<float, kPrototypeLength> FilterBankAnalysisWindow;

// One analysis or synthesis channel. The pointer arrays rotate instead of the blocks being copied;
// pointers into `storage` are re-pointed when a record is copied, so records can be copied and
// held in arrays freely.
struct FilterBankState {
  // Analysis: the last input sample of the previous frame. Synthesis: the last output value
  // before conversion to 16 bits.
  float memory = 0.0f;
  // The processor level of the per-sample loops and the transform, set at creation.
  CpuLevel level = CpuLevel::kBaseline;
  float storage[kFilterBankBlocks][kFrameSize] = {};
  // Analysis: the six history blocks in `storage`, oldest first.
  // Synthesis: the six prototype segments T[960 m .. 960 m + 959].
  const float* blocks[kFilterBankBlocks] = {};
  // Analysis: the six segments of the analysis window, h[960 m .. 960 m + 959].
  // Synthesis: the six accumulation blocks in `storage`, the one to be output next first.
  const float* segments[kFilterBankBlocks] = {};

  // Scratch of one call, nothing carried between frames: the folded 1920 samples (analysis) or
  // the copy of the spectrum the inverse transform consumes (synthesis), and the inverse
  // transform's output.
  alignas(32) Cpx work[kNumBins] = {};
  alignas(32) Cpx time[kNumBins] = {};

  FilterBankState() = default;
  FilterBankState(const FilterBankState& other);
  FilterBankState& operator=(const FilterBankState& other);
};

// Analysis set-up: zero memory and history, blocks on `storage`, segments on the window; the
// kernels of `level` (the baseline level when this processor cannot run it).
void FilterBank_Create(FilterBankState* state, CpuLevel level = ProcessCpuLevel());

// Synthesis set-up: zero memory and accumulators, blocks on the prototype segments, segments on
// `storage`; the kernels of `level` as with FilterBank_Create.
void FilterBank_CreateSynthesis(FilterBankState* state, CpuLevel level = ProcessCpuLevel());

// pcm: 960 samples in. spectrum: 960 complex values out, in the packed layout of RealFft1920.
void FilterBank_Analyze(const int16_t* pcm, Cpx* spectrum, FilterBankState& state);

// spectrum: 960 complex values in (not modified). pcm: 960 samples out. Output values are
// truncated toward zero; values beyond the 16-bit range saturate at -32768 / 32767.
void FilterBank_Synthesize(const Cpx* spectrum, int16_t* pcm, FilterBankState& state);

}  // namespace orvo
