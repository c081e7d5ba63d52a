// uHosts: address values. Reading IPv4 and IPv6 address texts, kinds, equality and hashing.
//
// Parse runs once per line of files with millions of lines, so it reads the 8-bit text directly
// with scanners that follow ParseIPv4 and ParseIPv6 step for step (same splitting, same group
// rules, same limits) but build no lists and no UTF-16 copies. The public ParseIPv4, ParseIPv6
// and ParseIPv6Groups are the reference readers built on the list and text helpers; the tests
// check both against each other.
//
// The engine's readers are lenient (stray dots, leading zeros, fewer than eight groups without
// "::"). The readers of hosts files (glibc's, dnsmasq's) are not: they read an address with
// inet_pton and skip a line whose address it refuses. ResolverParseIPv4 and ResolverParseIPv6 read
// a text as inet_pton does, and an address value remembers whether they read its text as the same
// address, for the merge pass moves names only between such lines.
#include "uHosts.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "SorLists.h"
#include "VornLibStrUtils.h"
#include "uHosts_Hash.h"

namespace {

template <class Ch> std::basic_string_view<Ch> TrimLow(std::basic_string_view<Ch> text) {
  size_t last = text.size();
  while (last > 0 &&
         static_cast<uint32_t>(static_cast<std::make_unsigned_t<Ch>>(text[last - 1])) <= 0x20) {
    --last;
  }
  size_t first = 0;
  while (first < last &&
         static_cast<uint32_t>(static_cast<std::make_unsigned_t<Ch>>(text[first])) <= 0x20) {
    ++first;
  }
  return text.substr(first, last - first);
}

// The value of a hexadecimal digit, or -1.
inline int HexDigit(uint32_t c) {
  if (c >= '0' && c <= '9') {
    return static_cast<int>(c - '0');
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<int>(c - 'A' + 10);
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<int>(c - 'a' + 10);
  }
  return -1;
}

// The dotted quad of an already trimmed 8-bit text. Pieces are cut exactly as SplitText cuts
// them at '.'; any bad piece or a fifth piece answers false at once, which is what the full
// check would answer later.
bool ScanIPv4(std::string_view t, uint32_t& number) {
  const size_t len = t.size();
  size_t i = 0;
  int count = 0;
  uint32_t result = 0;
  while (i < len) {
    while (i + 1 < len && t[i] == '.') {
      ++i;
    }
    size_t j = i;
    while (j < len && t[j] != '.') {
      ++j;
    }
    if (count == 4 || j == i) {
      return false;
    }
    uint32_t octet = 0;
    for (size_t k = i; k < j; ++k) {
      const unsigned char c = static_cast<unsigned char>(t[k]);
      if (c < '0' || c > '9') {
        return false;
      }
      octet = octet * 10 + (c - '0');
      if (octet > 255) {
        return false;
      }
    }
    result = (result << 8) | octet;
    ++count;
    i = j + 1;
  }
  if (count != 4) {
    return false;
  }
  number = result;
  return true;
}

// The groups of one side of "::", appended to values[count..]; more than eight groups in all
// answers false at once (the whole address would be refused anyway).
bool ScanIPv6Part(std::string_view part, uint16_t* values, int& count) {
  const size_t len = part.size();
  size_t i = 0;
  while (i < len) {
    while (i + 1 < len && part[i] == ':') {
      ++i;
    }
    size_t j = i;
    while (j < len && part[j] != ':') {
      ++j;
    }
    if (j == i || j - i > 4 || count == 8) {
      return false;
    }
    uint32_t group = 0;
    for (size_t k = i; k < j; ++k) {
      const int digit = HexDigit(static_cast<unsigned char>(part[k]));
      if (digit < 0) {
        return false;
      }
      group = (group << 4) | static_cast<uint32_t>(digit);
    }
    values[count++] = static_cast<uint16_t>(group);
    i = j + 1;
  }
  return true;
}

bool ScanIPv6(std::string_view t, TIPv6Groups& groups) {
  // A dotted IPv4 tail after the last colon gives the last two groups.
  uint16_t quad[2];
  int quadCount = 0;
  const size_t lastColon = t.rfind(':');
  if (lastColon != std::string_view::npos && t.find('.', lastColon + 1) != std::string_view::npos) {
    uint32_t number = 0;
    if (!ScanIPv4(t.substr(lastColon + 1), number)) {
      return false;
    }
    quad[0] = static_cast<uint16_t>(number >> 16);
    quad[1] = static_cast<uint16_t>(number & 0xFFFF);
    quadCount = 2;
    t = t.substr(0, lastColon + 1);
  }
  std::string_view head = t;
  std::string_view tail;
  const size_t gap = t.find("::");
  if (gap != std::string_view::npos) {
    head = t.substr(0, gap);
    tail = t.substr(gap + 2);
    if (tail.find("::") != std::string_view::npos) {
      return false;
    }
  }
  uint16_t values[8];
  int count = 0;
  if (!head.empty() && !ScanIPv6Part(head, values, count)) {
    return false;
  }
  const int headCount = count;
  if (!tail.empty() && !ScanIPv6Part(tail, values, count)) {
    return false;
  }
  if (count + quadCount > 8) {
    return false;
  }
  for (int k = 0; k < quadCount; ++k) {
    values[count++] = quad[k];
  }
  const int tailCount = count - headCount;
  groups.fill(0);
  for (int k = 0; k < headCount; ++k) {
    groups[static_cast<size_t>(k)] = values[k];
  }
  for (int k = 0; k < tailCount; ++k) {
    groups[static_cast<size_t>(8 - tailCount + k)] = values[headCount + k];
  }
  return true;
}

uint16_t KindOfIPv4(uint32_t n) {
  const uint32_t b1 = n >> 24;
  const uint32_t b2 = (n >> 16) & 0xFF;
  if (n == 0) {
    return KindIPv4Any;
  }
  if (b1 == 127) {
    return n == 0x7F000001u ? KindIPv4Loopback : KindIPv4Loopnet;
  }
  if (b1 == 10 || (b1 == 172 && b2 >= 16 && b2 <= 31) || (b1 == 192 && b2 == 168)) {
    return KindIPv4Private;
  }
  if (n == 0xFFFFFFFFu) {
    return KindIPv4Broadcast;
  }
  return KindIPv4Other;
}

uint16_t KindOfIPv6(const TIPv6Groups& g) {
  if (g[0] == 0) {
    for (size_t k = 1; k < 7; ++k) {
      if (g[k] != 0) {
        return KindIPv6Other;
      }
    }
    if (g[7] == 0) {
      return KindIPv6Unspecified;
    }
    return g[7] == 1 ? KindIPv6Loopback : KindIPv6Other;
  }
  if ((g[0] & 0xFF00) == 0xFF00) {
    return KindIPv6Multicast; // ff00::/8
  }
  if ((g[0] & 0xFE00) == 0xFC00) {
    return KindIPv6UniqueLocal; // fc00::/7
  }
  if ((g[0] & 0xFFC0) == 0xFE80) {
    return KindIPv6LinkLocal; // fe80::/10
  }
  return KindIPv6Other;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// THostsIP

void THostsIP::Clear() {
  FText.clear();
  FKind = KindEmpty;
  FValue = std::monostate{};
  FResolverAlike = false;
}

bool THostsIP::Parse(std::string_view text, bool AllowTextOnly) {
  const std::string_view trimmed = TrimLow(text);
  // The one-character text "0" is the any-address; " 0" is not (it reads as IPv6 below).
  if (text == "0") {
    FText.assign(trimmed);
    FKind = KindIPv4Any;
    FValue = uint32_t{0};
    FResolverAlike = false; // the resolvers read no address in it
    return true;
  }
  if (text.empty()) {
    if (!AllowTextOnly) {
      return false;
    }
    Clear();
    FKind = KindTextOnly;
    return true;
  }
  uint32_t number = 0;
  if (ScanIPv4(trimmed, number)) {
    FText.assign(trimmed);
    FKind = KindOfIPv4(number);
    FValue = number;
    FResolverAlike = ResolverReadAddress(trimmed) == FValue;
    return true;
  }
  TIPv6Groups groups;
  if (ScanIPv6(trimmed, groups)) {
    FText.assign(trimmed);
    FKind = KindOfIPv6(groups);
    FValue = groups;
    FResolverAlike = ResolverReadAddress(trimmed) == FValue;
    return true;
  }
  if (!AllowTextOnly) {
    return false;
  }
  FText.assign(trimmed);
  FKind = KindTextOnly;
  FValue = std::monostate{};
  FResolverAlike = false;
  return true;
}

bool THostsIP::Assign(const THostsIP* source) {
  if (source == nullptr || source->IsEmpty() || source->IsTextOnly()) {
    return false;
  }
  if (source != this) {
    FText = source->FText;
    FKind = source->FKind;
    FValue = source->FValue;
    FResolverAlike = source->FResolverAlike;
  }
  return true;
}

bool THostsIP::SameAddress(const THostsIP* other) const {
  if (other == this)
    return true; // lines of a document share the value of one address text
  if (other == nullptr || other->FKind != FKind) {
    return false;
  }
  if (IsTextOnly()) {
    return SameTextAscii(std::string_view(FText), std::string_view(other->FText));
  }
  return FValue == other->FValue;
}

size_t THostsIP::Hash() const {
  uint64_t h = MixBits(FKind);
  if (const uint32_t* number = std::get_if<uint32_t>(&FValue)) {
    h = MixBits(h ^ *number);
  } else if (const TIPv6Groups* groups = std::get_if<TIPv6Groups>(&FValue)) {
    for (size_t k = 0; k < 8; k += 4) {
      const uint64_t word = (uint64_t{(*groups)[k]} << 48) | (uint64_t{(*groups)[k + 1]} << 32) |
                            (uint64_t{(*groups)[k + 2]} << 16) | uint64_t{(*groups)[k + 3]};
      h = MixBits(h ^ word);
    }
  } else if (IsTextOnly()) {
    // FNV-1a over the text with a-z folded, as SameAddress folds it.
    uint64_t f = 0xCBF29CE484222325ull;
    for (const char c : FText) {
      unsigned char b = static_cast<unsigned char>(c);
      if (b >= 'a' && b <= 'z') {
        b = static_cast<unsigned char>(b - 'a' + 'A');
      }
      f = (f ^ b) * 0x100000001B3ull;
    }
    h = MixBits(h ^ f);
  }
  return static_cast<size_t>(h);
}

// ---------------------------------------------------------------------------------------------
// Free functions

bool IsAddressText(std::string_view text) {
  THostsIP probe;
  return probe.Parse(text, false);
}

bool ParseIPv4(std::u16string_view text, uint32_t& number) {
  const std::u16string_view trimmed = TrimControl(text);
  TStringList pieces;
  SplitText(trimmed, u'.', &pieces);
  if (pieces.size() != 4) {
    return false;
  }
  uint32_t result = 0;
  for (const std::u16string& piece : pieces) {
    if (!IsDecimalText(piece)) {
      return false;
    }
    uint32_t octet = 0;
    for (const char16_t c : piece) {
      octet = octet * 10 + static_cast<uint32_t>(c - u'0');
      if (octet > 255) {
        return false; // too large, however many digits follow
      }
    }
    result = (result << 8) | octet;
  }
  number = result;
  return true;
}

bool ParseIPv6Groups(std::u16string_view part, TSorIntegerList& list) {
  const size_t len = part.size();
  size_t i = 0;
  while (i < len) {
    while (i + 1 < len && part[i] == u':') {
      ++i;
    }
    size_t j = i;
    while (j < len && part[j] != u':') {
      ++j;
    }
    const std::u16string_view group = part.substr(i, j - i);
    if (group.size() > 4 || !IsHexText(group)) {
      return false;
    }
    int32_t value = 0;
    for (const char16_t c : group) {
      value = (value << 4) | HexDigit(c);
    }
    list.Add(value);
    i = j + 1;
  }
  return true;
}

bool ParseIPv6(std::u16string_view text, TIPv6Groups& groups) {
  std::u16string_view trimmed = TrimControl(text);
  // A dotted IPv4 tail after the last colon gives the last two groups: the address's last 32
  // bits, read as an IPv4 address is read (with nothing to trim off).
  TSorIntegerList quad;
  const size_t lastColon = trimmed.rfind(u':');
  if (lastColon != std::u16string_view::npos &&
      trimmed.find(u'.', lastColon + 1) != std::u16string_view::npos) {
    const std::u16string_view dotted = trimmed.substr(lastColon + 1);
    uint32_t number = 0;
    if (dotted.front() <= u' ' || !ParseIPv4(dotted, number)) {
      return false;
    }
    quad.Add(static_cast<int32_t>(number >> 16));
    quad.Add(static_cast<int32_t>(number & 0xFFFF));
    trimmed = trimmed.substr(0, lastColon + 1);
  }
  std::u16string_view head = trimmed;
  std::u16string_view tail;
  const size_t gap = trimmed.find(u"::");
  if (gap != std::u16string_view::npos) {
    head = trimmed.substr(0, gap);
    tail = trimmed.substr(gap + 2);
  }
  if (tail.find(u"::") != std::u16string_view::npos) {
    return false;
  }
  TSorIntegerList headList;
  TSorIntegerList tailList;
  if (!head.empty() && !ParseIPv6Groups(head, headList)) {
    return false;
  }
  if (!tail.empty() && !ParseIPv6Groups(tail, tailList)) {
    return false;
  }
  for (int32_t k = 0; k < quad.Count(); ++k) {
    tailList.Add(quad.Items(k));
  }
  const int32_t headCount = headList.Count();
  const int32_t tailCount = tailList.Count();
  if (headCount + tailCount > 8) {
    return false;
  }
  groups.fill(0);
  for (int32_t k = 0; k < headCount; ++k) {
    groups[static_cast<size_t>(k)] = static_cast<uint16_t>(headList.Items(k));
  }
  for (int32_t k = 0; k < tailCount; ++k) {
    groups[static_cast<size_t>(8 - tailCount + k)] = static_cast<uint16_t>(tailList.Items(k));
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// The resolver's readers

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A dotted quad as inet_pton reads it (an IPv4 address, or the tail of an IPv6 one): four decimal
// numbers of 0 to 255, no leading zero.
bool ResolverParseQuad(std::string_view t, uint8_t* bytes) {
  int octets = 0;
  bool sawDigit = false;
  uint32_t value = 0;
  for (const char c : t) {
    if (IsDigit(c)) {
      if (sawDigit && value == 0) {
        return false;
      }
      value = value * 10 + static_cast<uint32_t>(c - '0');
      if (value > 255) {
        return false;
      }
      if (!sawDigit) {
        if (++octets > 4) {
          return false;
        }
        sawDigit = true;
      }
      bytes[octets - 1] = static_cast<uint8_t>(value);
    } else if (c == '.' && sawDigit) {
      if (octets == 4) {
        return false;
      }
      sawDigit = false;
      value = 0;
    } else {
      return false;
    }
  }
  return octets == 4 && sawDigit;
}

} // namespace

bool ResolverParseIPv4(std::string_view text, uint32_t& number) {
  uint8_t bytes[4];
  if (!ResolverParseQuad(text, bytes))
    return false;
  number = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
  return true;
}

bool ResolverParseIPv6(std::string_view text, TIPv6Groups& groups) {
  // Bytes as they are filled in, and where "::" stood.
  uint8_t bytes[16] = {};
  size_t at = 0;
  size_t gap = SIZE_MAX;
  const size_t len = text.size();
  size_t i = 0;
  if (len == 0) {
    return false;
  }
  if (text[0] == ':') {
    if (len < 2 || text[1] != ':') {
      return false;
    }
    i = 1;
  }
  size_t token = i;
  int digits = 0;
  uint32_t value = 0;
  bool quad = false;
  while (i < len) {
    const char c = text[i++];
    const int digit = HexDigit(static_cast<unsigned char>(c));
    if (digit >= 0) {
      if (digits == 4) {
        return false;
      }
      value = (value << 4) | static_cast<uint32_t>(digit);
      ++digits;
      continue;
    }
    if (c == ':') {
      token = i;
      if (digits == 0) {
        if (gap != SIZE_MAX) {
          return false;
        }
        gap = at;
        continue;
      }
      if (i == len || at + 2 > 16) {
        return false;
      }
      bytes[at++] = static_cast<uint8_t>(value >> 8);
      bytes[at++] = static_cast<uint8_t>(value & 0xFF);
      digits = 0;
      value = 0;
      continue;
    }
    if (c == '.' && at + 4 <= 16 && ResolverParseQuad(text.substr(token), bytes + at)) {
      at += 4;
      digits = 0;
      quad = true;
      break;
    }
    return false;
  }
  if (!quad && digits > 0) {
    if (at + 2 > 16) {
      return false;
    }
    bytes[at++] = static_cast<uint8_t>(value >> 8);
    bytes[at++] = static_cast<uint8_t>(value & 0xFF);
  }
  if (gap != SIZE_MAX) {
    // "::" stands for at least one zero group.
    if (at == 16) {
      return false;
    }
    const size_t moved = at - gap;
    std::memmove(bytes + 16 - moved, bytes + gap, moved);
    std::memset(bytes + gap, 0, 16 - moved - gap);
    at = 16;
  }
  if (at != 16) {
    return false;
  }
  for (size_t k = 0; k < 8; ++k) {
    groups[k] = static_cast<uint16_t>((bytes[2 * k] << 8) | bytes[2 * k + 1]);
  }
  return true;
}

THostsIPValue ResolverReadAddress(std::string_view text) {
  TIPv6Groups groups{};
  if (ResolverParseIPv6(text, groups)) {
    return groups;
  }
  uint32_t number = 0;
  if (ResolverParseIPv4(text, number)) {
    return number;
  }
  return std::monostate{};
}
