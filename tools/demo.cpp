// The demo scene: far-end talk that reaches the microphone through a room with a bulk delay,
// a near-end talker, and background noise, in three stretches: far end only, near end only,
// and both at once. Speech is spoken by espeak-ng when it is installed; otherwise a built-in
// speech-like signal stands in. The picture is drawn by gnuplot.
#include "tools/demo.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "orvoaec/engine.hpp"
#include "tools/audio_file.hpp"
#include "tools/frame_runner.hpp"
#include "tools/scene.hpp"

namespace orvo::cli {

namespace {

namespace fs = std::filesystem;
namespace sc = orvo::scene;

// The scene's stretches, in seconds.
constexpr double kFarOnlyEnd = 9.0;
constexpr double kNearOnlyEnd = 15.0;
constexpr double kSceneEnd = 24.0;
constexpr double kConverged = 3.0;    // the far-only stretch is measured from here on
constexpr double kBulkDelay = 0.080;  // loudspeaker-to-microphone bulk delay

const char* const kFarText =
    "Good morning everyone, and thanks for joining the weekly planning call. Before we start, "
    "let me share the numbers from last quarter. Sales went up by twelve percent, and the new "
    "office in Lisbon is now fully staffed. We still need to decide on the budget for the next "
    "release, so please think about what your team will need.";
const char* const kNearText =
    "Sorry to interrupt, but the second part was hard to follow on our side. Could you repeat "
    "the figure for the Lisbon office? And please send the slides after the meeting, so that we "
    "can review them before Friday.";

size_t Samples(double seconds) {
  return static_cast<size_t>(seconds * sc::kRate);
}

// Runs a program with its output discarded; returns its exit status, or -1 if it could not
// be started.
int RunProgram(const std::vector<std::string>& args) {
#ifdef _WIN32
  (void)args;
  return -1;
#else
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// Speech spoken by espeak-ng, at 48 kHz in 16-bit sample units, repeated to fill `n` samples;
// empty when espeak-ng is not available.
std::vector<float> Spoken(const std::string& voice, const std::string& text, size_t n,
                          const fs::path& scratch) {
  if (!HasAudioFileSupport()) return {};
  const fs::path wav = scratch / "speech.wav";
  if (RunProgram({"espeak-ng", "-v", voice, "-s", "160", "-w", wav.string(), text}) != 0) return {};
  std::string error;
  const std::optional<Audio> audio = ReadAudio(wav.string(), false, error, [](auto&) {});
  std::error_code ec;
  fs::remove(wav, ec);
  if (!audio || audio->channels.size() != 1 || audio->Frames() == 0) return {};
  std::vector<float> x(n);
  const std::vector<int16_t>& s = audio->channels[0];
  for (size_t i = 0; i < n; ++i)
    x[i] = s[i % s.size()];
  return x;
}

// Scales a signal so that its loudest sample has the given amplitude.
void ScalePeak(std::vector<float>& x, float peak) {
  float m = 1e-9f;
  for (float v : x)
    m = std::max(m, std::fabs(v));
  for (float& v : x)
    v *= peak / m;
}

struct Scene {
  std::vector<int16_t> mic, ref;
  bool spoken = false;
};

Scene BuildScene(bool builtinSpeech, const fs::path& scratch) {
  const size_t n = Samples(kSceneEnd);
  const size_t a = Samples(kFarOnlyEnd), b = Samples(kNearOnlyEnd);
  std::vector<float> farTalk, nearTalk;
  if (!builtinSpeech) {
    farTalk = Spoken("en-us+m3", kFarText, n, scratch);
    nearTalk = Spoken("en-gb+f3", kNearText, n, scratch);
  }
  Scene scene;
  scene.spoken = !farTalk.empty() && !nearTalk.empty();
  if (!scene.spoken) {
    farTalk = sc::SpeechLike(n, 1.0f, 11);
    nearTalk = sc::SpeechLike(n, 1.0f, 23);
  }
  ScalePeak(farTalk, 16000.0f);
  ScalePeak(nearTalk, 9000.0f);

  // Far end talks in the first and third stretches, carrying on its speech where it left off;
  // the near end talks in the second and third.
  std::vector<float> far(n, 0.0f), near(n, 0.0f);
  for (size_t i = 0; i < a; ++i)
    far[i] = farTalk[i];
  for (size_t i = b; i < n; ++i)
    far[i] = farTalk[a + (i - b)];
  for (size_t i = a; i < n; ++i)
    near[i] = nearTalk[i - a];

  // Loudspeaker to microphone: bulk delay and a reverberant room; the near talker sits close
  // to the microphone in the same room.
  const std::vector<float> echo = sc::Convolve(far, sc::RoomResponse(kBulkDelay, 0.15, 0.6f, 5));
  const std::vector<float> nearAtMic = sc::Convolve(near, sc::RoomResponse(0.001, 0.08, 1.0f, 9));
  const std::vector<float> noise = sc::ColouredNoise(n, 40.0f, 7);
  scene.mic = sc::ToPcm(sc::Add(sc::Add(echo, nearAtMic), noise));
  scene.ref = sc::ToPcm(far);
  return scene;
}

std::optional<double> Dbfs(const std::vector<int16_t>& x, double from, double to) {
  const double p = sc::Power(x, Samples(from), Samples(to));
  if (p <= 0.0) return std::nullopt;
  return 10.0 * std::log10(p / (32768.0 * 32768.0));
}

// Spectrogram in dBFS: 1024-point Hann windows every 10 ms, bins up to 8 kHz. Stored row by
// row (one row per frequency bin), as gnuplot reads a binary array.
struct Spectrogram {
  int columns = 0, rows = 0;
  double dt = 0.0, df = 0.0;
  std::vector<float> db;
};

Spectrogram Analyse(const std::vector<int16_t>& x) {
  constexpr size_t kSize = 1024, kHop = 480;
  Spectrogram s;
  s.dt = static_cast<double>(kHop) / sc::kRate;
  s.df = static_cast<double>(sc::kRate) / kSize;
  s.rows = static_cast<int>(8000.0 / s.df);
  s.columns = static_cast<int>(x.size() / kHop);
  s.db.assign(static_cast<size_t>(s.rows) * static_cast<size_t>(s.columns), -120.0f);
  std::vector<double> window(kSize);
  double wsum = 0.0;
  for (size_t i = 0; i < kSize; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / kSize);
    wsum += window[i];
  }
  std::vector<std::complex<double>> buf(kSize);
  for (int c = 0; c < s.columns; ++c) {
    const size_t centre = static_cast<size_t>(c) * kHop;
    for (size_t i = 0; i < kSize; ++i) {
      const size_t k = centre + i;
      const double v = (k >= kSize / 2 && k - kSize / 2 < x.size()) ? x[k - kSize / 2] : 0.0;
      buf[i] = v / 32768.0 * window[i];
    }
    sc::detail::Fft(buf, -1);
    for (int r = 0; r < s.rows; ++r) {
      const double mag = 2.0 * std::abs(buf[static_cast<size_t>(r)]) / wsum;
      s.db[static_cast<size_t>(r) * static_cast<size_t>(s.columns) + static_cast<size_t>(c)] =
          static_cast<float>(20.0 * std::log10(mag + 1e-9));
    }
  }
  return s;
}

bool WriteBinary(const fs::path& path, const std::vector<float>& v) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 4));
  return static_cast<bool>(f);
}

