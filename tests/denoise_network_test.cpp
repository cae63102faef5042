#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "denoise/recurrent_network.hpp"
#include "tests/denoise_signals.hpp"

namespace orvo {
namespace {

// Collects everything a Logger prints.
struct LogCapture {
  std::string text;
  Logger logger{[](void* self, const char* s) { static_cast<LogCapture*>(self)->text += s; }, this};
};

// The exponent-bit value without the upper limit, for sums where that value is a finite float.
// Returns false where it would not be (there the original formula had no finite result).
bool UnclampedExpBits(float t, float* e) {
  t = t > kExpBitsLowest ? t : kExpBitsLowest;
  const float bits = (t + kExpBitsOffset) * kExpBitsScale;
  if (!(bits < 2139095040.0f)) return false;  // 0x7F800000: infinity and beyond
  *e = std::bit_cast<float>(static_cast<std::int32_t>(bits));
  return true;
}

// FNV-1a (64 bit) of denoise/model/weights.bin.
constexpr std::uint64_t kExpectedModelFnv1a = 0x7d5ee82c8761fff0ull;

std::vector<float> SumGrid() {
  std::vector<float> sums;
  for (double x = -400.0; x <= 400.0; x += 0.0625)
    sums.push_back(static_cast<float>(x * 256.0));
  // Around the points where the unclamped form leaves the finite range.
  for (double x : {44.38, 44.39, 44.5, 44.73, 44.74, -88.76, -88.77, -89.46, -89.47})
    for (int d = -50; d <= 50; ++d)
      sums.push_back(static_cast<float>((x + d * 1e-4) * 256.0));
  const float inf = std::numeric_limits<float>::infinity();
  for (float s : {1e30f, -1e30f, 3.4e38f, -3.4e38f, inf, -inf})
    sums.push_back(s);
  return sums;
}

TEST(DenoiseActivations, ConstantsHaveTheirExactBitPatterns) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kExpBitsOffset), 0x42FDE2A9u);
  EXPECT_FLOAT_EQ(kExpBitsOffset, 126.942695f);
  EXPECT_NE(kExpBitsOffset, 126.94269f);  // the nearest float to the decimal is 0x42FDE2A8
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kExpBitsScale), 0x4B000000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kExpBitsLowest), 0xC2FC0000u);
}

TEST(DenoiseActivations, SaturateWithoutInfinityOrNaN) {
  // Sums far outside anything the network produces, in both directions.
  const float inf = std::numeric_limits<float>::infinity();
  for (float s : {1e6f, 1e30f, inf}) {
    EXPECT_EQ(activation_tanh(s), 1.0f) << s;
    EXPECT_EQ(activation_sigmoid(s), 1.0f) << s;
    EXPECT_EQ(activation_tanh(-s), -1.0f) << s;
    const float low = activation_sigmoid(-s);
    EXPECT_GE(low, 0.0f) << s;
    EXPECT_LT(low, 1e-37f) << s;
  }
  // Just past the points where the plain exponent-bit form overflowed: tanh above 44.38 (x =
  // sum / 256), sigmoid below -88.76; a little further the integer conversion overflowed.
  for (float x : {44.4f, 44.8f, 50.0f, 64.0f})
    EXPECT_EQ(activation_tanh(x * 256.0f), 1.0f) << x;
  for (float x : {-88.8f, -89.5f, -100.0f, -128.0f})
    EXPECT_LT(activation_sigmoid(x * 256.0f), 1e-37f) << x;
  // A NaN sum saturates instead of reaching the integer conversion.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(activation_sigmoid(nan), 1.0f);
  EXPECT_EQ(activation_tanh(nan), -1.0f);
  EXPECT_EQ(activation_relu(nan), 0.0f);
}

TEST(DenoiseActivations, UnchangedWhereThePlainFormWasFinite) {
  int compared = 0;
  for (float s : SumGrid()) {
    float e;
    if (UnclampedExpBits(s * -0.00390625f * kLog2E, &e)) {
      EXPECT_EQ(activation_sigmoid(s), 1.0f / (e + 1.0f)) << s;
      ++compared;
    }
    if (UnclampedExpBits(s * 0.0078125f * kLog2E, &e)) {
      EXPECT_EQ(activation_tanh(s), (e - 1.0f) / (e + 1.0f)) << s;
      ++compared;
    }
  }
  EXPECT_GT(compared, 15000);
}

