#include "denoise/noise_suppressor.hpp"

#include <cmath>
#include <cstring>

#include "denoise/denoise_transform.hpp"
#include "denoise/messages.hpp"
#include "denoise/noise_suppressor_kernels.hpp"

namespace orvo {

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

namespace {

constexpr double kSilenceEnergy = 0.04;

const SuppressorKernels& KernelsOf(CpuLevel level);
bool FrameTransform(DenoiserState& st, Cpx* X, const float* in, const Logger& log,
                    const DenoiseAllocator& alloc);
int FrameFeatures(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                  float* features, const float* in, const Logger& log,
                  const DenoiseAllocator& alloc, const AutocorrPrefix* prefix);

}  // namespace

void rnnoise_init(DenoiserState& st, float offered_gain_floor, CpuLevel level) {
  if (!CpuLevelSupported(level)) level = CpuLevel::kBaseline;
  // Build the shared constant tables now, at engine creation, rather than in the first frame.
  GetSharedTables();
  GetBandLayout();
  PrepareDenoiseModel(level);

  st = DenoiserState{};
  st.level = level;
  st.network_state.level = level;
  st.gain_floor = kDefaultGainFloor;
  if (offered_gain_floor > kDefaultGainFloor && offered_gain_floor <= 1.0f)
    st.gain_floor = offered_gain_floor;
  st.saved_bin_gains[0] = 1.0f;
}

bool rnnoise_process_frame(DenoiserState& st, float* out, const float* in, int speechFlag,
                           const Logger& log, const DenoiseAllocator& alloc, float* vad) {
  ScratchBlock x_block(alloc, kDenoiseFreqBins * sizeof(Cpx));
  ScratchBlock p_block(alloc, kDenoiseWindow * sizeof(Cpx));
  ScratchBlock in_block(alloc, kDenoiseHop * sizeof(float));
  if (!x_block || !p_block || !in_block) {
    log.Printf(msg::kDenoiseMallocFailed, "rnnoise_process_frame", 718);
    return false;
  }
  Cpx* X = x_block.as<Cpx>();
  Cpx* P = p_block.as<Cpx>();
  float* x = in_block.as<float>();
  const SuppressorKernels& k = KernelsOf(st.level);
  // The first pitch autocorrelation terms run in the high-pass filter's shadow.
  AutocorrPrefix prefix;
  prefix.Start(st.pitch_history);
  k.highpassPrefix(st.highpass_state, x, in, &prefix);  // last read of `in`

  float Ex[kDenoiseBands], Ep[kDenoiseBands], Exp[kDenoiseBands];
  float features[kDenoiseFeatures];
  const int silence = FrameFeatures(st, X, P, Ex, Ep, Exp, features, x, log, alloc, &prefix);

  // Unit gains on silent frames, and where the network could not run.
  float g[kDenoiseBands];
  for (float& v : g)
    v = 1.0f;
  float vad_prob = 0.0f;
  if (silence == 0) compute_rnn(st.network_state, g, &vad_prob, features, log, alloc);

  k.pitchFilter(X, P, Ex, Ep, Exp, g);
  float gf[kDenoiseFreqBins];
  k.smoothAndFreeze(st, g, speechFlag, gf);
  k.applyBinGains(X, gf);
  if (vad != nullptr) *vad = vad_prob;
  return frame_synthesis(st, out, X, log, alloc);
}

void rnnoise_process_engine_frame(DenoiserState& st, float* samples, int speechFlag,
                                  const Logger& log, const DenoiseAllocator& alloc) {
  rnnoise_process_frame(st, samples, samples, speechFlag, log, alloc);
  rnnoise_process_frame(st, samples + kDenoiseHop, samples + kDenoiseHop, speechFlag, log, alloc);
}

// ---------------------------------------------------------------------------------------------

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

void highpass_filter(float* state, float* y, const float* x, int n, CpuLevel level) {
  KernelsOf(level).highpass(state, y, x, n);
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
    log.Printf(msg::kDenoiseMallocFailed, "frame_analysis", 376);
    std::memset(X, 0, kDenoiseFreqBins * sizeof(Cpx));
    return false;
  }
  float* frame = scratch.as<float>();
  std::memcpy(frame, st.analysis_history, kDenoiseHop * sizeof(float));
  std::memcpy(frame + kDenoiseHop, in, kDenoiseHop * sizeof(float));
  std::memcpy(st.analysis_history, in, kDenoiseHop * sizeof(float));
  forward_transform(X, frame, alloc, st.level);
  return true;
}

}  // namespace

