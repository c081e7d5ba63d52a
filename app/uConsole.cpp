// The console front end: options, outcomes in the words of a command-line tool, exit status.
#include "uConsole.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "VornLibStrUtils.h"
#include "uHostsLocation.h"
#include "uMessages.h"
#include "uOptimize.h"

#include "tarnwick_version.h"

namespace {

std::string Usage(const TConsoleWords& w) {
  const std::string& p = w.Program;
  const std::string pad(p.size(), ' ');
  return "Usage: " + p + " [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [--crlf|--lf] [--dedupe]\n" +
         "       " + pad + " [-o OUTPUT] [FILE]\n" + "       " + p +
         " -n|--check [--dedupe] [-l|-r] [-e ENC] [--crlf|--lf] [FILE]\n"
         "\n"
         "Rewrites a hosts file into a compact form: comments, blank lines and localhost names "
         "go,\n"
         "and the names of entries that share an address are gathered onto lines of at most nine.\n"
         "\n"
         "  -s, --silent             print no messages\n"
         "  -b, --backup             copy the file to be rewritten to the same name + \".bak\" "
         "first\n"
         "  -l, --include-localhost  write \"127.0.0.1 localhost\" and \"::1 localhost\" at the "
         "top\n" +
         w.LocalhostNote + "  -r, --remove-localhost   write no localhost lines\n" + w.RemoveNote +
         "  -e, --encoding=ENC       save as ansi (US-ASCII), utf8 or utf16le with a byte-order\n" +
         w.EncodingNote +
         "  -o, --output=OUTPUT      write the result to OUTPUT (\"-\": standard output) and "
         "leave\n"
         "                           FILE unchanged\n"
         "      --crlf, --lf         end lines with CR LF or with LF (default: as the input's "
         "first\n"
         "                           line does; " +
         w.NoBreakLineEnd +
         " when it has no line break)\n"
         "  -n, --check              change nothing: report what the run would keep, drop and\n"
         "                           change (names the merge makes resolve to another address)\n"
         "      --dedupe             write a name listed again under the same address once\n"
         "      --help               show this help and exit\n"
         "      --version            show the version and exit\n"
         "\n"
         "FILE defaults to " +
         w.DefaultFile +
         "; \"-\" reads standard input and, without -o, writes the\n"
         "result to standard output. Errors go to standard error, one line each; so does a "
         "warning\n"
         "when the merge makes names resolve to another address.\n"
         "Exit status: 0 optimized, checked or nothing to do, 1 failure, 2 invalid usage.\n";
}

struct TOptions {
  std::u16string Input; // empty: the system hosts file
  bool HasInput = false;
  std::u16string Output;
  bool HasOutput = false;
  bool Silent = false;
  bool Backup = false;
  bool IncludeLocalhost = false;
  bool Check = false;  // report what the run would do, change nothing
  bool Dedupe = false; // a name listed again under the same address is written once
  SaveEncoding Encoding = EncodingAuto;
  TLineBreak LineBreak = TLineBreak::None; // as the input's first line break
};

enum class TAction { Run, Help, Version, Invalid };

bool ParseEncoding(std::u16string_view value, SaveEncoding& encoding) {
  if (SameTextAscii(value, u"ansi"))
    encoding = EncodingAnsi;
  else if (SameTextAscii(value, u"utf8"))
    encoding = EncodingUtf8;
  else if (SameTextAscii(value, u"utf16le"))
    encoding = EncodingUtf16LE;
  else
    return false;
  return true;
}

// The options: a short letter (or a code past every character) and a long name each.
constexpr int OptionDedupe = 256, OptionHelp = 257, OptionVersion = 258, OptionCrLf = 259,
              OptionLf = 260;
struct TOption {
  std::string_view Name;
  int Code;
  bool TakesValue;
};
constexpr TOption Options[] = {
    {"silent", 's', false},
    {"backup", 'b', false},
    {"include-localhost", 'l', false},
    {"remove-localhost", 'r', false},
    {"encoding", 'e', true},
    {"output", 'o', true},
    {"check", 'n', false},
    {"dedupe", OptionDedupe, false},
    {"crlf", OptionCrLf, false},
    {"lf", OptionLf, false},
    {"help", OptionHelp, false},
    {"version", OptionVersion, false},
};

const TOption* ShortOption(char16_t letter) {
  for (const TOption& option : Options)
    if (option.Code < 256 && option.Code == letter)
      return &option;
  return nullptr;
}

bool Starts(std::string_view name, std::u16string_view prefix) {
  if (prefix.size() > name.size())
    return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (prefix[i] != static_cast<unsigned char>(name[i]))
      return false;
  return true;
}

// Reads the parameters into options, as the GNU tools read theirs: options and operands in any
// order, short options grouped ("-sb"), a short option's value attached or the next parameter, a
// long option's after "=" or the next parameter, a long option shortened to any unambiguous
// start, "--" ending the options. --help and --version act at once; anything invalid sets error
// to a one-line reason.
class TParser {
public:
  TParser(const TConsolePlatform& platform, TOptions& options, std::string& error)
      : FPlatform(platform), FOptions(options), FError(error) {}

