// The main window: plain Win32 controls made from one table, laid out at 96 DPI and scaled to the
// system DPI, with the system's message font.
#include "wndMain.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "VornLibFilesystem.h"
#include "VornLibHandle_win32.h"
#include "VornLibSystem.h"
#include "tarnwick_version.h"
#include "uCommandLine.h"
#include "uHostsLocation.h"
#include "uOptimize.h"
#include "uRelaunch.h"
#include "uWindowPlace.h"

#ifndef BCM_SETSHIELD
#define BCM_SETSHIELD 0x160C
#endif

namespace {

#define TARNWICK_TEXT2(x) #x
#define TARNWICK_TEXT(x) TARNWICK_TEXT2(x)
#define TARNWICK_WIDE2(x) L##x
#define TARNWICK_WIDE(x) TARNWICK_WIDE2(x)
constexpr wchar_t VersionLine[] =
    L"Tarnwick v" TARNWICK_WIDE(TARNWICK_TEXT(TARNWICK_VERSION_MAJOR)) L"." TARNWICK_WIDE(
        TARNWICK_TEXT(
            TARNWICK_VERSION_MINOR)) L"." TARNWICK_WIDE(TARNWICK_TEXT(TARNWICK_VERSION_PATCH));
constexpr wchar_t MakerLine[] = L"Made by the Tarnwick developers.";

// The client area at 96 DPI.
constexpr int ClientWidth = 472;
constexpr int ClientHeight = 166;
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD WindowExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

enum class TKind : uint8_t { GroupBox, Label, PathLabel, Button, CheckBox, DropDownList };

// Anchors: the edges of the parent a control keeps its distance to. The window has a fixed size,
// so they only record the layout's intent.
enum TAnchor : uint8_t { AnchorLeft = 1, AnchorTop = 2, AnchorRight = 4, AnchorBottom = 8 };

struct TControlSpec {
  int Id;
  const wchar_t* Name;
  TKind Kind;
  int Left, Top, Width, Height; // 96 DPI, within the parent
  int Parent;                   // the group box's id, or 0 for the window
  uint8_t Anchors;
  int TabOrder; // within the parent; -1: no tab stop
  const wchar_t* Caption;
  int Default; // check box: checked; drop-down: item index; button: 1 for the default button
};

// The window's controls, in tab order (the order of creation).
constexpr TControlSpec Controls[] = {
    {IdOptimize, L"btOptimize", TKind::Button, 360, 134, 104, 25, 0, AnchorRight | AnchorBottom, 0,
     L"Optimize", 1},
    {IdGroupFile, L"GroupBox1", TKind::GroupBox, 8, 8, 456, 41, 0,
     AnchorLeft | AnchorTop | AnchorRight, 1, L"File", 0},
    {IdFileLabel, L"lblFile", TKind::PathLabel, 10, 18, 376, 13, IdGroupFile,
     AnchorLeft | AnchorTop, -1, L"", 0},
    {IdSelectFile, L"btSelfFile", TKind::Button, 392, 11, 61, 25, IdGroupFile,
     AnchorLeft | AnchorTop, 0, L"Select...", 0},
    {IdEncodingLabel, L"Label2", TKind::Label, 8, 118, 91, 13, 0, AnchorLeft | AnchorBottom, -1,
     L"Save as:", 0},
    {IdEncoding, L"cbxEnc", TKind::DropDownList, 8, 137, 91, 21, 0, AnchorLeft | AnchorBottom, 2,
     L"", 1},
    {IdAbout, L"Button1", TKind::Button, 250, 134, 104, 25, 0, AnchorRight | AnchorBottom, 3,
     L"About", 0},
    {IdGroupOptions, L"GroupBox2", TKind::GroupBox, 8, 56, 456, 55, 0,
     AnchorLeft | AnchorTop | AnchorRight, 4, L"Options", 0},
    {IdBackup, L"cbxBackup", TKind::CheckBox, 10, 23, 215, 17, IdGroupOptions,
     AnchorLeft | AnchorTop, 0, L"Create backup", 1},
    {IdIncludeLocalhost, L"cbxIncludeLocalhost", TKind::CheckBox, 231, 23, 215, 17, IdGroupOptions,
     AnchorLeft | AnchorTop, 1, L"Include localhost entries", 1},
};

constexpr const wchar_t* EncodingItems[] = {L"ANSI", L"UTF-8", L"UTF-16 LE"};

const TControlSpec* FindSpec(int id) {
  for (const TControlSpec& spec : Controls)
    if (spec.Id == id)
      return &spec;
  return nullptr;
}

std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string U16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

std::u16string ModuleFileName() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0)
      return {};
    if (length < buffer.size())
      return std::u16string(buffer.begin(), buffer.begin() + length);
    if (buffer.size() >= 32768)
      return {};
    buffer.resize(buffer.size() * 2);
  }
}

