// tarnwkc.exe: the Windows program for scripts, the console front end that the Linux program has,
// over Win32. It never opens a window or a message box and never asks for elevation. FILE
// defaults to the system hosts file, found as the window finds it; the localhost lines are
// written before Windows 7, as tarnwk.exe writes them; lines are read as Windows reads them.
// Messages reach a console as wide text, whatever its code page; redirected, they are UTF-8.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include <shellapi.h>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "VornLibStrUtils.h"
#include "VornLibSystem.h"
#include "uConsole.h"
#include "uHostsLocation.h"

namespace {

std::u16string Wide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// Windows compares names without regard to the case of their letters.
bool SameName(std::u16string_view a, std::u16string_view b) {
  std::wstring x(a.begin(), a.end()), y(b.begin(), b.end());
  CharUpperBuffW(x.data(), static_cast<DWORD>(x.size()));
  CharUpperBuffW(y.data(), static_cast<DWORD>(y.size()));
  return x == y;
}

std::u16string FullName(std::u16string_view name) {
  return SystemPathForm(name);
}

class TWindowsConsole final : public TConsolePlatform {
public:
  const TConsoleWords& Words() const override {
    static const TConsoleWords words{
        .Program = "tarnwkc",
        .LocalhostNote = "                           (the default before Windows 7)\n",
        .RemoveNote =
            "                           (the default from Windows 7 on, whose DNS client\n"
            "                           answers localhost itself)\n",
        .EncodingNote = "                           mark (default: as the input was: its "
                        "byte-order mark, else\n"
                        "                           the system code page it was read in)\n",
        .NoBreakLineEnd = "CR LF",
        .DefaultFile = "the system hosts file",
        .HelpWord = "/?",
    };
    return words;
  }

  std::string NameText(std::u16string_view name) const override { return Utf16ToUtf8(name); }

  // Quoted for cmd and PowerShell where it holds a blank or a character they treat apart.
  std::string ShellWord(std::u16string_view name) const override {
    const std::string text = Utf16ToUtf8(name);
    bool plain = !text.empty();
    for (const char c : text)
      plain = plain && static_cast<unsigned char>(c) > ' ' &&
              std::string_view("&()[]{}^=;!'+,`~%$@#<>|\"").find(c) == std::string_view::npos;
    return plain ? text : "\"" + text + "\"";
  }

  std::string RestoreCommand(std::u16string_view copy, std::u16string_view file) const override {
    return "copy /b /y " + ShellWord(copy) + " " + ShellWord(file);
  }

  std::u16string WithFolder(std::u16string_view name) const override {
    // A device (NUL) is no file of the folder.
    if (name.find_first_of(u"\\/:") != std::u16string_view::npos ||
        FileKindOf(name) == TFileKind::Other)
      return std::u16string(name);
    return u".\\" + std::u16string(name);
  }

  bool IncludeLocalhostByDefault() const override { return OsFamily() < OsFamily7; }
  TLineRules LineRules() const override { return TLineRules::Windows; }
  TLineBreak LineBreakWithoutInput() const override { return TLineBreak::CrLf; }

  bool WriteOut(std::string_view text) override { return WriteText(STD_OUTPUT_HANDLE, text); }
  bool WriteErr(std::string_view text) override { return WriteText(STD_ERROR_HANDLE, text); }
  bool WriteResult(std::string_view bytes) override {
    return WriteBytes(GetStdHandle(STD_OUTPUT_HANDLE), bytes);
  }

  bool ReadInput(std::string& bytes) override {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
      return true; // no standard input: nothing to read
    char buffer[65536];
    for (;;) {
      DWORD moved = 0;
      if (!ReadFile(input, buffer, sizeof buffer, &moved, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF)
          return true; // the writer is done
        FError = error;
        return false;
      }
      if (moved == 0)
        return true;
      bytes.append(buffer, moved);
    }
  }

  std::string LastErrorText() const override {
    return Utf16ToUtf8(
        SystemErrorText(std::error_code(static_cast<int>(FError), std::system_category())));
  }

  // Changing the system's own file needs an elevated prompt, which a script must open itself.
  std::string NoPrivilegesText(std::u16string_view file, std::string_view reason) const override {
    std::string text(reason);
    if (SameName(FullName(file), FullName(GetHostsFileName())))
      text += " Changing the system hosts file needs administrator rights: run tarnwkc from a "
              "prompt opened with \"Run as administrator\".";
    return text;
  }

  bool SameFile(std::u16string_view a, std::u16string_view b) const override {
    if (SameName(FullName(a), FullName(b)))
      return true;
    TFileGuard::TIdentity first, second;
    return ReadFileIdentity(a, first) && ReadFileIdentity(b, second) &&
           first.Volume == second.Volume && first.File == second.File;
  }

  bool OtherNameOf(std::u16string_view file, std::u16string_view name) const override {
    return !SameName(FullName(file), FullName(name)) && FileLinkCount(file) > 1;
  }

private:
  // A console gets wide text (its code page cannot spoil it); a file or a pipe gets UTF-8.
  bool WriteText(DWORD which, std::string_view text) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
      return true; // nowhere to write: nobody to tell
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode))
      return WriteBytes(handle, text);
    const std::u16string wide = Utf8ToUtf16(text);
    const wchar_t* at = reinterpret_cast<const wchar_t*>(wide.data());
    size_t left = wide.size();
    while (left > 0) {
      DWORD written = 0;
      if (!WriteConsoleW(handle, at, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
        FError = GetLastError();
        return false;
      }
      at += written;
      left -= written;
    }
    return true;
  }

  bool WriteBytes(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
      DWORD written = 0;
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 20));
      if (!WriteFile(handle, bytes.data(), piece, &written, nullptr) || written == 0) {
        FError = GetLastError();
        return false;
      }
      bytes.remove_prefix(written);
    }
    return true;
  }

  DWORD FError = 0;
};

// The parameters as Windows programs split their command line (CommandLineToArgvW): an empty
// parameter ("") stays, so that an unset variable is never taken for no FILE; no wildcard is
// expanded.
std::vector<std::u16string> Parameters() {
  std::vector<std::u16string> parameters;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr)
    return parameters;
  for (int i = 1; i < count; ++i)
    parameters.push_back(Wide(words[i]));
  LocalFree(words);
  return parameters;
}

} // namespace

int main() {
  // No dialog of the system's either (a drive without a disk, a crash): nobody may be there to
  // close it, as in a scheduled task.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // The system facts are gathered before anything else and kept for the whole run.
  const TSystemProbe probe;
  TWindowsConsole console;
  return RunConsoleProgram(console, Parameters());
}
