// The filter bank's per-sample loops at the AVX2 level.
#include "audio_core/filter_bank_kernels.hpp"

namespace orvo::avx2 {
namespace {

using namespace filter_bank_detail;

void PreEmphasisAvx2(const int16_t* x, float previous, float* e) {
  PreEmphasis(x, previous, e);
}
void Fold3Avx2(float* y, const float* h0, const float* b0, const float* h1, const float* b1,
               const float* h2, const float* b2) {
  Fold3(y, h0, b0, h1, b1, h2, b2);
}
float SynthesisOutputAvx2(float* const* acc, const float* const* t, const float* const* z,
                          float memory, int16_t* pcm) {
  return SynthesisOutput(acc, t, z, memory, pcm);
}

}  // namespace

const FilterBankKernels kFilterBankKernels = {PreEmphasisAvx2, Fold3Avx2, SynthesisOutputAvx2};

}  // namespace orvo::avx2
