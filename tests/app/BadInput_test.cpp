// What each kind of bad input gets from the optimize operation, and that nothing is lost with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "MessageRecorder.h"
#include "TestFiles.h"
#include "TestText.h"
#include "VornLibFilesystem.h"
#include "uOptimize.h"

using namespace testing_files;
namespace fs = std::filesystem;

namespace {

TOptimizeOutcome Optimize(const std::u16string& name, SaveEncoding encoding = EncodingAuto) {
  return OptimizeHostsFile(0, name, false, false, false, encoding);
}

// The message of a rewritten file: the line counts, then what else the user must know.
std::u16string Optimized(std::string_view counts, std::string_view more = {}) {
  return U16(std::string("The hosts file has been optimized: ") + std::string(counts) + "." +
             std::string(more));
}

TEST(BadInput, EachKindGetsAClearResultAndLosesNothing) {
  std::string binary;
  for (int i = 0; i < 4096; ++i)
    binary.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
  struct Row {
    const char* Name;
    std::string Bytes;
    TOptimizeOutcome Outcome;
    std::u16string Message;
    std::string After = {}; // the file's bytes afterwards; empty: unchanged
    SaveEncoding Encoding = EncodingAuto;
  };
  const Row rows[] = {
      // Nothing before its first NUL reads as a hosts line.
      {.Name = "binary file with NUL bytes",
       .Bytes = binary,
       .Outcome = TOptimizeOutcome::NothingToDo,
       .Message = std::u16string(MsgNothingToDo)},
      {.Name = "text cut by a NUL",
       .Bytes = std::string("10.0.0.1 a\n\0"
                            "10.0.0.2 b\n",
                            23),
       .Outcome = TOptimizeOutcome::CannotOpen,
       .Message = std::u16string(MsgCannotOpen)},
      {.Name = "text ending in NUL padding: nothing is lost",
       .Bytes = std::string("10.0.0.1 a\n\0\0\0", 14),
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("1 line before, 1 after"),
       .After = "10.0.0.1 a\r\n"},
      // The byte-order mark stands on a line of its own.
      {.Name = "UTF-16 text ending in NUL padding",
       .Bytes = Utf16LE("10.0.0.1 a\n") + std::string(6, '\0'),
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("1 line before, 2 after"),
       .After = Utf16LE("\r\n10.0.0.1 a\r\n")},
      {.Name = "odd-length UTF-16: the odd byte goes",
       .Bytes = Utf16LE("10.0.0.1 a\r\n") + "X",
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("1 line before, 2 after"),
       .After = Utf16LE("\r\n10.0.0.1 a\r\n")},
      {.Name = "invalid UTF-8 after a mark: U+FFFD",
       .Bytes = "\xEF\xBB\xBF"
                "10.0.0.1 a\xFF"
                "b\n",
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("1 line before, 2 after"),
       .After = "\xEF\xBB\xBF\r\n"
                "10.0.0.1 a\xEF\xBF\xBD"
                "b\r\n"},
      {.Name = "nothing but comments and blanks... and localhost",
       .Bytes = "::1 localhost\n\n  \n",
       .Outcome = TOptimizeOutcome::NothingToDo,
       .Message = std::u16string(MsgNothingToDo)},
      // ANSI never writes a near letter: a character with no ASCII form becomes "?" (a pair of
      // surrogates is one character), and the message counts them.
      {.Name = "letters with no ASCII form, saved as ANSI",
       .Bytes = "\xEF\xBB\xBF"
                "#0.0.0.0 caf\xC3\xA9.example\n"
                "0.0.0.0 b\xC3\xBC"
                "cher.example \xF0\x9F\x98\x80.example\n",
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("2 lines before, 2 after",
                            "\n3 characters had no ASCII form and were written as \"?\"."),
       .After = "#0.0.0.0 caf?.example\r\n0.0.0.0 b?cher.example ?.example\r\n",
       .Encoding = EncodingAnsi},
      {.Name = "one letter with no ASCII form",
       .Bytes = "\xEF\xBB\xBF"
                "0.0.0.0 b\xC3\xBC"
                "cher.example\n",
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("1 line before, 1 after",
                            "\n1 character had no ASCII form and was written as \"?\"."),
       .After = "0.0.0.0 b?cher.example\r\n",
       .Encoding = EncodingAnsi},
      // The first listing of a name decides its address; the merge gathers b.example under
      // 0.0.0.0, listed before 10.0.0.1.
      {.Name = "names the merge makes resolve to another address",
       .Bytes = "# conflicting entries\n"
                "0.0.0.0 a.example\n"
                "10.0.0.1 b.example c.example\n"
                "0.0.0.0 b.example c.example\n",
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("4 lines before, 2 after",
                            "\n2 names now resolve to another address (the first listing of a "
                            "name decides; the merge moved it)."),
       .After = "0.0.0.0 a.example b.example c.example\r\n10.0.0.1 b.example c.example\r\n"},
      {.Name = "all three lines",
       .Bytes = "\xEF\xBB\xBF"
                "0.0.0.0 a.example\n"
                "10.0.0.1 b\xC3\xBC"
                "cher.example\n"
                "0.0.0.0 b\xC3\xBC"
                "cher.example\n",
       .Outcome = TOptimizeOutcome::Optimized,
       .Message = Optimized("3 lines before, 2 after",
                            "\n2 characters had no ASCII form and were written as \"?\"."
                            "\n1 name now resolves to another address (the first listing of a "
                            "name decides; the merge moved it)."),
       .After = "0.0.0.0 a.example b?cher.example\r\n10.0.0.1 b?cher.example\r\n",
       .Encoding = EncodingAnsi},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    WriteBytes(folder.File("hosts"), row.Bytes);
    MessageRecorder recorder;
    EXPECT_EQ(Optimize(folder.Name("hosts"), row.Encoding), row.Outcome);
    ASSERT_EQ(recorder.Messages.size(), 1u);
    EXPECT_EQ(Ascii(recorder.Messages[0].Text), Ascii(row.Message));
    EXPECT_EQ(ReadBytes(folder.File("hosts")), row.After.empty() ? row.Bytes : row.After);
  }
}

TEST(BadInput, ATenMegabyteLineKeepsAllItsNames) {
  TempFolder folder;
  std::string line = "0.0.0.0";
  std::string cut = line; // the same names, nine a line
  int names = 0;
  while (line.size() < 10'000'000) {
    const std::string name = " n" + std::to_string(names) + ".example";
    line += name;
    cut += (names != 0 && names % 9 == 0 ? "\r\n0.0.0.0" : "") + name;
    ++names;
  }
  WriteBytes(folder.File("hosts"), line + "\n0.0.0.0 last.example\n");
  MessageRecorder recorder;
  EXPECT_EQ(Optimize(folder.Name("hosts")), TOptimizeOutcome::Optimized);
  // A first line gives no names away, however many it holds, and the next line of its address
  // stands on its own; then the long line is cut where it stands into lines of nine.
  const std::string expected = cut + "\r\n0.0.0.0 last.example\r\n";
  const std::string after = ReadBytes(folder.File("hosts"));
  EXPECT_EQ(after.size(), expected.size());
  EXPECT_TRUE(after == expected) << "the names are not in lines of nine, in order";
}

TEST(BadInput, AFolderIsNoFile) {
  TempFolder folder;
  fs::create_directory(folder.File("hosts"));
  MessageRecorder recorder;
  EXPECT_EQ(Optimize(folder.Name("hosts")), TOptimizeOutcome::FileMissing);
  EXPECT_TRUE(fs::is_directory(folder.File("hosts")));
  EXPECT_TRUE(fs::is_empty(folder.File("hosts")));
}

TEST(BadInput, APathOverTwoHundredSixtyCharacters) {
  TempFolder folder;
  fs::path deep = folder.Path();
  while (deep.u16string().size() < 300)
    deep /= "a-long-folder-name-for-the-test";
  fs::create_directories(deep);
  WriteBytes(deep / "hosts", "0.0.0.0 a\n0.0.0.0 b\n");
  MessageRecorder recorder;
  EXPECT_EQ(Optimize(ToU16(deep / "hosts")), TOptimizeOutcome::Optimized);
  EXPECT_EQ(ReadBytes(deep / "hosts"), "0.0.0.0 a b\r\n");
  EXPECT_EQ(FolderContent(deep), std::vector<std::string>{"hosts"}) << "a temporary file stayed";
}

// A full disk, as the device reports it: the write fails half-way.
TEST(BadInput, AFullDiskLeavesTheFileAsItWas) {
  TempFolder folder;
  const std::string original = "# mine\n0.0.0.0 a\n0.0.0.0 b\n";
  WriteBytes(folder.File("hosts"), original);
  int writes = 0;
  SetFileFaultHook([&](TFileStep step, int64_t& bytes) {
    if (step != TFileStep::Write || ++writes != 1)
      return false;
    bytes = 5;
    return true;
  });
  MessageRecorder recorder;
  EXPECT_THROW(Optimize(folder.Name("hosts")), std::system_error);
  SetFileFaultHook(nullptr);
  EXPECT_EQ(ReadBytes(folder.File("hosts")), original);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);
}

#ifdef _WIN32
TEST(BadInput, ALockedFileRaisesAndStaysAsItWas) {
  TempFolder folder;
  WriteBytes(folder.File("hosts"), "0.0.0.0 a\n0.0.0.0 b\n");
  {
    TVornFileStream holder(folder.Name("hosts"), TVornFileStream::ModeRead); // shares nothing
    ASSERT_NE(holder.Handle(), -1);
    MessageRecorder recorder;
    EXPECT_THROW(Optimize(folder.Name("hosts")), std::system_error);
    EXPECT_TRUE(recorder.Messages.empty());
  }
  EXPECT_EQ(ReadBytes(folder.File("hosts")), "0.0.0.0 a\n0.0.0.0 b\n");
  EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"hosts"});
}
#endif

} // namespace
