#include "denoise/noise_suppressor.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "denoise/denoise_simd.hpp"
#include "denoise/denoise_transform.hpp"

namespace orvo {

namespace {

// High-pass coefficients, as floats: b = (-2, 1), a = (-1.99599, 0.996).
constexpr float kHighpassB1 = -2.0f;
constexpr float kHighpassB2 = 1.0f;
constexpr float kHighpassA1 = -1.99599f;
constexpr float kHighpassA2 = 0.996f;
static_assert(std::bit_cast<std::uint32_t>(kHighpassA1) == 0xBFFF7C9Au);
static_assert(std::bit_cast<std::uint32_t>(kHighpassA2) == 0x3F7EF9DBu);

constexpr float kGainDecay = 0.97f;    // a band gain falls by at most 3 % per hop
constexpr float kFreezeGain = 0.333f;  // a bin below this counts as pulled down
constexpr int kFreezeFirstBin = 4;     // 200 Hz
constexpr int kFreezeLastBin = 79;     // 3950 Hz
constexpr int kFreezeMinBins = 15;
constexpr double kSilenceEnergy = 0.04;

inline float Max(float a, float b) {
  return a > b ? a : b;
}

// Per bin below 400: its band segment b (between the centres of bands b and b + 1) and its
// position in it, frac = j / width, with 1 - frac beside it.
struct BandLayout {
  std::uint8_t band[kGainedBins];
  float frac[kGainedBins];
  float rest[kGainedBins];
};

const BandLayout& GetBandLayout() {
  static const BandLayout layout = [] {
    BandLayout l{};
    for (int b = 0; b < kDenoiseBands - 1; ++b) {
      const int width = (band_edges[b + 1] - band_edges[b]) << 2;
      for (int j = 0; j < width; ++j) {
        const int k = (band_edges[b] << 2) + j;
        l.band[k] = static_cast<std::uint8_t>(b);
        l.frac[k] = static_cast<float>(j) / static_cast<float>(width);
        l.rest[k] = 1.0f - l.frac[k];
      }
    }
    return l;
  }();
  return layout;
}

using NetworkFn = bool (*)(NetworkState&, float*, float*, const float*, const Logger&,
                           const DenoiseAllocator&);

void HighpassWithPrefix(float* state, float* y, const float* x, const float* history,
                        AutocorrPrefix& prefix);
bool FrameTransform(DenoiserState& st, Cpx* X, const float* in, const Logger& log,
                    const DenoiseAllocator& alloc);
int FrameFeatures(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                  float* features, const float* in, const Logger& log,
                  const DenoiseAllocator& alloc, const PitchKernels& kernels,
                  const AutocorrPrefix* prefix);

void ApplyBinGains(Cpx* X, const float* gf);

bool ProcessFrame(DenoiserState& st, float* out, const float* in, int speechFlag, const Logger& log,
                  const DenoiseAllocator& alloc, float* vad, const PitchKernels& kernels,
                  NetworkFn network, bool overlap_chains) {
  ScratchBlock x_block(alloc, kDenoiseFreqBins * sizeof(Cpx));
  ScratchBlock p_block(alloc, kDenoiseWindow * sizeof(Cpx));
  ScratchBlock in_block(alloc, kDenoiseHop * sizeof(float));
  if (!x_block || !p_block || !in_block) {
    log.Printf(kDenoiseMallocFailed, "rnnoise_process_frame", 718);
    return false;
  }
  Cpx* X = x_block.as<Cpx>();
  Cpx* P = p_block.as<Cpx>();
  float* x = in_block.as<float>();
  // The fast path runs the first pitch autocorrelation terms in the high-pass filter's shadow.
  AutocorrPrefix prefix;
  if (overlap_chains)
    HighpassWithPrefix(st.highpass_state, x, in, st.pitch_history, prefix);  // last read of `in`
  else
    highpass_filter(st.highpass_state, x, in, kDenoiseHop);

  float Ex[kDenoiseBands], Ep[kDenoiseBands], Exp[kDenoiseBands];
  float features[kDenoiseFeatures];
  const int silence = FrameFeatures(st, X, P, Ex, Ep, Exp, features, x, log, alloc, kernels,
                                    overlap_chains ? &prefix : nullptr);

  // Unit gains on silent frames, and where the network could not run.
  float g[kDenoiseBands];
  for (float& v : g)
    v = 1.0f;
  float vad_prob = 0.0f;
  if (silence == 0) network(st.network_state, g, &vad_prob, features, log, alloc);

  pitch_filter(X, P, Ex, Ep, Exp, g);
  float gf[kDenoiseFreqBins];
  smooth_and_freeze_gains(st, g, speechFlag, gf);
  ApplyBinGains(X, gf);
  if (vad != nullptr) *vad = vad_prob;
  return frame_synthesis(st, out, X, log, alloc);
}

}  // namespace

void rnnoise_init(DenoiserState& st, float offered_gain_floor) {
  // Build the shared constant tables now, at engine creation, rather than in the first frame.
  GetSharedTables();
  GetBandLayout();
  PrepareDenoiseModel();
  FastPitchKernels();

  st = DenoiserState{};
  st.gain_floor = kDefaultGainFloor;
  if (offered_gain_floor > kDefaultGainFloor && offered_gain_floor <= 1.0f)
    st.gain_floor = offered_gain_floor;
  st.saved_bin_gains[0] = 1.0f;
}

bool rnnoise_process_frame(DenoiserState& st, float* out, const float* in, int speechFlag,
                           const Logger& log, const DenoiseAllocator& alloc, float* vad) {
  return ProcessFrame(st, out, in, speechFlag, log, alloc, vad, FastPitchKernels(), compute_rnn,
                      true);
}

bool rnnoise_process_frame_reference(DenoiserState& st, float* out, const float* in, int speechFlag,
                                     const Logger& log, const DenoiseAllocator& alloc, float* vad) {
  return ProcessFrame(st, out, in, speechFlag, log, alloc, vad, ReferencePitchKernels(),
                      compute_rnn_reference, false);
}

void rnnoise_process_engine_frame(DenoiserState& st, float* samples, int speechFlag,
                                  const Logger& log, const DenoiseAllocator& alloc) {
  rnnoise_process_frame(st, samples, samples, speechFlag, log, alloc);
  rnnoise_process_frame(st, samples + kDenoiseHop, samples + kDenoiseHop, speechFlag, log, alloc);
}

// ---------------------------------------------------------------------------------------------

namespace {

// Band sums. Band b collects the terms t(k) of its lower segment (bins from its centre up to the
// next one) weighted by 1 - frac and those of the segment below it weighted by frac, each sum in
// bin order: segment b first adds rest[k] t(k) to the sum of band b (which already holds the
// frac terms of segment b - 1) and starts band b + 1 with frac[k] t(k). The weighted terms are
// computed first, side by side; the additions then run as chains. Two walkers share the loop
// so that their chains overlap: one over segments 0 to 17 (bins 0 .. 191), one over segments
// 18 to 20 (bins 192 .. 399). The second cannot start band 18 before the first has finished band
// 18's lower part, so its lower-segment sum of segment 18 is added afterwards.

constexpr int kSplitSegment = 18;
constexpr int kSplitBin = band_edges[kSplitSegment] << 2;  // 192

struct BandTerms {
  float lower[kGainedBins];  // rest[k] t(k): to the band below bin k
  float upper[kGainedBins];  // frac[k] t(k): to the band above
};

// Sums of K sets of weighted terms into K sets of 22 band values.
template <int K>
ORVO_ALWAYS_INLINE void SumBands(float* const (&out)[K], const BandTerms* const (&terms)[K]) {
  float lo_a[K], hi_a[K], lo_b[K], hi_b[K];
  for (int j = 0; j < K; ++j)
    lo_a[j] = hi_a[j] = lo_b[j] = hi_b[j] = 0.0f;
  int band_a = 0, end_a = band_edges[1] << 2;
  int band_b = kSplitSegment, end_b = band_edges[kSplitSegment + 1] << 2;
  const int span_b = kGainedBins - kSplitBin;
  for (int i = 0; i < span_b; ++i) {
    if (i < kSplitBin) {
      for (int j = 0; j < K; ++j) {
        lo_a[j] += terms[j]->lower[i];
        hi_a[j] += terms[j]->upper[i];
      }
      if (i + 1 == end_a) {
        for (int j = 0; j < K; ++j) {
          out[j][band_a] = lo_a[j];
          lo_a[j] = hi_a[j];
          hi_a[j] = 0.0f;
        }
        ++band_a;
        end_a = band_edges[band_a + 1] << 2;
      }
    }
    const int k = kSplitBin + i;
    for (int j = 0; j < K; ++j) {
      lo_b[j] += terms[j]->lower[k];  // segment 18: replaced below
      hi_b[j] += terms[j]->upper[k];
    }
    if (k + 1 == end_b) {
      for (int j = 0; j < K; ++j) {
        if (band_b != kSplitSegment) out[j][band_b] = lo_b[j];
        lo_b[j] = hi_b[j];
        hi_b[j] = 0.0f;
      }
      ++band_b;
      if (band_b < kDenoiseBands - 1) end_b = band_edges[band_b + 1] << 2;
    }
  }
  // Band 18: the frac terms of segment 17 (the first walker's carry), then segment 18's own.
  const int end18 = band_edges[kSplitSegment + 1] << 2;
  for (int j = 0; j < K; ++j) {
    float lo = lo_a[j];
    for (int k = kSplitBin; k < end18; ++k)
      lo += terms[j]->lower[k];
    out[j][kSplitSegment] = lo;
    out[j][kDenoiseBands - 1] = lo_b[j];
    out[j][0] *= 2.0f;
    out[j][kDenoiseBands - 1] *= 2.0f;
  }
}

void EnergyTerms(BandTerms& t, const Cpx* X) {
  const BandLayout& l = GetBandLayout();
  for (int k = 0; k < kGainedBins; ++k) {
    float e = X[k].re * X[k].re;
    e = e + X[k].im * X[k].im;
    t.lower[k] = l.rest[k] * e;
    t.upper[k] = l.frac[k] * e;
  }
}

void CorrTerms(BandTerms& t, const Cpx* X, const Cpx* P) {
  const BandLayout& l = GetBandLayout();
  for (int k = 0; k < kGainedBins; ++k) {
    float c = X[k].re * P[k].re;
    c = c + X[k].im * P[k].im;
    t.lower[k] = l.rest[k] * c;
    t.upper[k] = l.frac[k] * c;
  }
}

// Band energies of X and of P and band correlations of X and P together.
ORVO_ALWAYS_INLINE void BandEnergiesAndCorrBody(float* Ex, float* Ep, float* Exp, const Cpx* X,
                                                const Cpx* P) {
  BandTerms tx, tp, tc;
  EnergyTerms(tx, X);
  EnergyTerms(tp, P);
  CorrTerms(tc, X, P);
  float* const out[3] = {Ex, Ep, Exp};
  const BandTerms* const terms[3] = {&tx, &tp, &tc};
  SumBands<3>(out, terms);
}

// The bin-by-bin loops of the frame (plain loops; the x86-64-v3 build vectorises them with
// eight lanes). Same operations in both builds.

ORVO_ALWAYS_INLINE void ApplyBinGainsBody(Cpx* X, const float* gf) {
  for (int k = 0; k < kDenoiseFreqBins; ++k) {
    X[k].re *= gf[k];
    X[k].im *= gf[k];
  }
}

ORVO_ALWAYS_INLINE void InterpBandGainBody(float* g, const float* bandE) {
  const BandLayout& l = GetBandLayout();
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const float lo = bandE[b];
    const float hi = bandE[b + 1];
    for (int k = band_edges[b] << 2; k < band_edges[b + 1] << 2; ++k)
      g[k] = l.rest[k] * lo + l.frac[k] * hi;
  }
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k)
    g[k] = 0.0f;
}

