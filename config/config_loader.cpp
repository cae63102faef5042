#include "config/config_loader.hpp"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>

#include <yaml-cpp/depthguard.h>

#include "config/config_loader_yaml.hpp"
#include "platform/file_io.hpp"

namespace orvo {

namespace {

constexpr const char* kLoadConfigurationName = "ConfigLoader::load_configuration";
// A real configuration file is a few hundred bytes; anything far larger is refused unread.
constexpr size_t kMaxConfigurationBytes = 64 * 1024;

// Exception texts can quote bytes of the file; keep the report on one printable line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// How one key is validated and reported. Every message takes the loader's name first; the
// accepted and rejected texts then take the value, and the rejected and conversion texts the
// range bounds (texts that do not print the bounds simply ignore them).
struct KeyRule {
  const char* loader;
  const char* key;
  int32_t AudioConfig::*field;
  int lo;
  int hi;
  const char* accepted;
  const char* rejected;
  const char* notInteger;
};

enum class ReadResult { kAbsent, kNotInteger, kInteger };

// Looks the key up and converts its value to a signed 32-bit integer. Anything yaml-cpp throws
// besides a failed conversion (a subscript on a document that is not a map) is reported once and
// the key is treated as absent.
ReadResult ReadInteger(const YAML::Node& node, const KeyRule& rule, int& value, const Logger& log) {
  try {
    const YAML::Node entry = node[rule.key];
    if (!entry.IsDefined()) return ReadResult::kAbsent;
    try {
      value = entry.as<int>();
    } catch (const YAML::BadConversion&) {
      return ReadResult::kNotInteger;
    }
    return ReadResult::kInteger;
  } catch (const std::exception& e) {
    log.Printf("%s, cannot read %s (%s); ignored\n", rule.loader, rule.key,
               OneLine(e.what()).c_str());
    return ReadResult::kAbsent;
  }
}

// How often the key is given at the top level of the map (the subscript takes the first).
int CountKey(const YAML::Node& node, const char* key) {
  if (!node.IsMap()) return 0;
  int count = 0;
  for (const auto& entry : node)
    if (entry.first.IsScalar() && entry.first.Scalar() == key) ++count;
  return count;
}

void LoadKey(const YAML::Node& node, const KeyRule& rule, AudioConfig& config, const Logger& log) {
  const int given = CountKey(node, rule.key);
  if (given > 1)
    log.Printf("%s, %s is given %d times; the first one is used\n", rule.loader, rule.key, given);
  int value = 0;
  switch (ReadInteger(node, rule, value, log)) {
    case ReadResult::kAbsent:
      return;
    case ReadResult::kNotInteger:
      log.Printf(rule.notInteger, rule.loader, rule.lo, rule.hi);
      return;
    case ReadResult::kInteger:
      break;
  }
  if (value >= rule.lo && value <= rule.hi) {
    config.*rule.field = value;
    log.Printf(rule.accepted, rule.loader, value);
  } else {
    log.Printf(rule.rejected, rule.loader, value, rule.lo, rule.hi);
  }
}

constexpr const char* kRangeRejected = "%s, invalid setting as %d. Valid range [%d, %d]\n";

const KeyRule kLocalPlaybackFlag = {"ConfigLoader::load_local_playback_flag",
                                    "local_playback_flag",
                                    &AudioConfig::local_playback_flag,
                                    0,
                                    1,
                                    "%s, local_playback_flag: %d\n",
                                    "%s, invalid setting as %d. Valid value is 0 or 1\n",
                                    "%s, local_playback_flag is invalid. Input 0 or 1\n"};
const KeyRule kReverberation = {"ConfigLoader::load_reverberation",
                                "reverberation",
                                &AudioConfig::reverberation,
                                17,
                                50,
                                "%s, reverberation: %d\n",
                                kRangeRejected,
                                "%s, reverberation is invalid. Input interger between [%d, %d]\n"};
const KeyRule kDuckerEnterTime = {
    "ConfigLoader::load_ducker_enter_time",
    "ducker_enter_time",
    &AudioConfig::ducker_enter_time,
    120,
    700,
    "%s, : %d\n",
    kRangeRejected,
    "%s, ducker hold time is invalid. Input interger between [%d, %d]\n"};
const KeyRule kDuckerExitTime = {
    "ConfigLoader::load_ducker_exit_time",
    "ducker_exit_time",
    &AudioConfig::ducker_exit_time,
    120,
    700,
    "%s, : %d\n",
    kRangeRejected,
    "%s, ducker hold time is invalid. Input interger between [%d, %d]\n"};
const KeyRule kDuckerThreshold = {
    "ConfigLoader::load_ducker_threshold",
    "ducker_threashold",
    &AudioConfig::ducker_threashold,
    -45,
    -25,
    "%s, ducker threhold: %d\n",
    kRangeRejected,
    "%s, ducker threhold is invalid. Input interger between [%d, %d]\n"};
const KeyRule kAgcGain = {"ConfigLoader::load_agc_gain",
                          "agc_gain",
                          &AudioConfig::agc_gain,
                          1,
                          9,
                          "%s, agc gain: %d\n",
                          kRangeRejected,
                          "%s, agc_gain is invalid. Input interger between [%d, %d]\n"};
const KeyRule kRefDelay = {"ConfigLoader::load_ref_delay",
                           "ref_delay",
                           &AudioConfig::ref_delay,
                           2,
                           15,
                           "%s, ref_delay: %d\n",
                           kRangeRejected,
                           "%s, ref_delay is invalid. Input interger between [%d, %d]\n"};
const KeyRule kDoubleTalkThreshold = {
    "ConfigLoader::load_double_talk_threshold",
    "double_talk_threshold",
    &AudioConfig::double_talk_threshold,
    8,
    256,
    "%s, double_talk_threshold: %d\n",
    "%s, invalid double talk setting as %d. Valid range [%d, %d]\n",
    "%s, double_talk_threshold is invalid. Input interger between [%d, %d]\n"};
const KeyRule kDenoiseLevel = {"ConfigLoader::load_denoise_level",
                               "denoise_level",
                               &AudioConfig::denoise_level,
                               0,
                               4,
                               "%s, denoise_level: %d\n",
                               "%s, invalid denoise level setting as %d. Valid range [%d, %d]\n",
                               "%s, denoise_level is invalid. Input interger between [%d, %d]\n"};
const KeyRule kCascadeConnected = {
    "ConfigLoader::load_cascade_connected",
    "cascade_connected",
    &AudioConfig::cascade_connected,
    0,
    1,
    "%s, cascade_connected: %d\n",
    "%s, invalid cascade setting as %d. Valid range [%d, %d]\n",
    "%s, cascade_connected is invalid. Input interger between [%d, %d]\n"};

const char* TopLevelKind(const YAML::Node& node) {
  switch (node.Type()) {
    case YAML::NodeType::Sequence:
      return "list";
    case YAML::NodeType::Scalar:
      return "scalar";
    default:
      return "value that is not a map";
  }
}

// Reads the whole file as one document. The file is read here rather than through
// YAML::LoadFile, whose stream leaks its buffer when reading fails (a folder in place of the
// file); parsing the text is the same. Returns false (after one log line) when the file yields
// no map of settings.
bool LoadDocument(YAML::Node& node, const std::string& path, const Logger& log) {
  const char* const p = path.c_str();
  const platform::FileRead file = platform::ReadRegularFile(path, kMaxConfigurationBytes);
  switch (file.status) {
    case platform::ReadStatus::kOk:
      break;
    case platform::ReadStatus::kTooLarge:
      // Treated like a malformed file: unread, no keys.
      // %d rather than %zu: the Windows C runtime's printf checking does not know %zu.
      log.Printf("%s, %s is larger than %d bytes; no settings loaded\n", kLoadConfigurationName, p,
                 static_cast<int>(kMaxConfigurationBytes));
      return false;
    default:
      // Also a folder, FIFO or device in place of the file ("not a regular file"): it is never
      // opened in a way that could block, nor read without end.
      log.Printf("%s, cannot read %s (%s); no settings loaded\n", kLoadConfigurationName, p,
                 file.error.c_str());
      return false;
  }
  const std::string& text = file.bytes;
  try {
    YAML::Node loaded = YAML::Load(text);
    if (loaded.IsMap()) {
      node.reset(loaded);
      return true;
    }
    if (loaded.IsNull()) {
      log.Printf("%s, %s is an empty document; no settings loaded\n", kLoadConfigurationName, p);
    } else {
      log.Printf("%s, %s does not hold a map of settings (top level is a %s); no settings loaded\n",
                 kLoadConfigurationName, p, TopLevelKind(loaded));
    }
  } catch (const YAML::DeepRecursion& e) {
    // yaml-cpp's own text for this case is misleading ("bad file").
    log.Printf(
        "%s, %s is not valid YAML (line %d, column %d: nested too deeply); no settings "
        "loaded\n",
        kLoadConfigurationName, p, e.mark.line + 1, e.mark.column + 1);
  } catch (const YAML::ParserException& e) {
    log.Printf("%s, %s is not valid YAML (line %d, column %d: %s); no settings loaded\n",
               kLoadConfigurationName, p, e.mark.line + 1, e.mark.column + 1,
               OneLine(e.msg).c_str());
  } catch (const std::exception& e) {
    log.Printf("%s, cannot load %s (%s); no settings loaded\n", kLoadConfigurationName, p,
               OneLine(e.what()).c_str());
  }
  return false;
}

}  // namespace

namespace ConfigLoader {

void load_local_playback_flag(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kLocalPlaybackFlag, config, log);
}
void load_reverberation(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kReverberation, config, log);
}
void load_ducker_enter_time(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kDuckerEnterTime, config, log);
}
void load_ducker_exit_time(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kDuckerExitTime, config, log);
}
void load_ducker_threshold(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kDuckerThreshold, config, log);
}
void load_agc_gain(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kAgcGain, config, log);
}
void load_ref_delay(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kRefDelay, config, log);
}
void load_double_talk_threshold(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kDoubleTalkThreshold, config, log);
}
void load_denoise_level(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kDenoiseLevel, config, log);
}
void load_cascade_connected(const YAML::Node& node, AudioConfig& config, const Logger& log) {
  LoadKey(node, kCascadeConnected, config, log);
}

