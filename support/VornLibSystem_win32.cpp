// The start-up probe and the taskbar on Windows. Everything newer than Windows 2000 is looked up
// at run time, so that the program still starts on the releases that lack it.
#include "VornLibSystem.h"

#include "VornLibHandle.h"

#include <memory>
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

namespace {

static_assert(sizeof(OSVERSIONINFOEXW) == 284 && sizeof(OSVERSIONINFOW) == 276);

// Signatures of the looked-up functions; decltype does not import them.
using TGetProductInfo = decltype(&GetProductInfo);
using TSHGetKnownFolderPath = decltype(&SHGetKnownFolderPath);
using TSHGetStockIconInfo = decltype(&SHGetStockIconInfo);
using TIsWow64Process = decltype(&IsWow64Process);
using TWow64DisableWow64FsRedirection = decltype(&Wow64DisableWow64FsRedirection);
using TWow64RevertWow64FsRedirection = decltype(&Wow64RevertWow64FsRedirection);

template <typename Function> Function LookUp(HMODULE module, const char* name) {
  if (module == nullptr)
    return nullptr;
  // Through the generic function type: GetProcAddress's own type says nothing about the entry.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A library loaded with LoadLibraryW, freed with FreeLibrary when the holder goes.
struct LibraryTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static void Close(Type value) { FreeLibrary(value); }
};

class TLibrary {
public:
  explicit TLibrary(const wchar_t* name) : FModule(LoadLibraryW(name)) {}
  HMODULE Module() const { return FModule.Get(); }

private:
  ScopedHandle<LibraryTraits> FModule;
};

// What the probe loaded and looked up; each entry is null when its library or entry is missing.
// The libraries are freed in reverse order of loading (members are destroyed last to first).
struct TLoaded {
  TLibrary Kernel32{L"kernel32.dll"};
  TLibrary Shell32{L"shell32.dll"};
  TGetProductInfo ProductInfo = nullptr;
  TSHGetKnownFolderPath KnownFolderPath = nullptr;
  TWow64DisableWow64FsRedirection DisableFsRedirection = nullptr;
  TWow64RevertWow64FsRedirection RevertFsRedirection = nullptr;
  // Vista and above: each from its own load of shell32.
  std::unique_ptr<TLibrary> KnownFolderShell32;
  TSHGetKnownFolderPath VistaKnownFolderPath = nullptr;
  std::unique_ptr<TLibrary> StockIconShell32;
  TSHGetStockIconInfo StockIconInfo = nullptr;
};

// What the probe loaded, until the last probe goes.
std::unique_ptr<TLoaded>& Loaded() {
  static std::unique_ptr<TLoaded> loaded;
  return loaded;
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
  Loaded() = std::make_unique<TLoaded>();
  TLoaded& loaded = *Loaded();
  loaded.ProductInfo = LookUp<TGetProductInfo>(loaded.Kernel32.Module(), "GetProductInfo");
  loaded.KnownFolderPath =
      LookUp<TSHGetKnownFolderPath>(loaded.Shell32.Module(), "SHGetKnownFolderPath");

  ReadVersion(record);
  record.IsWow64 = ProcessIsWow64();
  version = MapOsVersion(record, IsServer2003R2(record));

  if (record.IsWow64) {
    loaded.DisableFsRedirection = LookUp<TWow64DisableWow64FsRedirection>(
        loaded.Kernel32.Module(), "Wow64DisableWow64FsRedirection");
    loaded.RevertFsRedirection = LookUp<TWow64RevertWow64FsRedirection>(
        loaded.Kernel32.Module(), "Wow64RevertWow64FsRedirection");
  }
  if (OsFamily() >= OsFamilyVista) {
    loaded.KnownFolderShell32 = std::make_unique<TLibrary>(L"shell32.dll");
    loaded.VistaKnownFolderPath =
        LookUp<TSHGetKnownFolderPath>(loaded.KnownFolderShell32->Module(), "SHGetKnownFolderPath");
    loaded.StockIconShell32 = std::make_unique<TLibrary>(L"shell32.dll");
    loaded.StockIconInfo =
        LookUp<TSHGetStockIconInfo>(loaded.StockIconShell32->Module(), "SHGetStockIconInfo");
  }
}

void ReleasePlatform() {
  Loaded().reset();
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
