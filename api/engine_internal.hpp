// Access to an Engine's internal state, for the project's own tests, benchmarks and tools. Not
// installed: hosts see only the public interface in include/orvoaec/engine.hpp.
#pragma once

#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"

namespace orvo {

struct EngineAccess {
  static EngineState& State(Engine& engine) { return *engine.state_; }
  static const EngineState& State(const Engine& engine) { return *engine.state_; }
};

namespace internal {

inline EngineState& StateOf(Engine& engine) {
  return EngineAccess::State(engine);
}
inline const EngineState& StateOf(const Engine& engine) {
  return EngineAccess::State(engine);
}

}  // namespace internal
}  // namespace orvo
