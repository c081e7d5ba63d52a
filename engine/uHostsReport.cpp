// uHostsReport: what the merge pass keeps, drops and changes in a document.
//
// Names are compared through a hash of their text with ASCII letters folded: of the (hash,
// place) keys of all names, 8 bytes each, those whose hash is not alone are sorted, so that every
// listing of one name comes together in document order, and only names that share a hash are
// compared by their text. No name text is copied.
#include "uHostsReport.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "VornLibCodePage.h"
#include "VornLibStrUtils.h"
#include "uHosts_Hash.h"

namespace {

// ---- Names as the resolver compares them ----

constexpr uint64_t Ones = 0x0101010101010101ULL;

// Eight characters at a time with 'A'-'Z' made 'a'-'z' (bytes of 0x80 and over stay).
uint64_t FoldAscii(uint64_t word) {
  constexpr uint64_t Low7 = 0x7F7F7F7F7F7F7F7FULL, High = 0x8080808080808080ULL;
  const uint64_t low = word & Low7;
  const uint64_t atLeastA = low + Ones * (0x80 - 'A');
  const uint64_t pastZ = low + Ones * (0x80 - 'Z' - 1);
  const uint64_t upper = atLeastA & ~pastZ & ~word & High;
  return word | (upper >> 2);
}

constexpr uint64_t Step = 0x9E3779B97F4A7C15ULL;

uint32_t HashName(const THostName& name) {
  if (name.IsWide()) {
    uint64_t h = name.Length() * Step;
    for (char16_t c : name.Text16()) {
      if (c >= u'A' && c <= u'Z')
        c = static_cast<char16_t>(c + (u'a' - u'A'));
      h = std::rotl((h ^ c) * Step, 27);
    }
    return static_cast<uint32_t>(MixBits(h ^ 1) >> 32);
  }
  // Eight bytes at a time; the last eight (or the whole short name) read once more in one piece.
  const std::string_view text = name.Text8();
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t h = n * Step;
  uint64_t word = 0;
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&word, p + i, 8);
      h = std::rotl((h ^ FoldAscii(word)) * Step, 27);
    }
    std::memcpy(&word, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    word = first | (uint64_t{last} << 32);
  } else {
    for (size_t i = 0; i < n; ++i)
      word |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  }
  h = std::rotl((h ^ FoldAscii(word)) * Step, 27);
  return static_cast<uint32_t>(MixBits(h) >> 32);
}

// A sign of a name that equal names share: its length and its last letter, folded.
constexpr size_t SignCount = 4096;
size_t Sign(const THostName& name) {
  const size_t length = name.Length();
  if (length == 0)
    return 0;
  const char16_t last = name.IsWide() ? name.Text16()[length - 1]
                                      : static_cast<unsigned char>(name.Text8()[length - 1]);
  const size_t folded = last >= u'A' && last <= u'Z' ? last + (u'a' - u'A') : last;
  return ((length & 63) << 6) | (folded & 63);
}

// A name held in 8 bits never equals one that needs 16: folding changes ASCII letters only.
bool SameName(const THostName& a, const THostName& b) {
  if (a.IsWide() != b.IsWide())
    return false;
  return a.IsWide() ? SameTextAscii(a.Text16(), b.Text16()) : SameTextAscii(a.Text8(), b.Text8());
}

const void* TextOf(const THostName& name) {
  return name.IsWide() ? static_cast<const void*>(name.Text16().data())
                       : static_cast<const void*>(name.Text8().data());
}

// A number of an IPv4 text as inet_aton reads it, the whole text: one to four numbers joined by
// dots, each 0x hexadecimal, octal with a leading 0, else decimal, the last filling the bytes left.
bool ReadsAsInetAton(std::string_view text) {
  static constexpr uint64_t Max[4] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
  const auto digit = [](char c, uint64_t base) -> int {
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : 99;
    return static_cast<uint64_t>(d) < base ? d : -1;
  };
  size_t i = 0;
  const size_t len = text.size();
  for (int count = 0;; ++count) {
    if (i >= len || digit(text[i], 10) < 0)
      return false;
    uint64_t base = 10;
    if (text[i] == '0') {
      base = 8;
      if (i + 2 < len && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
          digit(text[i + 2], 16) >= 0) {
        base = 16;
        i += 2;
      }
    }
    uint64_t value = 0;
    for (int d; i < len && (d = digit(text[i], base)) >= 0; ++i)
      if ((value = value * base + static_cast<uint64_t>(d)) > 0xFFFFFFFFu)
        return false;
    if (i < len && text[i] == '.' && count < 3 && value <= 0xFF) {
      ++i;
      continue;
    }
    return i == len && value <= Max[count];
  }
}