TEST(DenoiseActivations, RangeMonotonicityAndAccuracy) {
  std::vector<float> sums = SumGrid();
  std::sort(sums.begin(), sums.end());
  float prev_t = -2.0f, prev_s = -1.0f;
  double worst_t = 0.0, worst_s = 0.0;
  for (float s : sums) {
    const float t = activation_tanh(s);
    const float g = activation_sigmoid(s);
    const float r = activation_relu(s);
    ASSERT_TRUE(std::isfinite(t) && std::isfinite(g)) << s;
    EXPECT_GE(t, -1.0f);
    EXPECT_LE(t, 1.0f);
    EXPECT_GE(g, 0.0f);
    EXPECT_LE(g, 1.0f);
    EXPECT_GE(r, 0.0f) << s;  // never negative
    EXPECT_GE(t, prev_t) << s;
    EXPECT_GE(g, prev_s) << s;
    prev_t = t;
    prev_s = g;
    if (std::isfinite(s)) {
      const double x = s / 256.0;
      worst_t = std::max(worst_t, std::abs(t - std::tanh(x)));
      worst_s = std::max(worst_s, std::abs(g - 1.0 / (1.0 + std::exp(-x))));
      EXPECT_EQ(r, x > 0 ? static_cast<float>(x) : 0.0f);
    }
  }
  // The exponent-bit approximation is within a few per cent of the exact functions.
  EXPECT_LT(worst_t, 0.035);
  EXPECT_LT(worst_s, 0.02);
  EXPECT_GT(worst_t, 1e-4);  // and it is the approximation, not the exact function
}

// ---------------------------------------------------------------------------------------------

TEST(DenoiseModel, LayerArraysStartWithThePublishedValues) {
  const DenoiseModel& m = BuiltinDenoiseModel();
  auto first4 = [](const std::int8_t* p) { return std::vector<int>{p[0], p[1], p[2], p[3]}; };
  using V = std::vector<int>;
  EXPECT_EQ(first4(m.input_layer.bias), (V{38, -6, 127, 127}));
  EXPECT_EQ(first4(m.input_layer.input_weights), (V{-10, 0, -3, 1}));
  EXPECT_EQ(first4(m.vad_recurrent.bias), (V{124, 125, -57, -126}));
  EXPECT_EQ(first4(m.vad_recurrent.input_weights), (V{-124, 23, -123, -33}));
  EXPECT_EQ(first4(m.vad_recurrent.recurrent_weights), (V{65, 83, 35, 56}));
  EXPECT_EQ(first4(m.noise_recurrent.bias), (V{51, 32, 88, 60}));
  EXPECT_EQ(first4(m.noise_recurrent.input_weights), (V{-10, -8, 5, -72}));
  EXPECT_EQ(first4(m.noise_recurrent.recurrent_weights), (V{20, -47, 122, 31}));
  EXPECT_EQ(first4(m.gain_recurrent.bias), (V{-41, -76, -24, -96}));
  EXPECT_EQ(first4(m.gain_recurrent.input_weights), (V{-53, 26, -20, 28}));
  EXPECT_EQ(first4(m.gain_recurrent.recurrent_weights), (V{-76, -99, -23, -18}));
  EXPECT_EQ(first4(m.gain_layer.bias), (V{-82, -66, -125, -95}));
  EXPECT_EQ(first4(m.gain_layer.input_weights), (V{24, 90, 127, 108}));
  EXPECT_EQ(m.vad_layer.bias[0], -50);
  EXPECT_EQ(first4(m.vad_layer.input_weights), (V{127, 127, 127, 127}));
  // The vad layer's weights are the last 24 values of the model.
  EXPECT_EQ(m.vad_layer.input_weights + 24, DenoiseModelWeights() + kDenoiseModelBytes);

  auto dense = [](const DenseLayerDesc& l) {
    return std::vector<int>{l.nb_inputs, l.nb_neurons, l.activation};
  };
  auto gru = [](const RecurrentLayerDesc& l) {
    return std::vector<int>{l.nb_inputs, l.nb_neurons, l.activation};
  };
  EXPECT_EQ(dense(m.input_layer), (V{42, 24, kActivationTanh}));
  EXPECT_EQ(gru(m.vad_recurrent), (V{24, 24, kActivationRelu}));
  EXPECT_EQ(gru(m.noise_recurrent), (V{90, 48, kActivationRelu}));
  EXPECT_EQ(gru(m.gain_recurrent), (V{114, 96, kActivationRelu}));
  EXPECT_EQ(dense(m.gain_layer), (V{96, 22, kActivationSigmoid}));
  EXPECT_EQ(dense(m.vad_layer), (V{24, 1, kActivationSigmoid}));
}