void BandEnergiesAndCorrBaseline(float* Ex, float* Ep, float* Exp, const Cpx* X, const Cpx* P) {
  BandEnergiesAndCorrBody(Ex, Ep, Exp, X, P);
}
void ApplyBinGainsBaseline(Cpx* X, const float* gf) {
  ApplyBinGainsBody(X, gf);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void BandEnergiesAndCorrAvx2(float* Ex, float* Ep, float* Exp, const Cpx* X,
                                              const Cpx* P) {
  BandEnergiesAndCorrBody(Ex, Ep, Exp, X, P);
}
ORVO_TARGET_AVX2 void ApplyBinGainsAvx2(Cpx* X, const float* gf) {
  ApplyBinGainsBody(X, gf);
}
#endif

void BandEnergiesAndCorr(float* Ex, float* Ep, float* Exp, const Cpx* X, const Cpx* P) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return BandEnergiesAndCorrAvx2(Ex, Ep, Exp, X, P);
#endif
  BandEnergiesAndCorrBaseline(Ex, Ep, Exp, X, P);
}

void ApplyBinGains(Cpx* X, const float* gf) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return ApplyBinGainsAvx2(X, gf);
#endif
  ApplyBinGainsBaseline(X, gf);
}

}  // namespace

void compute_band_energy(float* bandE, const Cpx* X) {
  BandTerms t;
  EnergyTerms(t, X);
  float* const out[1] = {bandE};
  const BandTerms* const terms[1] = {&t};
  SumBands<1>(out, terms);
}

