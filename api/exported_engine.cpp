#include "api/exported_engine.hpp"

namespace orvo {

EngineState& ExportedEngine() {
  static EngineState engine;
  return engine;
}

}  // namespace orvo
