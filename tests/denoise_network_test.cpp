#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "denoise/recurrent_network.hpp"

#include <random>

#include "tests/support/cpu_levels.hpp"
#include "tests/support/denoise_plain.hpp"
#include "tests/support/log_capture.hpp"

namespace orvo {
namespace {

using testing::LogCapture;

// The exponent-bit value without the upper limit; false where that would be no finite float.
bool UnclampedExpBits(float t, float* e) {
  t = t > kExpBitsLowest ? t : kExpBitsLowest;
  const float bits = (t + kExpBitsOffset) * kExpBitsScale;
  if (!(bits < 2139095040.0f)) return false;  // 0x7F800000: infinity and beyond
  *e = std::bit_cast<float>(static_cast<std::int32_t>(bits));
  return true;
}

TEST(DenoiseActivations, SaturateWithoutInfinityOrNaNAndOtherwiseKeepTheUnclampedValues) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kExpBitsOffset), 0x42FDE2A9u);
  EXPECT_NE(kExpBitsOffset, 126.94269f);  // the nearest float to the decimal is 0x42FDE2A8
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kExpBitsScale), 0x4B000000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(kExpBitsLowest), 0xC2FC0000u);
  // A NaN sum saturates instead of reaching the integer conversion.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(activation_sigmoid(nan), 1.0f);
  EXPECT_EQ(activation_tanh(nan), -1.0f);
  EXPECT_EQ(activation_relu(nan), 0.0f);

  // Sums x * 256 over a fine grid, around the points where the unclamped form overflowed (tanh
  // above x = 44.38, sigmoid below -88.76; a little further the integer conversion did), and far
  // outside anything the network produces.
  std::vector<float> sums;
  for (double x = -400.0; x <= 400.0; x += 0.0625)
    sums.push_back(static_cast<float>(x * 256.0));
  for (double x : {44.38, 44.39, 44.5, 44.73, 44.74, -88.76, -88.77, -89.46, -89.47})
    for (int d = -50; d <= 50; ++d)
      sums.push_back(static_cast<float>((x + d * 1e-4) * 256.0));
  for (float x : {1e6f, 1e30f, std::numeric_limits<float>::infinity()})
    sums.insert(sums.end(), {x, -x});
  float e;
  double worst_t = 0.0, worst_s = 0.0;
  int compared = 0;
  for (float s : sums) {
    const float t = activation_tanh(s), g = activation_sigmoid(s), r = activation_relu(s);
    ASSERT_TRUE(t >= -1.0f && t <= 1.0f && g >= 0.0f && g <= 1.0f) << s;  // false for NaN too
    const double x = s / 256.0;
    ASSERT_EQ(r, x > 0 ? static_cast<float>(x) : 0.0f) << s;              // never negative
    EXPECT_TRUE(std::abs(x) < 44.4 || t == (x > 0 ? 1.0f : -1.0f)) << s;  // saturated
    EXPECT_TRUE((x < 44.4 || g == 1.0f) && (x > -88.8 || g < 1e-37f)) << s;
    worst_t = std::max(worst_t, std::abs(t - std::tanh(x)));
    worst_s = std::max(worst_s, std::abs(g - 1.0 / (1.0 + std::exp(-x))));
    if (UnclampedExpBits(s * -0.00390625f * kLog2E, &e)) {
      EXPECT_EQ(g, 1.0f / (e + 1.0f)) << s;
      ++compared;
    }
    if (UnclampedExpBits(s * 0.0078125f * kLog2E, &e)) {
      EXPECT_EQ(t, (e - 1.0f) / (e + 1.0f)) << s;
      ++compared;
    }
  }
  EXPECT_GT(compared, 15000);
  EXPECT_LT(worst_t, 0.035);
  EXPECT_LT(worst_s, 0.02);
  EXPECT_GT(worst_t, 1e-4);  // the approximation, not the exact function
}

