#include "audio_core/level_tracker.hpp"

#include <gtest/gtest.h>

namespace orvo {
namespace {

TEST(LevelTracker, MicrophoneStartValues) {
  const LevelTracker t = MicTrackerStart();
  EXPECT_EQ(t.gatedReset, 1999999991808.0f);
  EXPECT_EQ(t.gatedSubstitute, 1000.0f);
  EXPECT_EQ(t.gatedWindow, 50);
  EXPECT_EQ(t.baseWindow, 100);
  EXPECT_EQ(t.gateFloor, 1000.0f);
  EXPECT_EQ(t.baseLevel, 1999999991808.0f);
  EXPECT_EQ(t.activityHold, 0);
}

TEST(LevelTracker, FarEndStartValuesNormalAndLiveMusic) {
  EXPECT_EQ(FarEndTrackerStart(false).gatedLevel, 9.6e7f);
  EXPECT_EQ(FarEndTrackerStart(true).gatedLevel, 9.6e6f);
  EXPECT_EQ(FarEndTrackerStart(true).gateFloor, 96000.0f);
}

TEST(LevelTracker, BaseMinimumRenewsAndSmooths) {
  LevelTracker t = MakeLevelTracker(1000.0f, 1.0f, 4, 4, 0.25f);
  LevelTracker_Update(t, 200.0f);
  EXPECT_EQ(t.baseMin, 200.0f);
  EXPECT_EQ(t.baseCount, 0);
  EXPECT_FLOAT_EQ(t.baseLevel, 1000.0f + (200.0f - 1000.0f) * 0.25f);
  // 10 * baseLevel (8000) > 200, so the gated stage ran with the same input.
  EXPECT_EQ(t.gatedMin, 200.0f);
}

TEST(LevelTracker, CandidateReplacesMinimumAfterOneAndAHalfWindows) {
  // Window 4: the candidate collects from count 3 on, replaces the minimum when count passes 6.
  LevelTracker t = MakeLevelTracker(1e6f, 1.0f, 4, 4, 0.25f);
  LevelTracker_Update(t, 100.0f);  // new minimum, count 0
  const float later[] = {500.0f, 400.0f, 300.0f, 350.0f, 360.0f, 370.0f};
  for (float x : later)
    LevelTracker_Update(t, x);
  // counts 1..6; at count 3 candidate=300 (first input after half a window), stays 300
  EXPECT_EQ(t.baseCount, 6);
  EXPECT_EQ(t.baseMin, 100.0f);
  EXPECT_EQ(t.baseCandidate, 300.0f);
  LevelTracker_Update(t, 380.0f);  // count 7 > 6: minimum becomes the candidate
  EXPECT_EQ(t.baseMin, 300.0f);
  EXPECT_EQ(t.baseCandidate, 1e6f);
  EXPECT_EQ(t.baseCount, 2);
}

TEST(LevelTracker, GatedStageSkipsLoudInputsAndSubstitutesQuietOnes) {
  LevelTracker t = MakeLevelTracker(100.0f, 50.0f, 4, 4, 0.25f);
  LevelTracker_Update(t, 5000.0f);  // above 10 * baseLevel: gated stage untouched
  EXPECT_EQ(t.gatedCount, 0);
  EXPECT_EQ(t.gatedMin, 100.0f);
  LevelTracker_Update(t, 10.0f);  // below gateFloor: gated stage sees 50
  EXPECT_EQ(t.gatedMin, 50.0f);
  EXPECT_EQ(t.baseMin, 10.0f);
}

}  // namespace
}  // namespace orvo
