// Echo-return measurement: how much the echo filter takes out of the chosen microphone in the
// band from 500 Hz to 3 kHz while the far end talks alone, smoothed over frames in dB. The post
// filter decides from it how to treat bins without near-end speech.
#pragma once

#include "base/common.hpp"

namespace orvo {

struct EchoReturn {
  float erleDb;  // smoothed echo-return-loss enhancement, dB
};

void EchoReturn_Init(EchoReturn& record);

// Energy of the chosen microphone's spectrum before the echo filter (bins 20..119) and after it
// (bins 20..123, four bins more).
float EchoReturn_EnergyBefore(const Cpx* spectrum);
float EchoReturn_EnergyAfter(const Cpx* spectrum);

// One frame. The measurement counts only when it can be trusted: the delay estimate is
// confident, the far end talks alone (talk state 2) and the microphone carried more than 1e9
// before the filter. Then the ratio before / (after + 0.001), held within 1 to 900, moves the
// smoothed value by a tenth of the way towards it in dB. Returns true when it measured.
bool EchoReturn_Update(EchoReturn& record, float energyBefore, float energyAfter,
                       bool delayConfident, int talkState);

}  // namespace orvo
