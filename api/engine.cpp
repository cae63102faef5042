// The C++ interface: one EngineState per Engine object.
#include "orvoaec/engine.hpp"

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "audio_core/filter_bank.hpp"
#include "denoise/noise_suppressor.hpp"

namespace orvo {

namespace {

void ForwardToSink(void* user, const char* text) {
  (*static_cast<LogSink*>(user))(text);
}

}  // namespace

Engine::Engine(LogSink sink) : sink_(std::move(sink)), state_(std::make_unique<EngineState>()) {
  if (sink_) state_->log.SetSink(&ForwardToSink, &sink_);
  AudioCore_Create(*state_);
}

Engine::~Engine() = default;

void Engine::Recreate() {
  AudioCore_Create(*state_);
}

int Engine::Process(const int16_t* mic, const int16_t* ref, int16_t* out, bool frameFlag, int mode,
                    int duckerHold) {
  const int channels = mode == 3 ? 2 : 1;
  OmbrixAudioCore_FrameProcess(*state_, mic, ref, channels, channels * kFrameSamples, out,
                               frameFlag ? 8 : 0, mode == 3 ? 4 : 5, mode, duckerHold);
  return state_->hRoomPro->choice.selection;
}

void Engine::FrameProcess(const int16_t* mic, const int16_t* ref, int channelCount, int sampleCount,
                          int16_t* out, int flags, int micType, int mode, int duckerHold) {
  OmbrixAudioCore_FrameProcess(*state_, mic, ref, channelCount, sampleCount, out, flags, micType,
                               mode, duckerHold);
}

void Engine::AddFarEnd(const int16_t* farEnd) {
  if (farEnd == nullptr) {
    state_->log.Printf("AudioCore_Add_SpkData() FAILED: farEnd is NULL\n");
    return;
  }
  AudioCore_Add_SpkData(state_->hRoomPro->pCompen, farEnd);
}

bool Engine::IsDoubleTalk() const {
  return state_->hRoomPro->doubleTalkFlag != 0;
}
FrameStats Engine::LastFrameStats() const {
  const AudioCore& core = *state_->hRoomPro;
  const ProcessState& proc = *state_->proc;
  FrameStats s{};
  s.doubleTalk = core.doubleTalkFlag != 0;
  s.talkState = proc.pipeline.talkState;
  s.selectedMic = core.choice.selection;
  s.delayFrames = proc.pipeline.refDelayFrames;
  s.agcGain = core.agcGain;
  s.inputGain = proc.micBias;
  return s;
}
int Engine::ChoiceSelection() const {
  return state_->hRoomPro->choice.selection;
}
float Engine::MicBias() const {
  return state_->proc->micBias;
}
int Engine::ProcessingDelaySamples() const {
  const int mode = state_->hRoomPro->denoiseMode;
  return kFilterBankDelay + ((mode == 1 || mode == 2) ? kDenoiseHop : 0);
}

void Engine::SetFeature(Feature id, int value) {
  AudioCore_SetFeature(static_cast<int>(id), value, state_->hRoomPro);
}

int Engine::GetFeature(Feature id) const {
  return AudioCore_GetFeature(static_cast<int>(id), *state_->hRoomPro);
}

void Engine::SetHangoverTime(int frames) {
  AudioCore_SetHangoverTime(*state_, frames);
}
void Engine::SetDuckerEnterTime(int ms) {
  AudioCore_SetDuckerEnterTime(*state_, ms);
}
void Engine::SetDuckerExitTime(int ms) {
  AudioCore_SetDuckerExitTime(*state_, ms);
}
void Engine::SetDuckerThreshold(int code) {
  AudioCore_SetDuckerThreshold(*state_, code);
}
void Engine::SetDoubleTalkThreshold(int value) {
  AudioCore_SetDoubleTalkThreshold(*state_, value);
}
void Engine::SetDenoiseMode(int mode) {
  state_->hRoomPro->denoiseMode = mode;
}
void Engine::SetLiveMusic(bool on) {
  state_->hRoomPro->tuning.liveMusicSwitch = on ? 0 : 1;
}
void Engine::SetBandWeightPreset(float preset) {
  state_->hRoomPro->tuning.bandWeightPreset = preset;
}
void Engine::SetFixedThreshold(bool on) {
  state_->hRoomPro->tuning.fixedThreshold = on ? 1 : 0;
}
void Engine::SetHoldFlag(int flag) {
  state_->hRoomPro->tuning.holdFlag = flag;
}

EngineSettings Engine::Settings() const {
  const AudioCore& c = *state_->hRoomPro;
  EngineSettings s{};
  s.hangoverTime = c.hangoverTime;
  s.duckerEnterTime = c.duckerEnterTime;
  s.duckerExitTime = c.duckerExitTime;
  s.duckerThreshold = c.duckerThreshold;
  s.doubleTalkThreshold = c.doubleTalkThreshold;
  s.denoiseMode = c.denoiseMode;
  s.liveMusicSwitch = c.tuning.liveMusicSwitch;
  s.bandWeightPreset = c.tuning.bandWeightPreset;
  s.fixedThreshold = c.tuning.fixedThreshold;
  s.holdFlag = c.tuning.holdFlag;
  return s;
}

void Engine::LoadConfig() {
  LoadConfigFromDocuments(*state_);
}
void Engine::LoadConfigFile(const std::string& path) {
  LoadConfigFromFile(*state_, path);
}

}  // namespace orvo
