// Long run: one engine through cycles of hostile segments with normal conversation between
// them. A twin engine gets the normal conversation in place of every hostile segment; after
// each hostile segment the first engine's output must come back to the twin's level within a
// second, every value carried between frames must stay finite, and memory must not grow.
//
// `make test` runs a shortened run; the full hour (180,000 frames) runs with
//   make soak            (or ORVO_SOAK_FRAMES=180000 build/tests/soak_test)
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "audio_core/finite_check.hpp"
#include "tests/scene_runner.hpp"

namespace orvo {
namespace {

namespace sc = scene;
using e2e::kFrame;

constexpr size_t kHostileFrames = 150;  // 3 s
constexpr size_t kNormalFrames = 250;   // 5 s
constexpr size_t kWindowFrames = 5;     // 100 ms level windows
constexpr int kKinds = 10;
constexpr double kMaxRecoverySeconds = 1.0;
// After a late far end the AGC keeps, as it is meant to, the gain it learnt from the echo it
// could not tell from near-end speech; it settles on the near end's speech within seconds (the
// late-far-end test shows that nothing else is carried over).
constexpr int kLateFarEnd = 8;
constexpr double kMaxRecoveryAfterLateFarEnd = 6.0;
constexpr double kLevelToleranceDb = 6.0;

const char* const kKindNames[kKinds] = {"silence",
                                        "DC",
                                        "full-scale square",
                                        "alternating extremes",
                                        "clipped speech",
                                        "full-scale noise",
                                        "far end without mic",
                                        "mic without far end",
                                        "far end late",
                                        "level jumps"};

size_t FramesFromEnv(size_t shortened) {
  const char* v = std::getenv("ORVO_SOAK_FRAMES");
  if (v == nullptr || *v == '\0') return shortened;
  return static_cast<size_t>(std::strtoull(v, nullptr, 10));
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long PeakKiB() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

struct Segment {
  std::vector<int16_t> mic, far;
};

// The normal conversation: near-end speech over the echo of far-end speech and a little noise.
Segment Normal() {
  const size_t n = kNormalFrames * kFrame;
  const std::vector<float> far = sc::SpeechLike(n, 7000.0f, 21);
  const std::vector<float> near = sc::SpeechLike(n, 5000.0f, 22, 0.3, 0.05);
  const std::vector<float> echo = sc::Convolve(far, sc::RoomResponse(0.01, 0.15, 0.3f, 23));
  return {sc::ToPcm(sc::Add(sc::Add(near, echo), sc::WhiteNoise(n, 30.0f, 24))), sc::ToPcm(far)};
}

// One hostile segment of the given kind; `cycle` varies its details.
Segment Hostile(int kind, size_t cycle) {
  const size_t n = kHostileFrames * kFrame;
  const uint32_t seed = static_cast<uint32_t>(1000 + 17 * cycle + kind);
  Segment s{std::vector<int16_t>(n, 0), std::vector<int16_t>(n, 0)};
  auto speech = [&](float level, uint32_t k) { return sc::SpeechLike(n, level, seed * 7 + k); };
  auto echoOf = [&](const std::vector<float>& far) {
    return sc::Convolve(far, sc::RoomResponse(0.01, 0.15, 0.3f, 23));
  };
  switch (kind) {
    case 0:  // silence
      break;
    case 1:  // DC on both
      std::fill(s.mic.begin(), s.mic.end(), static_cast<int16_t>(cycle % 2 ? 20000 : -20000));
      std::fill(s.far.begin(), s.far.end(), static_cast<int16_t>(cycle % 2 ? -15000 : 15000));
      break;
    case 2:  // full-scale square waves
      for (size_t i = 0; i < n; ++i) {
        s.mic[i] = (i / 55) % 2 ? 32767 : -32768;
        s.far[i] = (i / (40 + cycle % 30)) % 2 ? 32767 : -32768;
      }
      break;
    case 3:  // alternating extremes
      for (size_t i = 0; i < n; ++i)
        s.mic[i] = s.far[i] = i % 2 ? 32767 : -32768;
      break;
    case 4: {  // clipped speech, near and far
      const std::vector<float> far = speech(150000.0f, 1);
      s.far = sc::ToPcm(far);
      s.mic = sc::ToPcm(sc::Add(speech(200000.0f, 2), echoOf(far)));
      break;
    }
    case 5: {  // full-scale noise
      std::mt19937 rng(seed);
      std::uniform_int_distribution<int> d(-32768, 32767);
      for (size_t i = 0; i < n; ++i) {
        s.mic[i] = static_cast<int16_t>(d(rng));
        s.far[i] = static_cast<int16_t>(d(rng));
      }
      break;
    }
    case 6:  // far end talking, microphone dead
      s.far = sc::ToPcm(speech(8000.0f, 3));
      break;
    case 7:  // microphone with echo and speech, no far-end signal
      s.mic = sc::ToPcm(sc::Add(speech(5000.0f, 4), echoOf(speech(8000.0f, 5))));
      break;
    case 8: {  // the far end arrives 100 to 600 ms after its echo
      const std::vector<float> far = speech(8000.0f, 6);
      s.mic = sc::ToPcm(sc::Add(echoOf(far), sc::WhiteNoise(n, 30.0f, seed)));
      const size_t late = (100 + 100 * (cycle % 6)) * 48;
      for (size_t i = late; i < n; ++i)
        s.far[i] = static_cast<int16_t>(std::lround(far[i - late]));
      break;
    }
    case 9: {  // level jumps of +20 dB and -30 dB every half second
      const Segment normal = Normal();
      for (size_t i = 0; i < n; ++i) {
        const float g = (i / 24000) % 2 ? 0.0316f : 10.0f;
        const float m = normal.mic[i] * g, f = normal.far[i] * g;
        s.mic[i] = static_cast<int16_t>(std::clamp(m, -32768.0f, 32767.0f));
        s.far[i] = static_cast<int16_t>(std::clamp(f, -32768.0f, 32767.0f));
      }
      break;
    }
  }
  return s;
}

TEST(Soak, HostileSegmentsRecoverStayFiniteAndKeepMemoryFlat) {
  const size_t total = FramesFromEnv(2 * kKinds * (kHostileFrames + kNormalFrames));  // 160 s
  const Segment normal = Normal();
  Engine engine([](std::string_view) {}), twin([](std::string_view) {});
  std::vector<int16_t> out(kFrame), twinOut(kFrame);
  std::vector<double> recovery(kKinds, 0.0), inputGainDrop(kKinds, 0.0);
  long residentAfterFirstCycle = 0;
  size_t frame = 0, cycle = 0, checks = 0;
  auto step = [&](Engine& e, const int16_t* mic, const int16_t* far, int16_t* o) {
    e.AddFarEnd(far);
    e.Process(mic, far, o, false, 1, 0);
    const char* where = AudioCore_FirstNonFinite(orvo::internal::StateOf(e));
    ++checks;
    ASSERT_EQ(where, nullptr) << "non-finite state in the " << where << " at frame " << frame;
  };
  while (frame < total) {
    for (int kind = 0; kind < kKinds && frame < total; ++kind) {
      const Segment hostile = Hostile(kind, cycle);
      for (size_t f = 0; f < kHostileFrames && frame < total; ++f, ++frame) {
        ASSERT_NO_FATAL_FAILURE(
            step(engine, &hostile.mic[f * kFrame], &hostile.far[f * kFrame], out.data()));
        ASSERT_NO_FATAL_FAILURE(
            step(twin, &normal.mic[f * kFrame], &normal.far[f * kFrame], twinOut.data()));
      }
      // A clipped input lowers the input gain on purpose, and it only grows back while quiet
      // speech needs a high AGC gain: the twin takes the same input gain, so the comparison
      // measures how the rest of the engine recovers.
      inputGainDrop[kind] =
          std::max(inputGainDrop[kind], 20.0 * std::log10(twin.MicBias() / engine.MicBias()));
      orvo::internal::StateOf(twin).proc->micBias = engine.MicBias();
      // Normal conversation; compare 100 ms output levels with the twin's.
      double lastMismatch = 0.0;
      double energy = 0.0, twinEnergy = 0.0, meanDifference = 0.0;
      int speechWindows = 0;
      for (size_t f = 0; f < kNormalFrames && frame < total; ++f, ++frame) {
        const int16_t* mic = &normal.mic[f * kFrame];
        const int16_t* far = &normal.far[f * kFrame];
        ASSERT_NO_FATAL_FAILURE(step(engine, mic, far, out.data()));
        ASSERT_NO_FATAL_FAILURE(step(twin, mic, far, twinOut.data()));
        energy += sc::Power(out, 0, kFrame);
        twinEnergy += sc::Power(twinOut, 0, kFrame);
        if ((f + 1) % kWindowFrames == 0) {
          // Only windows where the twin carries speech (above -50 dBFS) count.
          const double level = e2e::Db(energy / kWindowFrames + 1e-3);
          const double twinLevel = e2e::Db(twinEnergy / kWindowFrames + 1e-3);
          if (twinLevel > 40.0) {
            meanDifference += level - twinLevel;
            ++speechWindows;
          }
          if (twinLevel > 40.0 && std::fabs(level - twinLevel) > kLevelToleranceDb)
            lastMismatch = static_cast<double>(f + 1) * kFrame / sc::kRate;
          energy = twinEnergy = 0.0;
        }
      }
      if (std::getenv("ORVO_SOAK_VERBOSE"))
        std::printf(
            "%-22s micBias %.3f/%.3f agc %.2f/%.2f erle %.1f/%.1f floor %.1f/%.1f mismatch until "
            "%.2f s, mean difference %.1f dB\n",
            kKindNames[kind], engine.MicBias(), twin.MicBias(),
            orvo::internal::StateOf(engine).hRoomPro->agcGain,
            orvo::internal::StateOf(twin).hRoomPro->agcGain,
            orvo::internal::StateOf(engine).proc->pipeline.echoReturn.erleDb,
            orvo::internal::StateOf(twin).proc->pipeline.echoReturn.erleDb,
            orvo::internal::StateOf(engine).hRoomPro->postFilter[2].floorGain,
            orvo::internal::StateOf(twin).hRoomPro->postFilter[2].floorGain, lastMismatch,
            speechWindows > 0 ? meanDifference / speechWindows : 0.0);
      recovery[kind] = std::max(recovery[kind], lastMismatch);
      EXPECT_LE(lastMismatch,
                kind == kLateFarEnd ? kMaxRecoveryAfterLateFarEnd : kMaxRecoverySeconds)
          << "after " << kKindNames[kind] << " in cycle " << cycle;
    }
    if (cycle == 0) residentAfterFirstCycle = ResidentKiB();
    ++cycle;
  }
  const long resident = ResidentKiB();
  const double hours = static_cast<double>(frame) * kFrame / sc::kRate / 3600.0;
  e2e::Report("soak audio through one engine", hours, "h");
  e2e::Report("soak frames", static_cast<double>(frame), "frames");
  e2e::Report("finite-state checks", static_cast<double>(checks), "checks");
  for (int k = 0; k < kKinds; ++k) {
    e2e::Report(std::string("recovery after ") + kKindNames[k], recovery[k], "s");
    e2e::Report(std::string("input gain lowered by ") + kKindNames[k], inputGainDrop[k], "dB");
  }
  e2e::Report("resident memory after the first cycle", residentAfterFirstCycle / 1024.0, "MiB");
  e2e::Report("resident memory at the end", resident / 1024.0, "MiB");
  e2e::Report("peak resident memory", PeakKiB() / 1024.0, "MiB");
  if (cycle > 1) {
    EXPECT_LE(resident, residentAfterFirstCycle + 512) << "KiB";
  }
}

}  // namespace
}  // namespace orvo
