// The processor level the vector kernels are built for, decided once per process.
//
// Every vectorised stage is built once per level: the baseline code in the stage's own source
// file (x86-64 with SSE2, or portable vector code elsewhere) and the AVX2 code in a
// `<stage>_avx2.cpp` file, the only files compiled with AVX2, FMA and F16C enabled. A stage is
// given its level when it is created, keeps it in its record and picks its kernel with one switch
// on it; nothing asks the processor again while frames run.
//
// All levels compute the same values bit for bit: the whole library is compiled without
// floating-point contraction, and no kernel fuses a multiply and an add where the baseline code
// rounds twice. The level changes speed only.
#pragma once

namespace orvo {

enum class CpuLevel : int {
  kBaseline = 0,  // x86-64 baseline (SSE2), or the portable code on other processors
  kAvx2 = 1,      // x86-64 with AVX2, FMA and F16C
};

inline constexpr CpuLevel kAllCpuLevels[] = {CpuLevel::kBaseline, CpuLevel::kAvx2};

// The highest level this processor and this build support, decided at the first call. Setting
// the environment variable ORVO_CPU_LEVEL to "baseline" before that call keeps the process at
// the baseline level (to test or measure it); "avx2" or no value selects the best level.
CpuLevel ProcessCpuLevel();

// Whether this processor and build can run code of `level`.
bool CpuLevelSupported(CpuLevel level);

// "baseline" or "avx2".
const char* CpuLevelName(CpuLevel level);

}  // namespace orvo