TEST(DenoiseModel, ShapesLayoutKnownValuesAndChecksum) {
  const DenoiseModel& m = BuiltinDenoiseModel();
  using V = std::vector<int>;
  // Shapes, and the layers' arrays (bias, input weights, recurrent weights) tiling the model in
  // order; with the checksum below that pins every value (a few spot checks besides).
  const std::int8_t* at = DenoiseModelWeights();
  auto next = [&](const std::int8_t* p, int n) {
    EXPECT_EQ(p, at);
    at += n;
  };
  auto dense = [&](const DenseLayerDesc& l, const V& shape) {
    EXPECT_EQ((V{l.nb_inputs, l.nb_neurons, l.activation}), shape);
    next(l.bias, l.nb_neurons);
    next(l.input_weights, l.nb_neurons * l.nb_inputs);
  };
  auto gru = [&](const RecurrentLayerDesc& l, const V& shape) {
    EXPECT_EQ((V{l.nb_inputs, l.nb_neurons, l.activation}), shape);
    next(l.bias, 3 * l.nb_neurons);
    next(l.input_weights, 3 * l.nb_neurons * l.nb_inputs);
    next(l.recurrent_weights, 3 * l.nb_neurons * l.nb_neurons);
  };
  dense(m.input_layer, {42, 24, kActivationTanh});
  gru(m.vad_recurrent, {24, 24, kActivationRelu});
  gru(m.noise_recurrent, {90, 48, kActivationRelu});
  gru(m.gain_recurrent, {114, 96, kActivationRelu});
  dense(m.gain_layer, {96, 22, kActivationSigmoid});
  dense(m.vad_layer, {24, 1, kActivationSigmoid});
  EXPECT_EQ(at, DenoiseModelWeights() + kDenoiseModelBytes);
  EXPECT_EQ((V{m.input_layer.bias[0], m.gain_layer.bias[0], m.vad_layer.bias[0]}),
            (V{38, -82, -50}));

  // FNV-1a (64 bit) over the embedded bytes; the build also checks the file's SHA-256.
  const std::int8_t* w = DenoiseModelWeights();
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < kDenoiseModelBytes; ++i)
    h = (h ^ static_cast<std::uint8_t>(w[i])) * 1099511628211ull;
  EXPECT_EQ(h, 0x7d5ee82c8761fff0ull);
}

// A two-neuron GRU with one large input that drives the gates to their limits; the candidate of
// neuron 0 reads state 1 and that of neuron 1 reads state 0 (64 / 256 each).
struct TinyGru {
  std::int8_t bias[6] = {};
  std::int8_t input[6] = {-128, -128, 127, 127, 0, 0};           // z, r, h per neuron
  std::int8_t rec[12] = {0, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0};  // [state][gate][neuron]
  RecurrentLayerDesc desc() const { return {bias, input, rec, 1, 2, kActivationRelu}; }
};

TEST(DenoiseGru, CandidatesFromThePreviousStateGatesAndMissingScratch) {
  struct Case {
    std::int8_t z_w, r_w;
    float z, r, s0, s1;
  };
  const Case cases[] = {
      // z = 0, r = 1: candidates 64 * 4 / 256 = 1 and 64 * 8 / 256 = 2. Updating in place would
      // have given neuron 1 the new state of neuron 0: 64 * 1 / 256 = 0.25.
      {-128, 127, 0.0f, 1.0f, 1.0f, 2.0f},
      {127, 127, 1.0f, 1.0f, 8.0f, 4.0f},  // z = 1 keeps the state whatever the candidate
      // z = 0, r = 0: the reset gate hides the state from the candidate (ReLU of 0).
      {-128, -128, 0.0f, 0.0f, 0.0f, 0.0f}};
  const float in[1] = {100.0f};
  for (const Case& c : cases)
    for (const CpuLevel level : kAllCpuLevels) {
      if (!CpuLevelSupported(level)) continue;
      const auto gru = [level](const RecurrentLayerDesc& layer, float* state, const float* input,
                               float* z, float* r, const Logger& log) {
        return compute_gru(layer, state, input, z, r, log, level);
      };
      TinyGru g;
      g.input[0] = g.input[1] = c.z_w;
      g.input[2] = g.input[3] = c.r_w;
      float state[2] = {8.0f, 4.0f}, z[2], r[2];
      ASSERT_TRUE(gru(g.desc(), state, in, z, r, DefaultLogger()));
      // A saturated gate is within 1e-20 of its limit; at 1, 2, 4 or 8 that is exact.
      EXPECT_NEAR(z[0], c.z, 1e-20f);
      EXPECT_NEAR(r[1], c.r, 1e-20f);
      EXPECT_NEAR(state[0], c.s0, 1e-20f) << c.z_w << " " << c.r_w;
      EXPECT_NEAR(state[1], c.s1, 1e-20f) << c.z_w << " " << c.r_w;
      // Missing scratch is reported and leaves the state alone.
      LogCapture log;
      EXPECT_FALSE(gru(g.desc(), state, in, z, nullptr, log.logger));
      EXPECT_FALSE(gru(g.desc(), state, in, nullptr, r, log.logger));
      EXPECT_EQ(log.text, "[compute_gru 112] malloc failed\n[compute_gru 112] malloc failed\n");
      EXPECT_NEAR(state[0], c.s0, 1e-20f);
      EXPECT_NEAR(state[1], c.s1, 1e-20f);
    }
}

