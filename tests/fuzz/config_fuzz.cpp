// libFuzzer target: arbitrary bytes as config.yml through the configuration loader.
//   make fuzz [FUZZ_TIME=seconds]
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/config_fuzz_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static orvo::fuzz::ConfigFuzzHarness harness;
  const std::string problem = harness.RunOne(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "config_fuzz: %s\n--- log ---\n%s\n", problem.c_str(),
                 harness.Log().c_str());
    std::abort();
  }
  return 0;
}
