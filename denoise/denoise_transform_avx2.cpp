// The suppressor's transforms at the AVX2 level: eight-float vectors.
#include "denoise/denoise_transform_kernels.hpp"

namespace orvo::avx2 {

void DenoiseForward(Cpx* out, const float* in, float* re, float* im, const SharedTables& t) {
  Forward<Lanes8>(out, in, re, im, t);
}

void DenoiseInverse(float* out, const Cpx* in, float* re, float* im, const SharedTables& t) {
  Inverse<Lanes8>(out, in, re, im, t);
}

void DenoiseFft960(const float* in_re, const float* in_im, float scale, float* re, float* im,
                   const SharedTables& t) {
  Transform<Lanes8>(ScaledComplex{in_re, in_im, scale}, re, im, t);
}

}  // namespace orvo::avx2
