#include "audio_core/agc.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace orvo {

namespace {

// 4095.8354, 2047.9177 and 1023.9589 as their exact 32-bit patterns.
constexpr float kTargetLevel = std::bit_cast<float>(0x457FFD5Eu);
constexpr float kLowestDenominator = std::bit_cast<float>(0x44FFFD5Eu);
constexpr float kLevelFloor = std::bit_cast<float>(0x447FFD5Eu);

constexpr float kCeilingLevel = 1621.8838f;
constexpr float kCeilingEpsilon = 1e-5f;
constexpr int32_t kSpeechHoldFrames = 100;
constexpr int32_t kIdleRamp = 50;
constexpr int32_t kCeilingRamp = 200;
constexpr int32_t kSlowRampAbove = 25;

}  // namespace

void Agc_Create(Agc& r) {
  std::memset(&r, 0, sizeof(r));
  r.level = kTargetLevel;
  r.levelSmoothing = static_cast<float>(1.0 - std::exp(-0.2));
  r.peakLevel = kTargetLevel;
  r.peakSmoothing = static_cast<float>(1.0 - std::exp(-0.05));
  r.idleSmoothing = static_cast<float>(1.0 - std::exp(-0.01));
  r.shortWindow = 5;
  r.longWindow = 15;
  r.runningMax = kLevelFloor;
  r.candidateMax = kLevelFloor;
  r.counter = 0;
  r.resetValue = kLevelFloor;
  r.speechHold = 0;
  r.gainCeiling = 0.0f;
  r.outputGain = 1.0f;
  r.lowestDenominator = kLowestDenominator;
  r.rawGain = 1.0f;
  r.rampCounter = 0;
  r.gainScale = 9.0f;
}

void Agc_Update(int speech, float speechLevel, Agc& r, float& smoothedOutputGain) {
  const int q = static_cast<int>(r.gainScale);

  // Smoothed level, never below the floor.
  const float target = speechLevel > kLevelFloor ? speechLevel : kLevelFloor;
  r.level += (target - r.level) * r.levelSmoothing;

  // Speech hold.
  if (speech)
    r.speechHold = kSpeechHoldFrames;
  else if (r.speechHold > 0)
    r.speechHold -= 1;

  // Ceiling from this frame's level.
  r.gainCeiling = kCeilingLevel / (speechLevel + kCeilingEpsilon);

  // Idle: no speech for 100 frames. Drift towards half the smoothed gain, prepare a slow ramp.
  if (r.speechHold == 0) {
    r.runningMax = r.resetValue;
    r.candidateMax = r.resetValue;
    r.counter = 0;
    r.outputGain += (0.5f * smoothedOutputGain - r.outputGain) * r.idleSmoothing;
    r.rampCounter = kIdleRamp;
    r.rawGain = r.outputGain / static_cast<float>(q);
    return;
  }

  // Windowed peak of the smoothed level while speech is present.
  if (speech) {
    if (r.level > r.runningMax) {
      r.runningMax = r.level;
      r.counter = 0;
      r.candidateMax = r.resetValue;
    } else {
      r.counter += 1;
    }
    if (r.counter > r.shortWindow && r.level > r.candidateMax) r.candidateMax = r.level;
    if (r.counter > r.longWindow) {
      r.runningMax = r.candidateMax;
      r.candidateMax = r.resetValue;
      r.counter = r.shortWindow;
    }
    r.peakLevel += (r.runningMax - r.peakLevel) * r.peakSmoothing;
  }

  // Target gain, between 1.0 and 2.0.
  const float d = 2.0f * r.peakLevel;
  float t = 1.0f;
  if (!(d >= kTargetLevel)) t = kTargetLevel / (d > r.lowestDenominator ? d : r.lowestDenominator);

  // Raw gain: bound by the ceiling, else ramped or set.
  if (t > r.gainCeiling && r.rawGain > r.gainCeiling) {
    r.rawGain = r.gainCeiling;
    r.rampCounter = kCeilingRamp;
  } else if (r.rampCounter > kSlowRampAbove) {
    r.rampCounter -= 1;
    r.rawGain = 0.995f * r.rawGain + 0.005f * t;
  } else if (r.rampCounter > 0) {
    r.rampCounter -= 1;
    r.rawGain = 0.95f * r.rawGain + 0.05f * t;
  } else {
    r.rawGain = t;
  }

  // Output gain and its smoothed copy (blended in double).
  r.outputGain = static_cast<float>(q) * r.rawGain;
  smoothedOutputGain = static_cast<float>(0.9 * static_cast<double>(smoothedOutputGain) +
                                          0.1 * static_cast<double>(r.outputGain));
}

float Agc_FrameGain(bool enabled, int speech, float speechLevel, Agc& record,
                    float& smoothedOutputGain) {
  if (!enabled) return 1.0f;
  Agc_Update(speech, speechLevel, record, smoothedOutputGain);
  return record.outputGain;
}

}  // namespace orvo