// A window's device context, released when it goes.
class TWindowDC {
public:
  explicit TWindowDC(HWND window) : FWindow(window), FDC(GetDC(window)) {}
  ~TWindowDC() {
    if (FDC != nullptr)
      ReleaseDC(FWindow, FDC);
  }
  TWindowDC(const TWindowDC&) = delete;
  TWindowDC& operator=(const TWindowDC&) = delete;
  HDC Get() const { return FDC; }

private:
  HWND FWindow;
  HDC FDC;
};

// The height of one line of text in the font, in pixels; 0 when it cannot be measured.
int FontLineHeight(HWND window, HFONT font) {
  const TWindowDC dc(window);
  if (dc.Get() == nullptr)
    return 0;
  const HGDIOBJ old = SelectObject(dc.Get(), font);
  TEXTMETRICW metrics{};
  const bool measured = GetTextMetricsW(dc.Get(), &metrics) != FALSE;
  SelectObject(dc.Get(), old);
  return measured ? metrics.tmHeight : 0;
}

// COM for this thread, apartment-threaded as the shell's functions ask; undone when it goes.
class TComApartment {
public:
  TComApartment()
      : FResult(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~TComApartment() {
    if (SUCCEEDED(FResult))
      CoUninitialize();
  }
  TComApartment(const TComApartment&) = delete;
  TComApartment& operator=(const TComApartment&) = delete;

private:
  HRESULT FResult;
};

} // namespace

// The hourglass for as long as a click runs; the arrow comes back also when an exception passes.
class TWaitCursor {
public:
  explicit TWaitCursor(TfrmMain& form) : FForm(form) {
    FForm.FBusy = true;
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  }
  ~TWaitCursor() {
    FForm.FBusy = false;
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;

private:
  TfrmMain& FForm;
};

TfrmMain::~TfrmMain() {
  if (FHandle != nullptr)
    DestroyWindow(FHandle);
  if (FFont != nullptr)
    DeleteObject(FFont);
}

bool TfrmMain::Create(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, L"MAINICON");
  windowClass.hIconSm = windowClass.hIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = MainWindowClass;
  if (RegisterClassExW(&windowClass) == 0)
    return false;

  // The layout is made at 96 DPI; the system DPI scales it.
  const HDC screen = GetDC(nullptr);
  if (screen != nullptr) {
    FDpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  if (FDpi <= 0)
    FDpi = 96;

  RECT outer = {0, 0, MulDiv(ClientWidth, FDpi, 96), MulDiv(ClientHeight, FDpi, 96)};
  AdjustWindowRectEx(&outer, WindowStyle, FALSE, WindowExStyle);
  CreateWindowExW(WindowExStyle, MainWindowClass, MainWindowTitle, WindowStyle, CW_USEDEFAULT,
                  CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top, nullptr,
                  nullptr, instance, this);
  return FHandle != nullptr;
}

LRESULT CALLBACK TfrmMain::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TfrmMain* form = nullptr;
  if (message == WM_NCCREATE) {
    form = static_cast<TfrmMain*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    form->FHandle = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  } else {
    form = reinterpret_cast<TfrmMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  }
  if (form == nullptr)
    return DefWindowProcW(window, message, wParam, lParam);
  // No exception may cross the system's frames: whatever escapes a handler is shown here and the
  // window stays.
  try {
    return form->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& error) {
    form->ShowException(error.what());
  } catch (...) {
    form->ShowException("Unknown error.");
  }
  return 0;
}

