// The far end arriving late for a while (its echo reaches the microphone 100 to 600 ms before
// the reference does), then aligned again, compared with a twin engine that was aligned all the
// time. The echo path (delay tracking, echo filter, coupling) must recover within a second. The
// output may stay louder for longer: during the late stretch the echo cannot be cancelled, the
// near-end detector takes it for near-end speech and the AGC learns a gain from it, which it
// holds (as half its smoothed gain) until speech is heard again. With the AGC's and the
// detector's memory taken from the twin, the outputs agree again within a second, which shows
// that nothing else is carried over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "tests/support/scene_runner.hpp"

namespace orvo {
namespace {

namespace sc = scene;
using e2e::kFrame;

constexpr size_t kWarmFrames = 500;   // 10 s aligned
constexpr size_t kLateFrames = 250;   // 5 s late
constexpr size_t kAfterFrames = 500;  // 10 s aligned again
constexpr size_t kWindow = 25;        // 0.5 s

struct Windows {
  std::vector<double> residualDb;  // echo-filter residual, late run minus twin
  std::vector<double> outputDb;    // output level, late run minus twin (windows with sound)
};

// Runs the late run and its twin; with `forgetAgc` the late run takes the AGC's and the
// near-end detector's state from the twin when the reference is aligned again.
Windows RunLate(int lateMs, bool forgetAgc) {
  const size_t n = (kWarmFrames + kLateFrames + kAfterFrames) * kFrame;
  const std::vector<float> far = sc::SpeechLike(n, 8000.0f, 5);
  const std::vector<int16_t> mic = sc::ToPcm(sc::Add(
      sc::Convolve(far, sc::RoomResponse(0.01, 0.15, 0.3f, 23)), sc::WhiteNoise(n, 30.0f, 9)));
  const std::vector<int16_t> ref = sc::ToPcm(far);
  std::vector<int16_t> late = ref;
  const size_t begin = kWarmFrames * kFrame, end = (kWarmFrames + kLateFrames) * kFrame;
  const size_t shift = static_cast<size_t>(lateMs) * 48;
  for (size_t i = begin; i < end; ++i)
    late[i] = ref[i - shift];

  Engine engine([](std::string_view) {}), twin([](std::string_view) {});
  std::vector<int16_t> out(kFrame), twinOut(kFrame);
  Windows w;
  double res = 0, twinRes = 0, level = 0, twinLevel = 0;
  for (size_t f = 0; f < n / kFrame; ++f) {
    if (forgetAgc && f == kWarmFrames + kLateFrames) {
      AudioCore& c = *orvo::internal::StateOf(engine).hRoomPro;
      const AudioCore& t = *orvo::internal::StateOf(twin).hRoomPro;
      c.agc = t.agc;
      c.agcGain = t.agcGain;
      c.speechFlag = t.speechFlag;
      std::copy(std::begin(t.nearEnd), std::end(t.nearEnd), std::begin(c.nearEnd));
      orvo::internal::StateOf(engine).proc->agcSmoothedGain =
          orvo::internal::StateOf(twin).proc->agcSmoothedGain;
    }
    engine.Process(&mic[f * kFrame], &late[f * kFrame], out.data(), false, 1, 0);
    twin.Process(&mic[f * kFrame], &ref[f * kFrame], twinOut.data(), false, 1, 0);
    res += orvo::internal::StateOf(engine).hRoomPro->aec.residualTotal[0];
    twinRes += orvo::internal::StateOf(twin).hRoomPro->aec.residualTotal[0];
    level += sc::Power(out, 0, kFrame);
    twinLevel += sc::Power(twinOut, 0, kFrame);
    if (f >= kWarmFrames + kLateFrames) {
      // After the late stretch the delay tracking is where the twin's is.
      EXPECT_EQ(orvo::internal::StateOf(engine).proc->pipeline.refDelayFrames,
                orvo::internal::StateOf(twin).proc->pipeline.refDelayFrames)
          << "frame " << f;
    }
    if ((f + 1) % kWindow == 0) {
      if (f >= kWarmFrames + kLateFrames) {
        w.residualDb.push_back(e2e::Db((res + 1.0) / (twinRes + 1.0)));
        // Windows where neither output carries sound do not count.
        w.outputDb.push_back(
            level + twinLevel > kWindow * 10.0 ? e2e::Db((level + 1.0) / (twinLevel + 1.0)) : 0.0);
      }
      res = twinRes = level = twinLevel = 0;
    }
  }
  return w;
}

// Seconds after realignment until the difference stays within the tolerance (or, for a leak,
// stays below it).
double SettledAfter(const std::vector<double>& db, double tolerance, bool onlyAbove = false) {
  double last = 0.0;
  for (size_t i = 0; i < db.size(); ++i)
    if ((onlyAbove ? db[i] : std::fabs(db[i])) > tolerance)
      last = static_cast<double>(i + 1) * kWindow * 0.02;
  return last;
}

TEST(LateFarEnd, EchoPathRecoversWithinASecondAndOnlyTheAgcRemembers) {
  for (int lateMs : {100, 200, 600}) {
    SCOPED_TRACE(lateMs);
    const Windows plain = RunLate(lateMs, false);
    const double residual = SettledAfter(plain.residualDb, 5.0);
    EXPECT_LE(residual, 1.0);
    const double leak = *std::max_element(plain.outputDb.begin(), plain.outputDb.end());
    const double leakFor = SettledAfter(plain.outputDb, 6.0, true);
    const Windows forgetting = RunLate(lateMs, true);

    const double withTwinsAgc = SettledAfter(forgetting.outputDb, 6.0, true);
    EXPECT_LE(withTwinsAgc, 1.0);
    const std::string tag = " (" + std::to_string(lateMs) + " ms late)";
    e2e::Report("echo-filter residual within 5 dB after" + tag, residual, "s");
    e2e::Report("output above the aligned run, worst 0.5 s" + tag, leak, "dB");
    e2e::Report("output more than 6 dB above it until" + tag, leakFor, "s");
    e2e::Report("the same with the twin's AGC memory" + tag, withTwinsAgc, "s");
  }
}

}  // namespace
}  // namespace orvo
