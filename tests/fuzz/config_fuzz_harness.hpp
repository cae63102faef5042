// Feeds arbitrary bytes as config.yml through the configuration loader and checks what comes
// out. Shared by the libFuzzer target and the fixed-iteration fuzz test.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "audio_core/audio_core.hpp"
#include "config/config_loader.hpp"

namespace orvo::fuzz {

class ConfigFuzzHarness {
 public:
  ConfigFuzzHarness() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvo_config_fuzz_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    path_ = dir_ + "/config.yml";
    state_.log.SetSink(
        [](void* user, const char* text) { *static_cast<std::string*>(user) += text; }, &log_);
    AudioCore_Create(state_);
  }

  ~ConfigFuzzHarness() {
    std::remove(path_.c_str());
    ::rmdir(dir_.c_str());
  }

  ConfigFuzzHarness(const ConfigFuzzHarness&) = delete;
  ConfigFuzzHarness& operator=(const ConfigFuzzHarness&) = delete;

  // Loads the bytes as the configuration file and applies the result. Returns an empty string
  // when every check holds, else a description of what went wrong.
  std::string RunOne(const uint8_t* data, size_t size) {
    // A fresh file each time: rewriting a truncated file makes ext4 flush it on close.
    std::remove(path_.c_str());
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) return "cannot write " + path_;
    if (size != 0 && std::fwrite(data, 1, size, f) != size) {
      std::fclose(f);
      return "cannot write " + path_;
    }
    std::fclose(f);

    log_.clear();
    YAML::Node node;
    try {
      ConfigLoader::load_configuration(node, path_, config_, state_.log);
    } catch (const std::exception& e) {
      return std::string("load_configuration threw: ") + e.what();
    } catch (...) {
      return "load_configuration threw something";
    }
    if (!node.IsMap()) return "the document handed back is not a map";
    const std::string first =
        "ConfigLoader::load_configuration load configuration from " + path_ + "\n";
    if (log_.compare(0, first.size(), first) != 0)
      return "log does not start with the loading line";
    if (log_.back() != '\n') return "log does not end with a line end";

    const AudioConfig& c = config_;
    if (!UnsetOr(c.local_playback_flag, 0, 1) || !UnsetOr(c.reverberation, 17, 50) ||
        !UnsetOr(c.ducker_enter_time, 120, 700) || !UnsetOr(c.ducker_exit_time, 120, 700) ||
        !UnsetOr(c.ducker_threashold, -45, -25) || !UnsetOr(c.agc_gain, 1, 9) ||
        !UnsetOr(c.ref_delay, 2, 15) || !UnsetOr(c.double_talk_threshold, 8, 256) ||
        !UnsetOr(c.denoise_level, 0, 4) || !UnsetOr(c.cascade_connected, 0, 1)) {
      return "a field holds a value outside its range";
    }

    try {
      ApplyConfiguration(state_, config_);
    } catch (...) {
      return "ApplyConfiguration threw";
    }
    // Whatever the files so far held, the engine only ever received valid values.
    const AudioCore& core = *state_.hRoomPro;
    const float t = core.duckerThreshold;
    if (core.hangoverTime < 17 || core.hangoverTime > 50 || core.duckerEnterTime < 6 ||
        core.duckerEnterTime > 35 || core.duckerExitTime < 6 || core.duckerExitTime > 35 ||
        !(t == 1e6f || t == 1e7f || t == 1e8f || t == 1e9f) || core.doubleTalkThreshold < 8 ||
        core.doubleTalkThreshold > 256 || core.denoiseMode != 1) {
      return "the engine received a value outside its range";
    }
    return {};
  }

  const std::string& Log() const { return log_; }
  const AudioConfig& Config() const { return config_; }
  EngineState& State() { return state_; }

 private:
  static bool UnsetOr(int32_t v, int lo, int hi) { return v == -1 || (v >= lo && v <= hi); }

  std::string dir_;
  std::string path_;
  std::string log_;
  AudioConfig config_;
  EngineState state_;
};

}  // namespace orvo::fuzz