void compute_band_corr(float* bandC, const Cpx* X, const Cpx* P) {
  BandTerms t;
  CorrTerms(t, X, P);
  float* const out[1] = {bandC};
  const BandTerms* const terms[1] = {&t};
  SumBands<1>(out, terms);
}

void interp_band_gain(float* g, const float* bandE) {
  InterpBandGainBody(g, bandE);
}

void dct22(float* out, const float* in) {
  const SharedTables& t = GetSharedTables();
  // All 22 sums side by side, each over n in order.
  float sum[kDctSize] = {};
  for (int n = 0; n < kDctSize; ++n)
    for (int k = 0; k < kDctSize; ++k)
      sum[k] += in[n] * t.dct_coeffs[n * kDctSize + k];
  for (int k = 0; k < kDctSize; ++k)
    out[k] = static_cast<float>(sum[k] * t.dct_scale);
}

namespace {

// The products of the double-precision updates are exact (float times float), so each update
// has a single rounding; a fused multiply-add computes exactly the same value with a shorter
// chain from one sample to the next.
//
// The filter is one long chain from sample to sample, so other independent chains can run in
// its shadow: with `prefix`, the first autocorrelation terms of the pitch analysis advance in the
// same loop (kAutocorrPrefix steps over the hop).
template <bool kFused, bool kPrefix>
ORVO_ALWAYS_INLINE void Highpass(float* state, float* y, const float* x, int n,
                                 AutocorrPrefix* prefix) {
  constexpr double b1 = kHighpassB1, b2 = kHighpassB2, a1 = kHighpassA1, a2 = kHighpassA2;
  float m0 = state[0];
  float m1 = state[1];
  for (int i = 0; i < n; ++i) {
    const float u = x[i];
    const float yi = u + m0;
    const double ud = u, yd = yi;
    if constexpr (kFused) {
      m0 = static_cast<float>(m1 + __builtin_fma(-a1, yd, b1 * ud));
      m1 = static_cast<float>(__builtin_fma(-a2, yd, b2 * ud));
    } else {
      m0 = static_cast<float>(m1 + (b1 * ud - a1 * yd));
      m1 = static_cast<float>(b2 * ud - a2 * yd);
    }
    y[i] = yi;
    if constexpr (kPrefix) {
      prefix->Step();
      if (i < kAutocorrPrefix - kDenoiseHop) prefix->Step();
    }
  }
  state[0] = m0;
  state[1] = m1;
}

void HighpassBaseline(float* state, float* y, const float* x, int n) {
  Highpass<false, false>(state, y, x, n, nullptr);
}

void HighpassPrefixBaseline(float* state, float* y, const float* x, AutocorrPrefix* prefix) {
  Highpass<false, true>(state, y, x, kDenoiseHop, prefix);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void HighpassAvx2(float* state, float* y, const float* x, int n) {
  Highpass<true, false>(state, y, x, n, nullptr);
}

ORVO_TARGET_AVX2 void HighpassPrefixAvx2(float* state, float* y, const float* x,
                                         AutocorrPrefix* prefix) {
  Highpass<true, true>(state, y, x, kDenoiseHop, prefix);
}
#endif

// One hop through the high-pass while the pitch autocorrelation prefix of `history` (before its
// shift) advances.
void HighpassWithPrefix(float* state, float* y, const float* x, const float* history,
                        AutocorrPrefix& prefix) {
  prefix.Start(history);
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return HighpassPrefixAvx2(state, y, x, &prefix);
#endif
  HighpassPrefixBaseline(state, y, x, &prefix);
}

}  // namespace

void highpass_filter(float* state, float* y, const float* x, int n) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return HighpassAvx2(state, y, x, n);
#endif
  HighpassBaseline(state, y, x, n);
}

