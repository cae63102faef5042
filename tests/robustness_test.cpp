// A hostile but realistic caller: null buffers at the entries, a frame counter run to its end,
// and the whisper-quiet signals that make the pitch analysis's prediction step divide by zero.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "denoise/pitch_analysis.hpp"
#include "orvoaec/engine.hpp"
#include "orvoaec/orvoaec.h"
#include "tests/support/log_capture.hpp"

namespace orvo {
namespace {

// --- linear prediction on (nearly) silent input ------------------------------------------------

// The recursion exactly as written, with its only early exit on the relative error bound.
void LpcAsWritten(float* lpc, const float* ac, int p) {
  float error = ac[0];
  for (int i = 0; i < p; ++i)
    lpc[i] = 0.0f;
  if (ac[0] == 0.0f) return;
  for (int i = 0; i < p; ++i) {
    float rr = 0.0f;
    for (int j = 0; j < i; ++j)
      rr += lpc[j] * ac[i - j];
    rr += ac[i + 1];
    if (error == 0.0f) {  // the division below gives an infinity or a NaN
      for (int j = 0; j < p; ++j)
        lpc[j] = NAN;
      return;
    }
    const float r = -rr / error;
    lpc[i] = r;
    for (int j = 0; j < (i + 1) >> 1; ++j) {
      const float u = lpc[j], v = lpc[i - 1 - j];
      lpc[j] = u + r * v;
      lpc[i - 1 - j] = v + r * u;
    }
    error = error - r * r * error;
    if (error < 0.001f * ac[0]) break;
  }
}

// The autocorrelation of a down-sampled signal scaled to the given level, with the lag window
// the pitch analysis applies.
void WindowedAutocorr(const std::vector<float>& x, float scale, float* ac) {
  for (int l = 0; l <= 4; ++l) {
    float s = 0.0f;
    for (size_t i = 0; i + static_cast<size_t>(l) < x.size(); ++i)
      s += (x[i] * scale) * (x[i + l] * scale);
    ac[l] = s;
  }
  ac[0] *= 1.0001f;
  for (int i = 1; i <= 4; ++i)
    ac[i] -= ac[i] * (0.008f * i) * (0.008f * i);
}

TEST(LinearPrediction, DenormalAutocorrelationGivesFiniteCoefficients) {
  // A constant denormal autocorrelation (what a DC-like whisper gives): the first reflection
  // is -1 and the error becomes exactly 0 while the relative bound underflows to 0 too.
  const float tiny[5] = {1e-43f, 1e-43f, 1e-43f, 1e-43f, 1e-43f};
  float lpc[4];
  _celt_lpc(lpc, tiny, 4);
  for (float c : lpc)
    EXPECT_TRUE(std::isfinite(c)) << c;
  EXPECT_EQ(lpc[0], -1.0f);  // the first step is taken as written
  // Far-end-only frames reach the suppressor at around 1e-22: their autocorrelation is denormal.
  std::mt19937 rng(7);
  std::normal_distribution<float> n(0.0f, 1.0f);
  int denormal = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<float> x(864);
    float y = 0.0f;
    for (float& v : x)
      v = y = 0.9f * y + n(rng);  // low-pass: strongly correlated lags
    float ac[5];
    WindowedAutocorr(x, 1e-23f * (1.0f + static_cast<float>(trial % 50)), ac);
    if (ac[0] > 0.0f && ac[0] < 1e-38f) ++denormal;
    _celt_lpc(lpc, ac, 4);
    for (float c : lpc)
      ASSERT_TRUE(std::isfinite(c)) << "trial " << trial << " ac0 " << ac[0];
  }
  EXPECT_GT(denormal, 1900);
}

TEST(LinearPrediction, EqualsTheWrittenRecursionWhereverThatIsFinite) {
  std::mt19937 rng(11);
  std::normal_distribution<float> n(0.0f, 1.0f);
  std::uniform_real_distribution<float> exponent(-48.0f, 12.0f);
  int compared = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<float> x(64 + trial % 200);
    const float a = static_cast<float>(trial % 19) / 20.0f;
    float y = 0.0f;
    for (float& v : x)
      v = y = a * y + n(rng);
    float ac[5];
    WindowedAutocorr(x, std::pow(10.0f, exponent(rng)), ac);
    float mine[4], written[4];
    _celt_lpc(mine, ac, 4);
    LpcAsWritten(written, ac, 4);
    bool finite = true;
    for (float c : written)
      finite = finite && std::isfinite(c);
    if (!finite) continue;
    ++compared;
    for (int i = 0; i < 4; ++i)
      ASSERT_EQ(mine[i], written[i]) << "trial " << trial << " coefficient " << i;
  }
  EXPECT_GT(compared, 15000);
}

// --- the frame counter --------------------------------------------------------------------------

