// The processors under comparison. Each runs the scene block by block as a real-time host
// would; only the time inside the processor's own calls is counted.
#include "bench/evaluate/processors.hpp"

#include <time.h>

#include <algorithm>
#include <cmath>

#include "orvoaec/engine.hpp"

#if ORVO_EVAL_HAVE_SPEEXDSP
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#endif
#if ORVO_EVAL_HAVE_WEBRTC
#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#endif

namespace orvo::eval {

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

namespace {

constexpr size_t kRate = 48000;

// The far-end signal delayed by `samples`, as a host that knows its playback-to-capture delay
// would line the reference up before handing it to a canceller that cannot find it itself.
std::vector<int16_t> Delayed(const std::vector<int16_t>& x, size_t samples) {
  std::vector<int16_t> y(x.size(), 0);
  for (size_t i = samples; i < x.size(); ++i)
    y[i] = x[i - samples];
  return y;
}

// This library through its C++ engine, default settings (echo canceller, post filter, AGC and
// the neural noise suppressor on), 20 ms frames; both microphones with mode 3 when the scene has
// two, and no delay hint: the engine tracks the delay itself.
class OrvoProcessor : public Processor {
 public:
  std::string Name() const override { return "ORVOAEC"; }
  std::string Setup() const override {
    return "orvo::Engine with default settings, 20 ms frames (960 samples) at 48 kHz; both "
           "microphones (mode 3) in the two-microphone scene; no delay hint (it estimates the "
           "delay itself)";
  }
  Run Process(const Scene& scene) override {
    constexpr size_t kFrame = Engine::kFrameSamples;
    Engine engine([](std::string_view) {});
    const bool two = scene.mics.size() > 1;
    const size_t frames = scene.far.size() / kFrame;
    Run run;
    run.out.assign(scene.far.size(), 0);
    std::vector<int16_t> mic(kFrame * 2);
    for (size_t f = 0; f < frames; ++f) {
      const size_t at = f * kFrame;
      if (two) {
        for (size_t i = 0; i < kFrame; ++i) {
          mic[2 * i] = scene.mics[0][at + i];
          mic[2 * i + 1] = scene.mics[1][at + i];
        }
      } else {
        std::copy_n(&scene.mics[0][at], kFrame, mic.begin());
      }
      const double t0 = ThreadCpuSeconds();
      engine.Process(mic.data(), &scene.far[at], &run.out[at], false, two ? 3 : 1, 1);
      run.cpuSeconds += ThreadCpuSeconds() - t0;
    }
    return run;
  }
};

#if ORVO_EVAL_HAVE_SPEEXDSP
// SpeexDSP: the MDF echo canceller followed by the preprocessor (noise suppression and residual
// echo suppression linked to the echo state), 10 ms blocks at 48 kHz, a 200 ms filter: of the
// lengths tried (100, 200, 250 and 400 ms) the one with the most echo attenuation over the
// scenes (longer filters converge more slowly). Speex has no delay estimation, so the far end is
// lined up with the known bulk delay less 10 ms of margin, as a host would from its audio device
// latency.
class SpeexProcessor : public Processor {
 public:
  static constexpr int kBlock = 480;
  static constexpr int kFilter = 9600;
  std::string Name() const override { return "SpeexDSP"; }
  std::string Setup() const override {
    return "speex_echo_state_init(480, 9600) (10 ms blocks, 200 ms filter: the best of 100, 200, "
           "250 and 400 ms over these scenes) at 48 kHz + "
           "speex_preprocess with its echo state (denoise and residual echo suppression at "
           "their defaults, AGC off); far end pre-delayed by the scene's bulk delay - 10 ms; "
           "microphone 0 only";
  }
  Run Process(const Scene& scene) override {
    SpeexEchoState* echo = speex_echo_state_init(kBlock, kFilter);
    SpeexPreprocessState* pre = speex_preprocess_state_init(kBlock, kRate);
    int rate = kRate;
    speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
    const double hintMs = std::max(0.0, scene.bulkDelayMs - 10.0);
    const std::vector<int16_t> far =
        Delayed(scene.far, static_cast<size_t>(hintMs * kRate / 1000.0));
    Run run;
    run.out.assign(scene.far.size(), 0);
    for (size_t at = 0; at + kBlock <= far.size(); at += kBlock) {
      const double t0 = ThreadCpuSeconds();
      speex_echo_cancellation(echo, &scene.mics[0][at], &far[at], &run.out[at]);
      speex_preprocess_run(pre, &run.out[at]);
      run.cpuSeconds += ThreadCpuSeconds() - t0;
    }
    speex_preprocess_state_destroy(pre);
    speex_echo_state_destroy(echo);
    return run;
  }
};
#endif

#if ORVO_EVAL_HAVE_WEBRTC
// webrtc-audio-processing 0.3: AudioProcessing with the full echo canceller (extended filter,
// the setting recommended for desktop use) and noise suppression, 10 ms chunks at 48 kHz
// through its band split, told the known bulk delay every chunk through set_stream_delay_ms.
// Its optional high-pass filter stays off: the scenes hold no low-frequency rumble for it to
// remove, and its phase shift near the speech fundamentals would cost it about 4 dB of
// near-end signal-to-distortion without improving anything audible.
class WebRtcProcessor : public Processor {
 public:
  std::string Name() const override { return "webrtc-audio-processing"; }
  std::string Setup() const override {
    return "webrtc::AudioProcessing 0.3, 10 ms chunks at 48 kHz (float interface), "
           "EchoCancellation with ExtendedFilter, suppression level moderate (its default), "
           "NoiseSuppression moderate, high-pass filter and gain control off; "
           "set_stream_delay_ms(scene's bulk delay) every chunk; microphone 0 only";
  }
  Run Process(const Scene& scene) override {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    const webrtc::StreamConfig stream(kRate, 1, false);
    webrtc::ProcessingConfig processing = {{stream, stream, stream, stream}};
    apm->Initialize(processing);
    apm->high_pass_filter()->Enable(false);
    apm->echo_cancellation()->Enable(true);
    apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression);
    apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate);
    apm->noise_suppression()->Enable(true);
    apm->gain_control()->Enable(false);
    constexpr size_t kChunk = kRate / 100;
    std::vector<float> far(kChunk), mic(kChunk), out(kChunk), farOut(kChunk);
    Run run;
    run.out.assign(scene.far.size(), 0);
    for (size_t at = 0; at + kChunk <= scene.far.size(); at += kChunk) {
      for (size_t i = 0; i < kChunk; ++i) {
        far[i] = scene.far[at + i] / 32768.0f;
        mic[i] = scene.mics[0][at + i] / 32768.0f;
      }
      const float* farIn[1] = {far.data()};
      float* farDest[1] = {farOut.data()};
      const float* micIn[1] = {mic.data()};
      float* micDest[1] = {out.data()};
      const double t0 = ThreadCpuSeconds();
      apm->ProcessReverseStream(farIn, stream, stream, farDest);
      apm->set_stream_delay_ms(static_cast<int>(scene.bulkDelayMs));
      apm->ProcessStream(micIn, stream, stream, micDest);
      run.cpuSeconds += ThreadCpuSeconds() - t0;
      for (size_t i = 0; i < kChunk; ++i) {
        const float v = std::round(out[i] * 32768.0f);
        run.out[at + i] = static_cast<int16_t>(std::clamp(v, -32768.0f, 32767.0f));
      }
    }
    return run;
  }
};
#endif

}  // namespace

std::vector<std::unique_ptr<Processor>> MakeProcessors() {
  std::vector<std::unique_ptr<Processor>> list;
  list.push_back(std::make_unique<OrvoProcessor>());
#if ORVO_EVAL_HAVE_SPEEXDSP
  list.push_back(std::make_unique<SpeexProcessor>());
#endif
#if ORVO_EVAL_HAVE_WEBRTC
  list.push_back(std::make_unique<WebRtcProcessor>());
#endif
  return list;
}

}  // namespace orvo::eval
