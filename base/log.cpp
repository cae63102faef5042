#include "base/log.hpp"

#include <cstdio>
#include <memory>

namespace orvo {

void Logger::Printf(const char* fmt, ...) const {
  va_list args;
  va_start(args, fmt);
  VPrintf(fmt, args);
  va_end(args);
}

void Logger::VPrintf(const char* fmt, va_list args) const {
  if (sink_ == nullptr) {
    std::vfprintf(stdout, fmt, args);
    std::fflush(stdout);
    return;
  }
  // Short messages are formatted on the stack; long ones (paths) get a heap buffer.
  char local[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(local, sizeof local, fmt, copy);
  va_end(copy);
  if (needed < 0) return;
  if (static_cast<size_t>(needed) < sizeof local) {
    sink_(user_, local);
    return;
  }
  std::unique_ptr<char[]> big(new char[static_cast<size_t>(needed) + 1]);
  std::vsnprintf(big.get(), static_cast<size_t>(needed) + 1, fmt, args);
  sink_(user_, big.get());
}

const Logger& DefaultLogger() {
  static const Logger standard_output;
  return standard_output;
}

}  // namespace orvo
