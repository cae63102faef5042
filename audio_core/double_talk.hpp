// Double-talk detector and talker-microphone search.
//
// DoubleTalk_Detect runs once per frame after the echo filter and the coupling update. It weighs
// the residual power left above eight times the noise floor against the echo the learnt coupling
// predicts from the peak-held far-end level; a score above the threshold arms a short hangover
// during which the pipeline reports double talk.
//
// TalkerMic_Search runs while the far end is idle and looks for a microphone that hears clearly
// more near-end speech than the peak-held level of BestMic; it names that microphone for 35
// frames.
#pragma once

#include <cstdint>

#include "audio_core/noise_psd.hpp"
#include "base/common.hpp"

namespace orvo {

constexpr int kDtFirstBin = 12;      // first bin of the double-talk blocks
constexpr int kDtBlockBins = 8;      // bins per double-talk block
constexpr int kDtBlocks = 29;        // blocks over bins 12..243
constexpr int kTalkerFirstBin = 16;  // first bin of the talker-search blocks
constexpr int kTalkerBlockBins = 16;
constexpr int kTalkerBlocks = 9;  // blocks over bins 16..159
constexpr int kTalkerHangover = 35;

struct DoubleTalk {
  float farPeak[kDtBlocks];  // peak-held far-end power per 8-bin block from bin 12
  float score;               // score of the last frame
  int32_t hangover;          // frames left in which double talk counts as present
  float threshold;           // set by the pipeline from the configuration
};

struct TalkerMic {
  float peak[kTalkerBlocks];  // peak-held power of BestMic per 16-bin block from bin 16
  float bestScore;            // highest score of the last search
  int32_t hangover;           // frames the found microphone stays named (pipeline counts down)
  int32_t foundMic;           // index of the found microphone
};

// Both records start zeroed.
void DoubleTalk_Create(DoubleTalk& record);
void TalkerMic_Create(TalkerMic& record);

// residualPow, farPow, noisePow: 960 floats each (BestMic's residual power, the far-end bin
// power, BestMic's noise estimate); coupling: BestMic's six coupling ratios.
// After the call the pipeline sets talkState = 3 when record.hangover > 0.
void DoubleTalk_Detect(const float* residualPow, const float* farPow, const float* noisePow,
                       const float* coupling, DoubleTalk& record);

// The detection threshold: the configured double-talk threshold, or 4.0 when the fixed
// threshold is switched on.
void DoubleTalk_SetThreshold(DoubleTalk& record, int configured, bool fixed);

// This frame's talk state after DoubleTalk_Detect: 1 while the far end is silent, else 3 while
// the double-talk hangover lasts and 2 otherwise.
int DoubleTalk_TalkState(const DoubleTalk& record, bool farEndActive);

// noiseRecords: one NoisePsdState per microphone (only `noise` is read); micSpectra: 14 pointers
// to the microphone spectra before echo cancellation (only the first NumberOfMics are read).
// Requires 0 <= BestMic < NumberOfMics <= 14; otherwise the call leaves the record unchanged.
void TalkerMic_Search(const NoisePsdState* noiseRecords, const Cpx* const* micSpectra, int BestMic,
                      int NumberOfMics, TalkerMic& record);

// One frame of the naming: counts the hangover down and returns the found microphone while it
// is still named, else -1.
int TalkerMic_CountDown(TalkerMic& record);

// Ends the naming at once.
void TalkerMic_Forget(TalkerMic& record);

}  // namespace orvo
