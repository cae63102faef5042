#include "denoise/recurrent_network.hpp"

#include <cstring>
#include <vector>

#include "base/check.hpp"
#include "denoise/messages.hpp"
#include "denoise/recurrent_network_kernels.hpp"

namespace orvo {

// The model bytes, generated at build time from denoise/model/weights.bin.
extern const unsigned char kDenoiseModelData[kDenoiseModelBytes];

const std::int8_t* DenoiseModelWeights() {
  // Reading unsigned char objects through their signed counterpart is well defined.
  return reinterpret_cast<const std::int8_t*>(kDenoiseModelData);
}

namespace {

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

// The network's data flow.
bool RunNetwork(NetworkState& st, float* gains, float* vad, const float* features,
                const Logger& log, const DenoiseAllocator& alloc) {
  const CpuLevel level = st.level;
  const auto dense = [level](const DenseLayerDesc& layer, float* output, const float* input) {
    apply_dense(layer, output, input, level);
  };
  const auto gru = [level](const RecurrentLayerDesc& layer, float* state, const float* input,
                           float* z, float* r, const Logger& log) {
    compute_gru(layer, state, input, z, r, log, level);
  };
  ScratchBlock scratch(alloc, 2560);
  if (!scratch) {
    log.Printf(msg::kDenoiseMallocFailed, "compute_rnn", 294);
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

namespace {

const PackedModel<float>& PackedFloatModel() {
  static const PackedModel<float> model = PackModel<float>();
  return model;
}

ORVO_FLATTEN void DenseBaseline(const DenseLayerDesc& layer, float* output, const float* input) {
  Dense<Lanes4, FloatLoad>(PackedFloatModel(), layer, output, input);
}

ORVO_FLATTEN void GruBaseline(const RecurrentLayerDesc& layer, float* state, const float* input,
                              float* z, float* r) {
  Gru<Lanes4, FloatLoad>(PackedFloatModel(), layer, state, input, z, r);
}

}  // namespace

void PrepareDenoiseModel(CpuLevel level) {
  BuiltinDenoiseModel();
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::PrepareDenoiseModelAvx2();
#endif
    default:
      PackedFloatModel();
  }
}

void apply_dense(const DenseLayerDesc& layer, float* output, const float* input, CpuLevel level) {
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      return avx2::DenseLayerAvx2(layer, output, input);
#endif
    default:
      return DenseBaseline(layer, output, input);
  }
}

bool compute_gru(const RecurrentLayerDesc& layer, float* state, const float* input, float* z,
                 float* r, const Logger& log, CpuLevel level) {
  if (z == nullptr || r == nullptr) {
    log.Printf(msg::kDenoiseMallocFailed, "compute_gru", 112);
    return false;
  }
  ORVO_CHECK(layer.nb_neurons <= kMaxNeurons, "recurrent_network");
  switch (level) {
#if ORVO_CPU_AVX2
    case CpuLevel::kAvx2:
      avx2::GruLayerAvx2(layer, state, input, z, r);
      break;
#endif
    default:
      GruBaseline(layer, state, input, z, r);
  }
  return true;
}

bool compute_rnn(NetworkState& state, float* gains, float* vad, const float* features,
                 const Logger& log, const DenoiseAllocator& alloc) {
  return RunNetwork(state, gains, vad, features, log, alloc);
}

}  // namespace orvo
