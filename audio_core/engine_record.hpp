// The engine record (hRoomPro): the feature switches, the tuning values, the far-end history and
// every stage record that a creation builds afresh.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "audio_core/adaptive_filter_mono.hpp"
#include "audio_core/agc.hpp"
#include "audio_core/double_talk.hpp"
#include "audio_core/echo_coupling.hpp"
#include "audio_core/filter_bank.hpp"
#include "audio_core/level_tracker.hpp"
#include "audio_core/mic_choice.hpp"
#include "audio_core/near_end.hpp"
#include "audio_core/noise_psd.hpp"
#include "audio_core/post_filter.hpp"
#include "audio_core/source_localisation.hpp"
#include "audio_core/tuning.hpp"
#include "base/common.hpp"
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

}  // namespace orvo
