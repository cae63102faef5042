// The configuration file config.yml: reading and validating its keys, handing the values to the
// engine, and writing the file with default values.
#pragma once

#include <cstdint>
#include <string>

#include <yaml-cpp/yaml.h>

#include "base/log.hpp"
#include "platform/file_io.hpp"

namespace orvo {

struct EngineState;

// One field per key of config.yml, in file-key order. -1 means the key was not set (or its value
// was rejected); a loader stores a value only when it is valid.
struct AudioConfig {
  int32_t local_playback_flag = -1;    // 0 or 1; not applied
  int32_t reverberation = -1;          // 17..50 frames: hangover time
  int32_t ducker_enter_time = -1;      // 120..700 ms
  int32_t ducker_exit_time = -1;       // 120..700 ms
  int32_t ducker_threashold = -1;      // -45..-25: ducker threshold code
  int32_t agc_gain = -1;               // 1..9; not applied
  int32_t ref_delay = -1;              // 2..15; not applied
  int32_t double_talk_threshold = -1;  // 8..256
  int32_t denoise_level = -1;          // 0..4; not applied
  int32_t cascade_connected = -1;      // 0 or 1; not applied
};

namespace ConfigLoader {

// Loads the file at `path` into `node` and fills `config` from it (every field reset to -1
// first). A file that cannot be read, is not valid YAML, is empty or whose top level is not a
// map is reported with one line and treated as a file without keys: `node` becomes an empty map.
// Never throws for anything in the file.
void load_configuration(YAML::Node& node, const std::string& path, AudioConfig& config,
                        const Logger& log);

// One loader per key: an absent key is silent; a value that is not an integer logs the
// conversion message, a value out of range the rejection message, and a valid value is stored
// and logged. `node` is expected to be a map; anything else is reported, never thrown.
void load_local_playback_flag(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_reverberation(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_ducker_enter_time(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_ducker_exit_time(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_ducker_threshold(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_agc_gain(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_ref_delay(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_double_talk_threshold(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_denoise_level(const YAML::Node& node, AudioConfig& config, const Logger& log);
void load_cascade_connected(const YAML::Node& node, AudioConfig& config, const Logger& log);

// The text of the default file: two comment lines, then version, reverberation,
// ducker_enter_time, ducker_exit_time, ducker_threashold and double_talk_threshold with the
// engine's creation defaults.
std::string default_configuration_text();

// Writes the default file at `path`, only when nothing has that name: it is written under a
// temporary name and moved into place, so a file created meanwhile (or a link) is never
// overwritten or written through. If the file cannot be created, for instance because its
// folder does not exist, nothing is written and nothing is logged; no folder is created.
// Returns whether the file was created, found already there, or could not be created.
platform::CreateStatus write_default_configuration(const std::string& path);

}  // namespace ConfigLoader

// Hands the set fields of `config` to the engine setters: reverberation, ducker enter time,
// ducker exit time, ducker threshold (followed by its own log line with the threshold in force)
// and double talk threshold. The other five fields are never applied.
void ApplyConfiguration(EngineState& engine, const AudioConfig& config);

}  // namespace orvo
