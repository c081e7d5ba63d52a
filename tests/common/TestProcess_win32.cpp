#include "TestProcess.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "TestFiles.h"

namespace testing_files {

namespace {

// One parameter quoted as CommandLineToArgvW reads it back: within quotes, backslashes double
// where a quote follows them, and a quote is escaped.
std::wstring Quoted(const std::wstring& parameter) {
  if (!parameter.empty() && parameter.find_first_of(L" \t\"") == std::wstring::npos)
    return parameter;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : parameter) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

std::wstring WideUtf8(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

HANDLE Inheritable(const std::filesystem::path& file, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(file.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TProcessResult RunProcess(const std::vector<std::string>& arguments,
                          const std::optional<std::string>& input) {
  TempFolder capture;
  const std::filesystem::path in = capture.File("stdin"), out = capture.File("stdout"),
                              err = capture.File("stderr");
  WriteBytes(in, input ? *input : std::string());
  const HANDLE handles[3] = {Inheritable(in, false), Inheritable(out, true),
                             Inheritable(err, true)};

  // The parameters are UTF-8; the program itself as Windows names it.
  std::wstring line;
  for (const std::string& argument : arguments)
    line += (line.empty() ? L"" : L" ") + Quoted(WideUtf8(argument));
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = handles[0];
  startup.hStdOutput = handles[1];
  startup.hStdError = handles[2];
  PROCESS_INFORMATION process{};
  TProcessResult result;
  const bool started = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  EXPECT_TRUE(started) << "cannot start " << arguments[0] << ": error " << GetLastError();
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.Status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  for (const HANDLE handle : handles)
    CloseHandle(handle);
  result.Out = ReadBytes(out);
  result.Err = ReadBytes(err);
  return result;
}

} // namespace testing_files
