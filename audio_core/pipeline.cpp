// The per-frame pipeline: every channel into the frequency domain, far-end alignment and
// activity, echo cancellation, microphone choice, coupling and noise tracking, double talk,
// near-end detection, AGC, post filter, synthesis and neural noise suppression.
#include "audio_core/pipeline.hpp"

#include <climits>
#include <cmath>

#include "audio_core/check.hpp"

namespace orvo {

namespace {

constexpr float kFarEndSilence = 96000.0f;  // far-end frame energy at or below this is silent
constexpr int kFallbackFrames = 35;
constexpr int kMaxChannels = 3;  // a single microphone and a pair

float BinEnergy(const Cpx* s, int first, int last) {
  float e = 0.0f;
  for (int k = first; k <= last; ++k)
    e += s[k].re * s[k].re + s[k].im * s[k].im;
  return e;
}

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
  core.talker.hangover = 0;
  ps.fallbackTimer = 0;
}

// Noise tracking on every cancelled microphone while the far end is silent.
void TrackNoise(AudioCore& core) {
  const AdaptiveFilterMono& aec = core.aec;
  for (int e = 0; e < aec.listCount; ++e) {
    const int m = aec.MicList[e];
    LevelTracker& tracker = core.levels[m];
    const float total = aec.residualTotal[m];
    LevelTracker_Update(tracker, total);
    if (total > 10.0f * tracker.gatedLevel) {
      tracker.activityHold = 10;
    } else if (tracker.activityHold > 0) {
      --tracker.activityHold;
    }
    NoisePSD_Update(aec.residualPower[m], tracker.activityHold, core.noise[m]);
    NoisePSD_UpdateWeights(core.noise[m].noise, core.weights[m]);
  }
}

// Above 32767 gives 32767, below -32768 gives -32768, anything else truncates toward zero.
int16_t SaturateToPcm(float v) {
  if (v > 32767.0f) return 32767;
  if (v < -32768.0f) return -32768;
  return static_cast<int16_t>(v);
}

}  // namespace

void Pipeline_UpdateLiveMusic(AudioCore& core, PipelineState& ps) {
  const int liveMusicSwitch = core.tuning.I(kTuneLiveMusic);
  if (ps.liveMusicLatch == 1 && liveMusicSwitch == 0) {
    core.log->Printf("LIVE MUSIC MODE ENABLED\n");
    core.levels[kFarEndSlot] = FarEndTrackerStart(true);
    core.coupling.lowestRatio = 0.05f;
    ps.liveMusicLatch = 0;
  } else if (ps.liveMusicLatch == 0 && liveMusicSwitch == 1) {
    core.log->Printf("LIVE MUSIC MODE DISABLED\n");
    core.levels[kFarEndSlot] = FarEndTrackerStart(false);
    core.coupling.lowestRatio = 0.005f;
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
  LevelTracker& tracker = core.levels[kFarEndSlot];
  LevelTracker_Update(tracker, energy);
  const bool active = energy > 20.0f * tracker.gatedLevel && energy > kFarEndSilence;
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
      core.choice.selection = 0;
    }
    if (ps.fallbackTimer > 0) --ps.fallbackTimer;
  }
  ps.previousMic = ps.BestMic;
}

void Pipeline_ChooseSecondary(AudioCore& core, PipelineState& ps, int numberOfMics) {
  ps.secondaryMic = ps.fallbackTimer > 0 ? ps.fallbackMic : -1;
  if (core.talker.hangover > 0) --core.talker.hangover;
  if (core.talker.hangover > 0) ps.secondaryMic = core.talker.foundMic;
  if (numberOfMics == 2 || ps.secondaryMic == ps.BestMic) DropSecondary(core, ps);
}

int Pipeline_TrackDelay(int refDelayFrames, int estimate) {
  int d = refDelayFrames;
  if (estimate > d + 2 || estimate < d) d = estimate - 2;
  return d < 0 ? 0 : d;
}

void Pipeline_LimitCouplingRatios(EchoCoupling& coupling, int numberOfMics) {
  for (int i = 0; i < numberOfMics; ++i) {
    float* c = coupling.coupling[i];
    const float upper = 8.0f * c[1];
    const float lower = c[1] * 0.125f;
    for (int g : {0, 2, 3, 4, 5})
      if (c[g] > upper) c[g] = upper;
    if (c[0] < c[1]) c[0] = c[1];
    for (int g = 2; g < kNumGroups; ++g)
      if (c[g] < lower) c[g] = lower;
    for (int g = 0; g < kNumGroups; ++g)
      if (c[g] < 0.1f) c[g] = 0.1f;
  }
}

