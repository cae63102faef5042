// The offline file run behind startTest, in a temporary directory and home.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "tests/sandbox_env.hpp"

namespace orvo {
namespace {

using testing::SandboxEnv;

constexpr int kBlock = kFrameSize;

// Quiet, distinct test signals (small enough that the input gain never clips).
std::vector<int16_t> Signal(size_t samples, int seed) {
  std::vector<int16_t> s(samples);
  unsigned state = 2654435761u * static_cast<unsigned>(seed + 1);
  for (int16_t& x : s) {
    state = state * 1664525u + 1013904223u;
    x = static_cast<int16_t>(static_cast<int>(state >> 20) % 1500 - 750);
  }
  return s;
}

void WritePcm(const std::string& name, const std::vector<int16_t>& samples) {
  SandboxEnv::WriteFile(name, std::string(reinterpret_cast<const char*>(samples.data()),
                                          samples.size() * sizeof(int16_t)));
}

class OfflineRun : public ::testing::Test {
 protected:
  OfflineRun() {
    env_.EnterDirectory("run");
    state_.log.SetSink(
        [](void* user, const char* text) { *static_cast<std::string*>(user) += text; }, &log_);
  }

  void WriteInputs(size_t mic, size_t mic2, size_t ref) {
    mic_ = Signal(mic, 1);
    mic2_ = Signal(mic2, 2);
    ref_ = Signal(ref, 3);
    WritePcm("MicData.pcm", mic_);
    WritePcm("MicData2.pcm", mic2_);
    WritePcm("RefData.pcm", ref_);
  }

  int Run() {
    log_.clear();
    return RunOfflineTest(state_);
  }

  static uintmax_t OutBytes() { return std::filesystem::file_size("Out.pcm"); }
  int Frames() const { return state_.hRoomPro->frameCounter; }

  SandboxEnv env_;
  std::string log_;
  EngineState state_;
  std::vector<int16_t> mic_, mic2_, ref_;
};

TEST_F(OfflineRun, OnlyWholeBlocksOfTheMicrophoneFileAreProcessed) {
  WriteInputs(10 * kBlock + 100, 10 * kBlock + 100, 10 * kBlock + 100);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(OutBytes(), 19200u);
  EXPECT_EQ(Frames(), 10);
}

TEST_F(OfflineRun, EmptyMicrophoneFileGivesEmptyOutput) {
  WriteInputs(0, 3 * kBlock, 3 * kBlock);
  EXPECT_EQ(Run(), 0);
  ASSERT_TRUE(std::filesystem::exists("Out.pcm"));
  EXPECT_EQ(OutBytes(), 0u);
  EXPECT_EQ(Frames(), 0);
}

TEST_F(OfflineRun, ChannelsAreInterleavedAsMicrophoneOneAndTwo) {
  WriteInputs(3 * kBlock, 3 * kBlock, 3 * kBlock);
  EXPECT_EQ(Run(), 0);
  const ProcessState& p = *state_.proc;
  // A pair description with two channels, built by the first frame's microphone type 4.
  EXPECT_EQ(p.currentMicType, 4);
  EXPECT_EQ(p.descriptor.type, kMicTypePair);
  EXPECT_NE(log_.find("ConfigMicDesForOmbrix() called, nMicPodDetected = 0, mic type =4, "
                      "channelCount = 2"),
            std::string::npos);
  // The last block: channel 0 from MicData.pcm as read, channel 1 from MicData2.pcm with the
  // mode-3 input gain (4.0, never clipped by these quiet signals), never RefData.pcm.
  ASSERT_EQ(p.micBias, 4.0f);
  for (int i = 0; i < kBlock; ++i) {
    ASSERT_EQ(p.channel[0][i], mic_[2 * kBlock + i]) << i;
    ASSERT_EQ(p.channel[1][i], 4 * mic2_[2 * kBlock + i]) << i;
  }
}

TEST_F(OfflineRun, ShortSideFilesDoNotEndTheRunAndReadAsSilence) {
  WriteInputs(5 * kBlock, kBlock + kBlock / 2, 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(OutBytes(), 5u * kBlock * 2);
  EXPECT_EQ(Frames(), 5);
  // Past its end MicData2.pcm contributes zeros, not samples of an earlier block.
  for (int i = 0; i < kBlock; ++i)
    ASSERT_EQ(state_.proc->channel[1][i], 0) << i;
}

TEST_F(OfflineRun, SecondRunStartsOverWithANewEngineAndOverwritesTheOutput) {
  WriteInputs(6 * kBlock, 6 * kBlock, 6 * kBlock);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(OutBytes(), 6u * kBlock * 2);
  AudioCore_SetHangoverTime(state_, 40);

  WriteInputs(2 * kBlock, 2 * kBlock, 2 * kBlock);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(OutBytes(), 2u * kBlock * 2);
  EXPECT_EQ(Frames(), 2);
  EXPECT_EQ(state_.hRoomPro->hangoverTime, 21);
  EXPECT_EQ(log_.rfind("AudioCore_Create", 0), 0u);
}

TEST_F(OfflineRun, ConfigurationIsAppliedBeforeTheFirstFrame) {
  env_.WriteConfig("reverberation: 30\n");
  WriteInputs(kBlock, kBlock, kBlock);
  EXPECT_EQ(Run(), 0);
  const size_t applied = log_.find("AudioCore set hangover time 30\n");
  const size_t firstFrame = log_.find("mic type =4");
  ASSERT_NE(applied, std::string::npos);
  ASSERT_NE(firstFrame, std::string::npos);
  EXPECT_LT(applied, firstFrame);
  EXPECT_EQ(state_.hRoomPro->hangoverTime, 30);
}

TEST_F(OfflineRun, MissingInputIsReportedAndNothingIsProcessed) {
  for (const char* missing : {"MicData.pcm", "MicData2.pcm", "RefData.pcm"}) {
    SCOPED_TRACE(missing);
    WriteInputs(2 * kBlock, 2 * kBlock, 2 * kBlock);
    std::filesystem::remove("Out.pcm");
    std::filesystem::remove(missing);
    EXPECT_EQ(Run(), 0);
    EXPECT_NE(log_.find(std::string("startTest: cannot open ") + missing +
                        " (No such file or directory); offline test not run\n"),
              std::string::npos)
        << log_;
    EXPECT_FALSE(std::filesystem::exists("Out.pcm"));
    EXPECT_EQ(Frames(), 0);
  }
  // An earlier Out.pcm is left as it was.
  SandboxEnv::WriteFile("Out.pcm", "keep");
  std::filesystem::remove("MicData.pcm");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(SandboxEnv::ReadFile("Out.pcm"), std::string("keep"));
}

TEST_F(OfflineRun, OutputThatCannotBeCreatedIsReported) {
  WriteInputs(2 * kBlock, 2 * kBlock, 2 * kBlock);
  std::filesystem::create_directory("Out.pcm");
  EXPECT_EQ(Run(), 0);
  EXPECT_NE(log_.find("startTest: cannot create Out.pcm (Is a directory); offline test not run\n"),
            std::string::npos)
      << log_;
  EXPECT_EQ(Frames(), 0);
}

}  // namespace
}  // namespace orvo
