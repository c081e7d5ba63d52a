#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "VornLibFilesystem.h"

#ifndef _WIN32
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef _WIN32
using testing_files::ModeOf;
#endif
using testing_files::AsAnOrdinaryUser;
using testing_files::FolderContent;
using testing_files::ReadBytes;
using testing_files::TempFolder;
using testing_files::ToU16;
using testing_files::U16;
using testing_files::WriteBytes;

namespace fs = std::filesystem;

namespace {

constexpr char16_t Delimiter = static_cast<char16_t>(fs::path::preferred_separator);

void SetVariable(const std::string& name, const std::string& value) {
#ifdef _WIN32
  const std::string entry = name + "=" + value;
  ASSERT_EQ(_wputenv(std::wstring(entry.begin(), entry.end()).c_str()), 0);
#else
  ASSERT_EQ(setenv(name.c_str(), value.c_str(), 1), 0);
#endif
}

void ClearVariable(const std::string& name) {
#ifdef _WIN32
  const std::string entry = name + "=";
  _wputenv(std::wstring(entry.begin(), entry.end()).c_str());
#else
  unsetenv(name.c_str());
#endif
}

#ifdef _WIN32
std::u16string Lower(std::u16string text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  return text;
}
#endif

} // namespace

// ---- Attribute bits ----

struct AttributeBitsCase {
  uint32_t attributes;
  bool readOnly = false;
  bool system = false;
};

class AttributeBits : public testing::TestWithParam<AttributeBitsCase> {};

TEST_P(AttributeBits, TestsTheReadOnlyAndSystemBits) {
  const AttributeBitsCase& c = GetParam();
  EXPECT_EQ(HasReadOnlyAttribute(c.attributes), c.readOnly);
  EXPECT_EQ(HasSystemAttribute(c.attributes), c.system);
}

INSTANTIATE_TEST_SUITE_P(Words, AttributeBits,
                         testing::Values(AttributeBitsCase{.attributes = 0x21, .readOnly = true},
                                         AttributeBitsCase{.attributes = 0x26, .system = true},
                                         AttributeBitsCase{.attributes = 0x00},
                                         AttributeBitsCase{
                                             .attributes = 0x05, .readOnly = true, .system = true},
                                         AttributeBitsCase{.attributes = 0x80}));

// ---- Attributes of paths that are no file ----

struct NoFileCase {
  const char* name;
  const char* path; // relative to the temporary folder; nullptr: the empty path
};

class AttributesOfNoFile : public testing::TestWithParam<NoFileCase> {};

TEST_P(AttributesOfNoFile, ReadNothingAndChangeNothing) {
  TempFolder temp;
  fs::create_directory(temp.File("folder"));
  const std::u16string path = GetParam().path ? temp.Name(GetParam().path) : std::u16string();
  const auto before = fs::status(temp.File("folder")).permissions();

  uint32_t attributes = 0x1234;
  EXPECT_FALSE(FileGetAttributes(path, attributes));
  EXPECT_EQ(attributes, InvalidFileAttributes);
  EXPECT_FALSE(FileSetAttributes(path, FileAttributeReadOnly | FileAttributeSystem));

  // Nothing on disk changed: the folder is still a writable folder, no file appeared.
  EXPECT_TRUE(DirectoryExists(temp.Name("folder")));
  EXPECT_EQ(fs::status(temp.File("folder")).permissions(), before);
  EXPECT_FALSE(fs::exists(temp.File("missing.txt")));
}

