// libFuzzer target: arbitrary bytes as frames, arguments and calls between frames, on the C
// exports and on a C++ engine.
//   make fuzz [FUZZ_TIME=seconds]
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/frame_fuzz_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static orvo::fuzz::FrameFuzzHarness harness;
  const std::string problem = harness.RunOne(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "frame_fuzz: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
