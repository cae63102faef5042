#include "audio_core/post_filter.hpp"

#include <cmath>
#include <cstring>

#include "audio_core/check.hpp"

namespace orvo {

namespace {

constexpr const char* kUnit = "audio_core\\PostFilter";
constexpr int kNullRecordLine = 946;

constexpr int kLastBin = kTopBin;  // bins 1..480 are processed
constexpr int32_t kHangoverFrames = 15;
constexpr int32_t kHangoverFramesStrong = 5;
constexpr float kBaseOffsetDecay = 0.95f;
constexpr int32_t kSmoothedDecaySteps = 2;

constexpr float kHangOffsetStart[kGainRegions] = {0.35f, 0.35f, 0.35f, 0.25f, 0.25f};
constexpr float kBaseOffsetStart[kGainRegions] = {0.25f, 0.0f, 0.0f, 0.0f, 0.0f};
constexpr float kHangOffsetSpeech[kGainRegions] = {0.5f, 0.5f, 0.33f, 0.5f, 0.33f};
constexpr float kBaseOffsetSpeech[kGainRegions] = {0.5f, 0.5f, 0.33f, 0.5f, 0.33f};
constexpr float kHangOffsetSpeechStrong[kGainRegions] = {0.1f, 0.33f, 0.33f, 0.15f, 0.1f};
constexpr float kBaseOffsetSpeechStrong[kGainRegions] = {0.05f, 0.05f, 0.05f, 0.05f, 0.05f};

// Tracks S[k] towards x and returns the gain of the bin before the AGC and the bin table.
struct BinGain {
  float slope;
  float offset;
  float gmax;
  float agcGain;
  float floorGain;  // gain of unmarked bins
  float alpha;
  bool muted;  // the far end talks alone: every gain is 0

  inline float operator()(float x, float m, float& s, int32_t& hold) const {
    if (x > s) {
      s = x;
      hold = 0;
    } else if (hold < kSmoothedDecaySteps) {
      s = s + alpha * (x - s);
      hold += 1;
    } else {
      s = x;
    }
    float g = slope * s + offset;
    if (g > gmax) g = gmax;
    if (muted) return 0.0f;
    return m != 0.0f ? g * agcGain : floorGain;
  }
};

}  // namespace

void PostFilter_Create(PostFilterState* state) {
  if (!(state != nullptr)) FatalCheckFailed("This != NULL", kUnit, kNullRecordLine);
  std::memset(state->tracked, 0, sizeof(state->tracked));
  std::memset(state->holdCount, 0, sizeof(state->holdCount));
  state->hangover = 0;
  state->alpha = static_cast<float>(1.0 - std::exp(-5.0 / 9.0));
  state->noiseFill = 0;
  state->noiseReduction = 1;
  state->echoSuppression = 1;
  state->agcSwitch = 1;
  state->floorGain = 0.0f;
  for (int r = 0; r < kGainRegions; ++r) {
    state->hangOffset[r] = kHangOffsetStart[r];
    state->baseOffset[r] = kBaseOffsetStart[r];
  }
}

void PostFilter_Apply(Cpx* spectrum, const NearEndState& detector, const NoiseWeights& weights,
                      float agcGain, const float* binGainTable, int talkState, int releaseCount,
                      PostFilterState& state, int strongMode) {
  (void)weights;  // no value of the noise weights changes the output
  const bool strong = strongMode != 0;

  // 1. Hangover restarts at every detection.
  if (detector.speechDetected) state.hangover = strong ? kHangoverFramesStrong : kHangoverFrames;

  // 2. Rows and offsets of the regime.
  const GainRow* rows = GainRowsNormal;
  bool hangMode = false;
  if (state.hangover < 1) {
    for (float& o : state.baseOffset)
      o *= kBaseOffsetDecay;
  } else {
    state.hangover -= 1;
    rows = GainRowsHangover;
    hangMode = true;
    state.hangOffset[2] = 0.33f;
    const float* hang = strong ? kHangOffsetSpeechStrong : kHangOffsetSpeech;
    const float* base = strong ? kBaseOffsetSpeechStrong : kBaseOffsetSpeech;
    for (int r = 0; r < kGainRegions; ++r) {
      state.hangOffset[r] = hang[r];
      state.baseOffset[r] = base[r];
    }
  }

  // 3. Lowered ceiling while the release counter runs out; it also forces the normal rows.
  float gmax = 1.0f;
  if (releaseCount < kCeilingSteps) {
    rows = GainRowsNormal;
    hangMode = false;
    gmax = PostFilterCeiling[releaseCount > 0 ? releaseCount : 0];
  }

  // 4. Without noise reduction every marked bin gets the ceiling.
  if (state.noiseReduction == 0) {
    for (int r = 0; r < kGainRegions; ++r) {
      state.hangOffset[r] = 1.0f;
      state.baseOffset[r] = 1.0f;
    }
  }

  // 5.
  state.noiseFill = 0;
  spectrum[0].re = 0.0f;
  spectrum[0].im = 0.0f;

  // 6. Per region.
  const float* M = detector.nearMap;
  const float* T = binGainTable;
  float* S = state.tracked;
  int32_t* hold = state.holdCount;
  BinGain gain;
  gain.gmax = gmax;
  gain.agcGain = agcGain;
  gain.floorGain = state.floorGain;
  gain.alpha = state.alpha;
  gain.muted = talkState == 2;

  // Region 0, bin by bin (bin 0 skipped).
  gain.slope = rows[0].slope;
  gain.offset = hangMode ? state.hangOffset[0] : state.baseOffset[0];
  for (int k = 1; k < GainRegionEdges[1]; ++k) {
    const float G = gain(M[k], M[k], S[k], hold[k]);
    const float f = G * T[k];
    spectrum[k].re *= f;
    spectrum[k].im *= f;
  }

  // Regions 1..4: mean of M over [k - w/2, k + w/2) with a running sum carried across regions.
  // Entering a region widens the window by (w_r - w_{r-1}) / 2 on each side.
  float sum = 0.0f;
  int prevWidth = rows[0].width;
  for (int r = 1; r < kGainRegions; ++r) {
    const int w = rows[r].width;
    const int h = w / 2;
    const int d = (w - prevWidth) / 2;
    const int first = GainRegionEdges[r];
    const int end = GainRegionEdges[r + 1] < kLastBin + 1 ? GainRegionEdges[r + 1] : kLastBin + 1;
    for (int i = first - h; i < first - h + d; ++i)
      sum += M[i];
    for (int i = first + h - d; i < first + h; ++i)
      sum += M[i];
    prevWidth = w;

    const float width = static_cast<float>(w);
    gain.slope = rows[r].slope;
    gain.offset = hangMode ? state.hangOffset[r] : state.baseOffset[r];
    for (int k = first; k < end; ++k) {
      const float x = sum / width;
      const float G = gain(x, M[k], S[k], hold[k]);
      const float f = G * T[k];
      spectrum[k].re *= f;
      spectrum[k].im *= f;
      sum = sum + M[k + h] - M[k - h];
    }
  }
}

}  // namespace orvo
