// The engine's entries: creation, switches, setters, microphone description, far-end history,
// input gain and the frame entry's pass-through modes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/log_capture.hpp"

namespace orvo {
namespace {

class EngineTest : public ::testing::Test {
 protected:
  std::string TakeLog() { return std::exchange(log_, {}); }
  EngineState& State() { return orvo::internal::StateOf(engine_); }
  AudioCore& Core() { return *State().hRoomPro; }
  ProcessState& Proc() { return *State().proc; }
  // Hangover, enter and exit frames, double-talk threshold, denoise mode, live-music switch,
  // fixed-threshold switch, hold flag.
  auto IntSettings() {
    const EngineSettings s = engine_.Settings();
    return std::tuple(s.hangoverTime, s.duckerEnterTime, s.duckerExitTime, s.doubleTalkThreshold,
                      s.denoiseMode, s.liveMusicSwitch, s.fixedThreshold, s.holdFlag);
  }

  std::string log_;
  Engine engine_{testing::AppendTo(log_)};
};

TEST_F(EngineTest, CreationDefaults) {
  EXPECT_EQ(IntSettings(), std::tuple(21, 8, 25, 48, 1, 1, 0, 0));
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e9f);
  EXPECT_EQ(engine_.Settings().bandWeightPreset, 2.0f);
  // On: echo canceler, mic steering, post filter, noise reduction, echo suppression, AGC.
  // NoiseFill is logged ON but creating the post-filter records clears it again.
  for (int bit = 0; bit < 16; ++bit)
    EXPECT_EQ(engine_.GetFeature(static_cast<Feature>(1 << bit)), (0x7d >> bit) & 1) << bit;
  const EngineTuning& t = Core().tuning;
  EXPECT_EQ(t.noiseScale, 10.0f);
  EXPECT_EQ(t.nearEnd.speechLevelThreshold, 5e8f);
  EXPECT_EQ(t.nearEnd.ceilingRelease, 0);
  EXPECT_EQ(t.nearEnd.highBandWeight, 1.0f);
  EXPECT_EQ(Core().pCompen->writeIndex, 1920);
  EXPECT_EQ(engine_.MicBias(), 4.0f);
}

TEST_F(EngineTest, SwitchInterplay) {
  TakeLog();
  // 2048, 4096 and 8192 exclude one another; turning one off leaves the others alone.
  const std::pair<Feature, int> steps[] = {{Feature::kSpkLoopback, 1},    {Feature::kMicBypass, 1},
                                           {Feature::kSpkLoopback, 1},    {Feature::kMicBypass, 1},
                                           {Feature::kTimeDelayCheck, 1}, {Feature::kMicBypass, 0}};
  const char* const after[] = {"010", "100", "010", "100", "001", "001"};
  for (size_t i = 0; i < std::size(steps); ++i) {
    engine_.SetFeature(steps[i].first, steps[i].second);
    std::string on;
    for (Feature f : {Feature::kMicBypass, Feature::kSpkLoopback, Feature::kTimeDelayCheck})
      on += static_cast<char>('0' + engine_.GetFeature(f));
    EXPECT_EQ(on, after[i]) << i;
  }
  EXPECT_TRUE(TakeLog().starts_with("SPK LOOPBACK ENABLED\nMIC BYPASS ENABLED\n"));
  // 32 also switches the post filter off, but not the other way round.
  engine_.SetFeature(Feature::kEchoSuppression, 0);
  EXPECT_EQ(engine_.GetFeature(Feature::kPostFilter), 0);
  engine_.SetFeature(Feature::kPostFilter, 1);
  EXPECT_EQ(engine_.GetFeature(Feature::kEchoSuppression), 0);
  EXPECT_EQ(TakeLog(), "Echo Suppression OFF\nPostFilter ON\n");
  // Values are stored as given; an unknown id does nothing and logs nothing.
  engine_.SetFeature(Feature::kAgc, 7);
  EXPECT_EQ(engine_.GetFeature(Feature::kAgc), 7);
  for (int r = 0; r < 3; ++r)
    EXPECT_EQ(Core().postFilter[r].agcSwitch, 7);
  EXPECT_EQ(Core().postFilter[3].agcSwitch, 1);  // the fourth record has no switch words set
  TakeLog();
  AudioCore_SetFeature(3, 1, &Core());
  AudioCore_SetFeature(65536, 1, &Core());
  EXPECT_EQ(TakeLog(), "");
  engine_.SetFeature(Feature::kSsl, 1);
  EXPECT_EQ(TakeLog(), "SSL ENABLEDSSL ENABLED\n");
}

TEST_F(EngineTest, SetterConversionsAndLogLines) {
  TakeLog();
  engine_.SetDuckerEnterTime(130);
  engine_.SetDuckerExitTime(139);
  engine_.SetDuckerExitTime(700);
  engine_.SetDuckerEnterTime(139);
  // -25 and other codes without a threshold keep the one in force.
  for (int code : {-45, -25, -44, -40, -35})
    engine_.SetDuckerThreshold(code);
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e8f);
  engine_.SetHangoverTime(-3);  // stored unchecked
  engine_.SetDoubleTalkThreshold(300);
  EXPECT_EQ(IntSettings(), std::tuple(-3, 6, 35, 300, 1, 1, 0, 0));
  EXPECT_EQ(TakeLog(),
            "AudioCore set ducker enter time 6\nAudioCore set ducker exit time 6\n"
            "AudioCore set ducker exit time 35\nAudioCore set ducker enter time 6\nDucker "
            "threshold: 1e+06\nDucker threshold: 1e+06\n"
            "Ducker threshold: 1e+06\nDucker threshold: 1e+07\nDucker threshold: 1e+08\n"
            "AudioCore set hangover time -3\nAudioCore set double talk threashold 300\n");
}

