// The few things that differ between operating systems: the Documents folder, the path
// separator, a millisecond tick and file existence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvo::platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The user's Documents folder, or nothing when it cannot be determined.
//   Windows: the shell's personal folder, as UTF-8 (the file functions of this layer take
//   UTF-8 paths and open them through the wide-character API).
//   Elsewhere: $XDG_DOCUMENTS_DIR, else the XDG_DOCUMENTS_DIR entry of
//   $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config/user-dirs.dirs) with $HOME expanded,
//   else $HOME/Documents.
std::optional<std::string> DocumentsFolder();

// Milliseconds since an arbitrary start (system start on Windows), wrapping at 2^32.
uint32_t TickCountMs();

// True when something exists at the path.
bool PathExists(const std::string& path);

// Joins two path pieces with the platform's separator.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace orvo::platform