bool frame_analysis(DenoiserState& st, Cpx* X, float* Ex, const float* in, const Logger& log,
                    const DenoiseAllocator& alloc) {
  const bool ok = FrameTransform(st, X, in, log, alloc);
  if (ok)
    compute_band_energy(Ex, X);
  else
    std::memset(Ex, 0, kDenoiseBands * sizeof(float));
  return ok;
}

namespace {

// frame_analysis without the band energies.
bool FrameTransform(DenoiserState& st, Cpx* X, const float* in, const Logger& log,
                    const DenoiseAllocator& alloc) {
  ScratchBlock scratch(alloc, kDenoiseWindow * sizeof(float));
  if (!scratch) {
    log.Printf(kDenoiseMallocFailed, "frame_analysis", 376);
    std::memset(X, 0, kDenoiseFreqBins * sizeof(Cpx));
    return false;
  }
  float* frame = scratch.as<float>();
  std::memcpy(frame, st.analysis_history, kDenoiseHop * sizeof(float));
  std::memcpy(frame + kDenoiseHop, in, kDenoiseHop * sizeof(float));
  std::memcpy(st.analysis_history, in, kDenoiseHop * sizeof(float));
  forward_transform(X, frame, alloc);
  return true;
}

}  // namespace

int compute_frame_features(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                           float* features, const float* in, const Logger& log,
                           const DenoiseAllocator& alloc, const PitchKernels& kernels) {
  return FrameFeatures(st, X, P, Ex, Ep, Exp, features, in, log, alloc, kernels, nullptr);
}

