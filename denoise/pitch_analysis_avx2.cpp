// The pitch analysis kernels at the AVX2 level: eight-float vectors.
#include "denoise/pitch_analysis_kernels.hpp"

namespace orvo::avx2 {
namespace {

void XcorrAvx2(const float* x, const float* y, float* out, int n, int lags) {
  Xcorr<Lanes8>(x, y, out, n, lags);
}

void XcorrAtAvx2(const float* x, const float* y, int y_len, const int* lags, float* out, int count,
                 int n) {
  XcorrAt<Lanes8>(x, y, y_len, lags, out, count, n);
}

void WhitenAvx2(float* d, const float* num) {
  WhitenInPlace<Lanes8>(d, num);
}

}  // namespace

const PitchKernels kPitchKernels{XcorrAvx2, XcorrAtAvx2, WhitenAvx2};

}  // namespace orvo::avx2
