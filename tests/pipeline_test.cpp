// The frame pipeline: far-end activity and talk state, microphone bookkeeping, delay tracking,
// the microphone choice end to end, live-music mode, carry-over across re-creation, and the
// output with every spectral stage switched off.
#include "audio_core/pipeline.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orvoaec/engine.hpp"
#include "tools/scene.hpp"

namespace orvo {
namespace {

class PipelineTest : public ::testing::Test {
 protected:
  PipelineTest() : engine_([this](std::string_view t) { log_.append(t); }), out_(960) {}

  AudioCore& Core() { return *engine_.InternalState().hRoomPro; }
  ProcessState& Proc() { return *engine_.InternalState().proc; }
  PipelineState& Ps() { return Proc().pipeline; }

  // One mono frame (mode 1 unless given).
  int Frame(const std::vector<int16_t>& mic, const std::vector<int16_t>& ref, int mode = 1,
            int duckerHold = 1) {
    return engine_.Process(mic.data(), ref.data(), out_.data(), false, mode, duckerHold);
  }

  std::string log_;
  Engine engine_;
  std::vector<int16_t> out_;
};

const std::vector<int16_t> kSilence(960, 0);

TEST_F(PipelineTest, SilentFarEndReachesTalkStateOneInTheTenthFrame) {
  for (int f = 1; f <= 12; ++f) {
    Frame(kSilence, kSilence);
    EXPECT_EQ(Ps().farEndHangover, f < 10 ? 10 - f : 0) << f;
    EXPECT_EQ(Ps().talkState, f < 10 ? 2 : 1) << f;
  }
  EXPECT_EQ(Core().frameCounter, 12);
  EXPECT_FALSE(engine_.IsDoubleTalk());
}

// An impulse of amplitude a into the far-end filter gives the frame energy
// a^2 (1 + 0.09^2 / (1 - 0.81)); 303 gives 95,727 and 304 gives 96,360.
std::vector<int16_t> Impulse(int16_t a) {
  std::vector<int16_t> x(960, 0);
  x[0] = a;
  return x;
}

TEST_F(PipelineTest, FarEndSilenceThresholdHoldsHoweverLowTheFloor) {
  // A tracker whose floor sits at 1.0 lets only the absolute threshold decide.
  LevelTracker& far = Core().levels[kFarEndSlot];
  far = MakeLevelTracker(1.0f, 1.0f, 50, 100, 0.25f);
  Ps().farEndHangover = 0;
  const float e303 = Pipeline_UpdateFarEndActivity(Core(), Ps(), Impulse(303).data());
  EXPECT_LE(e303, 96000.0f);
  EXPECT_EQ(Ps().farEndHangover, 0);
  for (int i = 0; i < 3; ++i)
    Pipeline_UpdateFarEndActivity(Core(), Ps(), kSilence.data());
  far = MakeLevelTracker(1.0f, 1.0f, 50, 100, 0.25f);
  const float e304 = Pipeline_UpdateFarEndActivity(Core(), Ps(), Impulse(304).data());
  EXPECT_GT(e304, 96000.0f);
  EXPECT_EQ(Ps().farEndHangover, 21);
  // The far end then counts as talking for the hangover time.
  for (int f = 1; f <= 21; ++f) {
    Pipeline_UpdateFarEndActivity(Core(), Ps(), kSilence.data());
    EXPECT_EQ(Ps().farEndHangover, 21 - f);
  }
}

TEST_F(PipelineTest, ActiveFarEndKeepsTalkStateTwoForTheHangover) {
  engine_.SetHangoverTime(5);
  const std::vector<int16_t> loud =
      scene::ToPcm(scene::WhiteNoise(960 * 20, 8000.0f, 3));  // far above the start floor
  for (int f = 0; f < 20; ++f) {
    std::vector<int16_t> ref(loud.begin() + 960 * f, loud.begin() + 960 * (f + 1));
    Frame(kSilence, ref);
    EXPECT_EQ(Ps().farEndHangover, 5) << f;
    EXPECT_NE(Ps().talkState, 1);
  }
  for (int f = 1; f <= 6; ++f) {
    Frame(kSilence, kSilence);
    EXPECT_EQ(Ps().talkState, f < 5 ? 2 : 1) << f;
  }
}

TEST_F(PipelineTest, OldBestMicStaysSecondaryFor35FramesExceptWithTwoChannels) {
  AudioCore& core = Core();
  PipelineState& ps = Ps();
  ps.BestMic = ps.previousMic = 0;
  ps.fallbackTimer = 0;
  ps.secondaryMic = -1;
  core.talker.hangover = 0;
  // Three channels: the choice moves from 0 to 2.
  ps.BestMic = 2;
  Pipeline_MicrophoneBookkeeping(core, ps, 3);
  EXPECT_EQ(ps.fallbackMic, 0);
  EXPECT_EQ(ps.fallbackTimer, 35);
  int frames = 0;
  for (;;) {
    Pipeline_ChooseSecondary(core, ps, 3);
    if (ps.secondaryMic != 0) break;
    ++frames;
    Pipeline_MicrophoneBookkeeping(core, ps, 3);
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
}

TEST_F(PipelineTest, OutOfRangeMicrophonesAreRepaired) {
  Ps().BestMic = 2;
  Ps().previousMic = 2;
  Core().choice.selection = 2;
  Pipeline_MicrophoneBookkeeping(Core(), Ps(), 1);
  EXPECT_EQ(Ps().BestMic, 0);
  EXPECT_EQ(Ps().fallbackMic, 0);
  EXPECT_EQ(Core().choice.selection, 0);
  EXPECT_EQ(Ps().previousMic, 0);
}

TEST(PipelineDelay, TracksTheEstimateWithinABandOfTwoFrames) {
  EXPECT_EQ(Pipeline_TrackDelay(0, 0), 0);
  EXPECT_EQ(Pipeline_TrackDelay(0, 2), 0);
  EXPECT_EQ(Pipeline_TrackDelay(0, 3), 1);
  EXPECT_EQ(Pipeline_TrackDelay(2, 4), 2);
  EXPECT_EQ(Pipeline_TrackDelay(2, 5), 3);
  EXPECT_EQ(Pipeline_TrackDelay(4, 3), 1);
  EXPECT_EQ(Pipeline_TrackDelay(4, 1), 0);
  EXPECT_EQ(Pipeline_TrackDelay(5, 0), 0);
  EXPECT_EQ(Pipeline_TrackDelay(0, 12), 10);
}

TEST(PipelineCoupling, RatiosAreKeptAroundGroupOne) {
  EchoCoupling c{};
  const float row[6] = {0.5f, 1.0f, 9.0f, 0.1f, 0.05f, 4.0f};
  for (int g = 0; g < 6; ++g)
    c.coupling[0][g] = row[g];
  for (int g = 0; g < 6; ++g)
    c.coupling[1][g] = 0.01f;
  c.coupling[2][0] = 99.0f;  // beyond the channel count: untouched
  Pipeline_LimitCouplingRatios(c, 2);
  const float want[6] = {1.0f, 1.0f, 8.0f, 0.125f, 0.125f, 4.0f};
  for (int g = 0; g < 6; ++g)
    EXPECT_FLOAT_EQ(c.coupling[0][g], want[g]) << g;
  for (int g = 0; g < 6; ++g)
    EXPECT_FLOAT_EQ(c.coupling[1][g], 0.1f);
  EXPECT_EQ(c.coupling[2][0], 99.0f);
}

TEST_F(PipelineTest, LiveMusicModeSwitchesOncePerChange) {
  log_.clear();
  Frame(kSilence, kSilence);
  EXPECT_EQ(log_, "");
  engine_.SetLiveMusic(true);
  Frame(kSilence, kSilence);
  EXPECT_EQ(log_, "LIVE MUSIC MODE ENABLED\n");
  EXPECT_EQ(Core().coupling.lowestRatio, 0.05f);
  EXPECT_EQ(Core().levels[kFarEndSlot].gatedReset, 9.6e6f);
  Frame(kSilence, kSilence);
  EXPECT_EQ(log_, "LIVE MUSIC MODE ENABLED\n");
  engine_.SetLiveMusic(false);
  Frame(kSilence, kSilence);
  EXPECT_EQ(log_, "LIVE MUSIC MODE ENABLED\nLIVE MUSIC MODE DISABLED\n");
  EXPECT_EQ(Core().coupling.lowestRatio, 0.005f);
  EXPECT_EQ(Core().levels[kFarEndSlot].gatedReset, 9.6e7f);
}

TEST_F(PipelineTest, ChannelCountFollowsTheMode) {
  std::vector<int16_t> pair(1920, 0);
  engine_.Process(pair.data(), kSilence.data(), out_.data(), false, 3, 1);
  EXPECT_EQ(Core().choice.channelCount, 2);
  EXPECT_EQ(Ps().secondaryMic, -1);
  for (int mode : {0, 1, 2, 4}) {
    Frame(kSilence, kSilence, mode);
    EXPECT_EQ(Core().choice.channelCount, 1) << mode;
    EXPECT_EQ(Ps().BestMic, 0);
  }
}

TEST_F(PipelineTest, RecreationKeepsPipelineStateAndResetsTheEstimator) {
  for (int f = 0; f < 12; ++f)
    Frame(kSilence, kSilence);
  Ps().refDelayFrames = 3;
  Proc().estimator.candidateDelay = 4.0f;
  Proc().estimator.stableCount = 6;
  Proc().estimator.lockedDelay = 4.0f;
  Proc().choiceSwitchCounter = 5;
  engine_.Recreate();
  EXPECT_EQ(Ps().talkState, 1);
  EXPECT_EQ(Ps().farEndHangover, 0);
  EXPECT_EQ(Ps().refDelayFrames, 3);
  EXPECT_EQ(Proc().choiceSwitchCounter, 5);
  EXPECT_EQ(Proc().estimator.candidateDelay, 4.0f);
  EXPECT_EQ(Proc().estimator.stableCount, 6);
  EXPECT_EQ(Proc().estimator.lockedDelay, 0.0f);
  EXPECT_EQ(Core().frameCounter, 0);
}

// A continuous talker for the microphone choice: noise in the choice's band, no pauses.
std::vector<int16_t> Talker(size_t frames, uint32_t seed) {
  return scene::ToPcm(scene::WhiteNoise(frames * 960, 1500.0f, seed));
}

struct ChoiceRun {
  int firstDisagreement = -1;  // frame whose choice first disagreed with the selection
  int switchFrame = -1;        // frame whose result was the new selection
};

// Runs frames of a two-channel scene with the talker on `talkerChannel`, from `startFrame`,
// until the returned selection becomes `target`.
ChoiceRun RunUntilSelection(Engine& engine, int talkerChannel, int target, int duckerHold,
                            uint32_t seed) {
  ChoiceRun run;
  const std::vector<int16_t> talker = Talker(200, seed);
  std::vector<int16_t> in(1920), out(960);
  const ProcessState& p = *engine.InternalState().proc;
  for (int f = 0; f < 200; ++f) {
    for (int i = 0; i < 960; ++i) {
      in[2 * i] = talkerChannel == 0 ? talker[f * 960 + i] : 0;
      in[2 * i + 1] = talkerChannel == 1 ? talker[f * 960 + i] : 0;
    }
    const int selection =
        engine.Process(in.data(), kSilence.data(), out.data(), false, 3, duckerHold);
    if (run.firstDisagreement < 0 && p.choiceSwitchCounter == 1) run.firstDisagreement = f;
    if (selection == target) {
      run.switchFrame = f;
      return run;
    }
  }
  return run;
}

TEST(PipelineMicChoice, TwoMicrophonesSwitchAfterTheDuckerTimes) {
  Engine engine([](std::string_view) {});
  // Let the far-end hangover run out so the choice runs.
  std::vector<int16_t> in(1920, 0), out(960);
  for (int f = 0; f < 12; ++f)
    engine.Process(in.data(), kSilence.data(), out.data(), false, 3, 1);

  const ChoiceRun toOne = RunUntilSelection(engine, 1, 1, 1, 11);
  ASSERT_GE(toOne.firstDisagreement, 0);
  ASSERT_GE(toOne.switchFrame, 0);
  EXPECT_EQ(toOne.switchFrame - toOne.firstDisagreement + 1, 25);

  const ChoiceRun back = RunUntilSelection(engine, 0, 0, 1, 12);
  ASSERT_GE(back.firstDisagreement, 0);
  EXPECT_EQ(back.switchFrame - back.firstDisagreement + 1, 8);
}

TEST(PipelineMicChoice, DuckerHoldZeroShortensTheSwitchAwayFromChannelZero) {
  Engine engine([](std::string_view) {});
  std::vector<int16_t> in(1920, 0), out(960);
  for (int f = 0; f < 12; ++f)
    engine.Process(in.data(), kSilence.data(), out.data(), false, 3, 0);
  const ChoiceRun run = RunUntilSelection(engine, 1, 1, 0, 13);
  ASSERT_GE(run.switchFrame, 0);
  EXPECT_EQ(run.switchFrame - run.firstDisagreement + 1, 10);
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
  const ProcessState& p = *engine.InternalState().proc;
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
  const auto off = run(0);
  EXPECT_EQ(run(3), off);  // strong mode without the suppressor; post filter and AGC are off
  EXPECT_EQ(run(-1), off);
  EXPECT_NE(run(1), off);
  EXPECT_NE(run(2), off);
}

}  // namespace
}  // namespace orvo
