#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "FailingAllocations.h"
#include "TestFiles.h"
#include "TestText.h"
#include "VornLibFilesystem.h"
#include "VornLibMemory.h"
#include "uHosts.h"

using namespace testing_files;

namespace {

std::string Save(THosts& hosts, SaveEncoding encoding, bool includeLocalhost) {
  hosts.SaveOptions().IncludeLocalhost = includeLocalhost;
  return hosts.SaveToBytes(encoding);
}

const std::string Header = "127.0.0.1 localhost\r\n::1 localhost\r\n";

TEST(Document, WritesEachEncodingExactly) {
  const std::string input = "# hosts\n0.0.0.0\ta.example  b.example #x\n\n#10.0.0.1 old\n";
  const std::string lines = "# hosts\r\n0.0.0.0 a.example b.example #x\r\n#10.0.0.1 old\r\n";
  struct Row {
    SaveEncoding Encoding;
    bool Localhost = false;
    std::string Expected;
  };
  const Row rows[] = {
      {.Encoding = EncodingAnsi, .Localhost = true, .Expected = Header + lines},
      {.Encoding = EncodingAnsi, .Expected = lines},
      // A byte-order mark stands on a line of its own: the hosts readers take it for text.
      {.Encoding = EncodingUtf8,
       .Localhost = true,
       .Expected = "\xEF\xBB\xBF\r\n" + Header + lines},
      {.Encoding = EncodingUtf16LE,
       .Localhost = true,
       .Expected = "\xFF\xFE" + Utf16LEUnits("\r\n" + Header + lines)},
      {.Encoding = static_cast<SaveEncoding>(9),
       .Expected = "\xFF\xFE" + Utf16LEUnits("\r\n" + lines)},
      {.Encoding = EncodingAuto, .Expected = lines},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(int(row.Encoding));
    THosts hosts;
    // Blank lines go by default; one space between fields; CR LF after every line.
    hosts.LoadFromBytes(input);
    EXPECT_EQ(Save(hosts, row.Encoding, row.Localhost), row.Expected);
  }
}

TEST(Document, EmptyDocumentGivesTheHeaderOrNothing) {
  THosts hosts;
  EXPECT_EQ(Save(hosts, EncodingAnsi, true), Header);
  EXPECT_EQ(Save(hosts, EncodingAnsi, false), "");
  EXPECT_EQ(Save(hosts, EncodingUtf8, false), "\xEF\xBB\xBF\r\n");
  EXPECT_EQ(Save(hosts, EncodingUtf16LE, false), "\xFF\xFE" + Utf16LEUnits("\r\n"));
}

TEST(Document, ReadsEveryFormIntoTheSameLines) {
  const std::string text = "10.0.0.1 a\r\n10.0.0.2 b\r\n";
  struct Row {
    const char* Name;
    std::string Bytes;
    int Lines;
  };
  const Row rows[] = {
      {"CR LF", text, 2},
      {"LF only", "10.0.0.1 a\n10.0.0.2 b", 2},
      {"lone CR", "10.0.0.1 a\r10.0.0.2 b\r", 2},
      {"UTF-8 mark", "\xEF\xBB\xBF" + text, 2},
      {"UTF-16 LE mark", "\xFF\xFE" + Utf16LEUnits(text), 2},
      {"UTF-16 LE, odd byte lost", "\xFF\xFE" + Utf16LEUnits(text) + "X", 2},
      {"UTF-16 BE mark", "\xFE\xFF" + Utf16BEUnits(text), 2},
      {"NUL ends the text", "10.0.0.1 a\n10.0.0.2 b\n" + std::string(1, '\0') + "10.0.0.3 c\n", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    THosts hosts;
    EXPECT_EQ(hosts.LoadFromBytes(row.Bytes), row.Lines);
    EXPECT_EQ(Save(hosts, EncodingAnsi, false), "10.0.0.1 a\r\n10.0.0.2 b\r\n");
  }
}

TEST(Document, Utf16WithoutMarkEndsAtTheFirstZeroByte) {
  THosts hosts;
  EXPECT_EQ(hosts.LoadFromBytes(Utf16LEUnits("10.0.0.1 a\r\n")), 0); // "1" alone: invalid
  EXPECT_TRUE(hosts.TextWasCut());
  THosts marked;
  EXPECT_EQ(marked.LoadFromBytes("\xFF\xFE" + Utf16LEUnits("10.0.0.1 a\r\n")), 1);
  EXPECT_FALSE(marked.TextWasCut());
}

TEST(Document, LineBreaksAtTheEndAddNoEmptyLine) {
  THosts hosts;
  hosts.LoadOptions().DropBlankLines = false;
  EXPECT_EQ(hosts.LoadFromBytes("a\n\n"), 1); // "a" is invalid; one blank line
  EXPECT_EQ(hosts.LoadFromBytes("\n\r\n"), 2);
  EXPECT_EQ(hosts.LoadFromBytes("\n\r"), 2) << "LF CR counts as two breaks";
}

// Under the glibc rules only LF ends a line (with a CR before it), and a lone CR, FF and VT are
// blanks; under the Windows rules CR ends a line too and the others are part of a name.
TEST(Document, LineRulesCutLinesAndFields) {
  struct Row {
    const char* Name;
    std::string Bytes;
    std::string Windows, Glibc; // saved, LF after each line
    size_t LoneCRs;             // under the glibc rules
  };
  const Row rows[] = {
      {"a lone CR", "0.0.0.0 a\n1.2.3.4 b\r0.0.0.0 c\n", "0.0.0.0 a c\n1.2.3.4 b\n",
       "0.0.0.0 a\n1.2.3.4 b 0.0.0.0 c\n", 1},
      {"form feed and vertical tab", "0.0.0.0\fd.test\n0.0.0.0 e\vf\n", "0.0.0.0 e\vf\n",
       "0.0.0.0 d.test e f\n", 0},
      {"CR LF, and a CR before it", "0.0.0.0 a\r\n0.0.0.0 b\r\r\n", "0.0.0.0 a b\n",
       "0.0.0.0 a b\n", 1},
      {"a line of blanks only", "\r\f\v\n0.0.0.0 a\n", "0.0.0.0 a\n", "0.0.0.0 a\n", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    for (const bool wide : {false, true}) {
      for (const TLineRules rules : {TLineRules::Windows, TLineRules::Glibc}) {
        THosts hosts;
        hosts.LoadOptions().LineRules = rules;
        hosts.LoadFromBytes(wide ? "\xFF\xFE" + Utf16LEUnits(row.Bytes) : row.Bytes);
        hosts.Optimize();
        hosts.SaveOptions().IncludeLocalhost = false;
        hosts.SaveOptions().LineBreak = TLineBreak::Lf;
        const bool glibc = rules == TLineRules::Glibc;
        EXPECT_EQ(hosts.SaveToBytes(EncodingAnsi), glibc ? row.Glibc : row.Windows);
        EXPECT_EQ(hosts.LoadInfo().LoneCRs, glibc ? row.LoneCRs : 0);
      }
    }
  }
}

TEST(Document, NonAsciiTextInEveryEncoding) {
  // "# café", a name held in one byte a character ("bü") and one outside the BMP.
  const std::string input = "#caf\xC3\xA9\n10.0.0.1 b\xC3\xBC \xF0\x9F\x98\x80x\n";
  THosts hosts;
  ASSERT_EQ(hosts.LoadFromBytes("\xEF\xBB\xBF" + input), 2);
  EXPECT_EQ(Save(hosts, EncodingUtf8, false),
            "\xEF\xBB\xBF\r\n#caf\xC3\xA9\r\n10.0.0.1 b\xC3\xBC \xF0\x9F\x98\x80x\r\n");
  EXPECT_EQ(Save(hosts, EncodingUtf16LE, false),
            "\xFF\xFE" + Utf16LEUnits("\r\n#caf") + std::string("\xE9\x00", 2) +
                Utf16LEUnits("\r\n10.0.0.1 b") + std::string("\xFC\x00", 2) + Utf16LEUnits(" ") +
                std::string("\x3D\xD8\x00\xDE", 4) + Utf16LEUnits("x\r\n"));
  // US-ASCII replaces what it cannot hold, even where the system code page could; the exact
  // replacement is the platform's.
  const std::string ansi = Save(hosts, EncodingAnsi, false);
  for (const char c : ansi)
    EXPECT_LT(static_cast<unsigned char>(c), 0x80);
  EXPECT_EQ(ansi.substr(0, 4), "#caf");
  EXPECT_NE(ansi.find("\r\n10.0.0.1 "), std::string::npos);
  EXPECT_EQ(ansi.substr(ansi.size() - 3), "x\r\n");

  // A name moved by the merge keeps its text: "déjà", read later, joins the line.
  ASSERT_EQ(hosts.LoadFromBytes("\xEF\xBB\xBF"
                                "10.0.0.1 d\xC3\xA9j\xC3\xA0\n"),
            1);
  hosts.Optimize();
  EXPECT_EQ(Save(hosts, EncodingUtf8, false),
            "\xEF\xBB\xBF\r\n"
            "10.0.0.1 b\xC3\xBC \xF0\x9F\x98\x80x d\xC3\xA9j\xC3\xA0\r\n");
}

TEST(Document, BadTextNeverCrashesOrVanishes) {
  THosts hosts;
  // Invalid UTF-8 after a mark becomes U+FFFD; a lone surrogate in UTF-16 stays.
  ASSERT_EQ(hosts.LoadFromBytes("\xEF\xBB\xBF#a\xFF"
                                "b\n"),
            1);
  EXPECT_EQ(Save(hosts, EncodingUtf8, false), "\xEF\xBB\xBF\r\n#a\xEF\xBF\xBD"
                                              "b\r\n");
  THosts lone;
  ASSERT_EQ(lone.LoadFromBytes("\xFF\xFE" + Utf16LEUnits("#a") + std::string("\x00\xD8", 2) +
                               Utf16LEUnits("b\n")),
            1);
  EXPECT_EQ(Save(lone, EncodingUtf16LE, false), "\xFF\xFE" + Utf16LEUnits("\r\n#a") +
                                                    std::string("\x00\xD8", 2) +
                                                    Utf16LEUnits("b\r\n"));
  EXPECT_EQ(Save(lone, EncodingUtf8, false), "\xEF\xBB\xBF\r\n#a\xEF\xBF\xBD"
                                             "b\r\n");
#ifndef _WIN32
  EXPECT_EQ(Save(lone, EncodingAnsi, false), "#a?b\r\n");
#endif
}

TEST(Document, WhatTheWriterLeavesOut) {
  THosts hosts;
  hosts.LoadOptions().KeepLocalhost = true;
  // Names all flagged: no line, not even the comment. A commented-out entry comes back as such.
  ASSERT_EQ(hosts.LoadFromBytes("127.0.0.1 localhost *bad #c\n#10.0.0.1 a b #old\n"), 2);
  EXPECT_EQ(Save(hosts, EncodingAnsi, false), "#10.0.0.1 a b #old\r\n");

  THosts dropped;
  // Without KeepLocalhost a line of localhost names only is discarded.
  EXPECT_EQ(dropped.LoadFromBytes("::1 localhost LOCALHOST\n127.0.0.1 localhost x\n"), 1);
  EXPECT_EQ(Save(dropped, EncodingAnsi, true), Header + "127.0.0.1 x\r\n");
}

TEST(Document, LoadOptionsFilterLines) {
  // "host 10.0.0.3" is invalid ("bad line" would not be: "bad" reads as an IPv6 address).
  const std::string input = "# c\n#10.0.0.1 a\n\n10.0.0.2 b\nhost 10.0.0.3\n";
  struct Row {
    bool DropComments, DropCommentedEntries, DropBlankLines;
    int Expected;
  };
  const Row rows[] = {{false, false, true, 3},
                      {true, false, true, 2},
                      {false, true, true, 2},
                      {false, false, false, 4},
                      {true, true, true, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Expected);
    THosts hosts;
    hosts.LoadOptions().DropComments = row.DropComments;
    hosts.LoadOptions().DropCommentedEntries = row.DropCommentedEntries;
    hosts.LoadOptions().DropBlankLines = row.DropBlankLines;
    EXPECT_EQ(hosts.LoadFromBytes(input), row.Expected);
  }
}

TEST(Document, DeleteInsertAndItemsAnswerNoneOutOfRange) {
  THosts hosts;
  hosts.LoadFromBytes("10.0.0.1 a\n10.0.0.2 b\n");
  EXPECT_EQ(hosts.Items(-1), nullptr);
  EXPECT_EQ(hosts.Items(2), nullptr);
  EXPECT_FALSE(hosts.Delete(2));
  auto line = std::make_unique<THostItem>(&hosts);
  THostItem* raw = line.get();
  EXPECT_TRUE(hosts.Insert(2, std::move(line)));
  EXPECT_EQ(hosts.Items(2), raw);
  // A line made for another document (its names' text lives there) or for none is refused.
  {
    THosts other;
    auto foreign = std::make_unique<THostItem>(&other);
    bool found = false;
    foreign->ParseLine(u"0.0.0.0 foreign", found, false);
    EXPECT_FALSE(hosts.Insert(0, std::move(foreign)));
    EXPECT_FALSE(hosts.Insert(0, std::make_unique<THostItem>(nullptr)));
  }
  EXPECT_EQ(hosts.Count(), 3);
  hosts.SaveOptions().IncludeLocalhost = false;
  EXPECT_EQ(hosts.SaveToBytes(EncodingAnsi), "10.0.0.1 a\r\n10.0.0.2 b\r\n\r\n");
  EXPECT_TRUE(hosts.Delete(0));
  EXPECT_EQ(hosts.Count(), 2);
}

TEST(DocumentFile, LoadAndSaveRealFiles) {
  TempFolder folder;
  const auto file = folder.File("hosts");
  WriteBytes(file, "# test\n0.0.0.0 a b\n");
  THosts hosts;
  EXPECT_EQ(hosts.LoadFromFile(folder.Name("missing")), -1);
  EXPECT_EQ(hosts.Count(), 0);
  ASSERT_EQ(hosts.LoadFromFile(folder.Name("hosts")), 2);
  EXPECT_EQ(hosts.LoadFromFile(folder.Name("hosts")), 2) << "a second load appends";
  EXPECT_EQ(hosts.Count(), 4);
  hosts.SaveOptions().IncludeLocalhost = false;
  ASSERT_TRUE(hosts.SaveToFile(folder.Name("hosts"), EncodingUtf8));
  EXPECT_EQ(ReadBytes(file), "\xEF\xBB\xBF\r\n# test\r\n0.0.0.0 a b\r\n# test\r\n0.0.0.0 a b\r\n");
  ASSERT_TRUE(hosts.SaveToFile(folder.Name("new"), EncodingAnsi)) << "a new file is created";
  EXPECT_EQ(ReadBytes(folder.File("new")), "# test\r\n0.0.0.0 a b\r\n# test\r\n0.0.0.0 a b\r\n");
}

TEST(DocumentFile, ANameOfMillionsOfCharactersKeepsEveryOne) {
  // A name of 4,194,303 characters or more has its length stored beside its text: read from a
  // file, from bytes, and taken out of its line.
  const std::string name(5'000'000, 'n');
  TempFolder folder;
  WriteBytes(folder.File("hosts"), "0.0.0.0 a " + name + " b\n");
  THosts fromFile;
  THosts fromBytes;
  ASSERT_EQ(fromFile.LoadFromFile(folder.Name("hosts")), 1);
  ASSERT_EQ(fromBytes.LoadFromBytes("0.0.0.0 " + name + "\n"), 1);
  EXPECT_EQ(fromFile.Items(0)->GetName(1)->Length(), name.size());
  EXPECT_TRUE(fromFile.Items(0)->GetName(2)->Name() == u"b");
  std::unique_ptr<THostName> extracted = fromFile.Items(0)->ExtractName(1);
  EXPECT_EQ(extracted->Length(), name.size());
  fromBytes.Items(0)->AddName(std::move(extracted));
  fromBytes.SaveOptions().IncludeLocalhost = false;
  EXPECT_EQ(fromBytes.SaveToBytes(EncodingAnsi), "0.0.0.0 " + name + " " + name + "\r\n");
}

TEST(DocumentFile, LiftedAttributesComeBack) {
  TempFolder folder;
  const auto file = folder.File("hosts");
  WriteBytes(file, "0.0.0.0 a\n");
  const std::u16string name = folder.Name("hosts");
  uint32_t before = 0;
  ASSERT_TRUE(FileGetAttributes(name, before));
#ifdef _WIN32
  // Under Wine a read-only file is also refused by the access check; system and hidden are not.
  const uint32_t set = before | FileAttributeSystem | FileAttributeHidden;
#else
  const uint32_t set = before | FileAttributeReadOnly;
#endif
  ASSERT_TRUE(FileSetAttributes(name, set));
  uint32_t withAttributes = 0;
  ASSERT_TRUE(FileGetAttributes(name, withAttributes));
  THosts hosts;
  ASSERT_EQ(hosts.LoadFromFile(name), 1);
  hosts.SaveOptions().LiftAttributes = true;
  hosts.SaveOptions().IncludeLocalhost = false;
  // While it is written the file has none of the three attributes: Windows refuses to create a
  // hidden or system file anew.
  std::vector<uint32_t> during; // at each step of the save but the lift's own
  SetFileFaultHook([&during, &name](TFileStep step, int64_t&) {
    uint32_t now = 0;
    if (step != TFileStep::SetAttributes && FileGetAttributes(name, now))
      during.push_back(now);
    return false;
  });
  const bool saved = hosts.SaveToFile(name, EncodingAnsi);
  SetFileFaultHook(nullptr);
  EXPECT_TRUE(saved ? !during.empty() : !RunningAsRoot()) << "written without a step";
  for (const uint32_t now : during)
    EXPECT_EQ(now & (FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem), 0u);
  uint32_t after = 0;
  ASSERT_TRUE(FileGetAttributes(name, after));
  EXPECT_EQ(after, withAttributes);
  if (saved)
    EXPECT_EQ(ReadBytes(file), "0.0.0.0 a\r\n");
  else
    EXPECT_EQ(ReadBytes(file), "0.0.0.0 a\n");
#ifndef _WIN32
  // POSIX: the exact mode comes back (root may write a read-only file, others may not).
  EXPECT_TRUE(saved || !RunningAsRoot());
#else
  EXPECT_TRUE(saved);
#endif
}

#ifdef _WIN32
TEST(DocumentFile, ALockedFileRaisesAndLeavesTheDocumentUnchanged) {
  TempFolder folder;
  WriteBytes(folder.File("hosts"), "0.0.0.0 a\n");
  THosts hosts;
  hosts.LoadFromBytes("10.0.0.1 x\n");
  TVornFileStream holder(folder.Name("hosts"), TVornFileStream::ModeRead); // no sharing
  ASSERT_NE(holder.Handle(), -1);
  EXPECT_THROW(hosts.LoadFromFile(folder.Name("hosts")), std::system_error);
  EXPECT_EQ(hosts.Count(), 1);
}
#endif

// A file that cannot be written is not replaced either, though its folder would take a new file
// swapped in over it. Tested as an ordinary user: root may write everywhere.
TEST(DocumentFile, SaveOfAFileThatCannotBeWrittenTouchesNothing) {
  AsAnOrdinaryUser([] {
    TempFolder folder;
    const auto file = folder.File("hosts");
    WriteBytes(file, "0.0.0.0 a\n");
    MakeReadOnly(file);
    THosts hosts;
    hosts.LoadFromBytes("10.0.0.1 x\n");
    EXPECT_FALSE(hosts.SaveToFile(folder.Name("hosts"), EncodingAnsi));
    EXPECT_EQ(ReadBytes(file), "0.0.0.0 a\n");
    EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"hosts"});
  });
}

TEST(DocumentFile, CorpusRoundTripIsStable) {
  const auto corpus = CorpusFolder();
  if (corpus.empty())
    GTEST_SKIP() << "the shared corpus is not here (a fresh clone)";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().filename() == "README.md")
      continue;
    SCOPED_TRACE(entry.path().string());
    ++files;
    THosts first;
    ASSERT_GT(first.LoadFromFile(ToU16(entry.path())), 0);
    first.SaveOptions().IncludeLocalhost = false;
    const std::string once = first.SaveToBytes(EncodingUtf8);
    THosts second;
    second.SaveOptions().IncludeLocalhost = false;
    ASSERT_GT(second.LoadFromBytes(once), 0);
    const std::string twice = second.SaveToBytes(EncodingUtf8);
    THosts third;
    third.SaveOptions().IncludeLocalhost = false;
    third.LoadFromBytes(twice);
    EXPECT_EQ(third.SaveToBytes(EncodingUtf8), twice);
    EXPECT_EQ(second.Count(), first.Count());
  }
  EXPECT_GT(files, 0);
}

