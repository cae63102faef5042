// The whole engine at every processor level: every stage runs the level it was given, and the
// 16-bit output is the same, sample for sample, at every level.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/cpu_levels.hpp"
#include "tests/support/engine_scenes.hpp"

namespace orvo {
namespace {

// An engine whose records are built for `level`.
std::unique_ptr<Engine> EngineAt(CpuLevel level) {
  auto engine = std::make_unique<Engine>([](std::string_view) {});
  orvo::internal::StateOf(*engine).cpuLevel = level;
  engine->Recreate();
  return engine;
}

class EngineLevelTest : public ::testing::TestWithParam<CpuLevel> {};

TEST_P(EngineLevelTest, EveryStageRunsTheEnginesLevel) {
  ORVO_SKIP_UNSUPPORTED_LEVEL(GetParam());
  const auto engine = EngineAt(GetParam());
  const AudioCore& core = *orvo::internal::StateOf(*engine).hRoomPro;
  EXPECT_EQ(GetParam(), core.aec.level);
  for (const FilterBankState& fb : core.analysis)
    EXPECT_EQ(GetParam(), fb.level);
  EXPECT_EQ(GetParam(), core.synthesis.level);
  for (const DenoiserState& d : core.denoiser) {
    EXPECT_EQ(GetParam(), d.level);
    EXPECT_EQ(GetParam(), d.network_state.level);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, EngineLevelTest, ORVO_ALL_CPU_LEVELS);

TEST(EngineLevels, NewEnginesTakeTheProcessLevel) {
  Engine engine([](std::string_view) {});
  EXPECT_EQ(ProcessCpuLevel(), orvo::internal::StateOf(engine).cpuLevel);
  EXPECT_EQ(ProcessCpuLevel(), orvo::internal::StateOf(engine).hRoomPro->aec.level);
  EXPECT_TRUE(CpuLevelSupported(ProcessCpuLevel()));
}

// One and two microphones, the neural suppressor off, normal and strong: the output at each
// level the processor has is the baseline level's, sample for sample.
TEST(EngineLevels, OutputIsTheSameAtEveryLevel) {
  int compared = 0;
  for (const testing::EngineRun& run : testing::EngineRuns()) {
    SCOPED_TRACE(run.name);
    const std::vector<int16_t> base = testing::RunEngineScene(*EngineAt(CpuLevel::kBaseline), run);
    for (const CpuLevel level : kAllCpuLevels) {
      if (level == CpuLevel::kBaseline || !CpuLevelSupported(level)) continue;
      const std::vector<int16_t> out = testing::RunEngineScene(*EngineAt(level), run);
      ASSERT_EQ(base.size(), out.size());
      size_t differ = 0, first = out.size();
      for (size_t i = 0; i < out.size(); ++i)
        if (out[i] != base[i]) {
          ++differ;
          if (first == out.size()) first = i;
        }
      EXPECT_EQ(differ, 0u) << CpuLevelName(level) << ": first at sample " << first;
      ++compared;
    }
  }
  if (compared == 0) GTEST_SKIP() << "this processor runs the baseline level only";
}

}  // namespace
}  // namespace orvo
