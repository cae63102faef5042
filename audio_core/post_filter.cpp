#include "audio_core/post_filter.hpp"

#include <cmath>
#include <cstring>

#include "base/check.hpp"
#include "base/float_select.hpp"

namespace orvo {

namespace {

// The null-record check reports a fixed unit and line, so its message does not depend on the
// layout of this file.
constexpr const char* kUnit = "audio_core\\PostFilter";
constexpr int kNullRecordLine = 946;

constexpr int kLastBin = kTopBin;  // bins 1..480 are processed
constexpr int32_t kHangoverFrames = 15;
constexpr int32_t kHangoverFramesStrong = 5;
constexpr float kBaseOffsetDecay = 0.95f;
constexpr int32_t kSmoothedDecaySteps = 2;
constexpr float kEchoReturnForFloor = 10.0f;  // dB
constexpr float kFloorGainLowReturn = 0.0f;
constexpr float kFloorGainHighReturn = 0.5f;

// End (exclusive) of gain region r, cut after bin 480.
constexpr int RegionEnd(int r) {
  return GainRegionEdges[r + 1] < kLastBin + 1 ? GainRegionEdges[r + 1] : kLastBin + 1;
}

constexpr float kHangOffsetStart[kGainRegions] = {0.35f, 0.35f, 0.35f, 0.25f, 0.25f};
constexpr float kBaseOffsetStart[kGainRegions] = {0.25f, 0.0f, 0.0f, 0.0f, 0.0f};
constexpr float kHangOffsetSpeech[kGainRegions] = {0.5f, 0.5f, 0.33f, 0.5f, 0.33f};
constexpr float kBaseOffsetSpeech[kGainRegions] = {0.5f, 0.5f, 0.33f, 0.5f, 0.33f};
constexpr float kHangOffsetSpeechStrong[kGainRegions] = {0.1f, 0.33f, 0.33f, 0.15f, 0.1f};
constexpr float kBaseOffsetSpeechStrong[kGainRegions] = {0.05f, 0.05f, 0.05f, 0.05f, 0.05f};

// Row, offset and frame-wide values of one gain region.
struct RegionGain {
  float slope;
  float offset;
  float gmax;
  float agcGain;
  float floorGain;  // gain of unmarked bins
  float alpha;
  bool muted;  // the far end talks alone: every gain is 0
};

// Tracks S[k] towards the input x[k] and applies the gain to bins [first, end), branch-free so
// that the loop vectorises. A rise is followed at once; a fall is smoothed with alpha for two
// frames and followed exactly from the third.
void ApplyRegion(const RegionGain& rg, int first, int end, const float* __restrict X,
                 const float* __restrict M, const float* __restrict T, float* __restrict S,
                 int32_t* __restrict hold, Cpx* __restrict spectrum) {
  for (int k = first; k < end; ++k) {
    const float x = X[k];
    const float s = S[k];
    const int32_t h = hold[k];
    const bool rises = x > s;
    const bool smooths = !rises & (h < kSmoothedDecaySteps);
    const float tracked = SelectFloat(smooths, s + rg.alpha * (x - s), x);
    S[k] = tracked;
    hold[k] = rises ? 0 : h + (smooths ? 1 : 0);
    const float raw = rg.slope * tracked + rg.offset;
    const float g = SelectFloat(raw > rg.gmax, rg.gmax, raw);
    const float G =
        SelectFloat(rg.muted, 0.0f, SelectFloat(M[k] != 0.0f, g * rg.agcGain, rg.floorGain));
    const float f = G * T[k];
    spectrum[k].re *= f;
    spectrum[k].im *= f;
  }
}

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

void PostFilter_FollowEchoReturn(PostFilterState& state, float erleDb) {
  state.floorGain = erleDb < kEchoReturnForFloor ? kFloorGainLowReturn : kFloorGainHighReturn;
}

void PostFilter_Apply(Cpx* spectrum, const NearEndState& detector, const NoiseWeights& weights,
                      float agcGain, const float* binGainTable, int talkState, int releaseCount,
                      PostFilterState& state, int strongMode) {
  (void)weights;  // no value of the noise weights changes the output
  const bool strong = strongMode != 0;

  // Hangover restarts at every detection.
  if (detector.speechDetected) state.hangover = strong ? kHangoverFramesStrong : kHangoverFrames;

  // Rows and offsets of the regime.
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

  // Lowered ceiling while the release counter runs out; it also forces the normal rows.
  float gmax = 1.0f;
  if (releaseCount < kCeilingSteps) {
    rows = GainRowsNormal;
    hangMode = false;
    gmax = PostFilterCeiling[releaseCount > 0 ? releaseCount : 0];
  }

  // Without noise reduction every marked bin gets the ceiling.
  if (state.noiseReduction == 0) {
    for (int r = 0; r < kGainRegions; ++r) {
      state.hangOffset[r] = 1.0f;
      state.baseOffset[r] = 1.0f;
    }
  }

  // The noise-fill switch has no effect and is cleared every frame; bin 0 is always zeroed.
  state.noiseFill = 0;
  spectrum[0].re = 0.0f;
  spectrum[0].im = 0.0f;

  // Inputs first: region 0 bin by bin, regions 1..4 the mean of M over [k - w/2, k + w/2)
  // with a running sum carried across regions. Entering a region widens the window by
  // (w_r - w_{r-1}) / 2 on each side. Then tracking and gains per region.
  const float* M = detector.nearMap;
  float* X = state.windowMean;
  for (int k = 1; k < GainRegionEdges[1]; ++k)
    X[k] = M[k];
  float sum = 0.0f;
  int prevWidth = rows[0].width;
  for (int r = 1; r < kGainRegions; ++r) {
    const int w = rows[r].width;
    const int h = w / 2;
    const int d = (w - prevWidth) / 2;
    const int first = GainRegionEdges[r];
    const int end = RegionEnd(r);
    for (int i = first - h; i < first - h + d; ++i)
      sum += M[i];
    for (int i = first + h - d; i < first + h; ++i)
      sum += M[i];
    prevWidth = w;
    const float width = static_cast<float>(w);
    for (int k = first; k < end; ++k) {
      X[k] = sum / width;
      sum = sum + M[k + h] - M[k - h];
    }
  }

  RegionGain rg;
  rg.gmax = gmax;
  rg.agcGain = agcGain;
  rg.floorGain = state.floorGain;
  rg.alpha = state.alpha;
  rg.muted = talkState == 2;
  for (int r = 0; r < kGainRegions; ++r) {
    rg.slope = rows[r].slope;
    rg.offset = hangMode ? state.hangOffset[r] : state.baseOffset[r];
    const int first = r == 0 ? 1 : GainRegionEdges[r];  // bin 0 is skipped
    ApplyRegion(rg, first, RegionEnd(r), X, M, binGainTable, state.tracked, state.holdCount,
                spectrum);
  }
}

}  // namespace orvo