int compute_frame_features(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                           float* features, const float* in, const Logger& log,
                           const DenoiseAllocator& alloc) {
  return FrameFeatures(st, X, P, Ex, Ep, Exp, features, in, log, alloc, nullptr);
}

namespace {

int FrameFeatures(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                  float* features, const float* in, const Logger& log,
                  const DenoiseAllocator& alloc, const AutocorrPrefix* prefix) {
  const PitchKernels& kernels = PitchKernelsOf(st.level);
  // The band energies of X are summed later, together with those of P.
  FrameTransform(st, X, in, log, alloc);

  ScratchBlock scratch(alloc, kPitchDownsampled * sizeof(float));
  if (!scratch) {
    log.Printf(msg::kDenoiseMallocFailed, "compute_frame_features", 420);
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
  forward_transform(P, st.pitch_history + kPitchMaxPeriod - pitch_index, alloc, st.level);
  KernelsOf(st.level).bandEnergiesAndCorr(Ex, Ep, Exp, X, P);
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

void pitch_filter(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                  const float* g, CpuLevel level) {
  KernelsOf(level).pitchFilter(X, P, Ex, Ep, Exp, g);
}

bool smooth_and_freeze_gains(DenoiserState& st, float* g, int speechFlag, float* gf) {
  return KernelsOf(st.level).smoothAndFreeze(st, g, speechFlag, gf);
}

bool frame_synthesis(DenoiserState& st, float* out, const Cpx* X, const Logger& log,
                     const DenoiseAllocator& alloc) {
  ScratchBlock scratch(alloc, kDenoiseWindow * sizeof(float));
  if (!scratch) {
    log.Printf(msg::kDenoiseMallocFailed, "frame_synthesis", 505);
    return false;
  }
  float* x = scratch.as<float>();
  if (!inverse_transform(x, X, alloc, st.level)) return false;
  for (int i = 0; i < kDenoiseHop; ++i)
    out[i] = x[i] + st.synthesis_overlap[i];
  std::memcpy(st.synthesis_overlap, x + kDenoiseHop, kDenoiseHop * sizeof(float));
  return true;
}

// ---------------------------------------------------------------------------------------------
// The baseline kernels and the choice of a level's kernels.

namespace {

void BandEnergiesAndCorrBaseline(float* Ex, float* Ep, float* Exp, const Cpx* X, const Cpx* P) {
  BandEnergiesAndCorrBody(Ex, Ep, Exp, X, P);
}

void ApplyBinGainsBaseline(Cpx* X, const float* gf) {
  ApplyBinGainsBody(X, gf);
}

// Without a hardware fused multiply-add the high-pass rounds each double-precision product and
// sum apart; the products are exact, so this equals the fused form of the AVX2 level.
void HighpassBaseline(float* state, float* y, const float* x, int n) {
  Highpass<false, false>(state, y, x, n, nullptr);
}

void HighpassPrefixBaseline(float* state, float* y, const float* x, AutocorrPrefix* prefix) {
  Highpass<false, true>(state, y, x, kDenoiseHop, prefix);
}

void PitchFilterBaseline(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                         const float* g) {
  PitchFilterBody(X, P, Ex, Ep, Exp, g);
}

bool SmoothAndFreezeBaseline(DenoiserState& st, float* g, int speechFlag, float* gf) {
  return SmoothAndFreezeBody(st, g, speechFlag, gf);
}

constexpr SuppressorKernels kBaselineKernels{
    BandEnergiesAndCorrBaseline, ApplyBinGainsBaseline, HighpassBaseline,
    HighpassPrefixBaseline,      PitchFilterBaseline,   SmoothAndFreezeBaseline};

const SuppressorKernels& KernelsOf(CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::kSuppressorKernels;
#endif
    default:
      return kBaselineKernels;
  }
}

}  // namespace

}  // namespace orvo
