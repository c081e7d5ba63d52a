// Hosts lines: the line scanner, and the name/address/comment operations of a line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "VornLibStrUtils.h"
#include "uHosts.h"

namespace {

constexpr uint16_t kCommentText = THostItem::CommentText;
constexpr uint16_t kCommented = THostItem::Commented;
constexpr uint16_t kEntry = THostItem::Entry;
constexpr uint16_t kInvalid = THostItem::Invalid;

struct NameRow {
  std::u16string name;
  uint8_t flags;
};

struct LineRow {
  std::u16string text;
  bool keepLocalhost = false;
  uint16_t flags;
  const char* address = nullptr; // nullptr: the line has no address
  std::vector<NameRow> names = {};
  std::u16string comment = {};
  bool foundLocalhost = false;
};

const std::vector<LineRow>& LineRows() {
  static const std::vector<LineRow> rows = {
      // Blank, invalid and comment lines.
      {.text = u"", .flags = 0},
      {.text = u"   ", .flags = kInvalid},
      {.text = u" \t ", .flags = kInvalid},
      {.text = u"#", .flags = kCommented},
      {.text = u"##", .flags = kCommented | kCommentText, .comment = u"#"},
      {.text = u"  # note", .flags = kInvalid},
      {.text = u"# 127.0.0.1 a", .flags = kCommented | kCommentText, .comment = u" 127.0.0.1 a"},
      {.text = u"#\t127.0.0.1 a", .flags = kCommented | kCommentText, .comment = u"\t127.0.0.1 a"},
      {.text = u"#127.0.0.1", .flags = kCommented | kCommentText, .comment = u"127.0.0.1"},
      // The address is read, but a commented line without names keeps no comment.
      {.text = u"#127.0.0.1 ", .flags = kCommented, .address = "127.0.0.1"},
      {.text = u"#1.2.3 host", .flags = kCommented | kCommentText, .comment = u"1.2.3 host"},
      {.text = u"host 10.0.0.1", .flags = kInvalid},
      {.text = u"1.2.3 host", .flags = kInvalid},
      {.text = u"fe80::1%1 host", .flags = kInvalid},
      {.text = u"127.0.0.1\u00A0a", .flags = kInvalid}, // no-break space
      // An address alone is invalid; with a blank or a comment behind it, blank.
      {.text = u"10.0.0.1", .flags = kInvalid},
      {.text = u"10.0.0.1 ", .flags = 0, .address = "10.0.0.1"},
      {.text = u"10.0.0.1 #x", .flags = kCommentText, .address = "10.0.0.1", .comment = u"x"},
      {.text = u"10.0.0.1 #", .flags = 0, .address = "10.0.0.1"},
      // Entries.
      {.text = u"127.0.0.1 a", .flags = kEntry, .address = "127.0.0.1", .names = {{u"a", 0}}},
      {.text = u"\t 127.0.0.1 a", .flags = kEntry, .address = "127.0.0.1", .names = {{u"a", 0}}},
      {.text = u"::1 host", .flags = kEntry, .address = "::1", .names = {{u"host", 0}}},
      {.text = u"abc host", .flags = kEntry, .address = "abc", .names = {{u"host", 0}}},
      {.text = u"0 host", .flags = kEntry, .address = "0", .names = {{u"host", 0}}},
      {.text = u"127.0.0.1\thost1  host2\t#x",
       .flags = kEntry | kCommentText,
       .address = "127.0.0.1",
       .names = {{u"host1", 0}, {u"host2", 0}},
       .comment = u"x"},
      {.text = u"127.0.0.1 a#b",
       .flags = kEntry | kCommentText,
       .address = "127.0.0.1",
       .names = {{u"a", 0}},
       .comment = u"b"},
      {.text = u"127.0.0.1 a#", .flags = kEntry, .address = "127.0.0.1", .names = {{u"a", 0}}},
      {.text = u"127.0.0.1 a # kept as is  ",
       .flags = kEntry | kCommentText,
       .address = "127.0.0.1",
       .names = {{u"a", 0}},
       .comment = u" kept as is  "},
      {.text = u"#127.0.0.1 host #old",
       .flags = kCommented | kEntry | kCommentText,
       .address = "127.0.0.1",
       .names = {{u"host", 0}},
       .comment = u"old"},
      {.text = u"127.0.0.1 A a A",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"A", 0}, {u"a", 0}, {u"A", 0}}},
      {.text = u"127.0.0.1 caf\u00E9 \u4E2D.example a\u3000b",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"caf\u00E9", 0}, {u"\u4E2D.example", 0}, {u"a\u3000b", 0}}},
      // localhost: dropped, or kept with its own flag; FoundLocalhost tells about the last name
      // compared.
      {.text = u"127.0.0.1 localhost", .flags = 0, .address = "127.0.0.1", .foundLocalhost = true},
      {.text = u"127.0.0.1 localhost",
       .keepLocalhost = true,
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"localhost", 0x02}},
       .foundLocalhost = true},
      {.text = u"127.0.0.1 LocalHost foo",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"foo", 0}}},
      {.text = u"127.0.0.1 foo LOCALHOST",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"foo", 0}},
       .foundLocalhost = true},
      {.text = u"::1 localhost #c",
       .flags = kCommentText,
       .address = "::1",
       .comment = u"c",
       .foundLocalhost = true},
      {.text = u"127.0.0.1 localhost.localdomain",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"localhost.localdomain", 0}}},
      // Forbidden characters: dropped from the name, which is marked and never compared.
      {.text = u"0.0.0.0 *.ads.example",
       .flags = kEntry,
       .address = "0.0.0.0",
       .names = {{u".ads.example", 0xFF}}},
      {.text = u"0.0.0.0 * host", .flags = kEntry, .address = "0.0.0.0", .names = {{u"host", 0}}},
      {.text = u"0.0.0.0 a/b=c?d\\e",
       .flags = kEntry,
       .address = "0.0.0.0",
       .names = {{u"abcde", 0xFF}}},
      {.text = u"127.0.0.1 local*host",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"localhost", 0xFF}}},
      {.text = u"127.0.0.1 localhost *",
       .flags = 0,
       .address = "127.0.0.1",
       .foundLocalhost = true},
      {.text = u"127.0.0.1 localhost bad*",
       .flags = kEntry,
       .address = "127.0.0.1",
       .names = {{u"bad", 0xFF}},
       .foundLocalhost = true},
  };
  return rows;
}