// A line keeps its names' text and its address in the document it was made for: a line made for
// a document that has gone is refused by every other, also by one made after it.
TEST(Document, ALineOfADocumentGoneIsRefused) {
  bool found = false;
  auto gone = std::make_unique<THosts>();
  auto line = std::make_unique<THostItem>(gone.get());
  line->ParseLine(u"10.9.8.7 stale-name.example", found, false);
  gone.reset();
  THosts next;
  next.LoadFromBytes("0.0.0.0 a.example\n");
  EXPECT_FALSE(next.Insert(0, std::move(line)));
  EXPECT_EQ(next.Count(), 1);
  EXPECT_EQ(Save(next, EncodingAnsi, false), "0.0.0.0 a.example\r\n");
}

// The same bytes through both roads of a load: a block the document may use up, or bytes it
// copies from.
int LoadBothWays(THosts& hosts, const std::string& bytes, bool inPlace) {
  if (!inPlace)
    return hosts.LoadFromBytes(bytes);
  TLargeBuffer block(bytes.size() + 1);
  std::memcpy(block.Data(), bytes.data(), bytes.size());
  block.SetSize(bytes.size());
  return hosts.LoadFromBuffer(std::move(block));
}

// A watcher may read the document, change its lines and stop or replace the watch (from the next
// line on); while it runs, whatever would add, remove or move lines is refused. Every line of the
// file is read, whatever it does.
TEST(Document, AWatcherMayReadAndChangeLinesButNotTheList) {
  const std::string input = "0.0.0.0 a b\n# note\n10.0.0.1 c\n0.0.0.0 d\n";
  const std::string saved = "0.0.0.0 a b\r\n# note\r\n10.0.0.1 c\r\n0.0.0.0 d\r\n";
  const std::string longNames = " long-name-number-one.example long-name-number-two.example";
  struct Row {
    const char* Name;
    // Starts the watch; seen counts the lines the watchers see.
    std::function<void(THosts&, int& seen)> Watch;
    int Seen;
    std::string Saved;
  };
  const Row rows[] = {
      {"stops watching from inside",
       [](THosts& hosts, int& seen) {
         hosts.WatchLoad([&hosts, &seen, tag = std::string(64, 'x')](const THostsReadLine&) {
           hosts.WatchLoad(nullptr);
           seen += static_cast<int>(tag.size()) / 64; // its own state is still there
         });
       },
       1, saved},
      {"hands the watch to another",
       [](THosts& hosts, int& seen) {
         hosts.WatchLoad([&hosts, &seen](const THostsReadLine&) {
           ++seen;
           hosts.WatchLoad([&seen](const THostsReadLine&) { seen += 10; });
         });
       },
       31, saved},
      {"reads the first line again, with long names",
       [&longNames](THosts& hosts, int& seen) {
         hosts.WatchLoad([&hosts, &seen, &longNames](const THostsReadLine& read) {
           if (++seen == 1 && read.Kept) {
             bool found = false;
             const std::string text = "0.0.0.0" + longNames;
             hosts.Items(0)->ParseLine(std::u16string(text.begin(), text.end()), found, false);
           }
         });
       },
       4, "0.0.0.0" + longNames + "\r\n# note\r\n10.0.0.1 c\r\n0.0.0.0 d\r\n"},
      {"deletes, inserts, merges and loads",
       [](THosts& hosts, int& seen) {
         hosts.WatchLoad([&hosts, &seen](const THostsReadLine&) {
           ++seen;
           EXPECT_FALSE(hosts.Delete(0));
           EXPECT_FALSE(hosts.Insert(0, std::make_unique<THostItem>(&hosts)));
           hosts.Optimize();
           EXPECT_EQ(hosts.LoadFromBytes("0.0.0.0 more\n"), 0);
         });
       },
       4, saved},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    for (const bool inPlace : {false, true}) {
      SCOPED_TRACE(inPlace ? "in place" : "copied");
      THosts hosts;
      int seen = 0;
      row.Watch(hosts, seen);
      EXPECT_EQ(LoadBothWays(hosts, input, inPlace), 4);
      EXPECT_EQ(seen, row.Seen);
      EXPECT_EQ(Save(hosts, EncodingAnsi, false), row.Saved);
    }
  }
}