TEST(DenoiseNetwork, ScratchFailureLeavesEverythingAlone) {
  LogCapture log;
  std::size_t asked = 0;  // the one scratch block is 2560 bytes
  const DenoiseAllocator refuse{[](void* ctx, std::size_t n) -> void* {
                                  *static_cast<std::size_t*>(ctx) = n;
                                  return nullptr;
                                },
                                [](void*, void*) {}, &asked};
  float features[kDenoiseFeatures] = {}, gains[kDenoiseBands], vad = -7.0f;
  std::fill(std::begin(gains), std::end(gains), -7.0f);
  NetworkState net{};
  net.gain_state[3] = 0.5f;
  const NetworkState before = net;
  EXPECT_FALSE(compute_rnn(net, gains, &vad, features, log.logger, refuse));
  EXPECT_EQ(log.text, "[compute_rnn 294] malloc failed\n");
  EXPECT_EQ(asked, 2560u);
  EXPECT_EQ(std::memcmp(&before, &net, sizeof net), 0);
  for (float g : gains)
    EXPECT_EQ(g, -7.0f);
  EXPECT_EQ(vad, -7.0f);
}

// Every layer at every processor level against the plain neuron-by-neuron loops, bit for bit:
// the built-in model's layers (packed weights) and layers of other shapes (weights widened on
// the fly), on ordinary inputs and on inputs large enough to saturate the activations.
class NetworkLevelTest : public ::testing::TestWithParam<CpuLevel> {};

TEST_P(NetworkLevelTest, LayersMatchThePlainLoops) {
  const CpuLevel level = GetParam();
  ORVO_SKIP_UNSUPPORTED_LEVEL(level);
  PrepareDenoiseModel(level);
  std::mt19937 rng(17);
  std::normal_distribution<float> g(0.0f, 2.0f);
  std::uniform_int_distribution<int> byte(-128, 127);
  const DenoiseModel& m = BuiltinDenoiseModel();
  // Other shapes: 7 inputs to 5 neurons and 30 to 40, with random weights.
  std::vector<std::int8_t> w(3 * 40 * (40 + 30) + 3 * 40);
  for (std::int8_t& v : w)
    v = static_cast<std::int8_t>(byte(rng));
  const DenseLayerDesc dense[] = {m.input_layer,
                                  m.gain_layer,
                                  m.vad_layer,
                                  {w.data(), w.data() + 16, 7, 5, kActivationTanh},
                                  {w.data(), w.data() + 64, 30, 40, kActivationRelu}};
  const RecurrentLayerDesc gru[] = {
      m.vad_recurrent,
      m.noise_recurrent,
      m.gain_recurrent,
      {w.data(), w.data() + 120, w.data() + 3000, 30, 40, kActivationRelu},
      {w.data(), w.data() + 8, w.data() + 200, 7, 5, kActivationTanh}};
  for (int trial = 0; trial < 20; ++trial) {
    const float scale = trial % 5 == 4 ? 3000.0f : 1.0f;
    std::vector<float> in(128), st(128);
    for (float& v : in)
      v = scale * g(rng);
    for (float& v : st)
      v = g(rng);
    for (const DenseLayerDesc& d : dense) {
      std::vector<float> got(128, -1.0f), want(128, -2.0f);
      apply_dense(d, got.data(), in.data(), level);
      plain::Dense(d, want.data(), in.data());
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), d.nb_neurons * sizeof(float)))
          << trial << " dense " << d.nb_inputs << "x" << d.nb_neurons;
    }
    for (const RecurrentLayerDesc& d : gru) {
      std::vector<float> a = st, b = st, z(128), r(128);
      ASSERT_TRUE(compute_gru(d, a.data(), in.data(), z.data(), r.data(), DefaultLogger(), level));
      plain::Gru(d, b.data(), in.data());
      ASSERT_EQ(0, std::memcmp(a.data(), b.data(), d.nb_neurons * sizeof(float)))
          << trial << " gru " << d.nb_inputs << "x" << d.nb_neurons;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, NetworkLevelTest, ORVO_ALL_CPU_LEVELS);

}  // namespace
}  // namespace orvo
