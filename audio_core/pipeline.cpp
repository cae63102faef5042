// The per-frame pipeline: every channel into the frequency domain, far-end alignment and
// activity, echo cancellation, microphone choice, coupling and noise tracking, double talk,
// near-end detection, AGC, post filter, synthesis and neural noise suppression.
#include "audio_core/pipeline.hpp"

#include <climits>

#include "audio_core/audio_core.hpp"
#include "audio_core/messages.hpp"
#include "base/check.hpp"

namespace orvo {

namespace {

constexpr float kFarEndSilence = 96000.0f;    // far-end frame energy at or below this is silent
constexpr float kFarEndActiveFactor = 20.0f;  // active: above 20 times the far-end floor
constexpr int kFallbackFrames = 35;
constexpr int kMaxChannels = 3;       // a single microphone and a pair
constexpr int kFloorGainRecords = 3;  // the post-filter records the switches reach

// The channels of this frame from the microphone description and the mask: the single
// microphone, then the pair's first and second channel, each when present.
int BuildChannelList(const ProcessState& p, int mask, const int16_t* channels[kMaxChannels]) {
  const int16_t* single = nullptr;
  const int16_t* pairFirst = nullptr;
  const int16_t* pairSecond = nullptr;
  for (int d = 0; d < kMaxMics && p.pMicDes[d] != nullptr; ++d) {
    const MicDescriptor& desc = *p.pMicDes[d];
    if (desc.type == kMicTypeSingle) {
      single = desc.samples[0];
    } else if (desc.type == kMicTypePair) {
      pairFirst = (mask & 1) ? desc.samples[0] : nullptr;
      pairSecond = (mask & 2) ? desc.samples[1] : nullptr;
    }
  }
  int n = 0;
  for (const int16_t* c : {single, pairFirst, pairSecond})
    if (c != nullptr) channels[n++] = c;
  return n;
}

void DropSecondary(AudioCore& core, PipelineState& ps) {
  ps.secondaryMic = -1;
  TalkerMic_Forget(core.talker);
  ps.fallbackTimer = 0;
}

// Every listed channel gets the unity gain table; the choice learns the channel count.
void PrepareChannels(AudioCore& core, int numberOfMics) {
  for (int i = 0; i < numberOfMics; ++i)
    core.gainTable[i] = core.unityGain;
  MicChoice_SetChannels(core.choice, numberOfMics);
}

// Every channel and the far end into spectra; the far-end spectrum and samples delayed by the
// reference delay. The caller's far-end frame is copied, then delayed. Returns the delayed
// far-end spectrum.
const Cpx* AnalyseAndAlign(AudioCore& core, ProcessState& p, const int16_t* const* channels,
                           int numberOfMics, const int16_t* refPcm) {
  for (int i = 0; i < numberOfMics; ++i)
    FilterBank_Analyze(channels[i], p.spectra[i], core.analysis[i]);
  int16_t* farEnd = p.farEndFrame;
  for (int i = 0; i < kFrameSize; ++i)
    farEnd[i] = refPcm[i];
  FilterBank_Analyze(farEnd, core.farSpectrum, core.analysis[kFarEndSlot]);
  const int delay = p.pipeline.refDelayFrames;
  const Cpx* delayedFar = DelaySpkSpectrum(p.delayLine, core.farSpectrum, delay);
  DelaySpkSamples(p.delayLine, farEnd, delay);
  return delayedFar;
}

bool Steering(const AudioCore& core) {
  return core.features.micSteering != 0;
}

// While the far end is idle, look for a microphone that hears clearly more near-end speech.
void SearchTalker(AudioCore& core, const PipelineState& ps, const Cpx* const* spectra,
                  int numberOfMics) {
  if (ps.farEndHangover == 0 && Steering(core) && core.tuning.holdFlag == 0)
    TalkerMic_Search(core.noise, spectra, ps.BestMic, numberOfMics, core.talker);
}

// Energy of the chosen microphone before and after the echo filter.
struct FilterEnergies {
  float before = 0.0f;
  float after = 0.0f;
};

// One or two microphones choose the output channel; runs after the echo filter, while the far
// end is idle or the previous frame was double talk.
void ChooseMicrophone(AudioCore& core, ProcessState& p, Cpx* const* spectra, int mask,
                      int duckerHold, int previousTalkState) {
  PipelineState& ps = p.pipeline;
  if (!Steering(core) || (ps.farEndHangover != 0 && previousTalkState != 3)) return;
  if (mask == 1) {
    ps.BestMic = MicChoice_OneMic(core.choice, spectra, core.noise);
  } else if (mask == 3) {
    ps.BestMic = MicChoice_TwoMic(core.choice, spectra, core.noise, core.duckerEnterTime,
                                  core.duckerExitTime, core.duckerThreshold, duckerHold,
                                  p.choiceSwitchCounter);
  }
  if (ps.secondaryMic == ps.BestMic) DropSecondary(core, ps);
}

// Echo cancellation in every listed channel, then the microphone choice; both read the previous
// frame's talk state. Nothing happens with the echo canceller switched off.
FilterEnergies CancelEchoAndChoose(AudioCore& core, ProcessState& p, const Cpx* delayedFar,
                                   int numberOfMics, int mask, int duckerHold) {
  FilterEnergies e;
  if (core.features.echoCanceler == 0) return e;
  PipelineState& ps = p.pipeline;
  Cpx* spectra[kMaxMics];
  for (int i = 0; i < kMaxMics; ++i)
    spectra[i] = p.spectra[i];
  const int previousTalkState = ps.talkState;
  e.before = EchoReturn_EnergyBefore(spectra[ps.BestMic]);
  AdaptiveFilterMono_Process(delayedFar, numberOfMics, core.coupling.coupling, core.noise, spectra,
                             ps.BestMic, ps.secondaryMic, previousTalkState, core.aec);
  e.after = EchoReturn_EnergyAfter(spectra[ps.BestMic]);
  ChooseMicrophone(core, p, spectra, mask, duckerHold, previousTalkState);
  return e;
}

// The coupling learns from this frame's echo filter, then its ratios are limited.
void UpdateCoupling(AudioCore& core, int numberOfMics) {
  const AdaptiveFilterMono& aec = core.aec;
  EchoCoupling_Update(aec.farGroupPower, aec.echoGroupPower, aec.listCount, aec.MicList,
                      aec.micGroupPower, aec.residualGroupPower, core.coupling);
  EchoCoupling_LimitRatios(core.coupling, numberOfMics);
}

// Noise tracking on every cancelled microphone while the far end is silent.
void TrackNoise(AudioCore& core) {
  const AdaptiveFilterMono& aec = core.aec;
  for (int e = 0; e < aec.listCount; ++e) {
    const int m = aec.MicList[e];
    const int hold = LevelTracker_UpdateActivityHold(core.levels[m], aec.residualTotal[m]);
    NoisePSD_Update(aec.residualPower[m], hold, core.noise[m]);
    NoisePSD_UpdateWeights(core.noise[m].noise, core.weights[m]);
  }
}

// Double talk on the output microphone, and this frame's talk state.
void DetectDoubleTalk(AudioCore& core, PipelineState& ps) {
  const int best = ps.BestMic;
  DoubleTalk_SetThreshold(core.doubleTalk, core.doubleTalkThreshold,
                          core.tuning.fixedThreshold == 1);
  EchoCoupling_ApplyPreset(core.coupling, best, core.tuning.bandWeightPreset);
  const AdaptiveFilterMono& aec = core.aec;
  DoubleTalk_Detect(aec.residualPower[best], aec.farBinPower, core.noise[best].noise,
                    core.coupling.coupling[best], core.doubleTalk);
  ps.talkState = DoubleTalk_TalkState(core.doubleTalk, ps.farEndHangover != 0);
}

// The echo return decides the gain of bins without near-end speech.
void MeasureEchoReturn(AudioCore& core, PipelineState& ps, const FilterEnergies& e,
                       const DelayEstimate& estimate) {
  if (core.features.echoCanceler == 0) return;
  if (!EchoReturn_Update(ps.echoReturn, e.before, e.after, estimate.confident == 1, ps.talkState))
    return;
  for (int i = 0; i < kFloorGainRecords; ++i)
    PostFilter_FollowEchoReturn(core.postFilter[i], ps.echoReturn.erleDb);
}

// Residual echo and near-end speech on the output microphone; returns the detector in use.
NearEndState& DetectNearEnd(AudioCore& core, const PipelineState& ps, int strongMode) {
  const int best = ps.BestMic;
  EchoPeakState& peak = core.echoPeak[kSpareEchoPeaks + best];
  ResidualEcho_Prepare(peak, core.tuning.noiseScale);
  ResidualEcho_Estimate(core.aec.echoPower[best], ps.talkState, core.W, peak);
  NearEndState& nearEnd = core.nearEnd[0];
  NearEnd_Detect(core.aec.residualPower[best], peak.echoEstimate, core.weights[best], ps.talkState,
                 core.W, core.tuning.nearEnd, strongMode, nearEnd);
  return nearEnd;
}

// The post filter on the output microphone's spectrum; skipped, and the secondary microphone
// dropped, while the hold flag is set and channel 0 carries the all-zero gain table.
void ApplyPostFilter(AudioCore& core, ProcessState& p, const NearEndState& nearEnd,
                     int strongMode) {
  if (core.features.postFilter == 0) return;
  PipelineState& ps = p.pipeline;
  if (core.tuning.holdFlag != 0 && core.gainTable[0] == kZeroGainTable.data()) {
    ps.secondaryMic = -1;
    return;
  }
  const int best = ps.BestMic;
  PostFilter_Apply(p.spectra[best], nearEnd, core.weights[best], core.agcGain, core.gainTable[best],
                   ps.talkState, nearEnd.releaseCount, core.postFilter[kAppliedPostFilter],
                   strongMode);
}

// The output microphone's spectrum back to samples, up to 12 kHz.
void Synthesize(AudioCore& core, Cpx* spectrum, int16_t* outPcm) {
  for (int k = kTopBin + 1; k < kNumBins; ++k)
    spectrum[k] = {0.0f, 0.0f};
  FilterBank_Synthesize(spectrum, outPcm, core.synthesis);
}

// Above 32767 gives 32767, below -32768 gives -32768, anything else truncates toward zero.
int16_t SaturateToPcm(float v) {
  if (v > 32767.0f) return 32767;
  if (v < -32768.0f) return -32768;
  return static_cast<int16_t>(v);
}

// Neural noise suppression over the two halves in denoise modes 1 and 2; a half the suppressor
// could not process (scratch allocation failed) passes unchanged.
void Denoise(AudioCore& core, int speechFlag, int16_t* outPcm) {
  if (core.denoiseMode != 1 && core.denoiseMode != 2) return;
  float* buffer = core.denoiseBuffer;
  for (int i = 0; i < kFrameSize; ++i)
    buffer[i] = static_cast<float>(outPcm[i]);
  rnnoise_process_engine_frame(core.denoiser[0], buffer, speechFlag, *core.log,
                               core.denoiseAllocator);
  for (int i = 0; i < kFrameSize; ++i)
    outPcm[i] = SaturateToPcm(buffer[i]);
}

}  // namespace

void Pipeline_UpdateLiveMusic(AudioCore& core, PipelineState& ps) {
  const int liveMusicSwitch = core.tuning.liveMusicSwitch;
  if (ps.liveMusicLatch == 1 && liveMusicSwitch == 0) {
    core.log->Printf("%s", msg::kLiveMusicEnabled);
    core.levels[kFarEndSlot] = FarEndTrackerStart(true);
    EchoCoupling_SetLiveMusic(core.coupling, true);
    ps.liveMusicLatch = 0;
  } else if (ps.liveMusicLatch == 0 && liveMusicSwitch == 1) {
    core.log->Printf("%s", msg::kLiveMusicDisabled);
    core.levels[kFarEndSlot] = FarEndTrackerStart(false);
    EchoCoupling_SetLiveMusic(core.coupling, false);
    ps.liveMusicLatch = 1;
  }
}

float Pipeline_UpdateFarEndActivity(AudioCore& core, PipelineState& ps, const int16_t* farEnd) {
  // y[n] = x[n] - 0.99 x[n-1] + 0.9 y[n-1]: removes DC, keeps the speech band.
  float x1 = ps.farFilterInput, y1 = ps.farFilterOutput, energy = 0.0f;
  for (int n = 0; n < kFrameSize; ++n) {
    const float x = static_cast<float>(farEnd[n]);
    const float y = x - 0.99f * x1 + 0.9f * y1;
    energy += y * y;
    x1 = x;
    y1 = y;
  }
  ps.farFilterInput = x1;
  ps.farFilterOutput = y1;
  const bool aboveFloor =
      LevelTracker_UpdateAbove(core.levels[kFarEndSlot], energy, kFarEndActiveFactor);
  const bool active = aboveFloor && energy > kFarEndSilence;
  ps.farEndHangover = active ? core.hangoverTime : ps.farEndHangover - 1;
  if (ps.farEndHangover < 0) ps.farEndHangover = 0;
  return energy;
}

void Pipeline_MicrophoneBookkeeping(AudioCore& core, PipelineState& ps, int numberOfMics) {
  const bool inRange = ps.BestMic < numberOfMics && ps.secondaryMic < numberOfMics &&
                       ps.fallbackMic < numberOfMics && ps.previousMic < numberOfMics;
  if (inRange && ps.previousMic != ps.BestMic) {
    ps.fallbackMic = ps.previousMic;
    ps.fallbackTimer = kFallbackFrames;
  } else {
    if (!inRange) {
      ps.BestMic = 0;
      ps.fallbackMic = 0;
      MicChoice_ResetSelection(core.choice);
    }
    if (ps.fallbackTimer > 0) --ps.fallbackTimer;
  }
  ps.previousMic = ps.BestMic;
}

void Pipeline_ChooseSecondary(AudioCore& core, PipelineState& ps, int numberOfMics) {
  ps.secondaryMic = ps.fallbackTimer > 0 ? ps.fallbackMic : -1;
  const int talker = TalkerMic_CountDown(core.talker);
  if (talker >= 0) ps.secondaryMic = talker;
  if (numberOfMics == 2 || ps.secondaryMic == ps.BestMic) DropSecondary(core, ps);
}

int Pipeline_TrackDelay(int refDelayFrames, int estimate) {
  int d = refDelayFrames;
  if (estimate > d + 2 || estimate < d) d = estimate - 2;
  return d < 0 ? 0 : d;
}

void AudioCore_ProcessFrame(EngineState& engine, int16_t* outPcm, int mask, int duckerHold,
                            const int16_t* refPcm) {
  AudioCore& core = *engine.hRoomPro;
  ProcessState& p = *engine.proc;
  PipelineState& ps = p.pipeline;
  const Cpx* spectra[kMaxMics];
  for (int i = 0; i < kMaxMics; ++i)
    spectra[i] = p.spectra[i];

  if (core.frameCounter < INT_MAX) ++core.frameCounter;  // stops at its largest value
  Pipeline_UpdateLiveMusic(core, ps);

  ORVO_CHECK(p.pMicDes[0] != NULL, "AudioCore");
  const int16_t* channels[kMaxChannels] = {};
  const int NumberOfMics = BuildChannelList(p, mask, channels);
  if (NumberOfMics == 0) {
    // The mask selects no channel of the description: nothing to process, silence out.
    for (int i = 0; i < kFrameSize; ++i)
      outPcm[i] = 0;
    return;
  }
  PrepareChannels(core, NumberOfMics);

  const Cpx* delayedFar = AnalyseAndAlign(core, p, channels, NumberOfMics, refPcm);
  Pipeline_UpdateFarEndActivity(core, ps, p.farEndFrame);
  Pipeline_MicrophoneBookkeeping(core, ps, NumberOfMics);
  SearchTalker(core, ps, spectra, NumberOfMics);
  Pipeline_ChooseSecondary(core, ps, NumberOfMics);
  const DelayEstimate estimate =
      DelayEstimator_Update(p.estimator, spectra[ps.BestMic], core.farSpectrum);
  const FilterEnergies energies =
      CancelEchoAndChoose(core, p, delayedFar, NumberOfMics, mask, duckerHold);
  UpdateCoupling(core, NumberOfMics);
  if (ps.farEndHangover == 0) TrackNoise(core);
  DetectDoubleTalk(core, ps);
  MeasureEchoReturn(core, ps, energies, estimate);
  ps.refDelayFrames = Pipeline_TrackDelay(ps.refDelayFrames, estimate.delay);

  const int strongMode = core.denoiseMode >= 2 ? 1 : 0;
  const NearEndState& nearEnd = DetectNearEnd(core, ps, strongMode);
  core.speechFlag = nearEnd.speechFlag;
  core.agcGain =
      Agc_FrameGain(core.postFilter[kAppliedPostFilter].agcSwitch != 0, nearEnd.speechFlag,
                    nearEnd.weightedLevel, core.agc, p.agcSmoothedGain);
  ApplyPostFilter(core, p, nearEnd, strongMode);
  Synthesize(core, p.spectra[ps.BestMic], outPcm);
  Denoise(core, nearEnd.speechFlag, outPcm);
  core.doubleTalkFlag = ps.talkState == 3 ? 1 : 0;
}

}  // namespace orvo
