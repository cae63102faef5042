// Vector widths for the suppressor's kernels. The kernels are written once over an explicit
// vector type and built once per processor level (see base/cpu_level.hpp): with
// four-float vectors at the baseline level (SSE2) and eight-float vectors at the AVX2 level.
// Both keep every sum in the same order, so they compute the same results bit for bit.
#pragma once

#if defined(__GNUC__)
#define ORVO_ALWAYS_INLINE inline __attribute__((always_inline))
#define ORVO_FLATTEN __attribute__((flatten))
#else
#define ORVO_ALWAYS_INLINE inline
#define ORVO_FLATTEN
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

// Rows v[0..L-1] of an L x L block become its columns. (__builtin_shufflevector indices count
// through the first operand, then the second.)
ORVO_ALWAYS_INLINE void Transpose(Lanes4::Vec (&v)[4]) {
  typedef Lanes4::Vec V;
  const V t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5);
  const V t1 = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);
  const V t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 1, 5);
  const V t3 = __builtin_shufflevector(v[2], v[3], 2, 6, 3, 7);
  v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  v[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  v[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

ORVO_ALWAYS_INLINE void Transpose(Lanes8::Vec (&v)[8]) {
  typedef Lanes8::Vec V;
#define ORVO_LO 0, 8, 1, 9, 4, 12, 5, 13
#define ORVO_HI 2, 10, 3, 11, 6, 14, 7, 15
#define ORVO_EVEN 0, 1, 8, 9, 4, 5, 12, 13
#define ORVO_ODD 2, 3, 10, 11, 6, 7, 14, 15
#define ORVO_FIRST 0, 1, 2, 3, 8, 9, 10, 11
#define ORVO_SECOND 4, 5, 6, 7, 12, 13, 14, 15
  const V t0 = __builtin_shufflevector(v[0], v[1], ORVO_LO);
  const V t1 = __builtin_shufflevector(v[0], v[1], ORVO_HI);
  const V t2 = __builtin_shufflevector(v[2], v[3], ORVO_LO);
  const V t3 = __builtin_shufflevector(v[2], v[3], ORVO_HI);
  const V t4 = __builtin_shufflevector(v[4], v[5], ORVO_LO);
  const V t5 = __builtin_shufflevector(v[4], v[5], ORVO_HI);
  const V t6 = __builtin_shufflevector(v[6], v[7], ORVO_LO);
  const V t7 = __builtin_shufflevector(v[6], v[7], ORVO_HI);
  const V u0 = __builtin_shufflevector(t0, t2, ORVO_EVEN);
  const V u1 = __builtin_shufflevector(t0, t2, ORVO_ODD);
  const V u2 = __builtin_shufflevector(t1, t3, ORVO_EVEN);
  const V u3 = __builtin_shufflevector(t1, t3, ORVO_ODD);
  const V u4 = __builtin_shufflevector(t4, t6, ORVO_EVEN);
  const V u5 = __builtin_shufflevector(t4, t6, ORVO_ODD);
  const V u6 = __builtin_shufflevector(t5, t7, ORVO_EVEN);
  const V u7 = __builtin_shufflevector(t5, t7, ORVO_ODD);
  v[0] = __builtin_shufflevector(u0, u4, ORVO_FIRST);
  v[1] = __builtin_shufflevector(u1, u5, ORVO_FIRST);
  v[2] = __builtin_shufflevector(u2, u6, ORVO_FIRST);
  v[3] = __builtin_shufflevector(u3, u7, ORVO_FIRST);
  v[4] = __builtin_shufflevector(u0, u4, ORVO_SECOND);
  v[5] = __builtin_shufflevector(u1, u5, ORVO_SECOND);
  v[6] = __builtin_shufflevector(u2, u6, ORVO_SECOND);
  v[7] = __builtin_shufflevector(u3, u7, ORVO_SECOND);
#undef ORVO_LO
#undef ORVO_HI
#undef ORVO_EVEN
#undef ORVO_ODD
#undef ORVO_FIRST
#undef ORVO_SECOND
}

}  // namespace orvo