  TAction Parse(const std::vector<std::u16string>& parameters) {
    bool operandsOnly = false;
    for (size_t i = 0; i < parameters.size(); ++i) {
      const std::u16string& p = parameters[i];
      TAction action = TAction::Run;
      if (operandsOnly || p.size() < 2 || p[0] != u'-') {
        const std::u16string help = Utf8ToUtf16(FPlatform.Words().HelpWord);
        if (!operandsOnly && !help.empty() && p == help)
          return TAction::Help;
        if (!TakeOperand(p))
          return TAction::Invalid;
        continue;
      }
      if (p == u"--") {
        operandsOnly = true;
        continue;
      }
      if (p[1] == u'-')
        action = Long(parameters, i);
      else
        action = Short(parameters, i);
      if (action != TAction::Run)
        return action;
    }
    return TAction::Run;
  }

private:
  TAction Invalid(std::string reason) {
    FError = std::move(reason);
    return TAction::Invalid;
  }

  std::string Text(std::u16string_view text) const { return FPlatform.NameText(text); }

  TAction Long(const std::vector<std::u16string>& parameters, size_t& i) {
    const std::u16string& p = parameters[i];
    const std::u16string_view body = std::u16string_view(p).substr(2);
    const size_t equals = body.find(u'=');
    const std::u16string_view name = body.substr(0, equals);
    const TOption* found = nullptr;
    std::string possibilities;
    int matches = 0;
    for (const TOption& option : Options) {
      if (name.empty() || !Starts(option.Name, name))
        continue;
      if (option.Name.size() == name.size()) { // an exact name wins
        found = &option;
        matches = 1;
        break;
      }
      found = &option;
      ++matches;
      possibilities += " '--" + std::string(option.Name) + "'";
    }
    if (matches > 1)
      return Invalid("option '" + Text(p) + "' is ambiguous; possibilities:" + possibilities);
    if (found == nullptr)
      return Invalid("unrecognized option '" + Text(p) + "'");
    const std::string longName = "--" + std::string(found->Name);
    std::u16string value;
    if (!found->TakesValue) {
      if (equals != std::u16string_view::npos)
        return Invalid("option '" + longName + "' doesn't allow an argument");
    } else if (equals != std::u16string_view::npos) {
      value = body.substr(equals + 1);
    } else if (i + 1 < parameters.size()) {
      value = parameters[++i];
    } else {
      return Invalid("option '" + longName + "' requires an argument");
    }
    return Act(found->Code, value);
  }

  TAction Short(const std::vector<std::u16string>& parameters, size_t& i) {
    const std::u16string p = parameters[i];
    for (size_t k = 1; k < p.size(); ++k) {
      const TOption* option = ShortOption(p[k]);
      if (option == nullptr)
        return Invalid("invalid option -- '" + Text(p.substr(k, 1)) + "'");
      std::u16string value;
      if (option->TakesValue) {
        if (k + 1 < p.size())
          value = p.substr(k + 1);
        else if (i + 1 < parameters.size())
          value = parameters[++i];
        else
          return Invalid("option requires an argument -- '" + Text(p.substr(k, 1)) + "'");
        return Act(option->Code, value);
      }
      if (const TAction action = Act(option->Code, value); action != TAction::Run)
        return action;
    }
    return TAction::Run;
  }

