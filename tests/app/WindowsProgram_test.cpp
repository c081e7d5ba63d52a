// The real tarnwk.exe, run as its own process on files in a temporary folder, and the system
// hosts file's location from the registry. Windows only (under Wine here).
#ifdef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <windows.h>

#include "TestFiles.h"
#include "TestProgram_win32.h"
#include "TestText.h"
#include "uHostsLocation.h"

namespace {

namespace fs = std::filesystem;
using testing_files::Ascii;
using testing_files::FolderContent;
using testing_files::LocalhostLines;
using testing_files::PlainInput;
using testing_files::PlainOutput;
using testing_files::ProgramName;
using testing_files::ReadBytes;
using testing_files::StartProgram;
using testing_files::TempFolder;
using testing_files::THeldHostsFile;
using testing_files::TRegistryValueGuard;
using testing_files::Utf16LE;
using testing_files::Utf8Mark;
using testing_files::WineProgramKey;
using testing_files::WriteBytes;

std::u16string U16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

constexpr DWORD NoExitCode = 0xFFFFFFFF;

// Runs tarnwk.exe with the parameters, waits for it to end and returns its exit code.
DWORD RunProgram(const std::wstring& parameters) {
  PROCESS_INFORMATION process = {};
  if (!StartProgram(parameters, process))
    return NoExitCode;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = NoExitCode;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

std::wstring Quoted(const fs::path& file) {
  return L"\"" + file.wstring() + L"\"";
}

// Takes a key (one without subkeys) out of the registry for the guard's lifetime; its values
// come back with it.
class TRegistryKeyRemoval {
public:
  TRegistryKeyRemoval(HKEY root, std::wstring key) : FRoot(root), FKey(std::move(key)) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(FRoot, FKey.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
      return;
    FExisted = true;
    for (DWORD index = 0;; ++index) {
      wchar_t name[16384];
      DWORD nameLength = 16384;
      DWORD type = 0;
      DWORD size = 0;
      if (RegEnumValueW(handle, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS)
        break;
      TValue value{std::wstring(name, nameLength), type, std::string(size, '\0')};
      nameLength = 16384;
      if (RegEnumValueW(handle, index, name, &nameLength, nullptr, &type,
                        reinterpret_cast<BYTE*>(value.Data.data()), &size) != ERROR_SUCCESS)
        break;
      value.Data.resize(size);
      FValues.push_back(std::move(value));
    }
    RegCloseKey(handle);
    FRemoved = RegDeleteKeyW(FRoot, FKey.c_str()) == ERROR_SUCCESS;
  }
  ~TRegistryKeyRemoval() {
    if (!FExisted)
      return;
    HKEY handle = nullptr;
    if (RegCreateKeyExW(FRoot, FKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
      return;
    for (const TValue& value : FValues)
      RegSetValueExW(handle, value.Name.c_str(), 0, value.Type,
                     reinterpret_cast<const BYTE*>(value.Data.data()),
                     static_cast<DWORD>(value.Data.size()));
    RegCloseKey(handle);
  }
  TRegistryKeyRemoval(const TRegistryKeyRemoval&) = delete;
  TRegistryKeyRemoval& operator=(const TRegistryKeyRemoval&) = delete;

  // The key was there and is gone now.
  bool Removed() const { return FExisted && FRemoved; }

private:
  struct TValue {
    std::wstring Name;
    DWORD Type;
    std::string Data;
  };
  HKEY FRoot;
  std::wstring FKey;
  bool FExisted = false;
  bool FRemoved = false;
  std::vector<TValue> FValues;
};

// An environment variable of this process, put back when the guard goes.
class TEnvironmentGuard {
public:
  TEnvironmentGuard(std::wstring name, const std::wstring& value) : FName(std::move(name)) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(FName.c_str(), buffer, 32768);
    if (length > 0 && length < 32768)
      FOld = std::wstring(buffer, length);
    SetEnvironmentVariableW(FName.c_str(), value.c_str());
  }
  ~TEnvironmentGuard() { SetEnvironmentVariableW(FName.c_str(), FOld ? FOld->c_str() : nullptr); }
  TEnvironmentGuard(const TEnvironmentGuard&) = delete;
  TEnvironmentGuard& operator=(const TEnvironmentGuard&) = delete;

private:
  std::wstring FName;
  std::optional<std::wstring> FOld;
};

// The current directory of this process, put back when the guard goes.
class TCurrentDirectoryGuard {
public:
  explicit TCurrentDirectoryGuard(const fs::path& folder) : FOld(fs::current_path()) {
    fs::current_path(folder);
  }
  ~TCurrentDirectoryGuard() {
    std::error_code ignored;
    fs::current_path(FOld, ignored);
  }
  TCurrentDirectoryGuard(const TCurrentDirectoryGuard&) = delete;
  TCurrentDirectoryGuard& operator=(const TCurrentDirectoryGuard&) = delete;

private:
  fs::path FOld;
};

const wchar_t TcpipKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
const wchar_t DatabasePathValue[] = L"DatabasePath";

// A hosts file with a letter outside ASCII, and its merged form.
const std::string WideInput = "# \xC3\xBC comment\r\n"
                              "0.0.0.0 b\xC3\xBC"
                              "cher.example\r\n"
                              "0.0.0.0 b.example\r\n";
const std::string WideOutput = "0.0.0.0 b\xC3\xBC"
                               "cher.example b.example\r\n";
// A commented-out entry keeps its comment, here in code page 1252.
const std::string CafeInput = "#10.0.0.1 cafe.example # caf\xE9 de la gare\r\n0.0.0.0 a\r\n";

struct TRunRow {
  const char* Name;
  std::string Input;
  const wchar_t* Options; // before the file name
  std::string Expected;
};

TEST(WindowsProgram, SavesInTheChosenEncoding) {
  const TRunRow rows[] = {
      // Without /e the file keeps the encoding its byte-order mark shows.
      {.Name = "no mark stays ANSI",
       .Input = PlainInput,
       .Options = L"/s /r",
       .Expected = PlainOutput},
      {.Name = "UTF-8 mark stays UTF-8",
       .Input = Utf8Mark + WideInput,
       .Options = L"/s /r",
       .Expected = Utf8Mark + "\r\n" + WideOutput},
      {.Name = "UTF-16 mark stays UTF-16",
       .Input = Utf16LE(WideInput),
       .Options = L"/s /r",
       .Expected = Utf16LE("\r\n" + WideOutput)},
      {.Name = "UTF-8 mark, ASCII text",
       .Input = Utf8Mark + PlainInput,
       .Options = L"/s /r",
       .Expected = Utf8Mark + "\r\n" + PlainOutput},
      // Without a mark the text comes back in the system code page it was read in (Wine: 1252),
      // with CR LF line ends whatever the input had.
      {.Name = "no mark keeps the code page",
       .Input = CafeInput,
       .Options = L"/s /r",
       .Expected = CafeInput},
      {.Name = "LF becomes CR LF",
       .Input = "0.0.0.0 a\n0.0.0.0 b\n",
       .Options = L"/s /r",
       .Expected = "0.0.0.0 a b\r\n"},
      // /e overrides the mark.
      {.Name = "ANSI to UTF-8",
       .Input = PlainInput,
       .Options = L"/s /r /e:UTF8",
       .Expected = Utf8Mark + "\r\n" + PlainOutput},
      {.Name = "ANSI to UTF-16",
       .Input = PlainInput,
       .Options = L"/s /r /e:UTF16LE",
       .Expected = Utf16LE("\r\n" + PlainOutput)},
      {.Name = "ANSI to ANSI",
       .Input = PlainInput,
       .Options = L"/s /r /e:ansi",
       .Expected = PlainOutput},
      {.Name = "UTF-8 to UTF-16",
       .Input = Utf8Mark + WideInput,
       .Options = L"/s /r /e:utf16le",
       .Expected = Utf16LE("\r\n" + WideOutput)},
      {.Name = "UTF-8 to ANSI",
       .Input = Utf8Mark + PlainInput,
       .Options = L"/s /r /e:ANSI",
       .Expected = PlainOutput},
      // US-ASCII never takes a near letter: a character with no ASCII form becomes "?", so a
      // name that cannot be written is visibly broken, never another name.
      {.Name = "code page to ANSI",
       .Input = CafeInput,
       .Options = L"/s /r /e:ANSI",
       .Expected = "#10.0.0.1 cafe.example # caf? de la gare\r\n0.0.0.0 a\r\n"},
      {.Name = "UTF-8 to ANSI, a name with a letter outside ASCII",
       .Input = Utf8Mark + WideInput,
       .Options = L"/s /r /e:ANSI",
       .Expected = "0.0.0.0 b?cher.example b.example\r\n"},
      {.Name = "UTF-16 to UTF-8",
       .Input = Utf16LE(WideInput),
       .Options = L"/s /r /e:Utf8",
       .Expected = Utf8Mark + "\r\n" + WideOutput},
      {.Name = "UTF-16 to ANSI",
       .Input = Utf16LE(PlainInput),
       .Options = L"/s /r /e:ANSI",
       .Expected = PlainOutput},
      // The generated localhost lines: /l writes them, /r leaves them out, the later one wins.
      {.Name = "/l",
       .Input = PlainInput,
       .Options = L"/s /l",
       .Expected = LocalhostLines + PlainOutput},
      {.Name = "/lfoo",
       .Input = PlainInput,
       .Options = L"/lfoo /s",
       .Expected = LocalhostLines + PlainOutput},
      {.Name = "/r /l",
       .Input = PlainInput,
       .Options = L"/s /r /l",
       .Expected = LocalhostLines + PlainOutput},
      {.Name = "/l /r", .Input = PlainInput, .Options = L"/s /l /r", .Expected = PlainOutput},
      {.Name = "/l, UTF-16",
       .Input = Utf16LE(PlainInput),
       .Options = L"/s /l",
       .Expected = Utf16LE("\r\n" + LocalhostLines + PlainOutput)},
      {.Name = "/l, UTF-8",
       .Input = Utf8Mark + WideInput,
       .Options = L"/l /s /e:UTF8",
       .Expected = Utf8Mark + "\r\n" + LocalhostLines + WideOutput},
  };
  for (const TRunRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    WriteBytes(file, row.Input);
    EXPECT_EQ(RunProgram(std::wstring(row.Options) + L" " + Quoted(file)), 0u);
    EXPECT_EQ(ReadBytes(file), row.Expected);
    // No backup without /b.
    EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"hosts.txt"});
  }
}

TEST(WindowsProgram, BackupHoldsTheOldBytes) {
  // The file keeps the name it has on disk, however the name given spells it; the backup is
  // that name + ".bak".
  struct TRow {
    const char* Name;
    std::optional<std::string> OlderBackup = std::nullopt;
    std::string Stored = "hosts.txt"; // the file's name on disk
    std::string Given = "hosts.txt";  // the name on the command line
  };
  const TRow rows[] = {
      {.Name = "no backup before"},
      {.Name = "an older backup is replaced", .OlderBackup = std::string("older backup\r\n")},
      {.Name = "named in other case", .Stored = "hosts", .Given = "HOSTS"},
      {.Name = "named with a trailing dot", .Stored = "td.txt", .Given = "td.txt."},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File(row.Stored);
    const fs::path backup = folder.File(row.Stored + ".bak");
    WriteBytes(file, PlainInput);
    if (row.OlderBackup)
      WriteBytes(backup, *row.OlderBackup);
    EXPECT_EQ(RunProgram(L"/s /b /r " + Quoted(folder.File(row.Given))), 0u);
    EXPECT_EQ(FolderContent(folder.Path()),
              (std::vector<std::string>{row.Stored, row.Stored + ".bak"}));
    EXPECT_EQ(ReadBytes(file), PlainOutput);
    if (fs::exists(backup)) {
      EXPECT_EQ(ReadBytes(backup), PlainInput);
    }
  }
}

TEST(WindowsProgram, ShowsMessagesAndEndsWithoutDisplay) {
  // Without a display Wine's message boxes return at once, so the runs with messages end too:
  // a success, the usage message and a missing file all end with exit code 0. The system hosts
  // file is one in a temporary folder, which the usage message leaves alone.
  TempFolder system;
  WriteBytes(system.File("HOSTS"), PlainInput);
  TRegistryValueGuard value(HKEY_LOCAL_MACHINE, TcpipKey, DatabasePathValue);
  value.SetText(system.Path().wstring());
  TempFolder folder;
  const fs::path file = folder.File("hosts.txt");
  WriteBytes(file, PlainInput);
  EXPECT_EQ(RunProgram(L"/r " + Quoted(file)), 0u);
  EXPECT_EQ(ReadBytes(file), PlainOutput);
  EXPECT_EQ(RunProgram(L"/x"), 0u);
  EXPECT_EQ(RunProgram(Quoted(folder.File("missing.txt"))), 0u);
  EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"hosts.txt"});
  EXPECT_EQ(ReadBytes(file), PlainOutput);
  EXPECT_EQ(FolderContent(system.Path()), std::vector<std::string>{"HOSTS"});
  EXPECT_EQ(ReadBytes(system.File("HOSTS")), PlainInput);
}

