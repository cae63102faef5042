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

bool ProcessFrame(DenoiserState& st, float* out, const float* in, int speechFlag, const Logger& log,
                  const DenoiseAllocator& alloc, float* vad, const PitchKernels& kernels,
                  NetworkFn network) {
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
  highpass_filter(st.highpass_state, x, in, kDenoiseHop);  // last read of `in`

  float Ex[kDenoiseBands], Ep[kDenoiseBands], Exp[kDenoiseBands];
  float features[kDenoiseFeatures];
  const int silence =
      compute_frame_features(st, X, P, Ex, Ep, Exp, features, x, log, alloc, kernels);

  // Unit gains on silent frames, and where the network could not run.
  float g[kDenoiseBands];
  for (float& v : g)
    v = 1.0f;
  float vad_prob = 0.0f;
  if (silence == 0) network(st.network_state, g, &vad_prob, features, log, alloc);

  pitch_filter(X, P, Ex, Ep, Exp, g);
  float gf[kDenoiseFreqBins];
  smooth_and_freeze_gains(st, g, speechFlag, gf);
  for (int k = 0; k < kDenoiseFreqBins; ++k) {
    X[k].re *= gf[k];
    X[k].im *= gf[k];
  }
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
  return ProcessFrame(st, out, in, speechFlag, log, alloc, vad, FastPitchKernels(), compute_rnn);
}

bool rnnoise_process_frame_reference(DenoiserState& st, float* out, const float* in, int speechFlag,
                                     const Logger& log, const DenoiseAllocator& alloc, float* vad) {
  return ProcessFrame(st, out, in, speechFlag, log, alloc, vad, ReferencePitchKernels(),
                      compute_rnn_reference);
}

void rnnoise_process_engine_frame(DenoiserState& st, float* samples, int speechFlag,
                                  const Logger& log, const DenoiseAllocator& alloc) {
  rnnoise_process_frame(st, samples, samples, speechFlag, log, alloc);
  rnnoise_process_frame(st, samples + kDenoiseHop, samples + kDenoiseHop, speechFlag, log, alloc);
}

// ---------------------------------------------------------------------------------------------

// Accumulates the weighted terms t(k) of bins 0 to 399 into the 22 band sums. Each sum adds its
// terms in bin order; the two running sums of a segment stay in registers.
template <class Term>
ORVO_ALWAYS_INLINE void BandSums(float* out, Term term) {
  const BandLayout& l = GetBandLayout();
  float carry = 0.0f;  // sum of the band at the segment's start, so far
  int k = 0;
  for (int b = 0; b < kDenoiseBands - 1; ++b) {
    const int end = band_edges[b + 1] << 2;
    float lo = carry;
    float hi = 0.0f;
    for (; k < end; ++k) {
      const float t = term(k);
      lo += l.rest[k] * t;
      hi += l.frac[k] * t;
    }
    out[b] = lo;
    carry = hi;
  }
  out[kDenoiseBands - 1] = carry;
  out[0] *= 2.0f;
  out[kDenoiseBands - 1] *= 2.0f;
}

void compute_band_energy(float* bandE, const Cpx* X) {
  BandSums(bandE, [X](int k) {
    float t = X[k].re * X[k].re;
    return t + X[k].im * X[k].im;
  });
}

void compute_band_corr(float* bandC, const Cpx* X, const Cpx* P) {
  BandSums(bandC, [X, P](int k) {
    float t = X[k].re * P[k].re;
    return t + X[k].im * P[k].im;
  });
}

