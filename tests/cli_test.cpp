// The command-line program: clear one-line errors and non-zero exits on bad input, and whole
// files processed frame by frame.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string stderrText;
};

// Runs the program with the given arguments; standard output is discarded.
Result RunCli(const std::string& args) {
  const fs::path err =
      fs::temp_directory_path() / ("orvo_cli_stderr_" + std::to_string(getpid()) + ".txt");
  const std::string command =
      std::string(ORVO_TEST_CLI_PATH) + " " + args + " >/dev/null 2>" + err.string();
  const int raw = std::system(command.c_str());
  std::ifstream in(err);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text};
}

void WritePcm(const fs::path& path, size_t samples) {
  std::vector<int16_t> x(samples);
  for (size_t i = 0; i < samples; ++i)
    x[i] = static_cast<int16_t>((i * 37) % 2000 - 1000);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(samples * 2));
}

TEST(Cli, BadInvocationsGiveOneLineAndFail) {
  EXPECT_EQ(RunCli("--help").status, 0);
  for (const char* args : {"", "frobnicate", "process --mic", "process --mic a.pcm --bogus 1",
                           "process --mic /nonexistent/a.pcm --ref /nonexistent/b.pcm --out x",
                           "process --mic a --ref b --out c --denoise two"}) {
    const Result r = RunCli(args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_FALSE(r.stderrText.empty()) << args;
    if (std::string(args).empty()) continue;  // no command: the usage text
    EXPECT_EQ(std::count(r.stderrText.begin(), r.stderrText.end(), '\n'), 1) << args;
  }
}

TEST(Cli, ProcessWritesAsManySamplesAsTheMicrophoneHas) {
  const fs::path dir = fs::temp_directory_path() / ("orvo_cli_" + std::to_string(getpid()));
  fs::create_directories(dir);
  WritePcm(dir / "mic.pcm", 960 * 5 + 123);  // a partial last frame
  WritePcm(dir / "mic2.pcm", 960 * 2);       // shorter side files are padded with silence
  WritePcm(dir / "ref.pcm", 960 * 3);
  const std::string files = " --mic " + (dir / "mic.pcm").string() + " --ref " +
                            (dir / "ref.pcm").string() + " --out " + (dir / "out.pcm").string();
  EXPECT_EQ(RunCli("process" + files).status, 0);
  EXPECT_EQ(fs::file_size(dir / "out.pcm"), (960u * 5 + 123) * 2);
  EXPECT_EQ(RunCli("process --mic2 " + (dir / "mic2.pcm").string() + files).status, 0);
  EXPECT_EQ(fs::file_size(dir / "out.pcm"), (960u * 5 + 123) * 2);
  fs::remove_all(dir);
}

}  // namespace