TEST(WindowsProgram, WithoutParametersEndsAtOnce) {
  // The window mode; nothing touches the files, the system hosts file (here one in a temporary
  // folder) least of all.
  TempFolder system;
  WriteBytes(system.File("HOSTS"), PlainInput);
  TRegistryValueGuard value(HKEY_LOCAL_MACHINE, TcpipKey, DatabasePathValue);
  value.SetText(system.Path().wstring());
  const wchar_t* const rows[] = {L"", L"   ", L"\"\"", L"\"\" \"\""};
  for (const wchar_t* parameters : rows) {
    SCOPED_TRACE(Ascii(parameters));
    EXPECT_EQ(RunProgram(parameters), 0u);
    EXPECT_EQ(FolderContent(system.Path()), std::vector<std::string>{"HOSTS"});
    EXPECT_EQ(ReadBytes(system.File("HOSTS")), PlainInput);
  }
}

struct TFailureRow {
  const char* Name;
  std::string Input = {};  // the file's content
  std::wstring Parameters; // "%F" stands for the quoted file name
  bool ReadOnly = false;   // the file has the read-only attribute
  bool Create = true;      // false: the file does not exist
};

std::wstring WithFile(const std::wstring& parameters, const std::wstring& file) {
  std::wstring result = parameters;
  const size_t at = result.find(L"%F");
  if (at != std::wstring::npos)
    result.replace(at, 2, file);
  return result;
}

