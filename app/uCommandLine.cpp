// The command line's portable half: splitting the process command line and reading the options.
#include "uCommandLine.h"

#include "VornLibStrUtils.h"

namespace {

// Reads one item of the command line from pos on: blanks, control characters and pairs of
// adjacent double quotes before it are passed over; it ends at the next character of code 32 or
// below outside double quotes. A double quote opens a stretch that runs to the next one or to the
// end of the line; the quotes are dropped. Returns the position after the item.
size_t ReadItem(std::u16string_view line, size_t pos, std::u16string& item) {
  item.clear();
  const size_t length = line.size();
  for (;;) {
    while (pos < length && line[pos] <= u' ')
      ++pos;
    if (pos + 1 < length && line[pos] == u'"' && line[pos + 1] == u'"')
      pos += 2;
    else
      break;
  }
  while (pos < length && line[pos] > u' ') {
    if (line[pos] == u'"') {
      ++pos;
      while (pos < length && line[pos] != u'"')
        item += line[pos++];
      if (pos < length)
        ++pos; // the closing quote
    } else {
      item += line[pos++];
    }
  }
  return pos;
}

} // namespace

std::vector<std::u16string> SplitParameters(std::u16string_view commandLine) {
  // The line ends at its first NUL, as the process's own command line does.
  const size_t nul = commandLine.find(u'\0');
  if (nul != std::u16string_view::npos)
    commandLine = commandLine.substr(0, nul);

  std::vector<std::u16string> parameters;
  std::u16string item;
  size_t pos = ReadItem(commandLine, 0, item); // the program itself
  for (;;) {
    pos = ReadItem(commandLine, pos, item);
    // An empty item only comes at the end of the line (nothing left, or a lone opening quote).
    if (item.empty())
      break;
    parameters.push_back(item);
  }
  return parameters;
}

bool ParseCommandLine(const std::vector<std::u16string>& parameters, bool includeLocalhostDefault,
                      TCommandLineOptions& options) {
  options.FileName.clear();
  options.Backup = false;
  options.Silent = false;
  options.Encoding = EncodingAuto;
  options.IncludeLocalhost = includeLocalhostDefault;

  const size_t count = parameters.size();
  for (size_t i = 0; i < count; ++i) {
    const std::u16string& parameter = parameters[i];
    if (parameter.empty() || parameter[0] != u'/') {
      // A file name is only allowed as the last parameter.
      if (i + 1 != count)
        return false;
      options.FileName = parameter;
      continue;
    }
    if (parameter.size() < 2)
      return false;

    switch (parameter[1]) {
    case u'b':
      if (parameter.size() != 2)
        return false;
      options.Backup = true;
      break;
    case u's':
      if (parameter.size() != 2)
        return false;
      options.Silent = true;
      break;
    case u'l':
      options.IncludeLocalhost = true;
      break;
    case u'r':
      options.IncludeLocalhost = false;
      break;
    case u'e': {
      const std::u16string value = TextAfter(parameter, u":");
      if (SameTextAscii(value, u"UTF8"))
        options.Encoding = EncodingUtf8;
      else if (SameTextAscii(value, u"ANSI"))
        options.Encoding = EncodingAnsi;
      else if (SameTextAscii(value, u"UTF16LE"))
        options.Encoding = EncodingUtf16LE;
      else
        return false;
      break;
    }
    default:
      return false;
    }
  }
  return true;
}
