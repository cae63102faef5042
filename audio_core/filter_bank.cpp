// Weighted overlap-add analysis/synthesis filter bank.
#include "audio_core/filter_bank.hpp"

#include <cstring>

#include "audio_core/check.hpp"
#include "audio_core/transform.hpp"

// The per-sample loops are built twice, for baseline x86-64 and for AVX2/FMA, and the processor
// picks at load time. ThreadSanitizer's runtime cannot resolve such functions at start-up, so
// its builds keep the baseline loops only.
// Windows has no load-time resolution of function clones: there every loop is a kernel inlined
// into one baseline and one x86-64-v3 function, and a dispatcher with the loop's own name picks
// one by the same processor test, so both systems run the same instructions (fused
// multiply-adds included) and give the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define ORVO_FB_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#define ORVO_FB_NAME(name) name
#elif defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(_WIN32)
#define ORVO_FB_EXPLICIT_DISPATCH 1
#define ORVO_FB_CLONES __attribute__((always_inline)) inline
#define ORVO_FB_NAME(name) name##Kernel
#else
#define ORVO_FB_CLONES
#define ORVO_FB_NAME(name) name
#endif

#if defined(__clang__)
#define ORVO_FB_SHUFFLE2(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define ORVO_FB_SHUFFLE2(a, b, ...) \
  __builtin_shuffle(a, b, (int __attribute__((vector_size(32)))){__VA_ARGS__})
#endif

namespace orvo {
namespace {

constexpr int N = kFrameSize;
constexpr float kEmphasis = 0.9f;

// The block of `storage` that p points at. Pointers into the record's own storage are kept as
// pointers to const (the same fields point at the constant tables in the other direction); this
// gives write access through the record instead of casting const away.
float* OwnBlock(FilterBankState& s, const float* p) {
  int r = 0;
  while (r + 1 < kFilterBankBlocks && p != s.storage[r])
    ++r;
  ORVO_CHECK(p == s.storage[r], "FilterBank");
  return s.storage[r];
}

// For copies: the same position in `to` when p points into `from`'s storage, else p itself.
const float* Repoint(const float* p, const FilterBankState& from, FilterBankState& to) {
  for (int r = 0; r < kFilterBankBlocks; ++r)
    if (p == from.storage[r]) return to.storage[r];
  return p;
}

// e[n] = x[n] - 0.9 x[n - 1], x[-1] = previous.
ORVO_FB_CLONES
void ORVO_FB_NAME(PreEmphasis)(const int16_t* __restrict x, float previous, float* __restrict e) {
  e[0] = static_cast<float>(x[0]) - kEmphasis * previous;
  for (int n = 1; n < N; ++n)
    e[n] = static_cast<float>(x[n]) - kEmphasis * static_cast<float>(x[n - 1]);
}

// y[n] = h0[n] b0[n] + h1[n] b1[n] + h2[n] b2[n]
ORVO_FB_CLONES
void ORVO_FB_NAME(Fold3)(float* __restrict y, const float* __restrict h0,
                         const float* __restrict b0, const float* __restrict h1,
                         const float* __restrict b1, const float* __restrict h2,
                         const float* __restrict b2) {
  for (int n = 0; n < N; ++n)
    y[n] = h0[n] * b0[n] + h1[n] * b1[n] + h2[n] * b2[n];
}

// q[n] += t[n] z[n]
ORVO_FB_CLONES
void ORVO_FB_NAME(Accumulate)(float* __restrict q, const float* __restrict t,
                              const float* __restrict z) {
  for (int n = 0; n < N; ++n)
    q[n] += t[n] * z[n];
}

// v[n] = q[n] + 0.9 v[n - 1], v[-1] = memory; returns v[959]. The recursion runs eight samples
// at a time as a prefix scan: within a group, three shift-and-add steps with 0.9, 0.9^2 and 0.9^4
// give sum_j 0.9^(i - j) q[j], and the previous group's last value enters with 0.9^(i + 1).
ORVO_FB_CLONES
float ORVO_FB_NAME(DeEmphasis)(const float* __restrict q, float* __restrict v, float memory) {
  typedef float V8 __attribute__((vector_size(32)));
  constexpr float a = kEmphasis, a2 = a * a, a4 = a2 * a2;
  const V8 zero = {};
  const V8 powers = {a, a2, a2 * a, a4, a4 * a, a4 * a2, a4 * a2 * a, a4 * a4};
  V8 previous = zero + memory;
  for (int n = 0; n < N; n += 8) {
    V8 x;
    std::memcpy(&x, q + n, sizeof x);
    x += a * ORVO_FB_SHUFFLE2(zero, x, 0, 8, 9, 10, 11, 12, 13, 14);
    x += a2 * ORVO_FB_SHUFFLE2(zero, x, 0, 1, 8, 9, 10, 11, 12, 13);
    x += a4 * ORVO_FB_SHUFFLE2(zero, x, 0, 1, 2, 3, 8, 9, 10, 11);
    x += powers * previous;
    std::memcpy(v + n, &x, sizeof x);
    previous = ORVO_FB_SHUFFLE2(x, x, 7, 7, 7, 7, 7, 7, 7, 7);
  }
  return v[N - 1];
}

// Truncation toward zero. Values beyond the 16-bit range saturate (converting them as they are
// would be undefined); a NaN gives 0.
ORVO_FB_CLONES
void ORVO_FB_NAME(ToPcm)(const float* __restrict v, int16_t* __restrict pcm) {
  for (int n = 0; n < N; ++n) {
    float x = v[n];
    x = (x == x) ? x : 0.0f;
    x = x < 32767.0f ? x : 32767.0f;
    x = x > -32768.0f ? x : -32768.0f;
    pcm[n] = static_cast<int16_t>(static_cast<int>(x));
  }
}

#if defined(ORVO_FB_EXPLICIT_DISPATCH)
bool HasX86_64_V3() {
  static const bool v3 = (__builtin_cpu_init(), __builtin_cpu_supports("x86-64-v3"));
  return v3;
}

#define ORVO_FB_DISPATCH(ret, name, params, args)                 \
  __attribute__((target("arch=x86-64-v3"))) ret name##V3 params { \
    return name##Kernel args;                                     \
  }                                                               \
  ret name##Baseline params {                                     \
    return name##Kernel args;                                     \
  }                                                               \
  ret name params {                                               \
    return HasX86_64_V3() ? name##V3 args : name##Baseline args;  \
  }

