// The Windows side of the small-file helpers and the platform layer, run under Wine: reads that
// never block on pipes or devices, folders refused, size limits, exclusive creation that never
// replaces anything, CRLF text, and UTF-8 paths outside the ANSI code page.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/file_io.hpp"
#include "platform/platform.hpp"
#include "platform/utf8_windows.hpp"

namespace {

using orvo::platform::CreateFileExclusive;
using orvo::platform::CreateStatus;
using orvo::platform::ReadRegularFile;
using orvo::platform::ReadStatus;

// A new folder under the temporary folder, removed with its files afterwards. Its name holds
// characters outside every ANSI code page, so every path below goes through UTF-8 and UTF-16.
class WindowsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    folder_ = std::wstring(temp) + L"orvo-\u00c4rger-\u6587\u66f8-" +
              std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    folderUtf8_ = *orvo::platform::NarrowToUtf8(folder_.c_str());
  }
  void TearDown() override {
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder_ + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryW(path.c_str());
        else
          DeleteFileW(path.c_str());
      } while (FindNextFileW(h, &found));
      FindClose(h);
    }
    RemoveDirectoryW(folder_.c_str());
  }

  std::string Path(const std::string& name) const { return folderUtf8_ + "\\" + name; }
  std::wstring WidePath(const std::string& name) const {
    return *orvo::platform::WidenUtf8(Path(name));
  }
  void Write(const std::string& name, const std::string& bytes) const {
    HANDLE h = CreateFileW(WidePath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(h);
  }
  std::string Contents(const std::string& name) const {
    const auto read = ReadRegularFile(Path(name), 1 << 20);
    EXPECT_EQ(read.status, ReadStatus::kOk) << read.error;
    return read.bytes;
  }
  size_t EntryCount() const {
    size_t n = 0;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
      const std::wstring name = found.cFileName;
      n += name != L"." && name != L"..";
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return n;
  }

  std::wstring folder_;
  std::string folderUtf8_;
};

TEST_F(WindowsFiles, ReadsWholeFilesUpToTheLimitAndReportsMissingOnes) {
  Write("a.yml", std::string("x: 1\r\n\0y: 2", 12));
  EXPECT_EQ(Contents("a.yml"), std::string("x: 1\r\n\0y: 2", 12));
  EXPECT_EQ(ReadRegularFile(Path("a.yml"), 12).status, ReadStatus::kOk);
  EXPECT_EQ(ReadRegularFile(Path("a.yml"), 11).status, ReadStatus::kTooLarge);
  Write("empty.yml", "");
  const auto empty = ReadRegularFile(Path("empty.yml"), 0);
  EXPECT_EQ(empty.status, ReadStatus::kOk);
  EXPECT_TRUE(empty.bytes.empty());

  const auto missing = ReadRegularFile(Path("none.yml"), 100);
  EXPECT_EQ(missing.status, ReadStatus::kMissing);
  EXPECT_FALSE(missing.error.empty());
  EXPECT_EQ(ReadRegularFile(Path("no-folder\\none.yml"), 100).status, ReadStatus::kMissing);
}

