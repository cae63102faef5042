#include "denoise/recurrent_network.hpp"

#include <cstring>
#include <vector>

#include "audio_core/check.hpp"
#include "denoise/denoise_simd.hpp"

namespace orvo {

// The model bytes, generated at build time from denoise/model/weights.bin.
extern const unsigned char kDenoiseModelData[kDenoiseModelBytes];

const std::int8_t* DenoiseModelWeights() {
  // Reading unsigned char objects through their signed counterpart is well defined.
  return reinterpret_cast<const std::int8_t*>(kDenoiseModelData);
}

// The fast layers read these whenever a descriptor points into the built-in model (each float
// is exactly its int8 value).
const float* DenoiseModelWeightsAsFloat() {
  static const std::vector<float> weights = [] {
    const std::int8_t* w = DenoiseModelWeights();
    return std::vector<float>(w, w + kDenoiseModelBytes);
  }();
  return weights.data();
}

namespace {

// The float copy of a built-in model array, or null for any other array.
const float* FloatMirror(const std::int8_t* p) {
  const auto first = reinterpret_cast<std::uintptr_t>(DenoiseModelWeights());
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  if (at < first || at >= first + kDenoiseModelBytes) return nullptr;
  return DenoiseModelWeightsAsFloat() + (at - first);
}

// Offsets of the layer arrays in the model: per layer bias, input weights, recurrent weights.
DenoiseModel MakeBuiltinModel() {
  const std::int8_t* w = DenoiseModelWeights();
  DenoiseModel m{};
  m.input_layer = {w + 0, w + 24, 42, 24, kActivationTanh};
  m.vad_recurrent = {w + 1032, w + 1104, w + 2832, 24, 24, kActivationRelu};
  m.noise_recurrent = {w + 4560, w + 4704, w + 17664, 90, 48, kActivationRelu};
  m.gain_recurrent = {w + 24576, w + 24864, w + 57696, 114, 96, kActivationRelu};
  m.gain_layer = {w + 85344, w + 85366, 96, 22, kActivationSigmoid};
  m.vad_layer = {w + 87478, w + 87479, 24, 1, kActivationSigmoid};
  return m;
}

// ---------------------------------------------------------------------------------------------
// Column kernels. The weights are input-major (row j holds the weights of input j for every
// output column), so a block of B neighbouring columns is one contiguous run per input and the
// B sums advance together in registers. Each column's sum still adds its terms in input order,
// so the results equal the plain neuron-by-neuron loops bit for bit.

template <class T>
ORVO_ALWAYS_INLINE void LoadWeights(typename T::Vec& v, const float* p) {
  v = *reinterpret_cast<const typename T::Unaligned*>(p);
}

template <class T>
ORVO_ALWAYS_INLINE void LoadWeights(typename T::Vec& v, const std::int8_t* p) {
  v = __builtin_convertvector(*reinterpret_cast<const typename T::Bytes*>(p), typename T::Vec);
}

// acc[t] += w[j * stride + t] * in[j] for j < m, over NV vectors of columns. W: float or int8.
template <class T, int NV, class W>
ORVO_ALWAYS_INLINE void AccumulateBlock(float* acc, const W* w, int stride, const float* in,
                                        int m) {
  constexpr int L = T::kLanes;
  typename T::Vec a[NV];
  for (int v = 0; v < NV; ++v)
    a[v] = *reinterpret_cast<const typename T::Unaligned*>(acc + L * v);
  for (int j = 0; j < m; ++j) {
    const float x = in[j];
    const W* row = w + static_cast<std::ptrdiff_t>(j) * stride;
    for (int v = 0; v < NV; ++v) {
      typename T::Vec wv;
      LoadWeights<T>(wv, row + L * v);
      a[v] += wv * x;
    }
  }
  for (int v = 0; v < NV; ++v)
    *reinterpret_cast<typename T::Unaligned*>(acc + L * v) = a[v];
}

// acc[t] += (w[j * stride + t] * s[j]) * g[j]: the candidate's recurrent terms, the state scaled
// by the reset gate.
template <class T, int NV, class W>
ORVO_ALWAYS_INLINE void AccumulateGatedBlock(float* acc, const W* w, int stride, const float* s,
                                             const float* g, int m) {
  constexpr int L = T::kLanes;
  typename T::Vec a[NV];
  for (int v = 0; v < NV; ++v)
    a[v] = *reinterpret_cast<const typename T::Unaligned*>(acc + L * v);
  for (int j = 0; j < m; ++j) {
    const float x = s[j];
    const float gate = g[j];
    const W* row = w + static_cast<std::ptrdiff_t>(j) * stride;
    for (int v = 0; v < NV; ++v) {
      typename T::Vec wv;
      LoadWeights<T>(wv, row + L * v);
      a[v] += (wv * x) * gate;
    }
  }
  for (int v = 0; v < NV; ++v)
    *reinterpret_cast<typename T::Unaligned*>(acc + L * v) = a[v];
}

template <class T, class W>
ORVO_ALWAYS_INLINE void Accumulate(float* acc, const W* w, int stride, const float* in, int m,
                                   int n) {
  constexpr int L = T::kLanes;
  int i = 0;
  for (; i + 8 * L <= n; i += 8 * L)
    AccumulateBlock<T, 8>(acc + i, w + i, stride, in, m);
  for (; i + 4 * L <= n; i += 4 * L)
    AccumulateBlock<T, 4>(acc + i, w + i, stride, in, m);
  for (; i + L <= n; i += L)
    AccumulateBlock<T, 1>(acc + i, w + i, stride, in, m);
  // The last columns one float each.
  for (int j = 0; j < m; ++j) {
    const W* row = w + static_cast<std::ptrdiff_t>(j) * stride;
    for (int t = i; t < n; ++t)
      acc[t] += static_cast<float>(row[t]) * in[j];
  }
}

template <class T, class W>
ORVO_ALWAYS_INLINE void AccumulateGated(float* acc, const W* w, int stride, const float* s,
                                        const float* g, int m, int n) {
  constexpr int L = T::kLanes;
  int i = 0;
  for (; i + 8 * L <= n; i += 8 * L)
    AccumulateGatedBlock<T, 8>(acc + i, w + i, stride, s, g, m);
  for (; i + 4 * L <= n; i += 4 * L)
    AccumulateGatedBlock<T, 4>(acc + i, w + i, stride, s, g, m);
  for (; i + L <= n; i += L)
    AccumulateGatedBlock<T, 1>(acc + i, w + i, stride, s, g, m);
  for (int j = 0; j < m; ++j) {
    const W* row = w + static_cast<std::ptrdiff_t>(j) * stride;
    for (int t = i; t < n; ++t)
      acc[t] += (static_cast<float>(row[t]) * s[j]) * g[j];
  }
}

using DenseFn = void (*)(const DenseLayerDesc&, float*, const float*);
using GruFn = bool (*)(const RecurrentLayerDesc&, float*, const float*, float*, float*,
                       const Logger&);

// The network's data flow, shared by the fast and the reference layer functions.
bool RunNetwork(DenseFn dense, GruFn gru, NetworkState& st, float* gains, float* vad,
                const float* features, const Logger& log, const DenoiseAllocator& alloc) {
  ScratchBlock scratch(alloc, 2560);
  if (!scratch) {
    log.Printf(kDenoiseMallocFailed, "compute_rnn", 294);
    return false;
  }
  float* block = scratch.as<float>();  // 640 floats
  float* dense_out = block;
  float* z = block + kMaxNeurons;
  float* r = block + 2 * kMaxNeurons;
  float* noise_input = block + 3 * kMaxNeurons;
  float* gain_input = block + 4 * kMaxNeurons;
  const DenoiseModel& m = BuiltinDenoiseModel();
  float vad_unused;
  if (vad == nullptr) vad = &vad_unused;

  dense(m.input_layer, dense_out, features);
  gru(m.vad_recurrent, st.vad_state, dense_out, z, r, log);
  dense(m.vad_layer, vad, st.vad_state);

  std::memcpy(noise_input, dense_out, kInputLayerSize * sizeof(float));
  std::memcpy(noise_input + kInputLayerSize, st.vad_state, kVadGruSize * sizeof(float));
  std::memcpy(noise_input + kInputLayerSize + kVadGruSize, features,
              kDenoiseFeatures * sizeof(float));
  gru(m.noise_recurrent, st.noise_state, noise_input, z, r, log);

  std::memcpy(gain_input, st.vad_state, kVadGruSize * sizeof(float));
  std::memcpy(gain_input + kVadGruSize, st.noise_state, kNoiseGruSize * sizeof(float));
  std::memcpy(gain_input + kVadGruSize + kNoiseGruSize, features, kDenoiseFeatures * sizeof(float));
  gru(m.gain_recurrent, st.gain_state, gain_input, z, r, log);

  dense(m.gain_layer, gains, st.gain_state);
  return true;
}

}  // namespace

const DenoiseModel& BuiltinDenoiseModel() {
  static const DenoiseModel model = MakeBuiltinModel();
  return model;
}

// ---------------------------------------------------------------------------------------------
// Fast layers.

namespace {

template <class T, class W>
ORVO_ALWAYS_INLINE void DenseLayer(const DenseLayerDesc& layer, const W* bias, const W* w,
                                   float* output, const float* input) {
  const int n = layer.nb_neurons;
  for (int i = 0; i < n; ++i)
    output[i] = static_cast<float>(bias[i]);
  Accumulate<T>(output, w, n, input, layer.nb_inputs, n);
  for (int i = 0; i < n; ++i)
    output[i] = apply_activation(layer.activation, output[i]);
}

template <class T, class W>
ORVO_ALWAYS_INLINE void GruLayer(const RecurrentLayerDesc& layer, const W* bias, const W* w,
                                 const W* u, float* state, const float* input, float* z, float* r) {
  const int n = layer.nb_neurons;
  const int stride = 3 * n;
  float acc[3 * kMaxNeurons];
  for (int i = 0; i < stride; ++i)
    acc[i] = static_cast<float>(bias[i]);
  // Input terms of all three gates, then the recurrent terms of z and r.
  Accumulate<T>(acc, w, stride, input, layer.nb_inputs, stride);
  Accumulate<T>(acc, u, stride, state, n, 2 * n);
  for (int i = 0; i < n; ++i) {
    z[i] = activation_sigmoid(acc[i]);
    r[i] = activation_sigmoid(acc[n + i]);
  }
  // Candidate: recurrent terms over the reset-scaled previous state.
  float* h = acc + 2 * n;
  AccumulateGated<T>(h, u + 2 * n, stride, state, r, n, n);
  for (int i = 0; i < n; ++i)
    state[i] = z[i] * state[i] + (1.0f - z[i]) * apply_activation(layer.activation, h[i]);
}

// The built-in model's layers read its float copy; other layers widen their int8 values.
template <class T>
ORVO_ALWAYS_INLINE void Dense(const DenseLayerDesc& layer, float* output, const float* input) {
  const float* bias = FloatMirror(layer.bias);
  const float* w = FloatMirror(layer.input_weights);
  if (bias != nullptr && w != nullptr)
    DenseLayer<T>(layer, bias, w, output, input);
  else
    DenseLayer<T>(layer, layer.bias, layer.input_weights, output, input);
}

template <class T>
ORVO_ALWAYS_INLINE void Gru(const RecurrentLayerDesc& layer, float* state, const float* input,
                            float* z, float* r) {
  const float* bias = FloatMirror(layer.bias);
  const float* w = FloatMirror(layer.input_weights);
  const float* u = FloatMirror(layer.recurrent_weights);
  if (bias != nullptr && w != nullptr && u != nullptr)
    GruLayer<T>(layer, bias, w, u, state, input, z, r);
  else
    GruLayer<T>(layer, layer.bias, layer.input_weights, layer.recurrent_weights, state, input, z,
                r);
}

void DenseBaseline(const DenseLayerDesc& layer, float* output, const float* input) {
  Dense<Lanes4>(layer, output, input);
}

void GruBaseline(const RecurrentLayerDesc& layer, float* state, const float* input, float* z,
                 float* r) {
  Gru<Lanes4>(layer, state, input, z, r);
}

#if ORVO_DENOISE_AVX2
ORVO_TARGET_AVX2 void DenseAvx2(const DenseLayerDesc& layer, float* output, const float* input) {
  Dense<Lanes8>(layer, output, input);
}

ORVO_TARGET_AVX2 void GruAvx2(const RecurrentLayerDesc& layer, float* state, const float* input,
                              float* z, float* r) {
  Gru<Lanes8>(layer, state, input, z, r);
}
#endif

}  // namespace

void apply_dense(const DenseLayerDesc& layer, float* output, const float* input) {
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) return DenseAvx2(layer, output, input);
#endif
  DenseBaseline(layer, output, input);
}