namespace {

int FrameFeatures(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                  float* features, const float* in, const Logger& log,
                  const DenoiseAllocator& alloc, const PitchKernels& kernels,
                  const AutocorrPrefix* prefix) {
  // The band energies of X are summed later, together with those of P.
  FrameTransform(st, X, in, log, alloc);

  ScratchBlock scratch(alloc, kPitchDownsampled * sizeof(float));
  if (!scratch) {
    log.Printf(kDenoiseMallocFailed, "compute_frame_features", 420);
    compute_band_energy(Ex, X);
    std::memset(P, 0, kDenoiseFreqBins * sizeof(Cpx));
    std::memset(Ep, 0, kDenoiseBands * sizeof(float));
    std::memset(Exp, 0, kDenoiseBands * sizeof(float));
    std::memset(features, 0, kDenoiseFeatures * sizeof(float));
    return -1;
  }
  float* pitch_buf = scratch.as<float>();

  // Pitch: the newest 1728 samples, down-sampled; the analysis frame is their last 960.
  std::memmove(st.pitch_history, st.pitch_history + kDenoiseHop,
               (kPitchHistory - kDenoiseHop) * sizeof(float));
  std::memcpy(st.pitch_history + kPitchHistory - kDenoiseHop, in, kDenoiseHop * sizeof(float));
  pitch_downsample(st.pitch_history, pitch_buf, kernels, prefix);
  PitchEnergies energies;
  pitch_energies(pitch_buf, energies);
  int pitch_index =
      kPitchMaxPeriod - pitch_search(pitch_buf + kPitchMaxPeriod / 2, pitch_buf, kPitchFrameSize,
                                     kMaxPitchSearch, kernels, &energies);
  const float gain =
      remove_doubling(pitch_buf, kPitchMaxPeriod, kPitchMinPeriod, kPitchFrameSize, &pitch_index,
                      st.prev_pitch_period, st.prev_pitch_gain, kernels, &energies);
  st.prev_pitch_period = pitch_index;
  st.prev_pitch_gain = gain;

  // The analysis frame delayed by one pitch period.
  forward_transform(P, st.pitch_history + kPitchMaxPeriod - pitch_index, alloc);
  BandEnergiesAndCorr(Ex, Ep, Exp, X, P);
  for (int b = 0; b < kDenoiseBands; ++b)
    Exp[b] = static_cast<float>(Exp[b] / std::sqrt(0.001 + static_cast<double>(Ex[b] * Ep[b])));
  float tmp[kDenoiseBands];
  dct22(tmp, Exp);
  for (int i = 0; i < kDeltaCepstra; ++i)
    features[kDenoiseBands + 2 * kDeltaCepstra + i] = tmp[i];
  features[34] = static_cast<float>(features[34] - 1.3);
  features[35] = static_cast<float>(features[35] - 0.9);
  features[40] = static_cast<float>(0.01 * (pitch_index - 300));

  // Log band energies, each at least 7 below the running maximum and 1.5 below its neighbour.
  float Ly[kDenoiseBands];
  float log_max = -2.0f;
  float follow = -2.0f;
  float E = 0.0f;
  for (int b = 0; b < kDenoiseBands; ++b) {
    Ly[b] = static_cast<float>(std::log10(1e-2 + static_cast<double>(Ex[b])));
    const double from_follow = follow - 1.5;
    double v = from_follow > Ly[b] ? from_follow : static_cast<double>(Ly[b]);
    const float from_max = log_max - 7.0f;
    v = from_max > v ? static_cast<double>(from_max) : v;
    Ly[b] = static_cast<float>(v);
    log_max = Max(log_max, Ly[b]);
    follow = static_cast<float>(follow - 1.5 > Ly[b] ? follow - 1.5 : static_cast<double>(Ly[b]));
    E += Ex[b];
  }
  if (E < kSilenceEnergy) {
    std::memset(features, 0, kDenoiseFeatures * sizeof(float));
    return 1;
  }

  // Cepstrum with its first and second differences over the last three frames.
  dct22(features, Ly);
  features[0] -= 12;
  features[1] -= 4;
  float* ceps_0 = st.cepstrum_history[st.cepstrum_pos];
  const float* ceps_1 = st.cepstrum_history[(st.cepstrum_pos + kCepstrumRing - 1) % kCepstrumRing];
  const float* ceps_2 = st.cepstrum_history[(st.cepstrum_pos + kCepstrumRing - 2) % kCepstrumRing];
  std::memcpy(ceps_0, features, kDenoiseBands * sizeof(float));
  st.cepstrum_pos = (st.cepstrum_pos + 1) % kCepstrumRing;
  for (int i = 0; i < kDeltaCepstra; ++i) {
    features[i] = ceps_0[i] + ceps_1[i] + ceps_2[i];
    features[kDenoiseBands + i] = ceps_0[i] - ceps_2[i];
    features[kDenoiseBands + kDeltaCepstra + i] = ceps_0[i] - 2 * ceps_1[i] + ceps_2[i];
  }

  // Spectral variability: mean distance of each stored cepstrum to its nearest neighbour. With
  // the eight stored cepstra as the lanes of a vector (band by band), lane i of v - v rotated by
  // o is the difference between cepstra i and i + o (mod 8); the distance is symmetric
  // ((a - b)^2 = (b - a)^2 exactly), so offsets 1 to 4 cover all 28 pairs, each summed in band
  // order.
  static_assert(kCepstrumRing == Lanes8::kLanes);
  typedef Lanes8::Vec V;
  V dist[4] = {};
  for (int k = 0; k < kDenoiseBands; ++k) {
    V v;
    for (int i = 0; i < kCepstrumRing; ++i)
      v[i] = st.cepstrum_history[i][k];
    const V d1 = v - __builtin_shufflevector(v, v, 1, 2, 3, 4, 5, 6, 7, 0);
    const V d2 = v - __builtin_shufflevector(v, v, 2, 3, 4, 5, 6, 7, 0, 1);
    const V d3 = v - __builtin_shufflevector(v, v, 3, 4, 5, 6, 7, 0, 1, 2);
    const V d4 = v - __builtin_shufflevector(v, v, 4, 5, 6, 7, 0, 1, 2, 3);
    dist[0] += d1 * d1;
    dist[1] += d2 * d2;
    dist[2] += d3 * d3;
    dist[3] += d4 * d4;
  }
  float pair_dist[kCepstrumRing][kCepstrumRing];
  for (int o = 1; o <= 4; ++o)
    for (int i = 0; i < kCepstrumRing; ++i) {
      const int j = (i + o) % kCepstrumRing;
      pair_dist[i][j] = pair_dist[j][i] = dist[o - 1][i];
    }
  float spec_variability = 0.0f;
  for (int i = 0; i < kCepstrumRing; ++i) {
    float min_dist = 1e15f;
    for (int j = 0; j < kCepstrumRing; ++j)
      if (j != i) min_dist = min_dist < pair_dist[i][j] ? min_dist : pair_dist[i][j];
    spec_variability += min_dist;
  }
  features[kDenoiseFeatures - 1] = static_cast<float>(spec_variability / kCepstrumRing - 2.1);
  return 0;
}

}  // namespace

