// The start-up probe without Windows: no Windows release, so the version record stays empty and
// the code is 0; the name is the kernel's (uname). There is no taskbar.
#include "VornLibSystem.h"

#include <string_view>
#include <sys/utsname.h>

namespace {

std::u16string Ascii(std::string_view text) {
  std::u16string result;
  for (const char c : text)
    result += static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'?';
  return result;
}

// The first two numbers of a release such as "6.1.0-18-amd64"; the whole text when it does not
// start with a number.
std::string_view ShortRelease(std::string_view release) {
  size_t end = 0;
  const auto skipDigits = [&] {
    const size_t start = end;
    while (end < release.size() && release[end] >= '0' && release[end] <= '9')
      ++end;
    return end > start;
  };
  if (!skipDigits())
    return release;
  if (end < release.size() && release[end] == '.') {
    ++end;
    if (!skipDigits())
      --end;
  }
  return release.substr(0, end);
}

// The kernel's name and short release, e.g. "Linux 6.1".
std::u16string KernelName() {
  utsname names{};
  if (uname(&names) != 0)
    return u"POSIX";
  std::u16string name = Ascii(names.sysname);
  const std::string_view release = ShortRelease(names.release);
  if (!release.empty())
    name += u' ' + Ascii(release);
  return name;
}

} // namespace

void ProbePlatform(TOsRecord&, TOsVersion& version) {
  version.Name = KernelName();
}

bool GetTaskbarRect(int&, TRect&) {
  return false;
}
