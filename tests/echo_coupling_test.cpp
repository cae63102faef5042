#include "audio_core/echo_coupling.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace orvo {
namespace {

// This frame's outputs of the adaptive filter, as the estimator takes them.
struct FilterOutputs {
  float far[kNumGroups] = {};
  float echo[kMaxMics][kNumGroups] = {};
  float mic[kMaxMics][kNumGroups] = {};
  float residual[kMaxMics][kNumGroups] = {};
  int32_t list[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  int count = 1;
};

class EchoCouplingTest : public ::testing::Test {
 protected:
  EchoCouplingTest() { EchoCoupling_Init(ec); }
  void Update() {
    EchoCoupling_Update(in.far, in.echo, in.count, in.list, in.mic, in.residual, ec);
  }
  // Brings every group tracker's floor down to `level` with a steady far-end power.
  void SettleFloor(float level) {
    for (float& f : in.far)
      f = level;
    for (int frame = 0; frame < 200; ++frame)
      Update();
  }
  EchoCoupling ec;
  FilterOutputs in;
};

TEST_F(EchoCouplingTest, InitValues) {
  for (int g = 0; g < kNumGroups; ++g) {
    const LevelTracker& t = ec.trackers[g];
    EXPECT_EQ(ec.smoothedFarPower[g], 0.0f);
    for (float v : {t.gatedReset, t.gatedMin, t.gatedCandidate, t.gatedLevel, t.baseReset,
                    t.baseMin, t.baseCandidate, t.baseLevel})
      EXPECT_EQ(v, 2061458472960.0f);
    EXPECT_EQ(t.gatedSubstitute, 2.0614583f);
    EXPECT_EQ(t.gateFloor, 2.0614583f);
    EXPECT_EQ(t.gatedWindow, 50);
    EXPECT_EQ(t.baseWindow, 100);
    EXPECT_EQ(t.gatedSmooth, 0.25f);
    EXPECT_EQ(t.baseSmooth, 0.25f);
    EXPECT_EQ(t.gatedCount, 0);
    EXPECT_EQ(t.baseCount, 0);
    EXPECT_EQ(t.activityHold, 0);
  }
  for (int m = 0; m < kMaxMics; ++m) {
    for (int g = 0; g < kNumGroups; ++g) {
      EXPECT_EQ(ec.coupling[m][g], 16.0f);
      EXPECT_EQ(ec.smoothedEchoPower[m][g], 0.0f);
    }
  }
  EXPECT_EQ(ec.releaseFactor, 0.1175030991435051f);  // 1 - e^(-0.125) in double
  EXPECT_EQ(ec.lowestRatio, 0.005f);
}

TEST_F(EchoCouplingTest, GroupPowerBelowFloorReachesGatedStageAsSubstitute) {
  in.far[3] = 0.0f;
  in.far[4] = 1.0f;
  Update();
  EXPECT_EQ(ec.trackers[3].baseMin, 0.0f);
  EXPECT_EQ(ec.trackers[3].gatedMin, 2.0614583f);
  EXPECT_EQ(ec.trackers[4].gatedMin, 2.0614583f);
}

TEST_F(EchoCouplingTest, SmoothedPowersJumpUpAndReleaseDownWithGroupWeights) {
  in.count = 2;
  for (int g = 0; g < kNumGroups; ++g) {
    in.far[g] = 1000.0f;
    in.echo[0][g] = 100.0f;
    in.echo[1][g] = 100.0f;
    in.echo[5][g] = 100.0f;  // not listed
  }
  Update();
  const float a = ec.releaseFactor;
  for (int g = 0; g < kNumGroups; ++g) {
    EXPECT_EQ(ec.smoothedFarPower[g], 1000.0f);
    const float w = g < 4 ? 1.0f : 1.5f;  // groups 4 and 5 weigh the echo by 1.5
    EXPECT_EQ(ec.smoothedEchoPower[0][g], w * 100.0f) << g;
    EXPECT_EQ(ec.smoothedEchoPower[1][g], w * 100.0f) << g;
    EXPECT_EQ(ec.smoothedEchoPower[5][g], 0.0f) << g;
  }
  for (int g = 0; g < kNumGroups; ++g) {
    in.far[g] = 0.0f;
    in.echo[0][g] = 0.0f;
  }
  Update();
  for (int g = 0; g < kNumGroups; ++g) {
    const float w = g < 4 ? 1.0f : 1.5f;
    EXPECT_EQ(ec.smoothedFarPower[g], 1000.0f + a * (0.0f - 1000.0f));
    EXPECT_EQ(ec.smoothedEchoPower[0][g], w * 100.0f + a * (0.0f - w * 100.0f));
  }
}

TEST_F(EchoCouplingTest, NoLearningUnlessFarEndTenTimesAboveItsFloor) {
  in.count = 1;
  for (int g = 0; g < kNumGroups; ++g) {
    in.mic[0][g] = 1e9f;
    in.residual[0][g] = 1.0f;
    in.echo[0][g] = 1e9f;
  }
  // The trackers start at full scale: a steady far end never stands ten times above its floor.
  SettleFloor(1e6f);
  for (int g = 0; g < kNumGroups; ++g)
    EXPECT_EQ(ec.coupling[0][g], 16.0f) << g;
  EXPECT_NEAR(ec.trackers[0].gatedLevel, 1e6f, 1.0f);
  // Just under ten times the floor is not enough either; above it, the ratio learns.
  in.far[0] = 9.9f * ec.trackers[0].gatedLevel;
  in.far[1] = 20.0f * ec.trackers[1].gatedLevel;
  Update();
  EXPECT_EQ(ec.coupling[0][0], 16.0f);
  EXPECT_NE(ec.coupling[0][1], 16.0f);
}

class EchoCouplingLearningTest : public EchoCouplingTest {
 protected:
  void SetUp() override {
    SettleFloor(1000.0f);
    for (float& f : in.far)
      f = 1e8f;  // far end clearly active
    in.count = 3;
    in.list[0] = 2;
    in.list[1] = 0;
    in.list[2] = 1;
  }
};

TEST_F(EchoCouplingLearningTest, ZeroEchoMovesRatioToLowestNeverBelow) {
  for (int g = 0; g < kNumGroups; ++g) {
    in.mic[2][g] = 7.0f;
    in.residual[2][g] = 1.0f;
  }
  // (A steady far end stays "clearly active" for about 230 frames, until its floor rises.)
  for (int frame = 0; frame < 100; ++frame) {
    const float before = ec.coupling[2][0];
    Update();
    const float after = ec.coupling[2][0];
    ASSERT_GE(after, 0.005f) << frame;
    ASSERT_EQ(after, before + 0.2f * (0.005f - before)) << frame;
  }
  EXPECT_NEAR(ec.coupling[2][5], 0.005f, 1e-6f);
  // The live-music lower limit is honoured the same way.
  ec.lowestRatio = 0.05f;
  for (int frame = 0; frame < 60; ++frame) {
    Update();
    ASSERT_LE(ec.coupling[2][3], 0.05f);
  }
  EXPECT_NEAR(ec.coupling[2][3], 0.05f, 1e-6f);
}

TEST_F(EchoCouplingLearningTest, HugeEchoMovesRatioToThirtyTwoNeverAbove) {
  for (int g = 0; g < kNumGroups; ++g) {
    in.mic[0][g] = 1e30f;
    in.residual[0][g] = 1.0f;
    in.echo[0][g] = 1e30f;
  }
  for (int frame = 0; frame < 100; ++frame) {
    const float before = ec.coupling[0][4];
    Update();
    ASSERT_LE(ec.coupling[0][4], 32.0f);
    ASSERT_EQ(ec.coupling[0][4], before + 0.2f * (32.0f - before));
  }
  EXPECT_NEAR(ec.coupling[0][4], 32.0f, 1e-5f);
}

TEST_F(EchoCouplingLearningTest, RatioIsSmoothedEchoOverSmoothedFar) {
  for (int g = 0; g < kNumGroups; ++g) {
    in.mic[1][g] = 1e7f;
    in.residual[1][g] = 1e5f;
    in.echo[1][g] = 2e6f;
  }
  Update();
  // r = 2e6 / 1e8 = 0.02 (groups 0..3), 3e6 / 1e8 = 0.03 (groups 4, 5).
  EXPECT_FLOAT_EQ(ec.coupling[1][0], 16.0f + 0.2f * (0.02f - 16.0f));
  EXPECT_FLOAT_EQ(ec.coupling[1][5], 16.0f + 0.2f * (0.03f - 16.0f));
}

TEST_F(EchoCouplingLearningTest, LearnsOnlyWhereTheFilterRemovesMoreThan7Point8Db) {
  for (int g = 0; g < kNumGroups; ++g) {
    in.echo[0][g] = in.echo[1][g] = in.echo[2][g] = 0.0f;
    in.mic[0][g] = 6.0f;  // exactly 6 x residual: not cancelling enough
    in.residual[0][g] = 1.0f;
    in.mic[1][g] = 6.01f;  // just above
    in.residual[1][g] = 1.0f;
    in.mic[2][g] = 0.0f;  // silent microphone
    in.residual[2][g] = 0.0f;
  }
  in.mic[1][2] = 5.0f;  // one group of microphone 1 not cancelling
  Update();
  for (int g = 0; g < kNumGroups; ++g) {
    EXPECT_EQ(ec.coupling[0][g], 16.0f) << g;
    EXPECT_EQ(ec.coupling[2][g], 16.0f) << g;
    EXPECT_EQ(ec.coupling[1][g], g == 2 ? 16.0f : 16.0f + 0.2f * (0.005f - 16.0f)) << g;
  }
}

TEST_F(EchoCouplingLearningTest, MicrophonesOutsideTheListKeepTheirValues) {
  for (int g = 0; g < kNumGroups; ++g) {
    in.mic[7][g] = 1e9f;
    in.residual[7][g] = 1.0f;
    in.echo[7][g] = 1e9f;
  }
  EchoCoupling before = ec;
  Update();
  EXPECT_EQ(0, std::memcmp(ec.coupling[7], before.coupling[7], sizeof ec.coupling[7]));
  EXPECT_EQ(0, std::memcmp(ec.smoothedEchoPower[7], before.smoothedEchoPower[7],
                           sizeof ec.smoothedEchoPower[7]));
}

}  // namespace
}  // namespace orvo