TEST(DenoiseModel, ContentChecksum) {
  // FNV-1a over the embedded bytes; the build also checks the file's SHA-256.
  const std::int8_t* w = DenoiseModelWeights();
  std::uint64_t h = 1469598103934665603ull;
  int lo = 0, hi = 0;
  for (std::size_t i = 0; i < kDenoiseModelBytes; ++i) {
    h = (h ^ static_cast<std::uint8_t>(w[i])) * 1099511628211ull;
    lo = std::min<int>(lo, w[i]);
    hi = std::max<int>(hi, w[i]);
  }
  EXPECT_EQ(lo, -128);
  EXPECT_EQ(hi, 127);
  EXPECT_EQ(h, kExpectedModelFnv1a);
}

// ---------------------------------------------------------------------------------------------
// A two-neuron GRU whose gates are driven to their limits by one large input: z = 0 (take the
// candidate), r = 1 (full previous state), and each candidate reads the other neuron's state.

struct TinyGru {
  // bias: z, r, h for neurons 0 and 1
  std::int8_t bias[6] = {0, 0, 0, 0, 0, 0};
  // one input: z weights -128 (z -> 0), r weights 127 (r -> 1), no input to the candidate
  std::int8_t input[6] = {-128, -128, 127, 127, 0, 0};
  // recurrent weights [state j][gate g][neuron i]: candidate of 0 reads state 1, of 1 reads 0
  std::int8_t rec[12] = {0, 0, 0, 0, 0,  64,  // state 0
                         0, 0, 0, 0, 64, 0};  // state 1
  RecurrentLayerDesc desc() const { return {bias, input, rec, 1, 2, kActivationRelu}; }
};

TEST(DenoiseGru, EveryCandidateSeesThePreviousState) {
  TinyGru g;
  const float in[1] = {100.0f};
  for (auto gru : {compute_gru, compute_gru_reference}) {
    float state[2] = {8.0f, 4.0f};
    float z[2], r[2];
    ASSERT_TRUE(gru(g.desc(), state, in, z, r, DefaultLogger()));
    EXPECT_LT(z[0], 1e-20f);
    EXPECT_EQ(r[1], 1.0f);
    // Candidate 0 = 64 * 4 / 256 = 1, candidate 1 = 64 * 8 / 256 = 2. Updating in place would
    // have given neuron 1 the new state of neuron 0: 64 * 1 / 256 = 0.25.
    EXPECT_EQ(state[0], 1.0f);
    EXPECT_EQ(state[1], 2.0f);
  }
}

TEST(DenoiseGru, UpdateAndResetGates) {
  TinyGru g;
  const float in[1] = {100.0f};
  // z = 1: the state is kept whatever the candidate.
  g.input[0] = g.input[1] = 127;
  for (auto gru : {compute_gru, compute_gru_reference}) {
    float state[2] = {8.0f, 4.0f};
    float z[2], r[2];
    gru(g.desc(), state, in, z, r, DefaultLogger());
    EXPECT_EQ(state[0], 8.0f);
    EXPECT_EQ(state[1], 4.0f);
  }
  // z = 0 and r = 0: the reset gate hides the state from the candidate (ReLU of 0), so only
  // z s (about 2e-22 s) remains.
  g.input[0] = g.input[1] = -128;
  g.input[2] = g.input[3] = -128;
  for (auto gru : {compute_gru, compute_gru_reference}) {
    float state[2] = {8.0f, 4.0f};
    float z[2], r[2];
    gru(g.desc(), state, in, z, r, DefaultLogger());
    EXPECT_LT(r[0], 1e-20f);
    EXPECT_LT(state[0], 1e-20f);
    EXPECT_LT(state[1], 1e-20f);
  }
}

