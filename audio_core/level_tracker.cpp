#include "audio_core/level_tracker.hpp"

namespace orvo {

namespace {

// One windowed-minimum stage: the minimum is renewed by any lower input; after half a window a
// candidate starts collecting the minimum of the newer inputs and replaces the minimum once
// one and a half windows have passed without renewal.
inline void MinStage(float x, float reset, int window, float& min, float& candidate, int& count,
                     float smooth, float& level) {
  if (min > x) {
    min = x;
    count = 0;
    candidate = reset;
  } else {
    ++count;
  }
  if (count > window / 2 && candidate > x) candidate = x;
  if (count > (3 * window) / 2) {
    min = candidate;
    candidate = reset;
    count = window / 2;
  }
  level += (min - level) * smooth;
}

}  // namespace

LevelTracker MakeLevelTracker(float level, float floor, int gatedWindow, int baseWindow,
                              float smooth) {
  LevelTracker t{};
  t.gatedReset = level;
  t.gatedSubstitute = floor;
  t.gatedWindow = gatedWindow;
  t.gatedMin = level;
  t.gatedCandidate = level;
  t.gatedCount = 0;
  t.gatedSmooth = smooth;
  t.gatedLevel = level;
  t.baseReset = level;
  t.gateFloor = floor;
  t.baseWindow = baseWindow;
  t.baseMin = level;
  t.baseCandidate = level;
  t.baseCount = 0;
  t.baseSmooth = smooth;
  t.baseLevel = level;
  t.activityHold = 0;
  return t;
}

LevelTracker FarEndTrackerStart(bool liveMusic) {
  return MakeLevelTracker(liveMusic ? 9.6e6f : 9.6e7f, 96000.0f, 50, 100, 0.25f);
}

LevelTracker MicTrackerStart() {
  constexpr float B = 2e12f;  // 1999999991808.0 as a float
  LevelTracker t = MakeLevelTracker(B, 1000.0f, 50, 100, 0.25f);
  return t;
}

void LevelTracker_Update(LevelTracker& t, float x) {
  MinStage(x, t.baseReset, t.baseWindow, t.baseMin, t.baseCandidate, t.baseCount, t.baseSmooth,
           t.baseLevel);
  if (10.0f * t.baseLevel > x) {
    const float y = (t.gateFloor > x) ? t.gatedSubstitute : x;
    MinStage(y, t.gatedReset, t.gatedWindow, t.gatedMin, t.gatedCandidate, t.gatedCount,
             t.gatedSmooth, t.gatedLevel);
  }
}

bool LevelTracker_UpdateAbove(LevelTracker& t, float x, float factor) {
  LevelTracker_Update(t, x);
  return x > factor * t.gatedLevel;
}

int LevelTracker_UpdateActivityHold(LevelTracker& t, float x) {
  if (LevelTracker_UpdateAbove(t, x, kActivityFactor)) {
    t.activityHold = kActivityHoldFrames;
  } else if (t.activityHold > 0) {
    --t.activityHold;
  }
  return t.activityHold;
}

}  // namespace orvo
