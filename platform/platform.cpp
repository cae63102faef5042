#include "platform/platform.hpp"

#include "platform/file_io.hpp"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string_view>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include "platform/utf8_windows.hpp"
#else
#include <sys/stat.h>
#endif

namespace orvo::platform {

namespace {

#if !defined(_WIN32)
std::optional<std::string> Env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// Expands $HOME and ${HOME} in a user-dirs.dirs value.
std::string ExpandHome(std::string value, const std::string& home) {
  for (std::string_view token : {std::string_view("${HOME}"), std::string_view("$HOME")}) {
    for (size_t pos = value.find(token); pos != std::string::npos;
         pos = value.find(token, pos + home.size())) {
      value.replace(pos, token.size(), home);
    }
  }
  return value;
}

// Reads XDG_DOCUMENTS_DIR="..." from a user-dirs.dirs file (a regular file of sane size only:
// a FIFO or device there must not stall the caller).
std::optional<std::string> FromUserDirs(const std::string& file, const std::string& home) {
  const FileRead read = ReadRegularFile(file, 64 * 1024);
  if (read.status != ReadStatus::kOk) return std::nullopt;
  std::istringstream in(read.bytes);
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=";
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
      value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    value = ExpandHome(value, home);
    if (value.empty()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}
#endif

}  // namespace

std::optional<std::string> DocumentsFolder() {
#if defined(_WIN32)
  // The shell's personal folder as a wide path, handed on as UTF-8: an ANSI conversion would
  // turn characters outside the code page (non-ASCII user names) into '?', and the files could
  // then not be opened. Every file function of this layer converts back to wide characters.
  PIDLIST_ABSOLUTE pidl = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, CSIDL_PERSONAL, &pidl) != S_OK || pidl == nullptr)
    return std::nullopt;
  wchar_t wide[MAX_PATH + 1] = {};
  const BOOL ok = SHGetPathFromIDListW(pidl, wide);
  CoTaskMemFree(pidl);
  if (!ok || wide[0] == L'\0') return std::nullopt;
  return NarrowToUtf8(wide);
#else
  if (auto direct = Env("XDG_DOCUMENTS_DIR")) return direct;
  const std::optional<std::string> home = Env("HOME");
  std::string configHome;
  if (auto xdg = Env("XDG_CONFIG_HOME")) {
    configHome = *xdg;
  } else if (home) {
    configHome = *home + "/.config";
  }
  if (!configHome.empty()) {
    if (auto fromFile = FromUserDirs(configHome + "/user-dirs.dirs", home.value_or("")))
      return fromFile;
  }
  if (home) return *home + "/Documents";
  return std::nullopt;
#endif
}

uint32_t TickCountMs() {
#if defined(_WIN32)
  return GetTickCount();
#else
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
#endif
}

bool PathExists(const std::string& path) {
#if defined(_WIN32)
  const std::optional<std::wstring> wide = WidenUtf8(path);
  return wide && !wide->empty() && GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
#endif
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == kPathSeparator) return a + b;
  return a + kPathSeparator + b;
}

}  // namespace orvo::platform
