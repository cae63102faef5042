#include "config/config_loader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "orvoaec/engine.hpp"
#include "tests/sandbox_env.hpp"

namespace orvo {
namespace {

using testing::SandboxEnv;

const char kDefaultFile[] =
    "# Configuration file for audio algorithm\n"
    "# Note:there must be a space after \":\"\n"
    "version: 1.0\n"
    "reverberation: 21\n"
    "ducker_enter_time: 160  # ms\n"
    "ducker_exit_time: 500  # ms\n"
    "ducker_threashold: -30  # -45, -40, -35, -30, -25\n"
    "double_talk_threshold: 48";

// The five applied lines of a file with the default values.
const char kDefaultsApplied[] =
    "AudioCore set hangover time 21\n"
    "AudioCore set ducker enter time 8\n"
    "AudioCore set ducker exit time 25\n"
    "Ducker threshold: 1e+09\n"
    "AudioCore ducker threshold 1e+09\n"
    "AudioCore set double talk threashold 48\n";

class ConfigFile : public ::testing::Test {
 protected:
  ConfigFile() { log_.clear(); }

  // The two lines every load of an existing file starts with.
  std::string Loading() const { return LoadingFrom(env_.ConfigPath()); }
  static std::string LoadingFrom(const std::string& path) {
    return "Loading configration from " + path +
           "\nConfigLoader::load_configuration load configuration from " + path + "\n";
  }

  // Writes config.yml, runs the Documents sequence and returns what it logged.
  std::string Load(const std::string& text) {
    env_.WriteConfig(text);
    return LoadExisting();
  }
  std::string LoadExisting() {
    log_.clear();
    engine_.LoadConfig();
    return log_;
  }

  void ExpectCreationDefaults() const {
    const EngineSettings s = engine_.Settings();
    EXPECT_EQ(s.hangoverTime, 21);
    EXPECT_EQ(s.duckerEnterTime, 8);
    EXPECT_EQ(s.duckerExitTime, 25);
    EXPECT_EQ(s.duckerThreshold, 1e9f);
    EXPECT_EQ(s.doubleTalkThreshold, 48);
    EXPECT_EQ(s.denoiseMode, 1);
  }

  // One two-channel frame still goes through the engine.
  void ExpectFrameProcesses() {
    std::vector<int16_t> mic(2 * Engine::kFrameSamples), ref(Engine::kFrameSamples);
    std::vector<int16_t> out(Engine::kFrameSamples, 12345);
    for (size_t i = 0; i < mic.size(); ++i)
      mic[i] = static_cast<int16_t>((i * 37) % 2001 - 1000);
    const int before = engine_.InternalState().hRoomPro->frameCounter;
    engine_.Process(mic.data(), ref.data(), out.data(), true, 3, 99);
    EXPECT_EQ(engine_.InternalState().hRoomPro->frameCounter, before + 1);
  }