TEST(WindowsProgram, FailuresLeaveTheFileAlone) {
  const TFailureRow rows[] = {
      {.Name = "usage, silent before the invalid parameter",
       .Input = PlainInput,
       .Parameters = L"/s /x %F"},
      {.Name = "usage, silent after the invalid parameter",
       .Input = PlainInput,
       .Parameters = L"/x /s %F"},
      {.Name = "usage, upper-case option", .Input = PlainInput, .Parameters = L"/s /B %F"},
      {.Name = "usage, file name not last", .Input = PlainInput, .Parameters = L"%F /b"},
      {.Name = "usage, two file names", .Input = PlainInput, .Parameters = L"/s %F other.txt"},
      {.Name = "usage, unknown encoding", .Input = PlainInput, .Parameters = L"/s /b /e:UTF-8 %F"},
      {.Name = "usage, /bb", .Input = PlainInput, .Parameters = L"/s /bb %F"},
      // Wine's access check refuses a file with the read-only attribute; on Windows the attribute
      // is no part of the file's security, and such a file is optimized.
      {.Name = "read-only file, refused as under Wine",
       .Input = PlainInput,
       .Parameters = L"/s /b %F",
       .ReadOnly = true},
      {.Name = "read-only file, refused as under Wine, messages on",
       .Input = PlainInput,
       .Parameters = L"/b %F",
       .ReadOnly = true},
      {.Name = "empty file", .Parameters = L"/s /b %F"},
      {.Name = "no lines kept",
       .Input = "\r\n  \r\n127.0.0.1 localhost\r\n::1 localhost\r\n",
       .Parameters = L"/s /b /l %F"},
      {.Name = "text cut at a NUL",
       .Input = std::string("0.0.0.0 a.example\r\n\0 0.0.0.0 b.example\r\n", 40),
       .Parameters = L"/s /b %F"},
      {.Name = "missing file", .Parameters = L"/s /b %F", .Create = false},
      {.Name = "missing file, messages on", .Parameters = L"/b %F", .Create = false},
  };
  for (const TFailureRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    if (row.Create)
      WriteBytes(file, row.Input);
    if (row.ReadOnly) {
      ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    const std::vector<std::string> before = FolderContent(folder.Path());

    EXPECT_EQ(RunProgram(WithFile(row.Parameters, Quoted(file))), 0u);

    EXPECT_EQ(FolderContent(folder.Path()), before);
    if (row.Create) {
      EXPECT_EQ(ReadBytes(file), row.Input);
    }
    if (row.ReadOnly)
      SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST(WindowsProgram, FolderNameIsNoFile) {
  TempFolder folder;
  const fs::path sub = folder.File("hosts");
  fs::create_directory(sub);
  EXPECT_EQ(RunProgram(L"/s /b " + Quoted(sub)), 0u);
  EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"hosts"});
  EXPECT_TRUE(fs::is_empty(sub));
}

TEST(WindowsProgram, PlatformErrorEndsWithExitCodeOne) {
  // Another process holds the file without sharing: the load cannot open it, which the program
  // reports as an unhandled error.
  struct TRow {
    const char* Name;
    const wchar_t* Options;
  };
  const TRow rows[] = {{"silent", L"/s /b"}, {"messages on", L"/b"}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    {
      const THeldHostsFile held(file);
      ASSERT_TRUE(held.Held());
      EXPECT_EQ(RunProgram(std::wstring(row.Options) + L" " + Quoted(file)), 1u);
    }
    EXPECT_EQ(ReadBytes(file), PlainInput);
  }
}

TEST(WindowsProgram, LocalhostDefaultFollowsTheWindowsVersion) {
  struct TRow {
    const wchar_t* Version; // what Wine reports to the program; empty: its default, 7 SP1
    bool Localhost = false;
  };
  const TRow rows[] = {
      {.Version = L"winxp", .Localhost = true},
      {.Version = L"vista", .Localhost = true},
      {.Version = L""},
      {.Version = L"win8"},
  };
  TRegistryValueGuard version(HKEY_CURRENT_USER, WineProgramKey, L"Version");
  for (const TRow& row : rows) {
    SCOPED_TRACE(Ascii(row.Version));
    if (*row.Version != L'\0')
      version.SetText(row.Version);
    else
      version.Delete();
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    WriteBytes(file, PlainInput);
    EXPECT_EQ(RunProgram(L"/s " + Quoted(file)), 0u);
    EXPECT_EQ(ReadBytes(file), (row.Localhost ? LocalhostLines : std::string()) + PlainOutput);
  }
}

// --- The program's resources ----------------------------------------------------------------

// The program loaded as data, released when the holder goes.
class TProgramImage {
public:
  TProgramImage()
      : FModule(LoadLibraryExW(ProgramName().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~TProgramImage() {
    if (FModule != nullptr)
      FreeLibrary(FModule);
  }
  TProgramImage(const TProgramImage&) = delete;
  TProgramImage& operator=(const TProgramImage&) = delete;

  HMODULE Module() const { return FModule; }
  // The bytes of one resource; empty when there is none.
  std::string Resource(const wchar_t* type, const wchar_t* name) const {
    const HRSRC found = FindResourceW(FModule, name, type);
    if (found == nullptr)
      return {};
    const HGLOBAL loaded = LoadResource(FModule, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr)
      return {};
    return std::string(static_cast<const char*>(data), SizeofResource(FModule, found));
  }

private:
  HMODULE FModule;
};

TEST(WindowsProgram, CarriesManifestVersionAndIcon) {
  const TProgramImage image;
  ASSERT_NE(image.Module(), nullptr);

  const std::string manifest = image.Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  struct TRow {
    const char* Text;
    bool Present;
  };
  const TRow rows[] = {
      {.Text = "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", .Present = true},
      {.Text = "level=\"asInvoker\"", .Present = true},
      {.Text = "version=\"" TARNWICK_VERSION ".0\"", .Present = true},
      {.Text = "supportedOS", .Present = false},
      {.Text = "requireAdministrator", .Present = false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Text);
    EXPECT_EQ(manifest.find(row.Text) != std::string::npos, row.Present);
  }

  EXPECT_FALSE(image.Resource(MAKEINTRESOURCEW(14), L"MAINICON").empty()); // the icon group

  // The version record, as Explorer reads it.
  const std::wstring program = ProgramName();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string version = TARNWICK_VERSION ".0";
  const std::string fileVersion = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                  std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                  std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                                  std::to_string(LOWORD(fixed->dwFileVersionLS));
  const std::string productVersion = std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." +
                                     std::to_string(LOWORD(fixed->dwProductVersionMS)) + "." +
                                     std::to_string(HIWORD(fixed->dwProductVersionLS)) + "." +
                                     std::to_string(LOWORD(fixed->dwProductVersionLS));
  EXPECT_EQ(fileVersion, version);
  EXPECT_EQ(productVersion, version);

  struct TStringRow {
    const wchar_t* Name;
    std::wstring Expected;
  };
  const TStringRow strings[] = {
      {L"FileVersion", std::wstring(version.begin(), version.end())},
      {L"ProductVersion", std::wstring(version.begin(), version.end())},
      {L"ProductName", L"Tarnwick"},
      {L"OriginalFilename", L"tarnwk.exe"},
  };
  for (const TStringRow& row : strings) {
    SCOPED_TRACE(Ascii(row.Name));
    wchar_t* text = nullptr;
    UINT chars = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + row.Name;
    ASSERT_TRUE(VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&text), &chars));
    EXPECT_EQ(std::wstring(text), row.Expected);
  }
  wchar_t* description = nullptr;
  UINT chars = 0;
  EXPECT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                             reinterpret_cast<void**>(&description), &chars));
  EXPECT_GT(chars, 1u);
}