INSTANTIATE_TEST_SUITE_P(Paths, AttributesOfNoFile,
                         testing::Values(NoFileCase{"Empty", nullptr},
                                         NoFileCase{"Folder", "folder"},
                                         NoFileCase{"Missing", "missing.txt"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Lifting read-only and system for a save, then restoring them ----

TEST(FileAttributes, LiftAndRestoreGiveTheFileItsAttributesBack) {
  TempFolder temp;
  const fs::path file = temp.File("hosts");
  WriteBytes(file, "127.0.0.1 a\n");
  const std::u16string path = temp.Name("hosts");

#ifdef _WIN32
  uint32_t plain = 0;
  ASSERT_TRUE(FileGetAttributes(path, plain));
  ASSERT_TRUE(FileSetAttributes(path, plain | FileAttributeReadOnly | FileAttributeSystem));
#else
  // An unusual mode, so that a restore that only guesses would show.
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::group_write |
                            fs::perms::others_read);
  const mode_t originalMode = ModeOf(file);
#endif

  uint32_t original = 0;
  ASSERT_TRUE(FileGetAttributes(path, original));
  EXPECT_TRUE(HasReadOnlyAttribute(original));
#ifdef _WIN32
  EXPECT_TRUE(HasSystemAttribute(original));
#else
  EXPECT_FALSE(HasSystemAttribute(original));
#endif

  // Lift both bits, write, restore.
  ASSERT_TRUE(FileSetAttributes(path, original & ~(FileAttributeReadOnly | FileAttributeSystem)));
  uint32_t lifted = 0;
  ASSERT_TRUE(FileGetAttributes(path, lifted));
  EXPECT_FALSE(HasReadOnlyAttribute(lifted));
  EXPECT_FALSE(HasSystemAttribute(lifted));
  {
    TVornFileStream stream(path, TVornFileStream::ModeCreate);
    ASSERT_NE(stream.Handle(), -1);
    WriteAllBytes(stream, "127.0.0.1 a b\n");
  }
  ASSERT_TRUE(FileSetAttributes(path, original));

  uint32_t restored = 0;
  ASSERT_TRUE(FileGetAttributes(path, restored));
  EXPECT_EQ(restored, original);
#ifndef _WIN32
  EXPECT_EQ(ModeOf(file), originalMode);
#endif
  EXPECT_EQ(ReadBytes(file), "127.0.0.1 a b\n");
}

// ---- Paths around the MAX_PATH limit ----

class LongPathAttributes : public testing::TestWithParam<size_t> {};

TEST_P(LongPathAttributes, GetAndSetWork) {
  TempFolder temp;
  const size_t length = GetParam();
  std::u16string folder = ToU16(temp.Path());
  ASSERT_LT(folder.size() + 20, length) << "temporary folder too deep for this test";
  // A chain of folders, then a file name that makes the whole path exactly `length` long.
  while (length - folder.size() - 1 > 60) {
    folder += Delimiter;
    folder += std::u16string(50, u'd');
    std::error_code error;
    ASSERT_TRUE(fs::create_directory(fs::path(folder), error)) << error.message();
  }
  const std::u16string path = folder + Delimiter + std::u16string(length - folder.size() - 1, u'f');
  ASSERT_EQ(path.size(), length);
  {
    TVornFileStream stream(path, TVornFileStream::ModeCreate);
    ASSERT_NE(stream.Handle(), -1) << "error " << stream.LastError();
    WriteAllBytes(stream, "data");
  }
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(DirectoryExists(folder));

  uint32_t attributes = 0;
  ASSERT_TRUE(FileGetAttributes(path, attributes));
  EXPECT_FALSE(HasReadOnlyAttribute(attributes));
  ASSERT_TRUE(FileSetAttributes(path, attributes | FileAttributeReadOnly));
  uint32_t readOnly = 0;
  ASSERT_TRUE(FileGetAttributes(path, readOnly));
  EXPECT_TRUE(HasReadOnlyAttribute(readOnly));
  ASSERT_TRUE(FileSetAttributes(path, attributes));
  uint32_t back = 0;
  ASSERT_TRUE(FileGetAttributes(path, back));
  EXPECT_EQ(back, attributes);

  TVornFileStream reader(path, TVornFileStream::ModeRead);
  ASSERT_NE(reader.Handle(), -1);
  EXPECT_EQ(ReadAllBytes(reader), "data");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongPathAttributes, testing::Values(259, 260, 261, 262, 400));

// ---- Environment references ----

struct ExpandCase {
  const char* name;
  std::u16string text;
  std::u16string expected;
};

class ExpandPath : public testing::TestWithParam<ExpandCase> {
protected:
  void SetUp() override {
    SetVariable("TARNWICK_FS_TEST", "folder one");
    SetVariable("TARNWICK_FS_LONG", std::string(300, 'v'));
    ClearVariable("TARNWICK_FS_UNSET");
  }
};

TEST_P(ExpandPath, ExpandsKnownReferences) {
  std::u16string result = u"previous";
  EXPECT_TRUE(ExpandEnvironmentPath(GetParam().text, result));
  EXPECT_EQ(result, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ExpandPath,
    testing::Values(ExpandCase{"Variable", u"%TARNWICK_FS_TEST%\\etc", u"folder one\\etc"},
                    ExpandCase{"VariableInside", u"a-%TARNWICK_FS_TEST%-b", u"a-folder one-b"},
                    ExpandCase{"TwoVariables", u"%TARNWICK_FS_TEST%%TARNWICK_FS_TEST%",
                               u"folder onefolder one"},
                    ExpandCase{"Unknown", u"%TARNWICK_FS_UNSET%\\x", u"%TARNWICK_FS_UNSET%\\x"},
                    ExpandCase{"SinglePercent", u"100% sure", u"100% sure"},
                    ExpandCase{"NoPercent", u"C:\\hosts", u"C:\\hosts"},
                    ExpandCase{"KeepsBlanks", u"  %TARNWICK_FS_TEST% ", u"  folder one "},
                    ExpandCase{"Long", u"%TARNWICK_FS_LONG%\\end",
                               std::u16string(300, u'v') + u"\\end"}),
    [](const auto& info) { return std::string(info.param.name); });

class ExpandBlank : public testing::TestWithParam<std::u16string> {};

TEST_P(ExpandBlank, FailsAndLeavesTheOutput) {
  std::u16string result = u"previous";
  EXPECT_FALSE(ExpandEnvironmentPath(GetParam(), result));
  EXPECT_EQ(result, u"previous");
}

INSTANTIATE_TEST_SUITE_P(Texts, ExpandBlank,
                         testing::Values(u"", u"   ", std::u16string(u"\t \r\n\x01 ")));

#ifdef _WIN32
TEST(ExpandPathWindows, SystemRootIsTheWindowsFolder) {
  std::u16string result;
  ASSERT_TRUE(ExpandEnvironmentPath(u"%SystemRoot%\\System32\\drivers\\etc", result));
  // The system folder is <Windows folder>\System32.
  const std::u16string windows = ExtractFilePath(GetSystemFolder(false));
  ASSERT_FALSE(windows.empty());
  EXPECT_EQ(Lower(result), Lower(windows + u"System32\\drivers\\etc"));
  EXPECT_TRUE(DirectoryExists(result));
}
#endif

// ---- System folder, volume ----

TEST(SystemFolder, WithAndWithoutDelimiter) {
  const std::u16string bare = GetSystemFolder(false);
  const std::u16string withDelimiter = GetSystemFolder(true);
  ASSERT_FALSE(bare.empty());
  EXPECT_NE(bare.back(), Delimiter);
  EXPECT_EQ(withDelimiter, bare + Delimiter);
  EXPECT_TRUE(DirectoryExists(bare));
#ifndef _WIN32
  EXPECT_EQ(bare, u"/etc");
#endif
}

#ifdef _WIN32
TEST(VolumeFileSystem, NamesTheSystemDriveAndNothingForABadDrive) {
  const std::u16string system = GetSystemFolder(false);
  EXPECT_FALSE(GetVolumeFileSystem(system.substr(0, 2)).empty());
  EXPECT_EQ(GetVolumeFileSystem(u"1:"), u"");
}
#endif

// ---- Existence, folder part ----

struct ExistsCase {
  const char* name;
  const char* path; // nullptr: the empty path
  bool file = false;
  bool folder = false;
};

class Exists : public testing::TestWithParam<ExistsCase> {};

TEST_P(Exists, TellsFilesFromFolders) {
  TempFolder temp;
  fs::create_directory(temp.File("folder"));
  WriteBytes(temp.File("file.txt"), "x");
  const std::u16string path = GetParam().path ? temp.Name(GetParam().path) : std::u16string();
  EXPECT_EQ(FileExists(path), GetParam().file);
  EXPECT_EQ(DirectoryExists(path), GetParam().folder);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Exists,
    testing::Values(ExistsCase{.name = "File", .path = "file.txt", .file = true},
                    ExistsCase{.name = "Folder", .path = "folder", .folder = true},
                    ExistsCase{.name = "Missing", .path = "missing"},
                    ExistsCase{.name = "Empty", .path = nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

struct FolderPartCase {
  std::u16string path;
  std::u16string folder;
};

class FolderPart : public testing::TestWithParam<FolderPartCase> {};

TEST_P(FolderPart, KeepsEverythingUpToTheLastDelimiter) {
  EXPECT_EQ(ExtractFilePath(GetParam().path), GetParam().folder);
}

const FolderPartCase FolderPartCases[] = {
#ifdef _WIN32
    {u"C:\\Windows\\System32\\drivers\\etc\\hosts", u"C:\\Windows\\System32\\drivers\\etc\\"},
    {u"C:hosts", u"C:"},
    {u"C:\\hosts", u"C:\\"},
    {u"dir/sub\\file", u"dir/sub\\"},
    {u"dir/file", u"dir/"},
    {u"\\\\server\\share\\hosts", u"\\\\server\\share\\"},
#else
    {u"/etc/hosts", u"/etc/"}, {u"/hosts", u"/"}, {u"dir/sub/", u"dir/sub/"}, {u"dir\\file", u""},
#endif
    {u"hosts", u""},
    {u"", u""},
};

INSTANTIATE_TEST_SUITE_P(Paths, FolderPart, testing::ValuesIn(FolderPartCases));

// ---- The form in which the Windows file layer names files ----

struct LongPathFormCase {
  const char* name;
  std::u16string path; // a full path, as GetFullPathNameW gives it
  std::u16string expected;
};

class LongPathFormTable : public testing::TestWithParam<LongPathFormCase> {};

TEST_P(LongPathFormTable, MakesOneFormForEveryFileCall) {
  EXPECT_EQ(LongPathForm(GetParam().path), GetParam().expected);
}

namespace {

// A name of the given length in all: the start, then as many "d" as it takes.
std::u16string Padded(std::u16string start, size_t length) {
  start.resize(length, u'd');
  return start;
}

} // namespace

const LongPathFormCase LongPathFormCases[] = {
    {.name = "Short", .path = u"C:\\etc\\hosts", .expected = u"C:\\etc\\hosts"},
    {.name = "ShortSlashes", .path = u"C:/etc/hosts", .expected = u"C:\\etc\\hosts"},
    {.name = "Exactly259", .path = Padded(u"C:\\", 259), .expected = Padded(u"C:\\", 259)},
    {.name = "Exactly260",
     .path = Padded(u"C:\\", 260),
     .expected = u"\\\\?\\" + Padded(u"C:\\", 260)},
    {.name = "DriveSlashes",
     .path = Padded(u"C:/dir/", 300),
     .expected = u"\\\\?\\" + Padded(u"C:\\dir\\", 300)},
    {.name = "Unc",
     .path = Padded(u"\\\\server\\share\\", 300),
     .expected = u"\\\\?\\UNC" + Padded(u"\\server\\share\\", 299)},
    {.name = "UncSlashes",
     .path = Padded(u"//server/share/", 300),
     .expected = u"\\\\?\\UNC" + Padded(u"\\server\\share\\", 299)},
    {.name = "AlreadyPrefixed",
     .path = Padded(u"\\\\?\\C:\\", 300),
     .expected = Padded(u"\\\\?\\C:\\", 300)},
    {.name = "DevicePrefixed", .path = u"\\\\.\\NUL", .expected = u"\\\\.\\NUL"},
    {.name = "RelativeGetsNoPrefix",
     .path = Padded(u"dir/", 300),
     .expected = Padded(u"dir\\", 300)},
    {.name = "Empty", .path = u"", .expected = u""},
};

INSTANTIATE_TEST_SUITE_P(Paths, LongPathFormTable, testing::ValuesIn(LongPathFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The plain form of a volume root as GetVolumePathNameW gives it, which GetVolumeInformationW
// takes, and of a path whose drive part decides when that call fails.
class ShortPathFormTable : public testing::TestWithParam<LongPathFormCase> {};

TEST_P(ShortPathFormTable, DropsThePrefixWhereThePlainFormNamesTheSamePlace) {
  EXPECT_EQ(ShortPathForm(GetParam().path), GetParam().expected);
}

const LongPathFormCase ShortPathFormCases[] = {
    {.name = "Drive", .path = u"\\\\?\\C:\\", .expected = u"C:\\"},
    {.name = "DriveDevice", .path = u"\\\\.\\C:\\", .expected = u"C:\\"},
    {.name = "DriveFile", .path = u"\\\\?\\d:\\etc\\hosts", .expected = u"d:\\etc\\hosts"},
    {.name = "Unc", .path = u"\\\\?\\UNC\\server\\share\\", .expected = u"\\\\server\\share\\"},
    {.name = "UncLowerCase",
     .path = u"\\\\?\\unc\\server\\share\\hosts",
     .expected = u"\\\\server\\share\\hosts"},
    {.name = "VolumeGuid",
     .path = u"\\\\?\\Volume{12345678-0000-0000-0000-000000000043}\\",
     .expected = u"\\\\?\\Volume{12345678-0000-0000-0000-000000000043}\\"},
    {.name = "Device", .path = u"\\\\.\\NUL", .expected = u"\\\\.\\NUL"},
    {.name = "Plain", .path = u"C:\\mnt\\d\\", .expected = u"C:\\mnt\\d\\"},
    {.name = "PlainUnc", .path = u"\\\\server\\share\\", .expected = u"\\\\server\\share\\"},
    {.name = "Empty", .path = u"", .expected = u""},
};

INSTANTIATE_TEST_SUITE_P(Paths, ShortPathFormTable, testing::ValuesIn(ShortPathFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Access tests ----

TEST(FileAccess, ExistingFileAndFolderAreUsable) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "x");
  EXPECT_TRUE(CanReadFile(temp.Name("hosts")));
  EXPECT_TRUE(CanWriteFile(temp.Name("hosts")));
  EXPECT_TRUE(CanModifyPath(temp.Name("hosts")));
  EXPECT_TRUE(CanModifyPath(ToU16(temp.Path())));
  EXPECT_EQ(ReadBytes(temp.File("hosts")), "x");
}

TEST(FileAccess, MissingFileInAWritableFolderIsWritable) {
  TempFolder temp;
  EXPECT_TRUE(CanWriteFile(temp.Name("new-hosts")));
  EXPECT_FALSE(CanReadFile(temp.Name("new-hosts")));
  EXPECT_FALSE(fs::exists(temp.File("new-hosts")));
}

TEST(FileAccess, MissingFolderIsNeitherReadableNorWritable) {
  TempFolder temp;
  const std::u16string path = temp.Name("missing") + Delimiter + u"hosts";
  EXPECT_FALSE(CanWriteFile(path));
  EXPECT_FALSE(CanReadFile(path));
  EXPECT_FALSE(CanModifyPath(temp.Name("missing")));
  EXPECT_FALSE(fs::exists(temp.File("missing")));
}

// Refusals are tested as an ordinary user: root is granted every access.
TEST(FileAccess, ReadOnlyFileIsReadableButNotWritable) {
  AsAnOrdinaryUser([] {
    TempFolder temp;
    WriteBytes(temp.File("hosts"), "keep");
    const std::u16string path = temp.Name("hosts");
#ifdef _WIN32
    // Under Wine the file's DACL follows the unix mode, which the read-only attribute clears: this
    // is Wine's answer. On Windows the attribute is no part of the file's security and the access
    // check grants the write.
    uint32_t attributes = 0;
    ASSERT_TRUE(FileGetAttributes(path, attributes));
    ASSERT_TRUE(FileSetAttributes(path, attributes | FileAttributeReadOnly));
#else
    fs::permissions(temp.File("hosts"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
#endif
    EXPECT_TRUE(CanReadFile(path));
    EXPECT_FALSE(CanWriteFile(path));
    EXPECT_FALSE(CanModifyPath(path));
    EXPECT_EQ(ReadBytes(temp.File("hosts")), "keep");
  });
}

#ifndef _WIN32
// Mode bits that Windows code cannot set: no read access at all, a folder without write access.
TEST(FileAccess, UnreadableFileIsRefused) {
  AsAnOrdinaryUser([] {
    TempFolder temp;
    WriteBytes(temp.File("hosts"), "keep");
    fs::permissions(temp.File("hosts"), fs::perms::none);
    EXPECT_FALSE(CanReadFile(temp.Name("hosts")));
    EXPECT_FALSE(CanWriteFile(temp.Name("hosts")));
    fs::permissions(temp.File("hosts"), fs::perms::owner_read);
    EXPECT_EQ(ReadBytes(temp.File("hosts")), "keep");
  });
}

TEST(FileAccess, MissingFileInAReadOnlyFolderIsNotWritable) {
  AsAnOrdinaryUser([] {
    TempFolder temp;
    fs::create_directory(temp.File("locked"));
    fs::permissions(temp.File("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(CanWriteFile(temp.Name("locked") + u"/hosts"));
    EXPECT_FALSE(CanModifyPath(temp.Name("locked")));
    EXPECT_TRUE(CanReadFile(temp.Name("locked")));
    EXPECT_FALSE(fs::exists(temp.File("locked") / "hosts"));
  });
}
#endif

// ---- Copy ----

TEST(CopyFile, ReplacesTheTarget) {
  TempFolder temp;
  WriteBytes(temp.File("source"), "new bytes\n");
  WriteBytes(temp.File("target"), "old, longer bytes\n");
  EXPECT_TRUE(CopyFileReplace(temp.Name("source"), temp.Name("target")));
  EXPECT_EQ(ReadBytes(temp.File("target")), "new bytes\n");
  EXPECT_EQ(ReadBytes(temp.File("source")), "new bytes\n");
  EXPECT_TRUE(CopyFileReplace(temp.Name("source"), temp.Name("fresh")));
  EXPECT_EQ(ReadBytes(temp.File("fresh")), "new bytes\n");
}

struct CopyFailureCase {
  const char* name;
  const char* source;
  const char* target;
};

class CopyFailure : public testing::TestWithParam<CopyFailureCase> {};

TEST_P(CopyFailure, LeavesTheTargetAlone) {
  TempFolder temp;
  WriteBytes(temp.File("source"), "source");
  WriteBytes(temp.File("target"), "target");
  fs::create_directory(temp.File("folder"));
  EXPECT_FALSE(CopyFileReplace(temp.Name(GetParam().source), temp.Name(GetParam().target)));
  EXPECT_EQ(ReadBytes(temp.File("source")), "source");
  EXPECT_EQ(ReadBytes(temp.File("target")), "target");
  EXPECT_TRUE(fs::is_directory(temp.File("folder")));
  EXPECT_FALSE(fs::exists(temp.File("missing")));
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyFailure,
                         testing::Values(CopyFailureCase{"MissingSource", "missing", "target"},
                                         CopyFailureCase{"FolderSource", "folder", "target"},
                                         CopyFailureCase{"FolderTarget", "source", "folder"},
                                         CopyFailureCase{"MissingFolder", "source",
                                                         "missing/target"},
                                         CopyFailureCase{"SameFile", "target", "target"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The file stream ----

TEST(FileStream, MissingFileWithModeReadHasNoHandle) {
  TempFolder temp;
  {
    TVornFileStream stream(temp.Name("missing"), TVornFileStream::ModeRead);
    EXPECT_EQ(stream.Handle(), -1);
    EXPECT_NE(stream.LastError(), 0);
    EXPECT_EQ(stream.FileName(), temp.Name("missing"));
    EXPECT_THROW(ReadAllBytes(stream), std::system_error);
  }
  EXPECT_FALSE(fs::exists(temp.File("missing")));
}

TEST(FileStream, RightsArgumentChangesNothing) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "abc");
  TVornFileStream stream(temp.Name("hosts"), TVornFileStream::ModeRead, 0x1F01FF);
  ASSERT_NE(stream.Handle(), -1);
  EXPECT_EQ(ReadAllBytes(stream), "abc");
}

class InvalidMode : public testing::TestWithParam<uint16_t> {};

TEST_P(InvalidMode, GivesNoHandleAndLeavesTheFile) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "content");
  {
    TVornFileStream stream(temp.Name("hosts"), GetParam());
    EXPECT_EQ(stream.Handle(), -1);
    EXPECT_NE(stream.LastError(), 0);
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), "content");
}

INSTANTIATE_TEST_SUITE_P(Modes, InvalidMode,
                         testing::Values(uint16_t{0x0003}, uint16_t{0x0050}, uint16_t{0x0023},
                                         uint16_t{0x00F0}, uint16_t{0x0052}));

struct OpenModeCase {
  const char* name;
  uint16_t mode;
  bool canRead = false;
  bool canWrite = false;
};

class OpenMode : public testing::TestWithParam<OpenModeCase> {};

TEST_P(OpenMode, OpensTheExistingFileWithoutEmptyingIt) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "abcdef");
  {
    TVornFileStream stream(temp.Name("hosts"), GetParam().mode);
    ASSERT_NE(stream.Handle(), -1) << "error " << stream.LastError();
    EXPECT_EQ(stream.Size(), 6);
    char buffer[2] = {};
    EXPECT_EQ(stream.Read(buffer, 2) == 2, GetParam().canRead);
    stream.Seek(0, 0);
    EXPECT_EQ(stream.Write("XY", 2) == 2, GetParam().canWrite);
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), GetParam().canWrite ? "XYcdef" : "abcdef");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OpenMode,
    testing::Values(
        OpenModeCase{.name = "Read", .mode = TVornFileStream::ModeRead, .canRead = true},
        OpenModeCase{.name = "Write", .mode = TVornFileStream::ModeWrite, .canWrite = true},
        OpenModeCase{.name = "ReadWrite",
                     .mode = TVornFileStream::ModeReadWrite,
                     .canRead = true,
                     .canWrite = true},
        OpenModeCase{
            .name = "ReadShareRead", .mode = TVornFileStream::ShareDenyWrite, .canRead = true},
        OpenModeCase{
            .name = "ReadWriteShareBoth", .mode = 0x0042, .canRead = true, .canWrite = true},
        OpenModeCase{.name = "WriteShareWrite", .mode = 0x0031, .canWrite = true},
        OpenModeCase{.name = "ReadShareNone", .mode = 0x0010, .canRead = true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileStream, ModeCreateEmptiesAnExistingFile) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "old content that is longer");
  {
    TVornFileStream stream(temp.Name("hosts"), TVornFileStream::ModeCreate);
    ASSERT_NE(stream.Handle(), -1);
    EXPECT_EQ(stream.Size(), 0);
#ifndef _WIN32
    // Windows keeps the file to itself while the stream is open.
    EXPECT_EQ(ReadBytes(temp.File("hosts")), "");
#endif
    WriteAllBytes(stream, "new");
    EXPECT_TRUE(stream.Flush());
    EXPECT_EQ(stream.Seek(0, 0), 0);
    EXPECT_EQ(ReadAllBytes(stream), "new");
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), "new");
}

TEST(FileStream, ModeCreateMakesAMissingFile) {
  TempFolder temp;
  {
    TVornFileStream stream(temp.Name("hosts"), TVornFileStream::ModeCreate);
    ASSERT_NE(stream.Handle(), -1);
    WriteAllBytes(stream, std::string(200000, 'h'));
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), std::string(200000, 'h'));
}

TEST(FileStream, ModeCreateInAMissingFolderFails) {
  TempFolder temp;
  const std::u16string path = temp.Name("missing") + Delimiter + u"hosts";
  {
    TVornFileStream stream(path, TVornFileStream::ModeCreate);
    EXPECT_EQ(stream.Handle(), -1);
    EXPECT_NE(stream.LastError(), 0);
  }
  EXPECT_FALSE(fs::exists(temp.File("missing")));
}

TEST(FileStream, AFolderIsNoFile) {
  TempFolder temp;
  fs::create_directory(temp.File("folder"));
  TVornFileStream stream(temp.Name("folder"), TVornFileStream::ModeRead);
  EXPECT_EQ(stream.Handle(), -1);
  EXPECT_NE(stream.LastError(), 0);
  EXPECT_TRUE(fs::is_directory(temp.File("folder")));
}

TEST(FileStream, WritingAReadStreamRaisesAndKeepsTheFile) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "keep");
  {
    TVornFileStream stream(temp.Name("hosts"), TVornFileStream::ModeRead);
    ASSERT_NE(stream.Handle(), -1);
    EXPECT_EQ(stream.Write("xx", 2), -1);
    EXPECT_THROW(WriteAllBytes(stream, "lost"), std::system_error);
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), "keep");
}

TEST(FileStream, SetSizeTruncatesAndExtendsAndKeepsThePosition) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "abcdef");
  {
    TVornFileStream stream(temp.Name("hosts"), TVornFileStream::ModeReadWrite);
    ASSERT_NE(stream.Handle(), -1);
    EXPECT_EQ(stream.Seek(1, 0), 1);
    EXPECT_TRUE(stream.SetSize(3));
    EXPECT_EQ(stream.Position(), 1);
    EXPECT_EQ(stream.Size(), 3);
    EXPECT_TRUE(stream.SetSize(5));
    EXPECT_EQ(stream.Size(), 5);
    EXPECT_EQ(stream.Seek(-1, 2), 4);
    EXPECT_EQ(stream.Seek(0, 7), -1);
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), std::string("abc\0\0", 5));
}