TEST(LineParse, ReadsEveryRowAsListed) {
  for (const LineRow& row : LineRows()) {
    SCOPED_TRACE("text \"" + NarrowLatin1(row.text) + "\" keepLocalhost " +
                 (row.keepLocalhost ? "true" : "false"));
    THostItem line(nullptr);
    bool found = !row.foundLocalhost;
    line.ParseLine(row.text, found, row.keepLocalhost);
    EXPECT_EQ(line.Flags(), row.flags);
    EXPECT_EQ(found, row.foundLocalhost);
    if (row.address == nullptr) {
      EXPECT_EQ(line.Address(), nullptr);
    } else if (line.Address() == nullptr) {
      ADD_FAILURE() << "no address";
    } else {
      EXPECT_EQ(line.Address()->Text(), row.address);
      EXPECT_FALSE(line.Address()->IsEmpty());
      EXPECT_FALSE(line.Address()->IsTextOnly());
    }
    ASSERT_EQ(line.NameCount(), static_cast<int>(row.names.size()));
    for (int k = 0; k < line.NameCount(); ++k) {
      const THostName* name = line.GetName(k);
      ASSERT_NE(name, nullptr);
      EXPECT_TRUE(name->Name() == row.names[static_cast<size_t>(k)].name)
          << "name " << k << ": " << NarrowLatin1(name->Name());
      EXPECT_EQ(name->Flags, row.names[static_cast<size_t>(k)].flags) << "name " << k;
      EXPECT_EQ(name->Owner, &line);
    }
    EXPECT_TRUE(line.Comment() == row.comment) << "comment: " << NarrowLatin1(line.Comment());
    EXPECT_EQ(line.IsInvalid(), (row.flags & kInvalid) != 0);
  }
}

