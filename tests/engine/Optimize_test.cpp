#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FailingAllocations.h"
#include "OptimizeOracle.h"
#include "VornLibMemory.h"
#include "uHosts.h"

namespace {

// The document as its saved text without header lines or byte-order mark, lines ended by "\n".
std::string Render(THosts& hosts) {
  hosts.SaveOptions().IncludeLocalhost = false;
  const std::string bytes = hosts.SaveToBytes(EncodingAnsi);
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
      continue;
    text.push_back(bytes[i]);
  }
  return text;
}

std::string Optimized(const std::string& input) {
  THosts hosts;
  hosts.LoadFromBytes(input);
  hosts.Optimize();
  return Render(hosts);
}

std::string Names(const char* prefix, int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i)
    text += std::string(" ") + prefix + std::to_string(i);
  return text;
}

// Everything about a line the writer and the merge pass care about, as one text.
std::string Describe(const THostItem& line) {
  std::ostringstream out;
  out << "flags=" << line.Flags() << " addr=" << (line.Address() ? line.Address()->Text() : "-")
      << " comment=" << std::string(line.Comment().begin(), line.Comment().end()) << " names=";
  for (int i = 0; i < line.NameCount(); ++i) {
    const THostName* name = line.GetName(i);
    const std::u16string text = name->Name();
    out << std::string(text.begin(), text.end()) << '/' << int(name->Flags) << ',';
    EXPECT_EQ(name->Owner, &line);
  }
  return out.str();
}

std::vector<std::string> DescribeAll(const THosts& hosts) {
  std::vector<std::string> lines;
  for (int i = 0; i < hosts.Count(); ++i)
    lines.push_back(Describe(*hosts.Items(i)));
  return lines;
}

struct Example {
  const char* Name;
  std::string Input;
  std::string Expected;
};