TEST_F(WindowsFiles, RefusesFoldersDevicesAndPipesWithoutWaiting) {
  ASSERT_TRUE(CreateDirectoryW(WidePath("sub").c_str(), nullptr));
  EXPECT_EQ(ReadRegularFile(Path("sub"), 100).status, ReadStatus::kNotRegular);
  EXPECT_EQ(ReadRegularFile("NUL", 100).status, ReadStatus::kNotRegular);
  // A pipe with a server but no data: reading it would wait for ever.
  const std::wstring pipeName =
      L"\\\\.\\pipe\\orvo-file-io-" + std::to_wstring(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const auto pipe = ReadRegularFile(*orvo::platform::NarrowToUtf8(pipeName.c_str()), 100);
  EXPECT_EQ(pipe.status, ReadStatus::kNotRegular);
  CloseHandle(server);
  // Not valid UTF-8: refused rather than guessed at.
  EXPECT_EQ(ReadRegularFile(Path("bad\xff.yml"), 100).status, ReadStatus::kError);
}

TEST_F(WindowsFiles, CreatesOnlyWhereNothingExistsAndLeavesNoTemporaryFile) {
  EXPECT_EQ(CreateFileExclusive(Path("config.yml"), "a: 1\r\n"), CreateStatus::kCreated);
  EXPECT_EQ(Contents("config.yml"), "a: 1\r\n");
  // An existing file is neither replaced nor written to.
  EXPECT_EQ(CreateFileExclusive(Path("config.yml"), "b: 2\r\n"), CreateStatus::kExists);
  EXPECT_EQ(Contents("config.yml"), "a: 1\r\n");
  // A folder of that name counts as existing too.
  ASSERT_TRUE(CreateDirectoryW(WidePath("taken").c_str(), nullptr));
  EXPECT_EQ(CreateFileExclusive(Path("taken"), "c"), CreateStatus::kExists);
  // A missing folder is not created.
  EXPECT_EQ(CreateFileExclusive(Path("missing\\config.yml"), "d"), CreateStatus::kError);
  EXPECT_EQ(GetFileAttributesW(WidePath("missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(EntryCount(), 2u);  // config.yml and taken: no temporary file left behind
}

TEST_F(WindowsFiles, PathsOutsideTheAnsiCodePageWork) {
  const std::string name = "\xe6\x96\x87\xe6\x9b\xb8-\xce\xb1.yml";  // 文書-α.yml
  EXPECT_FALSE(orvo::platform::PathExists(Path(name)));
  EXPECT_EQ(CreateFileExclusive(Path(name), "k: v\r\n"), CreateStatus::kCreated);
  EXPECT_TRUE(orvo::platform::PathExists(Path(name)));
  EXPECT_NE(GetFileAttributesW(WidePath(name).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Contents(name), "k: v\r\n");
  EXPECT_EQ(orvo::platform::JoinPath(folderUtf8_, name), Path(name));
}

TEST(WindowsText, TextModeLineEndsAreCrLf) {
  EXPECT_EQ(orvo::platform::NativeTextLineEnds("a\nb\n\nc"), "a\r\nb\r\n\r\nc");
  EXPECT_EQ(orvo::platform::NativeTextLineEnds(""), "");
}

TEST(WindowsText, Utf8ConversionsRoundTripAndRefuseInvalidInput) {
  const std::string text = "C:\\Users\\J\xc3\xb6rg\\\xe6\x96\x87\xe6\x9b\xb8";  // Jörg\文書
  const auto wide = orvo::platform::WidenUtf8(text);
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(*wide, L"C:\\Users\\J\u00f6rg\\\u6587\u66f8");
  EXPECT_EQ(orvo::platform::NarrowToUtf8(wide->c_str()), text);
  EXPECT_FALSE(orvo::platform::WidenUtf8("\xc3").has_value());
  EXPECT_FALSE(orvo::platform::WidenUtf8(std::string("a\0b", 3)).has_value());
  const wchar_t lone[] = {L'a', 0xd800, 0};
  EXPECT_FALSE(orvo::platform::NarrowToUtf8(lone).has_value());
}

TEST(WindowsShell, DocumentsFolderIsTheShellsPersonalFolderInUtf8) {
  wchar_t wide[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, wide), S_OK);
  std::optional<std::string> documents = orvo::platform::DocumentsFolder();
  ASSERT_TRUE(documents.has_value());
  std::string shell = *orvo::platform::NarrowToUtf8(wide);
  // The shell may or may not end a folder with a separator (Wine does for a linked folder);
  // JoinPath copes with both.
  for (std::string* path : {&*documents, &shell}) {
    if (path->size() > 3 && path->back() == '\\') path->pop_back();
  }
  EXPECT_EQ(*documents, shell);
}

}  // namespace
