// The command line of `orvoaec`: its commands and their options.
#pragma once

#include <optional>
#include <string>

namespace orvo::cli {

struct ProcessOptions {
  std::string mic, mic2, ref, out;
  std::string config;  // YAML configuration file, empty for none
  std::string stats;   // statistics JSON file, empty for none
  bool raw = false;    // every file is headerless 16-bit 48 kHz PCM
  int denoise = 1;
  bool quiet = false;  // no progress bar
};

struct StartTestOptions {
  std::string dir;  // empty: the current directory
};

struct DemoOptions {
  std::string dir = "demo";    // where mic.wav, ref.wav, out.wav and demo.png go
  bool builtinSpeech = false;  // the built-in speech-like signal instead of espeak-ng
  bool picture = true;
};

struct Command {
  enum Kind { kNone, kProcess, kStartTest, kDemo } kind = kNone;
  ProcessOptions process;
  StartTestOptions startTest;
  DemoOptions demo;
};

// Parses the command line. On --help prints the help and sets exitCode 0; on a bad command line
// prints one line to standard error and sets a non-zero exitCode. Either way returns nothing.
std::optional<Command> ParseCommandLine(int argc, char** argv, int& exitCode);

}  // namespace orvo::cli
