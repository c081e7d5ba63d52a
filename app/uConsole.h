// The console front end of the hosts engine, one for both console programs: tarnwk on Linux and
// tarnwkc.exe on Windows. One option table, one report, the same outcomes and exit status; the
// platform gives it only what differs: how names and text look, where output goes, and its
// defaults.
//
//   PROG [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [--crlf|--lf] [--dedupe] [-o OUTPUT] [FILE]
//   PROG -n|--check [--dedupe] [-l|-r] [-e ENC] [--crlf|--lf] [FILE]
//
// In place (no -o, FILE not "-") it runs the optimize operation. With -o, or with "-" (standard
// input), it reads the input, optimizes it in memory and writes the result to OUTPUT ("-":
// standard output), leaving the input as it was. With --check it reports what the run would
// keep, drop and change, and writes nothing.
#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "uHosts.h"

inline constexpr int ExitSuccess = 0; // optimized, checked, or nothing to do
inline constexpr int ExitFailure = 1; // missing file, missing rights, failed read or save
inline constexpr int ExitUsage = 2;   // invalid usage

// The words of the help and the messages that differ by platform.
struct TConsoleWords {
  std::string Program;       // the program's name in its messages ("tarnwk", "tarnwkc")
  std::string LocalhostNote; // the help's note on -l, on -r and on -e's default: each indented
  std::string RemoveNote;    // lines of the help's second column, a line break after each
  std::string EncodingNote;
  std::string NoBreakLineEnd; // the line end of a result whose input has no line break ("LF")
  std::string DefaultFile;    // FILE's default, as the help says it ("/etc/hosts")
  std::string HelpWord;       // a parameter that shows the help besides --help ("/?"), or none
};

// What the front end asks of the platform it runs on.
class TConsolePlatform {
public:
  virtual ~TConsolePlatform() = default;

  virtual const TConsoleWords& Words() const = 0;

  // A name as the messages show it: as the user typed it.
  virtual std::string NameText(std::u16string_view name) const = 0;
  // A name as a shell reads it back in a command the messages suggest.
  virtual std::string ShellWord(std::u16string_view name) const = 0;
  // The command that puts a copy's bytes back into a file, keeping the file where it is.
  virtual std::string RestoreCommand(std::u16string_view copy, std::u16string_view file) const = 0;
  // A name of a file in the current folder spelled with its folder ("./out").
  virtual std::u16string WithFolder(std::u16string_view name) const = 0;

  // The defaults: the localhost lines, how lines are read, how they end when the input says
  // nothing (its first line break decides where it has one).
  virtual bool IncludeLocalhostByDefault() const = 0;
  virtual TLineRules LineRules() const = 0;
  virtual TLineBreak LineBreakWithoutInput() const = 0;

  // Messages: information (standard output) and failures (standard error), UTF-8 text shown as
  // the console shows it. False when it could not be written whole.
  virtual bool WriteOut(std::string_view text) = 0;
  virtual bool WriteErr(std::string_view text) = 0;
  // The result's own bytes to standard output.
  virtual bool WriteResult(std::string_view bytes) = 0;
  // Standard input, read whole.
  virtual bool ReadInput(std::string& bytes) = 0;
  // Why the last of those failed, in the system's words.
  virtual std::string LastErrorText() const = 0;
  // Why a run may not write the file: the system's words and, where it helps, what to do.
  virtual std::string NoPrivilegesText(std::u16string_view file, std::string_view reason) const {
    (void)file;
    return std::string(reason);
  }

  // Whether the two names are one file; and when they are, whether the second is another name of
  // it (a hard link) rather than the same name spelled otherwise.
  virtual bool SameFile(std::u16string_view a, std::u16string_view b) const = 0;
  virtual bool OtherNameOf(std::u16string_view file, std::u16string_view name) const = 0;
};

// Runs the program on its parameters (the program itself not among them); returns the exit
// status.
int RunConsoleProgram(TConsolePlatform& platform, const std::vector<std::u16string>& parameters);
