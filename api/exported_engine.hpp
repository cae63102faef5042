// The library's one engine that the C exports act on, and the entries behind startTest and
// ORVOAEC_LoadConfig.
#pragma once

#include "audio_core/audio_core.hpp"

namespace orvo {

// The process-wide engine of the C exports (no record until the first creation).
EngineState& ExportedEngine();

// Finds, reads (or writes) RereridEva/config.yml in the Documents folder and applies it.
void LoadConfigFromDocuments(EngineState& engine);

// The offline file run over MicData.pcm, MicData2.pcm and RefData.pcm into Out.pcm, in the
// current directory. Always returns 0.
int RunOfflineTest(EngineState& engine);

}  // namespace orvo
