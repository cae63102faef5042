// The whole engine on generated conversation scenes, with the default settings, frame by frame
// through Engine::Process exactly as ORVOAEC_Process drives it, for one microphone (mode 1) and
// a microphone pair (mode 3). The input gain of 4 applies to the microphone in mode 1 and to
// the pair's second channel in mode 3.
//
// Conversation scene, 12 s: far-end speech alone (0-4 s), double talk (4-8 s), near-end speech
// alone (8-12 s). The far end reaches each microphone through its own room response, both
// microphones hear the talker, and light white noise is added. A control run of the same scene
// without the talker shows what leaks of the echo.
//
// Clipping scene, 10 s, far end silent: a talker loud enough to clip after the input gain for
// 2 s, then the same talker at a normal level.
//
// Run with the figures visible:  build/tests/scenes_test
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "audio_core/audio_core.hpp"
#include "orvoaec/engine.hpp"
#include "tests/scene_runner.hpp"
#include "tools/scene.hpp"

namespace orvo {
namespace {

using e2e::At;
using e2e::Report;

constexpr double kSceneSeconds = 12.0;
constexpr double kDoubleTalkStart = 4.0;
constexpr double kFarEndStop = 8.0;
// Far-end speech peaking near -12 dBFS; the echo path loses 10 dB; the talker peaks near
// -20 dBFS at the first microphone and 2 dB lower at the second; noise at -70 dBFS.
constexpr float kFarLevel = 4000.0f;
constexpr float kEchoGain = 0.3f;
constexpr float kNearLevel = 1500.0f;
constexpr float kSecondMicNear = 0.8f;
constexpr float kNoiseRms = 10.0f;

// Measured stretches, in seconds. The output lags the input by the filter bank (three frames) and
// the far end counts as talking for 21 frames after it stops, so every stretch is measured with a
// margin.
struct Stretch {
  double from, to;
};
constexpr Stretch kFarOnly{2.0, 3.9};     // far end alone, echo filter adapted for 2 s
constexpr Stretch kDoubleTalk{4.2, 7.9};  // both talking
constexpr Stretch kNearOnly{8.6, 11.9};   // far end silent, its hangover over

struct FrameProbe {
  int talkState;
  bool doubleTalk;
  int speechFlag;
  float agcGain;
  float micBias;
  int bestMic;
  double echoBefore;  // the chosen microphone's power before and after the echo filter
  double echoAfter;
};

struct SceneRun {
  std::vector<float> near;         // the talker as it reaches the first microphone
  std::vector<int16_t> mic0;       // the first microphone channel as fed
  std::vector<int16_t> out;        // output with the talker
  std::vector<int16_t> control;    // output of the same scene without the talker
  std::vector<FrameProbe> frames;  // per frame, the run with the talker
};

std::vector<FrameProbe>::const_iterator FrameAt(const SceneRun& r, double t) {
  return r.frames.begin() + static_cast<std::ptrdiff_t>(At(t) / e2e::kFrame);
}

FrameProbe Probe(const Engine& engine) {
  const EngineState& st = engine.InternalState();
  const AudioCore& core = *st.hRoomPro;
  const int best = st.proc->pipeline.BestMic;
  FrameProbe p{};
  p.talkState = st.proc->pipeline.talkState;
  p.doubleTalk = engine.IsDoubleTalk();
  p.speechFlag = core.speechFlag;
  p.agcGain = core.agcGain;
  p.micBias = engine.MicBias();
  p.bestMic = best;
  for (int g = 0; g < kNumGroups; ++g) {
    p.echoBefore += core.aec.micGroupPower[best][g];
    p.echoAfter += core.aec.residualGroupPower[best][g];
  }
  return p;
}

std::vector<int16_t> Microphones(const std::vector<float>& a, const std::vector<float>& b, int mode,
                                 std::vector<int16_t>* first) {
  const std::vector<int16_t> pa = scene::ToPcm(a);
  if (first != nullptr) *first = pa;
  if (mode != 3) return pa;
  const std::vector<int16_t> pb = scene::ToPcm(b);
  return e2e::Interleave(pa, &pb);
}

SceneRun RunConversation(int mode) {
  const size_t n = At(kSceneSeconds);
  std::vector<float> far = scene::SpeechLike(n, kFarLevel, 11);
  std::fill(far.begin() + static_cast<std::ptrdiff_t>(At(kFarEndStop)), far.end(), 0.0f);
  std::vector<float> near = scene::SpeechLike(n, kNearLevel, 22);
  std::fill(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(At(kDoubleTalkStart)), 0.0f);
  std::vector<float> nearSecond = near;
  for (float& v : nearSecond)
    v *= kSecondMicNear;

  const std::vector<float> echo0 =
      scene::Convolve(far, scene::RoomResponse(0.030, 0.150, kEchoGain, 3));
  const std::vector<float> echo1 =
      scene::Convolve(far, scene::RoomResponse(0.032, 0.150, kEchoGain, 4));
  const std::vector<float> bed0 = scene::Add(echo0, scene::WhiteNoise(n, kNoiseRms, 5));
  const std::vector<float> bed1 = scene::Add(echo1, scene::WhiteNoise(n, kNoiseRms, 6));
  const std::vector<int16_t> farPcm = scene::ToPcm(far);

  SceneRun r;
  r.near = near;
  const auto quiet = [](std::string_view) {};
  {
    const std::vector<int16_t> mic =
        Microphones(scene::Add(bed0, near), scene::Add(bed1, nearSecond), mode, &r.mic0);
    Engine engine(quiet);
    r.out = e2e::RunScene(engine, mic, farPcm, mode,
                          [&](size_t) { r.frames.push_back(Probe(engine)); });
  }
  {
    Engine engine(quiet);
    r.control = e2e::RunScene(engine, Microphones(bed0, bed1, mode, nullptr), farPcm, mode);
  }
  return r;
}

// Scenes are deterministic; each mode's run is shared by the tests that look at it.
const SceneRun& Conversation(int mode) {
  static std::map<int, SceneRun> runs;
  auto it = runs.find(mode);
  if (it == runs.end()) it = runs.emplace(mode, RunConversation(mode)).first;
  return it->second;
}

// Frames of a stretch in which the talker is active: frame power within 20 dB of the loudest
// frame of the stretch.
std::vector<size_t> TalkerFrames(const SceneRun& r, Stretch s) {
  const size_t first = At(s.from) / e2e::kFrame, last = At(s.to) / e2e::kFrame;
  double loudest = 0.0;
  std::vector<double> power;
  for (size_t f = first; f < last; ++f) {
    power.push_back(scene::Power(r.near, f * e2e::kFrame, (f + 1) * e2e::kFrame));
    loudest = std::max(loudest, power.back());
  }
  std::vector<size_t> frames;
  for (size_t f = first; f < last; ++f)
    if (power[f - first] >= 0.01 * loudest) frames.push_back(f);
  return frames;
}

double OutPower(const std::vector<int16_t>& out, Stretch s) {
  return scene::Power(out, At(s.from), At(s.to));
}

class ConversationTest : public ::testing::TestWithParam<int> {
 protected:
  int Mode() const { return GetParam(); }
  std::string Name(const char* figure) const {
    return "mode" + std::to_string(Mode()) + "." + figure;
  }
};

TEST_P(ConversationTest, FarEndAloneIsNearlySilentOnceConverged) {
  const SceneRun& r = Conversation(Mode());
  const double micPower = scene::Power(r.mic0, At(kFarOnly.from), At(kFarOnly.to));
  const double outPower = OutPower(r.out, kFarOnly);
  // Infinite when the output is exactly silent.
  const double attenuation = e2e::Db(micPower / outPower);
  double before = 0.0, after = 0.0;
  int doubleTalk = 0, farActive = 0, frames = 0;
  for (auto f = FrameAt(r, 0.5); f != FrameAt(r, kDoubleTalkStart); ++f, ++frames) {
    doubleTalk += f->doubleTalk;
    farActive += f->talkState != 1;
  }
  for (auto f = FrameAt(r, kFarOnly.from); f != FrameAt(r, kFarOnly.to); ++f) {
    before += f->echoBefore;
    after += f->echoAfter;
  }
  Report(Name("far_only.mic_level_dBFS"), e2e::Db(micPower / (32768.0 * 32768.0)), "dB");
  Report(Name("far_only.attenuation_dB"), attenuation, "dB");
  Report(Name("far_only.output_level_dBFS"), e2e::Db(outPower / (32768.0 * 32768.0)), "dB");
  Report(Name("far_only.echo_filter_alone_dB"), e2e::Db(before / after), "dB");
  Report(Name("far_only.double_talk_share"), static_cast<double>(doubleTalk) / frames, "");

  ASSERT_GT(micPower, 1e4);  // the echo is there to remove
  EXPECT_GT(attenuation, 40.0);
  // The echo filter does its part before the post filter mutes what is left.
  EXPECT_GT(e2e::Db(before / after), 6.0);
  EXPECT_EQ(farActive, frames) << "the far end must count as talking all through";
  EXPECT_LT(doubleTalk, frames / 10) << "the echo alone is taken for double talk";
}

TEST_P(ConversationTest, DoubleTalkIsReportedAndTheTalkerPasses) {
  const SceneRun& r = Conversation(Mode());
  const std::vector<size_t> talker = TalkerFrames(r, kDoubleTalk);
  ASSERT_GT(talker.size(), 50u);
  int flagged = 0;
  for (size_t f : talker)
    flagged += r.frames[f].doubleTalk;
  int flaggedAll = 0, frames = 0;
  for (auto f = FrameAt(r, kDoubleTalk.from); f != FrameAt(r, kDoubleTalk.to); ++f, ++frames)
    flaggedAll += f->doubleTalk;
  const double share = static_cast<double>(flagged) / static_cast<double>(talker.size());
  const double nearPower = scene::Power(r.near, At(kDoubleTalk.from), At(kDoubleTalk.to));
  const double outPower = OutPower(r.out, kDoubleTalk);
  const double controlPower = OutPower(r.control, kDoubleTalk);
  const double overEcho = e2e::Db(outPower / controlPower);  // infinite: control silent
  const double versusAlone = e2e::Db(outPower / OutPower(r.out, kNearOnly));
  Report(Name("double_talk.share_of_talker_frames"), share, "");
  Report(Name("double_talk.share_of_all_frames"), static_cast<double>(flaggedAll) / frames, "");
  Report(Name("double_talk.output_over_talker_input_dB"), e2e::Db(outPower / nearPower), "dB");
  Report(Name("double_talk.output_with_over_without_talker_dB"), overEcho, "dB");
  Report(Name("double_talk.output_level_dBFS"), e2e::Db(outPower / (32768.0 * 32768.0)), "dB");
  Report(Name("double_talk.output_over_talker_alone_output_dB"), versusAlone, "dB");

  for (const FrameProbe& f : r.frames)
    ASSERT_EQ(f.micBias, 4.0f) << "the scene clips after the input gain";
  EXPECT_GT(share, 0.25);
  // What comes out during double talk is mostly the talker, not the echo, at a level not far
  // below the talker's alone.
  EXPECT_GT(overEcho, 10.0);
  EXPECT_GT(versusAlone, -10.0);
}

TEST_P(ConversationTest, TalkerAlonePassesWithTheAgcGain) {
  const SceneRun& r = Conversation(Mode());
  const std::vector<size_t> talker = TalkerFrames(r, kNearOnly);
  ASSERT_GT(talker.size(), 50u);
  int speech = 0;
  double agcSum = 0.0;
  for (size_t f : talker) {
    speech += r.frames[f].speechFlag;
    agcSum += r.frames[f].agcGain;
  }
  for (auto f = FrameAt(r, kNearOnly.from); f != FrameAt(r, kNearOnly.to); ++f)
    ASSERT_EQ(f->talkState, 1) << "frame " << (f - r.frames.begin());
  const double nearPower = scene::Power(r.near, At(kNearOnly.from), At(kNearOnly.to));
  const double outPower = OutPower(r.out, kNearOnly);
  const double throughDb = e2e::Db(outPower / nearPower);
  const double overControl = e2e::Db(outPower / OutPower(r.control, kNearOnly));
  const double meanAgc = agcSum / static_cast<double>(talker.size());
  const float finalAgc = r.frames.back().agcGain;
  Report(Name("near_only.output_over_talker_input_dB"), throughDb, "dB");
  Report(Name("near_only.output_level_dBFS"), e2e::Db(outPower / (32768.0 * 32768.0)), "dB");
  Report(Name("near_only.output_with_over_without_talker_dB"), overControl, "dB");
  Report(Name("near_only.agc_gain_mean_talker_frames"), meanAgc, "");
  Report(Name("near_only.agc_gain_final"), finalAgc, "");
  Report(Name("near_only.speech_flag_share"),
         static_cast<double>(speech) / static_cast<double>(talker.size()), "");
  Report(Name("near_only.chosen_mic"), r.frames.back().bestMic, "");

  EXPECT_GT(speech, static_cast<int>(talker.size()) / 2);
  EXPECT_GT(meanAgc, 1.0);
  // The talker comes out lifted, far above what the scene gives without it.
  EXPECT_GT(throughDb, 0.0);
  EXPECT_GT(overControl, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, ConversationTest, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Mode" + std::to_string(info.param);
                         });

// --- clipping and the input gain's recovery ----------------------------------------------------

constexpr float kLoudLevel = 12000.0f;  // peaks near -3 dBFS: clips once multiplied by 1.25
constexpr float kNormalLevel = 600.0f;  // peaks near -28 dBFS
constexpr double kLoudSeconds = 2.0;
constexpr double kClipSceneSeconds = 10.0;

class ClippingTest : public ::testing::TestWithParam<int> {};

TEST_P(ClippingTest, LoudTalkerLowersTheInputGainWhichGrowsBack) {
  const int mode = GetParam();
  const size_t n = At(kClipSceneSeconds);
  const std::vector<float> loud = scene::SpeechLike(At(kLoudSeconds), kLoudLevel, 7);
  std::vector<float> near = scene::SpeechLike(n, kNormalLevel, 8);
  std::copy(loud.begin(), loud.end(), near.begin());
  const std::vector<float> mic0 = scene::Add(near, scene::WhiteNoise(n, kNoiseRms, 5));
  const std::vector<float> mic1 = scene::Add(near, scene::WhiteNoise(n, kNoiseRms, 6));
  const std::vector<int16_t> far(n, 0);

  std::string log;
  Engine engine([&](std::string_view text) { log.append(text); });
  log.clear();
  float lowest = engine.MicBias();
  std::vector<float> bias;
  e2e::RunScene(engine, Microphones(mic0, mic1, mode, nullptr), far, mode, [&](size_t) {
    bias.push_back(engine.MicBias());
    lowest = std::min(lowest, engine.MicBias());
  });

  // Every "increase mic bias" line, with its value.
  const std::string_view kLine = "increase mic bias ";
  std::vector<double> raised;
  for (size_t pos = log.find(kLine); pos != std::string::npos; pos = log.find(kLine, pos + 1))
    raised.push_back(std::strtod(log.c_str() + pos + kLine.size(), nullptr));
  const double endOfLoud = bias[At(kLoudSeconds) / e2e::kFrame - 1];
  const std::string prefix = "mode" + std::to_string(mode) + ".clipping.";
  Report(prefix + "lowest_mic_bias", lowest, "");
  Report(prefix + "mic_bias_after_loud_talker", endOfLoud, "");
  Report(prefix + "increase_lines", static_cast<double>(raised.size()), "");
  Report(prefix + "final_mic_bias", engine.MicBias(), "");
  for (size_t f = 1; f < bias.size(); ++f) {
    if (bias[f] > bias[f - 1]) {
      Report(prefix + "first_raise_s", static_cast<double>(f + 1) * e2e::kFrame / e2e::kRate, "s");
      break;
    }
  }

  EXPECT_LT(lowest, 2.5f);
  EXPECT_GE(lowest, 1.0f);
  ASSERT_GE(raised.size(), 3u);
  // Each line shows the gain 1.1 times the one before, ending at 4.
  for (size_t i = 1; i < raised.size(); ++i)
    EXPECT_NEAR(raised[i] / raised[i - 1], 1.1, 0.01) << "line " << i;
  EXPECT_EQ(raised.back(), 4.0);
  EXPECT_EQ(engine.MicBias(), 4.0f);
}

INSTANTIATE_TEST_SUITE_P(Modes, ClippingTest, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Mode" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace orvo
