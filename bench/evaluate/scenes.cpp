// Scene generation for the evaluation. Deterministic for a given speech source.
#include "bench/evaluate/scenes.hpp"

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tools/scene.hpp"

#if ORVO_EVAL_HAVE_SPEECH_IO
#include <sndfile.h>
#include <soxr.h>
#endif

namespace orvo::eval {

namespace {

constexpr size_t kRate = scene::kRate;

size_t At(double seconds) {
  return static_cast<size_t>(seconds * static_cast<double>(kRate));
}

// Scales x to the given RMS level over its active part (samples above -50 dB of the peak), so
// pauses do not dilute the level.
void ScaleToActiveRms(std::vector<float>& x, double rms) {
  float peak = 0.0f;
  for (float v : x)
    peak = std::max(peak, std::fabs(v));
  double acc = 0.0;
  size_t n = 0;
  for (float v : x) {
    if (std::fabs(v) > peak * 0.003f) acc += double(v) * v, ++n;
  }
  if (n == 0) return;
  const double g = rms / std::sqrt(acc / static_cast<double>(n));
  for (float& v : x)
    v = static_cast<float>(v * g);
}

// Repeats x until it is n samples long.
std::vector<float> Loop(const std::vector<float>& x, size_t n) {
  std::vector<float> y(n, 0.0f);
  if (x.empty()) return y;
  for (size_t i = 0; i < n; ++i)
    y[i] = x[i % x.size()];
  return y;
}

#if ORVO_EVAL_HAVE_SPEECH_IO
// Speaks `text` with espeak-ng into a temporary WAV file and returns it at 48 kHz; empty when
// espeak-ng is missing or fails.
std::vector<float> Speak(const std::string& voice, const std::string& text) {
  char path[] = "/tmp/orvo-eval-speech-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  close(fd);
  const std::string command =
      "espeak-ng -v " + voice + " -s 155 -w " + path + " \"" + text + "\" >/dev/null 2>&1";
  std::vector<float> result;
  if (std::system(command.c_str()) == 0) {
    SF_INFO info{};
    if (SNDFILE* f = sf_open(path, SFM_READ, &info); f != nullptr) {
      std::vector<float> in(static_cast<size_t>(info.frames) * info.channels);
      const sf_count_t got = sf_readf_float(f, in.data(), info.frames);
      sf_close(f);
      std::vector<float> mono(static_cast<size_t>(got));
      for (sf_count_t i = 0; i < got; ++i)
        mono[i] = in[static_cast<size_t>(i) * info.channels];
      const double ratio = static_cast<double>(kRate) / info.samplerate;
      result.resize(static_cast<size_t>(std::ceil(mono.size() * ratio)) + 16);
      size_t written = 0;
      const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
      if (soxr_oneshot(info.samplerate, kRate, 1, mono.data(), mono.size(), nullptr, result.data(),
                       result.size(), &written, nullptr, &quality, nullptr) != nullptr)
        written = 0;
      result.resize(written);
      for (float& v : result)
        v *= 32767.0f;
    }
  }
  std::filesystem::remove(path);
  return result;
}
#endif

// Echo of `loudspeaker` through `room` (a bulk delay and a decaying tail).
std::vector<float> Echo(const std::vector<float>& loudspeaker, double delaySeconds,
                        double rt60Seconds, float gain, uint32_t seed) {
  return scene::Convolve(loudspeaker, scene::RoomResponse(delaySeconds, rt60Seconds, gain, seed));
}

// A loudspeaker driven into its nonlinear range: a soft clipper with a small even-order term,
// reaching about 3 dB of compression on speech peaks.
std::vector<float> NonlinearLoudspeaker(const std::vector<float>& x) {
  float peak = 1.0f;
  for (float v : x)
    peak = std::max(peak, std::fabs(v));
  const float knee = 0.45f * peak;
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float u = x[i] / knee;
    y[i] = knee * (std::tanh(u) + 0.08f * u * u / (1.0f + u * u));
  }
  return y;
}

// The timeline: the far end talks before the near-end-only stretch and from double talk on;
// the near end talks from the near-end-only stretch up to the second far-end-only one.
std::vector<float> FarGate(std::vector<float> x) {
  for (size_t i = At(kNearOnlyBegin); i < At(kDoubleTalkBegin) && i < x.size(); ++i)
    x[i] = 0.0f;
  return x;
}
std::vector<float> NearGate(std::vector<float> x) {
  for (size_t i = 0; i < x.size(); ++i)
    if (i < At(kNearOnlyBegin) || i >= At(kFarOnly2Begin)) x[i] = 0.0f;
  return x;
}

struct Room {
  double delay, rt60;
  float gain;
  uint32_t seed;
};

Scene Build(const std::string& name, const std::string& description, const SpeechSource& speech,
            Room room, float noiseRms, bool nonlinear, bool coloured, const Room* changed) {
  const size_t n = At(kSceneEnd);
  Scene s;
  s.name = name;
  s.description = description;
  s.bulkDelayMs = room.delay * 1000.0;
  s.pathChange = changed != nullptr;
  const std::vector<float> far = FarGate(Loop(speech.far, n));
  const std::vector<float> loudspeaker = nonlinear ? NonlinearLoudspeaker(far) : far;
  std::vector<float> echo = Echo(loudspeaker, room.delay, room.rt60, room.gain, room.seed);
  if (changed != nullptr) {
    const std::vector<float> echo2 =
        Echo(loudspeaker, changed->delay, changed->rt60, changed->gain, changed->seed);
    std::copy(echo2.begin() + static_cast<long>(At(kFarOnly2Begin)), echo2.end(),
              echo.begin() + static_cast<long>(At(kFarOnly2Begin)));
  }
  s.nearClean = NearGate(Loop(speech.near, n));
  const std::vector<float> noise =
      coloured ? scene::ColouredNoise(n, noiseRms, 77) : scene::WhiteNoise(n, noiseRms, 77);
  s.far = scene::ToPcm(far);
  s.mics.push_back(scene::ToPcm(scene::Add(scene::Add(echo, s.nearClean), noise)));
  return s;
}

}  // namespace

