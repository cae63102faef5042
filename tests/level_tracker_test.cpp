#include "audio_core/level_tracker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace orvo {
namespace {

bool Same(const LevelTracker& a, const LevelTracker& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(LevelTracker, StartValues) {
  constexpr float B = 1999999991808.0f;  // 2e12 as a float
  EXPECT_TRUE(Same(MicTrackerStart(),
                   {B, 1000.0f, 50, B, B, 0, 0.25f, B, B, 1000.0f, 100, B, B, 0, 0.25f, B, 0}));
  for (const float f : {9.6e7f, 9.6e6f})  // far end, normal and live music
    EXPECT_TRUE(Same(FarEndTrackerStart(f == 9.6e6f),
                     {f, 96000.0f, 50, f, f, 0, 0.25f, f, f, 96000.0f, 100, f, f, 0, 0.25f, f, 0}));
}

TEST(LevelTracker, BaseMinimumRenewsAndSmoothsAndFeedsTheGatedStage) {
  LevelTracker t = MakeLevelTracker(1000.0f, 1.0f, 4, 4, 0.25f);
  LevelTracker_Update(t, 200.0f);
  EXPECT_TRUE(t.baseMin == 200.0f && t.baseCount == 0);
  EXPECT_FLOAT_EQ(t.baseLevel, 1000.0f + (200.0f - 1000.0f) * 0.25f);
  EXPECT_EQ(t.gatedMin, 200.0f);  // 10 * baseLevel (8000) > 200
  t = MakeLevelTracker(100.0f, 50.0f, 4, 4, 0.25f);
  LevelTracker_Update(t, 5000.0f);  // above 10 * baseLevel: gated stage untouched
  EXPECT_TRUE(t.gatedCount == 0 && t.gatedMin == 100.0f);
  LevelTracker_Update(t, 10.0f);  // below gateFloor: the gated stage sees 50
  EXPECT_TRUE(t.gatedMin == 50.0f && t.baseMin == 10.0f);
}

TEST(LevelTracker, CandidateReplacesMinimumAfterOneAndAHalfWindows) {
  // Window 4: the candidate collects from count 3 on, replaces the minimum when count passes 6.
  LevelTracker t = MakeLevelTracker(1e6f, 1.0f, 4, 4, 0.25f);
  for (float x : {100.0f, 500.0f, 400.0f, 300.0f, 350.0f, 360.0f, 370.0f})
    LevelTracker_Update(t, x);
  EXPECT_TRUE(t.baseCount == 6 && t.baseMin == 100.0f && t.baseCandidate == 300.0f);
  LevelTracker_Update(t, 380.0f);  // count 7 > 6: the minimum becomes the candidate
  EXPECT_TRUE(t.baseMin == 300.0f && t.baseCandidate == 1e6f && t.baseCount == 2);
}

TEST(LevelTracker, UpdateAboveComparesWithTheUpdatedFloor) {
  // Floor 1: inputs from 1 up leave it there (the gated stage sees only inputs below 10).
  LevelTracker t = MakeLevelTracker(1.0f, 1.0f, 50, 100, 0.25f);
  EXPECT_FALSE(LevelTracker_UpdateAbove(t, 20.0f, 20.0f));  // exactly 20 x is not above
  EXPECT_TRUE(LevelTracker_UpdateAbove(t, 20.5f, 20.0f));
  EXPECT_EQ(t.gatedLevel, 1.0f);
  // Floor 1000 and an input of 100: the floor falls to 775 first, so 100 > 0.12 x 775 although
  // it is not above 0.12 x 1000.
  t = MakeLevelTracker(1000.0f, 1.0f, 50, 100, 0.25f);
  EXPECT_TRUE(LevelTracker_UpdateAbove(t, 100.0f, 0.12f));
  EXPECT_EQ(t.gatedLevel, 775.0f);
}

TEST(LevelTracker, ActivityHoldsTenFramesAfterAFrameAboveTenTimesTheFloor) {
  LevelTracker t = MakeLevelTracker(1.0f, 1.0f, 50, 100, 0.25f);  // floor stays 1
  EXPECT_EQ(LevelTracker_UpdateActivityHold(t, 10.0f), 0);        // exactly 10 x: not above
  EXPECT_EQ(LevelTracker_UpdateActivityHold(t, 10.5f), 10);
  for (int frame = 1; frame <= 12; ++frame)
    ASSERT_EQ(LevelTracker_UpdateActivityHold(t, 2.0f), std::max(10 - frame, 0)) << frame;
  EXPECT_EQ(t.activityHold, 0);
  // A new active frame re-arms the full hold, also in the middle of a count-down.
  EXPECT_EQ(LevelTracker_UpdateActivityHold(t, 50.0f), 10);
  EXPECT_EQ(LevelTracker_UpdateActivityHold(t, 2.0f), 9);
  EXPECT_EQ(LevelTracker_UpdateActivityHold(t, 50.0f), 10);
  EXPECT_EQ(t.activityHold, 10);
}

}  // namespace
}  // namespace orvo