TEST(LineParse, ReadingAgainStartsOver) {
  THostItem line(nullptr);
  bool found = false;
  line.ParseLine(u"127.0.0.1 a b #c", found, false);
  ASSERT_EQ(line.NameCount(), 2);
  line.ParseLine(u"#", found, false);
  EXPECT_EQ(line.Flags(), kCommented);
  EXPECT_EQ(line.NameCount(), 0);
  EXPECT_EQ(line.Address(), nullptr);
  EXPECT_TRUE(line.Comment().empty());
}

std::unique_ptr<THostsIP> MakeAddress(const char* text, bool allowTextOnly) {
  auto address = std::make_unique<THostsIP>();
  if (*text != '\0') {
    EXPECT_TRUE(address->Parse(text, allowTextOnly));
  }
  return address;
}

TEST(LineNames, ExtractAndAddMoveNamesBetweenLines) {
  THostItem from(nullptr);
  bool found = false;
  from.ParseLine(u"127.0.0.1 a b", found, false);
  THostItem to(nullptr);

  EXPECT_EQ(from.ExtractName(-1), nullptr);
  EXPECT_EQ(from.ExtractName(2), nullptr);
  EXPECT_EQ(from.NameCount(), 2);

  std::unique_ptr<THostName> a = from.ExtractName(0);
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->Name() == u"a");
  EXPECT_EQ(a->Owner, nullptr);
  ASSERT_EQ(from.NameCount(), 1);
  EXPECT_TRUE(from.GetName(0)->Name() == u"b");

  std::unique_ptr<THostName> b = from.ExtractName(0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(from.NameCount(), 0);
  // Entry stays with the line even when its last name has gone.
  EXPECT_TRUE(from.IsEntry());
  EXPECT_FALSE(from.IsBlank());

  EXPECT_FALSE(to.IsEntry());
  EXPECT_EQ(to.AddName(std::move(b)), 0);
  EXPECT_EQ(to.AddName(std::move(a)), 1);
  EXPECT_TRUE(to.IsEntry());
  EXPECT_TRUE(to.GetName(0)->Name() == u"b");
  EXPECT_EQ(to.GetName(0)->Owner, &to);
  EXPECT_EQ(to.GetName(1)->Owner, &to);
  EXPECT_EQ(to.GetName(2), nullptr);
  EXPECT_EQ(to.GetName(-1), nullptr);

  to.ClearNames();
  EXPECT_EQ(to.NameCount(), 0);
  EXPECT_EQ(to.Flags(), kEntry);
}

TEST(LineAddress, SetAddressCopiesOnlyAddresses) {
  struct Row {
    const char* initial; // "" : the line has no address yet
    const char* source;  // nullptr: no source; "" : an empty value
    bool allowTextOnly = false;
    bool accepted = false;
    const char* after; // nullptr: still no address; "" : a fresh empty address
  };
  const Row rows[] = {
      {.initial = "", .source = nullptr, .after = nullptr},
      {.initial = "", .source = "::1", .accepted = true, .after = "::1"},
      {.initial = "", .source = "text", .allowTextOnly = true, .after = ""},
      {.initial = "", .source = "", .after = ""},
      {.initial = "1.2.3.4", .source = "text", .allowTextOnly = true, .after = "1.2.3.4"},
      {.initial = "1.2.3.4",
       .source = "127.000.000.001",
       .accepted = true,
       .after = "127.000.000.001"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.initial) + " <- " + (row.source ? row.source : "(none)"));
    THostItem line(nullptr);
    if (*row.initial != '\0') {
      auto initial = MakeAddress(row.initial, false);
      ASSERT_TRUE(line.SetAddress(initial.get()));
    }
    std::unique_ptr<THostsIP> source;
    if (row.source != nullptr) {
      source = MakeAddress(row.source, row.allowTextOnly);
    }
    EXPECT_EQ(line.SetAddress(source.get()), row.accepted);
    if (row.after == nullptr) {
      EXPECT_EQ(line.Address(), nullptr);
      continue;
    }
    ASSERT_NE(line.Address(), nullptr);
    EXPECT_NE(line.Address(), source.get());
    EXPECT_EQ(line.Address()->Text(), row.after);
    EXPECT_EQ(line.Address()->IsEmpty(), *row.after == '\0');
  }
}

