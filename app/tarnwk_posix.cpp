// tarnwk: the Linux command-line front end of the hosts engine.
//
//   tarnwk [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [--crlf|--lf] [-o OUTPUT] [FILE]
//
// In place (no -o, FILE not "-") it runs the optimize operation that the Windows program runs.
// With -o, or with "-" (standard input), it reads the input, optimizes it in memory and writes the
// result to OUTPUT ("-": standard output), leaving the input as it was.
#include <cerrno>
#include <cstdio>
#include <exception>
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
    "Usage: tarnwk [-s] [-b] [-l|-r] [-e ansi|utf8|utf16le] [-o OUTPUT] [FILE]\n"
    "\n"
    "Rewrites a hosts file into a compact form: comments, blank lines and localhost names go,\n"
    "and the names of entries that share an address are gathered onto lines of at most nine.\n"
    "\n"
    "  -s, --silent             print no messages\n"
    "  -b, --backup             copy the file to be rewritten to the same name + \".bak\" first\n"
    "  -l, --include-localhost  write \"127.0.0.1 localhost\" and \"::1 localhost\" at the top\n"
    "  -r, --remove-localhost   write no localhost lines (the default)\n"
    "  -e, --encoding=ENC       save as ansi (US-ASCII), utf8 or utf16le with a byte-order\n"
    "                           mark (default: as the input was: its byte-order mark, else\n"
    "                           UTF-8, or Latin-1 where the input is not valid UTF-8)\n"
    "  -o, --output=OUTPUT      write the result to OUTPUT (\"-\": standard output) and leave\n"
    "                           FILE unchanged\n"
    "      --crlf, --lf         end lines with CR LF or with LF (default: as the input's first\n"
    "                           line does; LF when it has no line break)\n"
    "      --help               show this help and exit\n"
    "      --version            show the version and exit\n"
    "\n"
    "FILE defaults to /etc/hosts; \"-\" reads standard input and, without -o, writes the\n"
    "result to standard output. While the result goes to standard output, messages go to\n"
    "standard error.\n"
    "Exit status: 0 optimized or nothing to do, 1 failure, 2 invalid usage.\n";

struct TOptions {
  std::string Input; // empty: the system hosts file
  bool HasInput = false;
  std::string Output;
  bool HasOutput = false;
  bool Silent = false;
  bool Backup = false;
  bool IncludeLocalhost = false;
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

// Reads the arguments into options. --help and --version act at once; anything invalid sets
// error to a one-line reason.
TAction ParseArguments(int argc, char** argv, TOptions& options, std::string& error) {
  bool optionsEnded = false;

  const auto takeOperand = [&](std::string_view operand) {
    if (options.HasInput) {
      error = "extra operand '" + std::string(operand) + "'";
      return false;
    }
    options.Input = operand;
    options.HasInput = true;
    return true;
  };
  const auto takeValue = [&](char letter, std::string_view value) {
    if (letter == 'e') {
      if (!ParseEncoding(value, options.Encoding)) {
        error = "invalid encoding '" + std::string(value) + "' (use ansi, utf8 or utf16le)";
        return false;
      }
      return true;
    }
    if (value.empty()) {
      error = "the output name is empty";
      return false;
    }
    options.Output = value;
    options.HasOutput = true;
    return true;
  };

  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      if (!takeOperand(argument))
        return TAction::Invalid;
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }

