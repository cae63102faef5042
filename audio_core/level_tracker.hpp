// Two-stage windowed-minimum floor tracker. Used for the far-end level, each microphone's level
// and by the echo coupling estimator. The base stage follows every input; the gated stage only
// inputs below ten times the base floor. The tracker's output is `gatedLevel`.
#pragma once

namespace orvo {

struct LevelTracker {
  float gatedReset;
  float gatedSubstitute;
  int gatedWindow;
  float gatedMin;
  float gatedCandidate;
  int gatedCount;
  float gatedSmooth;
  float gatedLevel;
  float baseReset;
  float gateFloor;
  int baseWindow;
  float baseMin;
  float baseCandidate;
  int baseCount;
  float baseSmooth;
  float baseLevel;
  int activityHold;
};

// Start values with the same level everywhere a level or minimum is kept.
//   level: value of the resets, minima, candidates and smoothed levels
//   floor: gatedSubstitute and gateFloor
LevelTracker MakeLevelTracker(float level, float floor, int gatedWindow, int baseWindow,
                              float smooth);

// Far-end tracker start values, normal and live-music.
LevelTracker FarEndTrackerStart(bool liveMusic);

// Microphone slot start values (creation).
LevelTracker MicTrackerStart();

// One update with frame energy x.
void LevelTracker_Update(LevelTracker& t, float x);

// One update with frame energy x; true when x stands above `factor` times the updated floor.
bool LevelTracker_UpdateAbove(LevelTracker& t, float x, float factor);

// Frames of activity still held after the last frame above the activity factor.
constexpr int kActivityHoldFrames = 10;
constexpr float kActivityFactor = 10.0f;

// A microphone's activity hold: one update with the frame energy x; a frame above ten times the
// floor holds activity for 10 frames, every other frame counts the hold down to 0. Returns the
// hold; the noise estimate follows only while it is 0.
int LevelTracker_UpdateActivityHold(LevelTracker& t, float x);

}  // namespace orvo
