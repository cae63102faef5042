// Echo cancellation end to end through the C++ interface: a white-noise far end at -20 dBFS, the
// microphone hearing it through a room (a bulk delay and a response decaying by 60 dB over
// 150 ms), no near end and no noise. The post filter and the neural suppressor are off, so the
// output shows what the adaptive echo filter and the far-end alignment remove. The attenuation
// is the output power with the echo canceller off over the output power with it on, for the
// same input.
//
// Process mode 0 is used: it describes the same single microphone as mode 1 but applies no
// input gain. Mode 1 multiplies the microphone by 4 and clips at +-30000, and a Gaussian echo
// at -26 dBFS reaches that after the gain; the attenuation itself does not depend on the gain.
//
// Run with the figures visible:  build/tests/echo_convergence_test
#include <gtest/gtest.h>

#include <algorithm>
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

constexpr int kMode = 0;
constexpr float kFarRms = 3276.7f;  // -20 dBFS
constexpr float kEchoGain = 0.5f;   // the echo comes 6 dB below the far end
constexpr double kPathDelay = 0.030;
constexpr double kDecay = 0.150;
constexpr double kBulkDelay = 0.150;
constexpr double kSeconds = 5.0;
constexpr double kMeasureFrom = 4.5;  // the attenuation after 5 s: mean over 4.5 s to 5 s
constexpr double kWindow = 0.1;       // windows of the frame-wise attenuation
constexpr double kTarget = 20.0;      // dB
// The echo filter runs 13- and 8-frame filters up to bin 279 (6975 Hz) and 4-frame filters from
// bin 280 to bin 480 (12 kHz); the output carries nothing above 12 kHz.
constexpr double kLowMidTop = 7000.0;
constexpr double kOutputTop = 12000.0;

struct EchoRun {
  std::vector<int16_t> mic;
  std::vector<int16_t> on;          // output, echo canceller on
  std::vector<int16_t> off;         // output, echo canceller off
  std::vector<float> lockedDelay;   // per frame, the delay estimator's lock
  std::vector<int> refDelayFrames;  // per frame, the reference delay applied from the next frame
};

EchoRun RunEchoScene(double bulkDelay) {
  const size_t n = At(kSeconds);
  const std::vector<float> far = scene::WhiteNoise(n, kFarRms, 1);
  const std::vector<float> room = scene::RoomResponse(kPathDelay + bulkDelay, kDecay, kEchoGain, 2);
  EchoRun r;
  r.mic = scene::ToPcm(scene::Convolve(far, room));
  const std::vector<int16_t> farPcm = scene::ToPcm(far);

  const auto quiet = [](std::string_view) {};
  Engine on(quiet), off(quiet);
  for (Engine* e : {&on, &off}) {
    e->SetFeature(Feature::kPostFilter, 0);
    e->SetDenoiseMode(0);
  }
  off.SetFeature(Feature::kEchoCanceler, 0);
  const ProcessState& proc = *on.InternalState().proc;
  r.on = e2e::RunScene(on, r.mic, farPcm, kMode, [&](size_t) {
    r.lockedDelay.push_back(proc.estimator.lockedDelay);
    r.refDelayFrames.push_back(proc.pipeline.refDelayFrames);
  });
  r.off = e2e::RunScene(off, r.mic, farPcm, kMode);
  return r;
}

// Attenuation over [t0, t1) seconds, whole band or between f0 and f1 Hz.
double Attenuation(const EchoRun& r, double t0, double t1) {
  return e2e::Db(scene::Power(r.off, At(t0), At(t1)) / scene::Power(r.on, At(t0), At(t1)));
}
double Attenuation(const EchoRun& r, double t0, double t1, double f0, double f1) {
  return e2e::Db(e2e::BandPower(r.off, At(t0), At(t1), f0, f1) /
                 e2e::BandPower(r.on, At(t0), At(t1), f0, f1));
}

// End time of the first 100 ms window from `from` whose attenuation reaches `target`; -1 when
// none does. With f1 > 0 the attenuation is taken between f0 and f1 Hz.
double TimeToReach(const EchoRun& r, double target, double from, double f0 = 0.0, double f1 = 0.0) {
  for (double t = from; t + kWindow <= kSeconds + 1e-9; t += kWindow) {
    const double a =
        f1 > 0.0 ? Attenuation(r, t, t + kWindow, f0, f1) : Attenuation(r, t, t + kWindow);
    if (a >= target) return t + kWindow;
  }
  return -1.0;
}

// Seconds from the start to the end of the first frame whose locked delay is not 0; -1 when the
// estimator never locks.
double FirstLockTime(const EchoRun& r) {
  for (size_t f = 0; f < r.lockedDelay.size(); ++f)
    if (r.lockedDelay[f] != 0.0f) return static_cast<double>(f + 1) * e2e::kFrame / e2e::kRate;
  return -1.0;
}

