// Version resources on Windows: GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW.
#include "VornLibVersion.h"

#include <cstring>
#include <windows.h>

#include "VornLibFilesystem.h"

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(TFixedFileInfo));

void TVornVersionInfo::Load(std::u16string_view fileName) {
  FLoaded = false;
  FFileName.clear();
  FFixed = TFixedFileInfo{};
  FTranslationCount = 0;
  FCurrentTranslation = -1;
  if (!FileExists(fileName))
    return;
  const std::wstring name(fileName.begin(), fileName.end());
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &unused);
  if (size == 0)
    return;
  FData.assign(size, 0);
  if (!GetFileVersionInfoW(name.c_str(), 0, size, FData.data()))
    return;

  FFileName = fileName;
  FLoaded = true;
  void* value = nullptr;
  UINT length = 0;
  if (VerQueryValueW(FData.data(), L"\\", &value, &length) && value != nullptr &&
      length >= sizeof(FFixed))
    std::memcpy(&FFixed, value, sizeof(FFixed));

  value = nullptr;
  length = 0;
  if (VerQueryValueW(FData.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
      value != nullptr && length >= 4) {
    const auto* table = static_cast<const uint8_t*>(value);
    FTranslations.assign(table, table + length);
    FTranslationCount = static_cast<int>(length / 4);
    SelectTranslation(0);
  } else {
    FTranslations.clear();
  }
}
