// The recurrent network's layers at the AVX2 level: eight-float vectors over half-precision
// weights.
#include <immintrin.h>

#include "denoise/recurrent_network_kernels.hpp"

namespace orvo::avx2 {
namespace {

// Loads of eight packed half-precision values as one vector of floats.
struct HalfLoad {
  typedef std::uint16_t Elem;
  template <class T>
  static inline void Load(typename T::Vec& v, const std::uint16_t* p) {
    static_assert(T::kLanes == 8);
    v = reinterpret_cast<typename T::Vec>(
        _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
  }
};

// Built once, on first use, and never changed afterwards.
const PackedModel<std::uint16_t>& PackedHalfModel() {
  static const PackedModel<std::uint16_t> model = PackModel<std::uint16_t>();
  return model;
}

}  // namespace

void DenseLayerAvx2(const DenseLayerDesc& layer, float* output, const float* input) {
  Dense<Lanes8, HalfLoad>(PackedHalfModel(), layer, output, input);
}

void GruLayerAvx2(const RecurrentLayerDesc& layer, float* state, const float* input, float* z,
                  float* r) {
  Gru<Lanes8, HalfLoad>(PackedHalfModel(), layer, state, input, z, r);
}

void PrepareDenoiseModelAvx2() {
  PackedHalfModel();
}

}  // namespace orvo::avx2