TEST(DenoiseGru, MissingScratchIsReportedAndLeavesTheState) {
  TinyGru g;
  const float in[1] = {100.0f};
  for (auto gru : {compute_gru, compute_gru_reference}) {
    LogCapture log;
    float state[2] = {8.0f, 4.0f};
    float z[2];
    EXPECT_FALSE(gru(g.desc(), state, in, z, nullptr, log.logger));
    EXPECT_FALSE(gru(g.desc(), state, in, nullptr, z, log.logger));
    EXPECT_EQ(log.text, "[compute_gru 112] malloc failed\n[compute_gru 112] malloc failed\n");
    EXPECT_EQ(state[0], 8.0f);
    EXPECT_EQ(state[1], 4.0f);
  }
}

TEST(DenoiseDense, WeightsByInputThenNeuronAndInt8Arrays) {
  // Two inputs, three neurons: weight of input j for neuron i at j * 3 + i.
  const std::int8_t bias[3] = {0, 10, -10};
  const std::int8_t w[6] = {1, 2, 3, 4, 5, 6};
  const float in[2] = {256.0f, 512.0f};
  const DenseLayerDesc relu{bias, w, 2, 3, kActivationRelu};
  for (auto dense : {apply_dense, apply_dense_reference}) {
    float out[3];
    dense(relu, out, in);
    EXPECT_EQ(out[0], (0 + 1 * 256 + 4 * 512) / 256.0f);
    EXPECT_EQ(out[1], (10 + 2 * 256 + 5 * 512) / 256.0f);
    EXPECT_EQ(out[2], (-10 + 3 * 256 + 6 * 512) / 256.0f);
  }
}

// ---------------------------------------------------------------------------------------------

// The built-in layers run from a packed copy of their weights; the same layers over copies of
// their int8 arrays take the general path. Both must give the same bits, for every layer.
TEST(DenoiseNetwork, PackedBuiltinLayersEqualTheGeneralPath) {
  const DenoiseModel& m = BuiltinDenoiseModel();
  testsignals::Noise rng(9);
  auto copy = [](const std::int8_t* p, std::size_t n) {
    return std::vector<std::int8_t>(p, p + n);
  };
  for (const DenseLayerDesc* l : {&m.input_layer, &m.gain_layer, &m.vad_layer}) {
    const std::size_t n = static_cast<std::size_t>(l->nb_neurons);
    const std::vector<std::int8_t> bias = copy(l->bias, n);
    const std::vector<std::int8_t> w = copy(l->input_weights, n * l->nb_inputs);
    const DenseLayerDesc general{bias.data(), w.data(), l->nb_inputs, l->nb_neurons, l->activation};
    for (int step = 0; step < 20; ++step) {
      std::vector<float> in(static_cast<std::size_t>(l->nb_inputs));
      for (float& v : in)
        v = static_cast<float>((step % 5 == 4 ? 300.0 : 2.0) * rng.Gauss());
      float a[kMaxNeurons], b[kMaxNeurons];
      apply_dense(*l, a, in.data());
      apply_dense(general, b, in.data());
      ASSERT_EQ(std::memcmp(a, b, n * sizeof(float)), 0) << l->nb_inputs << " " << step;
    }
  }
  for (const RecurrentLayerDesc* l : {&m.vad_recurrent, &m.noise_recurrent, &m.gain_recurrent}) {
    const std::size_t n = static_cast<std::size_t>(l->nb_neurons);
    const std::vector<std::int8_t> bias = copy(l->bias, 3 * n);
    const std::vector<std::int8_t> w = copy(l->input_weights, 3 * n * l->nb_inputs);
    const std::vector<std::int8_t> u = copy(l->recurrent_weights, 3 * n * n);
    const RecurrentLayerDesc general{bias.data(),  w.data(),      u.data(),
                                     l->nb_inputs, l->nb_neurons, l->activation};
    float s1[kMaxNeurons], s2[kMaxNeurons];
    for (std::size_t i = 0; i < n; ++i)
      s1[i] = s2[i] = static_cast<float>(std::abs(rng.Gauss()));
    for (int step = 0; step < 20; ++step) {
      std::vector<float> in(static_cast<std::size_t>(l->nb_inputs));
      for (float& v : in)
        v = static_cast<float>((step % 5 == 4 ? 300.0 : 2.0) * rng.Gauss());
      float z1[kMaxNeurons], r1[kMaxNeurons], z2[kMaxNeurons], r2[kMaxNeurons];
      ASSERT_TRUE(compute_gru(*l, s1, in.data(), z1, r1, DefaultLogger()));
      ASSERT_TRUE(compute_gru(general, s2, in.data(), z2, r2, DefaultLogger()));
      ASSERT_EQ(std::memcmp(z1, z2, n * sizeof(float)), 0) << n << " " << step;
      ASSERT_EQ(std::memcmp(r1, r2, n * sizeof(float)), 0) << n << " " << step;
      ASSERT_EQ(std::memcmp(s1, s2, n * sizeof(float)), 0) << n << " " << step;
    }
  }
}