TEST(FileStream, DestroyingTheStreamReleasesTheFile) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "abc");
  {
    TVornFileStream first(temp.Name("hosts"), TVornFileStream::ModeRead);
    ASSERT_NE(first.Handle(), -1);
  }
  TVornFileStream second(temp.Name("hosts"), TVornFileStream::ModeRead);
  ASSERT_NE(second.Handle(), -1);
  EXPECT_EQ(ReadAllBytes(second), "abc");
}

#ifdef _WIN32
struct SharingCase {
  const char* name;
  uint16_t first;
  uint16_t second;
  bool secondOpens = false;
};

class Sharing : public testing::TestWithParam<SharingCase> {};

TEST_P(Sharing, AnOpenStreamDecidesWhoElseMayOpen) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "content");
  {
    TVornFileStream first(temp.Name("hosts"), GetParam().first);
    ASSERT_NE(first.Handle(), -1);
    TVornFileStream second(temp.Name("hosts"), GetParam().second);
    EXPECT_EQ(second.Handle() != -1, GetParam().secondOpens);
    if (!GetParam().secondOpens) {
      EXPECT_EQ(second.LastError(), 32); // ERROR_SHARING_VIOLATION
    }
  }
  EXPECT_EQ(ReadBytes(temp.File("hosts")), "content");
}