// A load that fails (its watcher raised, or memory ran out) leaves the document as it was.
TEST(Document, AFailedLoadLeavesTheDocumentAsItWas) {
  const std::string before = "10.0.0.1 x # kept\r\n";
  std::string input;
  for (int i = 0; i < 40; ++i)
    input += "10.0.0." + std::to_string(i % 7) + " n" + std::to_string(i) + " m" +
             std::to_string(i) + " # c\n# comment " + std::to_string(i) + "\n";
  for (const bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "copied");
    for (int fail = 0; fail < 120; ++fail) {
      SCOPED_TRACE(fail);
      THosts hosts;
      hosts.LoadFromBytes(before);
      const THostsLoadInfo info = hosts.LoadInfo();
      bool failed = false;
      if (fail % 2 == 0) { // the watcher raises at a line
        hosts.WatchLoad([fail](const THostsReadLine& read) {
          if (read.Number == static_cast<size_t>(fail / 2 + 1))
            throw std::runtime_error("watcher");
        });
        try {
          LoadBothWays(hosts, input, inPlace);
        } catch (const std::runtime_error&) {
          failed = true;
        }
        hosts.WatchLoad(nullptr);
      } else { // memory runs out at an allocation
        const TFailingAllocations failing(fail / 2);
        try {
          LoadBothWays(hosts, input, inPlace);
        } catch (const std::bad_alloc&) {
          failed = true;
        }
      }
      if (!failed)
        continue;
      EXPECT_EQ(hosts.Count(), 1);
      EXPECT_EQ(Save(hosts, EncodingAnsi, false), before);
      EXPECT_EQ(hosts.LoadInfo().Lines, info.Lines);
      EXPECT_EQ(hosts.LoadInfo().Bytes, info.Bytes);
    }
  }
}

