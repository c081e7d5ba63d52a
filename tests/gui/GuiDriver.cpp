// Drives the real main window of tarnwk.exe the way a user would, through the Win32 API: it starts
// the program without parameters, reads what the window shows, chooses a file in the open-file
// dialog, clicks the buttons and answers the message boxes. Run by scripts/test-gui.sh under
// Xvfb and Wine, in a prefix of its own; the system hosts file is the prefix's.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "TestFiles.h"
#include "TestProgram_win32.h"
#include "TestText.h"
#include "uHostsLocation.h"
#include "wndMain.h"

namespace {

namespace fs = std::filesystem;
using testing_files::LocalhostLines;
using testing_files::PlainInput;
using testing_files::PlainOutput;
using testing_files::ReadBytes;
using testing_files::StartProgram;
using testing_files::TempFolder;
using testing_files::THeldHostsFile;
using testing_files::TRegistryValueGuard;
using testing_files::Utf8Mark;
using testing_files::WineProgramKey;
using testing_files::WriteBytes;

// How long any one wait may take before the test gives up on it.
constexpr DWORD WaitLimit = 20000;
constexpr UINT TextTimeout = 5000;
constexpr int MessageTextId = 0xFFFF;

// The usage block, in the about box and after "Invalid parameters found.".
const std::string UsageText = "Usage: tarnwk.exe [/s] [/b] [/l|r] [/e:ANSI|UTF8|UTF16LE] [file]\n"
                              "\n"
                              "/s: silent\n"
                              "/b: create backup\n"
                              "/l: include localhost entries\n"
                              "/r: remove localhost entries\n"
                              "/e: save file as ANSI, UTF-8 or UTF-16 (Little endian)\n"
                              "\n"
                              "Example: tarnwk.exe /e:ANSI hosts.txt";

const std::string SystemHostsBytes = "# the system's own\r\n"
                                     "127.0.0.1 localhost\r\n"
                                     "0.0.0.0 system.example\r\n"
                                     "0.0.0.0 other.example\r\n";

// Printable ASCII of a window text: a line feed stays, every other character becomes "?".
std::string Printable(std::wstring_view text) {
  std::string result;
  for (wchar_t c : text)
    result += c == L'\n' ? '\n' : (c >= 0x20 && c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

bool WaitFor(const std::function<bool()>& condition) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition())
      return true;
    if (GetTickCount() - start > WaitLimit)
      return false;
    Sleep(20);
  }
}

// A window's text, asked of its own thread (WM_GETTEXT is carried across processes).
std::wstring Text(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, TextTimeout, &length))
    return L"<no answer>";
  std::vector<wchar_t> buffer(length + 2, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                           reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, TextTimeout,
                           &copied))
    return L"<no answer>";
  return std::wstring(buffer.data(), copied);
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

struct TDialogSearch {
  const std::function<bool(HWND)>* Accept;
  HWND Found;
};

// EnumWindows' callback: a named CALLBACK function, since on 32-bit Windows a lambda's plain
// calling convention is not the stdcall that WNDENUMPROC is.
BOOL CALLBACK CheckDialog(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TDialogSearch*>(data);
  if (ClassName(window) == L"#32770" && IsWindowVisible(window) && (*search->Accept)(window)) {
    search->Found = window;
    return FALSE;
  }
  return TRUE;
}

// The first visible message box or dialog that the test accepts.
HWND FindDialog(const std::function<bool(HWND)>& accept) {
  TDialogSearch search{&accept, nullptr};
  EnumWindows(CheckDialog, reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

HWND WaitForDialog(const std::function<bool(HWND)>& accept) {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindDialog(accept)) != nullptr; });
  return found;
}

HWND WaitForOwnedDialog(HWND owner) {
  return WaitForDialog([owner](HWND window) { return GetWindow(window, GW_OWNER) == owner; });
}

// Answers a message box with OK and waits until it has gone.
void CloseMessageBox(HWND box) {
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_TRUE(WaitFor([box] { return !IsWindow(box); })) << "the message box stays";
}

