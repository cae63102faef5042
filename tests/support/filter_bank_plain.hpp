// The filter bank written out sample by sample, as the yardstick for the library's per-level
// loops: pre-emphasis, windowing and folding of the whole history, the accumulation blocks and
// the de-emphasis as a plain recursion in sample order. Transforms use the baseline level (the
// transform has its own level tests). Every product and sum is the library's, in its order, so
// the library must agree with this bit for bit at every level.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio_core/filter_bank.hpp"
#include "audio_core/transform.hpp"

namespace orvo::plain {

class FilterBank {
 public:
  static constexpr int N = kFrameSize;

  // Analysis of one frame of 960 samples into 960 packed bins.
  void Analyze(const int16_t* x, Cpx* spectrum) {
    std::copy(history_.begin() + N, history_.end(), history_.begin());
    float* e = &history_[kPrototypeLength - N];
    for (int n = 0; n < N; ++n) {
      const float previous = n == 0 ? lastInput_ : static_cast<float>(x[n - 1]);
      e[n] = static_cast<float>(x[n]) - 0.9f * previous;
    }
    lastInput_ = static_cast<float>(x[N - 1]);
    // Window with the time-reversed prototype and fold modulo 1920, oldest part first.
    std::vector<Cpx> folded(N), scratch(N);
    float* y = reinterpret_cast<float*>(folded.data());
    for (int j = 0; j < 2 * N; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < 3; ++k) {
        const int i = j + 2 * N * k;
        const float term = FilterBankPrototype[kPrototypeLength - 1 - i] * history_[i];
        sum = k == 0 ? term : sum + term;
      }
      y[j] = sum;
    }
    RealFft1920(folded.data(), spectrum, kFftForward, CpuLevel::kBaseline);
  }

  // Synthesis of one frame of 960 packed bins into 960 samples.
  void Synthesize(const Cpx* spectrum, int16_t* pcm) {
    std::vector<Cpx> work(spectrum, spectrum + N), time(N);
    RealFft1920(work.data(), time.data(), kFftInverse, CpuLevel::kBaseline);
    const float* z = reinterpret_cast<const float*>(time.data());
    for (int m = 0; m < 6; ++m)
      for (int n = 0; n < N; ++n)
        acc_[m][n] += FilterBankPrototype[N * m + n] * z[(m % 2) * N + n];
    for (int n = 0; n < N; ++n) {
      memory_ = acc_[0][n] + 0.9f * memory_;
      float v = memory_ == memory_ ? memory_ : 0.0f;
      v = std::clamp(v, -32768.0f, 32767.0f);
      pcm[n] = static_cast<int16_t>(static_cast<int>(v));
    }
    std::rotate(acc_.begin(), acc_.begin() + 1, acc_.end());
    std::fill(acc_.back().begin(), acc_.back().end(), 0.0f);
  }

 private:
  std::vector<float> history_ = std::vector<float>(kPrototypeLength, 0.0f);
  float lastInput_ = 0.0f;
  std::vector<std::vector<float>> acc_ =
      std::vector<std::vector<float>>(6, std::vector<float>(N, 0.0f));
  float memory_ = 0.0f;
};

}  // namespace orvo::plain
