// orvoaec: the command-line program.
//   orvoaec process --mic MIC.pcm [--mic2 MIC2.pcm] --ref REF.pcm --out OUT.pcm [--denoise N]
//   orvoaec starttest [--dir DIR]
//   orvoaec demo [--out OUT.pcm]
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "api/exported_engine.hpp"
#include "orvoaec/engine.hpp"
#include "tools/scene.hpp"

namespace {

constexpr int kFrame = orvo::Engine::kFrameSamples;

const char* const kUsage =
    "usage:\n"
    "  orvoaec process --mic MIC.pcm [--mic2 MIC2.pcm] --ref REF.pcm --out OUT.pcm"
    " [--denoise N]\n"
    "      Runs raw 16-bit 48 kHz mono PCM files frame by frame through the engine.\n"
    "      With --mic2 the two microphones are processed as a pair (mode 3).\n"
    "  orvoaec starttest [--dir DIR]\n"
    "      The offline test: MicData.pcm, MicData2.pcm, RefData.pcm -> Out.pcm in DIR\n"
    "      (default: the current directory).\n"
    "  orvoaec demo [--out OUT.pcm]\n"
    "      Processes a built-in example (echo, near-end talk, noise) and reports on it.\n"
    "  orvoaec --help\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "orvoaec: %s\n", message.c_str());
  return 1;
}

// Parses "--key value" pairs; returns nothing (after printing why) on a bad argument.
std::optional<std::map<std::string, std::string>> ParseOptions(
    int argc, char** argv, int first, const std::vector<std::string>& allowed) {
  std::map<std::string, std::string> opts;
  for (int i = first; i < argc; ++i) {
    const std::string key = argv[i];
    bool known = false;
    for (const std::string& a : allowed)
      known = known || a == key;
    if (!known) {
      Fail("unknown argument '" + key + "' (see orvoaec --help)");
      return std::nullopt;
    }
    if (i + 1 >= argc) {
      Fail("missing value after " + key);
      return std::nullopt;
    }
    opts[key] = argv[++i];
  }
  return opts;
}

std::optional<std::vector<int16_t>> ReadPcm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail("cannot open '" + path + "': " + std::strerror(errno));
    return std::nullopt;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    Fail("cannot read '" + path + "'");
    return std::nullopt;
  }
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

bool WritePcm(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Fail("cannot create '" + path + "': " + std::strerror(errno)), false;
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
  if (!out) return Fail("cannot write '" + path + "'"), false;
  return true;
}

void LogToStderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Runs whole files through one engine. The last partial frame is zero-padded and written with
// its own length, so the output has as many samples as the first microphone.
using FrameObserver = std::function<void(size_t firstSample, const orvo::Engine&)>;

std::vector<int16_t> RunFiles(orvo::Engine& engine, const std::vector<int16_t>& mic,
                              const std::vector<int16_t>* mic2, const std::vector<int16_t>& ref,
                              const FrameObserver& observe = {}) {
  std::vector<int16_t> out(mic.size());
  const int mode = mic2 != nullptr ? 3 : 1;
  std::vector<int16_t> in(2 * kFrame), farEnd(kFrame), frameOut(kFrame);
  auto at = [](const std::vector<int16_t>& v, size_t i) -> int16_t {
    return i < v.size() ? v[i] : 0;
  };
  for (size_t start = 0; start < mic.size(); start += kFrame) {
    for (int i = 0; i < kFrame; ++i) {
      const size_t n = start + static_cast<size_t>(i);
      if (mic2 != nullptr) {
        in[2 * i] = at(mic, n);
        in[2 * i + 1] = at(*mic2, n);
      } else {
        in[i] = at(mic, n);
      }
      farEnd[i] = at(ref, n);
    }
    engine.AddFarEnd(farEnd.data());
    engine.Process(in.data(), farEnd.data(), frameOut.data(), false, mode, 1);
    if (observe) observe(start, engine);
    for (int i = 0; i < kFrame && start + static_cast<size_t>(i) < mic.size(); ++i)
      out[start + static_cast<size_t>(i)] = frameOut[i];
  }
  return out;
}