LRESULT TfrmMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_CREATE:
    CreateControls();
    FormCreate();
    return 0;
  case WM_COMMAND:
    OnCommand(LOWORD(wParam), HIWORD(wParam));
    return 0;
  case WM_SETTINGCHANGE:
    WMSettingChange(wParam);
    break;
  case WM_SETCURSOR:
    if (FBusy) {
      SetCursor(LoadCursorW(nullptr, IDC_WAIT));
      return TRUE;
    }
    break;
  case WM_ACTIVATE:
    // The focused control is kept while another window is active.
    if (LOWORD(wParam) == WA_INACTIVE) {
      const HWND focus = GetFocus();
      if (focus != nullptr && IsChild(FHandle, focus))
        FLastFocus = focus;
    } else {
      // A control disabled meanwhile (the optimize button, for a missing file) cannot have it.
      const HWND focus =
          FLastFocus != nullptr && IsWindow(FLastFocus) && IsWindowEnabled(FLastFocus)
              ? FLastFocus
              : FirstFocusable();
      if (focus != nullptr) {
        SetFocus(focus);
        return 0;
      }
    }
    break;
  case DM_GETDEFID:
    return MAKELRESULT(IdOptimize, DC_HASDEFID);
  case WM_DESTROY:
    PostQuitMessage(0);
    return 0;
  case WM_NCDESTROY: {
    // The last message: the window's own handle still goes to the default handling.
    const HWND window = FHandle;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    FHandle = nullptr;
    return DefWindowProcW(window, message, wParam, lParam);
  }
  default:
    break;
  }
  return DefWindowProcW(FHandle, message, wParam, lParam);
}

namespace {

// How one control of the table is made: its window class, style and height in pixels.
struct TControlMake {
  const wchar_t* ClassName = L"BUTTON";
  DWORD Style = WS_CHILD | WS_VISIBLE;
  int Height = 0;
};

TControlMake ControlMake(const TControlSpec& spec, int height, int lineHeight) {
  TControlMake make;
  make.Height = height;
  if (spec.TabOrder >= 0)
    make.Style |= WS_TABSTOP;
  // Each tab stop starts a group for the arrow keys, except the second option box, which
  // shares the first one's.
  if (spec.TabOrder == 0 || spec.Parent == 0 || spec.Kind == TKind::GroupBox)
    make.Style |= WS_GROUP;
  switch (spec.Kind) {
  case TKind::GroupBox:
    make.Style = (make.Style & ~WS_TABSTOP) | BS_GROUPBOX;
    break;
  case TKind::Label:
    make.ClassName = L"STATIC";
    make.Style |= SS_LEFT | SS_NOPREFIX;
    make.Height = std::max(height, lineHeight);
    break;
  case TKind::PathLabel:
    make.ClassName = L"STATIC";
    make.Style |= SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS;
    make.Height = std::max(height, lineHeight);
    break;
  case TKind::Button:
    make.Style |= spec.Default == 1 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    break;
  case TKind::CheckBox:
    make.Style |= BS_AUTOCHECKBOX;
    break;
  case TKind::DropDownList:
    make.ClassName = L"COMBOBOX";
    make.Style |= CBS_DROPDOWNLIST | WS_VSCROLL;
    // The height given is the closed box's; the list below it has room for every item.
    make.Height += height * static_cast<int>(std::size(EncodingItems));
    break;
  }
  return make;
}

// The font, the check state and the items a control starts with.
void FillControl(HWND control, const TControlSpec& spec, HFONT font) {
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (spec.Kind == TKind::CheckBox)
    SendMessageW(control, BM_SETCHECK, spec.Default != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
  if (spec.Kind == TKind::DropDownList) {
    for (const wchar_t* item : EncodingItems)
      SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(spec.Default), 0);
  }
}

} // namespace

