// orvoaec: the command-line program.
//   orvoaec process --mic MIC [--mic2 MIC2] --ref REF --out OUT [--config FILE]
//                   [--stats FILE.json] [--denoise N] [--raw] [--quiet]
//   orvoaec starttest [--dir DIR]
//   orvoaec demo [--dir DIR] [--builtin-speech] [--no-picture]
// Every problem with the input is reported as one line on standard error with a non-zero exit
// status; nothing is written before all inputs have been read and checked.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define ORVO_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define ORVO_ISATTY(f) isatty(fileno(f))
#endif

#include "api/exported_engine.hpp"
#include "orvoaec/engine.hpp"
#include "tools/audio_file.hpp"
#include "tools/cli_options.hpp"
#include "tools/demo.hpp"
#include "tools/frame_runner.hpp"
#include "tools/run_stats.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orvo::cli;

int Fail(const std::string& message) {
  std::fprintf(stderr, "orvoaec: %s\n", message.c_str());
  return 1;
}

void Note(const std::string& message) {
  std::fprintf(stderr, "orvoaec: note: %s\n", message.c_str());
}

// The engine's log goes to standard error. Some of its messages have no line end; the sink
// remembers that, so that the program's own lines can start on a fresh line.
struct EngineLog {
  bool atLineStart = true;
  void Write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    if (!text.empty()) atLineStart = text.back() == '\n';
  }
  void EndLine() {
    if (!atLineStart) std::fputc('\n', stderr);
    atLineStart = true;
  }
};

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return !a.empty() && !b.empty() && fs::exists(a, ec) && fs::exists(b, ec) &&
         fs::equivalent(a, b, ec);
}

std::string Secs(size_t samples) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(samples) / kNativeRate);
  return text;
}

// A progress bar on standard error, redrawn in place.
class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled) {}
  void Update(size_t done, size_t total) {
    if (!enabled_ || total == 0) return;
    const int percent = static_cast<int>(100 * done / total);
    if (percent == last_) return;
    last_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\rprocessing [%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, ' ').c_str(), percent);
    if (done >= total) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  int last_ = -1;
};

