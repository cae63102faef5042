// Code generation helpers for the suppressor's hot loops. The library targets baseline x86-64;
// where the toolchain supports function multi-versioning the hot kernels are also compiled for
// x86-64-v3 (AVX2) and picked at load time.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define ORVO_DENOISE_HOT __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define ORVO_DENOISE_HOT
#endif

#if defined(__GNUC__)
#define ORVO_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ORVO_ALWAYS_INLINE inline
#endif
