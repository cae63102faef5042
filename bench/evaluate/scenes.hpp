// The evaluation's scenes: a far-end talker whose echo reaches the microphone through a
// simulated room (and loudspeaker), a near-end talker, background noise. Every scene follows one
// timeline, so every metric is taken from the same stretches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvo::eval {

// Timeline, in seconds.
constexpr double kFarOnlyBegin = 0.0;      // far end alone; the first 5 s are for convergence
constexpr double kSteadyBegin = 5.0;       // echo attenuation measured from here ...
constexpr double kNearOnlyBegin = 10.0;    // ... to here; then the near end alone
constexpr double kNearOnlyMeasure = 10.5;  // near end measured from here (the echo tail is gone)
constexpr double kDoubleTalkBegin = 16.0;  // both talk
constexpr double kFarOnly2Begin = 24.0;    // far end alone again (the echo path may change here)
constexpr double kSceneEnd = 34.0;

struct Scene {
  std::string name;
  std::string description;
  std::vector<int16_t> far;                // loudspeaker reference
  std::vector<std::vector<int16_t>> mics;  // one or two microphones
  std::vector<float> nearClean;            // the near-end talker as microphone 0 picks it up
  double bulkDelayMs = 0;                  // loudspeaker-to-microphone bulk delay
  bool pathChange = false;                 // the echo path changes at kFarOnly2Begin
};

// Where the talkers' voices come from, for the report.
struct SpeechSource {
  std::vector<float> far, near;
  std::string how;
};

// Far-end and near-end speech, `seconds` long each: spoken by espeak-ng when it is installed
// (and this program was built with libsndfile and libsoxr), else the built-in speech-like
// generator.
SpeechSource MakeSpeech(double seconds);

// Every scene of the evaluation.
std::vector<Scene> MakeScenes(const SpeechSource& speech);

}  // namespace orvo::eval
