// The offline file run behind startTest, in a temporary directory and home.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/sandbox_env.hpp"

namespace orvo {
namespace {

using testing::SandboxEnv;
namespace fs = std::filesystem;
constexpr int kBlock = kFrameSize;
const char* const kNames[] = {"MicData.pcm", "MicData2.pcm", "RefData.pcm"};

class OfflineRun : public ::testing::Test {
 protected:
  OfflineRun() {
    fs::current_path(env_.Root());
    state_.log = testing::LoggerTo(log_);
  }
  // Writes the three inputs with these lengths: quiet, distinct signals (the gain never clips).
  void WriteInputs(size_t mic, size_t mic2, size_t ref) {
    unsigned state = 12345;
    for (int c = 0; c < 3; ++c) {
      in_[c].resize(c == 0 ? mic : c == 1 ? mic2 : ref);
      for (int16_t& x : in_[c])
        x = static_cast<int16_t>(
            static_cast<int>((state = state * 1664525u + 1013904223u) >> 20) % 1500 - 750);
      SandboxEnv::WriteFile(
          kNames[c], std::string(reinterpret_cast<const char*>(in_[c].data()), 2 * in_[c].size()));
    }
  }
  // Runs startTest, which always returns 0, and gives the number of frames processed.
  int Run() {
    log_.clear();
    EXPECT_EQ(RunOfflineTest(state_), 0);
    return state_.hRoomPro->frameCounter;
  }

  SandboxEnv env_;
  std::string log_;
  EngineState state_;
  std::vector<int16_t> in_[3];
};

TEST_F(OfflineRun, WholeBlocksAsMicrophonesOneAndTwoEachRunAfresh) {
  WriteInputs(10 * kBlock + 100, 10 * kBlock + 100, 10 * kBlock + 100);
  EXPECT_EQ(Run(), 10);
  EXPECT_EQ(fs::file_size("Out.pcm"), 19200u);
  const ProcessState& p = *state_.proc;
  EXPECT_NE(log_.find("mic type =4, channelCount = 2"), std::string::npos);
  // The last block: channel 0 from MicData.pcm as read, channel 1 from MicData2.pcm with the
  // mode-3 input gain of 4, never RefData.pcm.
  ASSERT_EQ(p.micBias, 4.0f);
  for (int i = 0; i < kBlock; ++i) {
    ASSERT_EQ(p.channel[0][i], in_[0][9 * kBlock + i]) << i;
    ASSERT_EQ(p.channel[1][i], 4 * in_[1][9 * kBlock + i]) << i;
  }
  // An empty microphone file gives an empty output; short side files read as silence.
  WriteInputs(0, 3 * kBlock, 3 * kBlock);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(SandboxEnv::ReadFile("Out.pcm"), "");
  WriteInputs(5 * kBlock, kBlock + kBlock / 2, 0);
  EXPECT_EQ(Run(), 5);
  EXPECT_EQ(fs::file_size("Out.pcm"), 5u * kBlock * 2);
  // Past its end MicData2.pcm contributes zeros, not samples of an earlier block.
  for (int i = 0; i < kBlock; ++i)
    ASSERT_EQ(state_.proc->channel[1][i], 0) << i;
  // Each run starts over with a new engine and the configuration, and overwrites the output.
  AudioCore_SetHangoverTime(state_, 40);
  SandboxEnv::WriteFile(env_.ConfigPath(), "reverberation: 30\n");
  WriteInputs(2 * kBlock, 2 * kBlock, 2 * kBlock);
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(fs::file_size("Out.pcm"), 2u * kBlock * 2);
  EXPECT_EQ(log_.rfind("AudioCore_Create", 0), 0u);
  // The file's value, applied before the first frame, replaces the earlier engine's.
  EXPECT_LT(log_.find("AudioCore set hangover time 30\n"), log_.find("mic type =4"));
  EXPECT_EQ(state_.hRoomPro->hangoverTime, 30);
}

TEST_F(OfflineRun, MissingInputOrUncreatableOutputIsReportedAndNothingIsProcessed) {
  for (const char* missing : kNames) {
    SCOPED_TRACE(missing);
    WriteInputs(2 * kBlock, 2 * kBlock, 2 * kBlock);
    SandboxEnv::WriteFile("Out.pcm", "keep");
    fs::remove(missing);
    EXPECT_EQ(Run(), 0);
    EXPECT_NE(log_.find(std::string("startTest: cannot open ") + missing +
                        " (No such file or directory); offline test not run\n"),
              std::string::npos)
        << log_;
    EXPECT_EQ(SandboxEnv::ReadFile("Out.pcm"), "keep");  // an earlier output is left alone
  }
  WriteInputs(2 * kBlock, 2 * kBlock, 2 * kBlock);
  fs::remove("Out.pcm");
  fs::create_directory("Out.pcm");
  EXPECT_EQ(Run(), 0);
  EXPECT_NE(log_.find("startTest: cannot create Out.pcm (Is a directory); offline test not run\n"),
            std::string::npos)
      << log_;
}

}  // namespace
}  // namespace orvo
