#include "audio_core/echo_coupling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace orvo {
namespace {

constexpr float kFull = 2061458472960.0f;  // full-scale block power
constexpr float kFloor = 2.0614583f;

class EchoCouplingTest : public ::testing::Test {
 protected:
  EchoCouplingTest() { EchoCoupling_Init(ec); }
  void Update() { EchoCoupling_Update(far, echo, count, list, mic, residual, ec); }
  // This frame's filter outputs for microphone m, the same in every group.
  void SetMic(int m, float micPower, float residualPower, float echoPower) {
    for (int g = 0; g < kNumGroups; ++g) {
      mic[m][g] = micPower;
      residual[m][g] = residualPower;
      echo[m][g] = echoPower;
    }
  }
  // Brings every group tracker's floor down to `level` with a steady far-end power.
  void SettleFloor(float level) {
    std::fill_n(far, kNumGroups, level);
    for (int frame = 0; frame < 200; ++frame)
      Update();
  }
  EchoCoupling ec;
  float far[kNumGroups] = {};
  float echo[kMaxMics][kNumGroups] = {}, mic[kMaxMics][kNumGroups] = {};
  float residual[kMaxMics][kNumGroups] = {};
  int32_t list[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  int count = 1;
};

TEST_F(EchoCouplingTest, InitValues) {
  const LevelTracker start{kFull,  kFloor, 50,    kFull, kFull, 0,     0.25f, kFull, kFull,
                           kFloor, 100,    kFull, kFull, 0,     0.25f, kFull, 0};
  for (int g = 0; g < kNumGroups; ++g) {
    EXPECT_EQ(0, std::memcmp(&ec.trackers[g], &start, sizeof start)) << g;
    EXPECT_EQ(ec.smoothedFarPower[g], 0.0f);
    for (int m = 0; m < kMaxMics; ++m)
      EXPECT_TRUE(ec.coupling[m][g] == 16.0f && ec.smoothedEchoPower[m][g] == 0.0f) << m << g;
  }
  EXPECT_EQ(ec.releaseFactor, 0.1175030991435051f);  // 1 - e^(-0.125) in double
  EXPECT_EQ(ec.lowestRatio, 0.005f);
}

TEST_F(EchoCouplingTest, SmoothedPowersJumpUpAndReleaseDownWithGroupWeights) {
  std::fill_n(far, kNumGroups, 1000.0f);
  SetMic(0, 0.0f, 0.0f, 100.0f);
  Update();
  std::fill_n(far, kNumGroups, 0.0f);
  SetMic(0, 0.0f, 0.0f, 0.0f);
  Update();
  const float a = ec.releaseFactor;
  for (int g = 0; g < kNumGroups; ++g) {
    const float w = g < 4 ? 1.0f : 1.5f;  // groups 4 and 5 weigh the echo by 1.5
    EXPECT_EQ(ec.smoothedFarPower[g], 1000.0f + a * (0.0f - 1000.0f));
    EXPECT_EQ(ec.smoothedEchoPower[0][g], w * 100.0f + a * (0.0f - w * 100.0f)) << g;
  }
}

TEST_F(EchoCouplingTest, NoLearningUnlessFarEndTenTimesAboveItsFloor) {
  SetMic(0, 1e9f, 1.0f, 1e9f);
  // The trackers start at full scale: a steady far end never stands ten times above its floor.
  SettleFloor(1e6f);
  for (int g = 0; g < kNumGroups; ++g)
    EXPECT_EQ(ec.coupling[0][g], 16.0f) << g;
  EXPECT_NEAR(ec.trackers[0].gatedLevel, 1e6f, 1.0f);
  // Just under ten times the floor is not enough either; above it, the ratio learns.
  far[0] = 9.9f * ec.trackers[0].gatedLevel;
  far[1] = 20.0f * ec.trackers[1].gatedLevel;
  Update();
  EXPECT_EQ(ec.coupling[0][0], 16.0f);
  EXPECT_NE(ec.coupling[0][1], 16.0f);
}

TEST_F(EchoCouplingTest, LearnsEchoOverFarWithinLimitsWhereTheFilterRemovesOver7Point8Db) {
  SettleFloor(1000.0f);
  std::fill_n(far, kNumGroups, 1e8f);  // far end clearly active
  count = 6;
  std::copy_n(std::begin({2, 0, 1, 3, 4, 5}), count, list);
  SetMic(0, 1e30f, 1.0f, 1e30f);  // huge echo
  SetMic(1, 1e7f, 1e5f, 2e6f);
  SetMic(2, 7.0f, 1.0f, 0.0f);   // no echo
  SetMic(3, 6.0f, 1.0f, 0.0f);   // exactly 6 x residual: not cancelling enough
  SetMic(4, 6.01f, 1.0f, 0.0f);  // just above, but for group 2
  mic[4][2] = 5.0f;
  SetMic(7, 1e9f, 1.0f, 1e9f);  // not listed
  Update();
  // r = 2e6 / 1e8 = 0.02 (groups 0..3), 3e6 / 1e8 = 0.03 (groups 4, 5).
  EXPECT_FLOAT_EQ(ec.coupling[1][0], 16.0f + 0.2f * (0.02f - 16.0f));
  EXPECT_FLOAT_EQ(ec.coupling[1][5], 16.0f + 0.2f * (0.03f - 16.0f));
  for (int g = 0; g < kNumGroups; ++g) {
    EXPECT_EQ(ec.coupling[3][g], 16.0f) << g;
    EXPECT_EQ(ec.coupling[5][g], 16.0f) << g;  // silent microphone
    EXPECT_EQ(ec.coupling[4][g], g == 2 ? 16.0f : 16.0f + 0.2f * (0.005f - 16.0f)) << g;
  }
  EXPECT_TRUE(ec.coupling[7][0] == 16.0f && ec.smoothedEchoPower[7][0] == 0.0f);
  // 20 % of the way to a limit per frame, never past it. (A steady far end stays "clearly
  // active" for about 230 frames, until its floor rises.)
  for (int frame = 0; frame < 100; ++frame) {
    const float low = ec.coupling[2][0], high = ec.coupling[0][4];
    Update();
    ASSERT_EQ(ec.coupling[2][0], low + 0.2f * (0.005f - low)) << frame;
    ASSERT_EQ(ec.coupling[0][4], high + 0.2f * (32.0f - high)) << frame;
    ASSERT_TRUE(ec.coupling[2][0] >= 0.005f && ec.coupling[0][4] <= 32.0f) << frame;
  }
  EXPECT_NEAR(ec.coupling[2][5], 0.005f, 1e-6f);
  EXPECT_NEAR(ec.coupling[0][4], 32.0f, 1e-5f);
  EchoCoupling_SetLiveMusic(ec, true);  // live music: learnt ratios stop at 0.05
  const float low = ec.coupling[2][3];
  Update();
  EXPECT_EQ(ec.coupling[2][3], low + 0.2f * (0.05f - low));
  EchoCoupling_SetLiveMusic(ec, false);  // and at 0.005 again without it
  const float lower = ec.coupling[2][3];
  Update();
  EXPECT_EQ(ec.coupling[2][3], lower + 0.2f * (0.005f - lower));
}

TEST(EchoCouplingLimits, RatiosAreKeptAroundGroupOneOnTheListedChannels) {
  EchoCoupling c{};
  // Above 8 x group 1 comes down to it; group 0 below group 1 rises to it; groups 2..5 below an
  // eighth of group 1 rise to that; everything ends at least 0.1.
  const float row[6] = {0.5f, 1.0f, 9.0f, 0.1f, 0.05f, 4.0f};
  const float want[6] = {1.0f, 1.0f, 8.0f, 0.125f, 0.125f, 4.0f};
  // Exactly on the limits nothing moves; group 0 may sit anywhere up to 8 x group 1.
  const float edge[6] = {8.0f, 1.0f, 8.0f, 0.125f, 0.125f, 8.0f};
  for (int g = 0; g < 6; ++g) {
    c.coupling[0][g] = row[g];
    c.coupling[1][g] = 0.01f;
    c.coupling[2][g] = edge[g];
  }
  c.coupling[3][0] = 99.0f;  // beyond the channel count: untouched
  EchoCoupling_LimitRatios(c, 3);
  for (int g = 0; g < 6; ++g) {
    EXPECT_EQ(c.coupling[0][g], want[g]) << g;
    EXPECT_EQ(c.coupling[1][g], 0.1f) << g;
    EXPECT_EQ(c.coupling[2][g], edge[g]) << g;
  }
  EXPECT_EQ(c.coupling[3][0], 99.0f);
  // Group 1 itself is only held at 0.1; a group above 8 x group 1 but group 0 below group 1.
  for (int g = 0; g < 6; ++g)
    c.coupling[0][g] = g == 1 ? 2.0f : 0.2f;
  c.coupling[0][0] = 17.0f;
  EchoCoupling_LimitRatios(c, 1);
  const float second[6] = {16.0f, 2.0f, 0.25f, 0.25f, 0.25f, 0.25f};
  for (int g = 0; g < 6; ++g)
    EXPECT_EQ(c.coupling[0][g], second[g]) << g;
}

TEST(EchoCouplingPreset, HundredAndHundredOneForceOneMicrophonesRatios) {
  for (const float preset : {100.0f, 101.0f, 0.0f, 99.0f, 100.5f, 102.0f}) {
    EchoCoupling c;
    EchoCoupling_Init(c);
    c.coupling[1][3] = 7.0f;
    EchoCoupling_ApplyPreset(c, 1, preset);
    for (int g = 0; g < kNumGroups; ++g) {
      const float kept = g == 3 ? 7.0f : 16.0f;
      const float want = preset == 100.0f ? 2.0f : preset == 101.0f ? 0.5f : kept;
      EXPECT_EQ(c.coupling[1][g], want) << preset << " group " << g;
      EXPECT_EQ(c.coupling[0][g], 16.0f);  // other microphones keep theirs
      EXPECT_EQ(c.coupling[2][g], 16.0f);
    }
  }
}

}  // namespace
}  // namespace orvo
