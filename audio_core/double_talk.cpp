#include "audio_core/double_talk.hpp"

#include <cstring>

namespace orvo {

namespace {

constexpr float kPeakDecay = 0.8f;
constexpr float kDtNoiseFactor = 8.0f;
constexpr float kDtDenominatorFloor = 10000.0f;
constexpr int32_t kDtHangover = 3;
constexpr float kDtFixedThreshold = 4.0f;
constexpr float kTalkerNoiseFactor = 20.0f;
constexpr float kTalkerPeakFactor = 4.0f;
constexpr float kTalkerNameScore = 2.0f;

// Band group of each double-talk block, taken from the block's first bin.
struct BlockGroups {
  int group[kDtBlocks];
  constexpr BlockGroups() : group() {
    for (int b = 0; b < kDtBlocks; ++b)
      group[b] = GroupOfBin(kDtFirstBin + kDtBlockBins * b);
  }
};
constexpr BlockGroups kBlockGroups;

inline float Sum8(const float* x) {
  float s = 0.0f;
  for (int i = 0; i < kDtBlockBins; ++i)
    s += x[i];
  return s;
}

}  // namespace

void DoubleTalk_Create(DoubleTalk& record) {
  std::memset(&record, 0, sizeof(record));
}

void TalkerMic_Create(TalkerMic& record) {
  std::memset(&record, 0, sizeof(record));
}

void DoubleTalk_Detect(const float* residualPow, const float* farPow, const float* noisePow,
                       const float* coupling, DoubleTalk& record) {
  float score = 0.0f;
  for (int b = 0; b < kDtBlocks; ++b) {
    const int s = kDtFirstBin + kDtBlockBins * b;
    const float far = Sum8(farPow + s);
    const float res = Sum8(residualPow + s);
    const float noise = Sum8(noisePow + s);
    float excess = res - kDtNoiseFactor * noise;
    if (!(excess > 0.0f)) excess = 0.0f;
    const float decayed = kPeakDecay * record.farPeak[b];
    const float peak = far > decayed ? far : decayed;
    record.farPeak[b] = peak;
    score += excess / (coupling[kBlockGroups.group[b]] * peak + kDtDenominatorFloor);
  }
  record.score = score;
  if (score > record.threshold) record.hangover = kDtHangover;
  if (record.hangover >= 1) record.hangover -= 1;
}

void DoubleTalk_SetThreshold(DoubleTalk& record, int configured, bool fixed) {
  record.threshold = fixed ? kDtFixedThreshold : static_cast<float>(configured);
}

int DoubleTalk_TalkState(const DoubleTalk& record, bool farEndActive) {
  if (!farEndActive) return 1;
  return record.hangover > 0 ? 3 : 2;
}

void TalkerMic_Search(const NoisePsdState* noiseRecords, const Cpx* const* micSpectra, int BestMic,
                      int NumberOfMics, TalkerMic& record) {
  if (NumberOfMics < 1 || NumberOfMics > kMaxMics || BestMic < 0 || BestMic >= NumberOfMics) return;

  float scores[kMaxMics];
  for (int m = 0; m < NumberOfMics; ++m)
    scores[m] = 0.0f;

  const Cpx* best = micSpectra[BestMic];
  for (int b = 0; b < kTalkerBlocks; ++b) {
    const int s = kTalkerFirstBin + kTalkerBlockBins * b;
    float p = 0.0f;
    for (int i = s; i < s + kTalkerBlockBins; ++i)
      p += Power(best[i]);
    const float decayed = kPeakDecay * record.peak[b];
    const float peak = p > decayed ? p : decayed;
    record.peak[b] = peak;
    const float denom = 1.0f + kTalkerPeakFactor * peak;

    for (int m = 0; m < NumberOfMics; ++m) {
      const Cpx* spectrum = micSpectra[m];
      const float* noise = noiseRecords[m].noise;
      float mic = 0.0f;
      float n = 0.0f;
      for (int i = s; i < s + kTalkerBlockBins; ++i) {
        mic += Power(spectrum[i]);
        n += noise[i];
      }
      float excess = mic - kTalkerNoiseFactor * n;
      if (!(excess > 0.0f)) excess = 0.0f;
      scores[m] += excess / denom;
    }
  }

  // Strictly higher wins, so the lowest index keeps a tie; all zero names microphone 0.
  float highest = 0.0f;
  int who = 0;
  for (int m = 0; m < NumberOfMics; ++m) {
    if (scores[m] > highest) {
      highest = scores[m];
      who = m;
    }
  }
  record.bestScore = highest;
  if (highest > kTalkerNameScore) {
    record.hangover = kTalkerHangover;
    record.foundMic = who;
  }
}

int TalkerMic_CountDown(TalkerMic& record) {
  if (record.hangover > 0) --record.hangover;
  return record.hangover > 0 ? record.foundMic : -1;
}

void TalkerMic_Forget(TalkerMic& record) {
  record.hangover = 0;
}

}  // namespace orvo
