// Plain versions of the neural suppressor's vector kernels: one straightforward loop per sum,
// neuron by neuron over the int8 arrays for the network. They use the arithmetic of the
// library's kernels in the same order, so every processor level must agree with them bit for
// bit; the level tests and the benchmarks compare against them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/log.hpp"
#include "denoise/denoise_alloc.hpp"
#include "denoise/pitch_analysis.hpp"
#include "denoise/recurrent_network.hpp"

namespace orvo::plain {

// out[l] = sum_{i<n} x[i] y[l + i] for l < lags.
inline void Xcorr(const float* x, const float* y, float* out, int n, int lags) {
  for (int l = 0; l < lags; ++l) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i)
      sum += x[i] * y[l + i];
    out[l] = sum;
  }
}

// out[c] = sum_{i<n} x[i] y[lags[c] + i] for c < count.
inline void XcorrAt(const float* x, const float* y, int, const int* lags, float* out, int count,
                    int n) {
  for (int c = 0; c < count; ++c) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i)
      sum += x[i] * y[lags[c] + i];
    out[c] = sum;
  }
}

// d[i] += sum_{k<5} num[k] d[i - 1 - k] from the end backwards, samples before d[0] being 0.
inline void Whiten(float* d, const float* num) {
  for (int i = kPitchDownsampled - 1; i >= 0; --i) {
    float sum = d[i];
    for (int k = 0; k < 5; ++k)
      sum += num[k] * (i - 1 - k >= 0 ? d[i - 1 - k] : 0.0f);
    d[i] = sum;
  }
}

inline const PitchKernels& PitchKernelTable() {
  static const PitchKernels table{Xcorr, XcorrAt, Whiten};
  return table;
}

inline void Dense(const DenseLayerDesc& layer, float* output, const float* input) {
  const int n = layer.nb_neurons;
  for (int i = 0; i < n; ++i) {
    float sum = layer.bias[i];
    for (int j = 0; j < layer.nb_inputs; ++j)
      sum += layer.input_weights[j * n + i] * input[j];
    output[i] = apply_activation(layer.activation, sum);
  }
}

inline void Gru(const RecurrentLayerDesc& layer, float* state, const float* input) {
  const int n = layer.nb_neurons, m = layer.nb_inputs, stride = 3 * n;
  const std::int8_t* w = layer.input_weights;
  const std::int8_t* u = layer.recurrent_weights;
  float z[kMaxNeurons], r[kMaxNeurons], next[kMaxNeurons];
  for (int i = 0; i < n; ++i) {
    float sum = layer.bias[i];
    for (int j = 0; j < m; ++j)
      sum += w[j * stride + i] * input[j];
    for (int j = 0; j < n; ++j)
      sum += u[j * stride + i] * state[j];
    z[i] = activation_sigmoid(sum);
  }
  for (int i = 0; i < n; ++i) {
    float sum = layer.bias[n + i];
    for (int j = 0; j < m; ++j)
      sum += w[j * stride + n + i] * input[j];
    for (int j = 0; j < n; ++j)
      sum += u[j * stride + n + i] * state[j];
    r[i] = activation_sigmoid(sum);
  }
  for (int i = 0; i < n; ++i) {
    float sum = layer.bias[2 * n + i];
    for (int j = 0; j < m; ++j)
      sum += w[j * stride + 2 * n + i] * input[j];
    for (int j = 0; j < n; ++j)
      sum += u[j * stride + 2 * n + i] * state[j] * r[j];
    next[i] = z[i] * state[i] + (1.0f - z[i]) * apply_activation(layer.activation, sum);
  }
  std::memcpy(state, next, static_cast<std::size_t>(n) * sizeof(float));
}

// The whole network on 42 features, as compute_rnn runs it.
inline void Network(NetworkState& st, float* gains, float* vad, const float* features) {
  const DenoiseModel& m = BuiltinDenoiseModel();
  float dense_out[kMaxNeurons];
  float noise_input[kInputLayerSize + kVadGruSize + kDenoiseFeatures];
  float gain_input[kVadGruSize + kNoiseGruSize + kDenoiseFeatures];
  Dense(m.input_layer, dense_out, features);
  Gru(m.vad_recurrent, st.vad_state, dense_out);
  Dense(m.vad_layer, vad, st.vad_state);
  std::memcpy(noise_input, dense_out, kInputLayerSize * sizeof(float));
  std::memcpy(noise_input + kInputLayerSize, st.vad_state, kVadGruSize * sizeof(float));
  std::memcpy(noise_input + kInputLayerSize + kVadGruSize, features,
              kDenoiseFeatures * sizeof(float));
  Gru(m.noise_recurrent, st.noise_state, noise_input);
  std::memcpy(gain_input, st.vad_state, kVadGruSize * sizeof(float));
  std::memcpy(gain_input + kVadGruSize, st.noise_state, kNoiseGruSize * sizeof(float));
  std::memcpy(gain_input + kVadGruSize + kNoiseGruSize, features, kDenoiseFeatures * sizeof(float));
  Gru(m.gain_recurrent, st.gain_state, gain_input);
  Dense(m.gain_layer, gains, st.gain_state);
}

}  // namespace orvo::plain
