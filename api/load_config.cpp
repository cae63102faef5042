// The configuration entries: locate config.yml, then read it and apply its settings to the
// engine, or write the default.
#include <exception>

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "config/config_loader.hpp"
#include "platform/platform.hpp"

namespace orvo {

namespace {

void LoadAndApply(EngineState& engine, const std::string& path) {
  engine.log.Printf("Loading configration from %s\n", path.c_str());
  ApplyConfiguration(engine, ConfigLoader::read_configuration(path, engine.log));
}

}  // namespace

void ApplyConfiguration(EngineState& engine, const AudioConfig& config) {
  if (config.reverberation != -1) AudioCore_SetHangoverTime(engine, config.reverberation);
  if (config.ducker_enter_time != -1)
    AudioCore_SetDuckerEnterTime(engine, config.ducker_enter_time);
  if (config.ducker_exit_time != -1) AudioCore_SetDuckerExitTime(engine, config.ducker_exit_time);
  if (config.ducker_threashold != -1) {
    AudioCore_SetDuckerThreshold(engine, config.ducker_threashold);
    // The threshold actually in force: codes outside the table keep the earlier one.
    if (engine.hRoomPro != nullptr) {
      engine.log.Printf("AudioCore ducker threshold %g\n",
                        static_cast<double>(engine.hRoomPro->duckerThreshold));
    }
  }
  if (config.double_talk_threshold != -1) {
    AudioCore_SetDoubleTalkThreshold(engine, config.double_talk_threshold);
  }
}

void LoadConfigFromDocuments(EngineState& engine) {
  try {
    const std::optional<std::string> documents = platform::DocumentsFolder();
    if (!documents) {
      engine.log.Printf("Failed to get Document path\n");
      return;
    }
    const std::string path =
        platform::JoinPath(platform::JoinPath(*documents, "RereridEva"), "config.yml");
    if (!platform::PathExists(path)) {
      engine.log.Printf("config.yml not found. Use default value to generate it\n");
      // The default is created exclusively: a file that appeared since the test above (an
      // editor saving by delete-and-recreate) is never replaced, and is read instead.
      if (ConfigLoader::write_default_configuration(path) != platform::CreateStatus::kExists)
        return;
      if (!platform::PathExists(path)) {
        engine.log.Printf("config.yml is a link to a missing file; no default written\n");
        return;
      }
    }
    LoadAndApply(engine, path);
  } catch (const std::exception& e) {
    // Only resource exhaustion gets here; the host must keep running.
    engine.log.Printf("Configuration not loaded: %s\n", e.what());
  }
}

void LoadConfigFromFile(EngineState& engine, const std::string& path) {
  try {
    if (!platform::PathExists(path)) {
      engine.log.Printf("Configuration file %s not found; settings unchanged\n", path.c_str());
      return;
    }
    LoadAndApply(engine, path);
  } catch (const std::exception& e) {
    engine.log.Printf("Configuration not loaded: %s\n", e.what());
  }
}

}  // namespace orvo
