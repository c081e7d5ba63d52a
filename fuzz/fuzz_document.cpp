// Fuzz target: a whole hosts file through THosts: loaded through both roads (LoadFromBytes, and
// LoadFromBuffer, the in-place road the programs take for files) which must save the same bytes,
// Optimize (byte-order mark, decoding, line splitting, line scanning, the merge) and SaveToBytes.
//
// Every input gets the checks that cost little. The ones that cost several loads and saves each
// (the text both roads read before the merge, every encoding saved and read back, both localhost
// settings, --dedupe against a plain reading, the merge against the literal one-name-at-a-time
// pass) run for one input in 64, chosen by a hash of the input, so that an input that found
// something finds it again when run alone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "OptimizeOracle.h"
#include "VornLibCodePage.h"
#include "VornLibMemory.h"
#include "VornLibStrUtils.h"
#include "uHosts.h"
#include "uHostsReport.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool IsForbidden(char16_t c) {
  return c == u'*' || c == u'/' || c == u'=' || c == u'?' || c == u'\\';
}

// The numeric value of an address as a comparable key (lines that read "127.0.0.1" and
// "127.000.000.001" hold the same address).
std::string ValueKey(const THostsIP* address) {
  if (address == nullptr)
    return "none";
  std::string key = std::to_string(address->Kind()) + ":";
  if (const uint32_t* number = std::get_if<uint32_t>(&address->Value())) {
    key += std::to_string(*number);
  } else if (const TIPv6Groups* groups = std::get_if<TIPv6Groups>(&address->Value())) {
    for (const uint16_t g : *groups)
      key += std::to_string(g) + ",";
  } else {
    key += "text:" + address->Text();
  }
  return key;
}

// Every name of the document by its text (which stays where it is while the merge moves the
// name: no two names share it) with what it belongs to: its length and flags, commented or not, and
// the address value (a hash consistent with SameAddress, and the kind); sorted by text, so that
// two states of a document holding the same names compare equal.
struct TNameKey {
  const void* Text;
  size_t Length;
  uint8_t Flags;
  bool Commented;
  uint16_t Kind;
  size_t Address;
  bool operator==(const TNameKey&) const = default;
};
std::vector<TNameKey> AllNames(const THosts& hosts) {
  std::vector<TNameKey> names;
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    const THostsIP* address = line->Address();
    const uint16_t kind = address ? address->Kind() : 0;
    const size_t hash = address ? address->Hash() : 0;
    for (int k = 0; k < line->NameCount(); ++k) {
      const THostName* name = line->GetName(k);
      const void* text = name->IsWide() ? static_cast<const void*>(name->Text16().data())
                                        : static_cast<const void*>(name->Text8().data());
      names.push_back({text, name->Length(), name->Flags, line->IsCommented(), kind, hash});
    }
  }
  std::sort(names.begin(), names.end(),
            [](const TNameKey& a, const TNameKey& b) { return std::less<>()(a.Text, b.Text); });
  return names;
}

// A line as the writer writes it: commented or not, address text, the written names, comment.
struct TWrittenLine {
  bool Commented;
  std::string Address;
  std::vector<std::u16string> Names;
  std::u16string Comment;
  bool operator==(const TWrittenLine&) const = default;
};

