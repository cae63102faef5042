// Neural noise suppressor, after the published RNNoise algorithm: 480-sample hops with 50 %
// overlap and a 960-point transform, 22 band energies, 42 features, the recurrent network of
// recurrent_network.hpp for 22 band gains, a pitch comb filter and band gains interpolated to
// the 481 bins. Differences from the published form: band gains keep at least 0.97 of the last
// accepted gain and never go below a floor; while near-end speech is flagged, a frame that would
// pull many low bins down reuses the last accepted bin gains; the pitch filter also runs on
// silent frames (with unit gains); the network uses exponent-bit activations; and every call
// takes its scratch buffers from the heap.
//
// Signals are 16-bit PCM values held in floats (full scale +-32768) at 48 kHz; bin k of the
// transform lies at 50 k Hz.
#pragma once

#include <cstdint>

#include "base/common.hpp"
#include "base/cpu_level.hpp"
#include "base/log.hpp"
#include "denoise/denoise_alloc.hpp"
#include "denoise/pitch_analysis.hpp"
#include "denoise/recurrent_network.hpp"

namespace orvo {

inline constexpr int kDenoiseHop = 480;       // new samples per call (10 ms)
inline constexpr int kDenoiseWindow = 960;    // analysis window
inline constexpr int kDenoiseFreqBins = 481;  // bins 0 .. 480
inline constexpr int kCepstrumRing = 8;
inline constexpr int kDeltaCepstra = 6;
inline constexpr int kGainedBins = 400;  // bins 400 .. 480 (20 kHz and up) get gain 0

// Band edges in units of 4 bins (200 Hz); band b is centred on bin 4 band_edges[b].
inline constexpr std::int16_t band_edges[kDenoiseBands] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 14, 16, 20, 24, 28, 34, 40, 48, 60, 78, 100};

// Lowest band gain unless engine creation offers a floor within (1e-6, 1].
inline constexpr float kDefaultGainFloor = 1e-6f;
// What engine creation offers: an attenuation limit of -100 dB as a power ratio (refused).
inline constexpr float kEngineOfferedGainFloor = 1e-10f;

struct DenoiserState {
  float analysis_history[kDenoiseHop];                   // previous input hop
  float cepstrum_history[kCepstrumRing][kDenoiseBands];  // last eight cepstra
  std::int32_t cepstrum_pos;                             // ring position
  float synthesis_overlap[kDenoiseHop];                  // second half of the previous synthesis
  float pitch_history[kPitchHistory];                    // input history for pitch analysis
  float prev_pitch_gain;
  std::int32_t prev_pitch_period;
  float highpass_state[2];
  float prev_band_gains[kDenoiseBands];  // last accepted band gains
  float gain_floor;
  NetworkState network_state;
  float saved_bin_gains[kDenoiseFreqBins];  // bin gains of the last accepted frame
  CpuLevel level;                           // processor level of the kernels
};

// Zero-fills the state; gain floor 1e-6 unless `offered_gain_floor` lies in (1e-6, 1]; saved
// bin gains 1 for bin 0 and 0 for bins 1 to 480; the kernels of `level` (the baseline level
// when this processor cannot run it). Also builds the shared constant tables (once per
// process), so that no frame has to.
void rnnoise_init(DenoiserState& st, float offered_gain_floor = kEngineOfferedGainFloor,
                  CpuLevel level = ProcessCpuLevel());

// Denoises one hop: 480 samples in, 480 samples out, delayed by 480 samples. speechFlag is the
// engine's near-end speech flag. `out` may be `in`. The voice-activity value (0 on silent
// frames) goes to *vad when vad is not null. Returns false when a scratch allocation failure
// left `out` unwritten (the failure has been printed); the caller then keeps the input.
bool rnnoise_process_frame(DenoiserState& st, float* out, const float* in, int speechFlag,
                           const Logger& log,
                           const DenoiseAllocator& alloc = DefaultDenoiseAllocator(),
                           float* vad = nullptr);

// One engine frame of 960 samples, in place: two consecutive hops on the same state with the
// same flag. A hop that could not be processed is left as it was (the input passes through).
void rnnoise_process_engine_frame(DenoiserState& st, float* samples, int speechFlag,
                                  const Logger& log,
                                  const DenoiseAllocator& alloc = DefaultDenoiseAllocator());

// ---------------------------------------------------------------------------------------------
// Building blocks.

// Triangular band energies (sum of |X|^2 weighted over neighbouring band centres, end bands
// doubled) and the same for Re(X conj P). Bins 400 to 480 do not contribute.
void compute_band_energy(float* bandE, const Cpx* X);
void compute_band_corr(float* bandC, const Cpx* X, const Cpx* P);

// Linear interpolation of 22 band values to 481 bin values; bins 400 to 480 get 0.
void interp_band_gain(float* g, const float* bandE);

// Orthonormal DCT-II of 22 values.
void dct22(float* out, const float* in);

// Input high-pass (biquad, two zeros at z = 1) over n samples; y may be x.
void highpass_filter(float* state, float* y, const float* x, int n, CpuLevel level);

// Windowed transform of the previous and the new hop into X with its band energies. When the
// scratch cannot be allocated it prints the failure, zeroes X and Ex and returns false.
bool frame_analysis(DenoiserState& st, Cpx* X, float* Ex, const float* in, const Logger& log,
                    const DenoiseAllocator& alloc);

// Analysis, pitch analysis and the 42 features. Returns 1 for a silent frame (features all 0),
// 0 otherwise, -1 when its scratch cannot be allocated (printed; P, Ep, Exp and the features are
// then zero, X and Ex are valid).
int compute_frame_features(DenoiserState& st, Cpx* X, Cpx* P, float* Ex, float* Ep, float* Exp,
                           float* features, const float* in, const Logger& log,
                           const DenoiseAllocator& alloc);

// Pitch comb filter: adds the pitch-delayed spectrum P to X per band as far as the band gains g
// leave room, then restores every band's energy Ex (and clears bins 400 to 480).
void pitch_filter(Cpx* X, const Cpx* P, const float* Ex, const float* Ep, const float* Exp,
                  const float* g, CpuLevel level);

// Band-gain smoothing and freeze rule: g[b] = max(g[b], 0.97 prev_band_gains[b], gain_floor),
// interpolated to bin gains gf. If at least 15 of the bins 4 to 79 (200 Hz to 3950 Hz) are below
// 0.333 while speechFlag is set, gf becomes saved_bin_gains and the state is left alone (returns
// true); otherwise g and gf become the new prev_band_gains and saved_bin_gains.
bool smooth_and_freeze_gains(DenoiserState& st, float* g, int speechFlag, float* gf);

// Inverse transform of X and overlap-add into 480 output samples. Returns false with `out`
// unwritten when a scratch allocation fails.
bool frame_synthesis(DenoiserState& st, float* out, const Cpx* X, const Logger& log,
                     const DenoiseAllocator& alloc);

}  // namespace orvo
