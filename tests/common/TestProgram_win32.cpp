#include "TestProgram_win32.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "TestText.h"

namespace testing_files {

std::vector<std::string> FolderContent(const std::filesystem::path& folder) {
  std::wstring pattern =
      (folder.is_absolute() ? folder : std::filesystem::absolute(folder)).wstring();
  for (wchar_t& c : pattern)
    if (c == L'/')
      c = L'\\';
  if (pattern.rfind(L"\\\\", 0) != 0)
    pattern = L"\\\\?\\" + pattern;
  pattern += L"\\*";
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot list " + Ascii(folder.wstring()));
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..")
      names.push_back(std::filesystem::path(name).string());
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring ProgramName() {
  return HostPath(TARNWK_EXE);
}

THeldHostsFile::THeldHostsFile(const std::filesystem::path& file) {
  WriteBytes(file, PlainInput);
  FHandle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
}

THeldHostsFile::~THeldHostsFile() {
  if (Held())
    CloseHandle(FHandle);
}

bool StartProgram(const std::wstring& parameters, PROCESS_INFORMATION& process) {
  std::wstring line = L"\"" + ProgramName() + L"\"";
  if (!parameters.empty())
    line += L" " + parameters;
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  process = {};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start " << Ascii(line) << ": error " << GetLastError();
    return false;
  }
  return true;
}

TRegistryValueGuard::TRegistryValueGuard(HKEY root, std::wstring key, std::wstring name)
    : FRoot(root), FKey(std::move(key)), FName(std::move(name)) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(FRoot, FKey.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS) {
    FKeyExisted = true;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(handle, FName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      std::string data(size, '\0');
      if (RegQueryValueExW(handle, FName.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
        data.resize(size);
        FType = type;
        FData = data;
      }
    }
    RegCloseKey(handle);
  }
}

TRegistryValueGuard::~TRegistryValueGuard() {
  if (FData)
    Write(FType, *FData);
  else
    Delete();
  if (!FKeyExisted)
    RegDeleteKeyW(FRoot, FKey.c_str());
}

void TRegistryValueGuard::SetText(const std::wstring& text, DWORD type) {
  const std::string data(reinterpret_cast<const char*>(text.c_str()),
                         (text.size() + 1) * sizeof(wchar_t));
  ASSERT_TRUE(Write(type, data));
}

void TRegistryValueGuard::SetNumber(DWORD number) {
  ASSERT_TRUE(Write(REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4)));
}

void TRegistryValueGuard::Delete() {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(FRoot, FKey.c_str(), 0, KEY_SET_VALUE, &handle) == ERROR_SUCCESS) {
    RegDeleteValueW(handle, FName.c_str());
    RegCloseKey(handle);
  }
}

bool TRegistryValueGuard::Write(DWORD type, const std::string& data) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(FRoot, FKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LONG status =
      RegSetValueExW(handle, FName.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size()));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

} // namespace testing_files