// The scene is valid only if nothing saturates on the way in, and the comparison means something
// only if the echo reaches the output with the canceller off.
void CheckScene(const EchoRun& r) {
  const auto [lo, hi] = std::minmax_element(r.mic.begin(), r.mic.end());
  EXPECT_GT(*lo, -30000);
  EXPECT_LT(*hi, 30000);
  const double micPower = scene::Power(r.mic, At(kMeasureFrom), At(kSeconds));
  EXPECT_GT(scene::Power(r.off, At(kMeasureFrom), At(kSeconds)), 0.25 * micPower);
}

TEST(EchoConvergence, ThirtyMillisecondPathExceedsTwentyDbAfterFiveSeconds) {
  const EchoRun r = RunEchoScene(0.0);
  CheckScene(r);

  const double full = Attenuation(r, kMeasureFrom, kSeconds);
  const double lowMid = Attenuation(r, kMeasureFrom, kSeconds, 0.0, kLowMidTop);
  const double high = Attenuation(r, kMeasureFrom, kSeconds, kLowMidTop, kOutputTop);
  const double reach = TimeToReach(r, kTarget, 0.0);
  Report("path30ms.attenuation_4.5-5s_dB", full, "dB");
  Report("path30ms.attenuation_below_7kHz_dB", lowMid, "dB");
  Report("path30ms.attenuation_7-12kHz_dB", high, "dB");
  Report("path30ms.time_to_20dB_s", reach, "s");
  Report("path30ms.lock_time_s", FirstLockTime(r), "s");
  Report("path30ms.locked_delay_frames", r.lockedDelay.back(), "frames");
  Report("path30ms.ref_delay_frames", r.refDelayFrames.back(), "frames");

  EXPECT_GT(full, kTarget);
  EXPECT_GT(lowMid, kTarget);
  // The high band's four frames reach 50 ms into this room's response.
  EXPECT_GT(high, 10.0);
  EXPECT_GT(reach, 0.0) << "no 100 ms window reached " << kTarget << " dB";
  // The echo starts 1.5 frames after the far end: the reference is never delayed past that.
  EXPECT_LE(*std::max_element(r.refDelayFrames.begin(), r.refDelayFrames.end()), 1);
}

TEST(EchoConvergence, BulkDelayIsFoundAndCancelledOnceLocked) {
  // 150 ms more: the echo starts 180 ms (nine frames) after the far end.
  const EchoRun r = RunEchoScene(kBulkDelay);
  CheckScene(r);

  // The lock: the first frame in which the pipeline moves its reference delay.
  const auto moved =
      std::find_if(r.refDelayFrames.begin(), r.refDelayFrames.end(), [](int d) { return d > 0; });
  ASSERT_NE(moved, r.refDelayFrames.end()) << "the delay estimator never locked";
  const size_t lockFrame = static_cast<size_t>(moved - r.refDelayFrames.begin());
  const double lockTime = static_cast<double>(lockFrame + 1) * e2e::kFrame / e2e::kRate;
  Report("bulk180ms.lock_time_s", FirstLockTime(r), "s");
  Report("bulk180ms.ref_delay_moved_s", lockTime, "s");
  Report("bulk180ms.locked_delay_at_lock_frames", r.lockedDelay[lockFrame], "frames");
  Report("bulk180ms.locked_delay_final_frames", r.lockedDelay.back(), "frames");
  Report("bulk180ms.ref_delay_final_frames", r.refDelayFrames.back(), "frames");
  EXPECT_LT(lockTime, 2.5);
  // The delayed reference must not run past the echo's start (frame 9), and must stay close
  // enough that even the 4-frame high band still sees it.
  for (size_t f = lockFrame; f < r.refDelayFrames.size(); ++f) {
    ASSERT_GE(r.refDelayFrames[f], 6) << "frame " << f;
    ASSERT_LE(r.refDelayFrames[f], 9) << "frame " << f;
  }

  const double full = Attenuation(r, kMeasureFrom, kSeconds);
  const double lowMid = Attenuation(r, kMeasureFrom, kSeconds, 0.0, kLowMidTop);
  const double high = Attenuation(r, kMeasureFrom, kSeconds, kLowMidTop, kOutputTop);
  const double reach = TimeToReach(r, kTarget, lockTime, 0.0, kLowMidTop);
  Report("bulk180ms.attenuation_4.5-5s_dB", full, "dB");
  Report("bulk180ms.attenuation_below_7kHz_dB", lowMid, "dB");
  Report("bulk180ms.attenuation_7-12kHz_dB", high, "dB");
  Report("bulk180ms.time_to_20dB_below_7kHz_s", reach, "s");

  EXPECT_GT(lowMid, kTarget);
  EXPECT_GT(reach, 0.0) << "no 100 ms window below 7 kHz reached " << kTarget << " dB";
  // Above 7 kHz the filters span four frames from the reference delay, which the pipeline keeps
  // two to three frames short of the locked delay: they reach only the first 20 ms of this
  // room's 150 ms response, whose later part holds about 16% of its energy and stays. The
  // whole-band figure is therefore reported, not held to 20 dB; the high band must still
  // remove the echo's start.
  EXPECT_GT(high, 3.0);
}

}  // namespace
}  // namespace orvo
