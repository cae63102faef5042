// The frame pipeline: far-end activity and talk state, microphone bookkeeping, delay tracking,
// the microphone choice end to end, live-music mode, carry-over across re-creation, and the
// output with every spectral stage switched off.
#include "audio_core/pipeline.hpp"
#include "api/engine_internal.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "orvoaec/engine.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scenes.hpp"

namespace orvo {
namespace {

const std::vector<int16_t> kSilence(960, 0);

class PipelineTest : public ::testing::Test {
 protected:
  AudioCore& Core() { return *orvo::internal::StateOf(engine_).hRoomPro; }
  ProcessState& Proc() { return *orvo::internal::StateOf(engine_).proc; }
  PipelineState& Ps() { return Proc().pipeline; }
  // One mono frame, mode 1.
  void Frame(const int16_t* ref = kSilence.data()) {
    engine_.Process(kSilence.data(), ref, out_.data(), false, 1, 1);
  }

  std::string log_;
  Engine engine_{testing::AppendTo(log_)};
  std::vector<int16_t> out_ = std::vector<int16_t>(960);
};

TEST_F(PipelineTest, FarEndThresholdAndHangoverDriveTalkState) {
  // The first frames use a hangover of 10: a silent far end gives talk state 1 in the tenth.
  for (int f = 1; f <= 12; ++f) {
    Frame();
    EXPECT_EQ(Ps().farEndHangover, f < 10 ? 10 - f : 0) << f;
    EXPECT_EQ(Ps().talkState, f < 10 ? 2 : 1) << f;
  }
  EXPECT_FALSE(engine_.IsDoubleTalk());
  // An active far end holds the hangover time, then talk state 2 lasts for it.
  engine_.SetHangoverTime(5);
  const std::vector<int16_t> loud = scene::ToPcm(scene::WhiteNoise(960 * 20, 8000.0f, 3));
  for (int f = 0; f < 20; ++f) {
    Frame(&loud[960 * f]);
    EXPECT_EQ(Ps().farEndHangover, 5) << f;
  }
  for (int f = 1; f <= 6; ++f) {
    Frame();
    EXPECT_EQ(Ps().talkState, f < 5 ? 2 : 1) << f;
  }
  engine_.SetHangoverTime(21);
  // An impulse of amplitude a into the far-end filter gives the frame energy
  // a^2 (1 + 0.09^2 / (1 - 0.81)): 95,727 for 303 and 96,360 for 304. With the tracker's floor
  // at 1.0 only the absolute threshold of 96,000 decides.
  for (int16_t a : {303, 304}) {
    std::vector<int16_t> impulse(960, 0);
    impulse[0] = a;
    Core().levels[kFarEndSlot] = MakeLevelTracker(1.0f, 1.0f, 50, 100, 0.25f);
    Ps().farEndHangover = 0;
    const float energy = Pipeline_UpdateFarEndActivity(Core(), Ps(), impulse.data());
    EXPECT_EQ(energy > 96000.0f, a == 304) << energy;
    EXPECT_EQ(Ps().farEndHangover, a == 304 ? 21 : 0);
  }
  for (int f = 1; f <= 21; ++f) {
    Pipeline_UpdateFarEndActivity(Core(), Ps(), kSilence.data());
    EXPECT_EQ(Ps().farEndHangover, 21 - f);
  }
  // With the floor at 10,000 the far end must stand above 20 times it: 199,110 for 437 is not,
  // 200,022 for 438 is.
  for (int16_t a : {437, 438}) {
    std::vector<int16_t> impulse(960, 0);
    impulse[0] = a;
    Core().levels[kFarEndSlot] = MakeLevelTracker(1e4f, 1.0f, 50, 100, 0.25f);
    Ps().farEndHangover = 0;
    Ps().farFilterInput = Ps().farFilterOutput = 0.0f;
    const float energy = Pipeline_UpdateFarEndActivity(Core(), Ps(), impulse.data());
    EXPECT_EQ(energy > 2e5f, a == 438) << energy;
    EXPECT_EQ(Ps().farEndHangover, a == 438 ? 21 : 0) << a;
  }
}

TEST_F(PipelineTest, OldBestMicStaysSecondaryFor35FramesExceptWithTwoChannels) {
  AudioCore& core = Core();
  PipelineState& ps = Ps();
  ps.previousMic = 0;
  ps.fallbackTimer = 0;
  ps.secondaryMic = -1;
  core.talker.hangover = 0;
  ps.BestMic = 2;  // three channels: the choice moves from 0 to 2
  Pipeline_MicrophoneBookkeeping(core, ps, 3);
  EXPECT_EQ(ps.fallbackMic, 0);
  EXPECT_EQ(ps.fallbackTimer, 35);
  int frames = 0;
  for (Pipeline_ChooseSecondary(core, ps, 3); ps.secondaryMic == 0; ++frames) {
    Pipeline_MicrophoneBookkeeping(core, ps, 3);
    Pipeline_ChooseSecondary(core, ps, 3);
  }
  EXPECT_EQ(frames, 35);
  EXPECT_EQ(ps.secondaryMic, -1);
  // With exactly two channels there is never a secondary microphone.
  ps.BestMic = 1;
  ps.previousMic = 0;
  Pipeline_MicrophoneBookkeeping(core, ps, 2);
  EXPECT_EQ(ps.fallbackTimer, 35);
  Pipeline_ChooseSecondary(core, ps, 2);
  EXPECT_EQ(ps.secondaryMic, -1);
  EXPECT_EQ(ps.fallbackTimer, 0);
  // A found talker microphone takes over while its hangover lasts.
  core.talker.hangover = 3;
  core.talker.foundMic = 2;
  ps.BestMic = 0;
  Pipeline_ChooseSecondary(core, ps, 3);
  EXPECT_EQ(ps.secondaryMic, 2);
  EXPECT_EQ(core.talker.hangover, 2);
  // Microphones beyond the channel count are repaired.
  ps.BestMic = ps.previousMic = core.choice.selection = 2;
  Pipeline_MicrophoneBookkeeping(core, ps, 1);
  EXPECT_EQ(std::tuple(ps.BestMic, ps.fallbackMic, core.choice.selection, ps.previousMic),
            std::tuple(0, 0, 0, 0));
}

TEST(PipelineDelay, TracksTheEstimateWithinABandOfTwoFrames) {
  // {delay, estimate, new delay}: inside [d, d+2] keeps d, otherwise estimate - 2, at least 0.
  const int cases[][3] = {{0, 0, 0}, {0, 2, 0}, {0, 3, 1}, {2, 4, 2},  {2, 5, 3},
                          {4, 3, 1}, {4, 1, 0}, {5, 0, 0}, {0, 12, 10}};
  for (const auto& c : cases)
    EXPECT_EQ(Pipeline_TrackDelay(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

TEST_F(PipelineTest, LiveMusicModeSwitchesOncePerChange) {
  log_.clear();
  for (bool live : {false, true, true, false}) {
    engine_.SetLiveMusic(live);
    Frame();
    EXPECT_EQ(Core().coupling.lowestRatio, live ? 0.05f : 0.005f);
    EXPECT_EQ(Core().levels[kFarEndSlot].gatedReset, live ? 9.6e6f : 9.6e7f);
  }
  EXPECT_EQ(log_, "LIVE MUSIC MODE ENABLED\nLIVE MUSIC MODE DISABLED\n");
}

TEST_F(PipelineTest, RecreationKeepsPipelineStateAndMicBiasAndResetsTheRest) {
  for (int f = 0; f < 12; ++f)
    Frame();
  Ps().refDelayFrames = 3;
  Proc().estimator.candidateDelay = Proc().estimator.lockedDelay = 4.0f;
  Proc().estimator.stableCount = 6;
  Proc().choiceSwitchCounter = 5;
  Proc().micBias = 2.5f;
  engine_.SetHangoverTime(40);
  engine_.SetFeature(Feature::kEchoCanceler, 0);
  engine_.Recreate();
  EXPECT_EQ(std::tuple(Ps().talkState, Ps().farEndHangover, Ps().refDelayFrames,
                       Proc().choiceSwitchCounter, Proc().estimator.stableCount),
            std::tuple(1, 0, 3, 5, 6));
  EXPECT_EQ(Proc().estimator.candidateDelay, 4.0f);
  EXPECT_EQ(Proc().estimator.lockedDelay, 0.0f);
  EXPECT_EQ(engine_.MicBias(), 2.5f);
  EXPECT_EQ(Core().frameCounter, 0);
  EXPECT_EQ(engine_.Settings().hangoverTime, 21);
  EXPECT_EQ(engine_.GetFeature(Feature::kEchoCanceler), 1);
}

// Two channels with a continuous talker (noise in the choice's band) on one of them, silent far
// end: frames from the choice's first disagreement to the switch of the returned selection.
int FramesToSwitch(Engine& engine, int talkerChannel, int duckerHold, uint32_t seed) {
  const std::vector<int16_t> talker = scene::ToPcm(scene::WhiteNoise(200 * 960, 1500.0f, seed));
  std::vector<int16_t> in(1920), out(960);
  int first = -1;
  for (int f = 0; f < 200; ++f) {
    for (int i = 0; i < 960; ++i) {
      in[2 * i] = talkerChannel == 0 ? talker[f * 960 + i] : 0;
      in[2 * i + 1] = talkerChannel == 1 ? talker[f * 960 + i] : 0;
    }
    const int selection =
        engine.Process(in.data(), kSilence.data(), out.data(), false, 3, duckerHold);
    if (first < 0 && orvo::internal::StateOf(engine).proc->choiceSwitchCounter == 1) first = f;
    if (selection == talkerChannel) return first < 0 ? -1 : f - first + 1;
  }
  return -1;
}

TEST(PipelineMicChoice, TwoMicrophonesSwitchAfterTheDuckerTimes) {
  for (int hold : {1, 0}) {
    SCOPED_TRACE(hold);
    Engine engine([](std::string_view) {});
    std::vector<int16_t> in(1920, 0), out(960);
    for (int f = 0; f < 12; ++f)  // let the far-end hangover run out so the choice runs
      engine.Process(in.data(), kSilence.data(), out.data(), false, 3, hold);
    EXPECT_EQ(FramesToSwitch(engine, 1, hold, 13 - 2 * hold), hold ? 25 : 10);
    if (hold == 1) {
      EXPECT_EQ(FramesToSwitch(engine, 0, hold, 12), 8);  // back to channel 0
    }
  }
}

// With the echo filter, post filter, AGC and neural suppressor off, the output is the filter
// bank's reconstruction of the (gain-adjusted) microphone channel.
TEST(PipelineReconstruction, WithEveryStageOffTheOutputIsTheFilterBankReconstruction) {
  Engine engine([](std::string_view) {});
  engine.SetFeature(Feature::kEchoCanceler, 0);
  engine.SetFeature(Feature::kPostFilter, 0);
  engine.SetFeature(Feature::kAgc, 0);
  engine.SetDenoiseMode(0);
  auto analysis = std::make_unique<FilterBankState>();
  auto synthesis = std::make_unique<FilterBankState>();
  FilterBank_Create(analysis.get());
  FilterBank_CreateSynthesis(synthesis.get());
  const size_t frames = 60;
  const std::vector<int16_t> mic = scene::ToPcm(scene::SpeechLike(frames * 960, 5000.0f, 4));
  const std::vector<int16_t> ref = scene::ToPcm(scene::SpeechLike(frames * 960, 8000.0f, 5));
  std::vector<int16_t> out(960), expected(960);
  std::vector<Cpx> spectrum(kNumBins);
  const ProcessState& p = *orvo::internal::StateOf(engine).proc;
  for (size_t f = 0; f < frames; ++f) {
    engine.Process(&mic[f * 960], &ref[f * 960], out.data(), false, 1, 1);
    // The engine's channel 0 holds the frame after the input gain (x4 in mode 1).
    FilterBank_Analyze(p.channel[0], spectrum.data(), *analysis);
    for (int k = 481; k < kNumBins; ++k)
      spectrum[k] = {0.0f, 0.0f};
    FilterBank_Synthesize(spectrum.data(), expected.data(), *synthesis);
    ASSERT_EQ(out, expected) << "frame " << f;
  }
}

TEST(PipelineDenoise, OnlyModesOneAndTwoRunTheSuppressor) {
  const size_t frames = 30;
  const std::vector<int16_t> mic = scene::ToPcm(scene::Add(
      scene::SpeechLike(frames * 960, 3000.0f, 8), scene::WhiteNoise(frames * 960, 300.0f, 9)));
  auto run = [&](int denoiseMode) {
    Engine engine([](std::string_view) {});
    engine.SetFeature(Feature::kPostFilter, 0);
    engine.SetFeature(Feature::kAgc, 0);
    engine.SetDenoiseMode(denoiseMode);
    std::vector<int16_t> out(frames * 960);
    for (size_t f = 0; f < frames; ++f)
      engine.Process(&mic[f * 960], kSilence.data(), &out[f * 960], false, 0, 1);
    return out;
  };
  // Strong mode 3 runs without the suppressor; post filter and AGC are off.
  const auto off = run(0);
  for (int mode : {-1, 1, 2, 3})
    EXPECT_EQ(run(mode) == off, mode != 1 && mode != 2) << mode;
}

}  // namespace
}  // namespace orvo
