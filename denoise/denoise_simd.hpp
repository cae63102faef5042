// Vector code for the suppressor's hot loops. The kernels are written once over an explicit
// vector type and built twice: with four-float vectors for baseline x86-64 (SSE2), and with
// eight-float vectors for x86-64-v3 (AVX2) processors, picked at run time. Both builds keep
// every sum in the same order, so they compute the same results bit for bit.
#pragma once

#if defined(__GNUC__)
#define ORVO_ALWAYS_INLINE inline __attribute__((always_inline))
#define ORVO_FLATTEN __attribute__((flatten))
#else
#define ORVO_ALWAYS_INLINE inline
#define ORVO_FLATTEN
#endif

// ORVO_DENOISE_BASELINE_ONLY builds the baseline code alone (to measure or test it).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ORVO_DENOISE_BASELINE_ONLY)
#define ORVO_DENOISE_AVX2 1
#define ORVO_TARGET_AVX2 __attribute__((target("arch=x86-64-v3")))
#else
#define ORVO_DENOISE_AVX2 0
#endif

namespace orvo {

// Vector width traits: the vector, the same for reading at any float address, a vector of as
// many int8 values, and a shuffle index vector.
struct Lanes4 {
  typedef float Vec __attribute__((vector_size(16)));
  typedef float Unaligned __attribute__((vector_size(16), aligned(4), may_alias));
  typedef signed char Bytes __attribute__((vector_size(4), aligned(1), may_alias));
  typedef int Index __attribute__((vector_size(16)));
  static constexpr int kLanes = 4;
};

struct Lanes8 {
  typedef float Vec __attribute__((vector_size(32)));
  typedef float Unaligned __attribute__((vector_size(32), aligned(4), may_alias));
  typedef signed char Bytes __attribute__((vector_size(8), aligned(1), may_alias));
  typedef int Index __attribute__((vector_size(32)));
  static constexpr int kLanes = 8;
};

// Whether this processor runs the x86-64-v3 (AVX2) code; decided once.
bool DenoiseUseAvx2();

}  // namespace orvo
