// Path texts for the file layer: parts that need no platform call of their own.
#include "VornLibFilesystem.h"

#include <string>

namespace {

bool IsPathDelimiter(char16_t c) {
  return c == u'\\' || c == u'/';
}

} // namespace

std::u16string LongPathForm(std::u16string_view fullPath) {
  constexpr std::u16string_view Prefix = u"\\\\?\\";
  // A name already in the system's own form (\\?\ or \\.\) goes as it is.
  if (fullPath.size() >= 4 && IsPathDelimiter(fullPath[0]) && IsPathDelimiter(fullPath[1]) &&
      (fullPath[2] == u'?' || fullPath[2] == u'.') && IsPathDelimiter(fullPath[3]))
    return std::u16string(fullPath);
  std::u16string path(fullPath);
  for (char16_t& c : path)
    if (c == u'/')
      c = u'\\';
  if (path.size() <= MaxShortPathLength)
    return path;
  if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\' &&
      ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')))
    return std::u16string(Prefix) + path;
  if (path.size() >= 3 && path[0] == u'\\' && path[1] == u'\\' && path[2] != u'\\')
    return std::u16string(Prefix) + u"UNC" + path.substr(1);
  // A relative name (the full path could not be made) takes no prefix.
  return path;
}