SpeechSource MakeSpeech(double seconds) {
  SpeechSource src;
  const size_t n = At(seconds);
#if ORVO_EVAL_HAVE_SPEECH_IO
  src.far = Speak("en-us",
                  "Good morning everyone, thanks for joining the call. Before we start, can "
                  "everybody hear me clearly? The first item on the agenda is the budget for the "
                  "next quarter. We spent a little more than planned on travel, but the hardware "
                  "order arrived early and came in under the estimate.");
  src.near = Speak("en-gb+f3",
                   "Yes, we can hear you well from the meeting room here. I have a question "
                   "about the travel costs, though. Were the flights to the trade fair booked "
                   "through the new agency, and did they include the return trip in March?");
  if (!src.far.empty() && !src.near.empty()) {
    src.how =
        "spoken by espeak-ng (far end: voice en-us, near end: voice en-gb+f3), resampled "
        "to 48 kHz with libsoxr";
  }
#endif
  if (src.far.empty() || src.near.empty()) {
    src.far = scene::SpeechLike(n, 12000.0f, 11);
    src.near = scene::SpeechLike(n, 12000.0f, 23, 0.18, 0.10);
    src.how =
        "the built-in speech-like generator (voiced syllables with formants; espeak-ng "
        "was not available)";
  }
  ScaleToActiveRms(src.far, 3300.0);   // about -20 dBFS while talking
  ScaleToActiveRms(src.near, 1650.0);  // about -26 dBFS at the microphone
  return src;
}

std::vector<Scene> MakeScenes(const SpeechSource& speech) {
  std::vector<Scene> scenes;
  const float quiet = 10.0f;  // microphone self-noise, about -70 dBFS
  // Echo gains put the echo about 3 dB above the near-end talker at the microphone, a typical
  // speakerphone.
  const Room office{0.030, 0.25, 0.7f, 101};
  scenes.push_back(Build("office", "30 ms bulk delay, RT60 0.25 s", speech, office, quiet, false,
                         false, nullptr));
  scenes.push_back(Build("long delay", "150 ms bulk delay, RT60 0.3 s", speech,
                         Room{0.150, 0.30, 0.7f, 102}, quiet, false, false, nullptr));
  scenes.push_back(Build("reverberant", "40 ms bulk delay, RT60 0.6 s", speech,
                         Room{0.040, 0.60, 0.7f, 103}, quiet, false, false, nullptr));
  scenes.push_back(Build("nonlinear loudspeaker", "office room, loudspeaker soft-clipping", speech,
                         office, quiet, true, false, nullptr));
  scenes.push_back(Build("noisy", "office room, coloured noise at -40 dBFS (SNR 14 dB)", speech,
                         office, 330.0f, false, true, nullptr));
  const Room moved{0.045, 0.35, 0.8f, 105};
  scenes.push_back(Build("path change",
                         "office room; at 24 s the path becomes 45 ms, RT60 0.35 s, +1 dB", speech,
                         office, quiet, false, false, &moved));

  // Two microphones: microphone 0 is near the talker, microphone 1 near the loudspeaker (more
  // echo, the talker 6 dB weaker and 1 ms later).
  Scene two =
      Build("two microphones", "office room; mic 1 has 6 dB more echo and the talker 6 dB weaker",
            speech, office, quiet, false, false, nullptr);
  {
    const size_t n = two.far.size();
    std::vector<float> far(two.far.begin(), two.far.end());
    const std::vector<float> echo1 = Echo(far, 0.025, 0.25, 1.4f, 106);
    std::vector<float> near1(n, 0.0f);
    for (size_t i = 48; i < n; ++i)
      near1[i] = 0.5f * two.nearClean[i - 48];
    two.mics.push_back(
        scene::ToPcm(scene::Add(scene::Add(echo1, near1), scene::WhiteNoise(n, quiet, 78))));
  }
  scenes.push_back(std::move(two));
  return scenes;
}

}  // namespace orvo::eval