// The system hosts file of the prefix: its bytes, read-only attribute or absence for one test,
// then back as they were.
class TSystemHostsGuard {
public:
  TSystemHostsGuard() : FName(Wide(GetHostsFileName())) {
    if (fs::exists(FName))
      FOld = ReadBytes(FName);
  }
  ~TSystemHostsGuard() {
    SetFileAttributesW(FName.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (FOld)
      WriteBytes(FName, *FOld);
    else
      DeleteFileW(FName.c_str());
  }
  TSystemHostsGuard(const TSystemHostsGuard&) = delete;
  TSystemHostsGuard& operator=(const TSystemHostsGuard&) = delete;

  const std::wstring& Name() const { return FName; }
  void Write(const std::string& bytes, bool readOnly = false) {
    SetFileAttributesW(FName.c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::create_directories(fs::path(FName).parent_path());
    WriteBytes(FName, bytes);
    if (readOnly) {
      ASSERT_TRUE(SetFileAttributesW(FName.c_str(), FILE_ATTRIBUTE_READONLY));
    }
  }
  void Remove() {
    SetFileAttributesW(FName.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(FName.c_str());
    ASSERT_FALSE(fs::exists(FName));
  }

private:
  std::wstring FName;
  std::optional<std::string> FOld;
};

// One run of tarnwk.exe without parameters: started, its window found, and at the end closed
// (killed when it does not close) with its exit code checked.
class TProgramWindow {
public:
  TProgramWindow() {
    EXPECT_EQ(FindWindowW(MainWindowClass, nullptr), nullptr) << "a window is left over";
    if (!StartProgram(L"", FProcess))
      return;
    WaitFor([this] {
      const HWND window = FindWindowW(MainWindowClass, MainWindowTitle);
      if (window == nullptr || ProcessOf(window) != FProcess.dwProcessId ||
          !IsWindowVisible(window))
        return false;
      FWindow = window;
      return true;
    });
    if (FWindow == nullptr) {
      ADD_FAILURE() << "the main window did not appear";
      return;
    }
    // The window has finished its start when it answers.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(FWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, TextTimeout, &ignored);
  }
  ~TProgramWindow() {
    if (FProcess.hProcess == nullptr)
      return;
    if (FWindow != nullptr && IsWindow(FWindow))
      PostMessageW(FWindow, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(FProcess.hProcess, WaitLimit) == WAIT_OBJECT_0) {
      DWORD exitCode = 0xFFFFFFFF;
      GetExitCodeProcess(FProcess.hProcess, &exitCode);
      EXPECT_EQ(exitCode, 0u);
    } else {
      ADD_FAILURE() << "the window did not close";
      TerminateProcess(FProcess.hProcess, 1);
      WaitForSingleObject(FProcess.hProcess, WaitLimit);
    }
    CloseHandle(FProcess.hThread);
    CloseHandle(FProcess.hProcess);
  }
  TProgramWindow(const TProgramWindow&) = delete;
  TProgramWindow& operator=(const TProgramWindow&) = delete;

  HWND Window() const { return FWindow; }
  HWND Control(int id) const { return GetDlgItem(FWindow, id); }
  DWORD ProcessId() const { return FProcess.dwProcessId; }
  bool Checked(int id) const { return SendMessageW(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  std::wstring EncodingText() const {
    const HWND box = Control(IdEncoding);
    const LRESULT index = SendMessageW(box, CB_GETCURSEL, 0, 0);
    if (index < 0)
      return L"<none>";
    const LRESULT length = SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0)
      return L"<none>";
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(buffer.data()));
    return buffer.data();
  }
  // A click on a button whose handler may open a modal window: posted, so the driver goes on.
  void Click(int id) const { PostMessageW(Control(id), BM_CLICK, 0, 0); }
  // Waits until the window answers again (after a modal run or a wait for another process).
  bool Responds() const {
    return WaitFor([this] {
      DWORD_PTR ignored = 0;
      return SendMessageTimeoutW(FWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 200, &ignored) != 0;
    });
  }

  // Chooses a file through the open-file dialog, as a user types its name and presses Open.
  void ChooseFile(const std::wstring& fileName) const {
    Click(IdSelectFile);
    const HWND dialog = WaitForOwnedDialog(FWindow);
    ASSERT_NE(dialog, nullptr) << "no open-file dialog";
    // The file name box: a combo box in newer dialogs (cmb13), an edit box in older ones (edt1).
    HWND nameBox = GetDlgItem(dialog, 0x47C);
    if (nameBox == nullptr)
      nameBox = GetDlgItem(dialog, 0x480);
    ASSERT_NE(nameBox, nullptr) << "no file name box";
    SendMessageW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(fileName.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    EXPECT_TRUE(WaitFor([dialog] { return !IsWindow(dialog); })) << "the dialog stays";
    EXPECT_TRUE(Responds());
  }

  // Saves what the window looks like on screen as a 24-bit BMP file.
  void SaveScreenshot(const std::wstring& fileName) const {
    RECT rect{};
    GetWindowRect(FWindow, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const size_t rowSize = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    const size_t imageSize = rowSize * static_cast<size_t>(height);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    header.bfSize = static_cast<DWORD>(header.bfOffBits + imageSize);
    std::string file(reinterpret_cast<const char*>(&header), sizeof(header));
    file.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(BITMAPINFOHEADER));
    file.append(static_cast<const char*>(bits), imageSize);
    WriteBytes(fileName, file);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
  }

private:
  PROCESS_INFORMATION FProcess = {};
  HWND FWindow = nullptr;
};

// A control's rectangle in the window's client coordinates.
RECT ClientRectOf(HWND window, HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

class MainWindow : public testing::Test {
protected:
  TSystemHostsGuard FHosts;
};

TEST_F(MainWindow, ShowsTheSystemHostsFileAndItsEncoding) {
  // The encoding box follows the file shown: the system hosts file at start, then the file the
  // user picks. Windows 7 and later keep their localhost lines out of the hosts file: the
  // include-localhost box starts unchecked there and checked on Vista and earlier.
  const std::string utf16Bytes("\xFF\xFE#\0\r\0\n\0", 8);
  struct TRow {
    const char* Name;
    std::string Bytes;
    const wchar_t* Encoding;
    std::string Chosen; // the file picked afterwards
    const wchar_t* ChosenEncoding;
    const wchar_t* Version; // what Wine reports to the program; empty: its default, 7 SP1
    bool Localhost;
  };
  const TRow rows[] = {
      {"no byte-order mark, then a UTF-8 file, Vista", SystemHostsBytes, L"ANSI",
       Utf8Mark + PlainInput, L"UTF-8", L"vista", true},
      {"UTF-8 mark, then a UTF-16 file, 7", Utf8Mark + SystemHostsBytes, L"UTF-8", utf16Bytes,
       L"UTF-16 LE", L"", false},
      {"UTF-16 mark, then a file without mark, 8", utf16Bytes, L"UTF-16 LE", PlainInput, L"ANSI",
       L"win8", false},
  };
  TRegistryValueGuard version(HKEY_CURRENT_USER, WineProgramKey, L"Version");
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    if (*row.Version != L'\0')
      version.SetText(row.Version);
    else
      version.Delete();
    FHosts.Write(row.Bytes);
    TProgramWindow program;
    ASSERT_NE(program.Window(), nullptr);
    EXPECT_EQ(Printable(Text(program.Window())), "Tarnwick");
    EXPECT_EQ(Printable(Text(program.Control(IdFileLabel))), Printable(FHosts.Name()));
    EXPECT_EQ(Printable(program.EncodingText()), Printable(row.Encoding));
    EXPECT_TRUE(IsWindowEnabled(program.Control(IdOptimize)));
    EXPECT_TRUE(program.Checked(IdBackup));
    EXPECT_EQ(program.Checked(IdIncludeLocalhost), row.Localhost);
    // The system hosts file is untouched.
    EXPECT_EQ(ReadBytes(FHosts.Name()), row.Bytes);

    if (row.Encoding == std::wstring(L"ANSI")) {
      const char* shot = std::getenv("TARNWICK_GUI_SCREENSHOT");
      if (shot != nullptr && *shot != '\0') {
        Sleep(300); // let the last paint reach the screen
        program.SaveScreenshot(std::wstring(shot, shot + std::strlen(shot)));
      }
    }

    TempFolder folder;
    const fs::path chosen = folder.File("chosen.txt");
    WriteBytes(chosen, row.Chosen);
    program.ChooseFile(chosen.wstring());
    EXPECT_EQ(Printable(Text(program.Control(IdFileLabel))), Printable(chosen.wstring()));
    EXPECT_EQ(Printable(program.EncodingText()), Printable(row.ChosenEncoding));
    EXPECT_EQ(ReadBytes(chosen), row.Chosen);
    EXPECT_EQ(ReadBytes(FHosts.Name()), row.Bytes);
  }
}

TEST_F(MainWindow, HasTheLayoutAndTabOrder) {
  FHosts.Write(SystemHostsBytes);
  TProgramWindow program;
  const HWND window = program.Window();
  ASSERT_NE(window, nullptr);

  // A fixed single border, system menu and minimize button; no maximize button.
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
            WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
  EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
  EXPECT_EQ(GetWindowLongW(program.Control(IdFileLabel), GWL_STYLE) & SS_TYPEMASK, SS_LEFT);
  EXPECT_NE(GetWindowLongW(program.Control(IdFileLabel), GWL_STYLE) & SS_PATHELLIPSIS, 0);
  EXPECT_EQ(GetWindowLongW(program.Control(IdEncoding), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_EQ(SendMessageW(program.Control(IdEncoding), CB_GETCOUNT, 0, 0), 3);

  // Centred on the screen: this desktop has no taskbar.
  RECT outer{};
  GetWindowRect(window, &outer);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);

  // A changed work area centres it again; other settings changes leave it where it is.
  struct TSettingRow {
    const char* Name;
    WPARAM Setting;
    bool Centred;
  };
  const TSettingRow settings[] = {{"wallpaper", SPI_SETDESKWALLPAPER, false},
                                  {"work area", SPI_SETWORKAREA, true}};
  for (const TSettingRow& row : settings) {
    SCOPED_TRACE(row.Name);
    SetWindowPos(window, nullptr, 10, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_SETTINGCHANGE, row.Setting, 0, SMTO_ABORTIFHUNG, TextTimeout,
                        &ignored);
    RECT moved{};
    GetWindowRect(window, &moved);
    EXPECT_EQ(moved.left, row.Centred ? outer.left : 10);
    EXPECT_EQ(moved.top, row.Centred ? outer.top : 20);
  }

  // At 96 DPI the layout is exactly the designed one.
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (dpi == 96) {
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 472);
    EXPECT_EQ(client.bottom, 166);
    struct TPlace {
      int Id;
      int Left, Top, Width, Height; // Height 0: not compared
    };
    const TPlace places[] = {
        {IdGroupFile, 8, 8, 456, 41},      {IdFileLabel, 18, 26, 376, 13},
        {IdSelectFile, 400, 19, 61, 25},   {IdGroupOptions, 8, 56, 456, 55},
        {IdBackup, 18, 79, 215, 17},       {IdIncludeLocalhost, 239, 79, 215, 17},
        {IdEncodingLabel, 8, 118, 91, 13}, {IdEncoding, 8, 137, 91, 0},
        {IdAbout, 250, 134, 104, 25},      {IdOptimize, 360, 134, 104, 25},
    };
    for (const TPlace& place : places) {
      SCOPED_TRACE(place.Id);
      const RECT rect = ClientRectOf(window, program.Control(place.Id));
      EXPECT_EQ(rect.left, place.Left);
      EXPECT_EQ(rect.top, place.Top);
      EXPECT_EQ(rect.right - rect.left, place.Width);
      if (place.Height != 0) {
        EXPECT_EQ(rect.bottom - rect.top, place.Height);
      }
    }
  }

  // The optimize button has the focus; Tab goes through the controls in their order.
  GUITHREADINFO thread{};
  thread.cbSize = sizeof(thread);
  ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread));
  EXPECT_EQ(thread.hwndFocus, program.Control(IdOptimize));
  const int order[] = {IdOptimize, IdSelectFile,       IdEncoding, IdAbout,
                       IdBackup,   IdIncludeLocalhost, IdOptimize};
  HWND control = program.Control(IdOptimize);
  for (size_t i = 1; i < std::size(order); ++i) {
    control = GetNextDlgTabItem(window, control, FALSE);
    EXPECT_EQ(GetDlgCtrlID(control), order[i]) << "tab stop " << i;
  }
}

// The system's message font for one test, then back as it was.
class TMessageFontGuard {
public:
  TMessageFontGuard() {
    FSaved.cbSize = sizeof(FSaved);
    FRead = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(FSaved), &FSaved, 0) != FALSE;
  }
  ~TMessageFontGuard() {
    if (FRead)
      SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof(FSaved), &FSaved, 0);
  }
  TMessageFontGuard(const TMessageFontGuard&) = delete;
  TMessageFontGuard& operator=(const TMessageFontGuard&) = delete;

