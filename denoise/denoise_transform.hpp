// Transforms of the neural noise suppressor: the constant tables shared by every suppressor (the
// 960-point FFT plan, the analysis/synthesis window, the DCT), the 960-point complex FFT, and
// the windowed forward and inverse transforms between 960 samples and 481 bins.
#pragma once

#include <cstdint>

#include "base/common.hpp"
#include "base/cpu_level.hpp"
#include "denoise/denoise_alloc.hpp"

namespace orvo {

inline constexpr int kDenoiseFftSize = 960;
inline constexpr int kDenoiseBins = 481;
inline constexpr int kDctSize = 22;

// Twiddle runs of the FFT's butterfly stages that need them: for each stage and each of its
// inputs q = 1..radix-1, the m twiddles of the m butterflies, contiguous.
inline constexpr int kFftStageTwiddles = 4 * 192 + 2 * 64 + 3 * 16 + 3 * 4;

struct SharedTables {
  float twiddle_re[kDenoiseFftSize];  // e^(-2 pi i k / 960)
  float twiddle_im[kDenoiseFftSize];
  float window_full[kDenoiseFftSize];     // window_half followed by its mirror
  float window_forward[kDenoiseFftSize];  // window_full / 960: window and forward scale at once
  float stage_twiddle_re[kFftStageTwiddles];
  float stage_twiddle_im[kFftStageTwiddles];
  float window_half[kDenoiseFftSize / 2];  // sin(pi/2 sin^2(pi/2 (i + 0.5) / 480))
  float dct_coeffs[kDctSize * kDctSize];   // cos((n + 0.5) k pi / 22), k = 0 times sqrt(0.5)
  double dct_scale;                        // sqrt(2 / 22)
};

// Built once, on first use, and never changed afterwards.
const SharedTables& GetSharedTables();

// out = scale * DFT(in), 960 points, forward direction (e^(-2 pi i k n / 960)). The scale is
// applied to each input value as the first butterflies read it; the butterflies (radices 5, 3,
// 4, 4, 4, outermost first) add none. out must not overlap in. `level` picks the kernels; every
// level gives the same bits.
void fft960(const float* in_re, const float* in_im, float* out_re, float* out_im, float scale,
            CpuLevel level);

// Windowed transform of 960 real samples; keeps bins 0 to 480. Allocates one 960-bin buffer;
// if that fails it writes zeros and returns false.
bool forward_transform(Cpx* out, const float* in, const DenoiseAllocator& alloc, CpuLevel level);

// Inverse of 481 bins (the upper half by conjugate symmetry) to 960 windowed samples, through the
// forward FFT read backwards. Same allocation and failure behaviour as forward_transform.
bool inverse_transform(float* out, const Cpx* in, const DenoiseAllocator& alloc, CpuLevel level);

}  // namespace orvo