namespace {

ORVO_ALWAYS_INLINE void PitchFilterBody(Cpx* X, const Cpx* P, const float* Ex, const float* Ep,
                                        const float* Exp, const float* g) {
  float r[kDenoiseBands];
  for (int b = 0; b < kDenoiseBands; ++b) {
    float rb;
    if (Exp[b] > g[b]) {
      rb = 1.0f;
    } else {
      const float e2 = Exp[b] * Exp[b];
      const float g2 = g[b] * g[b];
      const float num = e2 * (1.0f - g2);
      rb = static_cast<float>(num / (0.001 + static_cast<double>(g2 * (1.0f - e2))));
    }
    float c = 0.0f > rb ? 0.0f : rb;
    c = 1.0f < c ? 1.0f : c;
    rb = static_cast<float>(std::sqrt(static_cast<double>(c)));
    r[b] = static_cast<float>(rb * std::sqrt(Ex[b] / (1e-8 + static_cast<double>(Ep[b]))));
  }
  // X += rf P with rf the band values r interpolated to the bins (0 from bin 400 on), and the
  // weighted energy terms of the result on the way.
  const BandLayout& l = GetBandLayout();
  BandTerms terms;
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const float lo = r[b];
    const float hi = r[b + 1];
    for (int k = band_edges[b] << 2; k < band_edges[b + 1] << 2; ++k) {
      const float rf = l.rest[k] * lo + l.frac[k] * hi;
      X[k].re += rf * P[k].re;
      X[k].im += rf * P[k].im;
      float e = X[k].re * X[k].re;
      e = e + X[k].im * X[k].im;
      terms.lower[k] = l.rest[k] * e;
      terms.upper[k] = l.frac[k] * e;
    }
  }
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k) {
    X[k].re += 0.0f * P[k].re;
    X[k].im += 0.0f * P[k].im;
  }
  float newE[kDenoiseBands];
  {
    float* const out[1] = {newE};
    const BandTerms* const t[1] = {&terms};
    SumBands<1>(out, t);
  }
  float norm[kDenoiseBands];
  for (int b = 0; b < kDenoiseBands; ++b)
    norm[b] = static_cast<float>(std::sqrt(Ex[b] / (1e-8 + static_cast<double>(newE[b]))));
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const float lo = norm[b];
    const float hi = norm[b + 1];
    for (int k = band_edges[b] << 2; k < band_edges[b + 1] << 2; ++k) {
      const float normf = l.rest[k] * lo + l.frac[k] * hi;
      X[k].re *= normf;
      X[k].im *= normf;
    }
  }
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k) {
    X[k].re *= 0.0f;
    X[k].im *= 0.0f;
  }
}