// A name that getaddrinfo takes for an address without looking it up: an IPv4 text as inet_aton
// reads it, or an IPv6 text as inet_pton reads it, possibly with a "%" and a zone after it.
bool IsAddressName(const THostName& name) {
  if (name.IsWide())
    return false;
  const std::string_view text = name.Text8();
  const char first = text.empty() ? '\0' : text[0];
  if (!((first >= '0' && first <= '9') || (first >= 'a' && first <= 'f') ||
        (first >= 'A' && first <= 'F') || first == ':'))
    return false; // nearly every name
  TIPv6Groups groups;
  return ReadsAsInetAton(text) || ResolverParseIPv6(text.substr(0, text.find('%')), groups);
}

// The answer a line of the address gives when IPv4 is asked for: its own number, or for an IPv6
// address mapped from IPv4 (::ffff:a.b.c.d) that IPv4 address, for the IPv6 loopback 127.0.0.1;
// none for any other IPv6 address.
std::optional<uint32_t> IPv4Answer(const THostsIP& address) {
  if (const uint32_t* number = std::get_if<uint32_t>(&address.Value()))
    return *number;
  const TIPv6Groups* g = std::get_if<TIPv6Groups>(&address.Value());
  if (g == nullptr || ((*g)[0] | (*g)[1] | (*g)[2] | (*g)[3] | (*g)[4]) != 0)
    return std::nullopt;
  if ((*g)[5] == 0xFFFF)
    return (uint32_t{(*g)[6]} << 16) | (*g)[7];
  if ((*g)[5] == 0 && (*g)[6] == 0 && (*g)[7] == 1)
    return 0x7F000001u;
  return std::nullopt;
}

// The lines whose names resolve: entries not commented out, with an address whose text the
// resolver reads as the same address (the merge moves names only between such lines).
inline bool IsResolving(const THostItem& line) {
  return line.IsEntry() && !line.IsCommented() && line.Address() != nullptr &&
         line.Address()->ResolverReadsAlike();
}

// A name as a key: a hash of its text in the top 32 bits, its place among the names surveyed
// (in document order) in the low 32. Sorted, the keys bring every listing of one name together,
// in document order.
using TKeys = std::vector<uint64_t, TLargeBlockAllocator<uint64_t>>;

// The keys whose hash another key shares, sorted (by hash, then place); nearly every name is
// alone, so the rest are never sorted. One pass puts the keys into buckets by the top bits of
// the hash, in order, few enough buckets for the places written to to stay in the cache; in each
// bucket, small enough to stay there too, a small table finds the hashes met before.
TKeys SharedKeys(const TKeys& keys) {
  const size_t n = keys.size();
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)) - 9, 1, 11);
  const int shift = 64 - bits;
  std::vector<uint32_t> next((size_t{1} << bits) + 1, 0);
  for (const uint64_t key : keys)
    ++next[(key >> shift) + 1];
  for (size_t b = 1; b < next.size(); ++b)
    next[b] += next[b - 1];
  const std::vector<uint32_t> starts = next;
  // Every place is written once below, so the room is not cleared first; a megabyte and more
  // comes straight from the system.
  const bool large = n * sizeof(uint64_t) >= (size_t{1} << 20);
  TLargeBuffer largeRoom(large ? n * sizeof(uint64_t) : 0);
  const auto smallRoom = std::make_unique_for_overwrite<uint64_t[]>(large ? 0 : n);
  uint64_t* bucketed = large ? reinterpret_cast<uint64_t*>(largeRoom.Data()) : smallRoom.get();
  for (const uint64_t key : keys)
    bucketed[next[key >> shift]++] = key;

  TKeys shared;
  std::vector<uint32_t> table; // a key's index in its bucket + 1; 0: free
  std::vector<uint8_t> marked;
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    const uint64_t* first = bucketed + starts[b];
    const size_t size = starts[b + 1] - starts[b];
    if (size < 2)
      continue;
    const size_t mask = std::bit_ceil(2 * size) - 1;
    table.assign(mask + 1, 0);
    marked.assign(size, 0);
    for (size_t i = 0; i < size; ++i) {
      const uint32_t hash = static_cast<uint32_t>(first[i] >> 32);
      size_t slot = hash & mask; // the low bits, apart from the bucket's top bits
      while (table[slot] != 0 && static_cast<uint32_t>(first[table[slot] - 1] >> 32) != hash)
        slot = (slot + 1) & mask;
      if (table[slot] == 0) {
        table[slot] = static_cast<uint32_t>(i + 1);
      } else {
        marked[table[slot] - 1] = 1;
        marked[i] = 1;
      }
    }
    for (size_t i = 0; i < size; ++i)
      if (marked[i])
        shared.push_back(first[i]);
  }
  std::sort(shared.begin(), shared.end());
  return shared;
}

