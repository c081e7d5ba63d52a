// The Windows way of showing a message: a standard message box with an OK button.
#include "uMessages.h"

#include <windows.h>

void ShowPlatformMessage(intptr_t owner, std::u16string_view text, TMessageIcon icon) {
  const std::wstring wideText(text.begin(), text.end());
  UINT type = MB_OK;
  switch (icon) {
  case TMessageIcon::Error:
    type |= MB_ICONERROR;
    break;
  case TMessageIcon::Information:
    type |= MB_ICONINFORMATION;
    break;
  case TMessageIcon::None:
    break;
  }
  MessageBoxW(reinterpret_cast<HWND>(owner), wideText.c_str(), L"Tarnwick", type);
}
