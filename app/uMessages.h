// The one seam through which the program's outcomes reach the user. The real one shows a message
// box (Windows) or prints (POSIX: information to standard output, errors to standard error);
// tests put a recorder in its place.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum class TMessageIcon : uint8_t { None, Error, Information };

// owner: the window that owns the message box (0 for none).
using TMessageFunction =
    std::function<void(intptr_t owner, std::u16string_view text, TMessageIcon icon)>;

// Shows one message with an OK button and the caption "Tarnwick".
void ShowMessage(intptr_t owner, std::u16string_view text, TMessageIcon icon);
// Replaces the function that shows messages; returns the previous one. An empty function puts
// the real one back.
TMessageFunction SetMessageFunction(TMessageFunction function);
// The platform's own way of showing a message.
void ShowPlatformMessage(intptr_t owner, std::u16string_view text, TMessageIcon icon);