void PitchFilterBaseline(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                         const float* g) {
  PitchFilterBody(X, P, Ex, Ep, Exp, g);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void PitchFilterAvx2(Cpx* X, const Cpx* P, const float* Ex, const float* Ep,
                                      const float* Exp, const float* g) {
  PitchFilterBody(X, P, Ex, Ep, Exp, g);
}
#endif

}  // namespace

void pitch_filter(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                  const float* g) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return PitchFilterAvx2(X, P, Ex, Ep, Exp, g);
#endif
  PitchFilterBaseline(X, P, Ex, Ep, Exp, g);
}

namespace {

ORVO_ALWAYS_INLINE bool SmoothAndFreezeBody(DenoiserState& st, float* g, int speechFlag,
                                            float* gf) {
  for (int b = 0; b < kDenoiseBands; ++b) {
    float v = Max(g[b], kGainDecay * st.prev_band_gains[b]);
    g[b] = Max(v, st.gain_floor);
  }
  InterpBandGainBody(gf, g);
  int pulled_down = 0;
  for (int k = kFreezeFirstBin; k <= kFreezeLastBin; ++k)
    if (gf[k] < kFreezeGain) ++pulled_down;
  if (pulled_down < kFreezeMinBins || speechFlag == 0) {
    std::memcpy(st.prev_band_gains, g, sizeof st.prev_band_gains);
    std::memcpy(st.saved_bin_gains, gf, sizeof st.saved_bin_gains);
    return false;
  }
  std::memcpy(gf, st.saved_bin_gains, sizeof st.saved_bin_gains);
  return true;
}

bool SmoothAndFreezeBaseline(DenoiserState& st, float* g, int speechFlag, float* gf) {
  return SmoothAndFreezeBody(st, g, speechFlag, gf);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 bool SmoothAndFreezeAvx2(DenoiserState& st, float* g, int speechFlag, float* gf) {
  return SmoothAndFreezeBody(st, g, speechFlag, gf);
}
#endif

}  // namespace

bool smooth_and_freeze_gains(DenoiserState& st, float* g, int speechFlag, float* gf) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return SmoothAndFreezeAvx2(st, g, speechFlag, gf);
#endif
  return SmoothAndFreezeBaseline(st, g, speechFlag, gf);
}

bool frame_synthesis(DenoiserState& st, float* out, const Cpx* X, const Logger& log,
                     const DenoiseAllocator& alloc) {
  ScratchBlock scratch(alloc, kDenoiseWindow * sizeof(float));
  if (!scratch) {
    log.Printf(kDenoiseMallocFailed, "frame_synthesis", 505);
    return false;
  }
  float* x = scratch.as<float>();
  if (!inverse_transform(x, X, alloc)) return false;
  for (int i = 0; i < kDenoiseHop; ++i)
    out[i] = x[i] + st.synthesis_overlap[i];
  std::memcpy(st.synthesis_overlap, x + kDenoiseHop, kDenoiseHop * sizeof(float));
  return true;
}

}  // namespace orvo