  // Sets the message font; its height in pixels of one line, or 0 when it could not be set.
  int Set(const wchar_t* face, LONG height) {
    if (!FRead)
      return 0;
    NONCLIENTMETRICSW metrics = FSaved;
    metrics.lfMessageFont.lfHeight = height;
    wcsncpy(metrics.lfMessageFont.lfFaceName, face, LF_FACESIZE - 1);
    if (!SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
      return 0;
    const HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    const HDC screen = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(screen, font);
    TEXTMETRICW text{};
    GetTextMetricsW(screen, &text);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    DeleteObject(font);
    return text.tmHeight;
  }

private:
  NONCLIENTMETRICSW FSaved{};
  bool FRead = false;
};

// Since Vista the message font is Segoe UI 9 pt, larger than the 8-point font the layout is
// made for; Tahoma at 13 pixels, with lines of about the same height, stands in for it here.
TEST_F(MainWindow, LabelsHoldALineOfALargerSystemFont) {
  FHosts.Write(SystemHostsBytes);
  TMessageFontGuard font;
  const int lineHeight = font.Set(L"Tahoma", -13);
  ASSERT_GT(lineHeight, 13) << "the message font could not be made larger";
  TProgramWindow program;
  ASSERT_NE(program.Window(), nullptr);
  for (const int id : {IdFileLabel, IdEncodingLabel}) {
    SCOPED_TRACE(id);
    const RECT rect = ClientRectOf(program.Window(), program.Control(id));
    EXPECT_GE(rect.bottom - rect.top, lineHeight);
  }
  EXPECT_EQ(ReadBytes(FHosts.Name()), SystemHostsBytes);
}

TEST_F(MainWindow, MissingHostsFileDisablesOptimize) {
  FHosts.Remove();
  TProgramWindow program;
  ASSERT_NE(program.Window(), nullptr);
  EXPECT_EQ(Printable(Text(program.Control(IdFileLabel))), "");
  EXPECT_FALSE(IsWindowEnabled(program.Control(IdOptimize)));
  EXPECT_EQ(Printable(program.EncodingText()), "ANSI");
  // The disabled button cannot have the focus: the first enabled control in tab order has it.
  GUITHREADINFO thread{};
  thread.cbSize = sizeof(thread);
  ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(program.Window(), nullptr), &thread));
  EXPECT_EQ(thread.hwndFocus, program.Control(IdSelectFile));

  // Choosing an existing file enables the button.
  TempFolder folder;
  const fs::path file = folder.File("hosts.txt");
  WriteBytes(file, PlainInput);
  program.ChooseFile(file.wstring());
  EXPECT_EQ(Printable(Text(program.Control(IdFileLabel))), Printable(file.wstring()));
  EXPECT_TRUE(IsWindowEnabled(program.Control(IdOptimize)));
  EXPECT_EQ(ReadBytes(file), PlainInput);
  EXPECT_FALSE(fs::exists(FHosts.Name()));
}