TEST_F(EngineTest, FarEndHistoryRingWraps) {
  const std::vector<int16_t> frame(960, 5);
  SpkDataRing* ring = Core().pCompen;
  for (int i = 0; i < 48; ++i)
    EXPECT_EQ(AudioCore_Add_SpkData(ring, frame.data()), 1);
  EXPECT_EQ(ring->writeIndex, 0);
  EXPECT_EQ(ring->samples[47999], 5);
  EXPECT_EQ(ring->readIndex, 0);
  engine_.AddFarEnd(frame.data());
  engine_.AddFarEnd(frame.data());
  EXPECT_EQ(ring->writeIndex, 1920);
}

TEST_F(EngineTest, MicrophoneDescriptionRebuildsAndFrameFlagBitsAreCopied) {
  ProcessState& p = Proc();
  EXPECT_EQ(p.currentMicType, 5);
  EXPECT_EQ(p.descriptor.type, kMicTypeSingle);
  EXPECT_EQ(p.descriptor.samples[7], p.channel[7]);
  EXPECT_EQ(p.descriptor.samples[8], nullptr);
  TakeLog();
  std::vector<int16_t> in(1920, 0), ref(960, 0), out(960, 99);
  engine_.FrameProcess(in.data(), ref.data(), 2, 1920, out.data(), 2, 4, 0, 1);
  EXPECT_EQ(Core().tuning.frameFlagBit1, 1);
  EXPECT_EQ(Core().tuning.frameFlagBit3, 0);
  EXPECT_TRUE(TakeLog().starts_with(
      "ConfigMicDesForOmbrix() called, nMicPodDetected = 0, mic type =4, channelCount = 2"));
  EXPECT_EQ(p.descriptor.type, kMicTypePair);
  EXPECT_EQ(Core().tuning.micConfigured, 1);
  // Same type, other count: the description stays as it was.
  engine_.FrameProcess(in.data(), ref.data(), 1, 960, out.data(), 8, 4, 0, 1);
  EXPECT_EQ(Core().tuning.frameFlagBit1, 0);
  EXPECT_EQ(Core().tuning.frameFlagBit3, 1);
  EXPECT_EQ(TakeLog(), "");
  EXPECT_EQ(p.descriptor.samples[1], p.channel[1]);
  const std::pair<int, int> codes[] = {
      {0, kMicTypeNone}, {1, kMicTypeSingle}, {2, kMicTypeSingle}, {3, kMicTypeTriple},
      {4, kMicTypePair}, {6, kMicTypeOther},  {-1, kMicTypeOther}};
  for (auto [type, code] : codes) {
    ConfigMicDesForOmbrix(State(), 1, type);
    EXPECT_EQ(p.descriptor.type, code) << type;
  }
  TakeLog();
  ConfigMicDesForOmbrix(State(), 15, 2);
  EXPECT_EQ(TakeLog(), "Invalid channel counts setting");
  EXPECT_EQ(p.pMicDes[0], nullptr);
  EXPECT_EQ(p.currentMicType, -1);  // unchanged from the last good configuration
  // A frame cannot be processed without a description: the output is left alone.
  out.assign(960, 99);
  engine_.FrameProcess(in.data(), ref.data(), 15, 1920, out.data(), 0, -1, 0, 1);
  EXPECT_EQ(out, std::vector<int16_t>(960, 99));
}

