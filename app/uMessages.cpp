// The message seam: one replaceable function between the program's outcomes and the user.
#include "uMessages.h"

#include <utility>

namespace {

TMessageFunction& CurrentFunction() {
  static TMessageFunction function = ShowPlatformMessage;
  return function;
}

} // namespace

void ShowMessage(intptr_t owner, std::u16string_view text, TMessageIcon icon) {
  const TMessageFunction& function = CurrentFunction();
  if (function)
    function(owner, text, icon);
  else
    ShowPlatformMessage(owner, text, icon);
}

TMessageFunction SetMessageFunction(TMessageFunction function) {
  TMessageFunction previous = std::move(CurrentFunction());
  CurrentFunction() = function ? std::move(function) : TMessageFunction(ShowPlatformMessage);
  return previous;
}