// --- The system hosts file's location ------------------------------------------------------

std::wstring Expanded(const wchar_t* text) {
  wchar_t buffer[32768];
  const DWORD length = ExpandEnvironmentStringsW(text, buffer, 32768);
  return length > 0 ? std::wstring(buffer) : std::wstring();
}

TEST(HostsLocation, FollowsTheDatabasePath) {
  TempFolder folder;
  const fs::path etc = folder.File("etc");
  const fs::path withEhm = folder.File("ehm");
  fs::create_directory(etc);
  fs::create_directory(withEhm);
  WriteBytes(etc / "HOSTS", PlainInput);
  WriteBytes(withEhm / "HOSTS", PlainInput);
  WriteBytes(withEhm / "HOSTS.ehm", PlainInput);
  const std::wstring root = folder.Path().wstring();
  const TEnvironmentGuard variable(L"TARNWICK_TEST_ROOT", root);

  struct TRow {
    const char* Name;
    std::wstring Value;
    DWORD Type = REG_SZ;
    std::wstring Expected;
  };
  const TRow rows[] = {
      {.Name = "folder", .Value = etc.wstring(), .Expected = etc.wstring() + L"\\HOSTS"},
      {.Name = "folder with backslash",
       .Value = etc.wstring() + L"\\",
       .Expected = etc.wstring() + L"\\HOSTS"},
      {.Name = "variable",
       .Value = L"%TARNWICK_TEST_ROOT%\\etc",
       .Expected = etc.wstring() + L"\\HOSTS"},
      {.Name = "variable, expandable type",
       .Value = L"%TARNWICK_TEST_ROOT%\\etc\\",
       .Type = REG_EXPAND_SZ,
       .Expected = etc.wstring() + L"\\HOSTS"},
      {.Name = "HOSTS.ehm first",
       .Value = withEhm.wstring(),
       .Expected = withEhm.wstring() + L"\\HOSTS.ehm"},
      {.Name = "HOSTS.ehm first, variable",
       .Value = L"%TARNWICK_TEST_ROOT%\\ehm",
       .Type = REG_EXPAND_SZ,
       .Expected = withEhm.wstring() + L"\\HOSTS.ehm"},
      {.Name = "a folder that is not there",
       .Value = root + L"\\none",
       .Expected = root + L"\\none\\HOSTS"},
      {.Name = "unknown variable stays",
       .Value = L"%TARNWICK_NO_SUCH_VARIABLE%\\etc",
       .Expected = L"%TARNWICK_NO_SUCH_VARIABLE%\\etc\\HOSTS"},
      {.Name = "system root",
       .Value = L"%SystemRoot%\\System32\\drivers\\etc",
       .Type = REG_EXPAND_SZ,
       .Expected = Expanded(L"%SystemRoot%\\System32\\drivers\\etc\\HOSTS")},
      // No usable folder: a bare name, relative to the current directory.
      {.Name = "empty value", .Value = L"", .Expected = L"HOSTS"},
      {.Name = "blank value", .Value = L"  ", .Expected = L"HOSTS"},
  };
  TRegistryValueGuard value(HKEY_LOCAL_MACHINE, TcpipKey, DatabasePathValue);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    value.SetText(row.Value, row.Type);
    std::u16string read = u"left over";
    EXPECT_TRUE(ReadDatabasePath(read));
    EXPECT_EQ(read, U16(row.Value)); // unexpanded
    EXPECT_EQ(GetHostsFileName(), U16(row.Expected));
  }
}

