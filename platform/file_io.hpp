// Whole-file reads and exclusive creation of small files (the configuration file and the
// folder-settings file). Paths are UTF-8; the Windows side converts them to wide characters so
// that user names outside the ANSI code page work.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvo::platform {

enum class ReadStatus {
  kOk,
  kMissing,     // nothing at the path (or a dangling link)
  kNotRegular,  // a folder, FIFO, device or socket: never opened in a way that could block
  kTooLarge,    // more than the caller's limit
  kError,       // anything else; `error` says what
};

struct FileRead {
  ReadStatus status = ReadStatus::kError;
  std::string bytes;  // the whole file when status is kOk
  std::string error;  // a short reason otherwise
};

// Reads a regular file of at most `maxBytes` bytes in one consistent version: the file is
// opened once without blocking, checked through the open handle, then read through it, so a
// file replaced meanwhile is read either whole before or whole after the replacement.
FileRead ReadRegularFile(const std::string& path, size_t maxBytes);

enum class CreateStatus {
  kCreated,
  kExists,  // something (a file, folder or link, even a dangling one) already had the name
  kError,   // e.g. the folder is missing or not writable
};

// Creates `path` holding `bytes`, only when nothing has that name. The bytes go to a temporary
// file in the same folder first and are moved into place without replacing anything, so the
// name never holds a partial file and an existing file or link is never written through.
CreateStatus CreateFileExclusive(const std::string& path, std::string_view bytes);

// `text` with the platform's text-file line ends, as a file opened in text mode would get it:
// unchanged on POSIX systems, every "\n" as "\r\n" on Windows.
std::string NativeTextLineEnds(std::string_view text);

}  // namespace orvo::platform
