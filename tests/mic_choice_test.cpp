// Microphone choice: votes, holds and thresholds.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "audio_core/mic_choice.hpp"

namespace orvo {
namespace {

class MicChoiceTest : public ::testing::Test {
 protected:
  MicChoiceTest() : noise_(new NoisePsdState[kMaxMics]()) {
    MicChoice_Init(choice_);
    for (auto& s : spectra_)
      s.assign(kNumBins, Cpx{0.0f, 0.0f});
    for (int i = 0; i < kMaxMics; ++i)
      ptrs_[i] = spectra_[i].data();
  }

  // Puts amplitude a on the given choice groups (group g is bin 20 + 2g) of channel c.
  void SetGroups(int c, float a, int firstGroup = 0, int lastGroup = 19) {
    for (int g = firstGroup; g <= lastGroup; ++g)
      spectra_[c][20 + 2 * g] = {a, 0.0f};
  }

  int TwoMic(int duckerHold = 1) {
    return MicChoice_TwoMic(choice_, ptrs_, noise_.get(), 8, 25, 1e9f, duckerHold, counter_);
  }

  MicChoice choice_;
  std::vector<Cpx> spectra_[kMaxMics];
  const Cpx* ptrs_[kMaxMics];
  std::unique_ptr<NoisePsdState[]> noise_;
  int counter_ = 0;
};

TEST_F(MicChoiceTest, InitialValues) {
  EXPECT_FLOAT_EQ(choice_.attack, 0.24852270f);
  EXPECT_FLOAT_EQ(choice_.release, 0.75857759f);
  EXPECT_EQ(choice_.selection, 0);
  EXPECT_EQ(choice_.channelCount, 2);
}

TEST_F(MicChoiceTest, OneChannelReturnsZeroAndLeavesLevelsAlone) {
  choice_.channelCount = 1;
  choice_.selection = 3;
  SetGroups(0, 1000.0f);
  EXPECT_EQ(MicChoice_OneMic(choice_, ptrs_, noise_.get()), 0);
  choice_.selection = 1;
  EXPECT_EQ(TwoMic(), 0);
  EXPECT_EQ(choice_.selection, 0);
  EXPECT_EQ(choice_.smoothed[0][0], 0.0f);
}

TEST_F(MicChoiceTest, OneMicNeedsMoreThanTenVotes) {
  choice_.channelCount = 3;
  choice_.preference = 1.5f;
  // Channel 2 wins exactly 10 groups, channel 0 the other 10: nobody is chosen.
  SetGroups(2, 1000.0f, 0, 9);
  SetGroups(0, 1000.0f, 10, 19);
  EXPECT_EQ(MicChoice_OneMic(choice_, ptrs_, noise_.get()), 0);
  choice_.selection = 1;
  EXPECT_EQ(MicChoice_OneMic(choice_, ptrs_, noise_.get()), 1);  // stays
  // From fresh levels, eleven groups for channel 2 carry the vote.
  MicChoice_Init(choice_);
  choice_.channelCount = 3;
  choice_.preference = 1.5f;
  SetGroups(2, 1000.0f, 0, 10);
  SetGroups(0, 0.0f, 10, 10);
  EXPECT_EQ(MicChoice_OneMic(choice_, ptrs_, noise_.get()), 2);
}

TEST_F(MicChoiceTest, GroupLevelSubtractsNoiseAndWeightsSelection) {
  choice_.channelCount = 2;
  choice_.preference = 4.0f;
  SetGroups(0, 10.0f);  // power 100
  SetGroups(1, 10.0f);
  noise_[1].noise[20] = 1.0f;  // 100 - 32 = 68 in group 0 of channel 1
  MicChoice_OneMic(choice_, ptrs_, noise_.get());
  EXPECT_FLOAT_EQ(choice_.smoothed[0][0], 400.0f * choice_.attack);
  EXPECT_FLOAT_EQ(choice_.smoothed[0][1], 68.0f * choice_.attack);
  EXPECT_FLOAT_EQ(choice_.smoothed[1][1], 100.0f * choice_.attack);
  // A falling input decays by the release factor.
  SetGroups(0, 0.0f);
  const float before = choice_.smoothed[3][0];
  MicChoice_OneMic(choice_, ptrs_, noise_.get());
  EXPECT_FLOAT_EQ(choice_.smoothed[3][0], before * choice_.release);
}

TEST_F(MicChoiceTest, TwoMicHolds) {
  choice_.preference = 4.0f;
  SetGroups(1, 1000.0f);  // S1 = 20 groups * 1e6, S0 = 0
  // Default exit time: the 25th disagreeing frame switches to channel 1.
  for (int f = 1; f < 25; ++f)
    ASSERT_EQ(TwoMic(), 0) << f;
  EXPECT_EQ(counter_, 24);
  EXPECT_EQ(TwoMic(), 1);
  EXPECT_EQ(counter_, 0);
  // Back to channel 0 takes the enter time, 8 frames.
  SetGroups(1, 0.0f);
  SetGroups(0, 1000.0f);
  for (int f = 1; f < 8; ++f)
    ASSERT_EQ(TwoMic(), 1) << f;
  EXPECT_EQ(TwoMic(), 0);
}

TEST_F(MicChoiceTest, TwoMicHoldWithDuckerHoldZeroAndAgreementReset) {
  choice_.preference = 4.0f;
  SetGroups(1, 1000.0f);
  for (int f = 1; f < 6; ++f)
    ASSERT_EQ(TwoMic(0), 0);
  // One agreeing frame (both silent keeps the selection) resets the count.
  SetGroups(1, 0.0f);
  EXPECT_EQ(TwoMic(0), 0);
  EXPECT_EQ(counter_, 0);
  SetGroups(1, 1000.0f);
  for (int f = 1; f < 10; ++f)
    ASSERT_EQ(TwoMic(0), 0) << f;
  EXPECT_EQ(TwoMic(0), 1);
}

TEST_F(MicChoiceTest, TwoMicCandidateRules) {
  choice_.preference = 4.0f;
  // Channel 0 above the ducker threshold is the candidate, even with channel 1 loud.
  SetGroups(0, 4000.0f);  // 20 * 1.6e7 * 4 (preference) > 1e9
  SetGroups(1, 20000.0f);
  for (int f = 0; f < 40; ++f)
    ASSERT_EQ(TwoMic(), 0);
  // Channel 1 needs more than 100000 summed.
  SetGroups(0, 0.0f);
  SetGroups(1, 0.0f);
  spectra_[1][20] = {316.0f, 0.0f};  // 99856
  for (int f = 0; f < 40; ++f)
    ASSERT_EQ(TwoMic(), 0);
  spectra_[1][20] = {317.0f, 0.0f};  // 100489
  int f = 1;
  while (TwoMic() == 0)
    ++f;
  EXPECT_EQ(f, 25);
}

}  // namespace
}  // namespace orvo
