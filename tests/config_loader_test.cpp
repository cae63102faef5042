#include "config/config_loader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "api/engine_internal.hpp"
#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/sandbox_env.hpp"

namespace orvo {
namespace {

using testing::SandboxEnv;
namespace fs = std::filesystem;

const char kDefaultFile[] =
    "# Configuration file for audio algorithm\n"
    "# Note:there must be a space after \":\"\n"
    "version: 1.0\n"
    "reverberation: 21\n"
    "ducker_enter_time: 160  # ms\n"
    "ducker_exit_time: 500  # ms\n"
    "ducker_threashold: -30  # -45, -40, -35, -30, -25\n"
    "double_talk_threshold: 48";

// What loading the default file logs after the two loading lines.
const char kDefaultFileLog[] =
    "ConfigLoader::load_reverberation, reverberation: 21\n"
    "ConfigLoader::load_ducker_enter_time, : 160\n"
    "ConfigLoader::load_ducker_exit_time, : 500\n"
    "ConfigLoader::load_ducker_threshold, ducker threhold: -30\n"
    "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 48\n"
    "AudioCore set hangover time 21\n"
    "AudioCore set ducker enter time 8\n"
    "AudioCore set ducker exit time 25\n"
    "Ducker threshold: 1e+09\n"
    "AudioCore ducker threshold 1e+09\n"
    "AudioCore set double talk threashold 48\n";

const char kNotFound[] = "config.yml not found. Use default value to generate it\n";
// Hangover, enter and exit frames, ducker threshold, double-talk threshold, denoise mode.
const char kDefaults[] = "21 8 25 1000000000 48 1";

std::string LoadingFrom(const std::string& path) {
  return "Loading configration from " + path +
         "\nConfigLoader::load_configuration load configuration from " + path + "\n";
}

class ConfigFile : public ::testing::Test {
 protected:
  std::string Loading() const { return LoadingFrom(env_.ConfigPath()); }
  // Writes config.yml, runs the Documents sequence and returns what it logged.
  std::string Load(const std::string& text) {
    SandboxEnv::WriteFile(env_.ConfigPath(), text);
    return LoadExisting();
  }
  std::string LoadExisting() {
    log_.clear();
    engine_.LoadConfig();
    return log_;
  }
  std::string Now() const {
    const EngineSettings s = engine_.Settings();
    char text[96];
    std::snprintf(text, sizeof text, "%d %d %d %.10g %d %d", s.hangoverTime, s.duckerEnterTime,
                  s.duckerExitTime, s.duckerThreshold, s.doubleTalkThreshold, s.denoiseMode);
    return text;
  }
  // The engine still takes a two-channel frame.
  void ExpectFrameProcesses() {
    std::vector<int16_t> mic(2 * Engine::kFrameSamples, 300), ref(Engine::kFrameSamples), out(960);
    const int before = orvo::internal::StateOf(engine_).hRoomPro->frameCounter;
    engine_.Process(mic.data(), ref.data(), out.data(), true, 3, 99);
    EXPECT_EQ(orvo::internal::StateOf(engine_).hRoomPro->frameCounter, before + 1);
  }