// What one thread does with its own document: lines read, lines made by the caller (from the
// shared pool of lines), names added to a line (arrays from the shared pools), lines without a
// document with comments (the shared table of their extras), the merge, the save.
std::string WorkOnADocument(int seed) {
  std::string input;
  for (int i = 0; i < 3000; ++i)
    input += "10.0." + std::to_string(seed) + "." + std::to_string(i % 5) + " n" +
             std::to_string(i) + (i % 7 == 0 ? " m" + std::to_string(i) : "") + " # c\n";
  THosts hosts;
  hosts.LoadFromBytes(input);
  bool found = false;
  for (int i = 0; i < 200; ++i) {
    auto line = std::make_unique<THostItem>(&hosts);
    line->ParseLine(u"10.9.9.9 made" + std::u16string(1, char16_t(u'a' + i % 26)), found, false);
    for (int k = 0; k < i % 20; ++k)
      line->AddName(line->ExtractName(0));
    hosts.Insert(i * 7, std::move(line));
    THostItem loose(nullptr);
    loose.ParseLine(u"1.2.3.4 loose # its own comment", found, false);
    EXPECT_TRUE(loose.Comment() == u" its own comment");
  }
  hosts.Optimize();
  hosts.SaveOptions().IncludeLocalhost = false;
  return hosts.SaveToBytes(EncodingUtf8);
}

