// The configuration entries: locate config.yml, then read and apply it or write the default.
#include <exception>

#include "api/exported_engine.hpp"
#include "config/config_loader.hpp"
#include "platform/platform.hpp"

namespace orvo {

namespace {

void LoadAndApply(EngineState& engine, const std::string& path) {
  engine.log.Printf("Loading configration from %s\n", path.c_str());
  YAML::Node document;
  AudioConfig config;
  ConfigLoader::load_configuration(document, path, config, engine.log);
  ApplyConfiguration(engine, config);
}

}  // namespace

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
