// Engine creation, feature switches, tuning setters, microphone description, far-end history,
// input gain and the frame entry.
#include <cstring>
#include <new>

#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "audio_core/finite_check.hpp"
#include "base/check.hpp"

namespace orvo {

namespace {

constexpr float kMicBiasMax = 4.0f;
constexpr float kMicBiasMin = 1.0f;
constexpr int kClipLevel = 30000;

void LogOnOff(const Logger& log, int value, const char* on, const char* off) {
  log.Printf("%s", value != 0 ? on : off);
}

}  // namespace

AudioCore* AudioCore_Create(EngineState& engine) {
  engine.log.Printf("AudioCore_Create");
  if (engine.hRoomPro != nullptr) {
    AudioCore* old = engine.hRoomPro;
    engine.hRoomPro = nullptr;
    AudioCore_Destroy(old);
    delete old;
  }
  if (!engine.proc) {
    engine.proc.reset(new (std::nothrow) ProcessState);
    ORVO_CHECK(engine.proc != NULL, "AudioCore_API");
    ProcessState_Init(*engine.proc);
  }

  AudioCore* hRoomPro = new (std::nothrow) AudioCore;
  ORVO_CHECK(hRoomPro != NULL, "AudioCore_API");
  AudioCore_Init(hRoomPro, engine);
  engine.hRoomPro = hRoomPro;

  engine.log.Printf("AudioCore_Creat: calling config mic description");
  ConfigMicDesForOmbrix(engine, 8, 5);
  return hRoomPro;
}

void AudioCore_SetFeature(int id, int value, AudioCore* pThis) {
  ORVO_CHECK(pThis != NULL, "AudioCore_API");
  const Logger& log = *pThis->log;
  FeatureSwitches& f = pThis->features;
  // The post-filter switches reach the first three post-filter records.
  auto postFilterWords = [&](int32_t PostFilterState::*word) {
    for (int r = 0; r < 3; ++r)
      pThis->postFilter[r].*word = value;
  };
  switch (id) {
    case kFeatureEchoCanceler:
      f.echoCanceler = value;
      LogOnOff(log, value, "Echo Canceler ON\n", "Echo Canceler OFF\n");
      break;
    case kFeatureNoiseFill:
      postFilterWords(&PostFilterState::noiseFill);
      LogOnOff(log, value, "NoiseFill ON\n", "NoiseFill OFF\n");
      break;
    case kFeatureMicSteering:
      f.micSteering = value;
      LogOnOff(log, value, "MIC STEERING ON\n", "MIC STEERING OFF\n");
      break;
    case kFeaturePostFilter:
      f.postFilter = value;
      LogOnOff(log, value, "PostFilter ON\n", "PostFilter OFF\n");
      break;
    case kFeatureNoiseReduction:
      postFilterWords(&PostFilterState::noiseReduction);
      LogOnOff(log, value, "Noise Reduction ON\n", "Noise Reduction OFF\n");
      break;
    case kFeatureEchoSuppression:
      postFilterWords(&PostFilterState::echoSuppression);
      f.postFilter = value;
      LogOnOff(log, value, "Echo Suppression ON\n", "Echo Suppression OFF\n");
      break;
    case kFeatureAgc:
      postFilterWords(&PostFilterState::agcSwitch);
      LogOnOff(log, value, "AGC ON\n", "AGC OFF\n");
      break;
    case kFeatureAdaptDebug:
      f.adaptDebug = value;
      LogOnOff(log, value, "AdaptDebug ON\n", "AdaptDebug OFF\n");
      break;
    case kFeatureDoubleTalkDebug:
      f.doubleTalkDebug = value;
      LogOnOff(log, value, "DoubleTalk Debug ON\n", "DoubleTalk Debug OFF\n");
      break;
    case kFeatureSignalActivityDebug:
      f.signalActivityDebug = value;
      LogOnOff(log, value, "Signal Activity Detector Debug ON\n",
               "Signal Activity Detector Debug OFF\n");
      break;
    case kFeatureSpeechActivityDebug:
      f.speechActivityDebug = value;
      LogOnOff(log, value, "Speech Activity Detector Debug ON\n",
               "Speech Activity Detector Debug OFF\n");
      break;
    case kFeatureMicBypass:
      // The three pass-through modes exclude each other; the log line comes first.
      LogOnOff(log, value, "MIC BYPASS ENABLED\n", "MIC BYPASS DISABLED\n");
      if (value != 0) f.spkLoopback = 0;
      f.micBypass = value;
      break;
    case kFeatureSpkLoopback:
      LogOnOff(log, value, "SPK LOOPBACK ENABLED\n", "SPK LOOPBACK DISABLED\n");
      if (value != 0) f.micBypass = 0;
      f.spkLoopback = value;
      break;
    case kFeatureTimeDelayCheck:
      LogOnOff(log, value, "TIME DELAY CHECK ENABLED\n", "TIME DELAY CHECK DISABLED\n");
      if (value != 0) {
        f.micBypass = 0;
        f.spkLoopback = 0;
      }
      f.timeDelayCheck = value;
      break;
    case kFeatureNearOnlyCheck:
      f.nearOnlyCheck = value;
      LogOnOff(log, value, "NEAR ONLY CHECK ENABLED\n", "NEAR ONLY CHECK DISABLED\n");
      break;
    case kFeatureSsl:
      f.ssl = value;
      LogOnOff(log, value, "SSL ENABLED", "SSL DISABLED");
      LogOnOff(log, value, "SSL ENABLED\n", "SSL DISABLED\n");
      break;
    default:
      break;
  }
}

int AudioCore_GetFeature(int id, const AudioCore& core) {
  const FeatureSwitches& f = core.features;
  const PostFilterState& pf = core.postFilter[0];
  switch (id) {
    case kFeatureEchoCanceler:
      return f.echoCanceler;
    case kFeatureNoiseFill:
      return pf.noiseFill;
    case kFeatureMicSteering:
      return f.micSteering;
    case kFeaturePostFilter:
      return f.postFilter;
    case kFeatureNoiseReduction:
      return pf.noiseReduction;
    case kFeatureEchoSuppression:
      return pf.echoSuppression;
    case kFeatureAgc:
      return pf.agcSwitch;
    case kFeatureAdaptDebug:
      return f.adaptDebug;
    case kFeatureDoubleTalkDebug:
      return f.doubleTalkDebug;
    case kFeatureSignalActivityDebug:
      return f.signalActivityDebug;
    case kFeatureSpeechActivityDebug:
      return f.speechActivityDebug;
    case kFeatureMicBypass:
      return f.micBypass;
    case kFeatureSpkLoopback:
      return f.spkLoopback;
    case kFeatureTimeDelayCheck:
      return f.timeDelayCheck;
    case kFeatureNearOnlyCheck:
      return f.nearOnlyCheck;
    case kFeatureSsl:
      return f.ssl;
    default:
      return 0;
  }
}

void AudioCore_SetDefaultFeatures(AudioCore* hRoomPro) {
  ORVO_CHECK(hRoomPro != NULL, "AudioCore_API");
  for (int id : {kFeatureEchoCanceler, kFeatureNoiseFill, kFeatureMicSteering, kFeaturePostFilter,
                 kFeatureNoiseReduction, kFeatureEchoSuppression, kFeatureAgc}) {
    AudioCore_SetFeature(id, 1, hRoomPro);
  }
  AudioCore_SetFeature(kFeatureAdaptDebug, 0, hRoomPro);

  FeatureSwitches& f = hRoomPro->features;
  f.doubleTalkDebug = 0;
  f.signalActivityDebug = 0;
  f.speechActivityDebug = 0;
  f.micBypass = 0;
  f.spkLoopback = 0;
  f.timeDelayCheck = 0;
  f.nearOnlyCheck = 0;
  f.ssl = 0;
  const Logger& log = *hRoomPro->log;
  log.Printf("DoubleTalk Debug OFF\n");
  log.Printf("Signal Activity Detector Debug OFF\n");
  log.Printf("Speech Activity Detector Debug OFF\n");
  log.Printf("MIC BYPASS DISABLED\n");
  log.Printf("SPK LOOPBACK DISABLED\n");
  log.Printf("TIME DELAY CHECK DISABLED\n");
  log.Printf("NEAR ONLY CHECK DISABLED\n");
  log.Printf("SSL DISABLED");
  log.Printf("SSL DISABLED\n");
}

// --- tuning setters -----------------------------------------------------------------------------

namespace {

// Every setter needs an engine; without one it only logs.
AudioCore* SetterTarget(EngineState& engine) {
  if (engine.hRoomPro == nullptr) engine.log.Printf("invalid audio call handle\n");
  return engine.hRoomPro;
}

}  // namespace

void AudioCore_SetHangoverTime(EngineState& engine, int frames) {
  AudioCore* core = SetterTarget(engine);
  if (core == nullptr) return;
  core->hangoverTime = frames;
  engine.log.Printf("AudioCore set hangover time %d\n", frames);
}

void AudioCore_SetDuckerEnterTime(EngineState& engine, int ms) {
  AudioCore* core = SetterTarget(engine);
  if (core == nullptr) return;
  core->duckerEnterTime = ms / 20;
  engine.log.Printf("AudioCore set ducker enter time %d\n", core->duckerEnterTime);
}

void AudioCore_SetDuckerExitTime(EngineState& engine, int ms) {
  AudioCore* core = SetterTarget(engine);
  if (core == nullptr) return;
  core->duckerExitTime = ms / 20;
  engine.log.Printf("AudioCore set ducker exit time %d\n", core->duckerExitTime);
}

void AudioCore_SetDuckerThreshold(EngineState& engine, int code) {
  AudioCore* core = SetterTarget(engine);
  if (core == nullptr) return;
  switch (code) {
    case -45:
      core->duckerThreshold = 1e6f;
      break;
    case -40:
      core->duckerThreshold = 1e7f;
      break;
    case -35:
      core->duckerThreshold = 1e8f;
      break;
    case -30:
      core->duckerThreshold = 1e9f;
      break;
    default:
      break;  // other codes keep the threshold in force
  }
  engine.log.Printf("Ducker threshold: %g\n", static_cast<double>(core->duckerThreshold));
}

void AudioCore_SetDoubleTalkThreshold(EngineState& engine, int value) {
  AudioCore* core = SetterTarget(engine);
  if (core == nullptr) return;
  core->doubleTalkThreshold = value;
  engine.log.Printf("AudioCore set double talk threashold %d\n", value);
}

// --- microphone description ---------------------------------------------------------------------

void ConfigMicDesForOmbrix(EngineState& engine, int channelCount, int micType) {
  ProcessState& p = *engine.proc;
  for (auto& d : p.pMicDes)
    d = nullptr;
  if (channelCount > kMaxMics) {
    engine.log.Printf("Invalid channel counts setting");
    return;
  }
  p.currentMicType = micType;
  if (engine.hRoomPro != nullptr) engine.hRoomPro->tuning.micConfigured = 1;

  p.pMicDes[0] = &p.descriptor;
  for (int k = 0; k < kMaxMics; ++k)
    p.descriptor.samples[k] = k < channelCount ? p.channel[k] : nullptr;
  switch (micType) {
    case 0:
      p.descriptor.type = kMicTypeNone;
      break;
    case 1:
    case 2:
    case 5:
      p.descriptor.type = kMicTypeSingle;
      break;
    case 3:
      p.descriptor.type = kMicTypeTriple;
      break;
    case 4:
      p.descriptor.type = kMicTypePair;
      break;
    default:
      p.descriptor.type = kMicTypeOther;
      break;
  }
  engine.log.Printf(
      "ConfigMicDesForOmbrix() called, nMicPodDetected = %d, mic type =%d, channelCount = %d", 0,
      micType, channelCount);
}

// --- far-end history ----------------------------------------------------------------------------

int AudioCore_Add_SpkData(SpkDataRing* ring, const int16_t* farEnd) {
  // The write index starts at 1920 and moves by 960 in a ring of 48000, so a block never
  // straddles the end.
  int16_t* dst = ring->samples + ring->writeIndex;
  for (int i = 0; i < kFrameSize; ++i)
    dst[i] = farEnd[i];
  ring->writeIndex += kFrameSize;
  if (ring->writeIndex >= SpkDataRing::kSamples) ring->writeIndex -= SpkDataRing::kSamples;
  return 1;
}

// --- input gain ---------------------------------------------------------------------------------

namespace {

// Applies micBias to one channel; a clipped sample lowers the gain for the rest of the frame.
void ApplyInputGain(int16_t* samples, float& micBias) {
  for (int i = 0; i < kFrameSize; ++i) {
    int y = static_cast<int>(static_cast<float>(samples[i]) * micBias);
    if (y > kClipLevel || y < -kClipLevel) {
      y = y > 0 ? kClipLevel : -kClipLevel;
      micBias = static_cast<float>(static_cast<double>(micBias) * 0.9);
      if (micBias < kMicBiasMin) micBias = kMicBiasMin;
    }
    samples[i] = static_cast<int16_t>(y);
  }
}

}  // namespace

void AudioCore_IncreaseMicBias(EngineState& engine, float agcGain, int speechFlag) {
  float& micBias = engine.proc->micBias;
  if (micBias < kMicBiasMax && speechFlag == 1 && agcGain > 6.0f) {
    micBias = static_cast<float>(static_cast<double>(micBias) * 1.1);
    if (micBias > kMicBiasMax) micBias = kMicBiasMax;
    engine.log.Printf("increase mic bias %g\n", static_cast<double>(micBias));
  }
}

// --- frame entry --------------------------------------------------------------------------------

int OmbrixAudioCore_FrameProcess(EngineState& engine, const int16_t* micPcm, const int16_t* refPcm,
                                 int channelCount, int sampleCount, int16_t* outPcm, int flags,
                                 int micType, int mode, int duckerHold) {
  AudioCore* core = engine.hRoomPro;
  if (core == nullptr) {
    engine.log.Printf("OmbrixAudioCore_FrameProcess() FAILED: hRoomPro is NULL");
    return 0;
  }
  if (core->pCompen == nullptr) {
    engine.log.Printf("OmbrixAudioCore_FrameProcess() FAILED: pCompen is NULL");
    return 0;
  }
  // A missing buffer is the caller's error: one line, and nothing is read, written or changed.
  const char* missing = micPcm == nullptr   ? "micPcm"
                        : refPcm == nullptr ? "refPcm"
                        : outPcm == nullptr ? "outPcm"
                                            : nullptr;
  if (missing != nullptr) {
    engine.log.Printf("OmbrixAudioCore_FrameProcess() FAILED: %s is NULL\n", missing);
    return 0;
  }
  ProcessState& p = *engine.proc;

  core->tuning.frameFlagBit1 = (flags >> 1) & 1;
  core->tuning.frameFlagBit3 = (flags >> 3) & 1;

  if (micType != p.currentMicType) ConfigMicDesForOmbrix(engine, channelCount, micType);

  // A frame the description cannot hold (no descriptor, or a channel count outside 1..14) is
  // not processed: the output is left as it is.
  if (p.pMicDes[0] == nullptr || channelCount < 1 || channelCount > kMaxMics) return 0;

  // De-interleave into the channel buffers (the ones the descriptor points at).
  const int frames = sampleCount < 0 ? 0 : sampleCount / channelCount;
  const int rows = frames < kFrameSize ? frames : kFrameSize;
  for (int i = 0; i < rows; ++i)
    for (int c = 0; c < channelCount; ++c)
      p.channel[c][i] = micPcm[i * channelCount + c];
  if (rows < kFrameSize && rows * channelCount < sampleCount) {
    // A trailing partial row: the channels that have a sample get it.
    for (int c = 0; rows * channelCount + c < sampleCount; ++c)
      p.channel[c][rows] = micPcm[rows * channelCount + c];
  }

  if (mode == 1) ApplyInputGain(p.channel[0], p.micBias);
  if (mode == 3) ApplyInputGain(p.channel[1], p.micBias);

  const int s = core->choice.selection;
  const int16_t* selected = (s >= 0 && s < kMaxMics) ? p.channel[s] : p.channel[0];
  if (core->features.micBypass != 0) {
    for (int i = 0; i < kFrameSize; ++i)
      outPcm[i] = selected[i];
    return 0;
  }
  if (core->features.spkLoopback != 0) {
    for (int i = 0; i < kFrameSize; ++i)
      outPcm[i] = refPcm[i];
    return 0;
  }
  if (core->features.timeDelayCheck != 0) {
    // A 16-bit sum that wraps on overflow.
    for (int i = 0; i < kFrameSize; ++i)
      outPcm[i] = static_cast<int16_t>(static_cast<uint16_t>(selected[i]) +
                                       static_cast<uint16_t>(refPcm[i]));
    return 0;
  }

  AudioCore_ProcessFrame(engine, outPcm, mode, duckerHold, refPcm);
#if !defined(NDEBUG) || defined(ORVO_FINITE_CHECKS)
  // Every value carried to the next frame must stay finite.
  if (const char* where = AudioCore_FirstNonFinite(engine)) {
    engine.log.Printf("non-finite value in the %s after frame %d\n", where, core->frameCounter);
    ORVO_CHECK(where == NULL, "AudioCore_API");
  }
#endif
  AudioCore_IncreaseMicBias(engine, core->agcGain, core->speechFlag);
  return 0;
}

}  // namespace orvo