std::string Utf8Of(const THostName& name) {
  return Utf16ToUtf8(name.Name());
}

} // namespace

// ---- The load ----

void THostsLoadSurvey::Follow(THosts& hosts) {
  hosts.WatchLoad([this](const THostsReadLine& read) { Record(read); });
}

void THostsLoadSurvey::Note(TDropped& dropped, size_t count, const THostsReadLine& read) {
  dropped.Count += count;
  if (dropped.Examples.size() >= ExampleCount)
    return;
  std::u16string text = read.Text16.empty() ? WidenLatin1(read.Text8) : std::u16string(read.Text16);
  const bool cut = text.size() > TextWidth;
  if (cut)
    text.resize(TextWidth);
  for (char16_t& c : text)
    if (c < u' ')
      c = c == u'\t' ? u' ' : u'?';
  std::string shown = Utf16ToUtf8(text);
  if (cut)
    shown += "...";
  dropped.Examples.push_back({read.Number, std::move(shown)});
}

void THostsLoadSurvey::Record(const THostsReadLine& read) {
  ++Lines;
  const THostItem& line = *read.Line;
  if (read.Kept) {
    LineNumbers.push_back(static_cast<uint32_t>(read.Number));
    if (line.IsEntry() && line.IsCommented())
      ++CommentedEntries;
    else if (line.IsEntry() && !IsResolving(line))
      Note(KeptApart, 1, read);
  }
  if (line.IsInvalid()) {
    Note(Dropped[Invalid], 1, read);
    return;
  }
  size_t forbidden = 0;
  for (int k = 0; k < line.NameCount(); ++k)
    forbidden += line.GetName(k)->Flags == THostName::Malformed;
  if (forbidden != 0)
    Note(Dropped[Forbidden], forbidden, read);
  if (read.LocalhostNames != 0)
    Note(Dropped[Localhost], read.LocalhostNames, read);
  else if (!line.IsEntry() && (line.IsCommented() || line.IsBlank()))
    Note(Dropped[CommentOrBlank], 1, read);
}

// ---- The names ----

// The survey's steps: ids for the addresses, a key for every name that may be listed again, and
// the listings of each name gathered from the keys that share a hash.
struct THostsNameSurvey::TBuilder {
  TBuilder(THostsNameSurvey& survey, const THosts& hosts, const TLineNumbers* lineNumbers)
      : Survey(survey), Hosts(hosts), LineNumbers(lineNumbers) {}

  THostsNameSurvey& Survey;
  const THosts& Hosts;
  const TLineNumbers* LineNumbers; // none: a line's number is its index + 1
  TIPTracker Tracker;
  const THostsIP* LastValue = nullptr;
  uint32_t LastId = 0;
  std::vector<bool> Major; // by address id: the most listed address (only when sifting)
  std::vector<bool> Signs; // by Sign: met among the names of the other addresses
  TLineNumbers FirstName;  // by line: the place of its first name

  // One listing of a name: the name, its line number and its address.
  struct TListing {
    const THostName* Name;
    uint32_t Line;
    uint32_t Address;
  };

  // Address ids, in the order first met; the lines of a document share the value of one text.
  uint32_t IdOf(const THostsIP* address) {
    if (address == LastValue) [[likely]]
      return LastId;
    return NewIdOf(address);
  }
  uint32_t NewIdOf(const THostsIP* address) {
    int index = Tracker.IndexOf(address);
    if (index < 0) {
      Tracker.FindOrAdd(address);
      index = Tracker.Count() - 1;
      Survey.FAddressValues.push_back(address);
      ++Survey.Addresses[address->IsIPv6() ? 1 : 0];
    }
    LastValue = address;
    LastId = static_cast<uint32_t>(index);
    return LastId;
  }

