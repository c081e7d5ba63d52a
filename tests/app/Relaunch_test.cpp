// The elevated second instance's parameter text and the application title.
#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"
#include "TestText.h"
#include "uCommandLine.h"
#include "uRelaunch.h"

namespace {

using testing_files::Ascii;
using testing_files::U16;

TEST(Relaunch, AppendParamSeparatesWithOneSpace) {
  struct TRow {
    const char* Before;
    const char* Parameter;
    const char* After;
  };
  const TRow rows[] = {
      {"", "/b", "/b"},
      {"/b", "/l", "/b /l"},
      {"/b /l", "/e:UTF8", "/b /l /e:UTF8"},
      {"", "", ""},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Before + std::string(" + ") + row.Parameter);
    std::u16string parameters = U16(row.Before);
    AppendParam(parameters, U16(row.Parameter));
    EXPECT_EQ(Ascii(parameters), row.After);
  }
}

TEST(Relaunch, ParametersCarryTheChoicesAndTheFile) {
  struct TRow {
    bool Backup = false;
    bool IncludeLocalhost = false;
    int EncodingIndex;
    const char* FileName;
    const char* Expected;
  };
  const TRow rows[] = {
      {.Backup = true,
       .IncludeLocalhost = true,
       .EncodingIndex = 1,
       .FileName = "C:\\data\\hosts.txt",
       .Expected = "/b /l /e:UTF8 \"C:\\data\\hosts.txt\""},
      {.EncodingIndex = 0,
       .FileName = "C:\\data\\hosts.txt",
       .Expected = "/r /e:ANSI \"C:\\data\\hosts.txt\""},
      {.IncludeLocalhost = true,
       .EncodingIndex = 2,
       .FileName = "C:\\data\\hosts.txt",
       .Expected = "/l /e:UTF16LE \"C:\\data\\hosts.txt\""},
      {.Backup = true,
       .EncodingIndex = 2,
       .FileName = "C:\\data\\hosts.txt",
       .Expected = "/b /r /e:UTF16LE \"C:\\data\\hosts.txt\""},
      // Any index other than 0 and 2 saves as UTF-8.
      {.EncodingIndex = -1, .FileName = "h", .Expected = "/r /e:UTF8 \"h\""},
      {.EncodingIndex = 3, .FileName = "h", .Expected = "/r /e:UTF8 \"h\""},
      // Spaces stay inside the quotes.
      {.Backup = true,
       .IncludeLocalhost = true,
       .EncodingIndex = 1,
       .FileName = "C:\\My Files\\hosts file",
       .Expected = "/b /l /e:UTF8 \"C:\\My Files\\hosts file\""},
      // Without a name the second instance takes the system hosts file.
      {.Backup = true,
       .IncludeLocalhost = true,
       .EncodingIndex = 1,
       .FileName = "",
       .Expected = "/b /l /e:UTF8"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Expected);
    EXPECT_EQ(Ascii(BuildRelaunchParameters(row.Backup, row.IncludeLocalhost, row.EncodingIndex,
                                            U16(row.FileName))),
              row.Expected);
  }
}

TEST(Relaunch, ParametersReadBackAsTheSameChoices) {
  // The second instance parses the text with the command line's own rules.
  struct TRow {
    bool Backup = false;
    bool IncludeLocalhost = false;
    int EncodingIndex;
    SaveEncoding Encoding;
  };
  const TRow rows[] = {
      {.Backup = true, .IncludeLocalhost = true, .EncodingIndex = 1, .Encoding = EncodingUtf8},
      {.EncodingIndex = 0, .Encoding = EncodingAnsi},
      {.Backup = true, .EncodingIndex = 2, .Encoding = EncodingUtf16LE}};
  const std::u16string file = u"C:\\My Files\\hosts.txt";
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.EncodingIndex);
    const std::u16string line =
        u"tarnwk.exe " +
        BuildRelaunchParameters(row.Backup, row.IncludeLocalhost, row.EncodingIndex, file);
    TCommandLineOptions options;
    ASSERT_TRUE(ParseCommandLine(SplitParameters(line), !row.IncludeLocalhost, options));
    EXPECT_EQ(options.FileName, file);
    EXPECT_EQ(options.Backup, row.Backup);
    EXPECT_FALSE(options.Silent);
    EXPECT_EQ(options.IncludeLocalhost, row.IncludeLocalhost);
    EXPECT_EQ(options.Encoding, row.Encoding);
  }
}

TEST(Relaunch, ApplicationTitleIsTheNameUpToItsFirstDot) {
  struct TRow {
    const char* Path;
    const char* Title;
  };
  const TRow rows[] = {
      {"C:\\Program Files\\Tarnwick\\tarnwk.exe", "tarnwk"},
      {"C:\\Tools\\TARNWK.EXE", "Tarnwk"},
      {"C:\\Tools\\TarnWK.old.exe", "Tarnwk"},
      {"Z:/build/app/tarnwk.exe", "tarnwk"},
      {"tarnwk", "tarnwk"},
      {"C:\\dir.d\\AB", "Ab"},
      {"", ""},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Path);
    EXPECT_EQ(Ascii(ApplicationTitle(U16(row.Path))), row.Title);
  }
}

} // namespace