TEST_F(MainWindow, OptimizesTheChosenFileInProcess) {
  FHosts.Write(SystemHostsBytes);
  TempFolder folder;
  const fs::path file = folder.File("chosen hosts.txt");
  WriteBytes(file, PlainInput);

  TProgramWindow program;
  ASSERT_NE(program.Window(), nullptr);
  program.ChooseFile(file.wstring());
  ASSERT_EQ(Printable(Text(program.Control(IdFileLabel))), Printable(file.wstring()));

  // Backup on, localhost lines off, ANSI (the file has no mark).
  program.Click(IdOptimize);
  const HWND box = WaitForOwnedDialog(program.Window());
  ASSERT_NE(box, nullptr) << "no message box";
  EXPECT_EQ(Printable(Text(box)), "Tarnwick");
  EXPECT_EQ(Printable(Text(GetDlgItem(box, MessageTextId))),
            "The hosts file has been optimized: 7 lines before, 2 after.");
  CloseMessageBox(box);
  EXPECT_TRUE(program.Responds());

  EXPECT_EQ(ReadBytes(file), PlainOutput);
  EXPECT_EQ(ReadBytes(folder.File("chosen hosts.txt.bak")), PlainInput);
  EXPECT_EQ(ReadBytes(FHosts.Name()), SystemHostsBytes);
}

