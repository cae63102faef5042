// Log capture for tests: the engine's and the stages' log text collected into a string, so a
// test can compare the exact lines the system prints.
#pragma once

#include <string>
#include <string_view>

#include "base/log.hpp"
#include "orvoaec/engine.hpp"

namespace orvo::testing {

// A sink for orvo::Engine that appends every log text to `text`.
inline LogSink AppendTo(std::string& text) {
  return [&text](std::string_view t) { text.append(t); };
}

// A Logger (stage records, EngineState) that appends every log text to `text`.
inline Logger LoggerTo(std::string& text) {
  return Logger([](void* user, const char* t) { *static_cast<std::string*>(user) += t; }, &text);
}

// The text and a Logger writing into it, for tests that hand a Logger to a stage. Neither
// copied nor moved: the logger points at this object's text.
struct LogCapture {
  LogCapture() = default;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text;
  Logger logger = LoggerTo(text);
};

}  // namespace orvo::testing
