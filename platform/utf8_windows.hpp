// UTF-8 <-> UTF-16 conversion for the Windows side of the platform layer. Paths travel through
// the library as UTF-8 and are handed to the wide-character Windows functions, so that folder
// names outside the ANSI code page (non-ASCII user names) work.
#pragma once

#if defined(_WIN32)

#include <optional>
#include <string>
#include <string_view>

namespace orvo::platform {

// UTF-8 to UTF-16; nothing for invalid UTF-8.
std::optional<std::wstring> WidenUtf8(std::string_view text);

// UTF-16 (up to a terminating zero) to UTF-8; nothing for unpaired surrogates.
std::optional<std::string> NarrowToUtf8(const wchar_t* text);

// The system's message for a Windows error code, one line, UTF-8.
std::string WindowsErrorText(unsigned long code);

}  // namespace orvo::platform

#endif  // _WIN32