bool compute_gru(const RecurrentLayerDesc& layer, float* state, const float* input, float* z,
                 float* r, const Logger& log) {
  if (z == nullptr || r == nullptr) {
    log.Printf(kDenoiseMallocFailed, "compute_gru", 112);
    return false;
  }
  ORVO_CHECK(layer.nb_neurons <= kMaxNeurons, "recurrent_network");
#if ORVO_DENOISE_AVX2
  if (DenoiseUseAvx2()) {
    GruAvx2(layer, state, input, z, r);
    return true;
  }
#endif
  GruBaseline(layer, state, input, z, r);
  return true;
}

bool compute_rnn(NetworkState& state, float* gains, float* vad, const float* features,
                 const Logger& log, const DenoiseAllocator& alloc) {
  return RunNetwork(apply_dense, compute_gru, state, gains, vad, features, log, alloc);
}

// ---------------------------------------------------------------------------------------------
// Reference layers.

void apply_dense_reference(const DenseLayerDesc& layer, float* output, const float* input) {
  const int n = layer.nb_neurons;
  for (int i = 0; i < n; ++i) {
    float sum = layer.bias[i];
    for (int j = 0; j < layer.nb_inputs; ++j)
      sum += layer.input_weights[j * n + i] * input[j];
    output[i] = apply_activation(layer.activation, sum);
  }
}

