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
// Plain loops that profit from wider vectors as they are: built for both, chosen at load time.
#define ORVO_CLONES_AVX2 __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define ORVO_DENOISE_AVX2 0
#define ORVO_CLONES_AVX2
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

// Rows v[0..L-1] of an L x L block become its columns.
ORVO_ALWAYS_INLINE void Transpose(Lanes4::Vec (&v)[4]) {
  typedef Lanes4::Vec V;
  typedef Lanes4::Index I;
  const I lo = {0, 4, 1, 5}, hi = {2, 6, 3, 7}, first = {0, 1, 4, 5}, second = {2, 3, 6, 7};
  const V t0 = __builtin_shuffle(v[0], v[1], lo), t1 = __builtin_shuffle(v[0], v[1], hi);
  const V t2 = __builtin_shuffle(v[2], v[3], lo), t3 = __builtin_shuffle(v[2], v[3], hi);
  v[0] = __builtin_shuffle(t0, t2, first);
  v[1] = __builtin_shuffle(t0, t2, second);
  v[2] = __builtin_shuffle(t1, t3, first);
  v[3] = __builtin_shuffle(t1, t3, second);
}

ORVO_ALWAYS_INLINE void Transpose(Lanes8::Vec (&v)[8]) {
  typedef Lanes8::Vec V;
  typedef Lanes8::Index I;
  const I lo = {0, 8, 1, 9, 4, 12, 5, 13}, hi = {2, 10, 3, 11, 6, 14, 7, 15};
  const I even = {0, 1, 8, 9, 4, 5, 12, 13}, odd = {2, 3, 10, 11, 6, 7, 14, 15};
  const I first = {0, 1, 2, 3, 8, 9, 10, 11}, second = {4, 5, 6, 7, 12, 13, 14, 15};
  const V t0 = __builtin_shuffle(v[0], v[1], lo), t1 = __builtin_shuffle(v[0], v[1], hi);
  const V t2 = __builtin_shuffle(v[2], v[3], lo), t3 = __builtin_shuffle(v[2], v[3], hi);
  const V t4 = __builtin_shuffle(v[4], v[5], lo), t5 = __builtin_shuffle(v[4], v[5], hi);
  const V t6 = __builtin_shuffle(v[6], v[7], lo), t7 = __builtin_shuffle(v[6], v[7], hi);
  const V u0 = __builtin_shuffle(t0, t2, even), u1 = __builtin_shuffle(t0, t2, odd);
  const V u2 = __builtin_shuffle(t1, t3, even), u3 = __builtin_shuffle(t1, t3, odd);
  const V u4 = __builtin_shuffle(t4, t6, even), u5 = __builtin_shuffle(t4, t6, odd);
  const V u6 = __builtin_shuffle(t5, t7, even), u7 = __builtin_shuffle(t5, t7, odd);
  v[0] = __builtin_shuffle(u0, u4, first);
  v[1] = __builtin_shuffle(u1, u5, first);
  v[2] = __builtin_shuffle(u2, u6, first);
  v[3] = __builtin_shuffle(u3, u7, first);
  v[4] = __builtin_shuffle(u0, u4, second);
  v[5] = __builtin_shuffle(u1, u5, second);
  v[6] = __builtin_shuffle(u2, u6, second);
  v[7] = __builtin_shuffle(u3, u7, second);
}

// Whether this processor runs the x86-64-v3 (AVX2) code; decided once.
bool DenoiseUseAvx2();

}  // namespace orvo