TEST_F(EngineTest, InputGainClipsAndLowersMicBiasWithinTheFrameThenRecovers) {
  engine_.SetFeature(Feature::kMicBypass, 1);
  std::vector<int16_t> in(1920, 1000), ref(960, 0), out(960);
  in[2 * 10 + 1] = 20000;  // channel 1 gets the gain in mode 3, channel 0 none
  engine_.Process(in.data(), ref.data(), out.data(), false, 3, 1);
  const ProcessState& p = Proc();
  EXPECT_EQ(std::vector<int16_t>(p.channel[1] + 9, p.channel[1] + 12),
            std::vector<int16_t>({4000, 30000, 3600}));
  EXPECT_EQ(engine_.MicBias(), 3.6f);
  EXPECT_EQ(p.channel[0][11], 1000);
  EXPECT_EQ(out[11], 1000);  // MIC BYPASS outputs the selected channel 0
  // Recovery needs speech (flag exactly 1) and an AGC gain above 6.
  TakeLog();
  AudioCore_IncreaseMicBias(State(), 6.0f, 1);
  AudioCore_IncreaseMicBias(State(), 9.0f, 0);
  AudioCore_IncreaseMicBias(State(), 9.0f, 2);
  EXPECT_EQ(engine_.MicBias(), 3.6f);
  AudioCore_IncreaseMicBias(State(), 9.0f, 1);
  EXPECT_EQ(engine_.MicBias(), static_cast<float>(3.6f * 1.1));
  for (int i = 0; i < 2; ++i)
    AudioCore_IncreaseMicBias(State(), 9.0f, 1);
  EXPECT_EQ(engine_.MicBias(), 4.0f);
  EXPECT_EQ(TakeLog(), "increase mic bias 3.96\nincrease mic bias 4\n");
  // Negative clipping, and the floor of 1.0; mode 0 applies no gain.
  Proc().micBias = 1.05f;
  std::vector<int16_t> mono(960, -31000);
  engine_.Process(mono.data(), ref.data(), out.data(), false, 1, 1);
  EXPECT_EQ(engine_.MicBias(), 1.0f);
  EXPECT_EQ(out, std::vector<int16_t>(960, -30000));
  engine_.Process(mono.data(), ref.data(), out.data(), false, 0, 1);
  EXPECT_EQ(out[5], -31000);
}

TEST_F(EngineTest, PassThroughOutputs) {
  std::vector<int16_t> in(960), ref(960), out(960);
  for (int i = 0; i < 960; ++i) {
    in[i] = static_cast<int16_t>(i);
    ref[i] = static_cast<int16_t>(-2 * i);
  }
  engine_.SetFeature(Feature::kSpkLoopback, 1);
  engine_.Process(in.data(), ref.data(), out.data(), false, 0, 1);
  EXPECT_EQ(out, ref);
  engine_.SetFeature(Feature::kTimeDelayCheck, 1);
  in.assign(960, 30000);
  ref.assign(960, 10000);
  engine_.Process(in.data(), ref.data(), out.data(), false, 0, 1);
  EXPECT_EQ(out[0], -25536);  // the 16-bit sum wraps
  // MIC BYPASS outputs the channel of the current choice; no stage runs.
  engine_.SetFeature(Feature::kMicBypass, 1);
  Core().choice.selection = 1;
  Core().doubleTalkFlag = 1;
  std::vector<int16_t> pair(1920, 100);
  for (int i = 0; i < 960; ++i)
    pair[2 * i + 1] = 200;
  const int frames = Core().frameCounter;
  engine_.Process(pair.data(), ref.data(), out.data(), false, 2, 1);  // mode 2: one channel
  EXPECT_EQ(out[0], Proc().channel[1][0]);                            // stale channel 1
  engine_.FrameProcess(pair.data(), ref.data(), 2, 1920, out.data(), 0, 4, 0, 1);
  EXPECT_EQ(out[0], 200);
  EXPECT_EQ(Core().frameCounter, frames);
  EXPECT_TRUE(engine_.IsDoubleTalk());
}

}  // namespace
}  // namespace orvo
