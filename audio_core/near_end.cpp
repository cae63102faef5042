#include "audio_core/near_end.hpp"

#include <climits>
#include <cmath>
#include <cstring>

#include "base/check.hpp"
#include "base/float_select.hpp"

namespace orvo {

namespace {

// The band-table checks report a fixed unit and lines, so their messages do not depend on the
// layout of this file.
constexpr const char* kUnit = "audio_core\\PostFilter";
constexpr int kBandTableUpperLine = 425;
constexpr int kBandTableLowerLine = 426;

constexpr int kLastBin = kTopBin;  // bins 1..480 are processed

// Region r covers [kRegionStart[r], kRegionEnd[r]): ParsPartTab cut at bin 481, bin 0 skipped.
struct Regions {
  int start[kNumGroups];
  int end[kNumGroups];
  constexpr Regions() : start(), end() {
    for (int r = 0; r < kNumGroups; ++r) {
      start[r] = r == 0 ? 1 : ParsPartTab[r - 1];
      end[r] = ParsPartTab[r] < kLastBin + 1 ? ParsPartTab[r] : kLastBin + 1;
    }
  }
};
constexpr Regions kRegions;

// Residual-echo estimate.
constexpr float kPeakDecay = 0.7f;
constexpr double kThresholdUnit = 1e7;
constexpr int kScaledRegions = 4;  // regions 0..3 take scale * 1e7, 4 and 5 keep theirs
constexpr float kEchoFactorFarAlone = 8.0f;
constexpr float kRegionFactor = 0.25f;
constexpr float kScalePerNoiseScale = 0.1f;

// Near-end detector.
constexpr int kLowBandFirst = 6;
constexpr int kLowBandLast = 40;
constexpr float kNearEnergyMinMap = 30.0f;
constexpr float kEchoMarginStrict = 8.0f;
constexpr float kWeightedLevelScale = 2.1701392e-6f;
constexpr float kSpeechMapTotal = 2880.0f;
constexpr float kStrongMapTotal = 5280.0f;
constexpr float kHighPeakKeep = 0.25f;
constexpr float kHighPeakNew = 0.75f;
constexpr int32_t kScoreMax = 10;
constexpr int32_t kScoreToHold = 3;
constexpr int32_t kSpeechHoldFrames = 50;
constexpr int32_t kSilentLimit = 25;
constexpr int32_t kCycleLimit = 40;
constexpr int32_t kReleaseArmed = 55;
constexpr int32_t kReleaseStrongLimit = 25;

// Cleaning zones: bins [first, last], window k - half .. k + half, cleared below minCount.
struct CleanZone {
  int first;
  int last;
  int half;
  int32_t minCount;
};
constexpr CleanZone kCleanZones[] = {
    {24, 159, 8, 12},
    {160, 319, 16, 16},
    {320, 479, 33, 33},
};

inline void SaturatingIncrement(int32_t& v) {
  if (v < INT32_MAX) ++v;
}

// Decaying echo peak and echo estimate of bins [first, end), branch-free so that the loop
// vectorises.
void PeakPass(const float* __restrict Y, int first, int end, float thr, float f,
              float* __restrict peak, float* __restrict est) {
  for (int k = first; k < end; ++k) {
    const float y = Y[k];
    const float old = peak[k];
    const float p = SelectFloat(y > old, y, kPeakDecay * old);
    peak[k] = p;
    est[k] = SelectFloat(p > thr, p * f, 0.0f);
  }
}

// Map, marks, weighted power and near-end energy of bins 1..480, branch-free so that the loop
// vectorises.
void PerBinPass(const float* __restrict P, const float* __restrict E, const float* __restrict W,
                const float* __restrict W1, float margin, float* __restrict M,
                int32_t* __restrict marked, float* __restrict wp, float* __restrict qs) {
  for (int k = 1; k <= kLastBin; ++k) {
    const float p = P[k];
    const float e = E[k];
    wp[k] = W[k] * p;
    const float m = SelectFloat(p >= e, W1[k] * p, 0.0f);
    M[k] = m;
    marked[k] = m > 0.0f;
    qs[k] = SelectFloat((p >= margin * e) & (m > kNearEnergyMinMap), p, 0.0f);
  }
}

}  // namespace

void BuildWeightingTable(float* W) {
  for (int k = 0; k < kNumBins; ++k) {
    const double w = 6.2832 * 25.0 * k / 48000.0;
    const double re = 1.0 - 0.9 * std::cos(w);
    const double s = std::sin(w);
    W[k] = static_cast<float>(1.0 / (re * re + s * s));
  }
}

void EchoPeak_Create(EchoPeakState& state) {
  std::memset(&state, 0, sizeof(state));
  for (int r = 0; r < kNumGroups; ++r) {
    state.regionFactor[r] = kRegionFactor;
    state.regionThreshold[r] = 1e7f;
  }
}

void ResidualEcho_Prepare(EchoPeakState& state, float noiseEstimatorScale) {
  state.scale = noiseEstimatorScale * kScalePerNoiseScale;
  for (float& f : state.regionFactor)
    f = kRegionFactor;
}

void ResidualEcho_Estimate(const float* echoPower, int talkState, const float* W,
                           EchoPeakState& state) {
  const float scaled = static_cast<float>(static_cast<double>(state.scale) * kThresholdUnit);
  for (int r = 0; r < kScaledRegions; ++r)
    state.regionThreshold[r] = scaled;

  for (int r = 0; r < kNumGroups; ++r) {
    float f = 0.0f;
    if (talkState == 2)
      f = kEchoFactorFarAlone;
    else if (talkState == 3)
      f = state.regionFactor[r];
    PeakPass(echoPower, kRegions.start[r], kRegions.end[r], state.regionThreshold[r], f, state.peak,
             state.echoEstimate);
  }
  // Weighted peak sum in bin order.
  float acc = 0.0f;
  for (int k = 1; k <= kLastBin; ++k)
    acc += W[k] * state.peak[k];
  state.echoLevel = 2.0f * acc / 960.0f;
}

void NearEnd_CheckBandTable(const int* table) {
  for (int region_index = 0; region_index < kNumGroups; ++region_index) {
    if (!(table[region_index] <= NUMBER_OF_BANDS))
      FatalCheckFailed("ParsPartTab[region_index]<=NUMBER_OF_BANDS", kUnit, kBandTableUpperLine);
    if (!(table[region_index] > 0))
      FatalCheckFailed("ParsPartTab[region_index]>0", kUnit, kBandTableLowerLine);
  }
}

void NearEnd_Create(NearEndState* state) {
  std::memset(state, 0, sizeof(*state));
  NearEnd_CheckBandTable(ParsPartTab);
}

void NearEnd_Detect(float* residualPower, const float* echoEstimate, const NoiseWeights& weights,
                    int talkState, const float* W, const NearEndTuning& tuning, int strongMode,
                    NearEndState& state) {
  float* P = residualPower;
  const float* E = echoEstimate;
  const float* W1 = weights.inverseNoise;
  float* M = state.nearMap;
  int32_t* marked = state.marked;

  // Only bins 1..480 carry the residual.
  P[0] = 0.0f;
  std::memset(P + kLastBin + 1, 0, sizeof(float) * (kNumBins - kLastBin - 1));

  // Map, weighted total and near-end energy per region. A branch-free per-bin pass first,
  // then the sums in bin order.
  const float margin = (strongMode == 0 && talkState == 1) ? 1.0f : kEchoMarginStrict;
  float* wp = state.weightedPower;
  float* qs = state.nearEnergy;
  PerBinPass(P, E, W, W1, margin, M, marked, wp, qs);
  float weighted = 0.0f;
  float mapTotal = 0.0f;
  float lowSum = 0.0f;
  float regionSum[kNumGroups];
  for (int r = 0; r < kNumGroups; ++r) {
    float rs = 0.0f;
    for (int k = kRegions.start[r]; k < kRegions.end[r]; ++k) {
      weighted += wp[k];
      mapTotal += M[k];
      rs += qs[k];
      if (k >= kLowBandFirst && k <= kLowBandLast) lowSum += qs[k];
    }
    regionSum[r] = rs;
    // In strong mode the low band starts at region 1 (bins 12..40).
    if (r == 1 && strongMode != 0) lowSum = regionSum[1];
  }
  const float highSum = regionSum[4] + regionSum[5];

  // High-band peak follower and the low-band level.
  if (highSum > state.highBandPeak)
    state.highBandPeak = highSum;
  else
    state.highBandPeak = kHighPeakKeep * state.highBandPeak + kHighPeakNew * highSum;
  float lowLevel = lowSum - tuning.highBandWeight * state.highBandPeak;
  if (!(lowLevel > 0.0f)) lowLevel = 0.0f;

  // Clear marks with too few marked neighbours. The counts run over the marks as they were
  // before cleaning, one add and one subtract per bin.
  for (const CleanZone& z : kCleanZones) {
    int32_t count = 0;
    for (int i = z.first - z.half; i <= z.first + z.half; ++i)
      count += marked[i];
    for (int k = z.first; k <= z.last; ++k) {
      M[k] = count < z.minCount ? 0.0f : M[k];
      count += marked[k + z.half + 1] - marked[k - z.half];
    }
  }

  // Frame flags from the map total before cleaning.
  state.speechDetected = mapTotal > kSpeechMapTotal;
  state.strongSpeech = mapTotal > kStrongMapTotal;
  if (state.strongSpeech) SaturatingIncrement(state.strongCount);

  // The weighted level is frozen while the far end talks alone.
  if (talkState != 2) state.weightedLevel = std::sqrt(weighted * kWeightedLevelScale);

  // Low-band level test.
  float threshold = tuning.speechLevelThreshold;
  if (talkState != 1) threshold *= 3.0f;
  state.levelOverThreshold = lowLevel > threshold;

  // Speech score.
  const bool counts = state.levelOverThreshold && (strongMode == 0 || state.speechDetected);
  if (counts) {
    if (state.speechScore < kScoreMax) ++state.speechScore;
  } else {
    if (state.speechScore > 0) --state.speechScore;
  }

  // Hold and flag.
  if (state.levelOverThreshold && state.speechScore >= kScoreToHold)
    state.speechHold = kSpeechHoldFrames;
  else if (state.speechHold > 0)
    --state.speechHold;
  state.speechFlag = state.speechHold != 0 && (strongMode == 0 || state.speechDetected);

  // A long stretch without a detected map drops flag, score and hold at once.
  if (state.speechDetected)
    state.silentFrames = 0;
  else
    SaturatingIncrement(state.silentFrames);
  if (state.silentFrames > kSilentLimit) {
    state.speechFlag = 0;
    state.speechScore = 0;
    state.speechHold = 0;
  }

  // Release counter of the post filter's ceiling.
  SaturatingIncrement(state.cycleCount);
  if (state.cycleCount > kCycleLimit) state.releaseCount = kReleaseArmed;
  if (state.levelOverThreshold) {
    state.releaseCount = kReleaseArmed;
    state.framesSinceLevel = 0;
    state.strongCount = 0;
  } else {
    if (state.releaseCount > 0) --state.releaseCount;
    SaturatingIncrement(state.framesSinceLevel);
    if (state.framesSinceLevel > kReleaseStrongLimit && state.strongCount > kReleaseStrongLimit)
      state.cycleCount = 0;
  }

  // With the ceiling release off the ceiling stays at 1.0.
  if (tuning.ceilingRelease == 0) state.releaseCount = kReleaseArmed;
}

}  // namespace orvo
