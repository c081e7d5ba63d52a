// tarnwk: the Linux program, the console front end over POSIX. Names are bytes (a name that is
// not UTF-8 opens and is shown as typed), lines are read as glibc reads them, and FILE defaults
// to /etc/hosts with the localhost lines written, since glibc resolves localhost only through it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "uConsole.h"

namespace {

// The name with every link and "." or ".." resolved; the name itself when it cannot be.
std::string CanonicalName(std::u16string_view name) {
  const std::string bytes = Utf16ToFileName(name);
  char* real = ::realpath(bytes.c_str(), nullptr);
  if (real == nullptr)
    return bytes;
  std::string resolved(real);
  std::free(real);
  return resolved;
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

class TPosixConsole final : public TConsolePlatform {
public:
  const TConsoleWords& Words() const override {
    static const TConsoleWords words{
        .Program = "tarnwk",
        .LocalhostNote = "                           (the default: on Linux only this file "
                         "resolves localhost)\n",
        .RemoveNote = "",
        .EncodingNote =
            "                           mark (default: as the input was: its byte-order mark, "
            "else\n"
            "                           UTF-8, or Latin-1 where the input is not valid UTF-8)\n",
        .NoBreakLineEnd = "LF",
        .DefaultFile = "/etc/hosts",
        .HelpWord = "",
    };
    return words;
  }

  std::string NameText(std::u16string_view name) const override { return Utf16ToFileName(name); }

  // Quoted for a POSIX shell unless it is plain.
  std::string ShellWord(std::u16string_view name) const override {
    const std::string text = Utf16ToFileName(name);
    bool plain = !text.empty();
    for (const char c : text)
      plain =
          plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '/' || c == '-' || c == '_' || c == '+' || c == ',');
    if (plain)
      return text;
    std::string quoted = "'";
    for (const char c : text)
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }

  // cat rather than mv: a bind-mounted file must keep its place.
  std::string RestoreCommand(std::u16string_view copy, std::u16string_view file) const override {
    return "cat " + ShellWord(copy) + " > " + ShellWord(file);
  }

  std::u16string WithFolder(std::u16string_view name) const override {
    if (name.find(u'/') != std::u16string_view::npos)
      return std::u16string(name);
    return u"./" + std::u16string(name);
  }

  bool IncludeLocalhostByDefault() const override { return true; }
  TLineRules LineRules() const override { return TLineRules::Glibc; }
  TLineBreak LineBreakWithoutInput() const override { return TLineBreak::Lf; }

  bool WriteOut(std::string_view text) override { return Write(stdout, text); }
  bool WriteErr(std::string_view text) override { return Write(stderr, text); }
  bool WriteResult(std::string_view bytes) override {
    const bool written = WriteDescriptor(STDOUT_FILENO, bytes);
    FError = written ? 0 : errno;
    return written;
  }

  bool ReadInput(std::string& bytes) override {
    char buffer[65536];
    for (;;) {
      const ssize_t moved = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (moved < 0 && errno == EINTR)
        continue;
      if (moved < 0) {
        FError = errno;
        return false;
      }
      if (moved == 0)
        return true;
      bytes.append(buffer, static_cast<size_t>(moved));
    }
  }

  std::string LastErrorText() const override { return std::strerror(FError); }

  bool SameFile(std::u16string_view a, std::u16string_view b) const override {
    if (a == b)
      return true;
    struct stat first {};
    struct stat second {};
    return ::stat(Utf16ToFileName(a).c_str(), &first) == 0 &&
           ::stat(Utf16ToFileName(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
  }

  bool OtherNameOf(std::u16string_view file, std::u16string_view name) const override {
    return CanonicalName(file) != CanonicalName(name) && FileLinkCount(file) > 1;
  }

private:
  // False when the text could not be written whole.
  bool Write(std::FILE* stream, std::string_view text) {
    const size_t written = std::fwrite(text.data(), 1, text.size(), stream);
    const bool whole = std::fflush(stream) == 0 && written == text.size();
    FError = whole ? 0 : errno;
    return whole;
  }

  int FError = 0;
};

} // namespace

int main(int argc, char** argv) {
  std::vector<std::u16string> parameters;
  for (int i = 1; i < argc; ++i)
    parameters.push_back(FileNameToUtf16(argv[i]));
  TPosixConsole console;
  return RunConsoleProgram(console, parameters);
}