INSTANTIATE_TEST_SUITE_P(Modes, Sharing,
                         testing::Values(SharingCase{.name = "ReadThenRead",
                                                     .first = TVornFileStream::ModeRead,
                                                     .second = TVornFileStream::ModeRead},
                                         SharingCase{.name = "ReadThenCreate",
                                                     .first = TVornFileStream::ModeRead,
                                                     .second = TVornFileStream::ModeCreate},
                                         SharingCase{.name = "ShareReadThenShareRead",
                                                     .first = TVornFileStream::ShareDenyWrite,
                                                     .second = TVornFileStream::ShareDenyWrite,
                                                     .secondOpens = true},
                                         SharingCase{.name = "ShareReadThenWrite",
                                                     .first = TVornFileStream::ShareDenyWrite,
                                                     .second = 0x0041},
                                         SharingCase{.name = "ShareBothThenWrite",
                                                     .first = 0x0040,
                                                     .second = 0x0041,
                                                     .secondOpens = true}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

#ifdef _WIN32
// ---- Replacing a file that another program holds open ----

struct HeldReplaceCase {
  const char* name;
  const char* held;  // the file another program holds open without delete sharing
  bool releasedSoon; // it lets go a moment after the replace began, else never
  TReplaceResult expected;
};

class HeldReplace : public testing::TestWithParam<HeldReplaceCase> {};

TEST_P(HeldReplace, WaitsAMomentThenLeavesBothFilesAsTheyWere) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "old bytes\r\n");
  WriteBytes(temp.File("new"), "new bytes\r\n");
  // A scanner's open: others may read and write, but not delete or rename.
  auto holder = std::make_unique<TVornFileStream>(temp.Name(GetParam().held),
                                                  TVornFileStream::ModeRead | 0x0040);
  ASSERT_TRUE(holder->IsOpen());
  std::thread release;
  if (GetParam().releasedSoon)
    release = std::thread([&holder] {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      holder.reset();
    });
  const TReplaceResult result = ReplaceFileAtomically(temp.Name("hosts"), temp.Name("new"));
  if (release.joinable())
    release.join();
  holder.reset();
  EXPECT_EQ(result, GetParam().expected);
  if (result == TReplaceResult::Replaced) {
    EXPECT_EQ(ReadBytes(temp.File("hosts")), "new bytes\r\n");
    EXPECT_EQ(FolderContent(temp.Path()), std::vector<std::string>{"hosts"});
  } else {
    EXPECT_EQ(ReadBytes(temp.File("hosts")), "old bytes\r\n");
    EXPECT_EQ(ReadBytes(temp.File("new")), "new bytes\r\n");
    EXPECT_EQ(FolderContent(temp.Path()), (std::vector<std::string>{"hosts", "new"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Holders, HeldReplace,
                         testing::Values(HeldReplaceCase{.name = "FileReleasedSoon",
                                                         .held = "hosts",
                                                         .releasedSoon = true,
                                                         .expected = TReplaceResult::Replaced},
                                         HeldReplaceCase{.name = "NewFileReleasedSoon",
                                                         .held = "new",
                                                         .releasedSoon = true,
                                                         .expected = TReplaceResult::Replaced},
                                         HeldReplaceCase{.name = "FileHeldForGood",
                                                         .held = "hosts",
                                                         .releasedSoon = false,
                                                         .expected = TReplaceResult::NotReplaced}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

// ---- Runs on one file ----

// A second run on a file waits for the first (told once it waits a second) and then goes on: a
// run in another thread stands for another process.
TEST(FileGuard, RunsOnOneFileTakeTurns) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "0.0.0.0 a\n");
  auto first = std::make_unique<TFileGuard>(temp.Name("hosts"));
  ASSERT_FALSE(first->Busy());
  bool told = false, busy = true;
  std::chrono::steady_clock::duration waited{};
  std::thread second([&] {
    const auto start = std::chrono::steady_clock::now();
    const TFileGuard guard(temp.Name("hosts"), [&told] { told = true; });
    waited = std::chrono::steady_clock::now() - start;
    busy = guard.Busy();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  first.reset();
  second.join();
  EXPECT_TRUE(told);
  EXPECT_FALSE(busy);
  EXPECT_GE(waited, std::chrono::milliseconds(1400));
}

// The backup replaces an older one; the older one's bytes go aside for the instant of the swap.
// Where they cannot be removed afterwards (a scanner opened them), they stay as a new file of the
// save of the file backed up: never taken for an interrupted save of that file, cleared by its
// next run.
TEST(Backup, TheOlderBackupLeftAsideIsNoInterruptedSave) {
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "0.0.0.0 a\n");
  WriteBytes(temp.File("hosts.bak"), "0.0.0.0 older\n");
  const TFileFaultHook previous =
      SetFileFaultHook([](TFileStep step, int64_t&) { return step == TFileStep::RemoveCopy; });
  const TSaveResult copied = CopyFileSafely(temp.Name("hosts"), temp.Name("hosts.bak"));
  SetFileFaultHook(previous);
  EXPECT_TRUE(copied);
  EXPECT_EQ(ReadBytes(temp.File("hosts.bak")), "0.0.0.0 a\n");
  TLeftovers found;
  EXPECT_TRUE(ClearInterruptedSave(temp.Name("hosts"), found));
  EXPECT_EQ(found.Kept, u"");
  EXPECT_EQ(FolderContent(temp.Path()), (std::vector<std::string>{"hosts", "hosts.bak"}));
}

// ---- What earlier saves left beside a file ----

struct LeftoverCase {
  const char* name;
  const char* ofFile = "hosts"; // the file whose save the name is of
  const char* suffix = ".old";
  enum TMade : uint8_t { Copy, OpenCopy, Folder, Link, HeldCopy, EarlierCopy } made = Copy;
  bool sameBytes = false; // the copy holds the file's bytes
  bool cleared = false;   // the name is gone afterwards
  bool kept = false;      // the run must stop: an interrupted save's copy, named
  bool foreign = false;   // left alone and named as not the program's
};

class Leftovers : public testing::TestWithParam<LeftoverCase> {};

TEST_P(Leftovers, OnlyThoseOfTheProgramsOwnMakingAreClearedOrNamed) {
  const LeftoverCase& c = GetParam();
  TempFolder temp;
  WriteBytes(temp.File("hosts"), "0.0.0.0 a\n");
  const std::u16string name = c.made == LeftoverCase::EarlierCopy
                                  ? SaveNamePrefix(temp.Name(c.ofFile)) + U16(c.suffix)
                                  : NewSaveName(temp.Name(c.ofFile), U16(c.suffix));
  EXPECT_NE(NewSaveName(temp.Name(c.ofFile), U16(c.suffix)),
            NewSaveName(temp.Name(c.ofFile), U16(c.suffix)))
      << "a name others can guess";
  const fs::path path(name);
  std::unique_ptr<TVornFileStream> holder;
  if (c.made == LeftoverCase::Folder) {
    fs::create_directory(path);
  } else if (c.made == LeftoverCase::Link) {
    fs::create_symlink(temp.File("hosts"), path);
  } else {
    WriteBytes(path, c.sameBytes ? "0.0.0.0 a\n" : "0.0.0.0 old\n");
#ifndef _WIN32
    // The program's own copies keep others out.
    if (c.made != LeftoverCase::OpenCopy && c.made != LeftoverCase::EarlierCopy)
      fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
#endif
    if (c.made == LeftoverCase::HeldCopy) {
      // A run at work holds its files: a lock (POSIX), no sharing (Windows).
      holder = std::make_unique<TVornFileStream>(name, TVornFileStream::ModeRead);
      ASSERT_TRUE(holder->IsOpen());
#ifndef _WIN32
      ASSERT_EQ(::flock(static_cast<int>(holder->Handle()), LOCK_EX), 0);
#endif
    }
  }
  TLeftovers found;
  const bool clear = ClearInterruptedSave(temp.Name("hosts"), found);
  holder.reset();
  EXPECT_EQ(clear, !c.kept);
  EXPECT_EQ(found.Kept, c.kept ? name : std::u16string());
  EXPECT_EQ(found.ForeignCount, c.foreign ? 1u : 0u);
  EXPECT_EQ(found.Foreign, c.foreign ? name : std::u16string());
  EXPECT_EQ(fs::exists(fs::symlink_status(path)), !c.cleared);
  EXPECT_EQ(ReadBytes(temp.File("hosts")), "0.0.0.0 a\n");
}

const LeftoverCase LeftoverCases[] = {
    {.name = "NewFileOfAKilledRun", .suffix = ".tmp", .cleared = true},
    {.name = "CopyOfTheSameBytes", .sameBytes = true, .cleared = true},
    {.name = "CopyOfOtherBytes", .kept = true},
    {.name = "FolderAtACopysName", .made = LeftoverCase::Folder, .foreign = true},
    {.name = "CopyOfARunAtWork", .made = LeftoverCase::HeldCopy},
#ifdef _WIN32
    // Names ignore case: "HOSTS" is the same file.
    {.name = "CopyOfAnotherSpelling", .ofFile = "HOSTS", .kept = true},
#else
    {.name = "CopyOthersMayRead", .made = LeftoverCase::OpenCopy, .foreign = true},
    {.name = "LinkAtACopysName", .made = LeftoverCase::Link, .foreign = true},
    // An earlier version made its copy under the short name, with the file's own mode.
    {.name = "CopyOfAnEarlierVersion", .made = LeftoverCase::EarlierCopy, .kept = true},
    // Names are bytes: "Hosts" is another file, whose copies are none of this one's business.
    {.name = "CopyOfAnotherFile", .ofFile = "Hosts"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Names, Leftovers, testing::ValuesIn(LeftoverCases),
                         [](const auto& info) { return std::string(info.param.name); });
