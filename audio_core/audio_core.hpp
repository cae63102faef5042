// The engine's entries: creation, feature switches, tuning setters, microphone description,
// far-end history and the frame entry. The records they act on are in engine_record.hpp and
// engine_state.hpp.
#pragma once

#include <cstdint>

namespace orvo {

struct AudioCore;
struct EngineState;
struct ProcessState;
struct SpkDataRing;

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
