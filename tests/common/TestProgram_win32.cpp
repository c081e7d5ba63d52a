#include "TestProgram_win32.h"

#include <vector>

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "TestText.h"

namespace testing_files {

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

} // namespace testing_files
