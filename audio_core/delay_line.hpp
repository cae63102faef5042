// Holds back the far-end reference by a whole number of frames: one ring of spectra for the
// echo filter and one ring of samples for the time-domain far-end measures. Both use the same
// delay, so the delayed spectrum and samples belong to the same frame.
#pragma once

#include "base/common.hpp"

namespace orvo {

struct ReferenceDelayLine {
  static constexpr int kSlots = 21;
  static constexpr int kMaxDelay = kSlots - 1;  // 20 frames, 400 ms
  static constexpr int kSampleRing = 32768;

  Cpx spectra[kSlots][kNumBins];
  int32_t writeSlot;
  int16_t samples[kSampleRing];
  int32_t writePos;
};

void DelayLine_Reset(ReferenceDelayLine& line);

// Stores this frame's far-end spectrum and returns the one of `delay` frames ago (at most 20).
// The result stays valid until the next call.
const Cpx* DelaySpkSpectrum(ReferenceDelayLine& line, const Cpx* current, int delay);

// Stores this frame's far-end samples and replaces them by those of `delay` frames ago.
void DelaySpkSamples(ReferenceDelayLine& line, int16_t* frame, int delay);

}  // namespace orvo
