// Microphone choice: votes, holds and thresholds.
#include <gtest/gtest.h>

#include <memory>

#include "audio_core/mic_choice.hpp"

namespace orvo {
namespace {

class MicChoiceTest : public ::testing::Test {
 protected:
  MicChoiceTest() {
    MicChoice_Init(choice);
    for (int i = 0; i < kMaxMics; ++i)
      ptrs[i] = spectra[i];
  }
  // Puts amplitude a on choice groups first..last (group g is bin 20 + 2g) of channel c.
  void Set(int c, float a, int first = 0, int last = 19) {
    for (int g = first; g <= last; ++g)
      spectra[c][20 + 2 * g] = {a, 0.0f};
  }
  void SetBoth(float a0, float a1) {
    Set(0, a0);
    Set(1, a1);
  }
  int OneMic() { return MicChoice_OneMic(choice, ptrs, noise.get()); }
  int TwoMic(int duckerHold = 1) {
    return MicChoice_TwoMic(choice, ptrs, noise.get(), 8, 25, 1e9f, duckerHold, counter);
  }
  // Two-microphone calls until the selection changes (at most 100); returns how many it took.
  int FramesToSwitch(int duckerHold = 1) {
    const int from = choice.selection;
    int frames = 1;
    while (TwoMic(duckerHold) == from && frames < 100)
      ++frames;
    return frames;
  }

  MicChoice choice;
  Cpx spectra[kMaxMics][kNumBins] = {};
  const Cpx* ptrs[kMaxMics];
  std::unique_ptr<NoisePsdState[]> noise = std::make_unique<NoisePsdState[]>(kMaxMics);
  int counter = 0;
};

TEST_F(MicChoiceTest, StartValuesAndOneChannelReturningZero) {
  EXPECT_FLOAT_EQ(choice.attack, 0.24852270f);
  EXPECT_FLOAT_EQ(choice.release, 0.75857759f);
  EXPECT_TRUE(choice.selection == 0 && choice.channelCount == 2);
  // One channel: both forms return 0 at once and leave the levels alone.
  choice.channelCount = 1;
  choice.selection = 3;
  Set(0, 1000.0f);
  EXPECT_EQ(OneMic(), 0);
  choice.selection = 1;
  EXPECT_EQ(TwoMic(), 0);
  EXPECT_EQ(choice.selection, 0);
  EXPECT_EQ(choice.smoothed[0][0], 0.0f);
}

TEST_F(MicChoiceTest, OneMicNeedsMoreThanTenVotes) {
  MicChoice_SetChannels(choice, 3);
  // Channel 2 wins exactly 10 groups, channel 0 the other 10: nobody is chosen.
  Set(2, 1000.0f, 0, 9);
  Set(0, 1000.0f, 10, 19);
  EXPECT_EQ(OneMic(), 0);
  choice.selection = 1;
  EXPECT_EQ(OneMic(), 1);  // stays
  // Channel 2 takes group 10 over as channel 0's level there decays: eleven votes carry it.
  Set(2, 1000.0f, 0, 10);
  Set(0, 0.0f, 10, 10);
  EXPECT_EQ(OneMic(), 1);
  EXPECT_EQ(OneMic(), 2);
}

TEST_F(MicChoiceTest, GroupLevelSubtractsNoiseAndWeightsSelection) {
  // The selection's level weighs 4.0 with two channels and 1.5 with any other count.
  for (const auto& [channels, weight] : {std::pair(1, 1.5f), std::pair(3, 1.5f)}) {
    MicChoice_Init(choice);
    MicChoice_SetChannels(choice, channels);
    SetBoth(10.0f, 10.0f);
    choice.channelCount = 2;  // both channels vote, the weight stays that of the count above
    OneMic();
    EXPECT_FLOAT_EQ(choice.smoothed[0][0], 100.0f * weight * choice.attack) << channels;
  }
  MicChoice_Init(choice);
  MicChoice_SetChannels(choice, 2);
  EXPECT_EQ(choice.channelCount, 2);
  SetBoth(10.0f, 10.0f);      // power 100
  noise[1].noise[20] = 1.0f;  // 100 - 32 = 68 in group 0 of channel 1
  OneMic();
  EXPECT_FLOAT_EQ(choice.smoothed[0][0], 400.0f * choice.attack);
  EXPECT_FLOAT_EQ(choice.smoothed[0][1], 68.0f * choice.attack);
  EXPECT_FLOAT_EQ(choice.smoothed[1][1], 100.0f * choice.attack);
  Set(0, 0.0f);  // a falling input decays by the release factor
  const float before = choice.smoothed[3][0];
  OneMic();
  EXPECT_FLOAT_EQ(choice.smoothed[3][0], before * choice.release);
}

TEST_F(MicChoiceTest, TwoMicHoldsAndCandidateRules) {
  MicChoice_SetChannels(choice, 2);
  SetBoth(0.0f, 1000.0f);           // S1 = 20 groups * 1e6, S0 = 0
  EXPECT_EQ(FramesToSwitch(), 25);  // exit time
  EXPECT_EQ(counter, 0);
  SetBoth(1000.0f, 0.0f);
  EXPECT_EQ(FramesToSwitch(), 8);  // enter time, back to channel 0
  // With duckerHold 0 leaving channel 0 takes 10 frames; an agreeing frame (both silent keeps
  // the selection) resets the count.
  SetBoth(0.0f, 1000.0f);
  for (int f = 1; f < 6; ++f)
    ASSERT_EQ(TwoMic(0), 0);
  SetBoth(0.0f, 0.0f);
  EXPECT_EQ(TwoMic(0), 0);
  EXPECT_EQ(counter, 0);
  Set(1, 1000.0f);
  EXPECT_EQ(FramesToSwitch(0), 10);
  SetBoth(1000.0f, 0.0f);
  EXPECT_EQ(FramesToSwitch(), 8);
  // Channel 0 above the ducker threshold is the candidate, even with channel 1 loud.
  SetBoth(4000.0f, 20000.0f);  // S0 = 20 * 1.6e7 * 4 (preference) > 1e9
  EXPECT_EQ(FramesToSwitch(), 100);
  // Channel 1 needs more than 100000 summed.
  SetBoth(0.0f, 0.0f);
  spectra[1][20] = {316.0f, 0.0f};  // 99856
  EXPECT_EQ(FramesToSwitch(), 100);
  spectra[1][20] = {317.0f, 0.0f};  // 100489
  EXPECT_EQ(FramesToSwitch(), 25);
}

}  // namespace
}  // namespace orvo
