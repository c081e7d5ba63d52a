// VornLibVersion: the version resource of an executable or library file. The reader is portable;
// loading is the platform's (VornLibVersion_win32.cpp: the version functions of version.dll;
// VornLibVersion_posix.cpp: no version resources, nothing ever loads).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The fixed file-information record of a version resource (VS_FIXEDFILEINFO).
struct TFixedFileInfo {
  uint32_t Signature;
  uint32_t StrucVersion;
  uint32_t FileVersionMS;
  uint32_t FileVersionLS;
  uint32_t ProductVersionMS;
  uint32_t ProductVersionLS;
  uint32_t FileFlagsMask;
  uint32_t FileFlags;
  uint32_t FileOS;
  uint32_t FileType;
  uint32_t FileSubtype;
  uint32_t FileDateMS;
  uint32_t FileDateLS;
};
static_assert(sizeof(TFixedFileInfo) == 52);

struct TFileVersion {
  uint16_t Major = 0;
  uint16_t Minor = 0;
  uint16_t Release = 0;
  uint16_t Build = 0;
};

// Major and minor are the high and low halves of the high word; release and build those of the
// low word.
constexpr TFileVersion SplitFileVersion(uint32_t high, uint32_t low) {
  return {static_cast<uint16_t>(high >> 16), static_cast<uint16_t>(high & 0xFFFF),
          static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low & 0xFFFF)};
}

// One entry of the translation table.
struct TVersionTranslation {
  uint16_t Language = 0;
  uint16_t CodePage = 0;
};

// The standard string-value names of a version resource.
inline constexpr std::array<std::u16string_view, 12> VersionStringNames = {
    u"Comments",     u"CompanyName",    u"FileDescription", u"FileVersion",
    u"InternalName", u"LegalCopyright", u"LegalTrademarks", u"OriginalFileName",
    u"PrivateBuild", u"ProductName",    u"ProductVersion",  u"SpecialBuild"};

class TVornVersionInfo {
public:
  TVornVersionInfo() { Reset(); }
  virtual ~TVornVersionInfo() = default;
  TVornVersionInfo(const TVornVersionInfo&) = delete;
  TVornVersionInfo& operator=(const TVornVersionInfo&) = delete;

  // Forgets the loaded file; the memory blocks are kept until the next load.
  virtual void Reset() {
    FFileName.clear();
    FLoaded = false;
    FTranslationCount = 0;
    FCurrentTranslation = -1;
  }

  // Loads the version resource of a file, replacing what was loaded. Nothing is loaded when the
  // file does not exist, has no version resource or cannot be read; Loaded() tells.
  void Load(std::u16string_view fileName);

  bool Loaded() const { return FLoaded; }
  // The loaded file; empty when nothing is loaded.
  const std::u16string& FileName() const { return FFileName; }
  // All zeros when nothing is loaded.
  TFileVersion FileVersion() const {
    return FLoaded ? SplitFileVersion(FFixed.FileVersionMS, FFixed.FileVersionLS) : TFileVersion();
  }
  const TFixedFileInfo& FixedFileInfo() const { return FFixed; }

  int TranslationCount() const { return FTranslationCount; }
  // The selected translation, -1 for none.
  int CurrentTranslation() const { return FCurrentTranslation; }
  // Selects a translation; an index outside the table selects none.
  void SelectTranslation(int index) {
    FCurrentTranslation = index >= 0 && index < FTranslationCount ? index : -1;
  }
  // An entry of the translation table; zeros outside it.
  TVersionTranslation Translation(int index) const {
    if (index < 0 || index >= FTranslationCount)
      return {};
    const uint8_t* entry = FTranslations.data() + 4 * static_cast<size_t>(index);
    return {static_cast<uint16_t>(entry[0] | entry[1] << 8),
            static_cast<uint16_t>(entry[2] | entry[3] << 8)};
  }

private:
  std::u16string FFileName;
  bool FLoaded = false;
  TFixedFileInfo FFixed{};
  std::vector<uint8_t> FData;         // the whole version resource
  std::vector<uint8_t> FTranslations; // language and code-page pairs, 4 bytes each
  int FTranslationCount = 0;
  int FCurrentTranslation = -1;
};

// The major and minor file version of a file. False when the file's version resource cannot be
// loaded; the outputs are written only when true.
inline bool GetFileVersion(std::u16string_view fileName, uint16_t& major, uint16_t& minor) {
  TVornVersionInfo info;
  info.Load(fileName);
  if (!info.Loaded())
    return false;
  const TFileVersion version = info.FileVersion();
  major = version.Major;
  minor = version.Minor;
  return true;
}
