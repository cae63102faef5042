// The library's one engine that the C exports act on, and the entries behind startTest and
// ORVOAEC_LoadConfig.
#pragma once

#include <string>

#include "audio_core/audio_core.hpp"
#include "config/config_loader.hpp"

namespace orvo {

// The process-wide engine of the C exports (no record until the first creation).
EngineState& ExportedEngine();

// Hands the set fields of `config` to the engine setters: reverberation, ducker enter time,
// ducker exit time, ducker threshold (followed by its own log line with the threshold in force)
// and double talk threshold. The other five fields are never applied.
void ApplyConfiguration(EngineState& engine, const AudioConfig& config);

// Finds RereridEva/config.yml in the user's Documents folder; reads it and applies its values
// to the engine, or writes it with the default values (applying nothing) when it is missing.
// Never throws.
void LoadConfigFromDocuments(EngineState& engine);

// Reads the configuration file at `path` and applies its values, as LoadConfigFromDocuments
// does with the file it finds. A missing file is reported and changes nothing (no file is
// written). Never throws.
void LoadConfigFromFile(EngineState& engine, const std::string& path);

// The offline file run over MicData.pcm, MicData2.pcm and RefData.pcm into Out.pcm, in the
// current directory: creates a new engine, loads the configuration, processes every full
// 960-sample block of MicData.pcm as a two-channel frame. If an input cannot be opened or
// Out.pcm cannot be created, it logs why and processes nothing. Always returns 0.
int RunOfflineTest(EngineState& engine);

}  // namespace orvo