  SandboxEnv env_;
  std::string log_;
  Engine engine_{[this](std::string_view text) { log_ += text; }};
};

// --- locating and generating the file ------------------------------------------------------------

TEST_F(ConfigFile, MissingFileIsWrittenOnceAndAppliedOnTheNextCall) {
  env_.MakeConfigFolder();
  engine_.SetHangoverTime(40);  // shows that the first call applies nothing

  EXPECT_EQ(LoadExisting(), "config.yml not found. Use default value to generate it\n");
  EXPECT_EQ(SandboxEnv::ReadFile(env_.ConfigPath()), std::string(kDefaultFile));
  EXPECT_EQ(engine_.Settings().hangoverTime, 40);

  EXPECT_EQ(LoadExisting(), Loading() +
                                "ConfigLoader::load_reverberation, reverberation: 21\n"
                                "ConfigLoader::load_ducker_enter_time, : 160\n"
                                "ConfigLoader::load_ducker_exit_time, : 500\n"
                                "ConfigLoader::load_ducker_threshold, ducker threhold: -30\n"
                                "ConfigLoader::load_double_talk_threshold, "
                                "double_talk_threshold: 48\n" +
                                kDefaultsApplied);
  ExpectCreationDefaults();
  // Read, not rewritten.
  EXPECT_EQ(SandboxEnv::ReadFile(env_.ConfigPath()), std::string(kDefaultFile));
}

TEST_F(ConfigFile, AnExistingFileIsNeverOverwritten) {
  env_.WriteConfig("reverberation: 30\n");
  const std::string log = LoadExisting();
  EXPECT_EQ(log, Loading() +
                     "ConfigLoader::load_reverberation, reverberation: 30\n"
                     "AudioCore set hangover time 30\n");
  EXPECT_EQ(SandboxEnv::ReadFile(env_.ConfigPath()), std::string("reverberation: 30\n"));
  EXPECT_EQ(engine_.Settings().hangoverTime, 30);
}

TEST_F(ConfigFile, NoRereridEvaFolderLogsAndWritesNothing) {
  std::filesystem::create_directories(env_.Documents());
  EXPECT_EQ(LoadExisting(), "config.yml not found. Use default value to generate it\n");
  EXPECT_FALSE(std::filesystem::exists(env_.ConfigFolder()));
  EXPECT_TRUE(std::filesystem::is_empty(env_.Documents()));
  // Without even a Documents folder nothing is created either.
  std::filesystem::remove(env_.Documents());
  EXPECT_EQ(LoadExisting(), "config.yml not found. Use default value to generate it\n");
  EXPECT_FALSE(std::filesystem::exists(env_.Documents()));
  ExpectCreationDefaults();
}

TEST_F(ConfigFile, NoDocumentsFolderAtAll) {
  env_.Unset("HOME");
  env_.Unset("XDG_CONFIG_HOME");
  env_.Unset("XDG_DOCUMENTS_DIR");
  EXPECT_EQ(LoadExisting(), "Failed to get Document path\n");
  ExpectCreationDefaults();
}

TEST_F(ConfigFile, DocumentsFromXdgVariableAndUserDirsFile) {
  const std::string elsewhere = env_.Root() + "/Elsewhere";
  std::filesystem::create_directories(env_.Root() + "/.config");
  SandboxEnv::WriteFile(
      env_.Root() + "/.config/user-dirs.dirs",
      "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Elsewhere\"\n");
  std::filesystem::create_directories(elsewhere + "/RereridEva");
  SandboxEnv::WriteFile(elsewhere + "/RereridEva/config.yml", "reverberation: 33\n");
  EXPECT_EQ(LoadExisting(), LoadingFrom(elsewhere + "/RereridEva/config.yml") +
                                "ConfigLoader::load_reverberation, reverberation: 33\n"
                                "AudioCore set hangover time 33\n");

  const std::string direct = env_.Root() + "/Direct";
  std::filesystem::create_directories(direct + "/RereridEva");
  env_.Set("XDG_DOCUMENTS_DIR", direct);
  EXPECT_EQ(LoadExisting(), "config.yml not found. Use default value to generate it\n");
  EXPECT_EQ(SandboxEnv::ReadFile(direct + "/RereridEva/config.yml"), std::string(kDefaultFile));
}

TEST_F(ConfigFile, LongPathsAreNotTruncated) {
  // Far beyond 520 bytes: three nested folders of 200 characters each.
  std::string documents = env_.Root();
  for (char c : {'a', 'b', 'c'})
    documents += "/" + std::string(200, c);
  const std::string path = documents + "/RereridEva/config.yml";
  std::filesystem::create_directories(documents + "/RereridEva");
  env_.Set("XDG_DOCUMENTS_DIR", documents);
  ASSERT_GT(path.size(), 620u);

  EXPECT_EQ(LoadExisting(), "config.yml not found. Use default value to generate it\n");
  EXPECT_EQ(SandboxEnv::ReadFile(path), std::string(kDefaultFile));
  EXPECT_EQ(LoadExisting(), LoadingFrom(path) +
                                "ConfigLoader::load_reverberation, reverberation: 21\n"
                                "ConfigLoader::load_ducker_enter_time, : 160\n"
                                "ConfigLoader::load_ducker_exit_time, : 500\n"
                                "ConfigLoader::load_ducker_threshold, ducker threhold: -30\n"
                                "ConfigLoader::load_double_talk_threshold, "
                                "double_talk_threshold: 48\n" +
                                kDefaultsApplied);
}

TEST_F(ConfigFile, ExplicitFileForTheCppInterface) {
  const std::string path = env_.Root() + "/tuning.yaml";
  SandboxEnv::WriteFile(path, "double_talk_threshold: 100\n");
  log_.clear();
  engine_.LoadConfigFile(path);
  EXPECT_EQ(log_, LoadingFrom(path) +
                      "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 100\n"
                      "AudioCore set double talk threashold 100\n");
  EXPECT_EQ(engine_.Settings().doubleTalkThreshold, 100);

  // A missing explicit file is reported and nothing is written in its place.
  const std::string missing = env_.Root() + "/missing.yml";
  log_.clear();
  engine_.LoadConfigFile(missing);
  EXPECT_EQ(log_, "Configuration file " + missing + " not found; settings unchanged\n");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// --- ranges and messages
// ---------------------------------------------------------------------------

TEST_F(ConfigFile, ReverberationBoundsAreInclusive) {
  EXPECT_EQ(Load("reverberation: 17\n"), Loading() +
                                             "ConfigLoader::load_reverberation, reverberation: 17\n"
                                             "AudioCore set hangover time 17\n");
  EXPECT_EQ(engine_.Settings().hangoverTime, 17);
  EXPECT_EQ(Load("reverberation: 50\n"), Loading() +
                                             "ConfigLoader::load_reverberation, reverberation: 50\n"
                                             "AudioCore set hangover time 50\n");
  EXPECT_EQ(engine_.Settings().hangoverTime, 50);
  EXPECT_EQ(Load("reverberation: 16\n"),
            Loading() +
                "ConfigLoader::load_reverberation, invalid setting as 16. Valid range [17, 50]\n");
  EXPECT_EQ(Load("reverberation: 51\n"),
            Loading() +
                "ConfigLoader::load_reverberation, invalid setting as 51. Valid range [17, 50]\n");
  EXPECT_EQ(engine_.Settings().hangoverTime, 50);  // the rejected values left the last one
}

TEST_F(ConfigFile, DuckerTimesBecomeFramesTruncated) {
  EXPECT_EQ(Load("ducker_enter_time: 130\nducker_exit_time: 700\n"),
            Loading() +
                "ConfigLoader::load_ducker_enter_time, : 130\n"
                "ConfigLoader::load_ducker_exit_time, : 700\n"
                "AudioCore set ducker enter time 6\n"
                "AudioCore set ducker exit time 35\n");
  EXPECT_EQ(engine_.Settings().duckerEnterTime, 6);
  EXPECT_EQ(engine_.Settings().duckerExitTime, 35);

  EXPECT_EQ(Load("ducker_enter_time: 119\nducker_exit_time: 701\n"),
            Loading() +
                "ConfigLoader::load_ducker_enter_time, invalid setting as 119. Valid range "
                "[120, 700]\n"
                "ConfigLoader::load_ducker_exit_time, invalid setting as 701. Valid range "
                "[120, 700]\n");
  EXPECT_EQ(Load("ducker_enter_time: 120\nducker_exit_time: 139\n"),
            Loading() +
                "ConfigLoader::load_ducker_enter_time, : 120\n"
                "ConfigLoader::load_ducker_exit_time, : 139\n"
                "AudioCore set ducker enter time 6\n"
                "AudioCore set ducker exit time 6\n");
}

TEST_F(ConfigFile, DuckerThresholdCodes) {
  // -25 passes the loader but is not in the threshold table: the default stays.
  EXPECT_EQ(Load("ducker_threashold: -25\n"),
            Loading() +
                "ConfigLoader::load_ducker_threshold, ducker threhold: -25\n"
                "Ducker threshold: 1e+09\n"
                "AudioCore ducker threshold 1e+09\n");
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e9f);

  EXPECT_EQ(Load("ducker_threashold: -45\n"),
            Loading() +
                "ConfigLoader::load_ducker_threshold, ducker threhold: -45\n"
                "Ducker threshold: 1e+06\n"
                "AudioCore ducker threshold 1e+06\n");
  // An untabled code keeps the earlier value, not the default.
  EXPECT_EQ(Load("ducker_threashold: -44\n"),
            Loading() +
                "ConfigLoader::load_ducker_threshold, ducker threhold: -44\n"
                "Ducker threshold: 1e+06\n"
                "AudioCore ducker threshold 1e+06\n");
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e6f);

