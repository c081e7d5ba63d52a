#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "TestFiles.h"
#include "VornLibFilesystem.h"
#include "VornLibVersion.h"

using testing_files::TempFolder;
using testing_files::ToU16;
using testing_files::U16;
using testing_files::WriteBytes;

namespace {

struct SplitRow {
  uint32_t high;
  uint32_t low;
  TFileVersion expected;
};

void ExpectVersion(const TFileVersion& actual, const TFileVersion& expected) {
  EXPECT_EQ(actual.Major, expected.Major);
  EXPECT_EQ(actual.Minor, expected.Minor);
  EXPECT_EQ(actual.Release, expected.Release);
  EXPECT_EQ(actual.Build, expected.Build);
}

void ExpectNothingLoaded(const TVornVersionInfo& info) {
  EXPECT_FALSE(info.Loaded());
  EXPECT_EQ(info.FileName(), u"");
  ExpectVersion(info.FileVersion(), {0, 0, 0, 0});
  EXPECT_EQ(info.TranslationCount(), 0);
  EXPECT_EQ(info.CurrentTranslation(), -1);
}

// GetFileVersion must fail and leave its outputs as they were.
void ExpectNoFileVersion(const std::u16string& fileName) {
  uint16_t major = 0xBEEF;
  uint16_t minor = 0xCAFE;
  EXPECT_FALSE(GetFileVersion(fileName, major, minor));
  EXPECT_EQ(major, 0xBEEF);
  EXPECT_EQ(minor, 0xCAFE);
}

} // namespace

TEST(Version, StringNames) {
  const char* const expected[] = {"Comments",        "CompanyName",      "FileDescription",
                                  "FileVersion",     "InternalName",     "LegalCopyright",
                                  "LegalTrademarks", "OriginalFileName", "PrivateBuild",
                                  "ProductName",     "ProductVersion",   "SpecialBuild"};
  ASSERT_EQ(VersionStringNames.size(), std::size(expected));
  for (size_t i = 0; i < VersionStringNames.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    EXPECT_EQ(std::u16string(VersionStringNames[i]), U16(expected[i]));
  }
}

TEST(Version, SplitFileVersion) {
  const SplitRow rows[] = {
      {0x00060001, 0x1DB1446A, {6, 1, 7601, 17514}},
      {0x00000002, 0x00010000, {0, 2, 1, 0}},
      {0x00000000, 0x00000000, {0, 0, 0, 0}},
      {0xFFFF0000, 0x0000FFFF, {65535, 0, 0, 65535}},
      {0x0000FFFF, 0xFFFF0000, {0, 65535, 65535, 0}},
  };
  for (const SplitRow& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.high << ' ' << row.low);
    ExpectVersion(SplitFileVersion(row.high, row.low), row.expected);
  }
}

TEST(Version, FreshReaderHoldsNothing) {
  TVornVersionInfo info;
  ExpectNothingLoaded(info);
  info.SelectTranslation(0);
  EXPECT_EQ(info.CurrentTranslation(), -1);
  EXPECT_EQ(info.Translation(0).Language, 0);
  EXPECT_EQ(info.Translation(0).CodePage, 0);
}

TEST(Version, FilesWithoutVersion) {
  TempFolder folder;
  WriteBytes(folder.File("plain.txt"), "127.0.0.1 example.com\r\n");
  WriteBytes(folder.File("empty.dll"), "");
  WriteBytes(folder.File("fake.exe"), "MZ not really a program");
  const std::u16string names[] = {folder.Name("plain.txt"), folder.Name("empty.dll"),
                                  folder.Name("fake.exe"),  folder.Name("missing.dll"),
                                  ToU16(folder.Path()),     u""};
  for (const std::u16string& name : names) {
    SCOPED_TRACE(testing::PrintToString(name));
    TVornVersionInfo info;
    info.Load(name);
    ExpectNothingLoaded(info);
    ExpectNoFileVersion(name);
  }
}

#ifdef _WIN32

namespace {

std::u16string SystemLibrary(const char* name) {
  return GetSystemFolder(true) + U16(name);
}

} // namespace

TEST(Version, SystemLibraryLoads) {
  const std::u16string kernel32 = SystemLibrary("kernel32.dll");
  TVornVersionInfo info;
  info.Load(kernel32);
  ASSERT_TRUE(info.Loaded());
  EXPECT_EQ(info.FileName(), kernel32);
  const TFixedFileInfo& fixed = info.FixedFileInfo();
  EXPECT_EQ(fixed.Signature, 0xFEEF04BDu);
  const TFileVersion version = info.FileVersion();
  EXPECT_NE(version.Major, 0);
  ExpectVersion(version, SplitFileVersion(fixed.FileVersionMS, fixed.FileVersionLS));

  ASSERT_GT(info.TranslationCount(), 0);
  EXPECT_EQ(info.CurrentTranslation(), 0);
  EXPECT_NE(info.Translation(0).Language, 0);
  info.SelectTranslation(info.TranslationCount());
  EXPECT_EQ(info.CurrentTranslation(), -1);
  info.SelectTranslation(0);
  EXPECT_EQ(info.CurrentTranslation(), 0);
  info.SelectTranslation(-1);
  EXPECT_EQ(info.CurrentTranslation(), -1);

  uint16_t major = 0;
  uint16_t minor = 0xFFFF;
  ASSERT_TRUE(GetFileVersion(kernel32, major, minor));
  EXPECT_EQ(major, version.Major);
  EXPECT_EQ(minor, version.Minor);
}

TEST(Version, ResetForgetsTheFile) {
  TVornVersionInfo info;
  info.Load(SystemLibrary("kernel32.dll"));
  ASSERT_TRUE(info.Loaded());
  info.Reset();
  ExpectNothingLoaded(info);
}

TEST(Version, SecondLoadReplacesTheFirst) {
  TempFolder folder;
  WriteBytes(folder.File("plain.txt"), "# hosts\r\n");
  const std::u16string kernel32 = SystemLibrary("kernel32.dll");
  const std::u16string user32 = SystemLibrary("user32.dll");

  TVornVersionInfo alone;
  alone.Load(user32);
  ASSERT_TRUE(alone.Loaded());

  TVornVersionInfo info;
  info.Load(kernel32);
  ASSERT_TRUE(info.Loaded());
  // A file without a version leaves nothing of the first one behind.
  info.Load(folder.Name("plain.txt"));
  ExpectNothingLoaded(info);
  // A library after that reads exactly as it does in a reader of its own.
  info.Load(kernel32);
  ASSERT_TRUE(info.Loaded());
  info.Load(user32);
  ASSERT_TRUE(info.Loaded());
  EXPECT_EQ(info.FileName(), user32);
  ExpectVersion(info.FileVersion(), alone.FileVersion());
  EXPECT_EQ(info.FixedFileInfo().FileVersionLS, alone.FixedFileInfo().FileVersionLS);
  EXPECT_EQ(info.FixedFileInfo().FileDateLS, alone.FixedFileInfo().FileDateLS);
  EXPECT_EQ(info.TranslationCount(), alone.TranslationCount());
  EXPECT_EQ(info.Translation(0).Language, alone.Translation(0).Language);
  EXPECT_EQ(info.Translation(0).CodePage, alone.Translation(0).CodePage);
}

#else

TEST(Version, NoVersionResourcesWithoutWindows) {
  // Even a real program has no version resource here.
  const std::u16string self = u"/proc/self/exe";
  TVornVersionInfo info;
  info.Load(self);
  ExpectNothingLoaded(info);
  ExpectNoFileVersion(self);
}

#endif
