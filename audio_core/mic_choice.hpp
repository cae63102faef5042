// Microphone choice: which microphone channel becomes the output. The one-microphone form lets
// the channels vote group by group for the loudest; the two-microphone form switches between
// channel 0 and 1 on their summed levels with a hold and a threshold (the ducker settings).
#pragma once

#include "audio_core/noise_psd.hpp"
#include "base/common.hpp"

namespace orvo {

struct MicChoice {
  static constexpr int kGroups = 20;  // one bin each: 20, 22, ..., 58

  float smoothed[kGroups][kMaxMics];
  float attack;
  float release;
  int32_t selection;
  int32_t channelCount;
  float preference;  // weight of the current selection's level
};

void MicChoice_Init(MicChoice& choice);

// This frame's channel count; the current selection's level weighs 4.0 with two channels and
// 1.5 otherwise.
void MicChoice_SetChannels(MicChoice& choice, int channelCount);

// Back to the first channel (the pipeline's repair of out-of-range microphones).
void MicChoice_ResetSelection(MicChoice& choice);

// Both return the new selection. `spectra` are the channels after echo cancellation; `noise`
// their noise-estimator records.
int MicChoice_OneMic(MicChoice& choice, const Cpx* const* spectra, const NoisePsdState* noise);

// `switchCounter` counts frames of disagreement; the engine keeps it across re-creation.
int MicChoice_TwoMic(MicChoice& choice, const Cpx* const* spectra, const NoisePsdState* noise,
                     int enterTime, int exitTime, float threshold, int duckerHold,
                     int& switchCounter);

}  // namespace orvo
