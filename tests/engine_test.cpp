// The engine's entries: creation, switches, setters, microphone description, far-end history,
// input gain and the frame entry's pass-through modes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_core/audio_core.hpp"
#include "orvoaec/engine.hpp"

namespace orvo {
namespace {

// An engine whose log is collected into a string.
class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine_([this](std::string_view t) { log_.append(t); }) {}

  std::string TakeLog() { return std::exchange(log_, {}); }
  EngineState& State() { return engine_.InternalState(); }
  AudioCore& Core() { return *State().hRoomPro; }
  ProcessState& Proc() { return *State().proc; }

  std::string log_;
  Engine engine_;
};

std::vector<int16_t> Constant(int n, int16_t v) {
  return std::vector<int16_t>(n, v);
}

TEST_F(EngineTest, CreationLogAndDefaults) {
  const std::string log = TakeLog();
  EXPECT_EQ(log.rfind("AudioCore_CreateEcho Canceler ON\n", 0), 0u);
  EXPECT_NE(log.find("AGC ON\nAdaptDebug OFF\nDoubleTalk Debug OFF\n"), std::string::npos);
  EXPECT_NE(log.find("SSL DISABLEDSSL DISABLED\nMaximum range of distance measuring is "
                     "14.860175 feet\nAverage distance is 5.971970 feet\n"),
            std::string::npos);
  EXPECT_TRUE(log.ends_with(
      "\n Have found the table of weights for different angles.\n"
      "AudioCore_Creat: calling config mic description"
      "ConfigMicDesForOmbrix() called, nMicPodDetected = 0, mic type =5, channelCount = 8"));

  const EngineSettings s = engine_.Settings();
  EXPECT_EQ(s.hangoverTime, 21);
  EXPECT_EQ(s.duckerEnterTime, 8);
  EXPECT_EQ(s.duckerExitTime, 25);
  EXPECT_EQ(s.duckerThreshold, 1e9f);
  EXPECT_EQ(s.doubleTalkThreshold, 48);
  EXPECT_EQ(s.denoiseMode, 1);
  EXPECT_EQ(s.liveMusicSwitch, 1);
  EXPECT_EQ(s.bandWeightPreset, 2.0f);
  EXPECT_EQ(s.fixedThreshold, 0);
  EXPECT_EQ(s.holdFlag, 0);
  // NoiseFill is logged ON but creating the post-filter records clears it again.
  EXPECT_EQ(engine_.GetFeature(Feature::kNoiseFill), 0);
  for (Feature on : {Feature::kEchoCanceler, Feature::kMicSteering, Feature::kPostFilter,
                     Feature::kNoiseReduction, Feature::kEchoSuppression, Feature::kAgc})
    EXPECT_EQ(engine_.GetFeature(on), 1) << static_cast<int>(on);
  for (Feature off : {Feature::kAdaptDebug, Feature::kMicBypass, Feature::kSpkLoopback,
                      Feature::kTimeDelayCheck, Feature::kSsl})
    EXPECT_EQ(engine_.GetFeature(off), 0);

  const TuningRecord& t = Core().tuning;
  EXPECT_EQ(t.F(13), 32.0f);
  EXPECT_EQ(t.F(kTuneNoiseScale), 10.0f);
  EXPECT_EQ(t.I(22), -1);
  EXPECT_EQ(t.F(kTuneSpeechLevelThreshold), 5e8f);
  EXPECT_EQ(t.F(30), 0.01f);
  EXPECT_EQ(t.I(36), 30);
  EXPECT_EQ(t.I(38), 5);
  EXPECT_EQ(Core().pCompen->writeIndex, 1920);
  EXPECT_FALSE(engine_.IsDoubleTalk());
  EXPECT_EQ(engine_.ChoiceSelection(), 0);
  EXPECT_EQ(engine_.MicBias(), 4.0f);
}

TEST_F(EngineTest, RecreationRestoresDefaultsButKeepsMicBias) {
  engine_.SetFeature(Feature::kEchoCanceler, 0);
  engine_.SetHangoverTime(40);
  engine_.SetDuckerThreshold(-45);
  Proc().micBias = 2.5f;
  AudioCore* before = State().hRoomPro;
  TakeLog();
  engine_.Recreate();
  EXPECT_EQ(TakeLog().rfind("AudioCore_CreateEcho Canceler ON\n", 0), 0u);
  EXPECT_NE(State().hRoomPro, nullptr);
  (void)before;
  EXPECT_EQ(engine_.GetFeature(Feature::kEchoCanceler), 1);
  EXPECT_EQ(engine_.Settings().hangoverTime, 21);
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e9f);
  EXPECT_EQ(engine_.MicBias(), 2.5f);
}

