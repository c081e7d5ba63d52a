// uHostsReport: what the merge pass keeps, drops and changes in a document.
//
// Names are compared through a 64-bit hash of their text with ASCII letters folded: the
// (hash, line) records of all names are sorted, so that every listing of one name comes
// together in line order, and only names that share a hash are compared by their text. A record
// is 24 bytes; no name text is copied.
#include "uHostsReport.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "VornLibCodePage.h"

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

uint64_t Finish(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  return h;
}

constexpr uint64_t Step = 0x9E3779B97F4A7C15ULL;

uint64_t HashName(const THostName& name, bool ipv6) {
  uint64_t h = (ipv6 ? 0x6A09E667F3BCC909ULL : 0) ^ (name.Length() * Step);
  if (name.IsWide()) {
    for (char16_t c : name.Text16()) {
      if (c >= u'A' && c <= u'Z')
        c = static_cast<char16_t>(c + (u'a' - u'A'));
      h = std::rotl((h ^ c) * Step, 27);
    }
    return Finish(h ^ 1);
  }
  const std::string_view text = name.Text8();
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    h = std::rotl((h ^ FoldAscii(word)) * Step, 27);
  }
  if (i < text.size()) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, text.size() - i);
    h = std::rotl((h ^ FoldAscii(word)) * Step, 27);
  }
  return Finish(h);
}

template <typename CharT> CharT Fold(CharT c) {
  return c >= CharT('A') && c <= CharT('Z') ? static_cast<CharT>(c + ('a' - 'A')) : c;
}

template <typename CharT>
bool SameFolded(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i]))
      return false;
  return true;
}

// A name held in 8 bits never equals one that needs 16: folding changes ASCII letters only.
bool SameName(const THostName& a, const THostName& b) {
  if (a.IsWide() != b.IsWide())
    return false;
  return a.IsWide() ? SameFolded(a.Text16(), b.Text16()) : SameFolded(a.Text8(), b.Text8());
}

const void* TextOf(const THostName& name) {
  return name.IsWide() ? static_cast<const void*>(name.Text16().data())
                       : static_cast<const void*>(name.Text8().data());
}

// The lines whose names resolve: entries not commented out, with an address.
bool IsResolving(const THostItem& line) {
  return line.IsEntry() && !line.IsCommented() && line.Address() != nullptr;
}

struct TRecord {
  uint64_t Hash;
  const THostName* Name;
  uint32_t Line;
  uint32_t Address;
};
using TRecords = std::vector<TRecord, TLargeBlockAllocator<TRecord>>;

// Sorted by hash, records of one hash in the order they came (line order): one stable pass
// into buckets by the hash's top bits, then each small bucket sorted on its own.
TRecords SortByHash(TRecords records) {
  const size_t n = records.size();
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)), 4, 16);
  const int shift = 64 - bits;
  std::vector<uint32_t> starts((size_t{1} << bits) + 1, 0);
  for (const TRecord& r : records)
    ++starts[(r.Hash >> shift) + 1];
  for (size_t b = 1; b < starts.size(); ++b)
    starts[b] += starts[b - 1];
  TRecords sorted(n);
  {
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    for (const TRecord& r : records)
      sorted[next[r.Hash >> shift]++] = r;
  }
  records = TRecords();
  const auto byHash = [](const TRecord& a, const TRecord& b) { return a.Hash < b.Hash; };
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    const auto first = sorted.begin() + starts[b], last = sorted.begin() + starts[b + 1];
    if (last - first < 2)
      continue;
    if (last - first <= 16) {
      for (auto i = first + 1; i < last; ++i) // insertion sort: stable
        for (auto j = i; j > first && byHash(*j, *(j - 1)); --j)
          std::iter_swap(j, j - 1);
    } else {
      std::stable_sort(first, last, byHash);
    }
  }
  return sorted;
}

std::string Utf8Of(const THostName& name) {
  return Utf16ToUtf8(name.Name());
}

} // namespace

// ---- The load ----

void THostsLoadSurvey::Follow(THosts& hosts) {
  hosts.WatchLoad([this](const THostsReadLine& read) { Take(read); });
}

