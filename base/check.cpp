#include "base/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace orvo {

void FatalCheckFailed(const char* condition, const char* unit, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, unit, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace orvo