int CommandProcess(int argc, char** argv) {
  auto opts = ParseOptions(argc, argv, 2, {"--mic", "--mic2", "--ref", "--out", "--denoise"});
  if (!opts) return 1;
  for (const char* required : {"--mic", "--ref", "--out"})
    if (!opts->count(required)) return Fail(std::string("missing ") + required);
  int denoise = 1;
  if (opts->count("--denoise")) {
    try {
      size_t used = 0;
      denoise = std::stoi(opts->at("--denoise"), &used);
      if (used != opts->at("--denoise").size()) throw std::invalid_argument("");
    } catch (...) {
      return Fail("--denoise takes an integer");
    }
  }
  auto mic = ReadPcm(opts->at("--mic"));
  if (!mic) return 1;
  std::optional<std::vector<int16_t>> mic2;
  if (opts->count("--mic2")) {
    mic2 = ReadPcm(opts->at("--mic2"));
    if (!mic2) return 1;
  }
  auto ref = ReadPcm(opts->at("--ref"));
  if (!ref) return 1;

  orvo::Engine engine(LogToStderr);
  engine.SetDenoiseMode(denoise);
  const std::vector<int16_t> out = RunFiles(engine, *mic, mic2 ? &*mic2 : nullptr, *ref);
  if (!WritePcm(opts->at("--out"), out)) return 1;
  std::printf("processed %zu samples (%zu frames) into %s\n", out.size(),
              (out.size() + kFrame - 1) / kFrame, opts->at("--out").c_str());
  return 0;
}

int CommandStartTest(int argc, char** argv) {
  auto opts = ParseOptions(argc, argv, 2, {"--dir"});
  if (!opts) return 1;
  if (opts->count("--dir")) {
    std::error_code ec;
    std::filesystem::current_path(opts->at("--dir"), ec);
    if (ec) return Fail("cannot enter '" + opts->at("--dir") + "': " + ec.message());
  }
  orvo::RunOfflineTest(orvo::ExportedEngine());
  return 0;
}

double Db(double ratio) {
  return 10.0 * std::log10(ratio + 1e-30);
}

// A built-in conference scene: 4 s of far-end talk with its echo, then 4 s of near-end talk
// alone, then 4 s of both, over light room noise.
int CommandDemo(int argc, char** argv) {
  auto opts = ParseOptions(argc, argv, 2, {"--out"});
  if (!opts) return 1;
  const std::string outPath = opts->count("--out") ? opts->at("--out") : "demo_out.pcm";
  namespace sc = orvo::scene;
  const size_t n = 12 * sc::kRate, seg = 4 * sc::kRate;
  std::vector<float> far = sc::SpeechLike(n, 9000.0f, 11);
  for (size_t i = seg; i < 2 * seg; ++i)
    far[i] = 0.0f;
  std::vector<float> near = sc::SpeechLike(n, 6000.0f, 23);
  for (size_t i = 0; i < seg; ++i)
    near[i] = 0.0f;
  const std::vector<float> echo = sc::Convolve(far, sc::RoomResponse(0.03, 0.15, 0.5f, 5));
  const std::vector<float> noise = sc::WhiteNoise(n, 30.0f, 7);
  const std::vector<int16_t> mic = sc::ToPcm(sc::Add(sc::Add(echo, near), noise));
  const std::vector<int16_t> ref = sc::ToPcm(far);

  orvo::Engine engine([](std::string_view) {});
  int doubleTalkFrames = 0;
  const std::vector<int16_t> out =
      RunFiles(engine, mic, nullptr, ref, [&](size_t start, const orvo::Engine& e) {
        if (start >= 2 * seg && e.IsDoubleTalk()) ++doubleTalkFrames;
      });
  if (!WritePcm(outPath, out)) return 1;

  std::printf("demo: 12 s scene (far end alone, near end alone, double talk) -> %s\n",
              outPath.c_str());
  // Levels in dB relative to full scale; an all-zero stretch is reported as silent.
  auto level = [](const std::vector<int16_t>& x, size_t begin, size_t end) {
    const double p = sc::Power(x, begin, end);
    char text[32];
    if (p == 0.0) return std::string("silent");
    std::snprintf(text, sizeof text, "%.1f dBFS", Db(p / (32768.0 * 32768.0)));
    return std::string(text);
  };
  const size_t settle = 2 * sc::kRate;
  std::printf("  far end alone (2-4 s):  mic %s, out %s\n", level(mic, settle, seg).c_str(),
              level(out, settle, seg).c_str());
  std::printf("  near end alone (4-8 s): mic %s, out %s\n", level(mic, seg, 2 * seg).c_str(),
              level(out, seg, 2 * seg).c_str());
  std::printf("  double talk (8-12 s):   mic %s, out %s, double talk flagged in %d of %d frames\n",
              level(mic, 2 * seg, n).c_str(), level(out, 2 * seg, n).c_str(), doubleTalkFrames,
              static_cast<int>((n - 2 * seg) / kFrame));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "process") return CommandProcess(argc, argv);
  if (command == "starttest") return CommandStartTest(argc, argv);
  if (command == "demo") return CommandDemo(argc, argv);
  return Fail("unknown command '" + command + "' (see orvoaec --help)");
}