  EXPECT_EQ(Load("ducker_threashold: -46\n"),
            Loading() +
                "ConfigLoader::load_ducker_threshold, invalid setting as -46. Valid range "
                "[-45, -25]\n");
  EXPECT_EQ(Load("ducker_threashold: -24\n"),
            Loading() +
                "ConfigLoader::load_ducker_threshold, invalid setting as -24. Valid range "
                "[-45, -25]\n");
  // The key is read with exactly its own letters.
  EXPECT_EQ(Load("ducker_threshold: -40\n"), Loading());
  EXPECT_EQ(engine_.Settings().duckerThreshold, 1e6f);
}

TEST_F(ConfigFile, ValuesThatAreNotIntegers) {
  const char kDoubleTalkInvalid[] =
      "ConfigLoader::load_double_talk_threshold, double_talk_threshold is invalid. Input "
      "interger between [8, 256]\n";
  for (const char* value : {"loud", "12.5", "[1, 2]", "{a: 1}", "99999999999", "''", "~"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(Load(std::string("double_talk_threshold: ") + value + "\n"),
              Loading() + kDoubleTalkInvalid);
    EXPECT_EQ(engine_.Settings().doubleTalkThreshold, 48);
  }
  EXPECT_EQ(Load("double_talk_threshold:\n"), Loading() + kDoubleTalkInvalid);

  EXPECT_EQ(Load("local_playback_flag: yes\nreverberation: 1.5\nducker_enter_time: long\n"
                 "ducker_exit_time: [500]\nducker_threashold: -30dB\nagc_gain: x\n"
                 "ref_delay: {}\ndenoise_level: high\ncascade_connected: true\n"),
            Loading() +
                "ConfigLoader::load_local_playback_flag, local_playback_flag is invalid. Input 0 "
                "or 1\n"
                "ConfigLoader::load_reverberation, reverberation is invalid. Input interger "
                "between [17, 50]\n"
                "ConfigLoader::load_ducker_enter_time, ducker hold time is invalid. Input "
                "interger between [120, 700]\n"
                "ConfigLoader::load_ducker_exit_time, ducker hold time is invalid. Input "
                "interger between [120, 700]\n"
                "ConfigLoader::load_ducker_threshold, ducker threhold is invalid. Input interger "
                "between [-45, -25]\n"
                "ConfigLoader::load_agc_gain, agc_gain is invalid. Input interger between [1, "
                "9]\n"
                "ConfigLoader::load_ref_delay, ref_delay is invalid. Input interger between [2, "
                "15]\n"
                "ConfigLoader::load_denoise_level, denoise_level is invalid. Input interger "
                "between [0, 4]\n"
                "ConfigLoader::load_cascade_connected, cascade_connected is invalid. Input "
                "interger between [0, 1]\n");
  ExpectCreationDefaults();
}

TEST_F(ConfigFile, DenoiseLevelIsValidatedButNeverApplied) {
  EXPECT_EQ(Load("denoise_level: -1\n"),
            Loading() +
                "ConfigLoader::load_denoise_level, invalid denoise level setting as -1. Valid "
                "range [0, 4]\n");
  EXPECT_EQ(Load("denoise_level: 4\n"),
            Loading() + "ConfigLoader::load_denoise_level, denoise_level: 4\n");
  EXPECT_EQ(Load("denoise_level: 5\n"),
            Loading() +
                "ConfigLoader::load_denoise_level, invalid denoise level setting as 5. Valid "
                "range [0, 4]\n");
  ExpectCreationDefaults();
}

TEST_F(ConfigFile, OnlyVersionLogsOnlyTheLoadingLines) {
  EXPECT_EQ(Load("version: 1.0\n"), Loading());
  ExpectCreationDefaults();
}

TEST_F(ConfigFile, EveryKeyInFieldOrderThenAppliedInSetterOrder) {
  // Keys in a scrambled order; messages follow the field order.
  const std::string log = Load(
      "cascade_connected: 1\ndouble_talk_threshold: 256\nversion: 1.0\nagc_gain: 9\n"
      "ducker_threashold: -35\nref_delay: 2\ndenoise_level: 0\nducker_exit_time: 120\n"
      "reverberation: 44\nducker_enter_time: 699\nlocal_playback_flag: 0\n");
  EXPECT_EQ(log, Loading() +
                     "ConfigLoader::load_local_playback_flag, local_playback_flag: 0\n"
                     "ConfigLoader::load_reverberation, reverberation: 44\n"
                     "ConfigLoader::load_ducker_enter_time, : 699\n"
                     "ConfigLoader::load_ducker_exit_time, : 120\n"
                     "ConfigLoader::load_ducker_threshold, ducker threhold: -35\n"
                     "ConfigLoader::load_agc_gain, agc gain: 9\n"
                     "ConfigLoader::load_ref_delay, ref_delay: 2\n"
                     "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 256\n"
                     "ConfigLoader::load_denoise_level, denoise_level: 0\n"
                     "ConfigLoader::load_cascade_connected, cascade_connected: 1\n"
                     "AudioCore set hangover time 44\n"
                     "AudioCore set ducker enter time 34\n"
                     "AudioCore set ducker exit time 6\n"
                     "Ducker threshold: 1e+08\n"
                     "AudioCore ducker threshold 1e+08\n"
                     "AudioCore set double talk threashold 256\n");
  const EngineSettings s = engine_.Settings();
  EXPECT_EQ(s.hangoverTime, 44);
  EXPECT_EQ(s.duckerEnterTime, 34);
  EXPECT_EQ(s.duckerExitTime, 6);
  EXPECT_EQ(s.duckerThreshold, 1e8f);
  EXPECT_EQ(s.doubleTalkThreshold, 256);
  EXPECT_EQ(s.denoiseMode, 1);
}

TEST_F(ConfigFile, UnappliedKeysRejectOutOfRange) {
  EXPECT_EQ(Load("local_playback_flag: 2\nagc_gain: 0\nref_delay: 16\ndouble_talk_threshold: 7\n"
                 "cascade_connected: -1\n"),
            Loading() +
                "ConfigLoader::load_local_playback_flag, invalid setting as 2. Valid value is 0 "
                "or 1\n"
                "ConfigLoader::load_agc_gain, invalid setting as 0. Valid range [1, 9]\n"
                "ConfigLoader::load_ref_delay, invalid setting as 16. Valid range [2, 15]\n"
                "ConfigLoader::load_double_talk_threshold, invalid double talk setting as 7. "
                "Valid range [8, 256]\n"
                "ConfigLoader::load_cascade_connected, invalid cascade setting as -1. Valid "
                "range [0, 1]\n");
  ExpectCreationDefaults();
}

TEST_F(ConfigFile, ANewEngineDropsAppliedValues) {
  Load("reverberation: 40\nducker_threashold: -40\n");
  EXPECT_EQ(engine_.Settings().hangoverTime, 40);
  engine_.Recreate();
  ExpectCreationDefaults();
}

// --- files that are not a map of settings
// ----------------------------------------------------------

struct BadFile {
  const char* name;
  std::string bytes;
  std::string problem;  // the line logged after the two loading lines, "<path>" replaced
};

std::string Junk() {
  std::string bytes;
  unsigned state = 12345;
  for (int i = 0; i < 300; ++i) {
    state = state * 1103515245u + 12345u;
    bytes.push_back(static_cast<char>(state >> 16));
  }
  return bytes;
}

TEST_F(ConfigFile, MalformedFilesAreReportedAndTreatedAsEmpty) {
  const std::string p = "ConfigLoader::load_configuration, <path>";
  const std::vector<BadFile> files = {
      {"unclosed bracket", "reverberation: [21\nducker_enter_time: 300\n",
       p + " is not valid YAML"},
      {"unclosed brace", "{reverberation: 30", p + " is not valid YAML"},
      {"bad indentation", "reverberation: 30\n  ducker_enter_time: 300\n x: 1\n",
       p + " is not valid YAML"},
      {"deep nesting", std::string(20000, '['), p + " is not valid YAML"},
      {"list", "- reverberation: 30\n- 2\n",
       p + " does not hold a map of settings (top level is a list); no settings loaded\n"},
      {"scalar", "reverberation 30\n",
       p + " does not hold a map of settings (top level is a scalar); no settings loaded\n"},
      {"empty", "", p + " is an empty document; no settings loaded\n"},
      {"comments only", "# reverberation: 30\n", p + " is an empty document; no settings loaded\n"},
  };
  for (const BadFile& f : files) {
    SCOPED_TRACE(f.name);
    std::string log;
    EXPECT_NO_THROW(log = Load(f.bytes));
    std::string want = f.problem;
    want.replace(want.find("<path>"), 6, env_.ConfigPath());
    ASSERT_EQ(log.rfind(Loading(), 0), 0u) << log;
    const std::string rest = log.substr(Loading().size());
    EXPECT_EQ(rest.compare(0, want.size(), want), 0) << rest;
    EXPECT_EQ(rest.size() - rest.find('\n'), 1u) << "exactly one line: " << rest;
    ExpectCreationDefaults();
    ExpectFrameProcesses();
  }
  // The parse report names the place and the problem.
  EXPECT_EQ(Load("a: [1, 2\n"), Loading() + "ConfigLoader::load_configuration, " +
                                    env_.ConfigPath() +
                                    " is not valid YAML (line 2, column 1: end of sequence flow "
                                    "not found); no settings loaded\n");
  // yaml-cpp's recursion limit is named for what it is.
  EXPECT_EQ(Load(std::string(5000, '{')), Loading() + "ConfigLoader::load_configuration, " +
                                              env_.ConfigPath() +
                                              " is not valid YAML (line 1, column 1: nested too "
                                              "deeply); no settings loaded\n");
  // A valid file afterwards is read as usual.
  EXPECT_EQ(Load("reverberation: 18\n"), Loading() +
                                             "ConfigLoader::load_reverberation, reverberation: 18\n"
                                             "AudioCore set hangover time 18\n");
}

TEST_F(ConfigFile, BinaryJunkAndUnreadableFilesDoNotStopTheHost) {
  for (const std::string& bytes : {Junk(), std::string("\0\0\xff\xfe:\x01", 6),
                                   std::string("\xef\xbb\xbfreverberation: \x80\x81\n")}) {
    std::string log;
    EXPECT_NO_THROW(log = Load(bytes));
    ASSERT_EQ(log.rfind(Loading(), 0), 0u) << log;
    ExpectCreationDefaults();
  }
  // A folder where the file should be: reported with the path, then the engine carries on.
  std::filesystem::remove(env_.ConfigPath());
  std::filesystem::create_directories(env_.ConfigPath());
  EXPECT_EQ(LoadExisting(), Loading() + "ConfigLoader::load_configuration, cannot read " +
                                env_.ConfigPath() + " (Is a directory); no settings loaded\n");
  ExpectCreationDefaults();
  ExpectFrameProcesses();
}

TEST_F(ConfigFile, KeysWithMapOrListValuesUseTheConversionMessage) {
  EXPECT_EQ(Load("reverberation:\n  frames: 30\nducker_exit_time:\n  - 500\n  - 600\n"
                 "double_talk_threshold: 64\n"),
            Loading() +
                "ConfigLoader::load_reverberation, reverberation is invalid. Input interger "
                "between [17, 50]\n"
                "ConfigLoader::load_ducker_exit_time, ducker hold time is invalid. Input "
                "interger between [120, 700]\n"
                "ConfigLoader::load_double_talk_threshold, double_talk_threshold: 64\n"
                "AudioCore set double talk threashold 64\n");
  ExpectFrameProcesses();
}

// --- the loader on its own -----------------------------------------------------------------------

TEST(ConfigLoaderDirect, StartsFromUnsetAndFillsOnlyValidFields) {
  SandboxEnv env;
  const std::string path = env.Root() + "/c.yml";
  SandboxEnv::WriteFile(path, "reverberation: 25\nagc_gain: 10\ncascade_connected: 0\n");
  AudioConfig config;
  config.local_playback_flag = 1;
  config.agc_gain = 5;
  config.denoise_level = 3;
  YAML::Node node;
  std::string log;
  Logger logger([](void* user, const char* text) { *static_cast<std::string*>(user) += text; },
                &log);
  ConfigLoader::load_configuration(node, path, config, logger);
  EXPECT_EQ(config.local_playback_flag, -1);
  EXPECT_EQ(config.reverberation, 25);
  EXPECT_EQ(config.ducker_enter_time, -1);
  EXPECT_EQ(config.ducker_exit_time, -1);
  EXPECT_EQ(config.ducker_threashold, -1);
  EXPECT_EQ(config.agc_gain, -1);
  EXPECT_EQ(config.ref_delay, -1);
  EXPECT_EQ(config.double_talk_threshold, -1);
  EXPECT_EQ(config.denoise_level, -1);
  EXPECT_EQ(config.cascade_connected, 0);
  EXPECT_TRUE(node.IsMap());
  EXPECT_EQ(node["reverberation"].as<int>(), 25);

  // A file that yields no map leaves the node an empty map.
  SandboxEnv::WriteFile(path, "[");
  ConfigLoader::load_configuration(node, path, config, logger);
  EXPECT_TRUE(node.IsMap());
  EXPECT_EQ(node.size(), 0u);
  EXPECT_EQ(config.reverberation, -1);
  EXPECT_EQ(config.cascade_connected, -1);
}

TEST(ConfigLoaderDirect, LoadersGivenANonMapReportInsteadOfThrowing) {
  std::string log;
  Logger logger([](void* user, const char* text) { *static_cast<std::string*>(user) += text; },
                &log);
  AudioConfig config;
  const YAML::Node scalar = YAML::Load("just words");
  EXPECT_NO_THROW(ConfigLoader::load_reverberation(scalar, config, logger));
  EXPECT_EQ(config.reverberation, -1);
  EXPECT_EQ(log.rfind("ConfigLoader::load_reverberation, cannot read reverberation (", 0), 0u)
      << log;
  EXPECT_EQ(log.substr(log.size() - 11), "); ignored\n");

  log.clear();
  const YAML::Node list = YAML::Load("[1, 2, 3]");
  EXPECT_NO_THROW(ConfigLoader::load_double_talk_threshold(list, config, logger));
  EXPECT_EQ(config.double_talk_threshold, -1);
}

TEST(ConfigLoaderDirect, ApplyWithoutEngineOnlyLogs) {
  EngineState state;
  std::string log;
  state.log.SetSink([](void* user, const char* text) { *static_cast<std::string*>(user) += text; },
                    &log);
  AudioConfig config;
  config.reverberation = 30;
  config.ducker_threashold = -40;
  config.agc_gain = 3;  // never applied
  ApplyConfiguration(state, config);
  EXPECT_EQ(log, "invalid audio call handle\ninvalid audio call handle\n");
}

TEST(ConfigLoaderDirect, WritingIntoAMissingFolderCreatesNothing) {
  SandboxEnv env;
  const std::string path = env.Root() + "/RereridEva/config.yml";
  ConfigLoader::write_default_configuration(path);
  EXPECT_FALSE(std::filesystem::exists(env.Root() + "/RereridEva"));
  ConfigLoader::write_default_configuration(env.Root() + "/config.yml");
  EXPECT_EQ(SandboxEnv::ReadFile(env.Root() + "/config.yml"), std::string(kDefaultFile));
}

}  // namespace
}  // namespace orvo