TEST(Optimize, WorkedExamples) {
  std::string twenty;
  for (int i = 1; i <= 20; ++i)
    twenty += "0.0.0.0 h" + std::to_string(i) + "\n";
  const std::vector<Example> examples = {
      {"empty document", "", ""},
      {"twenty one-name lines", twenty,
       "0.0.0.0" + Names("h", 1, 9) + "\n0.0.0.0" + Names("h", 10, 18) + "\n0.0.0.0 h19 h20\n"},
      {"two addresses", "0.0.0.0 a\n0.0.0.0 b c\n1.2.3.4 x\n", "0.0.0.0 a b c\n1.2.3.4 x\n"},
      {"eight then ten, then one, then one",
       "0.0.0.0" + Names("a", 1, 8) + "\n0.0.0.0" + Names("b", 1, 10) + "\n0.0.0.0 c\n0.0.0.0 d\n",
       "0.0.0.0" + Names("a", 1, 8) + " b1\n0.0.0.0" + Names("b", 2, 10) + "\n0.0.0.0 c d\n"},
      {"eight then twenty: two inserted lines",
       "0.0.0.0" + Names("a", 1, 8) + "\n0.0.0.0" + Names("b", 1, 20) + "\n1.1.1.1 other\n",
       "0.0.0.0" + Names("a", 1, 8) + " b1\n0.0.0.0 b20\n0.0.0.0" + Names("b", 2, 10) +
           "\n0.0.0.0" + Names("b", 11, 19) + "\n1.1.1.1 other\n"},
      {"three then twelve then z",
       "0.0.0.0" + Names("a", 1, 3) + "\n0.0.0.0" + Names("b", 1, 12) + "\n0.0.0.0 z\n",
       "0.0.0.0" + Names("a", 1, 3) + " b1\n0.0.0.0 b11 b12 z\n0.0.0.0" + Names("b", 2, 10) + "\n"},
      {"a first line of twelve gives no names away; it is cut where it stands, after the merge",
       "0.0.0.0" + Names("b", 1, 12) + "\n0.0.0.0 x\n0.0.0.0 y\n",
       "0.0.0.0" + Names("b", 1, 9) + "\n0.0.0.0 b10 b11 b12\n0.0.0.0 x y\n"},
      {"lines kept apart are cut into lines of nine too, commented-out entries are not",
       "0" + Names("b", 1, 20) + "\n#0.0.0.0" + Names("c", 1, 10) + "\n0 x\n",
       "0" + Names("b", 1, 9) + "\n0" + Names("b", 10, 18) + "\n0 b19 b20\n#0.0.0.0" +
           Names("c", 1, 10) + "\n0 x\n"},
      {"equal addresses written differently: the receiving line keeps its text",
       "0:0::1 a\n::1 b\n", "0:0::1 a b\n"},
      {"different addresses stay apart", "192.168.1.2 nas\n192.168.1.3 printer\n",
       "192.168.1.2 nas\n192.168.1.3 printer\n"},
      {"a commented-out entry stays in place with its comment",
       "10.0.0.1 a\n#10.0.0.1 old #gone\n10.0.0.1 b\n", "10.0.0.1 a b\n#10.0.0.1 old #gone\n"},
      {"comments, blanks and trailing comments go",
       "# header\n\n10.0.0.1 a # trailing\n   \n::1 b\n", "10.0.0.1 a\n::1 b\n"},
      {"IPv6 written two ways", "::1 a\n0:0:0:0:0:0:0:1 b\n", "::1 a b\n"},
      {"IPv6 with a dotted IPv4 tail",
       "::ffff:10.0.0.9 a9\n::ffff:a00:9 b9\n64:ff9b::192.0.2.33 c\n",
       "::ffff:10.0.0.9 a9 b9\n64:ff9b::192.0.2.33 c\n"},
      {"texts the resolver reads otherwise neither give nor take names",
       "..1.2.3.4 a\n1.2.3.4 b\nface c\nface:: d\n0.0.0.0. e\n0.0.0.0 f\n",
       "..1.2.3.4 a\n1.2.3.4 b\nface c\nface:: d\n0.0.0.0. e\n0.0.0.0 f\n"},
      {"leading zeros and short forms are no address to the hosts readers",
       "10.0.0.1 a\n010.0.0.1 b\n10.0.0.1 c\n127.000.000.001 d\n127.0.0.1 e\n0 f\n0.0.0.0 g\n"
       "127.0.0.1 i\n0.0.0.0 j\n",
       "10.0.0.1 a c\n010.0.0.1 b\n127.000.000.001 d\n127.0.0.1 e i\n0 f\n0.0.0.0 g j\n"},
  };
  for (const auto& example : examples) {
    SCOPED_TRACE(example.Name);
    EXPECT_EQ(Optimized(example.Input), example.Expected);
    THosts literal;
    literal.LoadFromBytes(example.Input);
    OptimizeLiterally(literal);
    EXPECT_EQ(Render(literal), example.Expected) << "the literal pass disagrees";

    // Memory runs out at each allocation of the merge in turn: the merge either ends as it
    // should or raises with the document as it was.
    for (long fail = 0;; ++fail) {
      THosts hosts;
      hosts.LoadFromBytes(example.Input);
      const std::vector<std::string> before = DescribeAll(hosts);
      const std::string bytesBefore = Render(hosts);
      bool failed = false;
      {
        const TFailingAllocations failing(fail);
        try {
          hosts.Optimize();
        } catch (const std::bad_alloc&) {
          failed = true;
        }
      }
      for (int i = 0; i < hosts.Count(); ++i)
        ASSERT_NE(hosts.Items(i), nullptr) << "allocation " << fail << " failed: line " << i;
      if (!failed) {
        EXPECT_EQ(Render(hosts), example.Expected);
        break;
      }
      ASSERT_EQ(DescribeAll(hosts), before) << "allocation " << fail << " failed";
      ASSERT_EQ(Render(hosts), bytesBefore) << "allocation " << fail << " failed";
    }
  }
}

TEST(Optimize, SplitLinesGetTheAddressAndNoComment) {
  THosts hosts;
  hosts.LoadFromBytes("0.0.0.0 a\n0.000.0.0" + Names("b", 1, 12) + " # note\n");
  hosts.Optimize();
  ASSERT_EQ(hosts.Count(), 3);
  const THostItem* inserted = hosts.Items(2);
  EXPECT_EQ(inserted->Address()->Text(), "0.000.0.0");
  EXPECT_TRUE(inserted->IsEntry());
  EXPECT_FALSE(inserted->HasComment());
  EXPECT_FALSE(hosts.Items(1)->HasComment());
}