TEST_F(EngineTest, PassThroughModesAreExclusive) {
  TakeLog();
  engine_.SetFeature(Feature::kSpkLoopback, 1);
  engine_.SetFeature(Feature::kMicBypass, 1);
  EXPECT_EQ(TakeLog(), "SPK LOOPBACK ENABLED\nMIC BYPASS ENABLED\n");
  EXPECT_EQ(engine_.GetFeature(Feature::kSpkLoopback), 0);
  EXPECT_EQ(engine_.GetFeature(Feature::kMicBypass), 1);
  engine_.SetFeature(Feature::kSpkLoopback, 1);
  EXPECT_EQ(engine_.GetFeature(Feature::kMicBypass), 0);
  engine_.SetFeature(Feature::kMicBypass, 1);
  engine_.SetFeature(Feature::kTimeDelayCheck, 1);
  EXPECT_EQ(engine_.GetFeature(Feature::kMicBypass), 0);
  EXPECT_EQ(engine_.GetFeature(Feature::kSpkLoopback), 0);
  EXPECT_EQ(engine_.GetFeature(Feature::kTimeDelayCheck), 1);
  // Turning one off leaves the others as they are.
  engine_.SetFeature(Feature::kMicBypass, 0);
  EXPECT_EQ(engine_.GetFeature(Feature::kTimeDelayCheck), 1);
}

TEST_F(EngineTest, EchoSuppressionAlsoSwitchesPostFilter) {
  TakeLog();
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
  EXPECT_EQ(engine_.Settings().duckerEnterTime, 6);
  EXPECT_EQ(engine_.Settings().duckerExitTime, 6);
  engine_.SetDuckerExitTime(700);
  EXPECT_EQ(engine_.Settings().duckerExitTime, 35);
  EXPECT_EQ(TakeLog(),
            "AudioCore set ducker enter time 6\nAudioCore set ducker exit time 6\n"
            "AudioCore set ducker exit time 35\n");

  engine_.SetDuckerThreshold(-45);
  engine_.SetDuckerThreshold(-25);
  engine_.SetDuckerThreshold(-44);
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e6f);
  engine_.SetDuckerThreshold(-40);
  engine_.SetDuckerThreshold(-35);
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e8f);
  EXPECT_EQ(TakeLog(),
            "Ducker threshold: 1e+06\nDucker threshold: 1e+06\nDucker threshold: 1e+06\n"
            "Ducker threshold: 1e+07\nDucker threshold: 1e+08\n");

  engine_.SetHangoverTime(-3);
  engine_.SetDoubleTalkThreshold(300);
  EXPECT_EQ(engine_.Settings().hangoverTime, -3);
  EXPECT_EQ(engine_.Settings().doubleTalkThreshold, 300);
  EXPECT_EQ(TakeLog(),
            "AudioCore set hangover time -3\nAudioCore set double talk threashold 300\n");
}

TEST(EngineWithoutRecord, SettersAndFramesOnlyLog) {
  std::string log;
  EngineState state;
  state.log.SetSink([](void* u, const char* t) { static_cast<std::string*>(u)->append(t); }, &log);
  AudioCore_SetHangoverTime(state, 5);
  AudioCore_SetDuckerThreshold(state, -45);
  EXPECT_EQ(log, "invalid audio call handle\ninvalid audio call handle\n");
  log.clear();
  std::vector<int16_t> in(960, 1), ref(960, 2), out(960, 7);
  EXPECT_EQ(
      OmbrixAudioCore_FrameProcess(state, in.data(), ref.data(), 1, 960, out.data(), 0, 5, 1, 1),
      0);
  EXPECT_EQ(log, "OmbrixAudioCore_FrameProcess() FAILED: hRoomPro is NULL");
  EXPECT_EQ(out, std::vector<int16_t>(960, 7));
}

