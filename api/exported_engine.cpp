#include "api/exported_engine.hpp"

#include "audio_core/engine_state.hpp"

namespace orvo {

EngineState& ExportedEngine() {
  static EngineState engine;
  return engine;
}

}  // namespace orvo