TEST(HostsLocation, MissingValueGivesBareName) {
  TempFolder folder;
  TRegistryValueGuard value(HKEY_LOCAL_MACHINE, TcpipKey, DatabasePathValue);
  value.Delete();
  std::u16string read = u"left over";
  EXPECT_TRUE(ReadDatabasePath(read));
  EXPECT_EQ(read, u"");

  struct TRow {
    const char* Name;
    bool EhmHere = false;
    const char16_t* Expected;
  };
  const TRow rows[] = {
      {.Name = "nothing in the current directory", .Expected = u"HOSTS"},
      {.Name = "HOSTS.ehm in the current directory", .EhmHere = true, .Expected = u"HOSTS.ehm"}};
  const TCurrentDirectoryGuard current(folder.Path());
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    if (row.EhmHere)
      WriteBytes(folder.File("HOSTS.ehm"), PlainInput);
    EXPECT_EQ(GetHostsFileName(), row.Expected);
  }
}

TEST(HostsLocation, NonTextValueIsAnError) {
  TRegistryValueGuard value(HKEY_LOCAL_MACHINE, TcpipKey, DatabasePathValue);
  value.SetNumber(7);
  std::u16string read;
  EXPECT_THROW(ReadDatabasePath(read), std::system_error);
  EXPECT_THROW(GetHostsFileName(), std::system_error);
}

