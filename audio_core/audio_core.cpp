// Engine initialisation and destruction.
#include <array>
#include <cstring>
#include <new>

#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "base/check.hpp"

namespace orvo {

EngineState::EngineState() = default;

EngineState::~EngineState() {
  if (hRoomPro != nullptr) {
    AudioCore_Destroy(hRoomPro);
    delete hRoomPro;
    hRoomPro = nullptr;
  }
}

namespace {

constexpr std::array<float, kNumBins> FilledTable(float value) {
  std::array<float, kNumBins> table{};
  for (float& v : table)
    v = value;
  return table;
}

}  // namespace

const std::array<float, kNumBins> kPlus4dBGainTable = FilledTable(1.5848932f);  // 10^(4/20)
const std::array<float, kNumBins> kZeroGainTable = FilledTable(0.0f);

void ProcessState_Init(ProcessState& p) {
  p.micBias = 4.0f;
  p.currentMicType = -1;
  p.descriptor = MicDescriptor{};
  for (auto& d : p.pMicDes)
    d = nullptr;
  std::memset(p.channel, 0, sizeof p.channel);
  PipelineState& ps = p.pipeline;
  ps.liveMusicLatch = 1;
  ps.farEndHangover = 10;
  ps.talkState = 2;
  ps.refDelayFrames = 0;
  ps.BestMic = 0;
  ps.previousMic = 0;
  ps.fallbackMic = 0;
  ps.fallbackTimer = 25;
  ps.secondaryMic = 0;
  EchoReturn_Init(ps.echoReturn);
  ps.farFilterInput = 0.0f;
  ps.farFilterOutput = 0.0f;
  std::memset(p.spectra, 0, sizeof p.spectra);
  std::memset(p.farEndFrame, 0, sizeof p.farEndFrame);
  DelayLine_Reset(p.delayLine);
  p.estimator = DelayEstimator{};
  p.choiceSwitchCounter = 0;
  p.agcSmoothedGain = kAgcSmoothedGainStart;
}

void AudioCore_Init(AudioCore* This, EngineState& engine) {
  ORVO_CHECK(This != NULL, "AudioCore");
  This->log = &engine.log;

  AudioCore_SetDefaultFeatures(This);                           // 1
  This->tuning = EngineTuning{};                                // 2 and 18
  std::memset(This->farSpectrum, 0, sizeof This->farSpectrum);  // 3

  for (FilterBankState& fb : This->analysis)
    FilterBank_Create(&fb, engine.cpuLevel);                      // 4
  FilterBank_CreateSynthesis(&This->synthesis, engine.cpuLevel);  // 5
  AdaptiveFilterMono_Create(&This->aec, engine.cpuLevel);         // 6
  for (int m = 0; m < kMaxMics; ++m) {                            // 7
    This->levels[m] = MicTrackerStart();
    NoisePSD_Create(&This->noise[m]);
    NoiseWeights_Init(This->weights[m]);
  }
  This->levels[kFarEndSlot] = FarEndTrackerStart(false);  // 8
  This->levels[kSpareSlot] = FarEndTrackerStart(false);
  EchoCoupling_Init(This->coupling);    // 9
  DoubleTalk_Create(This->doubleTalk);  // 10
  TalkerMic_Create(This->talker);
  for (EchoPeakState& peak : This->echoPeak)
    EchoPeak_Create(peak);  // 11
  for (NearEndState& ne : This->nearEnd)
    NearEnd_Create(&ne);  // 12
  // Creating the post-filter records sets their switch words to the creation values again
  // (NoiseFill off, the others on), whatever step 1 wrote into them.
  for (PostFilterState& pf : This->postFilter)
    PostFilter_Create(&pf);      // 13
  MicChoice_Init(This->choice);  // 14
  Agc_Create(This->agc);
  This->choice.selection = 0;
  DelayEstimator_Reset(engine.proc->estimator);  // 15
  This->frameCounter = 0;                        // 16
  BuildWeightingTable(This->W);                  // 17
  for (float& g : This->unityGain)
    g = 1.0f;
  for (const float*& table : This->gainTable)
    table = This->unityGain;

  This->pCompen = new (std::nothrow) SpkDataRing;  // 19
  ORVO_CHECK(This->pCompen != NULL, "AudioCore");
  This->pCompen->readIndex = 0;
  This->pCompen->writeIndex = 1920;
  for (int16_t& s : This->pCompen->samples)
    s = 0;

  This->ssl = SourceLocalisation_Create(engine.log);  // 20

  This->doubleTalkFlag = 0;  // 21
  This->speechFlag = 0;
  This->agcGain = 1.0f;

  // 22. The engine offers a gain floor of 1e-10 (-100 dB), which the suppressor refuses in
  // favour of its own 1e-6.
  for (DenoiserState& d : This->denoiser)
    rnnoise_init(d, kEngineOfferedGainFloor, engine.cpuLevel);
  This->denoiseAllocator = DefaultDenoiseAllocator();

  This->hangoverTime = 21;  // 23
  This->duckerEnterTime = 8;
  This->duckerExitTime = 25;
  This->duckerThreshold = 1e9f;
  This->doubleTalkThreshold = 48;
  This->denoiseMode = 1;
}

void AudioCore_Destroy(AudioCore* This) {
  ORVO_CHECK(This != NULL, "AudioCore");
  This->ssl.reset();
  delete This->pCompen;
  This->pCompen = nullptr;
}

}  // namespace orvo