void THostsLoadSurvey::Note(TKind kind, size_t count, const THostsReadLine& read) {
  TDropped& dropped = Dropped[kind];
  dropped.Count += count;
  if (dropped.Examples.size() >= ExampleCount)
    return;
  std::u16string text = read.Text16.empty() ? std::u16string(read.Text8.begin(), read.Text8.end())
                                            : std::u16string(read.Text16);
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

void THostsLoadSurvey::Take(const THostsReadLine& read) {
  ++Lines;
  const THostItem& line = *read.Line;
  if (read.Kept) {
    LineNumbers.push_back(static_cast<uint32_t>(read.Number));
    if (line.IsEntry() && line.IsCommented())
      ++CommentedEntries;
  }
  if (line.IsInvalid()) {
    Note(Invalid, 1, read);
    return;
  }
  size_t forbidden = 0;
  for (int k = 0; k < line.NameCount(); ++k)
    forbidden += line.GetName(k)->Flags == THostName::Malformed;
  if (forbidden != 0)
    Note(Forbidden, forbidden, read);
  if (read.LocalhostNames != 0)
    Note(Localhost, read.LocalhostNames, read);
  else if (!line.IsEntry() && (line.IsCommented() || line.IsBlank()))
    Note(CommentOrBlank, 1, read);
}

// ---- The names ----

THostsNameSurvey::THostsNameSurvey(
    const THosts& hosts, TScope scope,
    const std::vector<uint32_t, TLargeBlockAllocator<uint32_t>>* lineNumbers) {
  // Address ids, in the order first met; the lines of a document share the value of one text.
  TIPTracker tracker;
  const THostsIP* lastValue = nullptr;
  uint32_t lastId = 0;
  const auto idOf = [&](const THostsIP* address) {
    if (address == lastValue)
      return lastId;
    int index = tracker.IndexOf(address);
    if (index < 0) {
      tracker.FindOrAdd(address);
      index = tracker.Count() - 1;
      FAddressValues.push_back(address);
      ++Addresses[address->IsIPv6() ? 1 : 0];
    }
    lastValue = address;
    lastId = static_cast<uint32_t>(index);
    return lastId;
  };

  const int count = hosts.Count();
  for (int i = 0; i < count; ++i) {
    const THostItem& line = *hosts.Items(i);
    if (!IsResolving(line))
      continue;
    idOf(line.Address());
    size_t written = 0;
    for (int k = 0; k < line.NameCount(); ++k)
      written += line.GetName(k)->Flags == 0;
    Entries += written != 0;
    Names += written;
  }
  // A name can resolve elsewhere only in a family of more than one address.
  const std::array<bool, 2> surveyed = {scope == TScope::Everything || Addresses[0] > 1,
                                        scope == TScope::Everything || Addresses[1] > 1};
  if (!surveyed[0] && !surveyed[1])
    return;

  TRecords records;
  records.reserve(Names);
  for (int i = 0; i < count; ++i) {
    const THostItem& line = *hosts.Items(i);
    if (!IsResolving(line))
      continue;
    const bool ipv6 = line.Address()->IsIPv6();
    if (!surveyed[ipv6 ? 1 : 0])
      continue;
    const uint32_t address = idOf(line.Address());
    const uint32_t number =
        lineNumbers ? (*lineNumbers)[static_cast<size_t>(i)] : static_cast<uint32_t>(i + 1);
    for (int k = 0; k < line.NameCount(); ++k) {
      const THostName* name = line.GetName(k);
      if (name->Flags == 0)
        records.push_back({HashName(*name, ipv6), name, number, address});
    }
  }
  const TRecords sorted = SortByHash(std::move(records));

  // Runs of one hash; within a run, the listings of each name (nearly always the whole run).
  std::vector<const TRecord*> listings;
  std::vector<std::pair<uint32_t, uint32_t>> seen; // address -> first line, for one name
  std::unordered_map<uint32_t, uint32_t> seenMany; // the same, for a name listed very often
  for (size_t run = 0; run < sorted.size();) {
    size_t end = run + 1;
    while (end < sorted.size() && sorted[end].Hash == sorted[run].Hash)
      ++end;
    if (end - run == 1) {
      run = end;
      continue;
    }
    std::vector<bool> taken(end - run, false);
    for (size_t head = run; head < end; ++head) {
      if (taken[head - run])
        continue;
      listings.clear();
      for (size_t k = head; k < end; ++k) {
        if (!taken[k - run] && SameName(*sorted[k].Name, *sorted[head].Name)) {
          taken[k - run] = true;
          listings.push_back(&sorted[k]);
        }
      }
      if (listings.size() < 2)
        continue;
      // Each listing: a repeat of a place, or a new place.
      const uint32_t firstPlace = static_cast<uint32_t>(Places.size());
      seen.clear();
      seenMany.clear();
      const bool many = listings.size() > 16;
      for (const TRecord* r : listings) {
        uint32_t firstLine = 0;
        if (many) {
          const auto [at, added] = seenMany.emplace(r->Address, r->Line);
          if (!added)
            firstLine = at->second;
        } else {
          for (const auto& [address, line] : seen)
            if (address == r->Address)
              firstLine = line;
          if (firstLine == 0)
            seen.emplace_back(r->Address, r->Line);
        }
        if (firstLine != 0)
          Repeats.push_back({r->Name, r->Line, firstLine, r->Address});
        else
          Places.push_back({r->Address, r->Line, TextOf(*r->Name)});
      }
      const uint32_t placeCount = static_cast<uint32_t>(Places.size()) - firstPlace;
      if (placeCount > 1)
        Spreads.push_back({Utf8Of(*listings.front()->Name),
                           FAddressValues[listings.front()->Address]->IsIPv6(), firstPlace,
                           placeCount});
      else
        Places.resize(firstPlace);
    }
    run = end;
  }
  std::sort(Repeats.begin(), Repeats.end(), [](const TRepeat& a, const TRepeat& b) {
    return a.Line < b.Line || (a.Line == b.Line && std::less<>()(a.Name, b.Name));
  });
  for (size_t i = 0; i < Repeats.size() && i < ExampleCount; ++i)
    RepeatNames.push_back(Utf8Of(*Repeats[i].Name));
  std::stable_sort(Spreads.begin(), Spreads.end(), [this](const TSpread& a, const TSpread& b) {
    return Places[a.First].Line < Places[b.First].Line;
  });
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
  if (Spreads.empty())
    return moves;
  // The places by their text, which the merge does not move; the first met in the merged
  // document is where each name resolves now.
  std::vector<std::pair<const void*, uint32_t>> byText; // text -> spread
  std::vector<uint32_t> spreadOf(Places.size());
  for (uint32_t s = 0; s < Spreads.size(); ++s)
    for (uint32_t p = Spreads[s].First; p < Spreads[s].First + Spreads[s].Count; ++p) {
      byText.emplace_back(Places[p].Text, p);
      spreadOf[p] = s;
    }
  std::sort(byText.begin(), byText.end());
  const void* lowest = byText.front().first;
  const void* highest = byText.back().first;
  std::vector<uint32_t> now(Spreads.size(), UINT32_MAX);
  size_t open = Spreads.size();
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
      uint32_t& first = now[spreadOf[found->second]];
      if (first == UINT32_MAX) {
        first = found->second;
        --open;
      }
    }
  }
  for (uint32_t s = 0; s < Spreads.size(); ++s) {
    const uint32_t before = Spreads[s].First, after = now[s];
    if (after != UINT32_MAX && Places[after].Address != Places[before].Address)
      moves.push_back({s, before, after});
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
      lines += static_cast<size_t>(
          std::count(piece.begin() + static_cast<std::ptrdiff_t>(from), piece.end(), last));
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
  line("Lines: " + Number(load.Lines) + " -> " + Number(figures.LinesAfter));
  line("Bytes: " + Number(figures.BytesBefore) + " -> " + Number(figures.BytesAfter));
  line("Entries: " + Number(names.Entries) + " lines, " + Number(names.Names) + " names, " +
       Number(names.Addresses[0]) + " IPv4 and " + Number(names.Addresses[1]) + " IPv6 addresses");
  line("Commented-out entries kept: " + Number(load.CommentedEntries));
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

  const auto family = [](const THostsNameSurvey::TSpread& spread) {
    return spread.IPv6 ? " (IPv6)" : " (IPv4)";
  };
  line("Names under more than one address: " + Number(names.Spreads.size()));
  for (size_t i = 0; i < names.Spreads.size() && i < Examples; ++i) {
    const THostsNameSurvey::TSpread& spread = names.Spreads[i];
    std::string text = "    " + spread.Name + family(spread) + ":";
    for (uint32_t p = 0; p < spread.Count; ++p)
      text += (p == 0 ? " " : ", ") + Where(names, names.Places[spread.First + p]);
    line(text);
  }

  line("Names the merge makes resolve to another address: " + Number(moves.size()));
  for (const THostsNameSurvey::TMove& move : moves) {
    const THostsNameSurvey::TSpread& spread = names.Spreads[move.Spread];
    line("    " + spread.Name + family(spread) + ": " + Where(names, names.Places[move.Before]) +
         " -> " + Where(names, names.Places[move.After]));
  }
  return out;
}
