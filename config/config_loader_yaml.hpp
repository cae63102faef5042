// The YAML side of the configuration loader, for the loader itself and the tests that hand it
// documents directly. Hosts of config/ use config_loader.hpp, which needs no YAML.
#pragma once

#include <string>

#include <yaml-cpp/yaml.h>

#include "config/config_loader.hpp"

namespace orvo::ConfigLoader {

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

}  // namespace orvo::ConfigLoader
