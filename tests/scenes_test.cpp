// The whole engine on generated scenes with the default settings, frame by frame through
// Engine::Process as ORVOAEC_Process drives it, for one microphone (mode 1, input gain 4) and a
// microphone pair (mode 3, gain 4 on the second channel). Conversation, 12 s: far end alone,
// double talk, near end alone, 4 s each; the far end reaches each microphone through its own
// room, both hear the talker, light noise is added; a control run without the talker shows what
// leaks of the echo. Clipping, 10 s, silent far end: a talker that clips after the gain for 2 s,
// then the same talker at a normal level. Run with the figures visible: build/tests/scenes_test
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scene_runner.hpp"
#include "tests/support/scenes.hpp"

namespace orvo {
namespace {

using e2e::At;
using e2e::Db;

// Db(num / den), with exact silence in the denominator as an infinite figure (computed without
// dividing by zero, which the sanitizer builds trap).
double DbRatio(double num, double den) {
  if (den == 0.0) return num > 0.0 ? INFINITY : 0.0;
  return Db(num / den);
}

// Far-end speech peaking near -12 dBFS; the echo path loses 10 dB; the talker peaks near
// -20 dBFS at the first microphone and 2 dB lower at the second; noise at -70 dBFS.
constexpr float kFarLevel = 4000.0f, kEchoGain = 0.3f, kNearLevel = 1500.0f;
constexpr float kSecondMicNear = 0.8f, kNoiseRms = 10.0f;
constexpr double kFullScale = 32768.0 * 32768.0;

// Measured stretches in seconds, with margins: the output lags the input by the filter bank
// (three frames) and the far end counts as talking for 21 frames after it stops.
struct Stretch {
  double from, to;
};
constexpr Stretch kFarOnly{2.0, 3.9};     // far end alone, echo filter adapted for 2 s
constexpr Stretch kDoubleTalk{4.2, 7.9};  // both talking
constexpr Stretch kNearOnly{8.6, 11.9};   // far end silent, its hangover over

size_t FrameAt(double t) {
  return At(t) / e2e::kFrame;
}
// The frames of a stretch.
std::vector<size_t> Frames(Stretch s) {
  std::vector<size_t> list(FrameAt(s.to) - FrameAt(s.from));
  std::iota(list.begin(), list.end(), FrameAt(s.from));
  return list;
}
double Power(const std::vector<int16_t>& x, Stretch s) {
  return scene::Power(x, At(s.from), At(s.to));
}

struct FrameProbe {
  int talkState, speechFlag, bestMic;
  bool doubleTalk;
  float agcGain, micBias;
  double echoBefore = 0.0, echoAfter = 0.0;  // chosen microphone before and after the filter
};

// The first microphone alone, or both interleaved for mode 3.
std::vector<int16_t> Microphones(const std::vector<float>& a, const std::vector<float>& b,
                                 int mode) {
  const std::vector<int16_t> pa = scene::ToPcm(a), pb = scene::ToPcm(b);
  if (mode != 3) return pa;
  std::vector<int16_t> both(2 * pa.size());
  for (size_t i = 0; i < pa.size(); ++i) {
    both[2 * i] = pa[i];
    both[2 * i + 1] = pb[i];
  }
  return both;
}

class Scenes : public ::testing::TestWithParam<int> {
 protected:
  void Figure(const std::string& name, double value, const char* unit = "") {
    e2e::Report("mode" + std::to_string(GetParam()) + "." + name, value, unit);
  }
};

TEST_P(Scenes, ConversationEchoRemovedDoubleTalkReportedTalkerPasses) {
  const int mode = GetParam();
  const size_t n = At(12.0);
  std::vector<float> far = scene::SpeechLike(n, kFarLevel, 11);
  std::fill(far.begin() + static_cast<std::ptrdiff_t>(At(8.0)), far.end(), 0.0f);
  std::vector<float> near = scene::SpeechLike(n, kNearLevel, 22), nearSecond(n);
  std::fill(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(At(4.0)), 0.0f);
  std::transform(near.begin(), near.end(), nearSecond.begin(),
                 [](float v) { return v * kSecondMicNear; });
  const std::vector<float> bed0 =
      scene::Add(scene::Convolve(far, scene::RoomResponse(0.030, 0.150, kEchoGain, 3)),
                 scene::WhiteNoise(n, kNoiseRms, 5));
  const std::vector<float> bed1 =
      scene::Add(scene::Convolve(far, scene::RoomResponse(0.032, 0.150, kEchoGain, 4)),
                 scene::WhiteNoise(n, kNoiseRms, 6));
  const std::vector<int16_t> farPcm = scene::ToPcm(far),
                             mic0 = scene::ToPcm(scene::Add(bed0, near));
  const auto quiet = [](std::string_view) {};
  Engine engine(quiet), controlEngine(quiet);
  std::vector<FrameProbe> frames;
  const EngineState& st = orvo::internal::StateOf(engine);
  auto probe = [&](size_t) {
    const int best = st.proc->pipeline.BestMic;
    const AudioCore& core = *st.hRoomPro;
    FrameProbe& p =
        frames.emplace_back(FrameProbe{st.proc->pipeline.talkState, core.speechFlag, best,
                                       engine.IsDoubleTalk(), core.agcGain, engine.MicBias()});
    for (int g = 0; g < kNumGroups; ++g) {
      p.echoBefore += core.aec.micGroupPower[best][g];
      p.echoAfter += core.aec.residualGroupPower[best][g];
    }
  };
  const std::vector<int16_t> out =
      e2e::RunScene(engine, Microphones(scene::Add(bed0, near), scene::Add(bed1, nearSecond), mode),
                    farPcm, mode, probe);
  const std::vector<int16_t> control =
      e2e::RunScene(controlEngine, Microphones(bed0, bed1, mode), farPcm, mode);
  // Frames of a stretch in which the talker is active: within 20 dB of its loudest frame.
  auto talkerFrames = [&](Stretch s) {
    std::vector<double> power;
    for (size_t f = FrameAt(s.from); f < FrameAt(s.to); ++f)
      power.push_back(scene::Power(near, f * e2e::kFrame, (f + 1) * e2e::kFrame));
    const double loudest = *std::max_element(power.begin(), power.end());
    std::vector<size_t> active;
    for (size_t i = 0; i < power.size(); ++i)
      if (power[i] >= 0.01 * loudest) active.push_back(FrameAt(s.from) + i);
    return active;
  };

  // Sum of a per-frame value over a list of frames.
  auto sum = [&](const std::vector<size_t>& list, auto value) {
    double total = 0.0;
    for (size_t f : list)
      total += value(frames[f]);
    return total;
  };
  auto doubleTalk = [](const FrameProbe& f) { return f.doubleTalk ? 1.0 : 0.0; };

  // Far end alone: nearly silent once converged; the infinite figures mean exact silence.
  const double micPower = Power(mic0, kFarOnly), outFar = Power(out, kFarOnly);
  const double filterAlone = DbRatio(sum(Frames(kFarOnly), [](auto& f) { return f.echoBefore; }),
                                     sum(Frames(kFarOnly), [](auto& f) { return f.echoAfter; }));
  const double farFrames = static_cast<double>(FrameAt(4.0) - FrameAt(0.5));
  const double falseDoubleTalk = sum(Frames({0.5, 4.0}), doubleTalk) / farFrames;
  Figure("far_only.mic_level_dBFS", Db(micPower / kFullScale), "dB");
  Figure("far_only.attenuation_dB", DbRatio(micPower, outFar), "dB");
  Figure("far_only.output_level_dBFS", Db(outFar / kFullScale), "dB");
  Figure("far_only.echo_filter_alone_dB", filterAlone, "dB");
  Figure("far_only.double_talk_share", falseDoubleTalk);
  ASSERT_GT(micPower, 1e4);  // the echo is there to remove
  EXPECT_GT(DbRatio(micPower, outFar), 40.0);
  EXPECT_GT(filterAlone, 6.0);  // the echo filter does its part before the post filter
  EXPECT_EQ(sum(Frames({0.5, 4.0}), [](auto& f) { return f.talkState == 1 ? 1.0 : 0.0; }), 0.0)
      << "the far end must count as talking all through";
  EXPECT_LT(sum(Frames({0.5, 4.0}), doubleTalk), static_cast<int>(farFrames) / 10)
      << "the echo alone is taken for double talk";

  // Double talk: reported in a good share of the talker's frames; what comes out is mostly the
  // talker, not the echo, at a level not far below the talker's alone.
  const std::vector<size_t> talking = talkerFrames(kDoubleTalk);
  ASSERT_GT(talking.size(), 50u);
  const double share = sum(talking, doubleTalk) / static_cast<double>(talking.size());
  const double outBoth = Power(out, kDoubleTalk), outNear = Power(out, kNearOnly);
  const double overEcho =
      DbRatio(outBoth, Power(control, kDoubleTalk));  // infinite: control silent
  Figure("double_talk.share_of_talker_frames", share);
  Figure("double_talk.share_of_all_frames",
         sum(Frames(kDoubleTalk), doubleTalk) /
             static_cast<double>(FrameAt(kDoubleTalk.to) - FrameAt(kDoubleTalk.from)));
  Figure("double_talk.output_over_talker_input_dB",
         Db(outBoth / scene::Power(near, At(kDoubleTalk.from), At(kDoubleTalk.to))), "dB");
  Figure("double_talk.output_with_over_without_talker_dB", overEcho, "dB");
  Figure("double_talk.output_level_dBFS", Db(outBoth / kFullScale), "dB");
  Figure("double_talk.output_over_talker_alone_output_dB", DbRatio(outBoth, outNear), "dB");
  EXPECT_EQ(sum(Frames({0.0, 12.0}), [](auto& f) { return f.micBias != 4.0f ? 1.0 : 0.0; }), 0.0)
      << "the scene clips after the input gain";
  EXPECT_GT(share, 0.25);
  EXPECT_GT(overEcho, 10.0);
  EXPECT_GT(DbRatio(outBoth, outNear), -10.0);

  // Talker alone: it passes lifted by the AGC, far above what the scene gives without it.
  const std::vector<size_t> alone = talkerFrames(kNearOnly);
  ASSERT_GT(alone.size(), 50u);
  const double count = static_cast<double>(alone.size());
  const double speech = sum(alone, [](auto& f) { return f.speechFlag; }) / count;
  const double meanAgc = sum(alone, [](auto& f) { return f.agcGain; }) / count;
  const double through = Db(outNear / scene::Power(near, At(kNearOnly.from), At(kNearOnly.to)));
  const double overControl = DbRatio(outNear, Power(control, kNearOnly));
  Figure("near_only.output_over_talker_input_dB", through, "dB");
  Figure("near_only.output_level_dBFS", Db(outNear / kFullScale), "dB");
  Figure("near_only.output_with_over_without_talker_dB", overControl, "dB");
  Figure("near_only.agc_gain_mean_talker_frames", meanAgc);
  Figure("near_only.agc_gain_final", frames.back().agcGain);
  Figure("near_only.speech_flag_share", speech);
  Figure("near_only.chosen_mic", frames.back().bestMic);
  EXPECT_EQ(sum(Frames(kNearOnly), [](auto& f) { return f.talkState != 1 ? 1.0 : 0.0; }), 0.0);
  EXPECT_GT(speech, 0.5);
  EXPECT_GT(meanAgc, 1.0);
  EXPECT_GT(through, 0.0);
  EXPECT_GT(overControl, 20.0);
}

TEST_P(Scenes, LoudTalkerLowersTheInputGainWhichGrowsBack) {
  // The loud talker peaks near -3 dBFS and clips once multiplied by 1.25; then -28 dBFS.
  const int mode = GetParam();
  const size_t n = At(10.0);
  const std::vector<float> loud = scene::SpeechLike(At(2.0), 12000.0f, 7);
  std::vector<float> near = scene::SpeechLike(n, 600.0f, 8);
  std::copy(loud.begin(), loud.end(), near.begin());
  std::string log;
  Engine engine(testing::AppendTo(log));
  std::vector<float> bias;
  e2e::RunScene(engine,
                Microphones(scene::Add(near, scene::WhiteNoise(n, kNoiseRms, 5)),
                            scene::Add(near, scene::WhiteNoise(n, kNoiseRms, 6)), mode),
                std::vector<int16_t>(n, 0), mode,
                [&](size_t) { bias.push_back(engine.MicBias()); });
  // Every "increase mic bias" line, with its value.
  const std::string_view kLine = "increase mic bias ";
  std::vector<double> raised;
  for (size_t pos = log.find(kLine); pos != std::string::npos; pos = log.find(kLine, pos + 1))
    raised.push_back(std::strtod(log.c_str() + pos + kLine.size(), nullptr));
  const float lowest = std::min(4.0f, *std::min_element(bias.begin(), bias.end()));
  Figure("clipping.lowest_mic_bias", lowest);
  Figure("clipping.mic_bias_after_loud_talker", bias[FrameAt(2.0) - 1]);
  Figure("clipping.increase_lines", static_cast<double>(raised.size()));
  Figure("clipping.final_mic_bias", engine.MicBias());
  const auto rise = std::adjacent_find(bias.begin(), bias.end(), std::less<float>());
  if (rise != bias.end())
    Figure("clipping.first_raise_s",
           static_cast<double>(rise - bias.begin() + 2) * e2e::kFrame / e2e::kRate, "s");
  EXPECT_LT(lowest, 2.5f);
  EXPECT_GE(lowest, 1.0f);
  ASSERT_GE(raised.size(), 3u);
  // Each line shows the gain 1.1 times the one before, ending at 4.
  for (size_t i = 1; i < raised.size(); ++i)
    EXPECT_NEAR(raised[i] / raised[i - 1], 1.1, 0.01) << "line " << i;
  EXPECT_EQ(raised.back(), 4.0);
  EXPECT_EQ(engine.MicBias(), 4.0f);
}

INSTANTIATE_TEST_SUITE_P(Modes, Scenes, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Mode" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace orvo
