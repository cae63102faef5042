#include "denoise/denoise_simd.hpp"

namespace orvo {

bool DenoiseUseAvx2() {
#if ORVO_DENOISE_AVX2
  static const bool avx2 = __builtin_cpu_supports("x86-64-v3");
  return avx2;
#else
  return false;
#endif
}

}  // namespace orvo