void TfrmMain::CreateWindowFont() {
  NONCLIENTMETRICSW metrics{};
  // The size without the field that Vista added, so that older systems accept it too.
  metrics.cbSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0))
    FFont = CreateFontIndirectW(&metrics.lfMessageFont);
  if (FFont == nullptr)
    FFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void TfrmMain::CreateControls() {
  CreateWindowFont();
  // The layout's labels are made for an 8-point font; a larger system font (Segoe UI 9 pt since
  // Vista) gets labels as high as its lines, so that no descender is cut off.
  const int lineHeight = FontLineHeight(FHandle, FFont);
  const HINSTANCE instance =
      reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(FHandle, GWLP_HINSTANCE));
  auto scale = [this](int value) { return MulDiv(value, FDpi, 96); };
  for (const TControlSpec& spec : Controls) {
    int left = spec.Left;
    int top = spec.Top;
    if (spec.Parent != 0) {
      // The groups frame their controls; the controls themselves are the window's children.
      const TControlSpec* group = FindSpec(spec.Parent);
      left += group->Left;
      top += group->Top;
    }
    const TControlMake make = ControlMake(spec, scale(spec.Height), lineHeight);
    const HWND control =
        CreateWindowExW(0, make.ClassName, spec.Caption, make.Style, scale(left), scale(top),
                        scale(spec.Width), make.Height, FHandle,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.Id)), instance, nullptr);
    if (control != nullptr)
      FillControl(control, spec, FFont);
  }
  FLastFocus = Control(IdOptimize);
}

HWND TfrmMain::FirstFocusable() const {
  // The optimize button when it is enabled, else the first enabled tab stop in tab order.
  for (const TControlSpec& spec : Controls) {
    const HWND control = Control(spec.Id);
    if (spec.TabOrder >= 0 && spec.Kind != TKind::GroupBox && control != nullptr &&
        IsWindowEnabled(control) && IsWindowVisible(control))
      return control;
  }
  return nullptr;
}

void TfrmMain::FormCreate() {
  PlaceWindow();
  // Before Windows 7 the system's own hosts file carried the localhost lines.
  CheckDlgButton(FHandle, IdIncludeLocalhost, OsFamily() < OsFamily7 ? BST_CHECKED : BST_UNCHECKED);
  SelectFile(GetHostsFileName());
  // Without a system hosts file the File box stays empty and the encoding box offers ANSI.
  if (FFileName.empty())
    SendMessageW(Control(IdEncoding), CB_SETCURSEL, 0, 0);
}