// UTF-8 has no lone surrogates: the writer puts U+FFFD in their place.
std::u16string AsUtf8Keeps(std::u16string_view text) {
  std::u16string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    const char16_t c = out[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 &&
        out[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

// The entries of a document that produce a line when saved (at least one written name).
std::vector<TWrittenLine> WrittenEntries(const THosts& hosts, bool throughUtf8) {
  const auto text = [&](std::u16string_view t) {
    return throughUtf8 ? AsUtf8Keeps(t) : std::u16string(t);
  };
  std::vector<TWrittenLine> lines;
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    if (!line->IsEntry())
      continue;
    TWrittenLine written{line->IsCommented(),
                         line->Address() ? line->Address()->Text() : "",
                         {},
                         text(line->Comment())};
    for (int k = 0; k < line->NameCount(); ++k) {
      if (line->GetName(k)->Flags == 0)
        written.Names.push_back(text(line->GetName(k)->Name()));
    }
    if (!written.Names.empty())
      lines.push_back(std::move(written));
  }
  return lines;
}

template <typename CharT> void CheckNameText(std::basic_string_view<CharT> n) {
  Check(!n.empty(), "no empty name");
  for (const CharT c : n) {
    Check(c != ' ' && c != '\t' && c != '#', "no separator or '#' in a name");
    Check(c != '\r' && c != '\n' && c != '\0', "no line break or NUL in a name");
    Check(!IsForbidden(static_cast<char16_t>(c)), "no forbidden character in a name");
  }
}

void CheckNames(const THosts& hosts) {
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    Check(line != nullptr, "Items in range");
    Check(line->Owner() == &hosts, "a line's owner is its document");
    Check(line->IsEntry() == (line->NameCount() > 0), "Entry iff names");
    for (int k = 0; k < line->NameCount(); ++k) {
      const THostName* name = line->GetName(k);
      Check(name->Owner == line, "a name's owner is its line");
      if (name->IsWide())
        CheckNameText(name->Text16());
      else
        CheckNameText(name->Text8());
    }
  }
}

std::string Save(THosts& hosts, SaveEncoding encoding, bool includeLocalhost) {
  hosts.SaveOptions().IncludeLocalhost = includeLocalhost;
  return hosts.SaveToBytes(encoding);
}

// The line rules the text is read by, in RunOnce and its reloads.
TLineRules Rules = TLineRules::Windows;

void Reload(THosts& hosts, std::string_view bytes) {
  hosts.LoadOptions().KeepLocalhost = false;
  hosts.LoadOptions().LineRules = Rules;
  Check(hosts.LoadFromBytes(bytes) == hosts.Count(), "the load counts the lines it appends");
  Check(!hosts.TextWasCut(), "saved text holds no NUL");
}

// Everything about a line the writer and the merge care about, as one text.
std::string Describe(const THostItem& line) {
  std::string text = std::to_string(line.Flags()) + "|" +
                     (line.Address() ? line.Address()->Text() : std::string("-")) + "|" +
                     Utf16ToUtf8(std::u16string(line.Comment())) + "|";
  for (int k = 0; k < line.NameCount(); ++k)
    text += Utf16ToUtf8(line.GetName(k)->Name()) + "/" +
            std::to_string(int(line.GetName(k)->Flags)) + ",";
  return text;
}

std::vector<std::string> DescribeAll(const THosts& hosts) {
  std::vector<std::string> lines;
  for (int i = 0; i < hosts.Count(); ++i)
    lines.push_back(Describe(*hosts.Items(i)));
  return lines;
}

// The same bytes through the load road the programs take for files: a block the document keeps
// and writes its names into.
int LoadInPlace(THosts& hosts, std::string_view bytes) {
  TLargeBuffer block(bytes.empty() ? 1 : bytes.size());
  if (!bytes.empty())
    std::memcpy(block.Data(), bytes.data(), bytes.size());
  block.SetSize(bytes.size());
  return hosts.LoadFromBuffer(std::move(block));
}

void SameLoad(const THosts& a, const THosts& b) {
  const THostsLoadInfo& x = a.LoadInfo();
  const THostsLoadInfo& y = b.LoadInfo();
  Check(x.Mark == y.Mark && x.BigEndian == y.BigEndian && x.Ascii == y.Ascii &&
            x.ValidUtf8 == y.ValidUtf8 && x.FirstBreak == y.FirstBreak &&
            x.TextWasCut == y.TextWasCut && x.LocalhostNames == y.LocalhostNames &&
            x.Bytes == y.Bytes && x.LoneCRs == y.LoneCRs,
        "both load roads find the same in the bytes");
  Check(a.Count() == b.Count(), "both load roads keep the same lines");
}

void RunOnce(std::string_view bytes, bool keepLocalhost, bool deep, TLineRules rules) {
  Rules = rules;
  THosts hosts;
  hosts.LoadOptions().KeepLocalhost = keepLocalhost;
  hosts.LoadOptions().LineRules = rules;
  const int appended = hosts.LoadFromBytes(bytes);
  Check(appended == hosts.Count(), "the load counts the lines it appends");
  THosts inPlace;
  inPlace.LoadOptions().KeepLocalhost = keepLocalhost;
  inPlace.LoadOptions().LineRules = rules;
  Check(LoadInPlace(inPlace, bytes) == appended, "both load roads append the same lines");
  SameLoad(hosts, inPlace);
  if (deep)
    Check(Save(inPlace, EncodingUtf16LE, true) == Save(hosts, EncodingUtf16LE, true),
          "both load roads read the same text");

  if (deep)
    CheckNames(hosts); // the names are checked again after the merge
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    Check(!line->IsInvalid(), "no invalid line is kept");
    Check(line->IsEntry() || line->IsCommented(), "only entries and comment lines are kept");
    if (!keepLocalhost) {
      for (int k = 0; k < line->NameCount(); ++k)
        Check(line->GetName(k)->Flags != THostName::Localhost, "localhost names not kept");
    }
  }

  // What Optimize must keep: every name, with its address value and flags.
  const std::vector<TNameKey> before = AllNames(hosts);

  hosts.Optimize();
  inPlace.Optimize();
  CheckNames(hosts);
  Check(AllNames(hosts) == before, "Optimize keeps every name with its address");
  Check(Save(inPlace, EncodingAuto, false) == Save(hosts, EncodingAuto, false),
        "both load roads save the same bytes");
  if (deep)
    Check(Save(inPlace, EncodingUtf16LE, false) == Save(hosts, EncodingUtf16LE, false),
          "both load roads save the same bytes in UTF-16");
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    Check(line->IsEntry() && line->NameCount() > 0, "after Optimize every line is an entry");
    Check(line->Address() != nullptr && !line->Address()->IsEmpty() &&
              !line->Address()->IsTextOnly(),
          "after Optimize every line has a numeric address");
    if (!line->IsCommented()) {
      Check(!line->HasComment() && line->Comment().empty(), "active entries lose their comment");
      Check(line->NameCount() <= 9, "no active line holds more than nine names");
    }
  }
  if (hosts.Count() == 0 || !deep)
    return;

  // Saved and read back (localhost names dropped on reading), the document holds the same
  // entries as the optimized one; the generated localhost lines at the top read as nothing.
  const std::string utf16 = Save(hosts, EncodingUtf16LE, false);
  Check(utf16.compare(0, 2, "\xFF\xFE") == 0, "UTF-16 starts with its byte-order mark");
  Check(utf16.size() % 2 == 0, "UTF-16 text is whole characters");
  THosts fromUtf16;
  Reload(fromUtf16, utf16);
  Check(Save(fromUtf16, EncodingUtf16LE, false) == utf16, "UTF-16 written again the same");
  const std::vector<TWrittenLine> expected = WrittenEntries(hosts, false);
  Check(WrittenEntries(fromUtf16, false) == expected, "UTF-16 reads back as written");

  // The merge as the literal pass does it, one name at a time.
  THosts literal;
  literal.LoadOptions().KeepLocalhost = keepLocalhost;
  literal.LoadOptions().LineRules = rules;
  literal.LoadFromBytes(bytes);
  OptimizeLiterally(literal);
  Check(DescribeAll(literal) == DescribeAll(hosts), "the merge as the literal pass does it");

  const std::vector<TWrittenLine> expectedUtf8 = WrittenEntries(hosts, true);
  const std::string utf8 = Save(hosts, EncodingUtf8, false);
  const std::string utf8Header = Save(hosts, EncodingUtf8, true);
  const std::string utf16Big = Save(hosts, static_cast<SaveEncoding>(7), false);
  const std::string system = Save(hosts, EncodingAuto, false);
  const std::string ansi = Save(hosts, EncodingAnsi, false);
  Check(utf8.compare(0, 3, "\xEF\xBB\xBF") == 0, "UTF-8 starts with its byte-order mark");
  Check(utf16Big == utf16, "encodings above UTF-16 LE write UTF-16 LE");
  for (const char c : ansi)
    Check(static_cast<unsigned char>(c) < 0x80, "ANSI output is US-ASCII");
  bool allAscii = true;
  for (const TWrittenLine& line : expected) {
    for (const std::u16string& n : line.Names)
      allAscii = allAscii && std::all_of(n.begin(), n.end(), [](char16_t c) { return c < 0x80; });
    allAscii = allAscii && std::all_of(line.Comment.begin(), line.Comment.end(),
                                       [](char16_t c) { return c < 0x80; });
  }
  if (allAscii)
    Check(ansi == system, "ASCII text is written the same in ANSI and the system code page");

  THosts fromUtf8;
  Reload(fromUtf8, utf8);
  Check(WrittenEntries(fromUtf8, false) == expectedUtf8, "UTF-8 reads back as written");
  Check(fromUtf8.Count() == static_cast<int>(expected.size()), "UTF-8: one line per written line");
  THosts fromHeader;
  Reload(fromHeader, utf8Header);
  Check(WrittenEntries(fromHeader, false) == expectedUtf8, "localhost lines read as nothing");
  Check(WrittenEntries(fromUtf16, true) == WrittenEntries(fromUtf8, false),
        "UTF-16 and UTF-8 read back the same");
  if (ReadAsUtf8(hosts.LoadInfo())) {
    THosts fromSystem;
    Reload(fromSystem, system);
    Check(WrittenEntries(fromSystem, false) == expectedUtf8, "system code page reads back");
  } else {
    // Read as Latin-1, the text goes back as Latin-1: one byte a character, each as it came.
    std::string latin1;
    // After the mark and the line break that follows it (CR LF).
    for (size_t i = 6; i + 1 < utf16.size(); i += 2) {
      Check(utf16[i + 1] == '\0', "a text read as Latin-1 holds no character above U+00FF");
      latin1.push_back(utf16[i]);
    }
    Check(system == latin1, "a text read as Latin-1 is written back in the same bytes");
  }
  Check(Save(fromUtf8, EncodingUtf8, false) == utf8, "UTF-8 written again the same");
}

