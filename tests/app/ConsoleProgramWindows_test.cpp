// tarnwkc.exe on what only Windows has: the system hosts file as the registry names it, file
// attributes, a file another program holds, a refused write of the system's file, names beyond
// ASCII, devices, \\?\ paths and the exit code as cmd sees it.
#ifdef _WIN32

#include <windows.h>

#include "ConsoleProgram.h"
#include "TestProgram_win32.h"
#include "VornLibStrUtils.h"

using namespace console_rows;
using testing_files::FolderContent;
using testing_files::PlainInput;
using testing_files::PlainOutput;
using testing_files::THeldHostsFile;
using testing_files::TRegistryValueGuard;

namespace {

const wchar_t TcpipKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

enum class TSetup : uint8_t {
  File,           // hosts.txt
  HiddenSystem,   // hosts.txt with the hidden and system attributes
  Held,           // hosts.txt, held open by this process without sharing during the run
  SystemFile,     // HOSTS in the folder that DatabasePath names
  SystemReadOnly, // the same, read-only: Wine's access check refuses the write
  NonAsciiNames,  // hösts-日本.txt, and the output named ausgabe-日本.txt
  DeepFile,       // hosts.txt in a folder whose path is longer than 260 characters
};

struct TWindowsRow {
  const char* Name;
  TSetup Setup;
  std::vector<std::string> Arguments; // {F} the file, {O} the output, {X} the program
  int Status = 0;
  std::string Out = {};      // exact, with {F} and {O}
  std::string ErrHolds = {}; // a part of standard error (empty: standard error is empty)
  bool Rewritten = false;    // the file holds the merged text afterwards (else as before)
};

std::string SystemWords(DWORD code) {
  return Utf16ToUtf8(
      SystemErrorText(std::error_code(static_cast<int>(code), std::system_category())));
}

} // namespace

