// The configuration file config.yml: reading and validating its keys into a typed settings
// value, and writing the file with default values. The engine side applies the settings; this
// folder knows nothing of the engine nor, outside its own sources, of the YAML library.
#pragma once

#include <cstdint>
#include <string>

#include "base/log.hpp"
#include "platform/file_io.hpp"

namespace orvo {

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

// Reads the file at `path` into a settings value (every field -1 unless its key holds a valid
// value), logging each key as it is read. A file that cannot be read, is not valid YAML, is empty
// or whose top level is not a map is reported with one line and read as a file without keys.
// Never throws for anything in the file.
AudioConfig read_configuration(const std::string& path, const Logger& log);

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

}  // namespace orvo