// Random documents: few addresses written in several equal forms, lines of 0 to 30 names,
// kept-localhost and malformed names, commented-out entries, blank and comment lines.
// Plain documents leave out lines of more than nine names and names the writer leaves out.
std::string RandomDocument(std::mt19937& random, bool plain = false) {
  static const std::vector<std::vector<std::string>> addresses = {
      {"0.0.0.0", "0", "000.0.0.0", "0.0.0.0."},
      {"127.0.0.1", "127.000.000.001", "127.0.0.01"},
      {"::1", "0:0:0:0:0:0:0:1", "::0001"},
      {"fe80::1", "FE80:0::1"},
      {"10.0.0.1"},
  };
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::string text;
  const int lines = pick(40);
  int nameNumber = 0;
  for (int l = 0; l < lines; ++l) {
    const int kind = pick(10);
    if (kind == 0) {
      text += "# a comment\n";
      continue;
    }
    if (kind == 1) {
      text += pick(2) ? "\n" : " \t\n";
      continue;
    }
    const auto& forms = addresses[static_cast<size_t>(pick(static_cast<int>(addresses.size())))];
    std::string line = kind == 2 ? "#" : (pick(4) == 0 ? "\t" : "");
    line += forms[static_cast<size_t>(pick(static_cast<int>(forms.size())))];
    const int names = pick(5) == 0 ? pick(plain ? 10 : 31) : pick(4);
    for (int n = 0; n < names; ++n) {
      line += pick(3) == 0 ? "\t" : " ";
      const int nameKind = plain ? 2 : pick(20);
      if (nameKind == 0)
        line += "localhost";
      else if (nameKind == 1)
        line += "bad*name" + std::to_string(nameNumber++);
      else
        line += "n" + std::to_string(nameNumber++);
    }
    if (pick(5) == 0)
      line += " # trailing";
    text += line + "\n";
  }
  return text;
}

TEST(Optimize, FastPassEqualsTheLiteralPassOnRandomDocuments) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    const std::string input = RandomDocument(random);
    const bool keepLocalhost = round % 3 == 0;
    THosts fast;
    THosts literal;
    fast.LoadOptions().KeepLocalhost = keepLocalhost;
    literal.LoadOptions().KeepLocalhost = keepLocalhost;
    literal.LoadOptions().DropBlankLines = fast.LoadOptions().DropBlankLines = round % 2 == 0;
    fast.LoadFromBytes(input);
    literal.LoadFromBytes(input);
    fast.Optimize();
    OptimizeLiterally(literal);
    const auto fastLines = DescribeAll(fast);
    const auto literalLines = DescribeAll(literal);
    ASSERT_EQ(fastLines, literalLines) << "round " << round << ", input:\n" << input;

    // Memory running out somewhere in the merge leaves the document as it was.
    THosts failing;
    failing.LoadOptions().KeepLocalhost = keepLocalhost;
    failing.LoadFromBytes(input);
    const auto before = DescribeAll(failing);
    bool failed = false;
    {
      const TFailingAllocations fail(static_cast<long>(random() % 64));
      try {
        failing.Optimize();
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    }
    ASSERT_EQ(DescribeAll(failing), failed ? before : fastLines) << "input:\n" << input;
  }
}

// A document of several hundred thousand lines spans many of the blocks its lines are kept in,
// which the pass gives back and takes room from as it goes: three addresses taking turns, one
// name a line, with commented-out entries (kept in place, with their comments) and comment lines
// between. Each address's names fill lines of nine in reading order; a line opens where the line
// of its address before it is full.
TEST(Optimize, ManyLinesFillLinesOfNineInOrder) {
  const char* const addresses[] = {"0.0.0.0", "127.0.0.1", "10.1.2.3"};
  std::string input;
  std::vector<std::string> expected;                   // the output lines, in order
  std::vector<size_t> open(3, SIZE_MAX), filled(3, 0); // per address: its open line, its names
  for (int i = 0; i < 300000; ++i) {
    if (i % 1000 == 999) {
      input += "#0.0.0.0 off" + std::to_string(i) + " #note\n# a comment\n";
      expected.push_back("#0.0.0.0 off" + std::to_string(i) + " #note");
      continue;
    }
    const int a = i % 3;
    const std::string name = "h" + std::to_string(i) + ".example";
    input += std::string(addresses[a]) + " " + name + (i % 7 == 0 ? " # gone\n" : "\n");
    if (open[a] == SIZE_MAX || filled[a] == 9) {
      open[a] = expected.size();
      expected.push_back(addresses[a]);
      filled[a] = 0;
    }
    expected[open[a]] += " " + name;
    ++filled[a];
  }
  std::string text;
  for (const std::string& line : expected)
    text += line + "\n";
  EXPECT_EQ(Optimized(input), text);
}

