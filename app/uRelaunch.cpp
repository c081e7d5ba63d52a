#include "uRelaunch.h"

#include "uOptimize.h"

void AppendParam(std::u16string& parameters, std::u16string_view parameter) {
  if (!parameters.empty())
    parameters += u' ';
  parameters += parameter;
}

std::u16string BuildRelaunchParameters(bool backup, bool includeLocalhost, int encodingIndex,
                                       std::u16string_view fileName) {
  std::u16string parameters;
  if (backup)
    AppendParam(parameters, u"/b");
  AppendParam(parameters, includeLocalhost ? u"/l" : u"/r");
  switch (EncodingOfBoxIndex(encodingIndex)) {
  case EncodingAnsi:
    AppendParam(parameters, u"/e:ANSI");
    break;
  case EncodingUtf16LE:
    AppendParam(parameters, u"/e:UTF16LE");
    break;
  default:
    AppendParam(parameters, u"/e:UTF8");
    break;
  }
  if (!fileName.empty()) {
    std::u16string quoted(u"\"");
    quoted += fileName;
    quoted += u'"';
    AppendParam(parameters, quoted);
  }
  return parameters;
}

std::u16string ApplicationTitle(std::u16string_view modulePath) {
  const size_t delimiter = modulePath.find_last_of(u"\\/:");
  std::u16string_view name =
      delimiter == std::u16string_view::npos ? modulePath : modulePath.substr(delimiter + 1);
  name = name.substr(0, name.find(u'.'));
  std::u16string title(name);
  for (size_t i = 1; i < title.size(); ++i)
    if (title[i] >= u'A' && title[i] <= u'Z')
      title[i] = static_cast<char16_t>(title[i] - u'A' + u'a');
  return title;
}
