// Address values: reading IPv4 and IPv6 texts, kinds, equality, copying and hashing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "SorLists.h"
#include "VornLibStrUtils.h"
#include "uHosts.h"

namespace {

constexpr uint16_t Refused = 0xFFFF; // the row expects Parse to answer false

// How the system's resolver reads a row's text: as the same address, or otherwise (another
// address or none).
enum class Resolver : uint8_t { Alike, Otherwise };
constexpr Resolver Otherwise = Resolver::Otherwise;

struct ParseRow {
  const char* text;
  bool allowTextOnly;
  uint16_t kind; // Refused when Parse must fail
  const char* storedText;
  THostsIPValue value;
  Resolver resolver = Resolver::Alike; // for rows that read as an address
};

using G = TIPv6Groups;

const ParseRow kParseRows[] = {
    // The one-character "0" is the any-address; only the untrimmed text counts.
    {"0", false, KindIPv4Any, "0", uint32_t{0}, Otherwise},
    {"0.0.0.0", false, KindIPv4Any, "0.0.0.0", uint32_t{0}},
    {" 0", false, KindIPv6Unspecified, "0", G{0, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"00", false, KindIPv6Unspecified, "00", G{0, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    // IPv4 kinds; the text is kept as written, only trimmed.
    {"127.0.0.1", false, KindIPv4Loopback, "127.0.0.1", uint32_t{0x7F000001}},
    {"127.000.000.001", false, KindIPv4Loopback, "127.000.000.001", uint32_t{0x7F000001},
     Otherwise},
    {"127.0.0.2", false, KindIPv4Loopnet, "127.0.0.2", uint32_t{0x7F000002}},
    {"10.1.2.3", false, KindIPv4Private, "10.1.2.3", uint32_t{0x0A010203}},
    {"172.16.0.1", false, KindIPv4Private, "172.16.0.1", uint32_t{0xAC100001}},
    {"172.31.255.255", false, KindIPv4Private, "172.31.255.255", uint32_t{0xAC1FFFFF}},
    {"172.15.0.1", false, KindIPv4Other, "172.15.0.1", uint32_t{0xAC0F0001}},
    {"172.32.0.1", false, KindIPv4Other, "172.32.0.1", uint32_t{0xAC200001}},
    {"192.168.1.1", false, KindIPv4Private, "192.168.1.1", uint32_t{0xC0A80101}},
    {"192.169.1.1", false, KindIPv4Other, "192.169.1.1", uint32_t{0xC0A90101}},
    {"255.255.255.255", false, KindIPv4Broadcast, "255.255.255.255", uint32_t{0xFFFFFFFF}},
    {"1.2.3.4", false, KindIPv4Other, "1.2.3.4", uint32_t{0x01020304}},
    // A leading zero is no address to the hosts readers (inet_pton).
    {"010.0.0.1", false, KindIPv4Private, "010.0.0.1", uint32_t{0x0A000001}, Otherwise},
    {"08.0.0.1", false, KindIPv4Other, "08.0.0.1", uint32_t{0x08000001}, Otherwise},
    {"0000000000001.2.3.4", false, KindIPv4Other, "0000000000001.2.3.4", uint32_t{0x01020304},
     Otherwise},
    {" \t1.2.3.4\r\n", false, KindIPv4Other, "1.2.3.4", uint32_t{0x01020304}},
    // Dots: runs and a leading dot are passed over, one trailing dot too; two are not.
    {"1..2.3.4", false, KindIPv4Other, "1..2.3.4", uint32_t{0x01020304}, Otherwise},
    {"..1.2.3.4", false, KindIPv4Other, "..1.2.3.4", uint32_t{0x01020304}, Otherwise},
    {".1.2.3.4", false, KindIPv4Other, ".1.2.3.4", uint32_t{0x01020304}, Otherwise},
    {"1.2.3.4.", false, KindIPv4Other, "1.2.3.4.", uint32_t{0x01020304}, Otherwise},
    {"0.0.0.0.", false, KindIPv4Any, "0.0.0.0.", uint32_t{0}, Otherwise},
    {"1.2.3.4..", false, Refused, "", std::monostate{}},
    {"1.2.3.4..", true, KindTextOnly, "1.2.3.4..", std::monostate{}},
    {"1.2.3", false, Refused, "", std::monostate{}},
    {"1.2.3", true, KindTextOnly, "1.2.3", std::monostate{}},
    {"1.2.3.4.5", false, Refused, "", std::monostate{}},
    {"256.1.1.1", false, Refused, "", std::monostate{}},
    {"256.1.1.1", true, KindTextOnly, "256.1.1.1", std::monostate{}},
    {"1.2.3.4444444444444", false, Refused, "", std::monostate{}},
    {"1.2.3.99999999999999999999999999", true, KindTextOnly, "1.2.3.99999999999999999999999999",
     std::monostate{}},
    {"1.2.3.-4", false, Refused, "", std::monostate{}},
    // IPv6: "::" anywhere once, padding at the end without it.
    {"::", false, KindIPv6Unspecified, "::", G{0, 0, 0, 0, 0, 0, 0, 0}},
    {"::1", false, KindIPv6Loopback, "::1", G{0, 0, 0, 0, 0, 0, 0, 1}},
    {"0:0:0:0:0:0:0:1", false, KindIPv6Loopback, "0:0:0:0:0:0:0:1", G{0, 0, 0, 0, 0, 0, 0, 1}},
    {"::2", false, KindIPv6Other, "::2", G{0, 0, 0, 0, 0, 0, 0, 2}},
    {"::1:0", false, KindIPv6Other, "::1:0", G{0, 0, 0, 0, 0, 0, 1, 0}},
    {"::1:2", false, KindIPv6Other, "::1:2", G{0, 0, 0, 0, 0, 0, 1, 2}},
    {"1:::2", false, KindIPv6Other, "1:::2", G{1, 0, 0, 0, 0, 0, 0, 2}, Otherwise},
    {"1:2:3", false, KindIPv6Other, "1:2:3", G{1, 2, 3, 0, 0, 0, 0, 0}, Otherwise},
    {"12", false, KindIPv6Other, "12", G{0x12, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"abc", false, KindIPv6Other, "abc", G{0x0ABC, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"face", false, KindIPv6Other, "face", G{0xFACE, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"face::", false, KindIPv6Other, "face::", G{0xFACE, 0, 0, 0, 0, 0, 0, 0}},
    {"1:2:3:4::5:6:7:8", false, KindIPv6Other, "1:2:3:4::5:6:7:8", G{1, 2, 3, 4, 5, 6, 7, 8},
     Otherwise},
    {"1:2:3:4:5:6:7:8", false, KindIPv6Other, "1:2:3:4:5:6:7:8", G{1, 2, 3, 4, 5, 6, 7, 8}},
    {"1:1:1:1:1:1:1:1", false, KindIPv6Other, "1:1:1:1:1:1:1:1", G{1, 1, 1, 1, 1, 1, 1, 1}},
    {"2001:DB8::Ff", false, KindIPv6Other, "2001:DB8::Ff", G{0x2001, 0xDB8, 0, 0, 0, 0, 0, 0xFF}},
    {":1:2", false, KindIPv6Other, ":1:2", G{1, 2, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"1:2:", false, KindIPv6Other, "1:2:", G{1, 2, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"1:2::3:", false, KindIPv6Other, "1:2::3:", G{1, 2, 0, 0, 0, 0, 0, 3}, Otherwise},
    {"0000:ffff::", false, KindIPv6Other, "0000:ffff::", G{0, 0xFFFF, 0, 0, 0, 0, 0, 0}},
    // A dotted IPv4 tail: the last 32 bits from the quad, the text kept as it stood.
    {"::ffff:10.0.0.9", false, KindIPv6Other, "::ffff:10.0.0.9",
     G{0, 0, 0, 0, 0, 0xFFFF, 0x0A00, 0x0009}},
    {"64:ff9b::192.0.2.33", false, KindIPv6Other, "64:ff9b::192.0.2.33",
     G{0x64, 0xFF9B, 0, 0, 0, 0, 0xC000, 0x0221}},
    {"::FFFF:1.2.3.4", false, KindIPv6Other, "::FFFF:1.2.3.4",
     G{0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}},
    {"::0.0.0.1", false, KindIPv6Loopback, "::0.0.0.1", G{0, 0, 0, 0, 0, 0, 0, 1}},
    {"::0.0.0.0", false, KindIPv6Unspecified, "::0.0.0.0", G{0, 0, 0, 0, 0, 0, 0, 0}},
    {"1:2:3:4:5:6:7.8.9.10", false, KindIPv6Other, "1:2:3:4:5:6:7.8.9.10",
     G{1, 2, 3, 4, 5, 6, 0x0708, 0x090A}},
    {"ff02::1:255.255.255.255", false, KindIPv6Multicast, "ff02::1:255.255.255.255",
     G{0xFF02, 0, 0, 0, 0, 1, 0xFFFF, 0xFFFF}},
    // The quad read as the engine reads IPv4, the groups as it reads IPv6; the resolver is
    // stricter (no leading zero in the quad, eight groups or "::").
    {"::ffff:010.0.0.9", false, KindIPv6Other, "::ffff:010.0.0.9",
     G{0, 0, 0, 0, 0, 0xFFFF, 0x0A00, 0x0009}, Otherwise},
    {"::ffff:1..2.3.4", false, KindIPv6Other, "::ffff:1..2.3.4",
     G{0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}, Otherwise},
    {"1:1.2.3.4", false, KindIPv6Other, "1:1.2.3.4", G{1, 0, 0, 0, 0, 0, 0x0102, 0x0304},
     Otherwise},
    // The three categories of a non-zero first group.
    {"ff02::1", false, KindIPv6Multicast, "ff02::1", G{0xFF02, 0, 0, 0, 0, 0, 0, 1}},
    {"fc00::1", false, KindIPv6UniqueLocal, "fc00::1", G{0xFC00, 0, 0, 0, 0, 0, 0, 1}},
    {"fdff::", false, KindIPv6UniqueLocal, "fdff::", G{0xFDFF, 0, 0, 0, 0, 0, 0, 0}},
    {"fe80::1", false, KindIPv6LinkLocal, "fe80::1", G{0xFE80, 0, 0, 0, 0, 0, 0, 1}},
    {"febf::", false, KindIPv6LinkLocal, "febf::", G{0xFEBF, 0, 0, 0, 0, 0, 0, 0}},
    {"fec0::", false, KindIPv6Other, "fec0::", G{0xFEC0, 0, 0, 0, 0, 0, 0, 0}},
    {"100::", false, KindIPv6Other, "100::", G{0x100, 0, 0, 0, 0, 0, 0, 0}},
    // No IPv6 address.
    {"1::::2", false, Refused, "", std::monostate{}},
    {"1::2::3", false, Refused, "", std::monostate{}},
    {":", false, Refused, "", std::monostate{}},
    // ":::" leaves the tail ":", a colon alone, which is no group.
    {":::", false, Refused, "", std::monostate{}},
    {"::::", false, Refused, "", std::monostate{}},
    {"12345::", false, Refused, "", std::monostate{}},
    {"1:2:3:4:5:6:7:8:9", false, Refused, "", std::monostate{}},
    {"1:2:3:4::5:6:7:8:9", false, Refused, "", std::monostate{}},
    {"fe80::1%4", false, Refused, "", std::monostate{}},
    {"fe80::1%lo0", false, Refused, "", std::monostate{}},
    {"[::1]", false, Refused, "", std::monostate{}},
    {"[::ffff:1.2.3.4]", false, Refused, "", std::monostate{}},
    {"::ffff:1.2.3.4%1", false, Refused, "", std::monostate{}},
    {"1:2:3:4:5:6:7:1.2.3.4", false, Refused, "", std::monostate{}}, // nine groups
    {"::ffff:1.2.3", false, Refused, "", std::monostate{}},
    {"::ffff:256.1.1.1", false, Refused, "", std::monostate{}},
    {"1.2.3.4::", false, Refused, "", std::monostate{}},
    {"1.2.3.4:", false, Refused, "", std::monostate{}},
    {":1.2.3.4", false, Refused, "", std::monostate{}},
    {"1:g::", false, Refused, "", std::monostate{}},
    // Neither: text-only when allowed.
    {"", false, Refused, "", std::monostate{}},
    {"", true, KindTextOnly, "", std::monostate{}},
    // Blanks only are not the empty text: they trim to nothing, which as IPv6 is eight zero
    // groups (no part to read).
    {"   ", false, KindIPv6Unspecified, "", G{0, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"\t\r\n", true, KindIPv6Unspecified, "", G{0, 0, 0, 0, 0, 0, 0, 0}, Otherwise},
    {"localhost", false, Refused, "", std::monostate{}},
    {" Host-A\t", true, KindTextOnly, "Host-A", std::monostate{}},
};

TEST(AddressParse, ReadsEveryRowAsListed) {
  for (const ParseRow& row : kParseRows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\" allowTextOnly " +
                 (row.allowTextOnly ? "true" : "false"));
    THostsIP address;
    const bool ok = address.Parse(row.text, row.allowTextOnly);
    if (row.kind == Refused) {
      EXPECT_FALSE(ok);
      EXPECT_TRUE(address.IsEmpty());
      EXPECT_EQ(address.Text(), "");
      EXPECT_FALSE(IsAddressText(row.text));
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(address.Kind(), row.kind);
    EXPECT_EQ(address.Text(), row.storedText);
    EXPECT_TRUE(address.Value() == row.value);
    EXPECT_EQ(address.IsTextOnly(), row.kind == KindTextOnly);
    EXPECT_EQ(address.IsIPv6(), std::holds_alternative<TIPv6Groups>(row.value));
    EXPECT_EQ(IsAddressText(row.text), row.kind != KindTextOnly);
    EXPECT_EQ(address.ResolverReadsAlike(),
              row.kind != KindTextOnly && row.resolver == Resolver::Alike);
  }
}

TEST(AddressParse, FailedParseLeavesTheValueUnchanged) {
  THostsIP address;
  ASSERT_TRUE(address.Parse("1.2.3.4", false));
  for (const char* text : {"", "localhost", "1.2.3.4..", "fe80::1%4", ":::"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(address.Parse(text, false));
    EXPECT_EQ(address.Text(), "1.2.3.4");
    EXPECT_EQ(address.Kind(), KindIPv4Other);
    EXPECT_TRUE(address.Value() == THostsIPValue{uint32_t{0x01020304}});
  }
}

TEST(AddressParse, SuccessReplacesTheWholeValue) {
  THostsIP address;
  ASSERT_TRUE(address.Parse("fe80::1", false));
  ASSERT_TRUE(address.Parse("Some-Host", true));
  EXPECT_EQ(address.Text(), "Some-Host");
  EXPECT_EQ(address.Kind(), KindTextOnly);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(address.Value()));
  address.Clear();
  EXPECT_TRUE(address.IsEmpty());
  EXPECT_EQ(address.Text(), "");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(address.Value()));
}

struct SameRow {
  const char* a;
  const char* b;
  bool same;
};

const SameRow kSameRows[] = {
    {"0", "0.0.0.0", true},
    {"127.000.000.001", "127.0.0.1", true},
    {"1..2.3.4", "1.2.3.4.", true},
    {"127.0.0.1", "127.0.0.2", false},
    {"::1", "0:0:0:0:0:0:0:1", true},
    {"::1", "0::1", true},
    {"1:2:3", "1:2:3::", true},
    {"1:2:3", "::1:2:3", false},
    {"FE80::1", "fe80:0:0:0:0:0:0:1", true},
    {"fe80::1", "fe80::2", false},
    {"ff02::1", "ff02::1", true},
    {"100::", "100::", true},
    {"2001:db8::1", "2001:DB8:0::1", true},
    {"0.0.0.0", "::", false},
    {"0", "::", false},
    {"0.0.0.1", "::1", false},
    {"Host-A", "host-a", true},
    {"Host-A", "Host-B", false},
    {"\xC4-x", "\xE4-x", false}, // only a-z are folded
    {"", "", true},
    {"1.2.3", "1.2.3.0", false}, // text-only against IPv4
};

TEST(AddressSame, ComparesByValueAndHashesAlike) {
  for (const SameRow& row : kSameRows) {
    SCOPED_TRACE(std::string(row.a) + " / " + row.b);
    THostsIP a;
    THostsIP b;
    ASSERT_TRUE(a.Parse(row.a, true));
    ASSERT_TRUE(b.Parse(row.b, true));
    EXPECT_EQ(a.SameAddress(&b), row.same);
    EXPECT_EQ(b.SameAddress(&a), row.same);
    EXPECT_TRUE(a.SameAddress(&a));
    if (row.same) {
      EXPECT_EQ(a.Hash(), b.Hash());
    }
  }
}

TEST(AddressSame, NoneIsNeverTheSame) {
  THostsIP a;
  ASSERT_TRUE(a.Parse("1.2.3.4", false));
  EXPECT_FALSE(a.SameAddress(nullptr));
}

TEST(AddressAssign, CopiesAddressesAndRefusesTheRest) {
  struct Row {
    const char* source; // nullptr: no source; "" with allowTextOnly false: an empty value
    bool accepted;
  };
  const Row rows[] = {
      {nullptr, false}, {"", false},         {"text-only", false},
      {"::1", true},    {"127.0.0.1", true}, {"0", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source == nullptr ? "(none)" : row.source);
    THostsIP source;
    if (row.source != nullptr && *row.source != '\0') {
      ASSERT_TRUE(source.Parse(row.source, true));
    }
    THostsIP target;
    ASSERT_TRUE(target.Parse("1.2.3.4", false));
    EXPECT_EQ(target.Assign(row.source == nullptr ? nullptr : &source), row.accepted);
    if (row.accepted) {
      EXPECT_EQ(target.Text(), source.Text());
      EXPECT_EQ(target.Kind(), source.Kind());
      EXPECT_TRUE(target.Value() == source.Value());
      EXPECT_TRUE(target.SameAddress(&source));
    } else {
      EXPECT_EQ(target.Text(), "1.2.3.4");
      EXPECT_EQ(target.Kind(), KindIPv4Other);
      EXPECT_TRUE(target.Value() == THostsIPValue{uint32_t{0x01020304}});
    }
  }
}

TEST(AddressAssign, TheCopyIsIndependent) {
  THostsIP target;
  {
    THostsIP source;
    ASSERT_TRUE(source.Parse("fe80::1", false));
    ASSERT_TRUE(target.Assign(&source));
    ASSERT_TRUE(source.Parse("::2", false));
  }
  EXPECT_EQ(target.Text(), "fe80::1");
  EXPECT_TRUE((target.Value() == THostsIPValue{G{0xFE80, 0, 0, 0, 0, 0, 0, 1}}));
}

// The step-by-step readers on their own, including what Parse never hands them.
TEST(AddressReaders, ReadTheirOwnFormsOnly) {
  struct Row {
    const char16_t* text;
    bool ipv4 = false; // read as IPv4, giving number
    uint32_t number = 0;
    bool ipv6 = false; // read as IPv6, giving groups
    TIPv6Groups groups = {};
  };
  const Row rows[] = {
      {.text = u"1.2.3.4", .ipv4 = true, .number = 0x01020304},
      {.text = u"\t1.2.3.4 ", .ipv4 = true, .number = 0x01020304},
      {.text = u"0", .ipv6 = true},
      {.text = u"1.2.3.4.."},
      {.text = u"1.2.3.\u0664"}, // an Arabic-Indic digit is no digit here
      {.text = u"::\u0661"},
      {.text = u" ::1 ", .ipv6 = true, .groups = {0, 0, 0, 0, 0, 0, 0, 1}},
      {.text = u"", .ipv6 = true}, // no part to read: eight zero groups
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(NarrowLatin1(row.text));
    uint32_t number = 0xDEADBEEF;
    EXPECT_EQ(ParseIPv4(row.text, number), row.ipv4);
    if (row.ipv4) {
      EXPECT_EQ(number, row.number);
    }
    TIPv6Groups groups{};
    EXPECT_EQ(ParseIPv6(row.text, groups), row.ipv6);
    if (row.ipv6) {
      EXPECT_EQ(groups, row.groups);
    }
  }
}

TEST(AddressReaders, GroupsAppendToTheList) {
  struct Row {
    const char16_t* part;
    bool ok;
    std::vector<int32_t> values;
  };
  const Row rows[] = {
      {u"1:2", true, {1, 2}},         {u":1", true, {1}},        {u"1:", true, {1}},
      {u"a:a:a", true, {10, 10, 10}}, {u"ffff", true, {0xFFFF}}, {u":", false, {}},
      {u"1::2", true, {1, 2}}, // a run of colons inside a part is passed over
      {u"10000", false, {}},          {u"x", false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(NarrowLatin1(row.part));
    TSorIntegerList list;
    list.Add(-7);
    EXPECT_EQ(ParseIPv6Groups(row.part, list), row.ok);
    if (row.ok) {
      ASSERT_EQ(list.Count(), static_cast<int32_t>(row.values.size()) + 1);
      EXPECT_EQ(list.Items(0), -7);
      for (size_t k = 0; k < row.values.size(); ++k) {
        EXPECT_EQ(list.Items(static_cast<int32_t>(k) + 1), row.values[k]);
      }
    }
  }
}

// The hosts readers' address reader on its own: inet_pton, for IPv4 and IPv6.
TEST(AddressReaders, ReadAsTheResolverReads) {
  struct Row {
    const char* text;
    THostsIPValue value; // none: refused by both
  };
  const std::monostate none;
  const Row rows[] = {
      // IPv4: four decimal numbers of 0 to 255, no leading zero, nothing shorter.
      {"1.2.3.4", uint32_t{0x01020304}},
      {"0.0.0.0", uint32_t{0}},
      {"255.255.255.255", uint32_t{0xFFFFFFFF}},
      {"0", none},
      {"127.000.000.001", none},
      {"127.0.0.01", none},
      {"010.0.0.1", none},
      {"0377.0.0.1", none},
      {"0x7f.1", none},
      {"0x7f.0.0.1", none},
      {"0X7F000001", none},
      {"127.1", none},
      {"127.0.1", none},
      {"1.2.65535", none},
      {"4294967295", none},
      {"0000000000001.2.3.4", none},
      {"08.0.0.1", none},
      {"0400.0.0.1", none},
      {"..1.2.3.4", none},
      {".1.2.3.4", none},
      {"1..2.3.4", none},
      {"0.0.0.0.", none},
      {"1.2.3.4.5", none},
      {"1.2.3.256", none},
      {"1.2.65536", none},
      {"4294967296", none},
      {"99999999999999999999999", none},
      {"0x", none},
      {"0x.1.2.3", none},
      {"0x100000000", none},
      {"1.2.3.4 ", none}, // nothing may follow, not even a blank
      {" 1.2.3.4", none},
      {"-1", none},
      {"", none},
      // IPv6: eight groups, or one "::" standing for at least one zero group; a dotted tail.
      {"::", G{0, 0, 0, 0, 0, 0, 0, 0}},
      {"::1", G{0, 0, 0, 0, 0, 0, 0, 1}},
      {"1::", G{1, 0, 0, 0, 0, 0, 0, 0}},
      {"face::", G{0xFACE, 0, 0, 0, 0, 0, 0, 0}},
      {"1:2:3:4:5:6:7:8", G{1, 2, 3, 4, 5, 6, 7, 8}},
      {"0000:FFFF::", G{0, 0xFFFF, 0, 0, 0, 0, 0, 0}},
      {"::0:0:0:0:0:0:1", G{0, 0, 0, 0, 0, 0, 0, 1}},
      {"::ffff:10.0.0.9", G{0, 0, 0, 0, 0, 0xFFFF, 0x0A00, 0x0009}},
      {"64:ff9b::192.0.2.33", G{0x64, 0xFF9B, 0, 0, 0, 0, 0xC000, 0x0221}},
      {"::1.2.3.4", G{0, 0, 0, 0, 0, 0, 0x0102, 0x0304}},
      {"1:2:3:4:5:6:1.2.3.4", G{1, 2, 3, 4, 5, 6, 0x0102, 0x0304}},
      {"face", none},
      {"1:2:3", none},
      {"1:2:3:4::5:6:7:8", none},
      {"::0:0:0:0:0:0:0:1", none},
      {"1:2:3:4:5:6:7:8:9", none},
      {"1:::2", none},
      {":::", none},
      {":1::", none},
      {"1::2:", none},
      {"1::2::3", none},
      {"12345::", none},
      {"::ffff:010.0.0.9", none},
      {"::ffff:1..2.3.4", none},
      {"::ffff:1.2.3", none},
      {"::ffff:1.2.3.4.", none},
      {"::1.2.3.4:1", none},
      {"1:1.2.3.4", none},
      {"1:2:3:4:5:6:7:1.2.3.4", none},
      {"::a.1.2.3", none},
      {"fe80::1%lo0", none},
      {"[::1]", none},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_TRUE(ResolverReadAddress(row.text) == row.value);
    uint32_t number = 0xDEADBEEF;
    EXPECT_EQ(ResolverParseIPv4(row.text, number), std::holds_alternative<uint32_t>(row.value));
    TIPv6Groups groups{};
    EXPECT_EQ(ResolverParseIPv6(row.text, groups), std::holds_alternative<TIPv6Groups>(row.value));
  }
}

// Parse reads the 8-bit text directly; it must agree with the step-by-step readers on every
// text. The texts are all short strings over a small alphabet plus a deterministic sample of
// longer ones.
struct Reference {
  bool ok = false;
  THostsIPValue value;
};

Reference ReferenceParse(const std::string& text) {
  Reference r;
  if (text == "0") {
    r.ok = true;
    r.value = uint32_t{0};
    return r;
  }
  if (text.empty()) {
    return r;
  }
  const std::u16string wide = WidenLatin1(text);
  uint32_t number = 0;
  TIPv6Groups groups{};
  if (ParseIPv4(wide, number)) {
    r.ok = true;
    r.value = number;
  } else if (ParseIPv6(wide, groups)) {
    r.ok = true;
    r.value = groups;
  }
  return r;
}

void ExpectAgreement(const std::string& text) {
  const Reference expected = ReferenceParse(text);
  THostsIP address;
  const bool ok = address.Parse(text, false);
  if (ok != expected.ok || (ok && !(address.Value() == expected.value))) {
    ADD_FAILURE() << "Parse and the step-by-step readers disagree on \"" << text << "\"";
  }
}

TEST(AddressReaders, ParseAgreesWithTheStepByStepReaders) {
  const std::string alphabet = "0.:f1 g";
  std::vector<std::string> level{""};
  for (int length = 1; length <= 6; ++length) {
    std::vector<std::string> next;
    next.reserve(level.size() * alphabet.size());
    for (const std::string& prefix : level) {
      for (const char c : alphabet) {
        next.push_back(prefix + c);
        ExpectAgreement(next.back());
      }
    }
    level.swap(next);
  }
  const char* const pieces[] = {"0",  "1", "255", "256", "0001", "ffff", "12345", "abc", ".",
                                "..", ":", "::",  ":::", " ",    "\t",   "%",     "F"};
  uint32_t seed = 12345;
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    seed = seed * 1664525u + 1013904223u;
    const int count = 1 + static_cast<int>((seed >> 24) % 12);
    for (int k = 0; k < count; ++k) {
      seed = seed * 1664525u + 1013904223u;
      text += pieces[(seed >> 16) % (sizeof(pieces) / sizeof(pieces[0]))];
    }
    ExpectAgreement(text);
  }
}

} // namespace
