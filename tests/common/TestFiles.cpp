#include "TestFiles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testing_files {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::ostringstream name;
  name << "tarnwick-test-" << random() << '-' << stamp << '-' << counter++;
  FPath = fs::temp_directory_path() / name.str();
  fs::create_directories(FPath);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Give back write permission first, so that read-only test files can go.
  for (auto it = fs::recursive_directory_iterator(FPath, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(FPath, ignored);
}

std::u16string TempFolder::Name(std::string_view fileName) const {
  return ToU16(FPath / fileName);
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + file.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

#ifndef _WIN32
// Windows: TestProgram_win32.cpp.
std::vector<std::string> FolderContent(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
#endif

void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out)
    throw std::runtime_error("cannot write " + file.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::u16string ToU16(const fs::path& path) {
  return path.u16string();
}

std::u16string U16(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::wstring HostPath(std::string_view unixPath) {
  std::wstring path(unixPath.begin(), unixPath.end());
#ifdef _WIN32
  if (!path.empty() && path[0] == L'/')
    path = L"Z:" + path;
  for (wchar_t& c : path)
    if (c == L'/')
      c = L'\\';
#endif
  return path;
}

bool RunningAsRoot() {
#ifdef _WIN32
  return false;
#else
  return geteuid() == 0;
#endif
}

void AsAnOrdinaryUser(const std::function<void()>& body) {
#ifndef _WIN32
  if (RunningAsRoot()) {
    constexpr uid_t Nobody = 65534;
    // Buffered output would be written twice, by the parent and by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    ASSERT_NE(child, -1) << "fork failed";
    if (child == 0) {
      int status = 3;
      if (::setgroups(0, nullptr) == 0 && ::setgid(Nobody) == 0 && ::setuid(Nobody) == 0 &&
          ::geteuid() == Nobody) {
        try {
          body();
          status = testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& failure) {
          std::fprintf(stdout, "as user 65534: %s\n", failure.what());
          status = 2;
        } catch (...) {
          status = 2;
        }
      } else {
        std::fprintf(stdout, "cannot take the identity of user 65534\n");
      }
      std::fflush(stdout);
      std::fflush(stderr);
      // No exit handlers: the parent alone writes the results.
      ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the body run as user 65534 failed (wait status " << status
        << "; 1: a check failed, 2: an exception, 3: no change of user)";
    return;
  }
#endif
  body();
}

#ifndef _WIN32
unsigned ModeOf(const fs::path& file) {
  struct stat status {};
  EXPECT_EQ(::stat(file.c_str(), &status), 0);
  return status.st_mode & 07777;
}
#endif

void MakeReadOnly(const fs::path& file) {
  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

fs::path CorpusFolder() {
  const fs::path folder = HostPath(TARNWICK_CORPUS_DIR);
  std::error_code ignored;
  if (!fs::is_directory(folder, ignored))
    return {};
  return folder;
}

} // namespace testing_files
