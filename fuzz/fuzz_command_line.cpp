// Fuzz target: the Windows program's command line through SplitParameters and ParseCommandLine.
//
// Input: the first byte gives the include-localhost default (lowest bit); the rest is the command
// line as UTF-16, two bytes (little-endian) per character.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VornLibStrUtils.h"
#include "uCommandLine.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The options the parameters stand for, read the plain way; false when one is invalid.
bool Expect(const std::vector<std::u16string>& parameters, bool includeLocalhost,
            TCommandLineOptions& options) {
  options = TCommandLineOptions{};
  options.IncludeLocalhost = includeLocalhost;
  for (size_t i = 0; i < parameters.size(); ++i) {
    const std::u16string& p = parameters[i];
    if (p[0] != u'/') {
      if (i + 1 != parameters.size())
        return false;
      options.FileName = p;
    } else if (p == u"/s") {
      options.Silent = true;
    } else if (p == u"/b") {
      options.Backup = true;
    } else if (p.size() >= 2 && p[1] == u'l') {
      options.IncludeLocalhost = true;
    } else if (p.size() >= 2 && p[1] == u'r') {
      options.IncludeLocalhost = false;
    } else if (p.size() >= 2 && p[1] == u'e') {
      const size_t colon = p.find(u':');
      const std::u16string value = colon == std::u16string::npos ? p : p.substr(colon + 1);
      if (SameTextAscii(value, std::u16string_view(u"utf8")))
        options.Encoding = EncodingUtf8;
      else if (SameTextAscii(value, std::u16string_view(u"ansi")))
        options.Encoding = EncodingAnsi;
      else if (SameTextAscii(value, std::u16string_view(u"utf16le")))
        options.Encoding = EncodingUtf16LE;
      else
        return false;
    } else {
      return false;
    }
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const bool includeLocalhost = (data[0] & 1) != 0;
  std::u16string line;
  for (size_t i = 1; i + 1 < size; i += 2)
    line.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));

  const std::vector<std::u16string> parameters = SplitParameters(line);
  for (const std::u16string& p : parameters) {
    Check(!p.empty(), "no empty parameter");
    for (const char16_t c : p) {
      Check(c != u'\0', "no NUL in a parameter");
      Check(c != u'"', "quotes are dropped");
    }
  }

  // Every parameter quoted again, after a program name, splits into the same parameters.
  std::u16string requoted = u"\"tarnwk.exe\"";
  for (const std::u16string& p : parameters)
    requoted += u" \"" + p + u"\"";
  Check(SplitParameters(requoted) == parameters, "quoted parameters split the same again");

  TCommandLineOptions options;
  options.FileName = u"stale";
  options.Backup = options.Silent = true;
  options.Encoding = EncodingUtf16LE;
  const bool ok = ParseCommandLine(parameters, includeLocalhost, options);
  TCommandLineOptions expected;
  const bool expectedOk = Expect(parameters, includeLocalhost, expected);
  Check(ok == expectedOk, "parameters accepted as the usage says");
  if (ok) {
    if (!options.FileName.empty()) {
      Check(options.FileName == parameters.back(), "the file name is the last parameter");
      Check(options.FileName[0] != u'/', "the file name is no option");
    }
    Check(options.FileName == expected.FileName, "file name");
    Check(options.Silent == expected.Silent, "silent");
    Check(options.Backup == expected.Backup, "backup");
    Check(options.IncludeLocalhost == expected.IncludeLocalhost, "include localhost");
    Check(options.Encoding == expected.Encoding, "encoding");
  }
  return 0;
}
