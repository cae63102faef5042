// The engine's single printf-style log function. Messages carry their own line ends; nothing is
// prefixed or appended. By default text goes to standard output; a host may install its own sink.
#pragma once

#include <cstdarg>

namespace orvo {

using LogSinkFn = void (*)(void* user, const char* text);

class Logger {
 public:
  Logger() = default;
  Logger(LogSinkFn sink, void* user) : sink_(sink), user_(user) {}

  void SetSink(LogSinkFn sink, void* user) {
    sink_ = sink;
    user_ = user;
  }

  void Printf(const char* fmt, ...) const
#if defined(__MINGW32__)
      // MinGW's C++ library formats through its own C99 printf (%zu, %lld), not msvcrt's, which
      // the plain printf archetype would check against on Windows.
      __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  void VPrintf(const char* fmt, va_list args) const;

 private:
  LogSinkFn sink_ = nullptr;  // null: standard output
  void* user_ = nullptr;
};

// The logger used where no engine is at hand (standard output).
const Logger& DefaultLogger();

}  // namespace orvo