TEST_F(EngineTest, FarEndHistoryRingWraps) {
  const std::vector<int16_t> frame = Constant(960, 5);
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

TEST_F(EngineTest, MicrophoneDescriptionRebuilds) {
  ProcessState& p = Proc();
  EXPECT_EQ(p.currentMicType, 5);
  EXPECT_EQ(p.descriptor.type, kMicTypeSingle);
  EXPECT_EQ(p.pMicDes[0], &p.descriptor);
  EXPECT_EQ(p.descriptor.samples[7], p.channel[7]);
  EXPECT_EQ(p.descriptor.samples[8], nullptr);

  TakeLog();
  std::vector<int16_t> in(1920, 0), ref(960, 0), out(960);
  engine_.FrameProcess(in.data(), ref.data(), 2, 1920, out.data(), 0, 4, 0, 1);
  EXPECT_EQ(
      TakeLog().rfind(
          "ConfigMicDesForOmbrix() called, nMicPodDetected = 0, mic type =4, channelCount = 2", 0),
      0u);
  EXPECT_EQ(p.descriptor.type, kMicTypePair);
  EXPECT_EQ(Core().tuning.I(kTuneMicConfigured), 1);
  // Same type, other count: the description stays as it was.
  engine_.FrameProcess(in.data(), ref.data(), 1, 960, out.data(), 0, 4, 0, 1);
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
  std::vector<int16_t> untouched(960, 99);
  engine_.FrameProcess(in.data(), ref.data(), 15, 1920, untouched.data(), 0, -1, 0, 1);
  EXPECT_EQ(untouched, std::vector<int16_t>(960, 99));
}

TEST_F(EngineTest, FrameFlagBitsAreCopied) {
  std::vector<int16_t> in(960, 0), ref(960, 0), out(960);
  engine_.FrameProcess(in.data(), ref.data(), 1, 960, out.data(), 2, 5, 0, 1);
  EXPECT_EQ(Core().tuning.I(kTuneFrameFlagBit1), 1);
  EXPECT_EQ(Core().tuning.I(kTuneFrameFlagBit3), 0);
  engine_.Process(in.data(), ref.data(), out.data(), true, 0, 1);
  EXPECT_EQ(Core().tuning.I(kTuneFrameFlagBit1), 0);
  EXPECT_EQ(Core().tuning.I(kTuneFrameFlagBit3), 1);
}

TEST_F(EngineTest, InputGainClipsAndLowersMicBiasWithinTheFrame) {
  engine_.SetFeature(Feature::kMicBypass, 1);
  std::vector<int16_t> in(1920, 0), ref(960, 0), out(960);
  for (int i = 0; i < 960; ++i) {
    in[2 * i] = 1000;                        // channel 0: no gain in mode 3
    in[2 * i + 1] = i == 10 ? 20000 : 1000;  // channel 1
  }
  engine_.Process(in.data(), ref.data(), out.data(), false, 3, 1);
  const ProcessState& p = Proc();
  EXPECT_EQ(p.channel[1][9], 4000);
  EXPECT_EQ(p.channel[1][10], 30000);
  EXPECT_EQ(p.channel[1][11], 3600);
  EXPECT_EQ(engine_.MicBias(), 3.6f);
  EXPECT_EQ(p.channel[0][11], 1000);
  EXPECT_EQ(out[11], 1000);  // MIC BYPASS outputs the selected channel 0

  // Negative clipping, and the floor of 1.0.
  Proc().micBias = 1.05f;
  std::vector<int16_t> mono(960, -31000);
  engine_.Process(mono.data(), ref.data(), out.data(), false, 1, 1);
  EXPECT_EQ(engine_.MicBias(), 1.0f);
  EXPECT_EQ(out[0], -30000);
  EXPECT_EQ(out[959], -30000);
  // Mode 0 applies no gain.
  engine_.Process(mono.data(), ref.data(), out.data(), false, 0, 1);
  EXPECT_EQ(out[5], -31000);
}

TEST_F(EngineTest, MicBiasRecoversOnlyWithSpeechAndHighAgcGain) {
  Proc().micBias = 3.6f;
  TakeLog();
  AudioCore_IncreaseMicBias(State(), 6.0f, 1);  // gain not above 6
  AudioCore_IncreaseMicBias(State(), 9.0f, 0);  // no speech
  AudioCore_IncreaseMicBias(State(), 9.0f, 2);  // flag must be exactly 1
  EXPECT_EQ(engine_.MicBias(), 3.6f);
  EXPECT_EQ(TakeLog(), "");
  AudioCore_IncreaseMicBias(State(), 9.0f, 1);
  EXPECT_EQ(engine_.MicBias(), static_cast<float>(3.6f * 1.1));
  AudioCore_IncreaseMicBias(State(), 9.0f, 1);
  EXPECT_EQ(engine_.MicBias(), 4.0f);
  EXPECT_EQ(TakeLog(), "increase mic bias 3.96\nincrease mic bias 4\n");
  AudioCore_IncreaseMicBias(State(), 9.0f, 1);
  EXPECT_EQ(TakeLog(), "");
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
  EXPECT_EQ(out[0], -25536);

  // MIC BYPASS outputs the channel of the current choice; no stage runs.
  engine_.SetFeature(Feature::kMicBypass, 1);
  Core().choice.selection = 1;
  Core().doubleTalkFlag = 1;
  std::vector<int16_t> pair(1920);
  for (int i = 0; i < 960; ++i) {
    pair[2 * i] = 100;
    pair[2 * i + 1] = 200;
  }
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
