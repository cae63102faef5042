// A throw-away home for one test. HOME points at a fresh temporary directory, XDG_CONFIG_HOME
// at a folder inside it that has no user-dirs.dirs, and XDG_DOCUMENTS_DIR is unset, so the
// Documents folder is <root>/Documents. Every variable touched and the current directory are
// restored, and the directory is removed, when the sandbox goes away.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace orvo::testing {

class SandboxEnv {
 public:
  SandboxEnv() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvo_sandbox_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    savedCwd_ = std::filesystem::current_path();
    Set("HOME", root_);
    Set("XDG_CONFIG_HOME", root_ + "/.config");
    Unset("XDG_DOCUMENTS_DIR");
  }

  ~SandboxEnv() {
    std::error_code ec;
    std::filesystem::current_path(savedCwd_, ec);
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    std::filesystem::remove_all(root_, ec);
  }

  SandboxEnv(const SandboxEnv&) = delete;
  SandboxEnv& operator=(const SandboxEnv&) = delete;

  void Set(const std::string& name, const std::string& value) {
    Remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Remember(name);
    ::unsetenv(name.c_str());
  }

  const std::string& Root() const { return root_; }
  std::string Documents() const { return root_ + "/Documents"; }
  std::string ConfigFolder() const { return Documents() + "/RereridEva"; }
  std::string ConfigPath() const { return ConfigFolder() + "/config.yml"; }

  void MakeConfigFolder() const { std::filesystem::create_directories(ConfigFolder()); }

  // Writes config.yml (creating its folder) with exactly these bytes.
  void WriteConfig(const std::string& text) const {
    MakeConfigFolder();
    WriteFile(ConfigPath(), text);
  }

  // Makes <root>/<name> the current directory (restored by the destructor).
  std::string EnterDirectory(const std::string& name) const {
    const std::string dir = root_ + "/" + name;
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    return dir;
  }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }

  static std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  void Remember(const std::string& name) {
    if (saved_.count(name) != 0) return;
    const char* v = std::getenv(name.c_str());
    saved_[name] = v != nullptr ? std::optional<std::string>(v) : std::nullopt;
  }

  std::string root_;
  std::filesystem::path savedCwd_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace orvo::testing
