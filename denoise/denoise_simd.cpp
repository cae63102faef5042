#include "denoise/denoise_simd.hpp"

namespace orvo {

bool DenoiseUseAvx2() {
#if ORVO_DENOISE_AVX2
#if defined(__clang__)
  // Clang names the features one by one (those of the x86-64-v3 set it can test; every
  // processor with them also has F16C).
  static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#else
  static const bool avx2 = __builtin_cpu_supports("x86-64-v3");
#endif
  return avx2;
#else
  return false;
#endif
}

}  // namespace orvo
