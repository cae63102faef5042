// A throw-away home for one test. HOME points at a fresh temporary directory, XDG_CONFIG_HOME
// at a folder inside it that has no user-dirs.dirs, and XDG_DOCUMENTS_DIR is unset, so the
// Documents folder is <root>/Documents. Every variable touched and the current directory are
// restored, and the directory is removed, when the sandbox goes away.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace orvo::testing {

class SandboxEnv {
 public:
  SandboxEnv() : savedCwd_(std::filesystem::current_path()) {
    root_ = (std::filesystem::temp_directory_path() / "orvo_sandbox_XXXXXX").string();
    if (::mkdtemp(root_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Set("HOME", root_.c_str());
    Set("XDG_CONFIG_HOME", (root_ + "/.config").c_str());
    Set("XDG_DOCUMENTS_DIR", nullptr);
  }
  ~SandboxEnv() {
    std::error_code ec;
    std::filesystem::current_path(savedCwd_, ec);
    for (const auto& [name, value] : saved_)
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    std::filesystem::remove_all(root_, ec);
  }

  // Sets a variable, or unsets it when `value` is null.
  void Set(const std::string& name, const char* value) {
    const char* old = std::getenv(name.c_str());
    if (saved_.count(name) == 0)
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    value ? ::setenv(name.c_str(), value, 1) : ::unsetenv(name.c_str());
  }

  const std::string& Root() const { return root_; }
  std::string Documents() const { return root_ + "/Documents"; }
  std::string ConfigFolder() const { return Documents() + "/RereridEva"; }
  std::string ConfigPath() const { return ConfigFolder() + "/config.yml"; }

  // Writes exactly these bytes, creating the folders on the way.
  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::absolute(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  // The file's bytes; a missing file reads as "<missing>".
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
  }

 private:
  std::string root_;
  std::filesystem::path savedCwd_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace orvo::testing