int CommandProcess(const ProcessOptions& o) {
  // Everything that can be checked before reading: the paths themselves.
  std::string error;
  for (const std::string& in : {o.mic, o.mic2, o.ref}) {
    if (SameFile(in, o.out)) return Fail("--out '" + o.out + "' would overwrite an input");
    if (SameFile(in, o.stats)) return Fail("--stats '" + o.stats + "' would overwrite an input");
  }
  if (!o.stats.empty() &&
      fs::path(o.stats).lexically_normal() == fs::path(o.out).lexically_normal())
    return Fail("--stats and --out name the same file '" + o.out + "'");
  if (!o.config.empty() && !CheckInputFile(o.config, error)) return Fail(error);
  if (!CheckOutputWritable(o.out, o.raw, error)) return Fail(error);
  if (!o.stats.empty() && !CheckOutputWritable(o.stats, true, error)) return Fail(error);

  auto mic = ReadAudio(o.mic, o.raw, error, Note);
  if (!mic) return Fail(error);
  std::optional<Audio> mic2;
  if (!o.mic2.empty()) {
    mic2 = ReadAudio(o.mic2, o.raw, error, Note);
    if (!mic2) return Fail(error);
  }
  auto ref = ReadAudio(o.ref, o.raw, error, Note);
  if (!ref) return Fail(error);

  // Channel layout: one or two microphones in total, a mono reference.
  const size_t micChannels = mic->channels.size();
  if (micChannels > 2)
    return Fail("'" + o.mic + "' has " + std::to_string(micChannels) +
                " channels; the microphone file must be mono or stereo (two microphones)");
  if (mic2 && micChannels == 2)
    return Fail("'" + o.mic + "' is already stereo (two microphones); --mic2 cannot add a third");
  if (mic2 && mic2->channels.size() != 1)
    return Fail("'" + o.mic2 + "' has " + std::to_string(mic2->channels.size()) +
                " channels; --mic2 must be mono");
  if (ref->channels.size() != 1)
    return Fail("'" + o.ref + "' has " + std::to_string(ref->channels.size()) +
                " channels; the far-end reference must be mono");
  const std::vector<int16_t>& mic0 = mic->channels[0];
  const std::vector<int16_t>* second =
      micChannels == 2 ? &mic->channels[1] : (mic2 ? &mic2->channels[0] : nullptr);

  // Different lengths: everything runs to the longest, the shorter padded with silence.
  size_t length = std::max(mic0.size(), ref->channels[0].size());
  if (second != nullptr) length = std::max(length, second->size());
  if (mic0.size() != length || ref->channels[0].size() != length ||
      (second != nullptr && second->size() != length)) {
    std::string lengths = "microphone " + Secs(mic0.size());
    if (second != nullptr) lengths += ", second microphone " + Secs(second->size());
    lengths += ", reference " + Secs(ref->channels[0].size());
    Note("inputs differ in length (" + lengths + "); the shorter are padded with silence to " +
         Secs(length));
  }

  EngineLog log;
  orvo::Engine engine([&log](std::string_view text) { log.Write(text); });
  engine.SetDenoiseMode(o.denoise);
  if (!o.config.empty()) engine.LoadConfigFile(o.config);
  log.EndLine();

  constexpr double kProgressAfterSeconds = 5.0;
  ProgressBar bar(!o.quiet && ORVO_ISATTY(stderr) &&
                  static_cast<double>(length) / kNativeRate > kProgressAfterSeconds);
  const RunResult run = RunFrames(engine, mic0, second, ref->channels[0], length,
                                  [&](size_t done, size_t total) { bar.Update(done, total); });

  log.EndLine();
  if (!WriteAudio(o.out, run.out, o.raw, mic->format, error, Note)) return Fail(error);
  const RunSummary summary = Summarise(run);
  if (!o.stats.empty()) {
    const std::string text =
        SummaryJson(summary, o.mic + (second != nullptr ? " (two microphones)" : ""));
    std::ofstream f(o.stats, std::ios::trunc);
    f << text;
    f.close();
    if (!f) {
      return Fail("cannot write '" + o.stats + "' completely; " + RemovePartialOutput(o.stats) +
                  " (" + o.out + " was written)");
    }
  }
  std::printf("processed %s (%zu frames%s) into %s, real-time factor %.3f\n", Secs(length).c_str(),
              run.frames.size(), second != nullptr ? ", two microphones" : "", o.out.c_str(),
              summary.realTimeFactor);
  return 0;
}

int CommandStartTest(const StartTestOptions& o) {
  if (!o.dir.empty()) {
    std::error_code ec;
    if (!fs::is_directory(o.dir, ec)) return Fail("'" + o.dir + "' is not a directory");
    fs::current_path(o.dir, ec);
    if (ec) return Fail("cannot enter '" + o.dir + "': " + ec.message());
  }
  // The offline run needs all three inputs; without them it would process nothing and leave
  // Out.pcm untouched, which must not look like success.
  std::string missing, error, firstError;
  for (const char* name : {"MicData.pcm", "MicData2.pcm", "RefData.pcm"}) {
    if (CheckInputFile(name, error)) continue;
    missing += (missing.empty() ? "" : ", ") + std::string(name);
    if (firstError.empty()) firstError = error;
  }
  if (!missing.empty())
    return Fail("starttest needs MicData.pcm, MicData2.pcm and RefData.pcm in '" +
                fs::current_path().string() + "'; not usable: " + missing + " (" + firstError +
                ")");
  if (!CheckOutputWritable("Out.pcm", true, error)) return Fail("starttest: " + error);
  orvo::RunOfflineTest(orvo::ExportedEngine());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  const std::optional<Command> cmd = ParseCommandLine(argc, argv, exitCode);
  if (!cmd) return exitCode;
  try {
    switch (cmd->kind) {
      case Command::kProcess:
        return CommandProcess(cmd->process);
      case Command::kStartTest:
        return CommandStartTest(cmd->startTest);
      case Command::kDemo:
        return RunDemo(cmd->demo);
      case Command::kNone:
        break;
    }
  } catch (const std::bad_alloc&) {
    return Fail("out of memory");
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return Fail("no command given (see orvoaec --help)");
}