ORVO_FB_DISPATCH(void, PreEmphasis,
                 (const int16_t* __restrict x, float previous, float* __restrict e),
                 (x, previous, e))
ORVO_FB_DISPATCH(void, Fold3,
                 (float* __restrict y, const float* __restrict h0, const float* __restrict b0,
                  const float* __restrict h1, const float* __restrict b1,
                  const float* __restrict h2, const float* __restrict b2),
                 (y, h0, b0, h1, b1, h2, b2))
ORVO_FB_DISPATCH(void, Accumulate,
                 (float* __restrict q, const float* __restrict t, const float* __restrict z),
                 (q, t, z))
ORVO_FB_DISPATCH(float, DeEmphasis, (const float* __restrict q, float* __restrict v, float memory),
                 (q, v, memory))
ORVO_FB_DISPATCH(void, ToPcm, (const float* __restrict v, int16_t* __restrict pcm), (v, pcm))
#undef ORVO_FB_DISPATCH
#endif

template <typename P>
void RotateLeft(P (&p)[kFilterBankBlocks]) {
  P first = p[0];
  for (int m = 0; m + 1 < kFilterBankBlocks; ++m)
    p[m] = p[m + 1];
  p[kFilterBankBlocks - 1] = first;
}

}  // namespace

FilterBankState::FilterBankState(const FilterBankState& other) {
  *this = other;
}

FilterBankState& FilterBankState::operator=(const FilterBankState& other) {
  if (this == &other) return *this;
  memory = other.memory;
  std::memcpy(storage, other.storage, sizeof storage);
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    blocks[m] = Repoint(other.blocks[m], other, *this);
    segments[m] = Repoint(other.segments[m], other, *this);
  }
  return *this;
}

void FilterBank_Create(FilterBankState* state) {
  ORVO_CHECK(state != nullptr, "FilterBank");
  FilterBankState& s = *state;
  s.memory = 0.0f;
  std::memset(s.storage, 0, sizeof s.storage);
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    s.blocks[m] = s.storage[m];
    s.segments[m] = FilterBankAnalysisWindow.data() + m * N;
  }
}

void FilterBank_CreateSynthesis(FilterBankState* state) {
  ORVO_CHECK(state != nullptr, "FilterBank");
  FilterBankState& s = *state;
  s.memory = 0.0f;
  std::memset(s.storage, 0, sizeof s.storage);
  for (int m = 0; m < kFilterBankBlocks; ++m) {
    s.blocks[m] = FilterBankPrototype + m * N;
    s.segments[m] = s.storage[m];
  }
}

void FilterBank_Analyze(const int16_t* pcm, Cpx* spectrum, FilterBankState& s) {
  // 1. Pre-emphasis into the newest block.
  PreEmphasis(pcm, s.memory, OwnBlock(s, s.blocks[5]));
  s.memory = static_cast<float>(pcm[N - 1]);

  // 2. Window the 5760 samples of history and fold them modulo 1920.
  float* y = reinterpret_cast<float*>(s.work);
  const float* const* b = s.blocks;
  const float* const* h = s.segments;
  Fold3(y, h[0], b[0], h[2], b[2], h[4], b[4]);
  Fold3(y + N, h[1], b[1], h[3], b[3], h[5], b[5]);

  // 3. Forward transform (consumes the folded block).
  RealFft1920(s.work, spectrum, kFftForward);

  // 4. The oldest block becomes the next frame's newest.
  RotateLeft(s.blocks);
}

void FilterBank_Synthesize(const Cpx* spectrum, int16_t* pcm, FilterBankState& s) {
  // 1. Inverse transform of a copy: the transform consumes its input.
  std::memcpy(s.work, spectrum, sizeof s.work);
  RealFft1920(s.work, s.time, kFftInverse);
  const float* z = reinterpret_cast<const float*>(s.time);

  // 2. Spread over the six accumulation blocks: even segments take the first half of z, odd
  //    segments the second.
  for (int m = 0; m < kFilterBankBlocks; ++m)
    Accumulate(OwnBlock(s, s.segments[m]), s.blocks[m], (m % 2 == 0) ? z : z + N);

  // 3. Output the oldest block through the de-emphasis and clear it. The values before
  //    conversion go to `work`, free again once the inverse transform has consumed it.
  float* q0 = OwnBlock(s, s.segments[0]);
  float* v = reinterpret_cast<float*>(s.work);
  s.memory = DeEmphasis(q0, v, s.memory);
  ToPcm(v, pcm);
  std::memset(q0, 0, sizeof(float) * N);

  // 4. The cleared block becomes the last accumulator.
  RotateLeft(s.segments);
}

}  // namespace orvo
