// Command-line parsing with CLI11.
#include "tools/cli_options.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "tools/audio_file.hpp"

namespace orvo::cli {

std::optional<Command> ParseCommandLine(int argc, char** argv, int& exitCode) {
  Command cmd;
  CLI::App app{"orvoaec: echo cancellation and noise reduction for conference audio"};
  app.name("orvoaec");
  app.require_subcommand(1);

  const std::string formats =
      HasAudioFileSupport()
          ? "WAV or any format libsndfile reads, any sample rate; .pcm/.raw files are headerless "
            "16-bit 48 kHz PCM"
          : "headerless 16-bit 48 kHz PCM (built without libsndfile)";
  CLI::App* process = app.add_subcommand(
      "process",
      "Process a recording: microphone(s) and far-end reference in, output out. " + formats + ".");
  ProcessOptions& p = cmd.process;
  process->add_option("--mic", p.mic, "microphone file (a stereo file is taken as two mics)")
      ->required();
  process->add_option("--mic2", p.mic2, "second microphone file (mono)");
  process->add_option("--ref", p.ref, "far-end reference (what the loudspeaker played)")
      ->required();
  process->add_option("--out", p.out, "processed output")->required();
  process->add_option("--config", p.config, "YAML configuration file to apply");
  process->add_option("--stats", p.stats, "write per-second statistics as JSON to this file");
  process->add_option("--denoise", p.denoise, "denoise mode: 0 off, 1 normal, 2-4 strong")
      ->check(CLI::Range(0, 4));
  process->add_flag("--raw", p.raw, "treat every file as headerless 16-bit 48 kHz PCM");
  process->add_flag("--quiet", p.quiet, "no progress bar");

  CLI::App* startTest = app.add_subcommand(
      "starttest", "The offline test: MicData.pcm, MicData2.pcm, RefData.pcm -> Out.pcm");
  startTest->add_option("--dir", cmd.startTest.dir,
                        "folder holding the files (default: the current directory)");

  CLI::App* demo = app.add_subcommand(
      "demo",
      "Build a conference scene, process it, write mic.wav, ref.wav, out.wav and "
      "demo.png and report on it");
  demo->add_option("--dir", cmd.demo.dir, "output folder (default: ./demo)");
  demo->add_flag("--builtin-speech", cmd.demo.builtinSpeech,
                 "use the built-in speech-like signal instead of espeak-ng");
  bool noPicture = false;
  demo->add_flag("--no-picture", noPicture, "skip demo.png");

  // A first word that is no option and no command: name it rather than let it pass as an
  // unexpected extra argument.
  if (argc >= 2 && argv[1][0] != '-') {
    const std::string first = argv[1];
    if (first != "process" && first != "starttest" && first != "demo") {
      std::fprintf(stderr, "orvoaec: unknown command '%s' (see orvoaec --help)\n", first.c_str());
      exitCode = 2;
      return std::nullopt;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    exitCode = app.exit(e);  // --help: the help of the command asked about, on standard output
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    for (char& c : what)
      if (c == '\n') c = ' ';
    std::fprintf(stderr, "orvoaec: %s (see orvoaec --help)\n", what.c_str());
    exitCode = 2;  // a bad command line
    return std::nullopt;
  }
  cmd.demo.picture = !noPicture;
  if (process->parsed()) cmd.kind = Command::kProcess;
  if (startTest->parsed()) cmd.kind = Command::kStartTest;
  if (demo->parsed()) cmd.kind = Command::kDemo;
  return cmd;
}

}  // namespace orvo::cli