TEST(FrameCounter, StopsAtItsLargestValue) {
  Engine engine([](std::string_view) {});
  std::vector<int16_t> mic(960, 100), ref(960, 50), out(960);
  AudioCore& core = *orvo::internal::StateOf(engine).hRoomPro;
  core.frameCounter = INT_MAX - 1;
  engine.Process(mic.data(), ref.data(), out.data(), false, 1, 0);
  EXPECT_EQ(core.frameCounter, INT_MAX);
  engine.Process(mic.data(), ref.data(), out.data(), false, 1, 0);
  engine.Process(mic.data(), ref.data(), out.data(), false, 1, 0);
  EXPECT_EQ(core.frameCounter, INT_MAX);
}

// --- null buffers at the entries
// ------------------------------------------------------------------

class NullBuffers : public ::testing::Test {
 protected:
  std::string TakeLog() { return std::exchange(log_, {}); }
  std::string log_;
  Engine engine_{testing::AppendTo(log_)};
  std::vector<int16_t> mic_ = std::vector<int16_t>(1920, 1000), ref_ = std::vector<int16_t>(960, 7),
                       out_ = std::vector<int16_t>(960, 1234);
};

TEST_F(NullBuffers, FrameEntryLogsOneLineAndProcessesNothing) {
  engine_.Process(mic_.data(), ref_.data(), out_.data(), false, 1, 0);  // one normal frame
  const AudioCore& core = *orvo::internal::StateOf(engine_).hRoomPro;
  const int frames = core.frameCounter;
  const float micBias = engine_.MicBias();
  TakeLog();
  std::fill(out_.begin(), out_.end(), int16_t{1234});
  for (int mode : {1, 3}) {
    engine_.Process(nullptr, ref_.data(), out_.data(), true, mode, 0);
    EXPECT_EQ(TakeLog(), "OmbrixAudioCore_FrameProcess() FAILED: micPcm is NULL\n");
    engine_.Process(mic_.data(), nullptr, out_.data(), true, mode, 0);
    EXPECT_EQ(TakeLog(), "OmbrixAudioCore_FrameProcess() FAILED: refPcm is NULL\n");
    engine_.Process(mic_.data(), ref_.data(), nullptr, true, mode, 0);
    EXPECT_EQ(TakeLog(), "OmbrixAudioCore_FrameProcess() FAILED: outPcm is NULL\n");
  }
  // Also in the pass-through modes, which read and write the buffers without the pipeline.
  engine_.SetFeature(Feature::kSpkLoopback, 1);
  TakeLog();
  engine_.Process(mic_.data(), nullptr, out_.data(), false, 1, 0);
  EXPECT_EQ(TakeLog(), "OmbrixAudioCore_FrameProcess() FAILED: refPcm is NULL\n");
  EXPECT_EQ(core.frameCounter, frames);
  EXPECT_EQ(engine_.MicBias(), micBias);
  EXPECT_EQ(core.tuning.frameFlagBit3, 0);  // the rejected frames' flag was not taken
  EXPECT_EQ(out_, std::vector<int16_t>(960, 1234));
}

TEST_F(NullBuffers, FarEndStoreLogsOneLineAndStoresNothing) {
  const SpkDataRing& ring = *orvo::internal::StateOf(engine_).hRoomPro->pCompen;
  TakeLog();
  engine_.AddFarEnd(nullptr);
  EXPECT_EQ(TakeLog(), "AudioCore_Add_SpkData() FAILED: farEnd is NULL\n");
  EXPECT_EQ(ring.writeIndex, 1920);
}

// The same through the shared library's C exports (their log goes to standard output).
TEST(NullBuffersExports, ProcessAndAddDataLogOneLineAndDoNothing) {
  void* lib = ::dlopen(ORVO_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  auto create = reinterpret_cast<decltype(&ORVOAEC_Create)>(::dlsym(lib, "ORVOAEC_Create"));
  auto process = reinterpret_cast<decltype(&ORVOAEC_Process)>(::dlsym(lib, "ORVOAEC_Process"));
  auto addData = reinterpret_cast<decltype(&ORVOAEC_AddData)>(::dlsym(lib, "ORVOAEC_AddData"));
  ASSERT_TRUE(create && process && addData);
  std::vector<short> mic(1920, 1000), ref(960, 7), out(960, 1234);
  ::testing::internal::CaptureStdout();
  ASSERT_NE(create(), nullptr);
  ::testing::internal::GetCapturedStdout();
  const std::pair<std::string, std::function<int()>> calls[] = {
      {"OmbrixAudioCore_FrameProcess() FAILED: micPcm is NULL\n",
       [&] { return process(nullptr, ref.data(), out.data(), 1, 3, 0); }},
      {"OmbrixAudioCore_FrameProcess() FAILED: refPcm is NULL\n",
       [&] { return process(mic.data(), nullptr, out.data(), 1, 1, 0); }},
      {"OmbrixAudioCore_FrameProcess() FAILED: outPcm is NULL\n",
       [&] { return process(mic.data(), ref.data(), nullptr, 1, 1, 0); }},
      {"AudioCore_Add_SpkData() FAILED: farEnd is NULL\n", [&] { return addData(nullptr); }},
  };
  for (const auto& [expected, call] : calls) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(call(), 0);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
  }
  EXPECT_EQ(out, std::vector<short>(960, 1234));
  ::dlclose(lib);
}

}  // namespace
}  // namespace orvo
