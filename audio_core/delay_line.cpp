#include "audio_core/delay_line.hpp"

#include <cstring>

namespace orvo {

namespace {

int Limit(int delay) {
  if (delay < 0) return 0;
  return delay > ReferenceDelayLine::kMaxDelay ? ReferenceDelayLine::kMaxDelay : delay;
}

}  // namespace

void DelayLine_Reset(ReferenceDelayLine& line) {
  std::memset(&line, 0, sizeof line);
}

const Cpx* DelaySpkSpectrum(ReferenceDelayLine& line, const Cpx* current, int delay) {
  const int w = line.writeSlot;
  std::memcpy(line.spectra[w], current, sizeof line.spectra[w]);
  line.writeSlot = w == ReferenceDelayLine::kSlots - 1 ? 0 : w + 1;
  const int slot = (w - Limit(delay) + ReferenceDelayLine::kSlots) % ReferenceDelayLine::kSlots;
  return line.spectra[slot];
}

void DelaySpkSamples(ReferenceDelayLine& line, int16_t* frame, int delay) {
  constexpr int kMask = ReferenceDelayLine::kSampleRing - 1;
  const int w = line.writePos;
  for (int i = 0; i < kFrameSize; ++i)
    line.samples[(w + i) & kMask] = frame[i];
  const int r = w - Limit(delay) * kFrameSize;
  for (int i = 0; i < kFrameSize; ++i)
    frame[i] = line.samples[(r + i) & kMask];
  line.writePos = (w + kFrameSize) & kMask;
}

}  // namespace orvo