  // The operand FILE; there is at most one.
  bool TakeOperand(const std::u16string& operand) {
    if (FOptions.HasInput) {
      FError = "extra operand '" + Text(operand) + "'";
      return false;
    }
    // An unset variable must not stand for the system's file.
    if (TrimControl(operand).empty()) {
      FError = "the file name is empty";
      return false;
    }
    FOptions.Input = operand;
    FOptions.HasInput = true;
    return true;
  }

  // Sets what one option says.
  TAction Act(int code, const std::u16string& value) {
    switch (code) {
    case OptionHelp:
      return TAction::Help;
    case OptionVersion:
      return TAction::Version;
    case 's':
      FOptions.Silent = true;
      break;
    case 'b':
      FOptions.Backup = true;
      break;
    case 'l':
      FOptions.IncludeLocalhost = true;
      break;
    case 'r':
      FOptions.IncludeLocalhost = false;
      break;
    case 'n':
      FOptions.Check = true;
      break;
    case OptionDedupe:
      FOptions.Dedupe = true;
      break;
    case OptionCrLf:
      FOptions.LineBreak = TLineBreak::CrLf;
      break;
    case OptionLf:
      FOptions.LineBreak = TLineBreak::Lf;
      break;
    case 'e':
      if (!ParseEncoding(value, FOptions.Encoding))
        return Invalid("invalid encoding '" + Text(value) + "' (use ansi, utf8 or utf16le)");
      break;
    default: // 'o'
      if (value.empty())
        return Invalid("the output name is empty");
      FOptions.Output = value;
      FOptions.HasOutput = true;
      break;
    }
    return TAction::Run;
  }

  const TConsolePlatform& FPlatform;
  TOptions& FOptions;
  std::string& FError;
};

// The file FILE stands for: a blank name means the system hosts file.
std::u16string ResolveInput(const std::u16string& name) {
  return TrimControl(name).empty() ? GetHostsFileName() : name;
}

class TRun {
public:
  TRun(TConsolePlatform& platform, const TOptions& options)
      : FPlatform(platform), FOptions(options), FProgram(platform.Words().Program) {}

  int Execute() {
    if (FOptions.Check)
      return Check();
    if (!FOptions.HasOutput && FOptions.Input != u"-")
      return Run(TOptimizeSource{FOptions.Input}, TOptimizeTarget{});
    if (FOptions.Output != u"-" && FOptions.Input != u"-") {
      const std::u16string input = ResolveInput(FOptions.Input);
      const std::u16string& output = FOptions.Output;
      if (FPlatform.SameFile(input, output)) {
        // Another name of the file (a hard link) would keep the old text while the file is
        // replaced under its own: as cp does, the run refuses.
        if (FPlatform.OtherNameOf(input, output)) {
          Fail(Name(output), "it and " + Name(input) + " are the same file; nothing was written");
          return ExitFailure;
        }
        return Run(TOptimizeSource{input}, TOptimizeTarget{});
      }
    }

    std::string bytes;
    TOptimizeSource source{FOptions.Input};
    if (!ReadStandardInput(source, bytes))
      return ExitFailure;
    if (FOptions.Output == u"-") {
      TOptimizeTarget target;
      target.Kind = TOptimizeTarget::Writer;
      target.FileName = u"standard output";
      target.Write = [this](std::string_view piece) { return FPlatform.WriteResult(piece); };
      return Run(source, target);
    }
    TOptimizeTarget target;
    target.Kind = TOptimizeTarget::OtherFile;
    // A bare name gets its folder spelled out, so that the write check has a folder to test.
    target.FileName = FPlatform.WithFolder(FOptions.Output);
    return Run(source, target);
  }

private:
  TConsolePlatform& FPlatform;
  const TOptions& FOptions;
  const std::string FProgram;
  mutable bool FFailed = false; // a failure was told
  mutable bool FInto = false;   // the result goes to another file

  std::string Name(std::u16string_view name) const { return FPlatform.NameText(name); }
  std::string Shell(std::u16string_view name) const { return FPlatform.ShellWord(name); }

