// Test helpers: a private temporary folder, whole-file reads and writes, file modes, the shared
// corpus.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_files {

// A fresh folder under the system temporary folder, removed with everything in it at the end.
class TempFolder {
public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  // The full name of a file in the folder, as the program's UTF-16 text.
  std::u16string Name(std::string_view fileName) const;
  std::filesystem::path File(std::string_view fileName) const { return FPath / fileName; }

private:
  std::filesystem::path FPath;
};

std::string ReadBytes(const std::filesystem::path& file);
// The names of the files and folders in a folder, sorted. Windows: listed through the long-path
// form, so that a folder deeper than MAX_PATH is listed too (the runtime's listing stops there).
std::vector<std::string> FolderContent(const std::filesystem::path& folder);
void WriteBytes(const std::filesystem::path& file, std::string_view bytes);
std::u16string ToU16(const std::filesystem::path& path);
std::u16string U16(std::string_view ascii);

// A path of the build machine as the program under test sees it: under Wine the unix root is
// drive Z:, so "/work/x" becomes "Z:\\work\\x"; natively the path as it is.
std::wstring HostPath(std::string_view unixPath);

// True when the tests run as root, who is granted every access whatever a file's mode says.
// Always false on Windows.
bool RunningAsRoot();

// Runs a test body as an ordinary user, to whom a file's mode applies: as it is for anyone but
// root; for root in a forked child that takes the identity of user 65534 (nobody) and reports
// through its exit status, so that a refusal is tested on every build. The body makes its own
// files (a TempFolder of its own). Windows: the body as it is.
void AsAnOrdinaryUser(const std::function<void()>& body);

#ifndef _WIN32
// A file's permission bits, 0 when they cannot be read (the failure is reported).
unsigned ModeOf(const std::filesystem::path& file);
#endif

// Takes the write permission away from everyone.
void MakeReadOnly(const std::filesystem::path& file);

// The shared corpus folder, or an empty path when it is not there (a user's fresh clone).
std::filesystem::path CorpusFolder();

} // namespace testing_files
