// Fuzz target: one hosts line through THostItem::ParseLine.
//
// Input: the first byte chooses KeepLocalhost (lowest bit); the rest is the line as UTF-16, two
// bytes (little-endian) per character. The result is checked against a plain reading of the line
// format written here independently of the scanner.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "VornLibStrUtils.h"
#include "uHosts.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool IsSeparator(char16_t c) {
  return c == u' ' || c == u'\t';
}
bool IsForbidden(char16_t c) {
  return c == u'*' || c == u'/' || c == u'=' || c == u'?' || c == u'\\';
}
bool IsAddressChar(char16_t c) {
  return c == u'.' || c == u':' || (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') ||
         (c >= u'a' && c <= u'f');
}

// An address text as the line format has it, read here apart from the engine's readers. IPv4:
// four decimal numbers up to 255 (leading zeros allowed) between dots, where a run of dots counts
// as one, a dot at the start or one at the end is ignored, and two or more at the end are not.
bool IsDottedQuad(std::string_view t) {
  if (t.size() >= 2 && t.substr(t.size() - 2) == "..")
    return false;
  int pieces = 0;
  size_t i = 0;
  while (i < t.size()) {
    if (t[i] == '.') {
      ++i;
      continue;
    }
    unsigned value = 0;
    for (; i < t.size() && t[i] != '.'; ++i) {
      if (t[i] < '0' || t[i] > '9')
        return false;
      value = value * 10 + static_cast<unsigned>(t[i] - '0');
      if (value > 255)
        return false;
    }
    ++pieces;
  }
  return pieces == 4;
}

// IPv6: groups of one to four hex digits between colons, at most eight, and at most one "::"
// standing for the missing ones; a run of colons inside the part before or after it counts as one,
// and a single colon at either end of such a part is ignored. A dotted quad after the last colon
// stands for the last two groups.
int HexGroups(std::string_view part) { // -1: malformed
  int groups = 0;
  size_t i = 0;
  while (i < part.size()) {
    while (i + 1 < part.size() && part[i] == ':')
      ++i;
    size_t j = i;
    while (j < part.size() && part[j] != ':')
      ++j;
    if (j == i || j - i > 4)
      return -1;
    for (size_t k = i; k < j; ++k)
      if (!std::isxdigit(static_cast<unsigned char>(part[k])))
        return -1;
    ++groups;
    i = j + 1;
  }
  return groups;
}

bool IsGroupText(std::string_view t) {
  int quad = 0;
  const size_t lastColon = t.rfind(':');
  if (lastColon != std::string_view::npos && t.find('.', lastColon + 1) != std::string_view::npos) {
    if (!IsDottedQuad(t.substr(lastColon + 1)))
      return false;
    quad = 2;
    t = t.substr(0, lastColon + 1);
  }
  std::string_view head = t;
  std::string_view tail;
  const size_t gap = t.find("::");
  if (gap != std::string_view::npos) {
    head = t.substr(0, gap);
    tail = t.substr(gap + 2);
    if (tail.find("::") != std::string_view::npos)
      return false;
  }
  const int first = head.empty() ? 0 : HexGroups(head);
  const int second = tail.empty() ? 0 : HexGroups(tail);
  return first >= 0 && second >= 0 && first + second + quad <= 8;
}

bool IsAddressToken(std::string_view t) {
  return t == "0" || IsDottedQuad(t) || IsGroupText(t);
}

struct TExpectedName {
  std::u16string Name;
  uint8_t Flags;
};

// What a line must read as.
struct TExpected {
  uint16_t Flags = 0;
  std::string Address; // empty: no address
  std::vector<TExpectedName> Names;
  std::u16string Comment;
  bool FoundLocalhost = false;
};

// The line format, read the slow and obvious way.
TExpected Expect(std::u16string_view text, bool keepLocalhost) {
  TExpected e;
  if (text.empty())
    return e;
  const bool commented = text[0] == u'#';
  std::u16string_view rest = commented ? text.substr(1) : text;
  const auto unusable = [&] {
    TExpected u;
    if (commented) {
      u.Flags = THostItem::Commented;
      u.Comment = std::u16string(text.substr(1));
      if (!u.Comment.empty())
        u.Flags |= THostItem::CommentText;
    } else {
      u.Flags = THostItem::Invalid;
    }
    return u;
  };
  if (commented && !rest.empty() && IsSeparator(rest[0]))
    return unusable(); // "# ..." is a comment line
  size_t start = 0;
  if (!commented) {
    while (start < rest.size() && IsSeparator(rest[start]))
      ++start;
  }
  size_t end = start;
  while (end < rest.size() && IsAddressChar(rest[end]))
    ++end;
  // The address must be non-empty and ended by a separator.
  if (end == start || end == rest.size() || !IsSeparator(rest[end]))
    return unusable();
  const std::string token = NarrowLatin1(rest.substr(start, end - start));
  if (!IsAddressToken(token))
    return unusable();
  e.Address = token;
  if (commented)
    e.Flags |= THostItem::Commented;

  std::u16string_view names = rest.substr(end + 1);
  const size_t hash = names.find(u'#');
  if (hash != std::u16string_view::npos) {
    e.Comment = std::u16string(names.substr(hash + 1));
    names = names.substr(0, hash);
  }
  size_t i = 0;
  while (i < names.size()) {
    while (i < names.size() && IsSeparator(names[i]))
      ++i;
    size_t j = i;
    while (j < names.size() && !IsSeparator(names[j]))
      ++j;
    if (j > i) {
      const std::u16string_view run = names.substr(i, j - i);
      std::u16string cleaned;
      bool marked = false;
      for (const char16_t c : run) {
        if (IsForbidden(c))
          marked = true;
        else
          cleaned.push_back(c);
      }
      if (!cleaned.empty()) {
        if (marked) {
          e.Names.push_back({cleaned, THostName::Malformed});
        } else {
          const bool localhost = SameTextAscii(run, std::u16string_view(u"localhost"));
          e.FoundLocalhost = localhost;
          if (!localhost || keepLocalhost)
            e.Names.push_back({cleaned, localhost ? THostName::Localhost : uint8_t{0}});
        }
      }
    }
    i = j;
  }
  if (!e.Names.empty())
    e.Flags |= THostItem::Entry;
  if (!e.Comment.empty())
    e.Flags |= THostItem::CommentText;
  return e;
}

void CheckLine(const THostItem& line, std::u16string_view text, bool keepLocalhost,
               bool foundLocalhost) {
  const uint16_t flags = line.Flags();
  // The five kinds: blank, invalid (alone), comment line, entry, commented entry; CommentText may
  // come with any but invalid. No other bit is ever set.
  Check((flags & 0x65) == 0, "unknown flag bits set");
  if (flags & THostItem::Invalid)
    Check(flags == THostItem::Invalid, "Invalid set together with other flags");
  Check(line.IsEntry() == (line.NameCount() > 0), "Entry iff the line has names");
  Check(line.HasComment() == !line.Comment().empty(), "CommentText iff a comment");
  if (line.IsInvalid())
    Check(line.NameCount() == 0 && line.Comment().empty() && line.Address() == nullptr,
          "an invalid line holds nothing");
  if (line.IsEntry()) {
    const THostsIP* address = line.Address();
    Check(address != nullptr, "an entry has an address");
    Check(!address->IsEmpty() && !address->IsTextOnly(), "an entry's address is numeric");
    Check(IsAddressToken(address->Text()), "the address text is an address text");
  }

  for (int k = 0; k < line.NameCount(); ++k) {
    const THostName* name = line.GetName(k);
    Check(name != nullptr, "GetName in range");
    Check(name->Owner == &line, "a name's owner is its line");
    const std::u16string n = name->Name();
    Check(!n.empty(), "no empty name");
    for (const char16_t c : n) {
      Check(!IsSeparator(c), "no separator in a name");
      Check(c != u'#', "no '#' in a name");
      Check(!IsForbidden(c), "no forbidden character left in a name");
    }
    Check(name->Flags == 0 || name->Flags == THostName::Malformed ||
              (name->Flags == THostName::Localhost && keepLocalhost),
          "name flags are 0, Malformed, or Localhost when kept");
    if (name->Flags == 0)
      Check(!SameTextAscii(n, std::u16string_view(u"localhost")),
            "an ordinary name is never localhost");
  }
  Check(line.GetName(-1) == nullptr && line.GetName(line.NameCount()) == nullptr,
        "GetName out of range answers none");

  const TExpected e = Expect(text, keepLocalhost);
  Check(flags == e.Flags, "flags as the line format reads");
  Check(foundLocalhost == e.FoundLocalhost, "FoundLocalhost as the line format reads");
  if (line.IsEntry() || (!line.IsInvalid() && !e.Address.empty()))
    Check(line.Address() != nullptr && line.Address()->Text() == e.Address,
          "the address text as written");
  Check(line.Comment() == e.Comment, "the comment as written");
  Check(line.NameCount() == static_cast<int>(e.Names.size()), "name count as written");
  for (int k = 0; k < line.NameCount(); ++k) {
    Check(line.GetName(k)->Name() == e.Names[static_cast<size_t>(k)].Name, "name as written");
    Check(line.GetName(k)->Flags == e.Names[static_cast<size_t>(k)].Flags, "name flags");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const bool keepLocalhost = (data[0] & 1) != 0;
  std::u16string text;
  text.reserve((size - 1) / 2);
  for (size_t i = 1; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));

  // A line of no document reads its own address value.
  THostItem line(nullptr);
  bool foundLocalhost = true;
  line.ParseLine(text, foundLocalhost, keepLocalhost);
  CheckLine(line, text, keepLocalhost, foundLocalhost);

  // Read again into the same line: nothing of the first reading survives.
  bool again = false;
  line.ParseLine(u"0.0.0.0 a #b", again, false);
  line.ParseLine(text, again, keepLocalhost);
  CheckLine(line, text, keepLocalhost, again);

  // A line of a document shares the document's address values and reads the same.
  THosts hosts;
  THostItem shared(&hosts);
  bool sharedFound = false;
  shared.ParseLine(text, sharedFound, keepLocalhost);
  CheckLine(shared, text, keepLocalhost, sharedFound);
  if (shared.Address() != nullptr && line.Address() != nullptr)
    Check(shared.Address()->SameAddress(line.Address()), "shared and own values agree");
  return 0;
}