// Draws demo.png: microphone and output spectrograms one above the other with the stretches
// marked, and the double-talk flag along the time axis below them. Returns an empty string on
// success, else why it failed.
std::string DrawPicture(const fs::path& dir, const std::vector<int16_t>& mic,
                        const std::vector<int16_t>& out, const std::vector<FrameStats>& frames) {
  const Spectrogram sm = Analyse(mic), so = Analyse(out);
  const fs::path micBin = dir / "demo_mic.bin", outBin = dir / "demo_out.bin",
                 flags = dir / "demo_flags.dat", script = dir / "demo.gp", png = dir / "demo.png";
  auto cleanUp = [&] {
    std::error_code ec;
    for (const fs::path& p : {micBin, outBin, flags, script})
      fs::remove(p, ec);
  };
  if (!WriteBinary(micBin, sm.db) || !WriteBinary(outBin, so.db))
    return cleanUp(), "cannot write the picture's data into " + dir.string();
  {
    std::ofstream f(flags, std::ios::trunc);
    const double frameSeconds = static_cast<double>(Engine::kFrameSamples) / sc::kRate;
    for (size_t i = 0; i < frames.size(); ++i) {
      const double t = static_cast<double>(i) * frameSeconds;
      f << t << ' ' << (frames[i].doubleTalk ? 1 : 0) << '\n'
        << t + frameSeconds << ' ' << (frames[i].doubleTalk ? 1 : 0) << '\n';
    }
  }
  char array[200];
  std::snprintf(array, sizeof array,
                "binary array=(%d,%d) format='%%float32' dx=%g dy=%g origin=(0,0)", sm.columns,
                sm.rows, sm.dt, sm.df / 1000.0);
  auto quote = [](const fs::path& p) {
    std::string s = "'";
    for (char c : p.string())
      s += c == '\'' ? std::string("''") : std::string(1, c);
    return s + "'";
  };
  std::ofstream g(script, std::ios::trunc);
  g << "set terminal pngcairo size 1400,900 font 'DejaVu Sans,11'\n"
    << "set output " << quote(png) << "\n"
    << "set multiplot\n"
    << "set lmargin at screen 0.07\nset rmargin at screen 0.88\n"
    << "set palette defined (0 '#000004', 1 '#3b0f70', 2 '#8c2981', 3 '#de4968', "
       "4 '#fe9f6d', 5 '#fcfdbf')\n"
    << "set cbrange [-100:-20]\nset cblabel 'dBFS'\nset xrange [0:" << kSceneEnd
    << "]\nset yrange [0:8]\nset ylabel 'kHz'\nset format x ''\n"
    << "set style line 1 lc rgb '#ffffff' dt 2 lw 2\n"
    << "set arrow 1 from " << kFarOnlyEnd << ", graph 0 to " << kFarOnlyEnd
    << ", graph 1 nohead front ls 1\n"
    << "set arrow 2 from " << kNearOnlyEnd << ", graph 0 to " << kNearOnlyEnd
    << ", graph 1 nohead front ls 1\n"
    // Stretch names above the top panel.
    << "set label 1 'far end only (echo)' at " << kFarOnlyEnd / 2 << ", graph 1.06 center\n"
    << "set label 2 'near end only' at " << (kFarOnlyEnd + kNearOnlyEnd) / 2
    << ", graph 1.06 center\n"
    << "set label 3 'double talk' at " << (kNearOnlyEnd + kSceneEnd) / 2 << ", graph 1.06 center\n"
    << "set tmargin at screen 0.93\nset bmargin at screen 0.56\n"
    << "set title 'microphone: echo of the far end + near-end talker + noise' offset 0,1.2\n"
    << "plot " << quote(micBin) << " " << array << " with image notitle\n"
    << "unset label 1\nunset label 2\nunset label 3\n"
    << "set tmargin at screen 0.50\nset bmargin at screen 0.17\n"
    << "set title 'output of orvoaec' offset 0,0\n"
    << "plot " << quote(outBin) << " " << array
    << " with image notitle\n"
    // The flag strip: the true double-talk stretch shaded, the engine's flag filled.
    << "unset arrow 1\nunset arrow 2\nunset title\nunset colorbox\n"
    << "set tmargin at screen 0.13\nset bmargin at screen 0.06\n"
    << "set yrange [0:1.2]\nset ytics ('' 0, '' 1)\nset ylabel \"double\\ntalk\" offset 1,0\n"
    << "set format x '%g'\nset xlabel 'time (s)' offset 0,0.5\n"
    << "set object 1 rect from " << kNearOnlyEnd << ", 0 to " << kSceneEnd
    << ", 1.2 behind fc rgb '#dddddd' fs solid 1.0 noborder\n"
    << "set key at screen 0.995, screen 0.115 right top samplen 1 spacing 1 font ',9'\n"
    << "plot " << quote(flags)
    << " using 1:2 with filledcurves y=0 lc rgb '#c0392b' title 'flag', "
       "NaN with boxes fs solid 1.0 lc rgb '#dddddd' title 'actual'\n"
    << "unset multiplot\n";
  g.close();
  if (!g) return cleanUp(), "cannot write the plotting script into " + dir.string();
  const int rc = RunProgram({"gnuplot", script.string()});
  if (!std::getenv("ORVO_DEMO_KEEP")) cleanUp();
  if (rc == -1) return "gnuplot is not installed (Debian: gnuplot-nox); demo.png not drawn";
  if (rc != 0) return "gnuplot failed (exit " + std::to_string(rc) + "); demo.png not drawn";
  return "";
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  const fs::path dir = options.dir;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) {
    std::fprintf(stderr, "orvoaec: cannot create the folder '%s'\n", dir.string().c_str());
    return 1;
  }
  const Scene scene = BuildScene(options.builtinSpeech, dir);
  if (!options.builtinSpeech && !scene.spoken)
    std::fprintf(stderr,
                 "orvoaec: note: espeak-ng is not available; using the built-in speech-like "
                 "signal\n");

  orvo::Engine engine([](std::string_view) {});
  const RunResult run = RunFrames(engine, scene.mic, nullptr, scene.ref, scene.mic.size());

  const std::string ext = HasAudioFileSupport() ? ".wav" : ".pcm";
  const AudioFormat native{false, kNativeRate, 0};
  std::string error;
  auto silent = [](const std::string&) {};
  for (const auto& [name, samples] :
       {std::pair{"mic", &scene.mic}, std::pair{"ref", &scene.ref}, std::pair{"out", &run.out}}) {
    const std::string path = (dir / (std::string(name) + ext)).string();
    AudioFormat f = native;
    f.raw = !HasAudioFileSupport();
    if (!WriteAudio(path, *samples, false, f, error, silent)) {
      std::fprintf(stderr, "orvoaec: %s\n", error.c_str());
      return 1;
    }
  }

  // The report: echo attenuation once converged, near-end level kept, double-talk frames.
  const auto& mic = scene.mic;
  const auto& out = run.out;
  const double frameSeconds = static_cast<double>(Engine::kFrameSamples) / sc::kRate;
  int dtInStretch = 0, dtElsewhere = 0, stretchFrames = 0;
  for (size_t i = 0; i < run.frames.size(); ++i) {
    const bool inStretch = static_cast<double>(i) * frameSeconds >= kNearOnlyEnd;
    stretchFrames += inStretch ? 1 : 0;
    if (run.frames[i].doubleTalk) (inStretch ? dtInStretch : dtElsewhere)++;
  }
  // Levels in dBFS; a digitally silent stretch has none.
  auto level = [](const std::vector<int16_t>& x, double from, double to) {
    return Dbfs(x, from, to);
  };
  auto text = [](std::optional<double> db) {
    char t[32];
    if (!db) return std::string("silent");
    std::snprintf(t, sizeof t, "%.1f dBFS", *db);
    return std::string(t);
  };
  const auto micFar = level(mic, kConverged, kFarOnlyEnd),
             outFar = level(out, kConverged, kFarOnlyEnd);
  const auto micNear = level(mic, kFarOnlyEnd, kNearOnlyEnd),
             outNear = level(out, kFarOnlyEnd, kNearOnlyEnd);
  const auto micBoth = level(mic, kNearOnlyEnd, kSceneEnd),
             outBoth = level(out, kNearOnlyEnd, kSceneEnd);
  char attenuation[64] = "no echo in the microphone", kept[64] = "no near end in the microphone";
  if (micFar && outFar)
    std::snprintf(attenuation, sizeof attenuation, "echo attenuated by %.1f dB", *micFar - *outFar);
  if (micFar && !outFar) std::snprintf(attenuation, sizeof attenuation, "echo removed completely");
  if (micNear && outNear)
    std::snprintf(kept, sizeof kept, "near end kept at %+.1f dB", *outNear - *micNear);
  if (micNear && !outNear) std::snprintf(kept, sizeof kept, "near end lost");
  const double audioSeconds = static_cast<double>(mic.size()) / sc::kRate;
  std::printf(
      "demo: %.0f s conference scene, %s, echo through a room with %.0f ms bulk delay, "
      "background noise\n",
      kSceneEnd, scene.spoken ? "speech by espeak-ng" : "built-in speech-like signal",
      kBulkDelay * 1000.0);
  std::printf("  far end only (%.0f-%.0f s):  mic %s, out %s: %s\n", kConverged, kFarOnlyEnd,
              text(micFar).c_str(), text(outFar).c_str(), attenuation);
  std::printf("  near end only (%.0f-%.0f s): mic %s, out %s: %s\n", kFarOnlyEnd, kNearOnlyEnd,
              text(micNear).c_str(), text(outNear).c_str(), kept);
  std::printf(
      "  double talk (%.0f-%.0f s):   mic %s, out %s: double talk flagged "
      "in %d of %d frames (%d frames elsewhere)\n",
      kNearOnlyEnd, kSceneEnd, text(micBoth).c_str(), text(outBoth).c_str(), dtInStretch,
      stretchFrames, dtElsewhere);
  std::printf("  real-time factor %.3f (%.2f s of processing for %.1f s of audio)\n",
              run.processingSeconds / audioSeconds, run.processingSeconds, audioSeconds);
  std::printf("  wrote %s, %s, %s", (dir / ("mic" + ext)).string().c_str(),
              (dir / ("ref" + ext)).string().c_str(), (dir / ("out" + ext)).string().c_str());
  if (!options.picture) {
    std::printf("\n");
    return 0;
  }
  const std::string why = DrawPicture(dir, mic, out, run.frames);
  if (!why.empty()) {
    std::printf("\n");
    std::fprintf(stderr, "orvoaec: %s\n", why.c_str());
    return 1;
  }
  std::printf(", %s\n", (dir / "demo.png").string().c_str());
  return 0;
}

}  // namespace orvo::cli
