// POSIX side of the small-file helpers.
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/file_io.hpp"

namespace orvo::platform {

namespace {

std::string ErrorText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

FileRead ReadRegularFile(const std::string& path, size_t maxBytes) {
  FileRead result;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    const int err = errno;
    result.status = (err == ENOENT) ? ReadStatus::kMissing : ReadStatus::kError;
    result.error = ErrorText(err);
    return result;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    result.error = ErrorText(errno);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.status = ReadStatus::kNotRegular;
    result.error = S_ISDIR(st.st_mode) ? ErrorText(EISDIR) : "not a regular file";
    return result;
  }
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    result.status = ReadStatus::kTooLarge;
    result.error = "larger than " + std::to_string(maxBytes) + " bytes";
    return result;
  }
  // The size may change while reading: never take more than the limit.
  std::string bytes;
  bytes.resize(maxBytes + 1);
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      result.error = ErrorText(errno);
      return result;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > maxBytes) {
    result.status = ReadStatus::kTooLarge;
    result.error = "larger than " + std::to_string(maxBytes) + " bytes";
    return result;
  }
  bytes.resize(got);
  result.status = ReadStatus::kOk;
  result.bytes = std::move(bytes);
  return result;
}

CreateStatus CreateFileExclusive(const std::string& path, std::string_view bytes) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return CreateStatus::kExists;
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  {
    Descriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0) return CreateStatus::kError;
    if (!WriteAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) {
      ::unlink(temporary.c_str());
      return CreateStatus::kError;
    }
  }
  // link() never replaces an existing name (a dangling link included): the move that cannot
  // overwrite what an editor created meanwhile.
  const int linked = ::link(temporary.c_str(), path.c_str());
  const int err = errno;
  ::unlink(temporary.c_str());
  if (linked == 0) return CreateStatus::kCreated;
  return err == EEXIST ? CreateStatus::kExists : CreateStatus::kError;
}

std::string NativeTextLineEnds(std::string_view text) {
  return std::string(text);
}

}  // namespace orvo::platform

#endif  // !_WIN32