    if (argument.substr(0, 2) == "--") {
      const size_t equals = argument.find('=');
      const std::string_view name = argument.substr(
          2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
      const bool hasValue = equals != std::string_view::npos;
      const std::string_view attached = hasValue ? argument.substr(equals + 1) : "";

      char flag = 0;
      if (name == "silent")
        flag = 's';
      else if (name == "backup")
        flag = 'b';
      else if (name == "include-localhost")
        flag = 'l';
      else if (name == "remove-localhost")
        flag = 'r';
      else if (name == "help")
        flag = 'h';
      else if (name == "version")
        flag = 'v';
      else if (name == "encoding")
        flag = 'e';
      else if (name == "output")
        flag = 'o';
      else if (name == "crlf")
        flag = 'c';
      else if (name == "lf")
        flag = 'f';
      else {
        error = "unrecognized option '" + std::string(argument) + "'";
        return TAction::Invalid;
      }

      if (flag == 'e' || flag == 'o') {
        if (hasValue) {
          if (!takeValue(flag, attached))
            return TAction::Invalid;
        } else if (i + 1 < argc) {
          if (!takeValue(flag, argv[++i]))
            return TAction::Invalid;
        } else {
          error = "option '--" + std::string(name) + "' requires an argument";
          return TAction::Invalid;
        }
        continue;
      }
      if (hasValue) {
        error = "option '--" + std::string(name) + "' doesn't allow an argument";
        return TAction::Invalid;
      }
      switch (flag) {
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
      case 'c':
        options.LineBreak = TLineBreak::CrLf;
        break;
      case 'f':
        options.LineBreak = TLineBreak::Lf;
        break;
      case 'h':
        return TAction::Help;
      default:
        return TAction::Version;
      }
      continue;
    }

    // One or more short options: -s -b -l -r, combined as in -sb; -e and -o take the rest of
    // the argument or, when nothing is left, the next argument.
    for (size_t k = 1; k < argument.size(); ++k) {
      const char letter = argument[k];
      switch (letter) {
      case 's':
        options.Silent = true;
        continue;
      case 'b':
        options.Backup = true;
        continue;
      case 'l':
        options.IncludeLocalhost = true;
        continue;
      case 'r':
        options.IncludeLocalhost = false;
        continue;
      case 'e':
      case 'o':
        break;
      default:
        error = std::string("invalid option -- '") + letter + "'";
        return TAction::Invalid;
      }
      if (k + 1 < argument.size()) {
        if (!takeValue(letter, argument.substr(k + 1)))
          return TAction::Invalid;
      } else if (i + 1 < argc) {
        if (!takeValue(letter, argv[++i]))
          return TAction::Invalid;
      } else {
        error = std::string("option requires an argument -- '") + letter + "'";
        return TAction::Invalid;
      }
      break;
    }
  }
  return TAction::Run;
}

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The engine's names are UTF-16; the system's are bytes, here taken as UTF-8.
std::u16string ToName(const std::string& name) {
  return Utf8ToUtf16(name);
}

// The file FILE stands for: a blank name means the system hosts file.
std::u16string ResolveInput(const std::string& name) {
  const std::u16string text = ToName(name);
  return TrimControl(text).empty() ? GetHostsFileName() : text;
}

bool SameFile(const std::u16string& a, const std::u16string& b) {
  if (a == b)
    return true;
  struct stat first {};
  struct stat second {};
  return ::stat(Utf16ToUtf8(a).c_str(), &first) == 0 &&
         ::stat(Utf16ToUtf8(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
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
    if (!FOptions.HasOutput && FOptions.Input != "-")
      return Run(TOptimizeSource{ToName(FOptions.Input)}, TOptimizeTarget{});
    if (FOptions.Output != "-" && FOptions.Input != "-") {
      const std::u16string input = ResolveInput(FOptions.Input);
      if (SameFile(input, ToName(FOptions.Output)))
        return Run(TOptimizeSource{input}, TOptimizeTarget{});
    }

    std::string bytes;
    TOptimizeSource source{ToName(FOptions.Input)};
    if (FOptions.Input == "-") {
      if (!ReadDescriptor(STDIN_FILENO, bytes)) {
        if (!FOptions.Silent)
          ShowMessage(0, MsgCannotOpen, TMessageIcon::Information);
        return ExitFailure;
      }
      source.Bytes = &bytes;
    }
    if (FOptions.Output == "-") {
      TOptimizeTarget target;
      target.Kind = TOptimizeTarget::Writer;
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

  int Run(const TOptimizeSource& source, const TOptimizeTarget& target) const {
    TOptimizeOptions options;
    options.Backup = FOptions.Backup;
    options.Silent = FOptions.Silent;
    options.IncludeLocalhost = FOptions.IncludeLocalhost;
    options.Encoding = FOptions.Encoding;
    options.LineBreak = FOptions.LineBreak;
    switch (OptimizeHosts(0, source, target, options)) {
    case TOptimizeOutcome::Optimized:
    case TOptimizeOutcome::NothingToDo:
      return ExitSuccess;
    default:
      return ExitFailure;
    }
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
  switch (ParseArguments(argc, argv, options, error)) {
  case TAction::Help:
    WriteText(stdout, Usage);
    return ExitSuccess;
  case TAction::Version:
    WriteText(stdout, "tarnwk " TARNWICK_VERSION_STRING "\n");
    return ExitSuccess;
  case TAction::Invalid:
    WriteText(stderr, "tarnwk: " + error + "\n" + std::string(Usage));
    return ExitUsage;
  case TAction::Run:
    break;
  }

  // Read from standard input, the result goes to standard output unless -o says otherwise.
  if (options.Input == "-" && !options.HasOutput) {
    options.Output = "-";
    options.HasOutput = true;
  }
  if (options.Output == "-")
    SetMessageFunction(MessageToStandardError);
  try {
    return TRun(options).Execute();
  } catch (const std::exception& failure) {
    if (!options.Silent)
      WriteText(stderr, std::string("tarnwk: ") + failure.what() + "\n");
    return ExitFailure;
  }
}