TEST(LineAddress, AnEntryWithoutAUsableAddressIsInvalid) {
  THostItem line(nullptr);
  auto text = MakeAddress("text", true);
  EXPECT_FALSE(line.SetAddress(text.get()));
  EXPECT_FALSE(line.IsInvalid());
  THostItem donor(nullptr);
  bool found = false;
  donor.ParseLine(u"127.0.0.1 a", found, false);
  line.AddName(donor.ExtractName(0));
  EXPECT_TRUE(line.IsInvalid());
  EXPECT_EQ(line.Flags(), kEntry);

  auto address = MakeAddress("10.0.0.1", false);
  EXPECT_TRUE(line.SetAddress(address.get()));
  EXPECT_FALSE(line.IsInvalid());
}

TEST(LineComment, SetCommentKeepsTheFlagInStep) {
  THostItem line(nullptr);
  line.SetComment(u" x ");
  EXPECT_TRUE(line.HasComment());
  EXPECT_TRUE(line.IsBlank());
  EXPECT_TRUE(line.Comment() == u" x ");
  line.SetComment(u"");
  EXPECT_FALSE(line.HasComment());
  EXPECT_EQ(line.Flags(), 0);
}

TEST(LineComment, APlaceGivenBackServesOneLineOnly) {
  // The comments of a document's lines share one table; a line that goes gives its place back.
  THosts hosts;
  bool found = false;
  auto first = std::make_unique<THostItem>(&hosts);
  auto second = std::make_unique<THostItem>(&hosts);
  first->ParseLine(u"# one", found, false);
  second->ParseLine(u"# two", found, false);
  first.reset();
  auto third = std::make_unique<THostItem>(&hosts);
  auto fourth = std::make_unique<THostItem>(&hosts);
  third->ParseLine(u"1.2.3.4 a # three", found, false);
  fourth->ParseLine(u"# four", found, false);
  EXPECT_TRUE(second->Comment() == u" two");
  EXPECT_TRUE(third->Comment() == u" three");
  EXPECT_TRUE(fourth->Comment() == u" four");
  second->ParseLine(u"5.6.7.8 b", found, false);
  EXPECT_TRUE(second->Comment().empty());
  EXPECT_TRUE(fourth->Comment() == u" four");
}

// A name finds its line by the distance from where the name is stored, so the owner cannot be
// copied out of the name: it is compared, or turned into the line.
TEST(LineNames, TheOwnerOfANameCannotBeCopied) {
  using TOwner = decltype(THostName::Owner);
  EXPECT_FALSE(std::is_copy_constructible_v<TOwner>);
  EXPECT_FALSE(std::is_copy_assignable_v<TOwner>);
  EXPECT_FALSE(std::is_move_constructible_v<TOwner>);
  THostItem line(nullptr);
  bool found = false;
  line.ParseLine(u"10.0.0.1 a b", found, false);
  const THostItem* owner = line.GetName(1)->Owner;
  EXPECT_EQ(owner, &line);
  EXPECT_EQ(line.GetName(0)->Owner, &line);
}

} // namespace