  SandboxEnv env_;
  std::string log_;
  Engine engine_{testing::AppendTo(log_)};
};

TEST_F(ConfigFile, MissingFileIsWrittenOnceAndAppliedOnTheNextCall) {
  fs::create_directories(env_.ConfigFolder());
  engine_.SetHangoverTime(40);  // shows that the first call applies nothing
  EXPECT_EQ(LoadExisting(), kNotFound);
  EXPECT_EQ(SandboxEnv::ReadFile(env_.ConfigPath()), kDefaultFile);
  EXPECT_EQ(engine_.Settings().hangoverTime, 40);
  EXPECT_EQ(LoadExisting(), Loading() + kDefaultFileLog);
  EXPECT_EQ(Now(), kDefaults);
  EXPECT_EQ(SandboxEnv::ReadFile(env_.ConfigPath()), kDefaultFile);  // read, not rewritten
}

TEST_F(ConfigFile, NoRereridEvaFolderOrNoDocumentsLogsAndWritesNothing) {
  fs::create_directories(env_.Documents());
  EXPECT_EQ(LoadExisting(), kNotFound);
  EXPECT_TRUE(fs::is_empty(env_.Documents()));
  fs::remove(env_.Documents());
  EXPECT_EQ(LoadExisting(), kNotFound);
  EXPECT_FALSE(fs::exists(env_.Documents()));
  env_.Set("HOME", nullptr);
  env_.Set("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(LoadExisting(), "Failed to get Document path\n");
  EXPECT_EQ(Now(), kDefaults);
}

TEST_F(ConfigFile, DocumentsFromUserDirsFileXdgVariableAndLongPaths) {
  SandboxEnv::WriteFile(env_.Root() + "/.config/user-dirs.dirs",
                        "# by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n");
  const std::string elsewhere = env_.Root() + "/Elsewhere/RereridEva/config.yml";
  SandboxEnv::WriteFile(elsewhere, "reverberation: 33\n");
  EXPECT_EQ(LoadExisting(), LoadingFrom(elsewhere) +
                                "ConfigLoader::load_reverberation, reverberation: 33\n"
                                "AudioCore set hangover time 33\n");
  // The variable wins; a path far beyond any fixed buffer is written and read back whole.
  std::string documents = env_.Root();
  for (char c : {'a', 'b', 'c'})
    documents += "/" + std::string(200, c);
  const std::string path = documents + "/RereridEva/config.yml";
  fs::create_directories(documents + "/RereridEva");
  env_.Set("XDG_DOCUMENTS_DIR", documents.c_str());
  EXPECT_EQ(LoadExisting(), kNotFound);
  EXPECT_EQ(SandboxEnv::ReadFile(path), kDefaultFile);
  EXPECT_EQ(LoadExisting(), LoadingFrom(path) + kDefaultFileLog);
}

TEST_F(ConfigFile, ExplicitFileForTheCppInterface) {
  const std::string path = env_.Root() + "/tuning.yaml", missing = env_.Root() + "/missing.yml";
  SandboxEnv::WriteFile(path, "double_talk_threshold: 100\n");
  engine_.LoadConfigFile(path);
  engine_.LoadConfigFile(missing);
  EXPECT_TRUE(
      log_.ends_with(LoadingFrom(path) +
                     "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 100\n"
                     "AudioCore set double talk threashold 100\n"
                     "Configuration file " +
                     missing + " not found; settings unchanged\n"))
      << log_;
  EXPECT_EQ(engine_.Settings().doubleTalkThreshold, 100);
  EXPECT_FALSE(fs::exists(missing));
}

// One message of a key's loader.
std::string L(const char* loader, const char* text) {
  return std::string("ConfigLoader::load_") + loader + ", " + text + "\n";
}

// Files loaded one after another into the same engine: the log after the loading lines and the
// settings afterwards. A rejected or untabled value leaves the earlier one in force.
TEST_F(ConfigFile, RangesConversionsAndExactMessages) {
  const struct {
    const char* file;
    std::string log;
    const char* settings;
  } rows[] = {
      {"reverberation: 17\n",
       L("reverberation", "reverberation: 17") + "AudioCore set hangover time 17\n",
       "17 8 25 1000000000 48 1"},
      {"denoise_level: 4\nducker_exit_time: 700\nducker_enter_time: 130\nreverberation: 50\n",
       L("reverberation", "reverberation: 50") + L("ducker_enter_time", ": 130") +
           L("ducker_exit_time", ": 700") + L("denoise_level", "denoise_level: 4") +
           "AudioCore set hangover time 50\nAudioCore set ducker enter time 6\n"
           "AudioCore set ducker exit time 35\n",
       "50 6 35 1000000000 48 1"},
      {"reverberation: 16\nducker_enter_time: 119\nducker_exit_time: 701\nducker_threashold: -46\n"
       "local_playback_flag: 2\nagc_gain: 0\nref_delay: 16\ndouble_talk_threshold: 7\n"
       "denoise_level: -1\ncascade_connected: -1\n",
       L("local_playback_flag", "invalid setting as 2. Valid value is 0 or 1") +
           L("reverberation", "invalid setting as 16. Valid range [17, 50]") +
           L("ducker_enter_time", "invalid setting as 119. Valid range [120, 700]") +
           L("ducker_exit_time", "invalid setting as 701. Valid range [120, 700]") +
           L("ducker_threshold", "invalid setting as -46. Valid range [-45, -25]") +
           L("agc_gain", "invalid setting as 0. Valid range [1, 9]") +
           L("ref_delay", "invalid setting as 16. Valid range [2, 15]") +
           L("double_talk_threshold", "invalid double talk setting as 7. Valid range [8, 256]") +
           L("denoise_level", "invalid denoise level setting as -1. Valid range [0, 4]") +
           L("cascade_connected", "invalid cascade setting as -1. Valid range [0, 1]"),
       "50 6 35 1000000000 48 1"},
      {"reverberation: 51\nducker_threashold: -24\ndenoise_level: 5\n",
       L("reverberation", "invalid setting as 51. Valid range [17, 50]") +
           L("ducker_threshold", "invalid setting as -24. Valid range [-45, -25]") +
           L("denoise_level", "invalid denoise level setting as 5. Valid range [0, 4]"),
       "50 6 35 1000000000 48 1"},
      {"ducker_enter_time: 120\nducker_exit_time: 139\nducker_threashold: -45\n",
       L("ducker_enter_time", ": 120") + L("ducker_exit_time", ": 139") +
           L("ducker_threshold", "ducker threhold: -45") +
           "AudioCore set ducker enter time 6\nAudioCore set ducker exit time 6\n"
           "Ducker threshold: 1e+06\nAudioCore ducker threshold 1e+06\n",
       "50 6 6 1000000 48 1"},
      // -25 passes the loader but has no threshold of its own; keys are read as spelt.
      {"ducker_threashold: -25\nducker_threshold: -40\nversion: 1.0\n",
       L("ducker_threshold", "ducker threhold: -25") +
           "Ducker threshold: 1e+06\nAudioCore ducker threshold 1e+06\n",
       "50 6 6 1000000 48 1"},
      {"local_playback_flag: yes\nreverberation: 1.5\nducker_enter_time: long\n"
       "ducker_exit_time: [500]\nducker_threashold: -30dB\nagc_gain: x\nref_delay: {}\n"
       "denoise_level: high\ncascade_connected: true\n",
       L("local_playback_flag", "local_playback_flag is invalid. Input 0 or 1") +
           L("reverberation", "reverberation is invalid. Input interger between [17, 50]") +
           L("ducker_enter_time",
             "ducker hold time is invalid. Input interger between [120, 700]") +
           L("ducker_exit_time", "ducker hold time is invalid. Input interger between [120, 700]") +
           L("ducker_threshold", "ducker threhold is invalid. Input interger between [-45, -25]") +
           L("agc_gain", "agc_gain is invalid. Input interger between [1, 9]") +
           L("ref_delay", "ref_delay is invalid. Input interger between [2, 15]") +
           L("denoise_level", "denoise_level is invalid. Input interger between [0, 4]") +
           L("cascade_connected", "cascade_connected is invalid. Input interger between [0, 1]"),
       "50 6 6 1000000 48 1"},
      // Keys in a scrambled order: messages in field order, then the five applied in order.
      {"cascade_connected: 1\ndouble_talk_threshold: 256\nversion: 1.0\nagc_gain: 9\n"
       "ducker_threashold: -35\nref_delay: 2\ndenoise_level: 0\nducker_exit_time: 120\n"
       "reverberation: 44\nducker_enter_time: 699\nlocal_playback_flag: 0\n",
       L("local_playback_flag", "local_playback_flag: 0") +
           L("reverberation", "reverberation: 44") + L("ducker_enter_time", ": 699") +
           L("ducker_exit_time", ": 120") + L("ducker_threshold", "ducker threhold: -35") +
           L("agc_gain", "agc gain: 9") + L("ref_delay", "ref_delay: 2") +
           L("double_talk_threshold", "double_talk_threshold: 256") +
           L("denoise_level", "denoise_level: 0") + L("cascade_connected", "cascade_connected: 1") +
           "AudioCore set hangover time 44\nAudioCore set ducker enter time 34\n"
           "AudioCore set ducker exit time 6\nDucker threshold: 1e+08\n"
           "AudioCore ducker threshold 1e+08\nAudioCore set double talk threashold 256\n",
       "44 34 6 100000000 256 1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(Load(row.file), Loading() + row.log);
    EXPECT_EQ(Now(), row.settings);
  }
  for (const char* value : {"loud", "12.5", "[1, 2]", "{a: 1}", "99999999999", "''", "~", ""}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(Load(std::string("double_talk_threshold: ") + value + "\n"),
              Loading() + L("double_talk_threshold",
                            "double_talk_threshold is invalid. Input interger between [8, 256]"));
    EXPECT_EQ(engine_.Settings().doubleTalkThreshold, 256);
  }
}

TEST_F(ConfigFile, MalformedFilesAreReportedOnOneLineAndTreatedAsEmpty) {
  const std::string notYaml = " is not valid YAML", noMap = " does not hold a map of settings";
  const struct {
    std::string bytes, problem;  // the line logged after the loading lines, after the path
  } files[] = {
      {"reverberation: [21\nducker_enter_time: 300\n", notYaml},
      {std::string(20000, '['), notYaml},
      {"a: [1, 2\n", notYaml + " (line 2, column 1: end of sequence flow not found); no "
                               "settings loaded\n"},
      {std::string(5000, '{'), notYaml + " (line 1, column 1: nested too deeply); no settings "
                                         "loaded\n"},
      {"- reverberation: 30\n- 2\n", noMap + " (top level is a list); no settings loaded\n"},
      {"reverberation 30\n", noMap + " (top level is a scalar); no settings loaded\n"},
      {"", " is an empty document; no settings loaded\n"},
      {std::string("\0\0\xff\xfe:\x01\x80\x9b[{\xc3", 11), ""},  // binary junk
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.bytes.substr(0, 40));
    std::string log;
    EXPECT_NO_THROW(log = Load(f.bytes));
    const std::string want = "ConfigLoader::load_configuration, " + env_.ConfigPath() + f.problem;
    ASSERT_EQ(log.rfind(Loading() + want, 0), 0u) << log;
    EXPECT_EQ(log.find('\n', Loading().size()), log.size() - 1) << "exactly one line: " << log;
    EXPECT_EQ(Now(), kDefaults);
    ExpectFrameProcesses();
  }
  // A folder where the file should be is reported with the reason.
  fs::remove(env_.ConfigPath());
  fs::create_directories(env_.ConfigPath());
  EXPECT_EQ(LoadExisting(), Loading() + "ConfigLoader::load_configuration, cannot read " +
                                env_.ConfigPath() + " (Is a directory); no settings loaded\n");
  // A valid file afterwards is read as usual.
  fs::remove(env_.ConfigPath());
  EXPECT_EQ(Load("reverberation: 18\n"), Loading() +
                                             "ConfigLoader::load_reverberation, reverberation: 18\n"
                                             "AudioCore set hangover time 18\n");
}

TEST(ConfigLoaderDirect, ApplyWithoutEngineOnlyLogs) {
  EngineState state;
  std::string log;
  state.log = testing::LoggerTo(log);
  AudioConfig config;
  config.reverberation = 30;
  config.ducker_threashold = -40;
  config.agc_gain = 3;  // never applied
  ApplyConfiguration(state, config);
  EXPECT_EQ(log, "invalid audio call handle\ninvalid audio call handle\n");
}

}  // namespace
}  // namespace orvo
