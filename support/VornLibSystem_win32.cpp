// The start-up probe and the taskbar on Windows. IsWow64Process, newer than Windows 2000, is looked
// up at run time, so that the program still starts on the releases that lack it.
#include "VornLibSystem.h"

#include <windows.h>

#include <shellapi.h>

namespace {

static_assert(sizeof(OSVERSIONINFOEXW) == 284 && sizeof(OSVERSIONINFOW) == 276);

// The looked-up function's signature; decltype does not import it.
using TIsWow64Process = decltype(&IsWow64Process);

template <typename Function> Function LookUp(HMODULE module, const char* name) {
  if (module == nullptr)
    return nullptr;
  // Through the generic function type: GetProcAddress's own type says nothing about the entry.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

uint8_t MapPlatform(DWORD platformId) {
  switch (platformId) {
  case VER_PLATFORM_WIN32s:
    return OsPlatformWin32s;
  case VER_PLATFORM_WIN32_WINDOWS:
    return OsPlatformWindows9x;
  case VER_PLATFORM_WIN32_NT:
    return OsPlatformNT;
  default:
    return OsPlatformOther;
  }
}

std::u16string Trimmed(const wchar_t* text) {
  std::u16string result(reinterpret_cast<const char16_t*>(text));
  size_t first = 0;
  while (first < result.size() && result[first] <= u' ')
    ++first;
  size_t last = result.size();
  while (last > first && result[last - 1] <= u' ')
    --last;
  return result.substr(first, last - first);
}

void ReadVersion(TOsRecord& record) {
  OSVERSIONINFOEXW extended{};
  extended.dwOSVersionInfoSize = sizeof(extended);
  const OSVERSIONINFOW* info = reinterpret_cast<OSVERSIONINFOW*>(&extended);
  OSVERSIONINFOW plain{};
  if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
    record.ServicePackMajor = extended.wServicePackMajor;
    record.ServicePackMinor = extended.wServicePackMinor;
    record.SuiteMask = extended.wSuiteMask;
    record.ProductType = extended.wProductType;
  } else {
    plain.dwOSVersionInfoSize = sizeof(plain);
    if (!GetVersionExW(&plain))
      return;
    info = &plain;
  }
  record.Platform = MapPlatform(info->dwPlatformId);
  record.Major = info->dwMajorVersion;
  record.Minor = info->dwMinorVersion;
  record.Build = info->dwBuildNumber;
  record.ServicePack = Trimmed(info->szCSDVersion);
}

bool ProcessIsWow64() {
  const auto isWow64Process =
      LookUp<TIsWow64Process>(GetModuleHandleW(L"kernel32"), "IsWow64Process");
  BOOL wow64 = FALSE;
  return isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool IsServer2003R2(const TOsRecord& record) {
  return record.Major == 5 && record.Minor == 2 && GetSystemMetrics(SM_SERVERR2) != 0;
}

} // namespace

void ProbePlatform(TOsRecord& record, TOsVersion& version) {
  ReadVersion(record);
  record.IsWow64 = ProcessIsWow64();
  version = MapOsVersion(record, IsServer2003R2(record));
}

bool GetTaskbarRect(int& edge, TRect& rect) {
  const HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
  if (taskbar == nullptr)
    return false;
  APPBARDATA data{};
  data.cbSize = sizeof(APPBARDATA);
  data.hWnd = taskbar;
  if (SHAppBarMessage(ABM_GETTASKBARPOS, &data) == 0)
    return false;
  edge = static_cast<int>(data.uEdge);
  rect = {data.rc.left, data.rc.top, data.rc.right, data.rc.bottom};
  return true;
}