// --dedupe: of the written names of entries not commented out, the first listing of each name
// under each address value stays (names compared with ASCII letters folded); every other name of
// the document stays as it was, in order.
void CheckDedupe(std::string_view bytes) {
  THosts hosts;
  hosts.LoadFromBytes(bytes);
  using TListed = std::tuple<int, std::u16string, uint8_t>;
  std::vector<TListed> expected;
  std::set<std::pair<std::string, std::u16string>> seen;
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    const bool resolving = line->IsEntry() && !line->IsCommented() && line->Address() != nullptr &&
                           line->Address()->ResolverReadsAlike();
    for (int k = 0; k < line->NameCount(); ++k) {
      const THostName* name = line->GetName(k);
      std::u16string folded = name->Name();
      for (char16_t& c : folded)
        if (c >= u'A' && c <= u'Z')
          c = static_cast<char16_t>(c + (u'a' - u'A'));
      if (resolving && name->Flags == 0 && !seen.emplace(ValueKey(line->Address()), folded).second)
        continue;
      expected.emplace_back(i, name->Name(), name->Flags);
    }
  }
  const THostsNameSurvey names(hosts, THostsNameSurvey::TScope::Everything);
  names.RemoveRepeats(hosts);
  std::vector<TListed> kept;
  for (int i = 0; i < hosts.Count(); ++i) {
    const THostItem* line = hosts.Items(i);
    Check(line->NameCount() > 0 || !line->IsEntry(), "a line the repeats left empty is no entry");
    for (int k = 0; k < line->NameCount(); ++k)
      kept.emplace_back(i, line->GetName(k)->Name(), line->GetName(k)->Flags);
  }
  Check(kept == expected, "--dedupe keeps the first listing of each name under each address");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  uint32_t hash = 2166136261u; // FNV-1a
  for (const char c : bytes)
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  const bool deep = (hash >> 8) % 64 == 0;
  if (deep) {
    RunOnce(bytes, false, true, TLineRules::Windows);
    RunOnce(bytes, true, true, TLineRules::Glibc);
    CheckDedupe(bytes);
  } else {
    RunOnce(bytes, (hash & 1) != 0, false,
            (hash & 2) != 0 ? TLineRules::Glibc : TLineRules::Windows);
  }
  return 0;
}
