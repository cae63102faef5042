// Helpers for tests that run a kernel at every processor level: a parameterised test takes the
// level as its parameter, names its cases after the level and skips the levels this processor
// cannot run (the baseline level always runs).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/cpu_level.hpp"

namespace orvo::testing {

inline std::string LevelTestName(const ::testing::TestParamInfo<CpuLevel>& info) {
  return CpuLevelName(info.param);
}

}  // namespace orvo::testing

// Every level, for INSTANTIATE_TEST_SUITE_P.
#define ORVO_ALL_CPU_LEVELS \
  ::testing::ValuesIn(::orvo::kAllCpuLevels), ::orvo::testing::LevelTestName

// First statement of a test body that takes the level as its parameter.
#define ORVO_SKIP_UNSUPPORTED_LEVEL(level) \
  if (!::orvo::CpuLevelSupported(level))   \
  GTEST_SKIP() << "this processor cannot run the " << ::orvo::CpuLevelName(level) << " level"
