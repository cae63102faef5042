#include "audio_core/delay_line.hpp"

#include <algorithm>
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
  constexpr int kRing = ReferenceDelayLine::kSampleRing;
  const int w = line.writePos;
  const int r = (w - Limit(delay) * kFrameSize + kRing) % kRing;
  // Each copy is at most two runs: a frame wraps the ring at most once.
  const int wHead = std::min(kFrameSize, kRing - w);
  std::memcpy(line.samples + w, frame, wHead * sizeof(int16_t));
  std::memcpy(line.samples, frame + wHead, (kFrameSize - wHead) * sizeof(int16_t));
  const int rHead = std::min(kFrameSize, kRing - r);
  std::memcpy(frame, line.samples + r, rHead * sizeof(int16_t));
  std::memcpy(frame + rHead, line.samples, (kFrameSize - rHead) * sizeof(int16_t));
  line.writePos = (w + kFrameSize) % kRing;
}

}  // namespace orvo
