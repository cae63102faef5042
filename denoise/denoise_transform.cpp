#include "denoise/denoise_transform.hpp"

#include <cmath>
#include <cstring>
#include <numbers>

#include "denoise/denoise_transform_kernels.hpp"

namespace orvo {

namespace {

void FillStageTwiddles(SharedTables& t, int offset, int radix, int m, int stride) {
  for (int q = 1; q < radix; ++q)
    for (int j = 0; j < m; ++j) {
      const int k = j * q * stride;  // always below 960 for these stages
      t.stage_twiddle_re[offset + (q - 1) * m + j] = t.twiddle_re[k];
      t.stage_twiddle_im[offset + (q - 1) * m + j] = t.twiddle_im[k];
    }
}

SharedTables BuildSharedTables() {
  SharedTables t{};
  const double pi = std::numbers::pi;
  for (int k = 0; k < kN; ++k) {
    const double phase = -2.0 * pi * k / kN;
    t.twiddle_re[k] = static_cast<float>(std::cos(phase));
    t.twiddle_im[k] = static_cast<float>(std::sin(phase));
  }
  FillStageTwiddles(t, kTwiddleOffset5, 5, 192, 1);
  FillStageTwiddles(t, kTwiddleOffset3, 3, 64, 5);
  FillStageTwiddles(t, kTwiddleOffset4a, 4, 16, 15);
  FillStageTwiddles(t, kTwiddleOffset4b, 4, 4, 60);

  for (int i = 0; i < kHalf; ++i) {
    const double s = std::sin(0.5 * pi * (i + 0.5) / kHalf);
    t.window_half[i] = static_cast<float>(std::sin(0.5 * pi * s * s));
    t.window_full[i] = t.window_half[i];
    t.window_full[kN - 1 - i] = t.window_half[i];
  }
  for (int n = 0; n < kN; ++n)
    t.window_forward[n] = t.window_full[n] * kScale;
  for (int n = 0; n < kDctSize; ++n)
    for (int k = 0; k < kDctSize; ++k) {
      float c = static_cast<float>(std::cos((n + 0.5) * k * pi / kDctSize));
      if (k == 0) c = static_cast<float>(c * std::sqrt(0.5));
      t.dct_coeffs[n * kDctSize + k] = c;
    }
  t.dct_scale = std::sqrt(2.0 / kDctSize);
  return t;
}

void ForwardBaseline(Cpx* out, const float* in, float* re, float* im, const SharedTables& t) {
  Forward<Lanes4>(out, in, re, im, t);
}
void InverseBaseline(float* out, const Cpx* in, float* re, float* im, const SharedTables& t) {
  Inverse<Lanes4>(out, in, re, im, t);
}
void ScaledBaseline(const ScaledComplex& s, float* re, float* im, const SharedTables& t) {
  Transform<Lanes4>(s, re, im, t);
}

}  // namespace

const SharedTables& GetSharedTables() {
  static const SharedTables tables = BuildSharedTables();
  return tables;
}

void fft960(const float* in_re, const float* in_im, float* out_re, float* out_im, float scale,
            CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::DenoiseFft960(in_re, in_im, scale, out_re, out_im, GetSharedTables());
#endif
    default:
      return ScaledBaseline(ScaledComplex{in_re, in_im, scale}, out_re, out_im, GetSharedTables());
  }
}

bool forward_transform(Cpx* out, const float* in, const DenoiseAllocator& alloc, CpuLevel level) {
  ScratchBlock work(alloc, kN * sizeof(Cpx));
  if (!work) {
    std::memset(out, 0, kDenoiseBins * sizeof(Cpx));
    return false;
  }
  float* re = work.as<float>();
  float* im = re + kN;
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      avx2::DenoiseForward(out, in, re, im, GetSharedTables());
      break;
#endif
    default:
      ForwardBaseline(out, in, re, im, GetSharedTables());
  }
  return true;
}

bool inverse_transform(float* out, const Cpx* in, const DenoiseAllocator& alloc, CpuLevel level) {
  ScratchBlock work(alloc, kN * sizeof(Cpx));
  if (!work) {
    std::memset(out, 0, kN * sizeof(float));
    return false;
  }
  float* re = work.as<float>();
  float* im = re + kN;
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      avx2::DenoiseInverse(out, in, re, im, GetSharedTables());
      break;
#endif
    default:
      InverseBaseline(out, in, re, im, GetSharedTables());
  }
  return true;
}

}  // namespace orvo
