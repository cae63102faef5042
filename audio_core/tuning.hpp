// The engine's tuning values: one typed record with every field named and its creation value
// written where it is declared. A creation assigns a fresh `EngineTuning{}`.
#pragma once

#include <cstdint>

#include "audio_core/near_end.hpp"

namespace orvo {

struct EngineTuning {
  // Scale of the noise estimate in the residual-echo estimate.
  float noiseScale = 10.0f;
  // 0 asks for live-music mode; the pipeline latches it.
  int32_t liveMusicSwitch = 1;
  // Band-weight preset of the coupling estimator: 100.0 and 101.0 force the coupling ratios.
  float bandWeightPreset = 2.0f;
  // Non-zero stops the talker-microphone search, and skips the post filter while the first
  // channel points at the zero gain table.
  int32_t holdFlag = 0;
  // 1 fixes the double-talk threshold at 4.0.
  int32_t fixedThreshold = 0;
  // Level threshold, ceiling release and high-band weight of the near-end detector.
  NearEndTuning nearEnd;

  // Written by the engine's entries and read by no stage: set to 1 by every microphone
  // configuration, and copies of bits 1 and 3 of the last frame's flags.
  int32_t micConfigured = 1;
  int32_t frameFlagBit1 = 0;
  int32_t frameFlagBit3 = 0;
};

}  // namespace orvo