// A second pass changes nothing where no line had to be split or cut and every name is written. (A
// split can leave a line with room in front of a later line of its address, and a line holding
// names that are not written reads back shorter; the next pass then fills those lines further.)
// A merge that fails for want of memory keeps nothing of what it took in advance (the room for
// names, a slab for the lines it keeps, the lines its cuts make): the document holds as much
// memory after it as before, and as many lines. The document is large enough for the lines kept
// to need a slab of their own, with lines to cut and lines that receive names.
TEST(Optimize, AFailedMergeGivesBackAllItTook) {
  std::string input;
  for (int i = 0; i < 160000; ++i)
    input += "0.0.0.0 n" + std::to_string(i) + (i % 5000 == 0 ? Names(" m", 1, 12) : "") + "\n";
  THosts hosts;
  hosts.LoadFromBytes(input);
  const int lines = hosts.Count();
  const size_t before = LargeBlockBytesInUse();
  int failures = 0;
  for (long succeeding = 0;; ++succeeding) {
    SCOPED_TRACE(succeeding);
    bool failed = false;
    {
      const TFailingAllocations failing(succeeding);
      try {
        hosts.Optimize();
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    }
    if (!failed)
      break;
    ++failures;
    EXPECT_EQ(LargeBlockBytesInUse(), before);
    ASSERT_EQ(hosts.Count(), lines);
  }
  EXPECT_GT(failures, 5);
  EXPECT_LT(hosts.Count(), lines);
}

TEST(Optimize, IsIdempotentThroughSaveAndLoad) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    const std::string input = RandomDocument(random, true);
    for (const SaveEncoding encoding : {EncodingAnsi, EncodingUtf8, EncodingUtf16LE}) {
      THosts first;
      first.LoadFromBytes(input);
      first.Optimize();
      const std::string once = first.SaveToBytes(encoding);
      THosts second;
      second.LoadFromBytes(once);
      second.Optimize();
      ASSERT_EQ(second.SaveToBytes(encoding), once) << "input:\n" << input;
    }
  }
}

TEST(Tracker, FindsEqualAddressesAsTheFirstItem) {
  THostsIP a, b, c, d;
  ASSERT_TRUE(a.Parse("127.0.0.1", false));
  ASSERT_TRUE(b.Parse("127.000.000.001", false));
  ASSERT_TRUE(c.Parse("::1", false));
  ASSERT_TRUE(d.Parse("0:0::1", false));
  TIPTracker tracker;
  EXPECT_EQ(tracker.IndexOf(&a), -1);
  EXPECT_EQ(tracker.FindOrAdd(nullptr), nullptr);
  TIPTrackerItem* first = tracker.FindOrAdd(&a);
  EXPECT_EQ(first->Address, &a);
  EXPECT_EQ(first->OpenLine, nullptr);
  EXPECT_EQ(tracker.FindOrAdd(&b), first);
  TIPTrackerItem* second = tracker.FindOrAdd(&c);
  EXPECT_NE(second, first);
  EXPECT_EQ(tracker.IndexOf(&d), 1);
  EXPECT_EQ(tracker.IndexOf(&b), 0);
  EXPECT_EQ(tracker.IndexOf(nullptr), -1);
  EXPECT_EQ(tracker.Count(), 2);
}

#if VORN_ADDRESS_SANITIZER
// The merge pass moves every line it keeps, and with it the line's names: a line or a name taken
// before Optimize is none after it (the sanitizer build reports its use).
TEST(OptimizeDeathTest, LinesAndNamesTakenBeforeTheMergeAreGoneAfterIt) {
  struct Row {
    const char* Name;
    int Line;
    int Name_; // -1: the line itself
  };
  const Row rows[] = {
      {"the first line", 0, -1},
      {"the name of a line that receives names", 0, 0},
      {"a line kept apart", 2, -1},
      {"a commented-out entry", 3, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    THosts hosts;
    hosts.LoadFromBytes("0.0.0.0 a\n0.0.0.0 b\n0 c\n#0.0.0.0 d\n");
    const THostItem* line = hosts.Items(row.Line);
    const THostName* name = row.Name_ < 0 ? nullptr : line->GetName(row.Name_);
    hosts.Optimize();
    EXPECT_DEATH(
        {
          volatile size_t sink = name ? name->Length() : static_cast<size_t>(line->NameCount());
          (void)sink;
        },
        "use-after-poison");
  }
}
#endif

} // namespace