void TfrmMain::SelectFile(const std::u16string& fileName) {
  const HWND optimize = Control(IdOptimize);
  if (!FileExists(fileName)) {
    EnableWindow(optimize, FALSE);
    return;
  }
  FFileName = fileName;
  SetWindowTextW(Control(IdFileLabel), Wide(fileName).c_str());
  // The encoding box describes the file shown: the encoding its byte-order mark shows.
  const int index = BoxIndexOfEncoding(DetectFileEncoding(fileName));
  SendMessageW(Control(IdEncoding), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  if (!CanReadFile(fileName)) {
    EnableWindow(optimize, FALSE);
    return;
  }
  // The shield is judged on the system hosts file, whichever file is shown.
  if (!CanWriteFile(GetHostsFileName()))
    SetElevationRequired();
  EnableWindow(optimize, TRUE);
}

void TfrmMain::SetElevationRequired() {
  // Once on, the shield stays.
  FElevationRequired = true;
  SendMessageW(Control(IdOptimize), BCM_SETSHIELD, 0, TRUE);
}

int TfrmMain::EncodingIndex() const {
  return static_cast<int>(SendMessageW(Control(IdEncoding), CB_GETCURSEL, 0, 0));
}

void TfrmMain::OnCommand(int id, int code) {
  if (code != BN_CLICKED)
    return;
  switch (id) {
  case IdOptimize:
    // A disabled button can still be reached through the default-button key.
    if (IsWindowEnabled(Control(IdOptimize)))
      btOptimizeClick();
    break;
  case IdSelectFile:
    btSelfFileClick();
    break;
  case IdAbout:
    Button1Click();
    break;
  default:
    break;
  }
}

void TfrmMain::btSelfFileClick() {
  std::vector<wchar_t> name(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = FHandle;
  dialog.lpstrFile = name.data();
  dialog.nMaxFile = static_cast<DWORD>(name.size());
  dialog.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_ENABLESIZING | OFN_EXPLORER;
  if (GetOpenFileNameW(&dialog))
    SelectFile(U16(name.data()));
}

void TfrmMain::btOptimizeClick() {
  const TWaitCursor wait(*this);
  const bool backup = IsChecked(IdBackup);
  const bool includeLocalhost = IsChecked(IdIncludeLocalhost);
  const int index = EncodingIndex();
  if (!FElevationRequired) {
    OptimizeHostsFile(reinterpret_cast<intptr_t>(FHandle), FFileName, backup, false,
                      includeLocalhost, EncodingOfBoxIndex(index));
    return;
  }
  // The second instance gets the file too: without it, it would work on the system hosts file
  // whichever file the window shows.
  Relaunch(BuildRelaunchParameters(backup, includeLocalhost, index, FFileName));
}

void TfrmMain::Relaunch(const std::u16string& parameters) {
  const std::wstring program = Wide(ModuleFileName());
  const std::wstring wideParameters = Wide(parameters);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.hwnd = FHandle;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = wideParameters.c_str();
  info.nShow = 0;
  const bool started = ShellExecuteExW(&info) != FALSE;
  const ScopedKernelHandle process(started ? info.hProcess : nullptr);
  if (started && reinterpret_cast<INT_PTR>(info.hInstApp) > 32 && process.Get() != nullptr) {
    // The elevated instance reports through its own message boxes.
    WaitForSingleObject(process.Get(), INFINITE);
    return;
  }
  const std::wstring title = Wide(ApplicationTitle(ModuleFileName()));
  MessageBoxW(FHandle, MsgRelaunchFailed, title.c_str(), MB_OK);
}

void TfrmMain::Button1Click() {
  std::wstring text = VersionLine;
  text += L"\n";
  text += MakerLine;
  text += L"\n\n";
  text += Wide(UsageBlock);
  MessageBoxW(FHandle, text.c_str(), L"Tarnwick", MB_OK | MB_ICONINFORMATION);
}

void TfrmMain::PlaceWindow() {
  RECT window{};
  GetWindowRect(FHandle, &window);
  int edge = TaskbarEdgeBottom;
  TRect taskbar{0, 0, 0, 0};
  const bool haveTaskbar = GetTaskbarRect(edge, taskbar);
  const TWindowPlace place =
      ComputeWindowPlace(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), haveTaskbar,
                         edge, taskbar, window.right - window.left, window.bottom - window.top);
  SetWindowPos(FHandle, nullptr, place.Left, place.Top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmMain::WMSettingChange(WPARAM setting) {
  // Only a changed work area (the taskbar moved or resized) moves the window.
  if (setting == SPI_SETWORKAREA)
    PlaceWindow();
}

void TfrmMain::ShowException(const char* what) {
  std::wstring text;
  const int needed = MultiByteToWideChar(CP_ACP, 0, what, -1, nullptr, 0);
  if (needed > 1) {
    text.assign(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, what, -1, text.data(), needed);
    text.resize(static_cast<size_t>(needed - 1));
  }
  const std::wstring title = Wide(ApplicationTitle(ModuleFileName()));
  MessageBoxW(FHandle, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

int RunMainWindow(HINSTANCE instance, int showCommand) {
  // The manifest asks for the version 6 controls; they must be loaded before the first one.
  InitCommonControls();
  // ShellExecuteExW (the elevated relaunch) may hand the work to shell extensions through COM.
  const TComApartment com;
  TfrmMain form;
  if (!form.Create(instance))
    return 0;
  const HWND window = form.Handle();
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  SetFocus(form.FirstFocusable());

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (form.Handle() != nullptr && IsDialogMessageW(form.Handle(), &message))
      continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