  // Where only names under several addresses matter, the names of the most listed address are
  // left out unless a name of another address may be the same: in most lists nearly every name is
  // under one address, and a cheap sign (length and last letter) of the few others rules out
  // nearly all of them without a hash. False when there are not two addresses.
  bool Sift() {
    const int count = Hosts.Count();
    std::vector<size_t> listed;
    for (int i = 0; i < count; ++i) {
      const THostItem& line = *Hosts.Items(i);
      if (!IsResolving(line))
        continue;
      const uint32_t id = IdOf(line.Address());
      if (id >= listed.size())
        listed.resize(id + 1, 0);
      listed[id] += static_cast<size_t>(line.NameCount());
    }
    if (Survey.Addresses[0] + Survey.Addresses[1] <= 1)
      return false;
    Major.assign(listed.size(), false);
    Major[static_cast<size_t>(std::max_element(listed.begin(), listed.end()) - listed.begin())] =
        true;
    Signs.assign(SignCount, false);
    for (int i = 0; i < count; ++i) {
      const THostItem& line = *Hosts.Items(i);
      if (!IsResolving(line) || Major[IdOf(line.Address())])
        continue;
      const THostName* name = line.GetName(0);
      for (int k = 0; k < line.NameCount(); ++k, ++name)
        Signs[Sign(*name)] = true;
    }
    return true;
  }

  // The key of every written name not sifted out, and the survey's counts of entries and names.
  TKeys Keys() {
    const int count = Hosts.Count();
    FirstName.clear();
    FirstName.reserve(static_cast<size_t>(count));
    TKeys keys;
    keys.reserve(static_cast<size_t>(count));
    uint64_t place = 0;
    for (int i = 0; i < count; ++i) {
      FirstName.push_back(static_cast<uint32_t>(place));
      const THostItem& line = *Hosts.Items(i);
      if (!IsResolving(line))
        continue;
      const uint32_t id = IdOf(line.Address());
      const bool sifted = !Major.empty() && Major[id];
      size_t written = 0;
      const int names = line.NameCount();
      const THostName* name = line.GetName(0); // the names of a line lie side by side
      for (int k = 0; k < names; ++k, ++name) {
        if (name->Flags == 0) {
          ++written;
          if (!sifted || Signs[Sign(*name)])
            keys.push_back((uint64_t{HashName(*name)} << 32) | place);
        }
        ++place; // every name has its place, so that it is found again by its index
      }
      Survey.Entries += written != 0;
      Survey.Names += written;
    }
    if (place > UINT32_MAX)
      throw std::length_error("more than four billion names");
    return keys;
  }

  TListing Listing(uint64_t key) {
    const uint32_t at = static_cast<uint32_t>(key);
    const auto found = std::upper_bound(FirstName.begin(), FirstName.end(), at) - 1;
    const size_t index = static_cast<size_t>(found - FirstName.begin());
    const THostItem& line = *Hosts.Items(static_cast<int>(index));
    return TListing{line.GetName(static_cast<int>(at - *found)),
                    LineNumbers ? (*LineNumbers)[index] : static_cast<uint32_t>(index + 1),
                    IdOf(line.Address())};
  }

  // Runs of one hash; within a run, the listings of each name (nearly always the whole run).
  void Group(const TKeys& shared) {
    std::vector<TListing> run;
    std::vector<TListing> listings;
    for (size_t at = 0; at < shared.size();) {
      size_t end = at + 1;
      while (end < shared.size() && (shared[end] >> 32) == (shared[at] >> 32))
        ++end;
      if (end - at == 1) {
        at = end;
        continue;
      }
      run.clear();
      for (size_t k = at; k < end; ++k)
        run.push_back(Listing(shared[k]));
      at = end;
      std::vector<bool> taken(run.size(), false);
      for (size_t head = 0; head < run.size(); ++head) {
        if (taken[head])
          continue;
        listings.clear();
        for (size_t k = head; k < run.size(); ++k) {
          if (!taken[k] && SameName(*run[k].Name, *run[head].Name)) {
            taken[k] = true;
            listings.push_back(run[k]);
          }
        }
        if (listings.size() >= 2)
          Place(listings);
      }
    }
  }

