// tarnwk: the Linux command-line front end of the hosts engine.
//
//   tarnwk [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [--crlf|--lf] [--dedupe] [-o OUTPUT] [FILE]
//   tarnwk -n|--check [--dedupe] [-l|-r] [-e ENC] [--crlf|--lf] [FILE]
//
// In place (no -o, FILE not "-") it runs the optimize operation that the Windows program runs.
// With -o, or with "-" (standard input), it reads the input, optimizes it in memory and writes the
// result to OUTPUT ("-": standard output), leaving the input as it was. With --check it reports
// what the run would keep, drop and change, and writes nothing.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <getopt.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "VornLibStrUtils.h"
#include "uHosts.h"
#include "uHostsLocation.h"
#include "uMessages.h"
#include "uOptimize.h"

#include "tarnwick_version.h"

namespace {

constexpr int ExitSuccess = 0; // optimized, or nothing to do
constexpr int ExitFailure = 1; // missing file, missing rights, failed read or save
constexpr int ExitUsage = 2;   // invalid usage

constexpr std::string_view Usage =
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

struct TOptions {
  std::string Input; // empty: the system hosts file
  bool HasInput = false;
  std::string Output;
  bool HasOutput = false;
  bool Silent = false;
  bool Backup = false;
  bool IncludeLocalhost = true; // glibc resolves localhost only through the file
  bool Check = false;           // report what the run would do, change nothing
  bool Dedupe = false;          // a name listed again under the same address is written once
  SaveEncoding Encoding = EncodingAuto;
  TLineBreak LineBreak = TLineBreak::None; // as the input's first line break
};

enum class TAction { Run, Help, Version, Invalid };

bool ParseEncoding(std::string_view value, SaveEncoding& encoding) {
  if (SameTextAscii(value, "ansi"))
    encoding = EncodingAnsi;
  else if (SameTextAscii(value, "utf8"))
    encoding = EncodingUtf8;
  else if (SameTextAscii(value, "utf16le"))
    encoding = EncodingUtf16LE;
  else
    return false;
  return true;
}

// The long options; those without a short letter have codes past every character.
constexpr int OptionDedupe = 256, OptionHelp = 257, OptionVersion = 258, OptionCrLf = 259,
              OptionLf = 260;
constexpr option LongOptions[] = {
    {"silent", no_argument, nullptr, 's'},
    {"backup", no_argument, nullptr, 'b'},
    {"include-localhost", no_argument, nullptr, 'l'},
    {"remove-localhost", no_argument, nullptr, 'r'},
    {"encoding", required_argument, nullptr, 'e'},
    {"output", required_argument, nullptr, 'o'},
    {"check", no_argument, nullptr, 'n'},
    {"dedupe", no_argument, nullptr, OptionDedupe},
    {"crlf", no_argument, nullptr, OptionCrLf},
    {"lf", no_argument, nullptr, OptionLf},
    {"help", no_argument, nullptr, OptionHelp},
    {"version", no_argument, nullptr, OptionVersion},
    {nullptr, 0, nullptr, 0},
};
// '-': operands come back in their place (code 1), whatever POSIXLY_CORRECT says; ':': a missing
// value comes back as ':'.
constexpr const char* ShortOptions = "-:sblrne:o:";

std::string LongName(int code) {
  for (const option& known : LongOptions)
    if (known.name && known.val == code)
      return known.name;
  return "";
}

// The operand FILE; there is at most one.
bool TakeOperand(std::string_view operand, TOptions& options, std::string& error) {
  if (options.HasInput) {
    error = "extra operand '" + std::string(operand) + "'";
    return false;
  }
  // An unset variable must not stand for the system's file.
  if (TrimControl(FileNameToUtf16(operand)).empty()) {
    error = "the file name is empty";
    return false;
  }
  options.Input = operand;
  options.HasInput = true;
  return true;
}

// Sets what one option says; false, with the reason, when its value is invalid.
bool TakeOption(int code, std::string_view value, TOptions& options, std::string& error) {
  switch (code) {
  case 's':
    options.Silent = true;
    break;
  case 'b':
    options.Backup = true;
    break;
  case 'l':
    options.IncludeLocalhost = true;
    break;
  case 'r':
    options.IncludeLocalhost = false;
    break;
  case 'n':
    options.Check = true;
    break;
  case OptionDedupe:
    options.Dedupe = true;
    break;
  case OptionCrLf:
    options.LineBreak = TLineBreak::CrLf;
    break;
  case OptionLf:
    options.LineBreak = TLineBreak::Lf;
    break;
  case 'e':
    if (!ParseEncoding(value, options.Encoding)) {
      error = "invalid encoding '" + std::string(value) + "' (use ansi, utf8 or utf16le)";
      return false;
    }
    break;
  default: // 'o'
    if (value.empty()) {
      error = "the output name is empty";
      return false;
    }
    options.Output = value;
    options.HasOutput = true;
    break;
  }
  return true;
}

// The reason for getopt_long's ':' (a value missing) or '?' (anything else). An error of a long
// option always consumed its argument; a short option's does only when it was the group's last
// letter, which is where a missing value is noticed.
std::string OptionError(int code, std::string_view consumed) {
  if (code == ':') {
    if (consumed.starts_with("--"))
      return "option '--" + LongName(optopt) + "' requires an argument";
    return std::string("option requires an argument -- '") + static_cast<char>(optopt) + "'";
  }
  // A known letter fails only as a long option given a value it does not take.
  if (optopt == 0) {
    if (consumed.starts_with("--")) {
      const std::string_view name = consumed.substr(2, consumed.find('=') - 2);
      std::string matches;
      for (const option& known : LongOptions)
        if (known.name && std::string_view(known.name).starts_with(name))
          matches += std::string(" '--") + known.name + "'";
      if (!name.empty() && std::count(matches.begin(), matches.end(), '\'') > 2)
        return "option '" + std::string(consumed) + "' is ambiguous; possibilities:" + matches;
    }
    return "unrecognized option '" + std::string(consumed) + "'";
  }
  if (!LongName(optopt).empty())
    return "option '--" + LongName(optopt) + "' doesn't allow an argument";
  return std::string("invalid option -- '") + static_cast<char>(optopt) + "'";
}

// Reads the arguments into options. --help and --version act at once; anything invalid sets
// error to a one-line reason. getopt_long reports nothing itself; the reasons are ours.
TAction ParseArguments(int argc, char** argv, TOptions& options, std::string& error) {
  opterr = 0;
  optind = 0; // starts afresh, also within a group of short options a former call left
  for (;;) {
    const int code = getopt_long(argc, argv, ShortOptions, LongOptions, nullptr);
    if (code == -1)
      break;
    if (code == OptionHelp)
      return TAction::Help;
    if (code == OptionVersion)
      return TAction::Version;
    if (code == '?' || code == ':') {
      error = OptionError(code, optind > 0 ? argv[optind - 1] : "");
      return TAction::Invalid;
    }
    const std::string_view value = optarg != nullptr ? optarg : "";
    if (!(code == 1 ? TakeOperand(value, options, error) : TakeOption(code, value, options, error)))
      return TAction::Invalid;
  }
  // After "--" every argument is an operand.
  for (int i = optind; i < argc; ++i)
    if (!TakeOperand(argv[i], options, error))
      return TAction::Invalid;
  return TAction::Run;
}

// False when the text could not be written whole.
bool WriteText(std::FILE* stream, std::string_view text) {
  const size_t written = std::fwrite(text.data(), 1, text.size(), stream);
  return std::fflush(stream) == 0 && written == text.size();
}

// The engine's names are UTF-16; the system's are bytes, which come back byte for byte.
std::u16string ToName(const std::string& name) {
  return FileNameToUtf16(name);
}

// The file FILE stands for: a blank name means the system hosts file.
std::u16string ResolveInput(const std::string& name) {
  const std::u16string text = ToName(name);
  return TrimControl(text).empty() ? GetHostsFileName() : text;
}

// The name as a shell reads it back: quoted unless it is plain.
std::string ShellWord(std::string_view text) {
  bool plain = !text.empty();
  for (const char c : text)
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '/' || c == '-' || c == '_' || c == '+' || c == ',');
  if (plain)
    return std::string(text);
  std::string quoted = "'";
  for (const char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The one line a run shows when the merge makes names resolve to another address.
std::string MovedNamesWarning(size_t moved, std::string_view input) {
  return "tarnwk: the merge makes " + std::to_string(moved) +
         (moved == 1 ? " name resolve" : " names resolve") +
         " to another address; \"tarnwk --check " + ShellWord(input) + "\" shows them";
}

bool SameFile(const std::u16string& a, const std::u16string& b) {
  if (a == b)
    return true;
  struct stat first {};
  struct stat second {};
  return ::stat(Utf16ToFileName(a).c_str(), &first) == 0 &&
         ::stat(Utf16ToFileName(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// The name with every link and "." or ".." resolved; the name itself when it cannot be.
std::string CanonicalName(const std::u16string& name) {
  const std::string bytes = Utf16ToFileName(name);
  char* real = ::realpath(bytes.c_str(), nullptr);
  if (real == nullptr)
    return bytes;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

bool ReadDescriptor(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t moved = ::read(fd, buffer, sizeof buffer);
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved < 0)
      return false;
    if (moved == 0)
      return true;
    bytes.append(buffer, static_cast<size_t>(moved));
  }
}

bool WriteDescriptor(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t moved = ::write(fd, bytes.data(), bytes.size());
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved <= 0)
      return false;
    bytes.remove_prefix(static_cast<size_t>(moved));
  }
  return true;
}

class TRun {
public:
  explicit TRun(const TOptions& options) : FOptions(options) {}

  int Execute() {
    if (FOptions.Check)
      return Check();
    if (!FOptions.HasOutput && FOptions.Input != "-")
      return Run(TOptimizeSource{ToName(FOptions.Input)}, TOptimizeTarget{});
    if (FOptions.Output != "-" && FOptions.Input != "-") {
      const std::u16string input = ResolveInput(FOptions.Input);
      const std::u16string output = ToName(FOptions.Output);
      if (SameFile(input, output)) {
        // Another name of the file (a hard link) would keep the old text while the file is
        // replaced under its own: as cp does, the run refuses.
        if (CanonicalName(input) != CanonicalName(output) && FileLinkCount(input) > 1) {
          Fail(Utf16ToFileName(output),
               "it and " + Utf16ToFileName(input) + " are the same file; nothing was written");
          return ExitFailure;
        }
        return Run(TOptimizeSource{input}, TOptimizeTarget{});
      }
    }

    std::string bytes;
    TOptimizeSource source{ToName(FOptions.Input)};
    if (!ReadStandardInput(source, bytes))
      return ExitFailure;
    if (FOptions.Output == "-") {
      TOptimizeTarget target;
      target.Kind = TOptimizeTarget::Writer;
      target.FileName = u"standard output";
      target.Write = [](std::string_view piece) { return WriteDescriptor(STDOUT_FILENO, piece); };
      return Run(source, target);
    }
    // A bare name gets its folder spelled out, so that the write check has a folder to test.
    std::u16string output = ToName(FOptions.Output);
    if (output.find(u'/') == std::u16string::npos)
      output.insert(0, u"./");
    TOptimizeTarget target;
    target.Kind = TOptimizeTarget::OtherFile;
    target.FileName = output;
    return Run(source, target);
  }

private:
  const TOptions& FOptions;
  mutable bool FFailed = false; // a failure was told
  mutable bool FInto = false;   // the result goes to another file

  // With "-", the source is standard input, read whole; false when it could not be read.
  bool ReadStandardInput(TOptimizeSource& source, std::string& bytes) const {
    if (FOptions.Input != "-")
      return true;
    if (!ReadDescriptor(STDIN_FILENO, bytes)) {
      Fail("-", std::strerror(errno));
      return false;
    }
    source.Bytes = &bytes;
    return true;
  }

  // One line on standard error: "tarnwk: NAME: reason".
  void Fail(std::string_view name, std::string_view reason) const {
    FFailed = true;
    if (!FOptions.Silent)
      WriteText(stderr, "tarnwk: " + std::string(name) + ": " + std::string(reason) + "\n");
  }

  // Says an outcome in the words of a Linux tool: information on standard output (none while the
  // result goes there), every failure as one line on standard error.
  void Tell(const TOptimizeNotice& notice) const {
    const std::string name = notice.File.empty() ? std::string("-") : Utf16ToFileName(notice.File);
    const std::string reason = Utf16ToUtf8(notice.Reason);
    const std::string kept = Utf16ToFileName(notice.Kept);
    switch (notice.Outcome) {
    case TOptimizeOutcome::Optimized:
      if (!FOptions.Silent && FOptions.Output != "-")
        WriteText(stdout, FInto ? "The hosts file has been optimized into " + name + ".\n"
                                : std::string("The hosts file has been optimized.\n"));
      // A step after the save failed: the file is written, but not everything is as it should be.
      if (!reason.empty() && !kept.empty())
        return Fail(name, "the copy of its old content " + kept +
                              " could not be removed: " + reason + " (delete it)");
      if (!reason.empty())
        return Fail(name, "the folder could not be flushed to disk after the save: " + reason);
      return;
    case TOptimizeOutcome::NothingToDo:
      if (!reason.empty())
        return Fail(name, reason); // not a text file
      if (FOptions.Silent)
        return;
      if (FInto) // written all the same
        WriteText(stdout, Utf16ToUtf8(MsgNothingToDo.substr(0, MsgNothingToDo.size() - 1)) + "; " +
                              name +
                              (FOptions.IncludeLocalhost ? " holds the localhost lines only.\n"
                                                         : " is empty.\n"));
      else
        WriteText(FOptions.Output == "-" ? stderr : stdout, Utf16ToUtf8(MsgNothingToDo) + "\n");
      return;
    case TOptimizeOutcome::Checked:
      return;
    case TOptimizeOutcome::FileChanged:
      if (!kept.empty())
        return Fail(name, "changed by another program while it was being saved; the file holds "
                          "the optimized text, and what the other program wrote is kept in " +
                              kept);
      return Fail(name, "changed by another program while it was being optimized; nothing was "
                        "written");
    case TOptimizeOutcome::Busy:
      return Fail(name, "another program holds a lock on it; nothing was written");
    case TOptimizeOutcome::Interrupted:
      return Fail(name, "an earlier run was interrupted while it rewrote this file; its old "
                        "content is kept in " +
                            kept + " (put it back with: cat " + ShellWord(kept) + " > " +
                            ShellWord(name) + ", or delete it; then run again)");
    case TOptimizeOutcome::NotRegular:
      return Fail(name, "not a regular file");
    case TOptimizeOutcome::BackupFailed:
      return Fail(name, "cannot make the backup " + name + ".bak: " + reason);
    case TOptimizeOutcome::CannotSave:
      if (!notice.KeptOld.empty())
        return Fail(name, "the swap stopped half-way: the new content is in " + kept +
                              ", the old content in " + Utf16ToFileName(notice.KeptOld));
      if (notice.Failure == TSaveFailure::NoCopyBeside)
        return Fail(name, "no copy of its old content can be kept beside it (" + reason +
                              "); nothing was written");
      if (notice.Failure == TSaveFailure::DanglingLink)
        return Fail(name, "a symbolic link to a file that does not exist; not written");
      return Fail(name, reason.empty() ? std::string("cannot be written") : reason);
    default: // missing, refused, unreadable
      return Fail(name, reason.empty() ? std::string("cannot be read") : reason);
    }
  }

  TOptimizeOptions Options() const {
    TOptimizeOptions options;
    options.Backup = FOptions.Backup;
    options.BackupRequired = true;
    options.Silent = FOptions.Silent;
    options.IncludeLocalhost = FOptions.IncludeLocalhost;
    options.Encoding = FOptions.Encoding;
    options.LineBreak = FOptions.LineBreak;
    options.Dedupe = FOptions.Dedupe;
    options.LineRules = TLineRules::Glibc; // the lines as the system's resolver reads them
    options.Notice = [this](const TOptimizeNotice& notice) { Tell(notice); };
    if (!FOptions.Silent) {
      options.Waiting = [](const std::u16string& file) {
        WriteText(stderr, "tarnwk: " + Utf16ToFileName(file) +
                              ": another program holds a lock on it; waiting up to 10 seconds\n");
      };
      options.LeftAlone = [](const std::u16string& first, size_t count) {
        std::string more;
        if (count > 1)
          more = " and " + std::to_string(count - 1) + " more";
        WriteText(stderr, "tarnwk: left alone: " + Utf16ToFileName(first) + more +
                              " (not of this program's making)\n");
      };
    }
    return options;
  }

  // A platform error that passed the operation (a file that cannot be read or written on the
  // way) is told with the name of the file it concerns.
  template <typename Body> int Guarded(std::string_view name, Body body) const {
    try {
      body();
    } catch (const TOldContentKept& failure) {
      // The file keeps its place (it may be bind-mounted): its old bytes are written back into it.
      const std::string copy = Utf16ToFileName(failure.Copy());
      Fail(name, failure.code().message() + "; its old content is kept in " + copy +
                     " (put it back with: cat " + ShellWord(copy) + " > " + ShellWord(name) + ")");
    } catch (const std::system_error& failure) {
      Fail(name, failure.code().message());
    }
    return FFailed ? ExitFailure : ExitSuccess;
  }

  int Run(const TOptimizeSource& source, const TOptimizeTarget& target) const {
    TOptimizeOptions options = Options();
    // The file the messages name: the input as given, "/etc/hosts" for none.
    const std::string input =
        FOptions.Input == "-" ? FOptions.Input : Utf16ToFileName(ResolveInput(FOptions.Input));
    if (!FOptions.Silent)
      options.Moved = [input](size_t moved) {
        WriteText(stderr, MovedNamesWarning(moved, input) + "\n");
      };
    FInto = target.Kind == TOptimizeTarget::OtherFile;
    const std::string written =
        target.Kind == TOptimizeTarget::OtherFile ? Utf16ToFileName(target.FileName) : input;
    return Guarded(written, [&] { OptimizeHosts(0, source, target, options); });
  }

  // The report goes to standard output, every message to standard error; nothing is written.
  int Check() const {
    std::string bytes;
    TOptimizeSource source{ToName(FOptions.Input)};
    if (!ReadStandardInput(source, bytes))
      return ExitFailure;
    const std::string input =
        FOptions.Input == "-" ? FOptions.Input : Utf16ToFileName(ResolveInput(FOptions.Input));
    std::string report;
    const int status = Guarded(input, [&] {
      if (CheckHosts(0, source, Options(), report) == TOptimizeOutcome::Checked &&
          !WriteText(stdout, report))
        Fail("standard output", std::strerror(errno));
    });
    return status;
  }
};

// While the result goes to standard output, every message goes to standard error.
void MessageToStandardError(intptr_t, std::u16string_view text, TMessageIcon) {
  std::string line = Utf16ToUtf8(text);
  line.push_back('\n');
  WriteText(stderr, line);
}

} // namespace

int main(int argc, char** argv) {
  TOptions options;
  std::string error;
  // --help and --version fail when their text cannot be written (a full disk, a closed pipe).
  const auto show = [](std::string_view text) {
    if (WriteText(stdout, text))
      return ExitSuccess;
    WriteText(stderr, std::string("tarnwk: standard output: ") + std::strerror(errno) + "\n");
    return ExitFailure;
  };
  switch (ParseArguments(argc, argv, options, error)) {
  case TAction::Help:
    return show(Usage);
  case TAction::Version:
    return show("tarnwk " TARNWICK_VERSION_STRING "\n");
  case TAction::Invalid:
    WriteText(stderr, "tarnwk: " + error + "\nTry 'tarnwk --help' for more information.\n");
    return ExitUsage;
  case TAction::Run:
    break;
  }

  // Read from standard input, the result goes to standard output unless -o says otherwise.
  if (options.Input == "-" && !options.HasOutput) {
    options.Output = "-";
    options.HasOutput = true;
  }
  if (options.Output == "-" || options.Check)
    SetMessageFunction(MessageToStandardError);
  try {
    return TRun(options).Execute();
  } catch (const std::exception& failure) {
    if (!options.Silent)
      WriteText(stderr, std::string("tarnwk: ") + failure.what() + "\n");
    return ExitFailure;
  }
}