TEST(HostsLocation, MissingKeyGivesDefaultFolder) {
  const TRegistryKeyRemoval removal(HKEY_LOCAL_MACHINE, TcpipKey);
  ASSERT_TRUE(removal.Removed());
  std::u16string read = u"left over";
  EXPECT_FALSE(ReadDatabasePath(read));
  EXPECT_EQ(read, u"");
  EXPECT_EQ(GetHostsFileName(), U16(Expanded(L"%SystemRoot%\\System32\\drivers\\etc\\HOSTS")));
}

TEST(HostsLocation, ProgramTakesTheSystemFileForABlankName) {
  // A quoted blank is a file name that means the system hosts file. It is found as HOSTS and
  // keeps the name it has on disk.
  TRegistryValueGuard value(HKEY_LOCAL_MACHINE, TcpipKey, DatabasePathValue);
  for (const std::string stored : {"HOSTS", "hosts"}) {
    SCOPED_TRACE(stored);
    TempFolder folder;
    const fs::path hosts = folder.File(stored);
    WriteBytes(hosts, PlainInput);
    value.SetText(folder.Path().wstring());
    EXPECT_EQ(RunProgram(L"/s /r /b \" \""), 0u);
    EXPECT_EQ(ReadBytes(hosts), PlainOutput);
    EXPECT_EQ(ReadBytes(folder.File(stored + ".bak")), PlainInput);
    EXPECT_EQ(FolderContent(folder.Path()), (std::vector<std::string>{stored, stored + ".bak"}));
  }
}

} // namespace

#endif