void load_configuration(YAML::Node& node, const std::string& path, AudioConfig& config,
                        const Logger& log) {
  log.Printf("%s load configuration from %s\n", kLoadConfigurationName, path.c_str());
  config = AudioConfig{};
  if (!LoadDocument(node, path, log)) {
    // Treated as a file without keys.
    node.reset(YAML::Node(YAML::NodeType::Map));
    return;
  }
  const YAML::Node& document = node;
  load_local_playback_flag(document, config, log);
  load_reverberation(document, config, log);
  load_ducker_enter_time(document, config, log);
  load_ducker_exit_time(document, config, log);
  load_ducker_threshold(document, config, log);
  load_agc_gain(document, config, log);
  load_ref_delay(document, config, log);
  load_double_talk_threshold(document, config, log);
  load_denoise_level(document, config, log);
  load_cascade_connected(document, config, log);
}

AudioConfig read_configuration(const std::string& path, const Logger& log) {
  YAML::Node document;
  AudioConfig config;
  load_configuration(document, path, config, log);
  return config;
}

std::string default_configuration_text() {
  YAML::Emitter out;
  out << YAML::Comment(
      "Configuration file for audio algorithm\nNote:there must be a space after \":\"");
  out << YAML::BeginMap;
  out << YAML::Key << "version" << YAML::Value << "1.0";
  out << YAML::Key << "reverberation" << YAML::Value << 21;
  out << YAML::Key << "ducker_enter_time" << YAML::Value << 160 << YAML::Comment("ms");
  out << YAML::Key << "ducker_exit_time" << YAML::Value << 500 << YAML::Comment("ms");
  out << YAML::Key << "ducker_threashold" << YAML::Value << -30
      << YAML::Comment("-45, -40, -35, -30, -25");
  out << YAML::Key << "double_talk_threshold" << YAML::Value << 48;
  out << YAML::EndMap;
  return std::string(out.c_str(), out.size());
}

platform::CreateStatus write_default_configuration(const std::string& path) {
  // Text-mode file: CRLF line ends on Windows.
  return platform::CreateFileExclusive(path,
                                       platform::NativeTextLineEnds(default_configuration_text()));
}

}  // namespace ConfigLoader

}  // namespace orvo
