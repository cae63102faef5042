// The engine record, the state that outlives it, and the engine's entries: creation, feature
// switches, tuning setters, microphone description, far-end history and the frame entry.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "audio_core/adaptive_filter_mono.hpp"
#include "audio_core/agc.hpp"
#include "audio_core/delay_estimator.hpp"
#include "audio_core/delay_line.hpp"
#include "audio_core/double_talk.hpp"
#include "audio_core/echo_coupling.hpp"
#include "audio_core/echo_return.hpp"
#include "audio_core/filter_bank.hpp"
#include "audio_core/level_tracker.hpp"
#include "audio_core/mic_choice.hpp"
#include "audio_core/near_end.hpp"
#include "audio_core/noise_psd.hpp"
#include "audio_core/post_filter.hpp"
#include "audio_core/source_localisation.hpp"
#include "audio_core/tuning.hpp"
#include "base/common.hpp"
#include "base/cpu_level.hpp"
#include "base/log.hpp"
#include "denoise/noise_suppressor.hpp"

namespace orvo {

// Feature switch ids (bit values) of AudioCore_SetFeature.
enum FeatureId : int {
  kFeatureEchoCanceler = 1,
  kFeatureNoiseFill = 2,
  kFeatureMicSteering = 4,
  kFeaturePostFilter = 8,
  kFeatureNoiseReduction = 16,
  kFeatureEchoSuppression = 32,
  kFeatureAgc = 64,
  kFeatureAdaptDebug = 128,
  kFeatureDoubleTalkDebug = 256,
  kFeatureSignalActivityDebug = 512,
  kFeatureSpeechActivityDebug = 1024,
  kFeatureMicBypass = 2048,
  kFeatureSpkLoopback = 4096,
  kFeatureTimeDelayCheck = 8192,
  kFeatureNearOnlyCheck = 16384,
  kFeatureSsl = 32768,
};

// Switch words kept in the engine record itself.
struct FeatureSwitches {
  int echoCanceler;
  int micSteering;
  int postFilter;
  int adaptDebug;
  int doubleTalkDebug;
  int signalActivityDebug;
  int speechActivityDebug;
  int micBypass;
  int spkLoopback;
  int timeDelayCheck;
  int nearOnlyCheck;
  int ssl;
};

// Far-end history ring written by AudioCore_Add_SpkData; no stage reads it.
struct SpkDataRing {
  static constexpr int kSamples = 48000;
  int32_t readIndex;
  int32_t writeIndex;
  int16_t samples[kSamples];
};

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

// Per-bin gain tables a channel can point at; only the unity table is ever assigned.
extern const std::array<float, kNumBins> kPlus4dBGainTable;
extern const std::array<float, kNumBins> kZeroGainTable;

constexpr int kNumPostFilters = 4;  // the switches reach the first three; the third is applied
constexpr int kAppliedPostFilter = 2;
constexpr int kNumNearEnd = 4;      // the first is used
constexpr int kSpareEchoPeaks = 2;  // echo-peak records: two spare, then one per microphone
constexpr int kNumDenoisers = 4;    // neural-suppressor states; the first is used

// The engine record (hRoomPro): everything a creation builds afresh.
struct AudioCore {
  const Logger* log;

  FeatureSwitches features;
  int frameCounter;
  SpkDataRing* pCompen;
  std::unique_ptr<SourceLocalisation> ssl;
  int doubleTalkFlag;
  int hangoverTime;       // frames
  int duckerEnterTime;    // frames
  int duckerExitTime;     // frames
  float duckerThreshold;  // linear power
  int doubleTalkThreshold;
  int denoiseMode;
  float agcGain;
  int speechFlag;

  EngineTuning tuning;

  // Stage records.
  FilterBankState analysis[kNumAnalysisSlots];  // microphones, far end, spare
  FilterBankState synthesis;
  Cpx farSpectrum[kNumBins];  // this frame's far-end spectrum before the delay line
  AdaptiveFilterMono aec;
  LevelTracker levels[kNumAnalysisSlots];  // microphones, far end, spare
  NoisePsdState noise[kMaxMics];
  NoiseWeights weights[kMaxMics];
  EchoCoupling coupling;
  DoubleTalk doubleTalk;
  TalkerMic talker;
  EchoPeakState echoPeak[kSpareEchoPeaks + kMaxMics];
  NearEndState nearEnd[kNumNearEnd];
  PostFilterState postFilter[kNumPostFilters];
  MicChoice choice;  // its selection is the engine's choice selection
  Agc agc;
  float W[kNumBins];          // weighting table of the near-end detector
  float unityGain[kNumBins];  // the gain table every channel gets
  const float* gainTable[kMaxMics];
  DenoiserState denoiser[kNumDenoisers];  // the first is used
  DenoiseAllocator denoiseAllocator;      // scratch of the neural suppressor (malloc by default)
  float denoiseBuffer[kFrameSize];
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

// --- creation and destruction -----------------------------------------------------------------
// Start values of the state that outlives engine records (once per engine, at first creation).
void ProcessState_Init(ProcessState& p);
AudioCore* AudioCore_Create(EngineState& engine);
void AudioCore_Init(AudioCore* This, EngineState& engine);
void AudioCore_Destroy(AudioCore* This);

// --- switches and settings ----------------------------------------------------------------------
void AudioCore_SetFeature(int id, int value, AudioCore* pThis);
void AudioCore_SetDefaultFeatures(AudioCore* hRoomPro);
// Current value of a switch word (the post-filter words are read from the first record).
int AudioCore_GetFeature(int id, const AudioCore& core);

void AudioCore_SetHangoverTime(EngineState& engine, int frames);
void AudioCore_SetDuckerEnterTime(EngineState& engine, int ms);
void AudioCore_SetDuckerExitTime(EngineState& engine, int ms);
void AudioCore_SetDuckerThreshold(EngineState& engine, int code);
void AudioCore_SetDoubleTalkThreshold(EngineState& engine, int value);

void ConfigMicDesForOmbrix(EngineState& engine, int channelCount, int micType);

// --- frames
// ---------------------------------------------------------------------------------------
int AudioCore_Add_SpkData(SpkDataRing* ring, const int16_t* farEnd);

int OmbrixAudioCore_FrameProcess(EngineState& engine, const int16_t* micPcm, const int16_t* refPcm,
                                 int channelCount, int sampleCount, int16_t* outPcm, int flags,
                                 int micType, int mode, int duckerHold);

void AudioCore_IncreaseMicBias(EngineState& engine, float agcGain, int speechFlag);

// The per-frame pipeline behind the frame entry.
void AudioCore_ProcessFrame(EngineState& engine, int16_t* outPcm, int mask, int duckerHold,
                            const int16_t* refPcm);

}  // namespace orvo