void AudioCore_ProcessFrame(EngineState& engine, int16_t* outPcm, int mask, int duckerHold,
                            const int16_t* refPcm) {
  AudioCore& core = *engine.hRoomPro;
  ProcessState& p = *engine.proc;
  PipelineState& ps = p.pipeline;

  // 1. Frame counter (it stops at its largest value); the spectrum buffers.
  if (core.frameCounter < INT_MAX) ++core.frameCounter;
  Cpx* spectra[kMaxMics];
  for (int i = 0; i < kMaxMics; ++i)
    spectra[i] = p.spectra[i];

  Pipeline_UpdateLiveMusic(core, ps);  // 2

  // 3. The channel list.
  ORVO_CHECK(p.pMicDes[0] != NULL, "AudioCore");
  const int16_t* channels[kMaxChannels] = {};
  const int NumberOfMics = BuildChannelList(p, mask, channels);
  if (NumberOfMics == 0) {
    // The mask selects no channel of the description: nothing to process, silence out.
    for (int i = 0; i < kFrameSize; ++i)
      outPcm[i] = 0;
    return;
  }
  for (int i = 0; i < NumberOfMics; ++i)
    core.gainTable[i] = core.unityGain;
  core.choice.channelCount = NumberOfMics;

  // 4. Analysis and far-end alignment. The caller's far-end frame is copied, then delayed.
  for (int i = 0; i < NumberOfMics; ++i)
    FilterBank_Analyze(channels[i], spectra[i], core.analysis[i]);
  int16_t* farEnd = p.farEndFrame;
  for (int i = 0; i < kFrameSize; ++i)
    farEnd[i] = refPcm[i];
  FilterBank_Analyze(farEnd, core.farSpectrum, core.analysis[kFarEndSlot]);
  const Cpx* delayedFar = DelaySpkSpectrum(p.delayLine, core.farSpectrum, ps.refDelayFrames);
  DelaySpkSamples(p.delayLine, farEnd, ps.refDelayFrames);

  Pipeline_UpdateFarEndActivity(core, ps, farEnd);         // 5
  Pipeline_MicrophoneBookkeeping(core, ps, NumberOfMics);  // 6

  // 7. Talker search while the far end is idle.
  const bool steering = core.features.micSteering != 0;
  if (ps.farEndHangover == 0 && steering && core.tuning.I(kTuneHoldFlag) == 0)
    TalkerMic_Search(core.noise, spectra, ps.BestMic, NumberOfMics, core.talker);

  Pipeline_ChooseSecondary(core, ps, NumberOfMics);  // 8

  // 9. Far-end delay estimation on the undelayed far end.
  const DelayEstimate estimate =
      DelayEstimator_Update(p.estimator, spectra[ps.BestMic], core.farSpectrum);

  // 10. Echo cancellation and microphone choice; both read the previous frame's talk state.
  const int previousTalkState = ps.talkState;
  float energyBefore = 0.0f, energyAfter = 0.0f;
  const bool cancelling = core.features.echoCanceler != 0;
  if (cancelling) {
    energyBefore = BinEnergy(spectra[ps.BestMic], 20, 119);
    AdaptiveFilterMono_Process(delayedFar, NumberOfMics, core.coupling.coupling, core.noise,
                               spectra, ps.BestMic, ps.secondaryMic, previousTalkState, core.aec);
    energyAfter = BinEnergy(spectra[ps.BestMic], 20, 123);
    if (steering && (ps.farEndHangover == 0 || previousTalkState == 3)) {
      core.choice.preference = NumberOfMics == 2 ? 4.0f : 1.5f;
      if (mask == 1) {
        ps.BestMic = MicChoice_OneMic(core.choice, spectra, core.noise);
      } else if (mask == 3) {
        ps.BestMic = MicChoice_TwoMic(core.choice, spectra, core.noise, core.duckerEnterTime,
                                      core.duckerExitTime, core.duckerThreshold, duckerHold,
                                      p.choiceSwitchCounter);
      }
      if (ps.secondaryMic == ps.BestMic) DropSecondary(core, ps);
    }
  }

  // 11. Coupling.
  const AdaptiveFilterMono& aec = core.aec;
  EchoCoupling_Update(aec.farGroupPower, aec.echoGroupPower, aec.listCount, aec.MicList,
                      aec.micGroupPower, aec.residualGroupPower, core.coupling);
  Pipeline_LimitCouplingRatios(core.coupling, NumberOfMics);

  if (ps.farEndHangover == 0) TrackNoise(core);  // 12

  // 13. Double talk and the talk state of this frame.
  const int bestMic = ps.BestMic;
  core.doubleTalk.threshold =
      core.tuning.I(kTuneFixedThreshold) == 1 ? 4.0f : static_cast<float>(core.doubleTalkThreshold);
  const float preset = core.tuning.F(kTuneBandWeightPreset);
  if (preset == 100.0f || preset == 101.0f) {
    for (float& c : core.coupling.coupling[bestMic])
      c = preset == 100.0f ? 2.0f : 0.5f;
  }
  DoubleTalk_Detect(aec.residualPower[bestMic], aec.farBinPower, core.noise[bestMic].noise,
                    core.coupling.coupling[bestMic], core.doubleTalk);
  ps.talkState = core.doubleTalk.hangover > 0 ? 3 : 2;
  if (ps.farEndHangover == 0) ps.talkState = 1;

  // 14. Echo-return measurement: decides the gain of bins without near-end speech.
  if (cancelling && estimate.confident == 1 && ps.talkState == 2 && energyBefore > 1e9f) {
    float r = energyBefore / (energyAfter + 0.001f);
    if (r < 1.0f) r = 1.0f;
    if (r > 900.0f) r = 900.0f;
    ps.erleDb = 0.9f * ps.erleDb + 0.1f * (10.0f * std::log10(r));
    const float floorGain = ps.erleDb < 10.0f ? 0.0f : 0.5f;
    for (int i = 0; i < 3; ++i)
      core.postFilter[i].floorGain = floorGain;
  }

  ps.refDelayFrames = Pipeline_TrackDelay(ps.refDelayFrames, estimate.delay);  // 15

  // 16. Residual echo and near-end speech.
  const int strongMode = core.denoiseMode >= 2 ? 1 : 0;
  EchoPeakState& peak = core.echoPeak[kSpareEchoPeaks + bestMic];
  peak.scale = core.tuning.F(kTuneNoiseScale) * 0.1f;
  for (float& f : peak.regionFactor)
    f = 0.25f;
  ResidualEcho_Estimate(aec.echoPower[bestMic], ps.talkState, core.W, peak);
  NearEndState& nearEnd = core.nearEnd[0];
  NearEndTuning tuning;
  tuning.speechLevelThreshold = core.tuning.F(kTuneSpeechLevelThreshold);
  tuning.ceilingRelease = core.tuning.I(kTuneCeilingRelease);
  tuning.highBandWeight = core.tuning.F(kTuneHighBandWeight);
  NearEnd_Detect(core.aec.residualPower[bestMic], peak.echoEstimate, core.weights[bestMic],
                 ps.talkState, core.W, tuning, strongMode, nearEnd);
  core.speechFlag = nearEnd.speechFlag;

  // 17. AGC, steered by the third post-filter record's switch word.
  PostFilterState& postFilter = core.postFilter[kAppliedPostFilter];
  if (postFilter.agcSwitch != 0) {
    Agc_Update(nearEnd.speechFlag, nearEnd.weightedLevel, core.agc, p.agcSmoothedGain);
    core.agcGain = core.agc.outputGain;
  } else {
    core.agcGain = 1.0f;
  }

  // 18. Post filter.
  if (core.features.postFilter != 0) {
    if (core.tuning.I(kTuneHoldFlag) != 0 && core.gainTable[0] == kZeroGainTable.data()) {
      ps.secondaryMic = -1;
    } else {
      PostFilter_Apply(spectra[bestMic], nearEnd, core.weights[bestMic], core.agcGain,
                       core.gainTable[bestMic], ps.talkState, nearEnd.releaseCount, postFilter,
                       strongMode);
    }
  }

  // 19. Synthesis of the chosen channel, up to 12 kHz.
  for (int k = kTopBin + 1; k < kNumBins; ++k)
    spectra[bestMic][k] = {0.0f, 0.0f};
  FilterBank_Synthesize(spectra[bestMic], outPcm, core.synthesis);

  // 20. Neural noise suppression over the two halves; a half the suppressor could not process
  // (scratch allocation failed) passes unchanged.
  if (core.denoiseMode == 1 || core.denoiseMode == 2) {
    float* buffer = core.denoiseBuffer;
    for (int i = 0; i < kFrameSize; ++i)
      buffer[i] = static_cast<float>(outPcm[i]);
    rnnoise_process_engine_frame(core.denoiser[0], buffer, nearEnd.speechFlag, *core.log,
                                 core.denoiseAllocator);
    for (int i = 0; i < kFrameSize; ++i)
      outPcm[i] = SaturateToPcm(buffer[i]);
  }

  core.doubleTalkFlag = ps.talkState == 3 ? 1 : 0;  // 21
}

}  // namespace orvo