TEST_F(MainWindow, AboutShowsVersionAndUsage) {
  FHosts.Write(SystemHostsBytes);
  TProgramWindow program;
  ASSERT_NE(program.Window(), nullptr);
  program.Click(IdAbout);
  const HWND box = WaitForOwnedDialog(program.Window());
  ASSERT_NE(box, nullptr) << "no about box";
  EXPECT_EQ(Printable(Text(box)), "Tarnwick");
  const std::string text = Printable(Text(GetDlgItem(box, MessageTextId)));
  EXPECT_EQ(text.substr(0, text.find('\n')), "Tarnwick v" TARNWICK_VERSION);
  const size_t blank = text.find("\n\n");
  ASSERT_NE(blank, std::string::npos);
  EXPECT_GT(blank, text.find('\n')) << "no maker line";
  EXPECT_EQ(text.substr(blank + 2), UsageText);
  CloseMessageBox(box);
  EXPECT_TRUE(program.Responds());
  EXPECT_EQ(ReadBytes(FHosts.Name()), SystemHostsBytes);
}

TEST_F(MainWindow, RelaunchesElevatedForTheChosenFile) {
  // The current user may not write the system hosts file: the optimize button asks for
  // elevation, and the elevated instance gets the choices and the file shown. The read-only
  // attribute stands in for the missing right as Wine's access check treats it (on Windows it is
  // the file's security that refuses the ordinary user).
  FHosts.Write(SystemHostsBytes, true);
  TempFolder folder;
  const fs::path file = folder.File("my hosts.txt");
  WriteBytes(file, PlainInput);

  TProgramWindow program;
  ASSERT_NE(program.Window(), nullptr);
  EXPECT_EQ(Printable(Text(program.Control(IdFileLabel))), Printable(FHosts.Name()));
  EXPECT_TRUE(IsWindowEnabled(program.Control(IdOptimize)));
  program.ChooseFile(file.wstring());
  ASSERT_EQ(Printable(Text(program.Control(IdFileLabel))), Printable(file.wstring()));

  // Backup off, localhost lines on, UTF-8.
  SendMessageW(program.Control(IdBackup), BM_SETCHECK, BST_UNCHECKED, 0);
  SendMessageW(program.Control(IdIncludeLocalhost), BM_SETCHECK, BST_CHECKED, 0);
  SendMessageW(program.Control(IdEncoding), CB_SETCURSEL, 1, 0);
  program.Click(IdOptimize);

  // The second instance reports through its own message box, owned by no window.
  const DWORD windowProcess = program.ProcessId();
  const HWND box = WaitForDialog([windowProcess](HWND window) {
    return ProcessOf(window) != windowProcess && GetWindow(window, GW_OWNER) == nullptr &&
           Text(window) == L"Tarnwick";
  });
  ASSERT_NE(box, nullptr) << "no message box of a second instance";
  EXPECT_EQ(Printable(Text(GetDlgItem(box, MessageTextId))),
            "The hosts file has been optimized: 7 lines before, 5 after.");
  // The window waits for the second instance and owns no message box meanwhile.
  EXPECT_EQ(FindDialog([&program](HWND window) {
              return GetWindow(window, GW_OWNER) == program.Window();
            }),
            nullptr);
  CloseMessageBox(box);
  EXPECT_TRUE(program.Responds());

  EXPECT_EQ(ReadBytes(file), Utf8Mark + "\r\n" + LocalhostLines + PlainOutput);
  EXPECT_FALSE(fs::exists(folder.File("my hosts.txt.bak")));
  EXPECT_EQ(ReadBytes(FHosts.Name()), SystemHostsBytes);
}

