// Kernels of the recurrent network's layers, written once over a vector width and built once
// per processor level: recurrent_network.cpp instantiates them with four-float vectors and
// float weights (baseline), recurrent_network_avx2.cpp with eight-float vectors and
// half-precision weights (AVX2). Every sum adds its terms in the order of the plain
// neuron-by-neuron loops at both widths, so both give the same bits.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/check.hpp"
#include "denoise/denoise_simd.hpp"
#include "denoise/recurrent_network.hpp"

namespace orvo {

namespace {

// ---------------------------------------------------------------------------------------------
// Column kernels. The weights are input-major (row j holds the weights of input j for every
// output column), so a block of B neighbouring columns is one contiguous run per input and the
// B sums advance together in registers. Each column's sum still adds its terms in input order,
// so the results equal the plain neuron-by-neuron loops bit for bit.

template <class T>
ORVO_ALWAYS_INLINE void LoadWeights(typename T::Vec& v, const std::int8_t* p) {
  v = __builtin_convertvector(*reinterpret_cast<const typename T::Bytes*>(p), typename T::Vec);
}

// acc[t] += w[j * stride + t] * in[j] for j < m, over NV vectors of columns.
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

// ---------------------------------------------------------------------------------------------
// Packed layers.
//
// The built-in model's layers run from a packed copy of their weights: the output columns are
// cut into blocks of 24 or 48 neighbouring columns, and each block holds its biases followed by
// all of its weight rows (input terms, then recurrent terms), so that one block is a single
// contiguous stream and its sums stay in registers from the bias to the last term. The values
// are stored as floats, or, for the AVX2 level, as half-precision floats (every int8 value
// is exact in both), which halves the memory the network streams through per call. Every sum
// still adds its terms in the order of the plain loops. Layers not from the built-in model
// widen their int8 arrays on the fly (the column kernels above).

constexpr int kWideBlock = 48;
constexpr int kNarrowBlock = 24;

// Width of the block starting at column c of n (n a multiple of kNarrowBlock).
constexpr int BlockWidth(int c, int n) {
  return n - c >= kWideBlock ? kWideBlock : kNarrowBlock;
}

constexpr int RoundUp(int n, int m) {
  return (n + m - 1) / m * m;
}

// The bits of the half-precision float equal to v (an int8 value, so exact).
inline std::uint16_t HalfBits(int v) {
  if (v == 0) return 0;
  const std::uint16_t sign = v < 0 ? 0x8000 : 0;
  const int a = v < 0 ? -v : v;
  int e = 0;
  while ((a >> (e + 1)) != 0)
    ++e;
  const int mantissa = (a << (10 - e)) & 0x3FF;
  return static_cast<std::uint16_t>(sign | ((e + 15) << 10) | mantissa);
}

// Packed weights of the built-in model; E is float or std::uint16_t (half-precision bits).
template <class E>
struct PackedModel {
  std::vector<E> data;
  std::size_t input_layer = 0, vad_recurrent = 0, noise_recurrent = 0, gain_recurrent = 0,
              gain_layer = 0, vad_layer = 0;
};

template <class E>
E PackValue(std::int8_t v) {
  if constexpr (sizeof(E) == sizeof(float))
    return static_cast<float>(v);
  else
    return HalfBits(v);
}

// One block: `width` biases, then per row its `width` weights. Columns past n are zero.
template <class E>
void PackBlock(std::vector<E>& out, const std::int8_t* bias, int first, int width, int n,
               const std::int8_t* const* rows, const int* row_counts, const int* strides,
               int segments) {
  for (int t = 0; t < width; ++t)
    out.push_back(first + t < n ? PackValue<E>(bias[first + t]) : E{});
  for (int s = 0; s < segments; ++s)
    for (int j = 0; j < row_counts[s]; ++j)
      for (int t = 0; t < width; ++t)
        out.push_back(first + t < n ? PackValue<E>(rows[s][j * strides[s] + first + t]) : E{});
}

// Dense layer: its columns (padded to a multiple of 24) in blocks.
template <class E>
std::size_t PackDense(std::vector<E>& out, const DenseLayerDesc& l) {
  const std::size_t at = out.size();
  const int padded = RoundUp(l.nb_neurons, kNarrowBlock);
  const std::int8_t* rows[1] = {l.input_weights};
  const int counts[1] = {l.nb_inputs};
  const int strides[1] = {l.nb_neurons};
  for (int c = 0; c < padded; c += BlockWidth(c, padded))
    PackBlock(out, l.bias, c, BlockWidth(c, padded), l.nb_neurons, rows, counts, strides, 1);
  return at;
}

// GRU layer: the 2N columns of z and r, then the N candidate columns, each block with its input
// rows followed by its recurrent rows.
template <class E>
std::size_t PackGru(std::vector<E>& out, const RecurrentLayerDesc& l) {
  const std::size_t at = out.size();
  const int n = l.nb_neurons;
  const int stride = 3 * n;
  const int counts[2] = {l.nb_inputs, n};
  const int strides[2] = {stride, stride};
  const std::int8_t* gates[2] = {l.input_weights, l.recurrent_weights};
  for (int c = 0; c < 2 * n; c += BlockWidth(c, 2 * n))
    PackBlock(out, l.bias, c, BlockWidth(c, 2 * n), 2 * n, gates, counts, strides, 2);
  const std::int8_t* candidate[2] = {l.input_weights + 2 * n, l.recurrent_weights + 2 * n};
  for (int c = 0; c < n; c += BlockWidth(c, n))
    PackBlock(out, l.bias + 2 * n, c, BlockWidth(c, n), n, candidate, counts, strides, 2);
  return at;
}

template <class E>
PackedModel<E> PackModel() {
  const DenoiseModel& m = BuiltinDenoiseModel();
  PackedModel<E> p;
  p.input_layer = PackDense(p.data, m.input_layer);
  p.vad_recurrent = PackGru(p.data, m.vad_recurrent);
  p.noise_recurrent = PackGru(p.data, m.noise_recurrent);
  p.gain_recurrent = PackGru(p.data, m.gain_recurrent);
  p.gain_layer = PackDense(p.data, m.gain_layer);
  p.vad_layer = PackDense(p.data, m.vad_layer);
  return p;
}

static_assert(kInputLayerSize % kNarrowBlock == 0 && kVadGruSize % kNarrowBlock == 0 &&
              kNoiseGruSize % kNarrowBlock == 0 && kGainGruSize % kNarrowBlock == 0);

inline bool SameLayer(const DenseLayerDesc& a, const DenseLayerDesc& b) {
  return a.bias == b.bias && a.input_weights == b.input_weights && a.nb_inputs == b.nb_inputs &&
         a.nb_neurons == b.nb_neurons && a.activation == b.activation;
}

inline bool SameLayer(const RecurrentLayerDesc& a, const RecurrentLayerDesc& b) {
  return a.bias == b.bias && a.input_weights == b.input_weights &&
         a.recurrent_weights == b.recurrent_weights && a.nb_inputs == b.nb_inputs &&
         a.nb_neurons == b.nb_neurons && a.activation == b.activation;
}

// Loads of L packed values as one vector of floats.
struct FloatLoad {
  typedef float Elem;
  template <class T>
  static inline void Load(typename T::Vec& v, const float* p) {
    v = *reinterpret_cast<const typename T::Unaligned*>(p);
  }
};

// Activations on whole vectors; the same operations as the scalar ones, lane by lane.
// e = ExpBits(t) lane by lane (t is overwritten).
template <class T>
inline void ExpBitsVec(typename T::Vec& e, typename T::Vec& t) {
  typedef typename T::Vec V;
  t = t > kExpBitsLowest ? t : V{} + kExpBitsLowest;
  V bits = (t + kExpBitsOffset) * kExpBitsScale;
  bits = bits < kExpBitsHighest ? bits : V{} + kExpBitsHighest;
  e = reinterpret_cast<V>(__builtin_convertvector(bits, typename T::Index));
}

template <class T>
inline void ActivateVec(std::int32_t activation, typename T::Vec& v) {
  typedef typename T::Vec V;
  if (activation == kActivationSigmoid) {
    V t = v * -0.00390625f * kLog2E, e;  // e^(-x)
    ExpBitsVec<T>(e, t);
    v = 1.0f / (e + 1.0f);
  } else if (activation == kActivationRelu) {
    const V x = v * 0.00390625f;
    v = x > 0.0f ? x : V{};
  } else {
    V t = v * 0.0078125f * kLog2E, e;  // e^(2x)
    ExpBitsVec<T>(e, t);
    v = (e - 1.0f) / (e + 1.0f);
  }
}

// a[v] += w * x[j] over m rows of NV vectors each; returns the next row.
template <class T, class Ld, int NV>
inline const typename Ld::Elem* Rows(typename T::Vec (&a)[NV], const typename Ld::Elem* p,
                                     const float* x, int m) {
  constexpr int L = T::kLanes;
  for (int j = 0; j < m; ++j, p += NV * L) {
    const float xj = x[j];
    for (int v = 0; v < NV; ++v) {
      typename T::Vec w;
      Ld::template Load<T>(w, p + L * v);
      a[v] += w * xj;
    }
  }
  return p;
}

// a[v] += (w * s[j]) * g[j]: the candidate's recurrent terms over the reset-scaled state.
template <class T, class Ld, int NV>
inline const typename Ld::Elem* GatedRows(typename T::Vec (&a)[NV], const typename Ld::Elem* p,
                                          const float* s, const float* g, int m) {
  constexpr int L = T::kLanes;
  for (int j = 0; j < m; ++j, p += NV * L) {
    const float sj = s[j];
    const float gj = g[j];
    for (int v = 0; v < NV; ++v) {
      typename T::Vec w;
      Ld::template Load<T>(w, p + L * v);
      a[v] += (w * sj) * gj;
    }
  }
  return p;
}

template <class T, class Ld, int NV>
inline const typename Ld::Elem* Bias(typename T::Vec (&a)[NV], const typename Ld::Elem* p) {
  for (int v = 0; v < NV; ++v)
    Ld::template Load<T>(a[v], p + T::kLanes * v);
  return p + NV * T::kLanes;
}

// One block of `width` = NV * L columns of a dense layer: activated sums into out.
template <class T, class Ld, int NV>
inline const typename Ld::Elem* DenseBlock(const typename Ld::Elem* p, const float* input, int m,
                                           std::int32_t activation, float* out) {
  typename T::Vec a[NV];
  p = Bias<T, Ld, NV>(a, p);
  p = Rows<T, Ld, NV>(a, p, input, m);
  for (int v = 0; v < NV; ++v) {
    ActivateVec<T>(activation, a[v]);
    *reinterpret_cast<typename T::Unaligned*>(out + T::kLanes * v) = a[v];
  }
  return p;
}

template <class T, class Ld>
inline void PackedDense(const typename Ld::Elem* p, const DenseLayerDesc& layer, float* output,
                        const float* input) {
  constexpr int L = T::kLanes;
  const int n = layer.nb_neurons;
  const int padded = RoundUp(n, kNarrowBlock);
  float out[kMaxNeurons];
  for (int c = 0; c < padded; c += BlockWidth(c, padded)) {
    if (BlockWidth(c, padded) == kWideBlock)
      p = DenseBlock<T, Ld, kWideBlock / L>(p, input, layer.nb_inputs, layer.activation, out + c);
    else
      p = DenseBlock<T, Ld, kNarrowBlock / L>(p, input, layer.nb_inputs, layer.activation, out + c);
  }
  std::memcpy(output, out, static_cast<std::size_t>(n) * sizeof(float));
}

// z and r (columns 0 .. 2N - 1) of one block: sigmoids into zr.
template <class T, class Ld, int NV>
inline const typename Ld::Elem* GateBlock(const typename Ld::Elem* p, const float* input, int m,
                                          const float* state, int n, float* zr) {
  typename T::Vec a[NV];
  p = Bias<T, Ld, NV>(a, p);
  p = Rows<T, Ld, NV>(a, p, input, m);
  p = Rows<T, Ld, NV>(a, p, state, n);
  for (int v = 0; v < NV; ++v) {
    ActivateVec<T>(kActivationSigmoid, a[v]);
    *reinterpret_cast<typename T::Unaligned*>(zr + T::kLanes * v) = a[v];
  }
  return p;
}

// Candidate sums (not yet activated) of one block into h.
template <class T, class Ld, int NV>
inline const typename Ld::Elem* CandidateBlock(const typename Ld::Elem* p, const float* input,
                                               int m, const float* state, const float* r, int n,
                                               float* h) {
  typename T::Vec a[NV];
  p = Bias<T, Ld, NV>(a, p);
  p = Rows<T, Ld, NV>(a, p, input, m);
  p = GatedRows<T, Ld, NV>(a, p, state, r, n);
  for (int v = 0; v < NV; ++v)
    *reinterpret_cast<typename T::Unaligned*>(h + T::kLanes * v) = a[v];
  return p;
}

template <class T, class Ld>
inline void PackedGru(const typename Ld::Elem* p, const RecurrentLayerDesc& layer, float* state,
                      const float* input, float* z, float* r) {
  constexpr int L = T::kLanes;
  typedef typename T::Vec V;
  typedef typename T::Unaligned U;
  const int n = layer.nb_neurons;
  const int m = layer.nb_inputs;
  float zr[2 * kMaxNeurons];
  for (int c = 0; c < 2 * n; c += BlockWidth(c, 2 * n)) {
    if (BlockWidth(c, 2 * n) == kWideBlock)
      p = GateBlock<T, Ld, kWideBlock / L>(p, input, m, state, n, zr + c);
    else
      p = GateBlock<T, Ld, kNarrowBlock / L>(p, input, m, state, n, zr + c);
  }
  std::memcpy(z, zr, static_cast<std::size_t>(n) * sizeof(float));
  std::memcpy(r, zr + n, static_cast<std::size_t>(n) * sizeof(float));
  float h[kMaxNeurons];
  for (int c = 0; c < n; c += BlockWidth(c, n)) {
    if (BlockWidth(c, n) == kWideBlock)
      p = CandidateBlock<T, Ld, kWideBlock / L>(p, input, m, state, r, n, h + c);
    else
      p = CandidateBlock<T, Ld, kNarrowBlock / L>(p, input, m, state, r, n, h + c);
  }
  // Every candidate has read the previous state; now the update.
  for (int i = 0; i < n; i += L) {
    const V zi = *reinterpret_cast<const U*>(zr + i);
    const V si = *reinterpret_cast<const U*>(state + i);
    V hi = *reinterpret_cast<const U*>(h + i);
    ActivateVec<T>(layer.activation, hi);
    *reinterpret_cast<U*>(state + i) = zi * si + (1.0f - zi) * hi;
  }
}

// Generic layers (int8 arrays).
template <class T>
ORVO_ALWAYS_INLINE void DenseLayer(const DenseLayerDesc& layer, float* output, const float* input) {
  const int n = layer.nb_neurons;
  for (int i = 0; i < n; ++i)
    output[i] = static_cast<float>(layer.bias[i]);
  Accumulate<T>(output, layer.input_weights, n, input, layer.nb_inputs, n);
  for (int i = 0; i < n; ++i)
    output[i] = apply_activation(layer.activation, output[i]);
}

template <class T>
ORVO_ALWAYS_INLINE void GruLayer(const RecurrentLayerDesc& layer, float* state, const float* input,
                                 float* z, float* r) {
  const std::int8_t* bias = layer.bias;
  const std::int8_t* w = layer.input_weights;
  const std::int8_t* u = layer.recurrent_weights;
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

// Where a built-in layer's packed weights start, or null for any other layer.
template <class E>
const E* PackedDenseAt(const PackedModel<E>& pm, const DenseLayerDesc& layer) {
  const DenoiseModel& m = BuiltinDenoiseModel();
  if (SameLayer(layer, m.input_layer)) return pm.data.data() + pm.input_layer;
  if (SameLayer(layer, m.gain_layer)) return pm.data.data() + pm.gain_layer;
  if (SameLayer(layer, m.vad_layer)) return pm.data.data() + pm.vad_layer;
  return nullptr;
}

template <class E>
const E* PackedGruAt(const PackedModel<E>& pm, const RecurrentLayerDesc& layer) {
  const DenoiseModel& m = BuiltinDenoiseModel();
  if (SameLayer(layer, m.vad_recurrent)) return pm.data.data() + pm.vad_recurrent;
  if (SameLayer(layer, m.noise_recurrent)) return pm.data.data() + pm.noise_recurrent;
  if (SameLayer(layer, m.gain_recurrent)) return pm.data.data() + pm.gain_recurrent;
  return nullptr;
}

template <class T, class Ld, class E>
inline void Dense(const PackedModel<E>& pm, const DenseLayerDesc& layer, float* output,
                  const float* input) {
  if (const E* p = PackedDenseAt(pm, layer))
    PackedDense<T, Ld>(p, layer, output, input);
  else
    DenseLayer<T>(layer, output, input);
}

template <class T, class Ld, class E>
inline void Gru(const PackedModel<E>& pm, const RecurrentLayerDesc& layer, float* state,
                const float* input, float* z, float* r) {
  if (const E* p = PackedGruAt(pm, layer))
    PackedGru<T, Ld>(p, layer, state, input, z, r);
  else
    GruLayer<T>(layer, state, input, z, r);
}

}  // namespace

// The AVX2 layers (recurrent_network_avx2.cpp).
namespace avx2 {
void DenseLayerAvx2(const DenseLayerDesc& layer, float* output, const float* input);
void GruLayerAvx2(const RecurrentLayerDesc& layer, float* state, const float* input, float* z,
                  float* r);
void PrepareDenoiseModelAvx2();
}  // namespace avx2

}  // namespace orvo