void interp_band_gain(float* g, const float* bandE) {
  const BandLayout& l = GetBandLayout();
  for (int k = 0; k < kGainedBins; ++k)
    g[k] = l.rest[k] * bandE[l.band[k]] + l.frac[k] * bandE[l.band[k] + 1];
  for (int k = kGainedBins; k < kDenoiseFreqBins; ++k)
    g[k] = 0.0f;
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

void highpass_filter(float* state, float* y, const float* x, int n) {
  float m0 = state[0];
  float m1 = state[1];
  for (int i = 0; i < n; ++i) {
    const float u = x[i];
    const float yi = u + m0;
    m0 = static_cast<float>(
        m1 + (static_cast<double>(kHighpassB1) * u - static_cast<double>(kHighpassA1) * yi));
    m1 = static_cast<float>(static_cast<double>(kHighpassB2) * u -
                            static_cast<double>(kHighpassA2) * yi);
    y[i] = yi;
  }
  state[0] = m0;
  state[1] = m1;
}

bool frame_analysis(DenoiserState& st, Cpx* X, float* Ex, const float* in, const Logger& log,
                    const DenoiseAllocator& alloc) {
  ScratchBlock scratch(alloc, kDenoiseWindow * sizeof(float));
  if (!scratch) {
    log.Printf(kDenoiseMallocFailed, "frame_analysis", 376);
    std::memset(X, 0, kDenoiseFreqBins * sizeof(Cpx));
    std::memset(Ex, 0, kDenoiseBands * sizeof(float));
    return false;
  }
  float* frame = scratch.as<float>();
  std::memcpy(frame, st.analysis_history, kDenoiseHop * sizeof(float));
  std::memcpy(frame + kDenoiseHop, in, kDenoiseHop * sizeof(float));
  std::memcpy(st.analysis_history, in, kDenoiseHop * sizeof(float));
  forward_transform(X, frame, alloc);
  compute_band_energy(Ex, X);
  return true;
}

int compute_frame_features(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                           float* features, const float* in, const Logger& log,
                           const DenoiseAllocator& alloc, const PitchKernels& kernels) {
  frame_analysis(st, X, Ex, in, log, alloc);

  ScratchBlock scratch(alloc, kPitchDownsampled * sizeof(float));
  if (!scratch) {
    log.Printf(kDenoiseMallocFailed, "compute_frame_features", 420);
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
  pitch_downsample(st.pitch_history, pitch_buf, kernels);
  PitchEnergies energies;
  pitch_energies(pitch_buf, energies);
  int pitch_index =
      kPitchMaxPeriod - pitch_search(pitch_buf + kPitchMaxPeriod / 2, pitch_buf, kPitchFrameSize,
                                     kMaxPitchSearch, kernels, &energies);
  const float gain =
      remove_doubling(pitch_buf, kPitchMaxPeriod, kPitchMinPeriod, kPitchFrameSize, &pitch_index,
                      st.prev_pitch_period, st.prev_pitch_gain, kernels, energies.delayed);
  st.prev_pitch_period = pitch_index;
  st.prev_pitch_gain = gain;

  // The analysis frame delayed by one pitch period.
  forward_transform(P, st.pitch_history + kPitchMaxPeriod - pitch_index, alloc);
  compute_band_energy(Ep, P);
  compute_band_corr(Exp, X, P);
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

  // Spectral variability: mean distance of each stored cepstrum to its nearest neighbour. The
  // distance is symmetric ((a - b)^2 = (b - a)^2 exactly), so each of the 28 pairs is summed
  // once, all pairs side by side, each in band order.
  constexpr int kPairs = kCepstrumRing * (kCepstrumRing - 1) / 2;
  int pair_i[kPairs], pair_j[kPairs];
  for (int i = 0, p = 0; i < kCepstrumRing; ++i)
    for (int j = i + 1; j < kCepstrumRing; ++j, ++p) {
      pair_i[p] = i;
      pair_j[p] = j;
    }
  float dist[kPairs] = {};
  for (int k = 0; k < kDenoiseBands; ++k)
    for (int p = 0; p < kPairs; ++p) {
      const float d = st.cepstrum_history[pair_i[p]][k] - st.cepstrum_history[pair_j[p]][k];
      dist[p] += d * d;
    }
  float pair_dist[kCepstrumRing][kCepstrumRing];
  for (int p = 0; p < kPairs; ++p)
    pair_dist[pair_i[p]][pair_j[p]] = pair_dist[pair_j[p]][pair_i[p]] = dist[p];
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

void pitch_filter(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                  const float* g) {
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
  float rf[kDenoiseFreqBins];
  interp_band_gain(rf, r);
  for (int k = 0; k < kDenoiseFreqBins; ++k) {
    X[k].re += rf[k] * P[k].re;
    X[k].im += rf[k] * P[k].im;
  }
  float newE[kDenoiseBands];
  compute_band_energy(newE, X);
  float norm[kDenoiseBands];
  for (int b = 0; b < kDenoiseBands; ++b)
    norm[b] = static_cast<float>(std::sqrt(Ex[b] / (1e-8 + static_cast<double>(newE[b]))));
  float normf[kDenoiseFreqBins];
  interp_band_gain(normf, norm);
  for (int k = 0; k < kDenoiseFreqBins; ++k) {
    X[k].re *= normf[k];
    X[k].im *= normf[k];
  }
}

bool smooth_and_freeze_gains(DenoiserState& st, float* g, int speechFlag, float* gf) {
  for (int b = 0; b < kDenoiseBands; ++b) {
    float v = Max(g[b], kGainDecay * st.prev_band_gains[b]);
    g[b] = Max(v, st.gain_floor);
  }
  interp_band_gain(gf, g);
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
