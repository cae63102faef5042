// One engine's state: the handle to its current engine record and the state that survives a
// re-creation of that record (input gain, microphone description, channel and spectrum buffers,
// the pipeline's running state, delay lines and delay estimator).
#pragma once

#include <cstdint>
#include <memory>

#include "audio_core/delay_estimator.hpp"
#include "audio_core/delay_line.hpp"
#include "audio_core/echo_return.hpp"
#include "base/common.hpp"
#include "base/cpu_level.hpp"
#include "base/log.hpp"

namespace orvo {

struct AudioCore;

// Microphone descriptor type codes.
enum MicDescriptorType : int {
  kMicTypeNone = 10,
  kMicTypeSingle = 11,
  kMicTypeTriple = 12,
  kMicTypePair = 13,
  kMicTypeOther = 14,
};

struct MicDescriptor {
  int32_t type;
  int16_t* samples[kMaxMics];
};

// The pipeline's own running state; it survives re-creation of the engine record.
struct PipelineState {
  int liveMusicLatch;  // 1 while live-music mode is off
  int farEndHangover;  // frames for which the far end still counts as talking
  int talkState;       // 1 far end silent, 2 far end alone, 3 double talk
  int refDelayFrames;  // reference delay, frames
  int BestMic;
  int previousMic;
  int fallbackMic;
  int fallbackTimer;
  int secondaryMic;       // -1 for none
  EchoReturn echoReturn;  // the echo filter's smoothed echo return
  float farFilterInput;   // far-end energy filter memory: last input ...
  float farFilterOutput;  // ... and last output
};

// State that survives a re-creation of the engine record: the input gain, the microphone
// description and channel buffers, the pipeline's state, the spectrum buffers, the far-end delay
// lines, the delay estimator and the two-microphone choice's switch counter.
struct ProcessState {
  float micBias;
  int currentMicType;
  MicDescriptor descriptor;
  MicDescriptor* pMicDes[kMaxMics];  // null-terminated unless all 14 are used
  int16_t channel[kMaxMics][kFrameSize];

  PipelineState pipeline;
  Cpx spectra[kMaxMics][kNumBins];
  int16_t farEndFrame[kFrameSize];  // the caller's far-end frame, delayed in place
  ReferenceDelayLine delayLine;
  DelayEstimator estimator;
  int choiceSwitchCounter;
  float agcSmoothedGain;
};

// One engine with everything it owns: the handle to its current record and the state that
// carries over across re-creation.
struct EngineState {
  EngineState();
  ~EngineState();
  EngineState(const EngineState&) = delete;
  EngineState& operator=(const EngineState&) = delete;

  Logger log;
  // The processor level of the vector kernels of every record this engine creates.
  CpuLevel cpuLevel = ProcessCpuLevel();
  std::unique_ptr<ProcessState> proc;
  AudioCore* hRoomPro = nullptr;
};

}  // namespace orvo
