// The main window, TfrmMain: the file to optimize, the two options, the save encoding, and the
// optimize and about buttons. Windows only.
#pragma once

#include <string>

#include <windows.h>

// Control identifiers (also read by the window's test driver).
enum TMainControlId : int {
  IdOptimize = 101,
  IdGroupFile = 102,
  IdFileLabel = 103,
  IdSelectFile = 104,
  IdEncodingLabel = 105,
  IdEncoding = 106,
  IdAbout = 107,
  IdGroupOptions = 108,
  IdBackup = 109,
  IdIncludeLocalhost = 110,
};

inline constexpr wchar_t MainWindowClass[] = L"TfrmMain";
inline constexpr wchar_t MainWindowTitle[] = L"Tarnwick";
inline constexpr wchar_t MsgRelaunchFailed[] = L"Failed to optimize file.";

class TfrmMain {
public:
  TfrmMain() = default;
  ~TfrmMain();
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  // Registers the class and creates the window, hidden; false when that fails.
  bool Create(HINSTANCE instance);
  HWND Handle() const { return FHandle; }

  // Handlers and methods.
  void FormCreate();
  void SelectFile(const std::u16string& fileName);
  void btSelfFileClick();
  void btOptimizeClick();
  void Button1Click();
  void PlaceWindow();
  void WMSettingChange(WPARAM setting);
  // The control that takes the focus: the first enabled one in tab order.
  HWND FirstFocusable() const;

private:
  friend class TWaitCursor;
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  // The system's message font (the stock GUI font where it cannot be had).
  void CreateWindowFont();
  void OnCommand(int id, int code);
  void Relaunch(const std::u16string& parameters);
  void ShowException(const char* what);
  HWND Control(int id) const { return GetDlgItem(FHandle, id); }
  bool IsChecked(int id) const { return IsDlgButtonChecked(FHandle, id) == BST_CHECKED; }
  int EncodingIndex() const;
  void SetElevationRequired();

  HWND FHandle = nullptr;
  HFONT FFont = nullptr;
  int FDpi = 96;
  std::u16string FFileName; // what the File box shows
  bool FElevationRequired = false;
  bool FBusy = false;
  HWND FLastFocus = nullptr;
};

// Creates the main window, shows it with the optimize button focused (when it is enabled) and runs
// the message loop until the window is closed. The result is the process exit code: 0.
int RunMainWindow(HINSTANCE instance, int showCommand);