  // With "-", the source is standard input, read whole; false when it could not be read.
  bool ReadStandardInput(TOptimizeSource& source, std::string& bytes) const {
    if (FOptions.Input != u"-")
      return true;
    if (!FPlatform.ReadInput(bytes)) {
      Fail("-", FPlatform.LastErrorText());
      return false;
    }
    source.Bytes = &bytes;
    return true;
  }

  // One line on standard error: "PROG: NAME: reason".
  void Fail(std::string_view name, std::string_view reason) const {
    FFailed = true;
    if (!FOptions.Silent)
      FPlatform.WriteErr(FProgram + ": " + std::string(name) + ": " + std::string(reason) + "\n");
  }

  // Says an outcome in the words of a command-line tool: information on standard output (none
  // while the result goes there), every failure as one line on standard error.
  void Tell(const TOptimizeNotice& notice) const {
    const std::string name = notice.File.empty() ? std::string("-") : Name(notice.File);
    const std::string reason = Utf16ToUtf8(notice.Reason);
    const std::string kept = Name(notice.Kept);
    switch (notice.Outcome) {
    case TOptimizeOutcome::Optimized:
      if (!FOptions.Silent && FOptions.Output != u"-")
        FPlatform.WriteOut(FInto ? "The hosts file has been optimized into " + name + ".\n"
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
        FPlatform.WriteOut(
            Utf16ToUtf8(MsgNothingToDo.substr(0, MsgNothingToDo.size() - 1)) + "; " + name +
            (FOptions.IncludeLocalhost ? " holds the localhost lines only.\n" : " is empty.\n"));
      else if (FOptions.Output == u"-")
        FPlatform.WriteErr(Utf16ToUtf8(MsgNothingToDo) + "\n");
      else
        FPlatform.WriteOut(Utf16ToUtf8(MsgNothingToDo) + "\n");
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
                            kept + " (put it back with: " +
                            FPlatform.RestoreCommand(notice.Kept, notice.File) +
                            ", or delete it; then run again)");
    case TOptimizeOutcome::NotRegular:
      return Fail(name, "not a regular file");
    case TOptimizeOutcome::BackupFailed:
      return Fail(name, "cannot make the backup " + name + ".bak: " + reason);
    case TOptimizeOutcome::NoPrivileges:
      return Fail(name, FPlatform.NoPrivilegesText(
                            notice.File, reason.empty() ? std::string("cannot be read") : reason));
    case TOptimizeOutcome::CannotSave:
      if (!notice.KeptOld.empty())
        return Fail(name, "the swap stopped half-way: the new content is in " + kept +
                              ", the old content in " + Name(notice.KeptOld));
      if (notice.Failure == TSaveFailure::NoCopyBeside)
        return Fail(name, "no copy of its old content can be kept beside it (" + reason +
                              "); nothing was written");
      if (notice.Failure == TSaveFailure::DanglingLink)
        return Fail(name, "a symbolic link to a file that does not exist; not written");
      return Fail(name, reason.empty() ? std::string("cannot be written") : reason);
    default: // missing, unreadable
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
    options.LineBreakWithoutInput = FPlatform.LineBreakWithoutInput();
    options.Dedupe = FOptions.Dedupe;
    options.LineRules = FPlatform.LineRules(); // the lines as the system reads them
    options.Notice = [this](const TOptimizeNotice& notice) { Tell(notice); };
    if (!FOptions.Silent) {
      options.Waiting = [this](const std::u16string& file) {
        FPlatform.WriteErr(FProgram + ": " + Name(file) +
                           ": another program holds a lock on it; waiting up to 10 seconds\n");
      };
      options.LeftAlone = [this](const std::u16string& first, size_t count) {
        std::string more;
        if (count > 1)
          more = " and " + std::to_string(count - 1) + " more";
        FPlatform.WriteErr(FProgram + ": left alone: " + Name(first) + more +
                           " (not of this program's making)\n");
      };
    }
    return options;
  }

  // A platform error that passed the operation (a file that cannot be read or written on the
  // way) is told with the name of the file it concerns.
  template <typename Body> int Guarded(std::u16string_view file, Body body) const {
    const std::string name = Name(file);
    try {
      body();
    } catch (const TOldContentKept& failure) {
      // The file keeps its place (it may be bind-mounted): its old bytes are written back into it.
      Fail(name, SystemErrorUtf8(failure.code()) + "; its old content is kept in " +
                     Name(failure.Copy()) +
                     " (put it back with: " + FPlatform.RestoreCommand(failure.Copy(), file) + ")");
    } catch (const std::system_error& failure) {
      Fail(name, SystemErrorUtf8(failure.code()));
    }
    return FFailed ? ExitFailure : ExitSuccess;
  }

  static std::string SystemErrorUtf8(const std::error_code& error) {
    return Utf16ToUtf8(SystemErrorText(error));
  }

  // The file the messages name: the input as given, the system's file for none.
  std::u16string InputName() const {
    return FOptions.Input == u"-" ? FOptions.Input : ResolveInput(FOptions.Input);
  }

  int Run(const TOptimizeSource& source, const TOptimizeTarget& target) const {
    TOptimizeOptions options = Options();
    const std::u16string input = InputName();
    if (!FOptions.Silent)
      options.Moved = [this, input](size_t moved) {
        FPlatform.WriteErr(FProgram + ": the merge makes " + std::to_string(moved) +
                           (moved == 1 ? " name resolve" : " names resolve") +
                           " to another address; \"" + FProgram + " --check " + Shell(input) +
                           "\" shows them\n");
      };
    FInto = target.Kind == TOptimizeTarget::OtherFile;
    return Guarded(target.Kind == TOptimizeTarget::OtherFile ? target.FileName : input,
                   [&] { OptimizeHosts(0, source, target, options); });
  }

  // The report goes to standard output, every message to standard error; nothing is written.
  int Check() const {
    std::string bytes;
    TOptimizeSource source{FOptions.Input};
    if (!ReadStandardInput(source, bytes))
      return ExitFailure;
    std::string report;
    return Guarded(InputName(), [&] {
      if (CheckHosts(0, source, Options(), report) == TOptimizeOutcome::Checked &&
          !FPlatform.WriteOut(report))
        Fail("standard output", FPlatform.LastErrorText());
    });
  }
};

} // namespace

int RunConsoleProgram(TConsolePlatform& platform, const std::vector<std::u16string>& parameters) {
  const TConsoleWords& words = platform.Words();
  TOptions options;
  options.IncludeLocalhost = platform.IncludeLocalhostByDefault();
  std::string error;
  // --help and --version fail when their text cannot be written (a full disk, a closed pipe).
  const auto show = [&](std::string_view text) {
    if (platform.WriteOut(text))
      return ExitSuccess;
    platform.WriteErr(words.Program + ": standard output: " + platform.LastErrorText() + "\n");
    return ExitFailure;
  };
  switch (TParser(platform, options, error).Parse(parameters)) {
  case TAction::Help:
    return show(Usage(words));
  case TAction::Version:
    return show(words.Program + " " TARNWICK_VERSION_STRING "\n");
  case TAction::Invalid:
    platform.WriteErr(words.Program + ": " + error + "\nTry '" + words.Program +
                      " --help' for more information.\n");
    return ExitUsage;
  case TAction::Run:
    break;
  }

  // Read from standard input, the result goes to standard output unless -o says otherwise.
  if (options.Input == u"-" && !options.HasOutput) {
    options.Output = u"-";
    options.HasOutput = true;
  }
  // Every message the operation might show otherwise goes to standard error: a console program
  // opens no window.
  struct TMessagesToStandardError {
    TMessageFunction Before;
    explicit TMessagesToStandardError(TConsolePlatform& platform)
        : Before(SetMessageFunction([&platform](intptr_t, std::u16string_view text, TMessageIcon) {
            platform.WriteErr(Utf16ToUtf8(text) + "\n");
          })) {}
    ~TMessagesToStandardError() { SetMessageFunction(Before); }
  } messages(platform);
  try {
    return TRun(platform, options).Execute();
  } catch (const std::exception& failure) {
    if (!options.Silent)
      platform.WriteErr(words.Program + ": " + failure.what() + "\n");
    return ExitFailure;
  }
}
