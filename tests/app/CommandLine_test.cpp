// The command line: splitting the process command line and reading the options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "uCommandLine.h"

namespace {

using testing_files::U16;

std::string Show(const std::u16string& text) {
  std::string result;
  for (char16_t c : text)
    result += c < 0x80 ? static_cast<char>(c) : '?';
  return result;
}

std::vector<std::u16string> List(std::initializer_list<const char*> items) {
  std::vector<std::u16string> result;
  for (const char* item : items)
    result.push_back(U16(item));
  return result;
}

struct TSplitRow {
  const char16_t* Line;
  std::vector<std::u16string> Expected;
};

TEST(SplitParameters, FollowsTheRuntimeRule) {
  const TSplitRow rows[] = {
      {u"", {}},
      {u"tarnwk.exe", {}},
      {u"tarnwk.exe   ", {}},
      {u"\"C:\\Program Files\\tarnwk.exe\" /s", List({"/s"})},
      {u"tarnwk.exe hosts.txt", List({"hosts.txt"})},
      {u"tarnwk.exe /s /b /e:ANSI hosts.txt", List({"/s", "/b", "/e:ANSI", "hosts.txt"})},
      // Quoted stretches keep their blanks; the quotes go, the parameter runs on after them.
      {u"tarnwk.exe \"my hosts.txt\"", List({"my hosts.txt"})},
      {u"tarnwk.exe C:\\\"my dir\"\\hosts", List({"C:\\my dir\\hosts"})},
      {u"tarnwk.exe \"a\"\"b\"", List({"ab"})},
      // Pairs of quotes at the start of a parameter are passed over.
      {u"tarnwk.exe \"\" /s", List({"/s"})},
      {u"tarnwk.exe \"\"\"\"/s", List({"/s"})},
      {u"tarnwk.exe \"\"\"x y\"", List({"x y"})},
      {u"tarnwk.exe \"\"", {}},
      // A quoted blank is a parameter of one space.
      {u"tarnwk.exe \" \"", List({" "})},
      // Tabs and other control characters separate parameters.
      {u"tarnwk.exe\t/s\t\thosts", List({"/s", "hosts"})},
      {u"tarnwk.exe\r\n/s\x01hosts", List({"/s", "hosts"})},
      {u"tarnwk.exe /b   ", List({"/b"})},
      // An unclosed quote runs to the end of the line, blanks included.
      {u"tarnwk.exe \"my hosts ", List({"my hosts "})},
      {u"tarnwk.exe /s \"", List({"/s"})},
      {u"tarnwk.exe /s \"\"\"", List({"/s"})},
      // The program item follows the same rule.
      {u"\"tarn wk\".exe /l", List({"/l"})},
      {u"\"unclosed program /l", {}},
  };
  for (const TSplitRow& row : rows) {
    SCOPED_TRACE(Show(row.Line));
    EXPECT_EQ(SplitParameters(row.Line), row.Expected);
  }
}

TEST(SplitParameters, EndsAtNul) {
  const std::u16string line(u"tarnwk.exe /s\0/b", 16);
  EXPECT_EQ(SplitParameters(line), List({"/s"}));
}

struct TParseRow {
  std::vector<std::u16string> Parameters;
  bool LocalhostDefault;
  bool Valid;
  const char16_t* FileName;
  bool Backup;
  bool Silent;
  bool IncludeLocalhost;
  SaveEncoding Encoding;
};

TEST(ParseCommandLine, ReadsEveryParameter) {
  const TParseRow rows[] = {
      // parameters, default, valid, file, backup, silent, localhost, encoding
      {{}, true, true, u"", false, false, true, EncodingAuto},
      {{}, false, true, u"", false, false, false, EncodingAuto},
      {List({"hosts.txt"}), true, true, u"hosts.txt", false, false, true, EncodingAuto},
      {List({"hosts.txt"}), false, true, u"hosts.txt", false, false, false, EncodingAuto},
      {List({" "}), false, true, u" ", false, false, false, EncodingAuto},
      {List({"/s", "/b", "/l", "/e:UTF8", "C:\\my hosts"}), false, true, u"C:\\my hosts", true,
       true, true, EncodingUtf8},
      {List({"/b", "/b", "/s", "/s"}), false, true, u"", true, true, false, EncodingAuto},
      // A file name only as the last parameter.
      {List({"hosts.txt", "/b"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"one.txt", "two.txt"}), false, false, u"", false, false, false, EncodingAuto},
      // The later of /l and /r wins.
      {List({"/l", "/r"}), true, true, u"", false, false, false, EncodingAuto},
      {List({"/r", "/l"}), false, true, u"", false, false, true, EncodingAuto},
      {List({"/lfoo"}), false, true, u"", false, false, true, EncodingAuto},
      {List({"/rX"}), true, true, u"", false, false, false, EncodingAuto},
      // Encodings: the text after the first colon, any ASCII case.
      {List({"/e:utf16le"}), false, true, u"", false, false, false, EncodingUtf16LE},
      {List({"/e:UTF16LE"}), false, true, u"", false, false, false, EncodingUtf16LE},
      {List({"/e:ansi"}), false, true, u"", false, false, false, EncodingAnsi},
      {List({"/e:Utf8"}), false, true, u"", false, false, false, EncodingUtf8},
      {List({"/e:UTF8", "/e:ANSI"}), false, true, u"", false, false, false, EncodingAnsi},
      {List({"/eXYZ:ANSI"}), false, true, u"", false, false, false, EncodingAnsi},
      {List({"/e:UTF-8"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/e:"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/e"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/e:ANSI:x"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/e:UTF8", "/e:bad"}), false, false, u"", false, false, false, EncodingUtf8},
      // /b and /s are exactly two characters.
      {List({"/bb"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/sx"}), false, false, u"", false, false, false, EncodingAuto},
      // Reading stops at the first invalid parameter; what was set before it stays.
      {List({"/s", "/x"}), false, false, u"", false, true, false, EncodingAuto},
      {List({"/x", "/s"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/b", "/l", "/x", "/s", "/r"}), false, false, u"", true, false, true, EncodingAuto},
      // Option letters are lower case; "/" alone is no option.
      {List({"/B"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/S"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/L"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/E:ANSI"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/"}), false, false, u"", false, false, false, EncodingAuto},
      {List({"/hosts.txt"}), false, false, u"", false, false, false, EncodingAuto},
  };
  for (const TParseRow& row : rows) {
    std::string trace;
    for (const std::u16string& parameter : row.Parameters)
      trace += "[" + Show(parameter) + "] ";
    trace += row.LocalhostDefault ? "(default on)" : "(default off)";
    SCOPED_TRACE(trace);

    // Values left from before must not survive: every field starts from its default.
    TCommandLineOptions options;
    options.FileName = u"left over";
    options.Backup = true;
    options.Silent = true;
    options.IncludeLocalhost = !row.LocalhostDefault;
    options.Encoding = EncodingUtf16LE;

    EXPECT_EQ(ParseCommandLine(row.Parameters, row.LocalhostDefault, options), row.Valid);
    EXPECT_EQ(options.FileName, row.FileName);
    EXPECT_EQ(options.Backup, row.Backup);
    EXPECT_EQ(options.Silent, row.Silent);
    EXPECT_EQ(options.IncludeLocalhost, row.IncludeLocalhost);
    EXPECT_EQ(options.Encoding, row.Encoding);
  }
}

} // namespace