TEST(ConsoleProgramWindows, WhatOnlyWindowsHas) {
  const TWindowsRow rows[] = {
      {.Name = "no FILE: the system hosts file",
       .Setup = TSetup::SystemFile,
       .Arguments = {"-s", "-r"},
       .Rewritten = true},
      {.Name = "hidden and system attributes are kept",
       .Setup = TSetup::HiddenSystem,
       .Arguments = {"-r", "{F}"},
       .Out = "The hosts file has been optimized.\n",
       .Rewritten = true},
      {.Name = "a file another program holds: the system's words, exit 1",
       .Setup = TSetup::Held,
       .Arguments = {"-r", "{F}"},
       .Status = 1,
       .ErrHolds = "tarnwkc: {F}: " + SystemWords(ERROR_SHARING_VIOLATION)},
      {.Name = "the system's file refused: an elevated prompt is needed, exit 1",
       .Setup = TSetup::SystemReadOnly,
       .Arguments = {"-r"},
       .Status = 1,
       .ErrHolds = SystemWords(ERROR_ACCESS_DENIED) +
                   " Changing the system hosts file needs administrator rights: run tarnwkc from "
                   "a prompt opened with \"Run as administrator\"."},
      {.Name = "names beyond ASCII, in UTF-8 when the messages are redirected",
       .Setup = TSetup::NonAsciiNames,
       .Arguments = {"-r", "-o", "{O}", "{F}"},
       .Out = "The hosts file has been optimized into {O}.\n"},
      {.Name = "-o NUL",
       .Setup = TSetup::File,
       .Arguments = {"-r", "-o", "NUL", "{F}"},
       .Out = "The hosts file has been optimized into NUL.\n"},
      {.Name = "a \\\\?\\ path",
       .Setup = TSetup::File,
       .Arguments = {"-s", "-r", "\\\\?\\{F}"},
       .Rewritten = true},
      {.Name = "a path past 260 characters",
       .Setup = TSetup::DeepFile,
       .Arguments = {"-r", "-b", "{F}"},
       .Out = "The hosts file has been optimized.\n",
       .Rewritten = true},
      {.Name = "no wildcard is expanded",
       .Setup = TSetup::File,
       .Arguments = {"-r", "{D}\\*.txt"},
       .Status = 1,
       .ErrHolds = "tarnwkc: {D}\\*.txt: " + SystemWords(ERROR_INVALID_NAME)},
      {.Name = "exit status 2 as cmd /c sees it",
       .Setup = TSetup::File,
       .Arguments = {"cmd", "/c", "{X}", "--bogus"},
       .Status = 2,
       .ErrHolds = "tarnwkc: unrecognized option '--bogus'"},
      {.Name = "exit status 1 as cmd /c sees it",
       .Setup = TSetup::File,
       .Arguments = {"cmd", "/c", "{X}", "-r", "{F}.missing"},
       .Status = 1,
       .ErrHolds = "tarnwkc: {F}.missing: " + MissingFileText()},
  };
  const std::string program = testing_files::Ascii(testing_files::HostPath(TARNWKC_EXE));
  for (const TWindowsRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    TRegistryValueGuard databasePath(HKEY_LOCAL_MACHINE, TcpipKey, L"DatabasePath");
    databasePath.SetText(folder.Path().wstring());
    const bool system = row.Setup == TSetup::SystemFile || row.Setup == TSetup::SystemReadOnly;
    const bool wide = row.Setup == TSetup::NonAsciiNames;
    fs::path deep = folder.Path();
    while (row.Setup == TSetup::DeepFile && deep.wstring().size() < 280)
      deep /= "a-long-folder-name-for-the-test";
    fs::create_directories(deep);
    const fs::path file = system ? folder.File("HOSTS")
                          : wide ? folder.Path() / fs::path(u8"h\u00f6sts-\u65e5\u672c.txt")
                                 : deep / "hosts.txt";
    const fs::path output =
        wide ? folder.Path() / fs::path(u8"ausgabe-\u65e5\u672c.txt") : folder.File("out.txt");
    std::unique_ptr<THeldHostsFile> held;
    if (row.Setup == TSetup::Held)
      held = std::make_unique<THeldHostsFile>(file);
    else
      WriteBytes(file, PlainInput);
    uint32_t attributes = 0;
    ASSERT_TRUE(FileGetAttributes(file.u16string(), attributes));
    if (row.Setup == TSetup::HiddenSystem)
      attributes |= FileAttributeHidden | FileAttributeSystem;
    if (row.Setup == TSetup::SystemReadOnly)
      attributes |= FileAttributeReadOnly;
    ASSERT_TRUE(FileSetAttributes(file.u16string(), attributes));

    const auto expand = [&](std::string text) {
      text = Replace(text, "{F}", Utf16ToUtf8(file.u16string()));
      text = Replace(text, "{O}", Utf16ToUtf8(output.u16string()));
      text = Replace(text, "{D}", Utf16ToUtf8(folder.Path().u16string()));
      return Replace(text, "{X}", program);
    };
    std::vector<std::string> arguments;
    for (const std::string& argument : row.Arguments)
      arguments.push_back(expand(argument));
    const TProcessResult result =
        arguments.front() == "cmd" ? testing_files::RunProcess(arguments) : RunConsole(arguments);
    held.reset();

    EXPECT_EQ(result.Status, row.Status);
    EXPECT_EQ(result.Out, expand(row.Out));
    if (row.ErrHolds.empty())
      EXPECT_EQ(result.Err, "");
    else
      EXPECT_NE(result.Err.find(expand(row.ErrHolds)), std::string::npos) << result.Err;
    EXPECT_EQ(ReadBytes(file), row.Rewritten ? PlainOutput : PlainInput);
    uint32_t after = 0;
    EXPECT_TRUE(FileGetAttributes(file.u16string(), after));
    EXPECT_EQ(after, attributes) << "the attributes are as they were";
    FileSetAttributes(file.u16string(), 0); // the folder can go
    const size_t files = 1 + (fs::exists(output) ? 1 : 0) + (row.Setup == TSetup::DeepFile);
    EXPECT_EQ(FolderContent(deep).size(), files) << "nothing else is left in the folder";
    if (wide) {
      EXPECT_EQ(ReadBytes(output), PlainOutput);
    }
  }
}

#endif