// Documents on different threads are independent, though they share the pools and the numbers
// of the live documents; and several threads may read one document at once.
TEST(DocumentThreads, DocumentsOnThreadsAndReadersOfOneDocument) {
  std::vector<std::string> alone;
  for (int t = 0; t < 4; ++t)
    alone.push_back(WorkOnADocument(t));
  std::vector<std::string> together(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&together, t] {
      for (int round = 0; round < 3; ++round)
        together[static_cast<size_t>(t)] = WorkOnADocument(t);
    });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(together, alone);

  THosts shared;
  std::string lines;
  for (int i = 0; i < 2000; ++i)
    lines += "0.0.0.0 h" + std::to_string(i) + "\n";
  shared.LoadFromBytes(lines);
  for (int i = 0; i < 50; ++i) { // lines in places of their own: many runs
    auto line = std::make_unique<THostItem>(&shared);
    bool found = false;
    line->ParseLine(u"1.2.3.4 b c d", found, false);
    shared.Insert(i * 40, std::move(line));
  }
  const std::string saved = shared.SaveToBytes(EncodingUtf8);
  std::vector<int> wrong(4, 0);
  threads.clear();
  for (size_t t = 0; t < 4; ++t)
    threads.emplace_back([&shared, &saved, &wrong, t] {
      for (int round = 0; round < 200; ++round) {
        for (int i = shared.Count() - 1; i >= 0; i -= 1 + static_cast<int>(t))
          wrong[t] += shared.Items(i)->Owner() != &shared;
        wrong[t] += shared.SaveToBytes(EncodingUtf8) != saved;
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

} // namespace
