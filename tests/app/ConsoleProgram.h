// The console program's options, outcomes and files, as one table of rows that runs against the
// Linux program tarnwk and, under Wine, against tarnwkc.exe: one front end, one behaviour, but for
// the few things the platform decides (its name, its help, the localhost default, the line end of a
// text without one, the system's words).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "TestProcess.h"
#include "TestText.h"
#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"

namespace console_rows {

namespace fs = std::filesystem;
using testing_files::ReadBytes;
using testing_files::TempFolder;
using testing_files::TProcessResult;
using testing_files::Utf16LE;
using testing_files::Utf8Mark;
using testing_files::WriteBytes;

#ifdef _WIN32
inline const std::string Program = "tarnwkc";
inline const std::string NoBreakLineEnd = "\r\n";
// The usage text --help must print, word for word.
inline const std::string UsageText =
    "Usage: tarnwkc [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [--crlf|--lf] [--dedupe]\n"
    "               [-o OUTPUT] [FILE]\n"
    "       tarnwkc -n|--check [--dedupe] [-l|-r] [-e ENC] [--crlf|--lf] [FILE]\n"
    "\n"
    "Rewrites a hosts file into a compact form: comments, blank lines and localhost names go,\n"
    "and the names of entries that share an address are gathered onto lines of at most nine.\n"
    "\n"
    "  -s, --silent             print no messages\n"
    "  -b, --backup             copy the file to be rewritten to the same name + \".bak\" first\n"
    "  -l, --include-localhost  write \"127.0.0.1 localhost\" and \"::1 localhost\" at the top\n"
    "                           (the default before Windows 7)\n"
    "  -r, --remove-localhost   write no localhost lines\n"
    "                           (the default from Windows 7 on, whose DNS client\n"
    "                           answers localhost itself)\n"
    "  -e, --encoding=ENC       save as ansi (US-ASCII), utf8 or utf16le with a byte-order\n"
    "                           mark (default: as the input was: its byte-order mark, else\n"
    "                           the system code page it was read in)\n"
    "  -o, --output=OUTPUT      write the result to OUTPUT (\"-\": standard output) and leave\n"
    "                           FILE unchanged\n"
    "      --crlf, --lf         end lines with CR LF or with LF (default: as the input's first\n"
    "                           line does; CR LF when it has no line break)\n"
    "  -n, --check              change nothing: report what the run would keep, drop and\n"
    "                           change (names the merge makes resolve to another address)\n"
    "      --dedupe             write a name listed again under the same address once\n"
    "      --help               show this help and exit\n"
    "      --version            show the version and exit\n"
    "\n"
    "FILE defaults to the system hosts file; \"-\" reads standard input and, without -o, writes "
    "the\n"
    "result to standard output. Errors go to standard error, one line each; so does a warning\n"
    "when the merge makes names resolve to another address.\n"
    "Exit status: 0 optimized, checked or nothing to do, 1 failure, 2 invalid usage.\n";
#else
inline const std::string Program = "tarnwk";
inline const std::string NoBreakLineEnd = "\n";
// The usage text --help must print, word for word.
inline const std::string UsageText =
    "Usage: tarnwk [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [--crlf|--lf] [--dedupe]\n"
    "              [-o OUTPUT] [FILE]\n"
    "       tarnwk -n|--check [--dedupe] [-l|-r] [-e ENC] [--crlf|--lf] [FILE]\n"
    "\n"
    "Rewrites a hosts file into a compact form: comments, blank lines and localhost names go,\n"
    "and the names of entries that share an address are gathered onto lines of at most nine.\n"
    "\n"
    "  -s, --silent             print no messages\n"
    "  -b, --backup             copy the file to be rewritten to the same name + \".bak\" first\n"
    "  -l, --include-localhost  write \"127.0.0.1 localhost\" and \"::1 localhost\" at the top\n"
    "                           (the default: on Linux only this file resolves localhost)\n"
    "  -r, --remove-localhost   write no localhost lines\n"
    "  -e, --encoding=ENC       save as ansi (US-ASCII), utf8 or utf16le with a byte-order\n"
    "                           mark (default: as the input was: its byte-order mark, else\n"
    "                           UTF-8, or Latin-1 where the input is not valid UTF-8)\n"
    "  -o, --output=OUTPUT      write the result to OUTPUT (\"-\": standard output) and leave\n"
    "                           FILE unchanged\n"
    "      --crlf, --lf         end lines with CR LF or with LF (default: as the input's first\n"
    "                           line does; LF when it has no line break)\n"
    "  -n, --check              change nothing: report what the run would keep, drop and\n"
    "                           change (names the merge makes resolve to another address)\n"
    "      --dedupe             write a name listed again under the same address once\n"
    "      --help               show this help and exit\n"
    "      --version            show the version and exit\n"
    "\n"
    "FILE defaults to /etc/hosts; \"-\" reads standard input and, without -o, writes the\n"
    "result to standard output. Errors go to standard error, one line each; so does a warning\n"
    "when the merge makes names resolve to another address.\n"
    "Exit status: 0 optimized, checked or nothing to do, 1 failure, 2 invalid usage.\n";
// What invalid usage prints after its one line.
#endif
// What invalid usage prints after its one line.
inline const std::string TryHelp = "Try '" + Program + " --help' for more information.\n";

// The system's words for a file that is not there.
inline std::string MissingFileText() {
  return Utf16ToUtf8(SystemErrorText(std::make_error_code(std::errc::no_such_file_or_directory)));
}

// Runs the console program with the arguments (UTF-8) and standard input.
inline TProcessResult RunConsole(std::vector<std::string> arguments,
                                 const std::optional<std::string>& input = std::nullopt) {
#ifdef _WIN32
  arguments.insert(arguments.begin(), testing_files::Ascii(testing_files::HostPath(TARNWKC_EXE)));
#else
  arguments.insert(arguments.begin(), TARNWK_EXE);
#endif
  return testing_files::RunProcess(arguments, input);
}

inline std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

// Placeholders in a row: {F} the input file, {O} the output file, {D} the folder, {U} the usage,
// {T} the pointer to --help, {P} the program's name, {NL} the line end of a result whose input has
// none, {ENOENT} the system's words for a missing file.
struct TPlaces {
  std::string File, Output, Folder;
  std::string Expand(const std::string& text) const {
    std::string out = Replace(text, "{F}", File);
    out = Replace(out, "{O}", Output);
    out = Replace(out, "{D}", Folder);
    out = Replace(Replace(out, "{U}", UsageText), "{T}", TryHelp);
    out = Replace(Replace(out, "{NL}", NoBreakLineEnd), "{ENOENT}", MissingFileText());
    return Replace(out, "{P}", Program);
  }
};

inline const std::string Input = "# ad servers\r\n"
                                 "0.0.0.0 a.example\r\n"
                                 "\r\n"
                                 "0.0.0.0 b.example # tracker\r\n"
                                 "127.0.0.1 localhost\r\n"
                                 "::1 localhost\r\n"
                                 "0.0.0.0 c.example\n"
                                 "0.0.0.0\td.example\n";
// The localhost lines: -l writes them, -r leaves them out; by default the Linux program writes them
// (only the file resolves localhost there), tarnwkc.exe from Windows 7 on does not (Wine reports
// Windows 7). A byte-order mark is written on a line of its own.
inline const std::string Header = "127.0.0.1 localhost\r\n::1 localhost\r\n";
inline const std::string Body = "0.0.0.0 a.example b.example c.example d.example\r\n"; // with -r
inline const std::string WithLocalhost = Header + Body;                                // with -l
#ifdef _WIN32
inline const std::string Merged = Body; // by default
#else
inline const std::string Merged = WithLocalhost;
#endif
// A commented-out entry keeps its comment, and with it characters outside ASCII.
inline const std::string Cafe = "#10.0.0.1 cafe.example # caf\xC3\xA9 de la gare\n0.0.0.0 a\n";
inline const std::string CafeCrLf =
    "#10.0.0.1 cafe.example # caf\xC3\xA9 de la gare\r\n0.0.0.0 a\r\n";
inline const std::string Latin1 = "#10.0.0.1 cafe.example # caf\xE9 de la gare\r\n0.0.0.0 a\r\n";
// A name listed again under its address; a name the merge makes resolve to another address.
inline const std::string Repeats = "0.0.0.0 a.example\n0.0.0.0 b.example A.example\n";
inline const std::string Moves = "10.0.0.1 a\n10.0.0.2 x\n10.0.0.1 x\n";
inline const std::string MovesMerged = "10.0.0.1 a x\n10.0.0.2 x\n";
inline const std::string MovesReport = "Lines: 3 -> 2\n"
                                       "Bytes: 33 -> 24\n"
                                       "Entries: 3 lines, 3 names, 2 IPv4 and 0 IPv6 addresses\n"
                                       "Commented-out entries kept: 0\n"
                                       "Kept apart: the system reads no address in 0 lines\n"
                                       "Dropped:\n"
                                       "  invalid lines: 0\n"
                                       "  names with forbidden characters: 0\n"
                                       "  localhost names: 0\n"
                                       "  comment and blank lines: 0\n"
                                       "Repeated names (again under the same address): 0\n"
                                       "Names under more than one address: 1\n"
                                       "    x (IPv4): 10.0.0.2 (line 2), 10.0.0.1 (line 3)\n"
                                       "Names the merge makes resolve to another address: 1\n"
                                       "    x (IPv4): 10.0.0.2 (line 2) -> 10.0.0.1 (line 3)\n";
inline const std::string MovesWarning =
    "{P}: the merge makes 1 name resolve to another address; \"{P} --check {F}\" shows them\n";
inline const std::string CutInput =
    std::string("0.0.0.0 a.example\r\n\0 0.0.0.0 b.example\r\n", 40);

inline const std::string Optimized = "The hosts file has been optimized.\n";
inline const std::string OptimizedInto = "The hosts file has been optimized into {O}.\n";
inline const std::string NothingToDo = "The file contains no lines to optimize.\n";

// A row names the files it starts with, the outcome and the files that change; what it leaves
// out is absent, empty or unchanged.
struct ProgramRow {
  const char* Name;
  std::vector<std::string> Arguments;
  std::optional<std::string> Before = {};       // hosts.txt; none: no such file
  std::optional<std::string> BackupBefore = {}; // hosts.txt.bak
  std::optional<std::string> OutputBefore = {}; // out.txt
  std::optional<std::string> StandardInput = {};
  int Status = 0;
  std::string Out = {};
  std::string Err = {};
  std::optional<std::string> After = {};             // hosts.txt afterwards; none: as before
  std::optional<std::string> BackupAfter = {};       // none: as before (absent when it was absent)
  std::optional<std::string> OutputAfter = {};       // none: as before (absent when it was absent)
  std::optional<std::string> OutputBackupAfter = {}; // out.txt.bak; none: absent
};

// Sets up the row's files, runs the program, and checks status, output and every file.
template <typename Runner>
void CheckRow(const ProgramRow& row, TempFolder& folder, const TPlaces& places, Runner run) {
  const fs::path file = folder.File("hosts.txt");
  const fs::path backup = folder.File("hosts.txt.bak");
  const fs::path output = folder.File("out.txt");
  const fs::path outputBackup = folder.File("out.txt.bak");
  if (row.Before)
    WriteBytes(file, *row.Before);
  if (row.BackupBefore)
    WriteBytes(backup, *row.BackupBefore);
  if (row.OutputBefore)
    WriteBytes(output, *row.OutputBefore);

  std::vector<std::string> arguments;
  for (const std::string& argument : row.Arguments)
    arguments.push_back(places.Expand(argument));
  const TProcessResult result = run(arguments, row.StandardInput);

  EXPECT_EQ(result.Status, row.Status);
  EXPECT_EQ(result.Out, places.Expand(row.Out));
  EXPECT_EQ(result.Err, places.Expand(row.Err));

  const auto expectFile = [](const fs::path& path, const std::optional<std::string>& expected) {
    SCOPED_TRACE(path.filename().string());
    if (expected) {
      ASSERT_TRUE(fs::exists(path));
      EXPECT_EQ(ReadBytes(path), *expected);
    } else {
      EXPECT_FALSE(fs::exists(path));
    }
  };
  expectFile(file, row.After ? row.After : row.Before);
  expectFile(backup, row.BackupAfter ? row.BackupAfter : row.BackupBefore);
  expectFile(output, row.OutputAfter ? row.OutputAfter : row.OutputBefore);
  expectFile(outputBackup, row.OutputBackupAfter);
  // Nothing else appears in the folder.
  for (const auto& entry : fs::directory_iterator(folder.Path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "hosts.txt" || name == "hosts.txt.bak" || name == "out.txt" ||
                name == "out.txt.bak")
        << name;
  }
}

} // namespace console_rows
