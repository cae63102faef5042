// Fatal checks for programming errors (null records, failed allocation at creation). A failed
// check prints the condition with the source unit and line and stops the process.
#pragma once

namespace orvo {

[[noreturn]] void FatalCheckFailed(const char* condition, const char* unit, int line);

}  // namespace orvo

// ORVO_CHECK(condition, "unit"): the condition text is printed as written.
#define ORVO_CHECK(cond, unit) \
  ((cond) ? static_cast<void>(0) : ::orvo::FatalCheckFailed(#cond, unit, __LINE__))
