// Messages on POSIX: information goes to standard output, errors to standard error, one line per
// message (the text's own line feeds are kept). There is no window to own them.
#include <cstdio>
#include <string>

#include "VornLibCodePage.h"
#include "uMessages.h"

void ShowPlatformMessage(intptr_t /*owner*/, std::u16string_view text, TMessageIcon icon) {
  std::FILE* stream = icon == TMessageIcon::Error ? stderr : stdout;
  std::string line = Utf16ToUtf8(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}
