// Automatic gain control: turns the near-end speech level of the output microphone into the gain
// the post filter applies, bringing speech towards a fixed level while a ceiling keeps loud frames
// from being over-amplified.
#pragma once

#include <cstdint>

namespace orvo {

struct Agc {
  float level;           // smoothed speech level
  float levelSmoothing;  // 1 - e^(-0.2)
  float peakLevel;       // smoothed peak of the level
  float peakSmoothing;   // 1 - e^(-0.05)
  float idleSmoothing;   // 1 - e^(-0.01)
  int32_t shortWindow;   // frames
  int32_t longWindow;    // frames
  float runningMax;
  float candidateMax;
  int32_t counter;  // frames since the running maximum was renewed
  float resetValue;
  int32_t speechHold;  // frames of speech still to run
  float gainCeiling;   // recomputed every frame
  float outputGain;    // the gain handed to the post filter
  float lowestDenominator;
  float rawGain;
  int32_t rampCounter;  // frames of slow gain movement left
  float gainScale;      // used as the integer 9
};

// The engine-wide smoothed output gain starts at this value (it lives outside the record).
constexpr float kAgcSmoothedGainStart = 0.1f;

void Agc_Create(Agc& record);

// speech: the near-end speechFlag; speechLevel: its weightedLevel. smoothedOutputGain is the
// engine-wide smoothed output gain, updated here except on the idle path. The result is
// record.outputGain.
void Agc_Update(int speech, float speechLevel, Agc& record, float& smoothedOutputGain);

// The gain the post filter applies this frame: with the AGC switched on, one Agc_Update and its
// output gain; switched off, 1.0 and the record stays as it is.
float Agc_FrameGain(bool enabled, int speech, float speechLevel, Agc& record,
                    float& smoothedOutputGain);

}  // namespace orvo
