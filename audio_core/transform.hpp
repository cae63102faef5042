// The engine's 1920-point real transform and the 960-point complex transform it is built on.
//
// Spectrum layout: 960 complex values. Element k (1..959) is bin k at k * 25 Hz; element 0 packs
// the two purely real bins, DC in its real part and 24 kHz (bin 960) in its imaginary part.
// Scaling: the forward real transform yields twice the DFT, the inverse divides by 3840, so
// inverse(forward(x)) == x. Every power and threshold of the spectral stages assumes this scaling.
//
// Both transforms are stateless, allocate nothing and use constant twiddle tables. They run the
// kernels of the given processor level (see cpu_level.hpp); every level gives the same bits.
#pragma once

#include "base/common.hpp"
#include "base/cpu_level.hpp"

namespace orvo {

inline constexpr int kFftForward = 1;
inline constexpr int kFftInverse = -1;

// work, out: two distinct 960-complex buffers. direction: kFftForward or kFftInverse.
//   forward: work holds 1920 real samples (x[2n] in work[n].re, x[2n+1] in work[n].im); out
//            receives the packed spectrum.
//   inverse: work holds a packed spectrum; out receives the 1920 real samples in the same layout.
// In both directions work is scratch: its contents are destroyed.
void RealFft1920(Cpx* work, Cpx* out, int direction, CpuLevel level);

// in, out: two distinct 960-complex buffers; in is destroyed. Natural order in and out.
//   direction  1: out[k] = sum_n in[n] e^(-j 2 pi k n / 960)            (unscaled)
//   direction -1: out[k] = (1 / 3840) sum_n in[n] e^(+j 2 pi k n / 960)
void ComplexFft960(Cpx* in, Cpx* out, int direction, CpuLevel level);

}  // namespace orvo