TEST(DenoiseNetwork, FastAndReferenceAgreeBitForBit) {
  testsignals::Noise rng(5);
  NetworkState fast{}, ref{};
  for (int step = 0; step < 300; ++step) {
    float features[kDenoiseFeatures];
    // Ordinary feature values, with now and then very large ones that drive every activation
    // into saturation.
    const double scale = step % 50 == 49 ? 1e4 : 3.0;
    for (float& f : features)
      f = static_cast<float>(scale * rng.Gauss());
    float g1[kDenoiseBands], g2[kDenoiseBands], v1, v2;
    ASSERT_TRUE(compute_rnn(fast, g1, &v1, features, DefaultLogger()));
    ASSERT_TRUE(compute_rnn_reference(ref, g2, &v2, features, DefaultLogger()));
    ASSERT_EQ(std::memcmp(g1, g2, sizeof g1), 0) << step;
    ASSERT_EQ(v1, v2) << step;
    ASSERT_EQ(std::memcmp(&fast, &ref, sizeof fast), 0) << step;
    for (float g : g1)
      ASSERT_TRUE(g >= 0.0f && g <= 1.0f) << step;
    ASSERT_TRUE(v1 >= 0.0f && v1 <= 1.0f);
    for (float s : fast.gain_state)
      ASSERT_TRUE(s >= 0.0f && std::isfinite(s)) << step;
  }
}

TEST(DenoiseNetwork, ScratchFailureLeavesEverythingAlone) {
  LogCapture log;
  const DenoiseAllocator refuse{[](void*, std::size_t) -> void* { return nullptr; },
                                [](void*, void*) {}, nullptr};
  float features[kDenoiseFeatures] = {};
  NetworkState net{};
  net.gain_state[3] = 0.5f;
  const NetworkState before = net;
  float gains[kDenoiseBands];
  for (float& g : gains)
    g = -7.0f;
  float vad = -7.0f;
  EXPECT_FALSE(compute_rnn(net, gains, &vad, features, log.logger, refuse));
  EXPECT_EQ(log.text, "[compute_rnn 294] malloc failed\n");
  EXPECT_EQ(std::memcmp(&before, &net, sizeof net), 0);
  for (float g : gains)
    EXPECT_EQ(g, -7.0f);
  EXPECT_EQ(vad, -7.0f);

  // The scratch block is 2560 bytes.
  std::size_t asked = 0;
  const DenoiseAllocator record{[](void* ctx, std::size_t n) -> void* {
                                  *static_cast<std::size_t*>(ctx) = n;
                                  return std::malloc(n);
                                },
                                [](void*, void* p) { std::free(p); }, &asked};
  EXPECT_TRUE(compute_rnn(net, gains, &vad, features, log.logger, record));
  EXPECT_EQ(asked, 2560u);
}

}  // namespace
}  // namespace orvo