  // Each listing of one name: a repeat of a place, or a new place; a name of two places or more
  // is followed (unless it is an address text, which is never looked up).
  void Place(const std::vector<TListing>& listings) {
    std::vector<TPlace>& places = Survey.Places;
    const uint32_t firstPlace = static_cast<uint32_t>(places.size());
    const bool many = listings.size() > 16;
    std::vector<std::pair<uint32_t, uint32_t>> seen; // address -> first line
    std::unordered_map<uint32_t, uint32_t> seenMany; // the same, for a name listed very often
    for (const TListing& r : listings) {
      uint32_t firstLine = 0;
      if (many) {
        const auto [found, added] = seenMany.emplace(r.Address, r.Line);
        if (!added)
          firstLine = found->second;
      } else {
        for (const auto& [address, line] : seen)
          if (address == r.Address)
            firstLine = line;
        if (firstLine == 0)
          seen.emplace_back(r.Address, r.Line);
      }
      if (firstLine != 0)
        Survey.Repeats.push_back({r.Name, r.Line, firstLine, r.Address});
      else
        places.push_back({r.Address, r.Line, TextOf(*r.Name)});
    }
    const uint32_t placeCount = static_cast<uint32_t>(places.size()) - firstPlace;
    if (placeCount > 1 && !IsAddressName(*listings.front().Name))
      Survey.Named.push_back({Utf8Of(*listings.front().Name), firstPlace, placeCount});
    else
      places.resize(firstPlace);
  }
};

THostsNameSurvey::THostsNameSurvey(const THosts& hosts, TScope scope,
                                   const TLineNumbers* lineNumbers) {
  // A name can resolve elsewhere only where there are two addresses.
  if (scope == TScope::Moves && hosts.AddressValuesMade()[0] + hosts.AddressValuesMade()[1] <= 1)
    return;
  TBuilder builder(*this, hosts, lineNumbers);
  if (scope == TScope::Moves && !builder.Sift())
    return;
  builder.Group(SharedKeys(builder.Keys()));

  std::sort(Repeats.begin(), Repeats.end(), [](const TRepeat& a, const TRepeat& b) {
    return a.Line < b.Line || (a.Line == b.Line && std::less<>()(a.Name, b.Name));
  });
  for (size_t i = 0; i < Repeats.size() && i < ExampleCount; ++i)
    RepeatNames.push_back(Utf8Of(*Repeats[i].Name));
  std::stable_sort(Named.begin(), Named.end(), [this](const TNamed& a, const TNamed& b) {
    return Places[a.First].Line < Places[b.First].Line;
  });
  // The names under two addresses or more of one family, by the first line of that family.
  std::vector<std::pair<uint32_t, TSpread>> byFirstLine;
  for (uint32_t n = 0; n < Named.size(); ++n) {
    for (const bool ipv6 : {false, true}) {
      uint32_t count = 0, firstLine = 0;
      for (uint32_t p = Named[n].First; p < Named[n].First + Named[n].Count; ++p)
        if (Address(Places[p].Address)->IsIPv6() == ipv6 && count++ == 0)
          firstLine = Places[p].Line;
      if (count > 1)
        byFirstLine.push_back({firstLine, TSpread{n, ipv6}});
    }
  }
  std::stable_sort(byFirstLine.begin(), byFirstLine.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [line, spread] : byFirstLine)
    Spreads.push_back(spread);
}

size_t THostsNameSurvey::RemoveRepeats(THosts& hosts) const {
  if (Repeats.empty())
    return 0;
  for (const TRepeat& repeat : Repeats)
    const_cast<THostName*>(repeat.Name)->Flags = THostName::Repeated;
  size_t removed = 0;
  for (int i = 0; i < hosts.Count(); ++i)
    removed += static_cast<size_t>(hosts.Items(i)->RemoveNames(THostName::Repeated));
  return removed;
}

