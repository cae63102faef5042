// config.yml as a hostile file system presents it: FIFOs, devices, huge files, links to nowhere,
// an editor replacing the file while the library writes its default, and repeated keys.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "config/config_loader.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/sandbox_env.hpp"

namespace orvo {
namespace {

using testing::SandboxEnv;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char kNotFound[] = "config.yml not found. Use default value to generate it\n";

class ConfigFiles : public ::testing::Test {
 protected:
  std::string Path() const { return env_.ConfigPath(); }
  std::string Loading() const {
    return "Loading configration from " + Path() +
           "\nConfigLoader::load_configuration load configuration from " + Path() + "\n";
  }
  // Runs the Documents sequence and returns its log. A call still blocked after five seconds
  // on one of the FIFOs in `fifos` is released by opening that FIFO for writing (the blocked
  // reader then sees its end) and reported as a hang.
  std::string LoadConfig(std::initializer_list<std::string> fifos = {}) {
    log_.clear();
    auto done = std::async(std::launch::async, [this] { engine_.LoadConfig(); });
    if (done.wait_for(5s) != std::future_status::ready) {
      ADD_FAILURE() << "LoadConfig did not return";
      while (done.wait_for(50ms) != std::future_status::ready) {
        for (const std::string& f : fifos) {
          const int fd = ::open(f.c_str(), O_WRONLY | O_NONBLOCK);
          if (fd >= 0) ::close(fd);
        }
      }
    }
    return log_;
  }
  int Hangover() const { return engine_.Settings().hangoverTime; }

