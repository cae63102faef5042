// The engine's 1920-point real transform and the 960-point complex transform it is built on.
//
// Spectrum layout: 960 complex values. Element k (1..959) is bin k at k * 25 Hz; element 0 packs
// the two purely real bins, DC in its real part and 24 kHz (bin 960) in its imaginary part.
// Scaling: the forward real transform yields twice the DFT, the inverse divides by 3840, so
// inverse(forward(x)) == x. Every power and threshold of the spectral stages assumes this scaling.
//
// Both transforms are stateless, allocate nothing and use constant twiddle tables. They pick an
// AVX2/FMA implementation at run time when the processor has it, a portable one otherwise.
#pragma once

#include "audio_core/common.hpp"

namespace orvo {

inline constexpr int kFftForward = 1;
inline constexpr int kFftInverse = -1;

// work, out: two distinct 960-complex buffers. direction: kFftForward or kFftInverse.
//   forward: work holds 1920 real samples (x[2n] in work[n].re, x[2n+1] in work[n].im); out
//            receives the packed spectrum.
//   inverse: work holds a packed spectrum; out receives the 1920 real samples in the same layout.
// In both directions work is scratch: its contents are destroyed.
void RealFft1920(Cpx* work, Cpx* out, int direction);

// in, out: two distinct 960-complex buffers; in is destroyed. Natural order in and out.
//   direction  1: out[k] = sum_n in[n] e^(-j 2 pi k n / 960)            (unscaled)
//   direction -1: out[k] = (1 / 3840) sum_n in[n] e^(+j 2 pi k n / 960)
void ComplexFft960(Cpx* in, Cpx* out, int direction);

// The individual implementations, so that tests and benchmarks can exercise each one on any
// machine. The public functions above dispatch to one of them.
namespace transform_impl {
struct Variant {
  const char* name;
  bool available;  // the processor can run it
  void (*complexFft960)(Cpx* in, Cpx* out, int direction);
  void (*realFft1920)(Cpx* work, Cpx* out, int direction);
};
// Portable first, then the AVX2/FMA one (where built).
int VariantCount();
const Variant& GetVariant(int index);
}  // namespace transform_impl

}  // namespace orvo
