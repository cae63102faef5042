#include "audio_core/cpu_level.hpp"

#include <cstdlib>
#include <cstring>

namespace orvo {

namespace {

bool ProcessorHasAvx2() {
#if ORVO_CPU_AVX2
  // The runtime checks the operating system's support for the wide registers as well.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("f16c");
#else
  return false;
#endif
}

CpuLevel DecideLevel() {
  const char* forced = std::getenv("ORVO_CPU_LEVEL");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return CpuLevel::kBaseline;
  return ProcessorHasAvx2() ? CpuLevel::kAvx2 : CpuLevel::kBaseline;
}

}  // namespace

CpuLevel ProcessCpuLevel() {
  // Decided once; a constant for the rest of the process.
  static const CpuLevel level = DecideLevel();
  return level;
}

bool CpuLevelSupported(CpuLevel level) {
  switch (level) {
    case CpuLevel::kAvx2: {
      static const bool avx2 = ProcessorHasAvx2();
      return avx2;
    }
    case CpuLevel::kBaseline:
      return true;
  }
  return false;
}

const char* CpuLevelName(CpuLevel level) {
  return level == CpuLevel::kAvx2 ? "avx2" : "baseline";
}

}  // namespace orvo