  SandboxEnv env_;
  std::string log_;
  Engine engine_{testing::AppendTo(log_)};
};

// --- files that are not regular, and files too large -------------------------------------------

TEST_F(ConfigFiles, FifoAsConfigFileIsRefusedWithoutBlocking) {
  fs::create_directories(env_.ConfigFolder());
  ASSERT_EQ(::mkfifo(Path().c_str(), 0600), 0);
  EXPECT_EQ(LoadConfig({Path()}), Loading() + "ConfigLoader::load_configuration, cannot read " +
                                      Path() + " (not a regular file); no settings loaded\n");
  EXPECT_EQ(Hangover(), 21);
}

TEST_F(ConfigFiles, FifoAsUserDirsFileIsSkippedWithoutBlocking) {
  const std::string userDirs = env_.Root() + "/.config/user-dirs.dirs";
  fs::create_directories(env_.Root() + "/.config");
  ASSERT_EQ(::mkfifo(userDirs.c_str(), 0600), 0);
  fs::create_directories(env_.ConfigFolder());
  // Without the file the Documents folder is $HOME/Documents: the default gets written there.
  EXPECT_EQ(LoadConfig({userDirs}), kNotFound);
  EXPECT_TRUE(fs::is_regular_file(Path()));
}

TEST_F(ConfigFiles, FolderAndDeviceInPlaceOfTheFileAreRefusedInOneLine) {
  fs::create_directories(Path());  // a folder named config.yml
  EXPECT_EQ(LoadConfig(), Loading() + "ConfigLoader::load_configuration, cannot read " + Path() +
                              " (Is a directory); no settings loaded\n");
  fs::remove(Path());
  fs::create_symlink("/dev/zero", Path());  // would otherwise be read without end
  EXPECT_EQ(LoadConfig(), Loading() + "ConfigLoader::load_configuration, cannot read " + Path() +
                              " (not a regular file); no settings loaded\n");
  EXPECT_EQ(Hangover(), 21);
}

TEST_F(ConfigFiles, FileAboveTheLimitIsTreatedLikeAMalformedFile) {
  // Valid YAML either way: a setting, then comment lines up to the wanted size.
  auto sized = [](size_t bytes) {
    std::string text = "reverberation: 30\n";
    while (text.size() < bytes) {
      const size_t room = bytes - text.size();
      if (room >= 2) {
        text += '#';
        text.append(std::min<size_t>(room - 2, 78), 'x');
      }
      text += '\n';
    }
    return text;
  };
  SandboxEnv::WriteFile(Path(), sized(64 * 1024));  // at the limit: read
  EXPECT_EQ(LoadConfig(),
            Loading() +
                "ConfigLoader::load_reverberation, reverberation: 30\nAudioCore set hangover time "
                "30\n");
  EXPECT_EQ(Hangover(), 30);

  const std::string tooLarge = Loading() + "ConfigLoader::load_configuration, " + Path() +
                               " is larger than 65536 bytes; no settings loaded\n";
  engine_.SetHangoverTime(21);
  SandboxEnv::WriteFile(Path(), sized(64 * 1024 + 1));
  EXPECT_EQ(LoadConfig(), tooLarge);
  SandboxEnv::WriteFile(Path(), sized(10 * 1024 * 1024));  // a valid 10 MB file: unread
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LoadConfig(), tooLarge);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(Hangover(), 21);
}

// --- the default file -------------------------------------------------------------------------

TEST_F(ConfigFiles, DefaultIsNeverWrittenOverAnExistingFile) {
  fs::create_directories(env_.ConfigFolder());
  const std::string mine = "reverberation: 33\n";
  SandboxEnv::WriteFile(Path(), mine);
  ConfigLoader::write_default_configuration(Path());  // as after a stale existence test
  EXPECT_EQ(SandboxEnv::ReadFile(Path()), mine);
  // Nothing else is left in the folder (no temporary file).
  EXPECT_EQ(std::distance(fs::directory_iterator(env_.ConfigFolder()), {}), 1);
}

TEST_F(ConfigFiles, DanglingLinkGetsNoDefaultWrittenThroughIt) {
  fs::create_directories(env_.ConfigFolder());
  const std::string target = env_.ConfigFolder() + "/elsewhere.yml";
  fs::create_symlink(target, Path());
  EXPECT_EQ(LoadConfig(), std::string(kNotFound) +
                              "config.yml is a link to a missing file; no default written\n");
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(fs::is_symlink(Path()));
}

TEST_F(ConfigFiles, EditorSavingMeanwhileNeverLosesItsFile) {
  // The editor saves by delete-and-recreate while the host loads the configuration again and
  // again; whenever the editor has finished a save, the file must hold what it wrote.
  fs::create_directories(env_.ConfigFolder());
  const std::string mine = "reverberation: 33\nducker_exit_time: 400\n";
  std::atomic<bool> stop{false};
  int lost = 0, saves = 0;
  std::thread editor([&] {
    for (; saves < 1500; ++saves) {
      fs::remove(Path());
      SandboxEnv::WriteFile(Path(), mine);
      std::this_thread::yield();
      if (SandboxEnv::ReadFile(Path()) != mine) ++lost;
    }
    stop = true;
  });
  int loads = 0;
  while (!stop) {
    engine_.LoadConfig();
    ++loads;
  }
  editor.join();
  EXPECT_EQ(lost, 0) << "of " << saves << " saves, with " << loads << " loads";
  EXPECT_EQ(SandboxEnv::ReadFile(Path()), mine);
  // Whatever was read was one whole version: the user's values or none.
  const int h = Hangover();
  EXPECT_TRUE(h == 21 || h == 33) << h;
}

// --- keys given more than once ------------------------------------------------------------------

TEST_F(ConfigFiles, RepeatedKeyIsReportedAndTheFirstValueWins) {
  SandboxEnv::WriteFile(Path(),
                        "reverberation: 30\nversion: 1.0\nreverberation: 40\n"
                        "double_talk_threshold: 60\n'reverberation': 45\n");
  EXPECT_EQ(LoadConfig(),
            Loading() +
                "ConfigLoader::load_reverberation, reverberation is given 3 times; the first one "
                "is used\n"
                "ConfigLoader::load_reverberation, reverberation: 30\n"
                "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 60\n"
                "AudioCore set hangover time 30\n"
                "AudioCore set double talk threashold 60\n");
  EXPECT_EQ(Hangover(), 30);
  // A repeated key whose first value is invalid: reported, and the invalid first value decides.
  SandboxEnv::WriteFile(Path(), "ducker_exit_time: 5000\nducker_exit_time: 400\n");
  EXPECT_EQ(LoadConfig(),
            Loading() +
                "ConfigLoader::load_ducker_exit_time, ducker_exit_time is given 2 times; the first "
                "one is used\n"
                "ConfigLoader::load_ducker_exit_time, invalid setting as 5000. Valid range [120, "
                "700]\n");
  EXPECT_EQ(engine_.Settings().duckerExitTime, 25);
}

}  // namespace
}  // namespace orvo