std::vector<THostsNameSurvey::TMove> THostsNameSurvey::ChangedByMerge(const THosts& merged) const {
  std::vector<TMove> moves;
  if (Named.empty())
    return moves;
  constexpr size_t Lookups = 3;
  // Which lookups read a place's line.
  const auto reads = [this](uint32_t place, size_t lookup) {
    const THostsIP& address = *Address(Places[place].Address);
    switch (static_cast<TLookup>(lookup)) {
    case TLookup::IPv4:
      return IPv4Answer(address).has_value();
    case TLookup::IPv6:
      return address.IsIPv6();
    default:
      return true;
    }
  };
  // The places by their text, which the merge does not move; the first met in the merged
  // document that a lookup reads is where the lookup finds the name now.
  std::vector<std::pair<const void*, uint32_t>> byText; // text -> place
  std::vector<uint32_t> namedOf(Places.size());
  for (uint32_t n = 0; n < Named.size(); ++n)
    for (uint32_t p = Named[n].First; p < Named[n].First + Named[n].Count; ++p) {
      byText.emplace_back(Places[p].Text, p);
      namedOf[p] = n;
    }
  std::sort(byText.begin(), byText.end());
  const void* lowest = byText.front().first;
  const void* highest = byText.back().first;
  std::vector<std::array<uint32_t, Lookups>> now(Named.size());
  size_t open = 0; // lookups that read some place of their name and have not found one yet
  for (uint32_t n = 0; n < Named.size(); ++n)
    for (size_t lookup = 0; lookup < Lookups; ++lookup) {
      now[n][lookup] = UINT32_MAX;
      for (uint32_t p = Named[n].First; p < Named[n].First + Named[n].Count; ++p)
        if (reads(p, lookup)) {
          ++open;
          break;
        }
    }
  for (int i = 0; i < merged.Count() && open != 0; ++i) {
    const THostItem& line = *merged.Items(i);
    if (!IsResolving(line))
      continue;
    for (int k = 0; k < line.NameCount() && open != 0; ++k) {
      const THostName& name = *line.GetName(k);
      const void* text = TextOf(name);
      if (name.Flags != 0 || std::less<>()(text, lowest) || std::less<>()(highest, text))
        continue;
      const auto found = std::lower_bound(
          byText.begin(), byText.end(), text,
          [](const auto& entry, const void* key) { return std::less<>()(entry.first, key); });
      if (found == byText.end() || found->first != text)
        continue;
      const uint32_t place = found->second;
      for (size_t lookup = 0; lookup < Lookups; ++lookup) {
        uint32_t& first = now[namedOf[place]][lookup];
        if (first == UINT32_MAX && reads(place, lookup)) {
          first = place;
          --open;
        }
      }
    }
  }
  for (uint32_t n = 0; n < Named.size(); ++n) {
    for (size_t lookup = 0; lookup < Lookups; ++lookup) {
      uint32_t before = UINT32_MAX;
      for (uint32_t p = Named[n].First; p < Named[n].First + Named[n].Count && before == UINT32_MAX;
           ++p)
        if (reads(p, lookup))
          before = p;
      const uint32_t after = now[n][lookup];
      if (before == UINT32_MAX || after == UINT32_MAX)
        continue;
      const THostsIP& was = *Address(Places[before].Address);
      const THostsIP& is = *Address(Places[after].Address);
      bool changed = false;
      switch (static_cast<TLookup>(lookup)) {
      case TLookup::IPv4:
        changed = IPv4Answer(was) != IPv4Answer(is);
        break;
      case TLookup::IPv6:
        changed = Places[before].Address != Places[after].Address;
        break;
      default: // the lookups of one family tell a change within it
        changed = was.IsIPv6() != is.IsIPv6();
        break;
      }
      if (changed)
        moves.push_back({n, static_cast<TLookup>(lookup), before, after});
    }
  }
  return moves;
}

size_t MergeHosts(THosts& hosts, bool removeRepeats, bool countMoves) {
  if (!removeRepeats && !countMoves) {
    hosts.Optimize();
    return 0;
  }
  const THostsNameSurvey names(hosts, removeRepeats ? THostsNameSurvey::TScope::Everything
                                                    : THostsNameSurvey::TScope::Moves);
  if (removeRepeats)
    names.RemoveRepeats(hosts);
  hosts.Optimize();
  return countMoves ? names.ChangedByMerge(hosts).size() : 0;
}

// ---- The report ----

void MeasureSave(const THosts& hosts, SaveEncoding encoding, size_t& lines, size_t& bytes) {
  lines = bytes = 0;
  const bool wide = encoding >= EncodingUtf16LE;
  const char last = hosts.SaveOptions().LineBreak == TLineBreak::Cr ? '\r' : '\n';
  bool first = true;
  hosts.SaveToSink(encoding, [&](std::string_view piece) {
    // Pieces hold whole lines, so the characters of UTF-16 start at even offsets.
    size_t from = first && wide ? 2 : 0;
    first = false;
    bytes += piece.size();
    if (wide) {
      for (size_t i = from; i + 1 < piece.size(); i += 2)
        lines += piece[i] == last && piece[i + 1] == '\0';
    } else {
      // Line ends are far apart: the library's search finds each one fastest.
      const char* at = piece.data() + from;
      const char* const end = piece.data() + piece.size();
      while (const void* found = std::memchr(at, last, static_cast<size_t>(end - at))) {
        ++lines;
        at = static_cast<const char*>(found) + 1;
      }
    }
  });
}

