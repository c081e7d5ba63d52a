// uHosts: address values. Reading IPv4 and IPv6 address texts, kinds, equality and hashing.
//
// Parse runs once per line of files with millions of lines, so it reads the 8-bit text directly
// with scanners that follow ParseIPv4 and ParseIPv6 step for step (same splitting, same group
// rules, same limits) but build no lists and no UTF-16 copies. The public ParseIPv4, ParseIPv6
// and ParseIPv6Groups are the reference readers built on the list and text helpers; the tests
// check both against each other.
#include "uHosts.h"

#include <type_traits>

#include "SorLists.h"
#include "VornLibStrUtils.h"
#include "uHosts_Text.h"

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
}

bool THostsIP::Parse(std::string_view text, bool AllowTextOnly) {
  const std::string_view trimmed = TrimLow(text);
  // The one-character text "0" is the any-address; " 0" is not (it reads as IPv6 below).
  if (text == "0") {
    FText.assign(trimmed);
    FKind = KindIPv4Any;
    FValue = uint32_t{0};
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
    return true;
  }
  TIPv6Groups groups;
  if (ScanIPv6(trimmed, groups)) {
    FText.assign(trimmed);
    FKind = KindOfIPv6(groups);
    FValue = groups;
    return true;
  }
  if (!AllowTextOnly) {
    return false;
  }
  FText.assign(trimmed);
  FKind = KindTextOnly;
  FValue = std::monostate{};
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
  }
  return true;
}

bool THostsIP::SameAddress(const THostsIP* other) const {
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
  const std::u16string_view trimmed = TrimControl(text);
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
