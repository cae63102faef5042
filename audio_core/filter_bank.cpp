// Weighted overlap-add analysis/synthesis filter bank.
#include "audio_core/filter_bank.hpp"

#include <cstring>

#include "audio_core/filter_bank_kernels.hpp"
#include "audio_core/transform.hpp"
#include "base/check.hpp"

namespace orvo {
namespace {

using filter_bank_detail::N;

void PreEmphasisBaseline(const int16_t* x, float previous, float* e) {
  filter_bank_detail::PreEmphasis(x, previous, e);
}
void Fold3Baseline(float* y, const float* h0, const float* b0, const float* h1, const float* b1,
                   const float* h2, const float* b2) {
  filter_bank_detail::Fold3(y, h0, b0, h1, b1, h2, b2);
}
float SynthesisOutputBaseline(float* const* acc, const float* const* t, const float* const* z,
                              float memory, int16_t* pcm) {
  return filter_bank_detail::SynthesisOutput(acc, t, z, memory, pcm);
}

constexpr FilterBankKernels kBaselineKernels = {PreEmphasisBaseline, Fold3Baseline,
                                                SynthesisOutputBaseline};

const FilterBankKernels& KernelsOf(CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::kFilterBankKernels;
#endif
    default:
      return kBaselineKernels;
  }
}

// The block of `storage` that p points at. Pointers into the record's own storage are kept as
// pointers to const (the same fields point at the constant tables in the other direction); this
// gives write access through the record instead of casting const away.
float* OwnBlock(FilterBankState& s, const float* p) {
  int r = 0;
  while (r + 1 < kFilterBankBlocks && p != s.storage[r])
    ++r;
  ORVO_CHECK(p == s.storage[r], "FilterBank");
  return s.storage[r];
}

// For copies: the same position in `to` when p points into `from`'s storage, else p itself.
const float* Repoint(const float* p, const FilterBankState& from, FilterBankState& to) {
  for (int r = 0; r < kFilterBankBlocks; ++r)
    if (p == from.storage[r]) return to.storage[r];
  return p;
}

template <typename P>
void RotateLeft(P (&p)[kFilterBankBlocks]) {
  P first = p[0];
  for (int m = 0; m + 1 < kFilterBankBlocks; ++m)
    p[m] = p[m + 1];
  p[kFilterBankBlocks - 1] = first;
}

}  // namespace

FilterBankState::FilterBankState(const FilterBankState& other) {
  *this = other;
}

FilterBankState& FilterBankState::operator=(const FilterBankState& other) {
  if (this == &other) return *this;
  memory = other.memory;
  level = other.level;
  std::memcpy(storage, other.storage, sizeof storage);
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    blocks[m] = Repoint(other.blocks[m], other, *this);
    segments[m] = Repoint(other.segments[m], other, *this);
  }
  return *this;
}

void FilterBank_Create(FilterBankState* state, CpuLevel level) {
  ORVO_CHECK(state != nullptr, "FilterBank");
  FilterBankState& s = *state;
  s.level = CpuLevelSupported(level) ? level : CpuLevel::kBaseline;
  s.memory = 0.0f;
  std::memset(s.storage, 0, sizeof s.storage);
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    s.blocks[m] = s.storage[m];
    s.segments[m] = FilterBankAnalysisWindow.data() + m * N;
  }
}

void FilterBank_CreateSynthesis(FilterBankState* state, CpuLevel level) {
  ORVO_CHECK(state != nullptr, "FilterBank");
  FilterBankState& s = *state;
  s.level = CpuLevelSupported(level) ? level : CpuLevel::kBaseline;
  s.memory = 0.0f;
  std::memset(s.storage, 0, sizeof s.storage);
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    s.blocks[m] = FilterBankPrototype + m * N;
    s.segments[m] = s.storage[m];
  }
}

void FilterBank_Analyze(const int16_t* pcm, Cpx* spectrum, FilterBankState& s) {
  const FilterBankKernels& k = KernelsOf(s.level);
  // 1. Pre-emphasis into the newest block.
  k.preEmphasis(pcm, s.memory, OwnBlock(s, s.blocks[5]));
  s.memory = static_cast<float>(pcm[N - 1]);

  // 2. Window the 5760 samples of history and fold them modulo 1920.
  float* y = reinterpret_cast<float*>(s.work);
  const float* const* b = s.blocks;
  const float* const* h = s.segments;
  k.fold3(y, h[0], b[0], h[2], b[2], h[4], b[4]);
  k.fold3(y + N, h[1], b[1], h[3], b[3], h[5], b[5]);

  // 3. Forward transform (consumes the folded block).
  RealFft1920(s.work, spectrum, kFftForward, s.level);

  // 4. The oldest block becomes the next frame's newest.
  RotateLeft(s.blocks);
}

void FilterBank_Synthesize(const Cpx* spectrum, int16_t* pcm, FilterBankState& s) {
  const FilterBankKernels& k = KernelsOf(s.level);
  // 1. Inverse transform of a copy: the transform consumes its input.
  std::memcpy(s.work, spectrum, sizeof s.work);
  RealFft1920(s.work, s.time, kFftInverse, s.level);
  const float* z = reinterpret_cast<const float*>(s.time);

  // 2. Spread over the six accumulation blocks (even segments take the first half of z, odd
  //    segments the second), and output the oldest block through the de-emphasis, clearing it.
  float* acc[kFilterBankBlocks];
  const float* zOf[kFilterBankBlocks];
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    acc[m] = OwnBlock(s, s.segments[m]);
    zOf[m] = (m % 2 == 0) ? z : z + N;
  }
  s.memory = k.synthesisOutput(acc, s.blocks, zOf, s.memory, pcm);

  // 3. The cleared block becomes the last accumulator.
  RotateLeft(s.segments);
}

}  // namespace orvo
