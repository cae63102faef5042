#include "api/exported_engine.hpp"

namespace orvo {

EngineState& ExportedEngine() {
  static EngineState engine;
  return engine;
}

// Placeholders until the configuration file and the offline run arrive.
void LoadConfigFromDocuments(EngineState&) {}
int RunOfflineTest(EngineState&) {
  return 0;
}

}  // namespace orvo
