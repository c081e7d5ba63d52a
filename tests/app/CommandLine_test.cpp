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

// A row names the parameters, the localhost default and what differs from a valid line that
// sets nothing.
struct TParseRow {
  std::vector<std::u16string> Parameters;
  bool LocalhostDefault = false;
  bool Valid = true;
  const char16_t* FileName = u"";
  bool Backup = false;
  bool Silent = false;
  bool IncludeLocalhost = false;
  SaveEncoding Encoding = EncodingAuto;
};

TEST(ParseCommandLine, ReadsEveryParameter) {
  const TParseRow rows[] = {
      {.Parameters = {}, .LocalhostDefault = true, .IncludeLocalhost = true},
      {.Parameters = {}},
      {.Parameters = List({"hosts.txt"}),
       .LocalhostDefault = true,
       .FileName = u"hosts.txt",
       .IncludeLocalhost = true},
      {.Parameters = List({"hosts.txt"}), .FileName = u"hosts.txt"},
      {.Parameters = List({" "}), .FileName = u" "},
      {.Parameters = List({"/s", "/b", "/l", "/e:UTF8", "C:\\my hosts"}),
       .FileName = u"C:\\my hosts",
       .Backup = true,
       .Silent = true,
       .IncludeLocalhost = true,
       .Encoding = EncodingUtf8},
      {.Parameters = List({"/b", "/b", "/s", "/s"}), .Backup = true, .Silent = true},
      // A file name only as the last parameter.
      {.Parameters = List({"hosts.txt", "/b"}), .Valid = false},
      {.Parameters = List({"one.txt", "two.txt"}), .Valid = false},
      // The later of /l and /r wins.
      {.Parameters = List({"/l", "/r"}), .LocalhostDefault = true},
      {.Parameters = List({"/r", "/l"}), .IncludeLocalhost = true},
      {.Parameters = List({"/lfoo"}), .IncludeLocalhost = true},
      {.Parameters = List({"/rX"}), .LocalhostDefault = true},
      // Encodings: the text after the first colon, any ASCII case.
      {.Parameters = List({"/e:utf16le"}), .Encoding = EncodingUtf16LE},
      {.Parameters = List({"/e:UTF16LE"}), .Encoding = EncodingUtf16LE},
      {.Parameters = List({"/e:ansi"}), .Encoding = EncodingAnsi},
      {.Parameters = List({"/e:Utf8"}), .Encoding = EncodingUtf8},
      {.Parameters = List({"/e:UTF8", "/e:ANSI"}), .Encoding = EncodingAnsi},
      {.Parameters = List({"/eXYZ:ANSI"}), .Encoding = EncodingAnsi},
      {.Parameters = List({"/e:UTF-8"}), .Valid = false},
      {.Parameters = List({"/e:"}), .Valid = false},
      {.Parameters = List({"/e"}), .Valid = false},
      {.Parameters = List({"/e:ANSI:x"}), .Valid = false},
      {.Parameters = List({"/e:UTF8", "/e:bad"}), .Valid = false, .Encoding = EncodingUtf8},
      // /b and /s are exactly two characters.
      {.Parameters = List({"/bb"}), .Valid = false},
      {.Parameters = List({"/sx"}), .Valid = false},
      // Reading stops at the first invalid parameter; what was set before it stays.
      {.Parameters = List({"/s", "/x"}), .Valid = false, .Silent = true},
      {.Parameters = List({"/x", "/s"}), .Valid = false},
      {.Parameters = List({"/b", "/l", "/x", "/s", "/r"}),
       .Valid = false,
       .Backup = true,
       .IncludeLocalhost = true},
      // Option letters are lower case; "/" alone is no option.
      {.Parameters = List({"/B"}), .Valid = false},
      {.Parameters = List({"/S"}), .Valid = false},
      {.Parameters = List({"/L"}), .Valid = false},
      {.Parameters = List({"/E:ANSI"}), .Valid = false},
      {.Parameters = List({"/"}), .Valid = false},
      {.Parameters = List({"/hosts.txt"}), .Valid = false},
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
