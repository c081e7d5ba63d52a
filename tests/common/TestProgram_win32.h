// The built tarnwk.exe as the console tests and the window driver start it, and the small hosts
// file both give it. Windows only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <windows.h>

namespace testing_files {

// A small hosts file, its merged form and the generated localhost lines.
inline const std::string PlainInput = "# a comment\r\n"
                                      "127.0.0.1 localhost\r\n"
                                      "::1 localhost\r\n"
                                      "0.0.0.0 a.example\r\n"
                                      "\r\n"
                                      "0.0.0.0 b.example\r\n"
                                      "10.1.2.3 c.example\r\n";
inline const std::string PlainOutput = "0.0.0.0 a.example b.example\r\n"
                                       "10.1.2.3 c.example\r\n";
inline const std::string LocalhostLines = "127.0.0.1 localhost\r\n::1 localhost\r\n";

// The built program's name as Windows sees it.
std::wstring ProgramName();

// The small hosts file, written and then held open by this process without sharing while the
// holder lives, as another program may hold it: the program's load cannot open it, an error that
// escapes the optimize operation.
class THeldHostsFile {
public:
  explicit THeldHostsFile(const std::filesystem::path& file);
  ~THeldHostsFile();
  THeldHostsFile(const THeldHostsFile&) = delete;
  THeldHostsFile& operator=(const THeldHostsFile&) = delete;

  bool Held() const { return FHandle != INVALID_HANDLE_VALUE; }

private:
  HANDLE FHandle;
};

// Starts the program with the parameters (none when empty). False, with the failure reported,
// when it cannot be started; the caller closes both handles of the process otherwise.
bool StartProgram(const std::wstring& parameters, PROCESS_INFORMATION& process);

// The Windows version Wine reports to tarnwk.exe alone (the Version value of this key, a name
// such as "winxp", "vista" or "win8"; none: the prefix's own, Windows 7).
inline const wchar_t WineProgramKey[] = L"Software\\Wine\\AppDefaults\\tarnwk.exe";

// One registry value, remembered when the guard is made and put back when it goes: the same type
// and data, or no value when there was none. A key the guard had to create is removed again.
class TRegistryValueGuard {
public:
  TRegistryValueGuard(HKEY root, std::wstring key, std::wstring name);
  ~TRegistryValueGuard();
  TRegistryValueGuard(const TRegistryValueGuard&) = delete;
  TRegistryValueGuard& operator=(const TRegistryValueGuard&) = delete;

  void SetText(const std::wstring& text, DWORD type = REG_SZ);
  void SetNumber(DWORD number);
  void Delete();

private:
  bool Write(DWORD type, const std::string& data);

  HKEY FRoot;
  std::wstring FKey;
  std::wstring FName;
  bool FKeyExisted = false;
  DWORD FType = REG_NONE;
  std::optional<std::string> FData;
};

} // namespace testing_files
