// The neural noise suppressor's frame kernels at the AVX2 level.
#include "denoise/noise_suppressor_kernels.hpp"

namespace orvo::avx2 {
namespace {

void BandEnergiesAndCorrAvx2(float* Ex, float* Ep, float* Exp, const Cpx* X, const Cpx* P) {
  BandEnergiesAndCorrBody(Ex, Ep, Exp, X, P);
}

void ApplyBinGainsAvx2(Cpx* X, const float* gf) {
  ApplyBinGainsBody(X, gf);
}

// The high-pass's products are exact, so the fused multiply-add shortens the chain from sample
// to sample without changing a bit.
void HighpassAvx2(float* state, float* y, const float* x, int n) {
  Highpass<true, false>(state, y, x, n, nullptr);
}

void HighpassPrefixAvx2(float* state, float* y, const float* x, AutocorrPrefix* prefix) {
  Highpass<true, true>(state, y, x, kDenoiseHop, prefix);
}

void PitchFilterAvx2(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                     const float* g) {
  PitchFilterBody(X, P, Ex, Ep, Exp, g);
}

bool SmoothAndFreezeAvx2(DenoiserState& st, float* g, int speechFlag, float* gf) {
  return SmoothAndFreezeBody(st, g, speechFlag, gf);
}

}  // namespace

const SuppressorKernels kSuppressorKernels{
    BandEnergiesAndCorrAvx2, ApplyBinGainsAvx2, HighpassAvx2,
    HighpassPrefixAvx2,      PitchFilterAvx2,   SmoothAndFreezeAvx2};

}  // namespace orvo::avx2
