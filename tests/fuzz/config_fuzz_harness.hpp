// Feeds arbitrary bytes as config.yml through the configuration loader and checks what comes
// out. Shared by the libFuzzer target and the fixed-iteration fuzz test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "config/config_loader_yaml.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/sandbox_env.hpp"

namespace orvo::fuzz {

// Each key's field and the inclusive range the loader accepts.
struct KeyRange {
  const char* key;
  int32_t AudioConfig::*field;
  int lo, hi;
};
inline const KeyRange kKeyRanges[] = {
    {"local_playback_flag", &AudioConfig::local_playback_flag, 0, 1},
    {"reverberation", &AudioConfig::reverberation, 17, 50},
    {"ducker_enter_time", &AudioConfig::ducker_enter_time, 120, 700},
    {"ducker_exit_time", &AudioConfig::ducker_exit_time, 120, 700},
    {"ducker_threashold", &AudioConfig::ducker_threashold, -45, -25},
    {"agc_gain", &AudioConfig::agc_gain, 1, 9},
    {"ref_delay", &AudioConfig::ref_delay, 2, 15},
    {"double_talk_threshold", &AudioConfig::double_talk_threshold, 8, 256},
    {"denoise_level", &AudioConfig::denoise_level, 0, 4},
    {"cascade_connected", &AudioConfig::cascade_connected, 0, 1},
};

class ConfigFuzzHarness {
 public:
  ConfigFuzzHarness() {
    state_.log = testing::LoggerTo(log_);
    AudioCore_Create(state_);
  }

  // Loads the bytes as the configuration file and applies the result. Returns an empty string
  // when every check holds, else what went wrong.
  std::string RunOne(const uint8_t* data, size_t size) {
    // A fresh file each time: rewriting a truncated file makes ext4 flush it on close.
    std::filesystem::remove(path_);
    if (!std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(data), size))
      return "cannot write " + path_;
    log_.clear();
    YAML::Node node;
    try {
      ConfigLoader::load_configuration(node, path_, config_, state_.log);
      ApplyConfiguration(state_, config_);
    } catch (const std::exception& e) {
      return std::string("loading or applying threw: ") + e.what();
    } catch (...) {
      return "loading or applying threw";
    }
    if (!node.IsMap()) return "the document handed back is not a map";
    const std::string loading = "ConfigLoader::load_configuration load configuration from ";
    if (!log_.starts_with(loading + path_ + "\n") || !log_.ends_with("\n"))
      return "log does not start with the loading line or does not end a line";
    for (const KeyRange& k : kKeyRanges) {
      const int32_t v = config_.*k.field;
      if (v != -1 && (v < k.lo || v > k.hi)) return std::string(k.key) + " is out of range";
    }
    // Whatever the files so far held, the engine only ever received valid values.
    const AudioCore& c = *state_.hRoomPro;
    const float t = c.duckerThreshold;
    if (c.hangoverTime < 17 || c.hangoverTime > 50 || c.duckerEnterTime < 6 ||
        c.duckerEnterTime > 35 || c.duckerExitTime < 6 || c.duckerExitTime > 35 ||
        !(t == 1e6f || t == 1e7f || t == 1e8f || t == 1e9f) || c.doubleTalkThreshold < 8 ||
        c.doubleTalkThreshold > 256 || c.denoiseMode != 1)
      return "the engine received a value outside its range";
    return {};
  }

  const std::string& Log() const { return log_; }
  const AudioConfig& Config() const { return config_; }

 private:
  testing::SandboxEnv env_;  // a temporary folder, removed at the end
  const std::string path_ = env_.Root() + "/config.yml";
  std::string log_;
  AudioConfig config_;
  EngineState state_;
};

}  // namespace orvo::fuzz
