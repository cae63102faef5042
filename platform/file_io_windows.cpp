// Windows side of the small-file helpers, and the UTF-8/UTF-16 conversions of the platform
// layer. Every path is UTF-8 on the way in and is opened through the wide-character functions.
#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "platform/file_io.hpp"
#include "platform/utf8_windows.hpp"

namespace orvo::platform {

std::optional<std::wstring> WidenUtf8(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > 0x7fffffff) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring result(static_cast<size_t>(wide), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, result.data(),
                          wide) != wide)
    return std::nullopt;
  // An embedded zero would silently shorten the path the system sees.
  if (result.find(L'\0') != std::wstring::npos) return std::nullopt;
  return result;
}

std::optional<std::string> NarrowToUtf8(const wchar_t* text) {
  const int bytes =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::nullopt;
  std::string result(static_cast<size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, result.data(), bytes, nullptr,
                          nullptr) != bytes)
    return std::nullopt;
  result.resize(static_cast<size_t>(bytes) - 1);  // the terminating zero
  return result;
}

std::string WindowsErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
      0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) {
    if (auto narrow = NarrowToUtf8(buffer)) text = *narrow;
  }
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "Windows error " + std::to_string(code);
  return text;
}

namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

bool IsMissingError(DWORD err) {
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_INVALID_NAME ||
         err == ERROR_BAD_NETPATH;
}

bool WriteAll(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// Creates `path` (never an existing one) holding `bytes`, flushed to disk. The handle is closed
// on return, so that the caller can delete a file it created when writing failed.
enum class NewFile { kWritten, kNotCreated, kWriteFailed };
NewFile WriteNewFile(const std::wstring& path, std::string_view bytes) {
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return NewFile::kNotCreated;
  if (!WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) return NewFile::kWriteFailed;
  return NewFile::kWritten;
}

std::string TooLarge(size_t maxBytes) {
  return "larger than " + std::to_string(maxBytes) + " bytes";
}

}  // namespace

FileRead ReadRegularFile(const std::string& path, size_t maxBytes) {
  FileRead result;
  const std::optional<std::wstring> wide = WidenUtf8(path);
  if (!wide || wide->empty()) {
    result.error = "not a valid UTF-8 path";
    return result;
  }
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder be opened too, so that it is reported as such
  // rather than as a refused access. Opening never waits: pipes, consoles and other devices are
  // recognised through the handle below and never read.
  Handle file(CreateFileW(wide->c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    const DWORD err = GetLastError();
    result.status = IsMissingError(err) ? ReadStatus::kMissing : ReadStatus::kError;
    result.error = WindowsErrorText(err);
    return result;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.status = ReadStatus::kNotRegular;
    result.error = "not a regular file";
    return result;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) {
    result.error = WindowsErrorText(GetLastError());
    return result;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    result.status = ReadStatus::kNotRegular;
    result.error = "is a directory";
    return result;
  }
  const unsigned long long size =
      (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size > maxBytes) {
    result.status = ReadStatus::kTooLarge;
    result.error = TooLarge(maxBytes);
    return result;
  }
  // The size may change while reading: never take more than the limit.
  std::string bytes;
  bytes.resize(maxBytes + 1);
  size_t got = 0;
  while (got < bytes.size()) {
    const size_t want = bytes.size() - got;
    const DWORD chunk = want > 0x40000000 ? 0x40000000 : static_cast<DWORD>(want);
    DWORD n = 0;
    if (!ReadFile(file.get(), bytes.data() + got, chunk, &n, nullptr)) {
      result.error = WindowsErrorText(GetLastError());
      return result;
    }
    if (n == 0) break;
    got += n;
  }
  if (got > maxBytes) {
    result.status = ReadStatus::kTooLarge;
    result.error = TooLarge(maxBytes);
    return result;
  }
  bytes.resize(got);
  result.status = ReadStatus::kOk;
  result.bytes = std::move(bytes);
  return result;
}

CreateStatus CreateFileExclusive(const std::string& path, std::string_view bytes) {
  const std::optional<std::wstring> wide = WidenUtf8(path);
  if (!wide || wide->empty()) return CreateStatus::kError;
  // GetFileAttributesW does not follow links, so a dangling link counts as taken too.
  if (GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES) return CreateStatus::kExists;
  const std::wstring temporary = *wide + L".tmp." + std::to_wstring(GetCurrentProcessId());
  switch (WriteNewFile(temporary, bytes)) {
    case NewFile::kWritten:
      break;
    case NewFile::kNotCreated:
      return CreateStatus::kError;
    case NewFile::kWriteFailed:
      DeleteFileW(temporary.c_str());
      return CreateStatus::kError;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name was taken meanwhile, so a
  // file an editor created in between is never overwritten.
  if (MoveFileExW(temporary.c_str(), wide->c_str(), MOVEFILE_WRITE_THROUGH))
    return CreateStatus::kCreated;
  const DWORD err = GetLastError();
  DeleteFileW(temporary.c_str());
  return (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) ? CreateStatus::kExists
                                                                   : CreateStatus::kError;
}

std::string NativeTextLineEnds(std::string_view text) {
  std::string result;
  result.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') result.push_back('\r');
    result.push_back(c);
  }
  return result;
}

}  // namespace orvo::platform

#endif  // _WIN32