namespace {

std::string Number(size_t n) {
  return std::to_string(n);
}

std::string Where(const THostsNameSurvey& names, const THostsNameSurvey::TPlace& place) {
  return names.Address(place.Address)->Text() + " (line " + Number(place.Line) + ")";
}

} // namespace

std::string FormatHostsReport(const THostsLoadSurvey& load, const THostsNameSurvey& names,
                              const std::vector<THostsNameSurvey::TMove>& moves,
                              const THostsReportFigures& figures) {
  constexpr size_t Examples = THostsLoadSurvey::ExampleCount;
  std::string out;
  const auto line = [&out](const std::string& text) {
    out += text;
    out += '\n';
  };
  for (const std::string& warning : figures.Warnings)
    line("Warning: " + warning);
  line("Lines: " + Number(load.Lines) + " -> " + Number(figures.LinesAfter));
  line("Bytes: " + Number(figures.BytesBefore) + " -> " + Number(figures.BytesAfter));
  line("Entries: " + Number(names.Entries) + " lines, " + Number(names.Names) + " names, " +
       Number(names.Addresses[0]) + " IPv4 and " + Number(names.Addresses[1]) + " IPv6 addresses");
  line("Commented-out entries kept: " + Number(load.CommentedEntries));
  line("Kept apart: the system reads no address in " + Number(load.KeptApart.Count) +
       (load.KeptApart.Count == 1 ? " line" : " lines"));
  for (const THostsLoadSurvey::TExample& example : load.KeptApart.Examples)
    line("    line " + Number(example.Number) + ": " + example.Text);
  if (figures.LoneCRs != 0)
    line("CRs inside lines, read as blanks (as glibc reads them): " + Number(figures.LoneCRs));
  line("Dropped:");
  static constexpr const char* Kinds[] = {"invalid lines", "names with forbidden characters",
                                          "localhost names", "comment and blank lines"};
  for (size_t kind = 0; kind < THostsLoadSurvey::KindCount; ++kind) {
    const THostsLoadSurvey::TDropped& dropped = load.Dropped[kind];
    line(std::string("  ") + Kinds[kind] + ": " + Number(dropped.Count));
    for (const THostsLoadSurvey::TExample& example : dropped.Examples)
      line("    line " + Number(example.Number) + ":" + (example.Text.empty() ? "" : " ") +
           example.Text);
  }

  line("Repeated names (again under the same address): " + Number(names.Repeats.size()) +
       (figures.RepeatsRemoved != 0 ? ", removed" : ""));
  for (size_t i = 0; i < names.RepeatNames.size(); ++i) {
    const THostsNameSurvey::TRepeat& repeat = names.Repeats[i];
    line("    line " + Number(repeat.Line) + ": " + names.RepeatNames[i] + " under " +
         names.Address(repeat.Address)->Text() + ", first on line " + Number(repeat.FirstLine));
  }

  line("Names under more than one address: " + Number(names.Spreads.size()));
  for (size_t i = 0; i < names.Spreads.size() && i < Examples; ++i) {
    const THostsNameSurvey::TSpread& spread = names.Spreads[i];
    const THostsNameSurvey::TNamed& named = names.Named[spread.Named];
    std::string text = "    " + named.Name + (spread.IPv6 ? " (IPv6):" : " (IPv4):");
    bool first = true;
    for (uint32_t p = named.First; p < named.First + named.Count; ++p) {
      if (names.Address(names.Places[p].Address)->IsIPv6() != spread.IPv6)
        continue;
      text += (first ? " " : ", ") + Where(names, names.Places[p]);
      first = false;
    }
    line(text);
  }

  line("Names the merge makes resolve to another address: " + Number(moves.size()));
  static constexpr const char* Lookups[] = {" (IPv4)", " (IPv6)", " (either family)"};
  for (const THostsNameSurvey::TMove& move : moves)
    line("    " + names.Named[move.Named].Name + Lookups[static_cast<size_t>(move.Lookup)] + ": " +
         Where(names, names.Places[move.Before]) + " -> " + Where(names, names.Places[move.After]));
  return out;
}
