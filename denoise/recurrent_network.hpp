// The recurrent network of the neural noise suppressor: a dense input layer, three gated
// recurrent unit (GRU) layers and two dense output layers over 8-bit weights. It maps the 42
// features of one 10 ms frame to 22 band gains and a voice-activity probability; the GRU states
// carry over from frame to frame.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "base/cpu_level.hpp"
#include "base/log.hpp"
#include "denoise/denoise_alloc.hpp"

namespace orvo {

// Activation codes.
inline constexpr std::int32_t kActivationTanh = 0;
inline constexpr std::int32_t kActivationSigmoid = 1;
inline constexpr std::int32_t kActivationRelu = 2;

inline constexpr int kDenoiseFeatures = 42;
inline constexpr int kDenoiseBands = 22;
inline constexpr int kInputLayerSize = 24;
inline constexpr int kVadGruSize = 24;
inline constexpr int kNoiseGruSize = 48;
inline constexpr int kGainGruSize = 96;
inline constexpr int kMaxNeurons = 128;  // widest layer the scratch of compute_rnn serves
inline constexpr std::size_t kDenoiseModelBytes = 87503;

// Weights are signed 8-bit values; the real weight is value / 256. Input weight for input j
// and neuron i at j * nb_neurons + i, bias of neuron i at i.
struct DenseLayerDesc {
  const std::int8_t* bias;
  const std::int8_t* input_weights;
  std::int32_t nb_inputs;
  std::int32_t nb_neurons;
  std::int32_t activation;
};

// Three gates, update z (g = 0), reset r (g = 1) and candidate h (g = 2): input weight for input
// j, gate g and neuron i at j * 3N + g * N + i; recurrent weight for state j likewise; bias at
// g * N + i. The gates use the sigmoid; `activation` is the candidate's.
struct RecurrentLayerDesc {
  const std::int8_t* bias;
  const std::int8_t* input_weights;
  const std::int8_t* recurrent_weights;
  std::int32_t nb_inputs;
  std::int32_t nb_neurons;
  std::int32_t activation;
};

struct NetworkState {
  float vad_state[kVadGruSize];
  float noise_state[kNoiseGruSize];
  float gain_state[kGainGruSize];
  // The processor level of the layer kernels (zero-initialised: the baseline level).
  CpuLevel level;
};

// The trained model, embedded into the library at build time.
struct DenoiseModel {
  DenseLayerDesc input_layer;          // 42 -> 24, tanh
  RecurrentLayerDesc vad_recurrent;    // 24 -> 24, ReLU candidate
  RecurrentLayerDesc noise_recurrent;  // 90 -> 48, ReLU candidate
  RecurrentLayerDesc gain_recurrent;   // 114 -> 96, ReLU candidate
  DenseLayerDesc gain_layer;           // 96 -> 22, sigmoid
  DenseLayerDesc vad_layer;            // 24 -> 1, sigmoid
};

const std::int8_t* DenoiseModelWeights();  // kDenoiseModelBytes values
const DenoiseModel& BuiltinDenoiseModel();
// Builds the built-in model's descriptors and the packed copy of its weights the fast layers
// read at `level` (each is built once, on first use; this builds them ahead of the first frame).
void PrepareDenoiseModel(CpuLevel level);

// ---------------------------------------------------------------------------------------------
// Activations of a raw integer-weighted sum S (the real pre-activation is S / 256).
//
// The sigmoid and tanh build e^y from the bits of a float: the integer (t + 126.942695) * 2^23,
// read as a float, is close to 2^t. t is held at -126 from below (e then is about 2^-126). It is
// also held from above, at the largest product whose bit pattern is still a finite float: past
// it the pattern would be infinity or NaN and, a little further, the float-to-integer conversion
// would overflow. Below that limit the result is unchanged; above it tanh gives exactly 1 and the
// sigmoid about 3e-39. A NaN sum takes the lower limit.

inline constexpr float kExpBitsOffset = std::bit_cast<float>(0x42FDE2A9u);  // 126.942695
inline constexpr float kExpBitsScale = std::bit_cast<float>(0x4B000000u);   // 2^23
inline constexpr float kExpBitsLowest = std::bit_cast<float>(0xC2FC0000u);  // -126
inline constexpr float kExpBitsHighest = 2139094912.0f;  // 0x7F7FFF80: largest finite pattern
inline constexpr float kLog2E = 1.442695f;

inline float ExpBits(float t) {
  t = t > kExpBitsLowest ? t : kExpBitsLowest;
  float bits = (t + kExpBitsOffset) * kExpBitsScale;
  bits = bits < kExpBitsHighest ? bits : kExpBitsHighest;
  return std::bit_cast<float>(static_cast<std::int32_t>(bits));
}

inline float activation_sigmoid(float sum) {
  const float e = ExpBits(sum * -0.00390625f * kLog2E);  // e^(-x)
  return 1.0f / (e + 1.0f);
}

inline float activation_tanh(float sum) {
  const float e = ExpBits(sum * 0.0078125f * kLog2E);  // e^(2x)
  return (e - 1.0f) / (e + 1.0f);
}

inline float activation_relu(float sum) {
  const float x = sum * 0.00390625f;
  return x > 0.0f ? x : 0.0f;
}

inline float apply_activation(std::int32_t activation, float sum) {
  if (activation == kActivationSigmoid) return activation_sigmoid(sum);
  if (activation == kActivationRelu) return activation_relu(sum);
  return activation_tanh(sum);
}

// ---------------------------------------------------------------------------------------------
// Layers, with the kernels of the given processor level (every level gives the same bits).
// Every neuron's sum runs bias first, then the input terms in input order (then, for a
// GRU, the recurrent terms in state order), in float.

// output[i] = act(bias[i] + sum_j w[j][i] * input[j]).
void apply_dense(const DenseLayerDesc& layer, float* output, const float* input, CpuLevel level);

// One GRU step on `state` (nb_neurons values). z and r are caller scratch of nb_neurons floats
// each; with either missing it prints the allocation failure and leaves the state alone. Every
// candidate is computed from the state before the call. Returns whether the state was updated.
bool compute_gru(const RecurrentLayerDesc& layer, float* state, const float* input, float* z,
                 float* r, const Logger& log, CpuLevel level);

// The whole network on 42 features, at the state's processor level: 22 gains and the
// voice-activity value. Allocates one
// 2560-byte scratch block; when that fails it prints the failure and returns false with gains,
// vad and state untouched.
bool compute_rnn(NetworkState& state, float* gains, float* vad, const float* features,
                 const Logger& log, const DenoiseAllocator& alloc = DefaultDenoiseAllocator());

}  // namespace orvo
