// tarnwk.exe: with parameters it optimizes once and ends; without any it opens the main window.
#include <exception>
#include <string>
#include <vector>

#include <windows.h>

#include "VornLibSystem.h"
#include "uCommandLine.h"
#include "wndMain.h"

namespace {

// The last word on an error nobody handled: a line on standard error when the process has one,
// and unless the run is silent, a message box (quietly dropped when there is no display). A silent
// run shows none: in a scheduled task without a desktop nobody could close it, and the process
// would never end.
void ReportUnhandledError(const char* what, bool silent) {
  const HANDLE errorOutput = GetStdHandle(STD_ERROR_HANDLE);
  if (errorOutput != nullptr && errorOutput != INVALID_HANDLE_VALUE) {
    const std::string line = std::string("tarnwk: ") + what + "\r\n";
    DWORD written = 0;
    WriteFile(errorOutput, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  if (silent)
    return;

  std::wstring text(L"Unexpected error: ");
  const int needed = MultiByteToWideChar(CP_ACP, 0, what, -1, nullptr, 0);
  if (needed > 1) {
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, what, -1, wide.data(), needed);
    wide.resize(static_cast<size_t>(needed - 1));
    text += wide;
  }
  MessageBoxW(nullptr, text.c_str(), L"Tarnwick", MB_OK | MB_ICONERROR);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  // The system facts are gathered before anything else and kept for the whole run.
  const TSystemProbe probe;
  bool silent = false;
  try {
    const wchar_t* line = GetCommandLineW();
    const std::vector<std::u16string> parameters =
        SplitParameters(std::u16string(line, line + wcslen(line)));
    if (parameters.empty())
      return RunMainWindow(instance, showCommand);
    // "/s" counts as the command line reads it: only before an invalid parameter.
    TCommandLineOptions options;
    ParseCommandLine(parameters, false, options);
    silent = options.Silent;
    RunCommandLine(0);
    return 0;
  } catch (const std::exception& error) {
    ReportUnhandledError(error.what(), silent);
  } catch (...) {
    ReportUnhandledError("unknown exception", silent);
  }
  return 1;
}
