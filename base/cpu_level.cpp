#include "base/cpu_level.hpp"

#include <cstdlib>
#include <cstring>

#if ORVO_CPU_AVX2
#include <cpuid.h>
#endif

namespace orvo {

namespace {

bool ProcessorHasAvx2() {
#if ORVO_CPU_AVX2
  // The runtime checks the operating system's support for the wide registers as well. F16C is
  // read from the processor directly, as not every compiler's runtime names it.
  __builtin_cpu_init();
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && f16c;
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