bool compute_gru_reference(const RecurrentLayerDesc& layer, float* state, const float* input,
                           float* z, float* r, const Logger& log) {
  if (z == nullptr || r == nullptr) {
    log.Printf(kDenoiseMallocFailed, "compute_gru", 112);
    return false;
  }
  const int n = layer.nb_neurons;
  const int m = layer.nb_inputs;
  const int stride = 3 * n;
  ORVO_CHECK(n <= kMaxNeurons, "recurrent_network");
  const std::int8_t* w = layer.input_weights;
  const std::int8_t* u = layer.recurrent_weights;
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
  float next[kMaxNeurons];
  for (int i = 0; i < n; ++i) {
    float sum = layer.bias[2 * n + i];
    for (int j = 0; j < m; ++j)
      sum += w[j * stride + 2 * n + i] * input[j];
    for (int j = 0; j < n; ++j)
      sum += u[j * stride + 2 * n + i] * state[j] * r[j];
    next[i] = z[i] * state[i] + (1.0f - z[i]) * apply_activation(layer.activation, sum);
  }
  std::memcpy(state, next, static_cast<std::size_t>(n) * sizeof(float));
  return true;
}

bool compute_rnn_reference(NetworkState& state, float* gains, float* vad, const float* features,
                           const Logger& log, const DenoiseAllocator& alloc) {
  return RunNetwork(apply_dense_reference, compute_gru_reference, state, gains, vad, features, log,
                    alloc);
}

}  // namespace orvo