// A command-line run tells what went wrong in a message box, unless it is silent: an error that
// escapes the optimize operation (here the load: another program holds the file without sharing)
// ends it with exit code 1; invalid parameters show the usage, and silent counts only when "/s"
// stood before the invalid parameter. A silent run that showed a box would wait for a click
// nobody gives.
TEST(CommandLineRun, ShowsABoxUnlessSilent) {
  struct TRow {
    const char* Name;
    const wchar_t* Options;    // before the file name
    bool Held = false;         // another program holds the file
    const char* Box = nullptr; // the box's text, or how it begins (Held); none: no box
    DWORD ExitCode = 0;
  };
  const std::string usage = "Invalid parameters found.\n\n" + UsageText;
  const TRow rows[] = {
      {.Name = "an escaping error, messages on",
       .Options = L"/b",
       .Held = true,
       .Box = "Unexpected error: ",
       .ExitCode = 1},
      {.Name = "an escaping error, silent", .Options = L"/s /b", .Held = true, .ExitCode = 1},
      {.Name = "usage, silent before the invalid parameter",
       .Options = L"/s /x",
       .Held = false,
       .ExitCode = 0},
      {.Name = "usage, silent after the invalid parameter",
       .Options = L"/x /s",
       .Held = false,
       .Box = usage.c_str(),
       .ExitCode = 0},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    std::unique_ptr<THeldHostsFile> held;
    if (row.Held) {
      held = std::make_unique<THeldHostsFile>(file);
      ASSERT_TRUE(held->Held());
    } else {
      WriteBytes(file, PlainInput);
    }
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(StartProgram(std::wstring(row.Options) + L" \"" + file.wstring() + L"\"", process));
    // The run ends, or shows a box first.
    HWND box = nullptr;
    EXPECT_TRUE(WaitFor([&] {
      box =
          FindDialog([&process](HWND window) { return ProcessOf(window) == process.dwProcessId; });
      return box != nullptr || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
    }));
    EXPECT_EQ(box != nullptr, row.Box != nullptr);
    if (box != nullptr) {
      const std::string text = Printable(Text(GetDlgItem(box, MessageTextId)));
      if (row.Box == nullptr)
        ADD_FAILURE() << "a box showed: " << text;
      else if (row.Held)
        EXPECT_EQ(text.rfind(row.Box, 0), 0u) << text;
      else
        EXPECT_EQ(text, row.Box);
      EXPECT_EQ(Printable(Text(box)), "Tarnwick");
      CloseMessageBox(box);
    }
    DWORD exitCode = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, WaitLimit) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the run did not end";
      TerminateProcess(process.hProcess, 2);
      WaitForSingleObject(process.hProcess, WaitLimit);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, row.ExitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    held.reset();
    EXPECT_EQ(ReadBytes(file), PlainInput);
    EXPECT_EQ(testing_files::FolderContent(folder.Path()), std::vector<std::string>{"hosts.txt"});
  }
}

} // namespace
