// Records the messages the program would show, in place of the real message function.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "uMessages.h"

struct TRecordedMessage {
  intptr_t Owner;
  std::u16string Text;
  TMessageIcon Icon;
};

// Puts a recorder in place of the real message function while it lives.
class MessageRecorder {
public:
  MessageRecorder() {
    FPrevious =
        SetMessageFunction([this](intptr_t owner, std::u16string_view text, TMessageIcon icon) {
          Messages.push_back({owner, std::u16string(text), icon});
        });
  }
  ~MessageRecorder() { SetMessageFunction(std::move(FPrevious)); }
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  std::vector<TRecordedMessage> Messages;

private:
  TMessageFunction FPrevious;
};
