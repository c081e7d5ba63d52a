// The hosts document: the hosts file format as read and as written.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "uHosts.h"
#include "uHosts_Extras.h"
#include "uHosts_LineSlabs.h"
#include "uHosts_TextArena.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

std::string_view BreakText(TLineBreak lineBreak) {
  switch (lineBreak) {
  case TLineBreak::Lf:
    return "\n";
  case TLineBreak::Cr:
    return "\r";
  default:
    return "\r\n";
  }
}

// Calls take(begin, end) for every line of the n characters at(0) .. at(n - 1). Lines end at CR
// LF, a lone CR or a lone LF; under the glibc rules only at LF or CR LF, and a lone CR stays in its
// line (counted in loneCRs). The last line counts without a break, a break at the very end adds no
// empty line. The first break met is noted in first.
template <typename At, typename Take>
void ForEachLine(size_t n, At&& at, Take&& take, TLineRules rules, TLineBreak& first,
                 size_t& loneCRs) {
  const bool glibc = rules == TLineRules::Glibc;
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = at(i);
    if (c != u'\r' && c != u'\n')
      continue;
    const bool crLf = c == u'\r' && i + 1 < n && at(i + 1) == u'\n';
    if (glibc && c == u'\r' && !crLf) {
      ++loneCRs;
      continue;
    }
    take(start, i);
    if (first == TLineBreak::None)
      first = crLf ? TLineBreak::CrLf : (c == u'\r' ? TLineBreak::Cr : TLineBreak::Lf);
    if (crLf)
      ++i;
    start = i + 1;
  }
  if (start < n)
    take(start, n);
}

// The index of the first CR or LF in p[from..n), or n; sixteen bytes at a time where the
// processor has SSE2, else eight.
size_t FindBreak(const char* p, size_t from, size_t n) {
  constexpr uint64_t Ones = 0x0101010101010101ULL, High = 0x8080808080808080ULL;
  size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
    if (const int mask = _mm_movemask_epi8(breaks))
      return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= n; i += 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      const uint64_t lf = word ^ (Ones * '\n'), cr = word ^ (Ones * '\r');
      // The lowest byte marked is the first one that is zero (marks above it may be false).
      const uint64_t found = (((lf - Ones) & ~lf) | ((cr - Ones) & ~cr)) & High;
      if (found)
        return i + static_cast<size_t>(std::countr_zero(found)) / 8;
    }
  }
  for (; i < n; ++i)
    if (p[i] == '\r' || p[i] == '\n')
      return i;
  return n;
}

// The same over bytes.
template <typename Take>
void ForEachLine8(const char* p, size_t n, Take&& take, TLineRules rules, TLineBreak& first,
                  size_t& loneCRs) {
  const bool glibc = rules == TLineRules::Glibc;
  size_t start = 0;
  while (start < n) {
    size_t end = FindBreak(p, start, n);
    while (glibc && end < n && p[end] == '\r' && !(end + 1 < n && p[end + 1] == '\n')) {
      ++loneCRs;
      end = FindBreak(p, end + 1, n);
    }
    take(start, end);
    if (end == n)
      break;
    const bool crLf = p[end] == '\r' && end + 1 < n && p[end + 1] == '\n';
    if (first == TLineBreak::None)
      first = crLf ? TLineBreak::CrLf : (p[end] == '\r' ? TLineBreak::Cr : TLineBreak::Lf);
    start = end + (crLf ? 2 : 1);
  }
}

// Whether every byte is ASCII, eight bytes at a time.
bool IsAsciiText(std::string_view bytes) {
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    any |= word;
  }
  for (; i < bytes.size(); ++i)
    any |= static_cast<unsigned char>(bytes[i]);
  return (any & 0x8080808080808080ULL) == 0;
}

// The line (from 1) that the character at(n) stands on: one more than the breaks before it.
template <typename At> size_t LineOf(size_t n, At&& at, TLineRules rules) {
  const bool loneCrEnds = rules != TLineRules::Glibc;
  size_t line = 1;
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = at(i);
    if (c == u'\n' || (loneCrEnds && c == u'\r' && (i + 1 >= n || at(i + 1) != u'\n')))
      ++line;
  }
  return line;
}

// Encodes text in one save encoding into pieces for a sink. Pieces are whole lines, so a
// surrogate pair is never cut between two of them; a line may still be taken back while it is
// being written.
class TTextWriter {
public:
  static constexpr size_t PieceBytes = 1 << 20;

  TTextWriter(SaveEncoding encoding, TSystemCodePageDecoder codePage, const TByteSink& sink,
              TLineBreak lineBreak)
      : FEncoding(encoding), FCodePage(codePage), FSink(sink), FBreak(BreakText(lineBreak)) {
    FOut.reserve(16 * 1024); // grows to a piece where the text is long
  }

  void Raw(std::string_view bytes) { FOut.append(bytes); }

  void Ascii(std::string_view text) {
    if (FEncoding == EncodingUtf16LE) {
      for (const char c : text) {
        FOut.push_back(c);
        FOut.push_back('\0');
      }
    } else {
      FOut.append(text);
    }
  }

  // One byte a character, Latin-1.
  void Text8(std::string_view text) {
    if (FEncoding != EncodingUtf16LE) {
      // ASCII goes straight across in every 8-bit encoding.
      const size_t at = FOut.size();
      FOut.append(text);
      if (IsAsciiText(text))
        return;
      FOut.resize(at);
    }
    std::u16string wide(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i)
      wide[i] = static_cast<unsigned char>(text[i]);
    Text(wide, true);
  }

  void Text(std::u16string_view text, bool known = false) {
    const size_t at = FOut.size();
    if (FEncoding == EncodingUtf16LE) {
      FOut.resize(at + 2 * text.size());
      char* out = FOut.data() + at;
      for (const char16_t c : text) {
        *out++ = static_cast<char>(c & 0xFF);
        *out++ = static_cast<char>(c >> 8);
      }
      return;
    }
    if (!known) {
      // ASCII goes straight across in every 8-bit encoding.
      FOut.resize(at + text.size());
      char* out = FOut.data() + at;
      char16_t any = 0;
      for (const char16_t c : text) {
        any |= c;
        *out++ = static_cast<char>(c);
      }
      if (any < 0x80)
        return;
      FOut.resize(at);
    }
    if (FEncoding == EncodingUtf8)
      FOut.append(Utf16ToUtf8(text));
    else if (FEncoding == EncodingAnsi)
      FOut.append(EncodeUsAscii(text, &FInfo.NoAsciiForm));
    else
      FOut.append(FCodePage.Encode(text));
  }

  void Name(const THostName& name) {
    if (name.IsWide())
      Text(name.Text16());
    else
      Text8(name.Text8());
  }

  size_t Mark() const { return FOut.size(); }
  void Rewind(size_t mark) { FOut.resize(mark); }

  void EndLine() {
    ++FInfo.Lines;
    Ascii(FBreak);
    if (FOut.size() >= PieceBytes)
      Flush();
  }
  void Flush() {
    if (!FOut.empty())
      FSink(FOut);
    FOut.clear();
  }
  const THostsSaveInfo& Info() const { return FInfo; }

private:
  SaveEncoding FEncoding;
  TSystemCodePageDecoder FCodePage; // EncodingAuto: the code page the text was read in
  const TByteSink& FSink;
  std::string_view FBreak;
  std::string FOut;
  THostsSaveInfo FInfo;
};

// Clears the read-only, hidden and system attributes of a file for a write, and when it goes, also
// when the write raised an error, gives the file its old attributes back wherever they differ (a
// file swapped in for the old one may not have kept them). Hidden goes with the other two because
// Windows refuses to create a file anew over a hidden one (CreateFileW with CREATE_ALWAYS and
// FILE_ATTRIBUTE_NORMAL fails with ERROR_ACCESS_DENIED on a hidden or system file; Wine lets it
// through), so a hidden file could never be written in place.
class TAttributeLift {
public:
  TAttributeLift(std::u16string_view fileName, bool lift) : FFileName(fileName) {
    if (!lift || !FileGetAttributes(fileName, FOld))
      return;
    FKnown = true;
    const uint32_t lifted =
        FOld & ~(FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem);
    // When setting them fails the write is tried anyway.
    if (lifted != FOld)
      FileSetAttributes(fileName, lifted);
  }
  ~TAttributeLift() {
    uint32_t now = InvalidFileAttributes;
    if (!FKnown || !FileGetAttributes(FFileName, now) || now == FOld)
      return;
    // A second try when the first fails: the file must not keep its lifted attributes.
    if (!FileSetAttributes(FFileName, FOld))
      FileSetAttributes(FFileName, FOld);
  }
  TAttributeLift(const TAttributeLift&) = delete;
  TAttributeLift& operator=(const TAttributeLift&) = delete;

private:
  std::u16string FFileName;
  uint32_t FOld = InvalidFileAttributes;
  bool FKnown = false;
};

} // namespace

// Every address text the document has read, with its value (none for a text that is no numeric
// address). Big blocklists repeat one or two address texts on every line.
struct THosts::TAddressTable {
  struct THash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  // Every text read, with the number of its value (0: no numeric address).
  std::unordered_map<std::string, uint32_t, THash, std::equal_to<>> Numbers;
  // By number less one. A deque never moves what it holds, and takes its memory a few hundred
  // values at a time, not one by one from the shared pool (which would take its lock each time).
  std::deque<THostsIP> Values;
  std::string LastText;
  uint32_t LastNumber = 0;
};

namespace {

// The numbers of the live documents are taken and given back under this lock, and so are the
// counts of the lines left of documents gone.
std::mutex& NumbersLock() {
  static std::mutex lock;
  return lock;
}
// By number less one: the lines made for a document gone and not destroyed yet. Its number
// serves no other document until they are.
std::array<size_t, 65535> LinesOfDocumentsGone{};

} // namespace

THosts::THosts()
    : FAddresses(std::make_unique<TAddressTable>()), FText(std::make_unique<TTextArena>()),
      FExtras(std::make_unique<TExtraTable>()), FSlabs(std::make_unique<TLineSlabs>()) {
  // Numbered last: a constructor that fails leaves no number behind. Few documents live at a
  // time, so the first free number is found by a look along the table.
  static_assert(std::tuple_size_v<decltype(LinesOfDocumentsGone)> == MaxDocuments);
  const std::lock_guard<std::mutex> lock(NumbersLock());
  size_t free = 0;
  while (free < MaxDocuments && (FLive[free] || LinesOfDocumentsGone[free] != 0))
    ++free;
  if (free == MaxDocuments)
    throw std::length_error("more than 65535 hosts documents at once");
  FLive[free] = this;
  FNumber = static_cast<uint16_t>(free + 1);
}

THosts::~THosts() {
  FLines.Clear(); // the lines go before the values and the text they share
  const std::lock_guard<std::mutex> lock(NumbersLock());
  FLive[FNumber - 1] = nullptr;
  LinesOfDocumentsGone[FNumber - 1] = FLooseLines;
}

void THosts::LooseLineGone(uint16_t number) {
  if (THosts* document = FLive[number - 1]) {
    assert(document->FLooseLines > 0);
    --document->FLooseLines;
    return;
  }
  const std::lock_guard<std::mutex> lock(NumbersLock());
  assert(LinesOfDocumentsGone[number - 1] > 0);
  --LinesOfDocumentsGone[number - 1];
}

uint32_t THosts::SharedAddressNumber(std::string_view token) {
  TAddressTable& table = *FAddresses;
  // Most lines repeat the address of the line before; a short text is compared in place.
  const std::string& last = table.LastText;
  if (!last.empty() && token.size() == last.size() &&
      std::memcmp(token.data(), last.data(), token.size()) == 0)
    return table.LastNumber;
  auto found = table.Numbers.find(token);
  if (found == table.Numbers.end()) {
    if (table.Values.size() >= std::numeric_limits<uint32_t>::max())
      throw std::length_error("more than 4 billion addresses");
    THostsIP& value = table.Values.emplace_back();
    if (value.Parse(token, true) && !value.IsEmpty() && !value.IsTextOnly()) {
      // The two lists grow together or not at all; a value no text names yet is harmless.
      try {
        FSharedAddresses.push_back(&value);
      } catch (...) {
        table.Values.pop_back();
        throw;
      }
      const auto number = static_cast<uint32_t>(table.Values.size());
      found = table.Numbers.emplace(std::string(token), number).first;
      ++FAddressValuesMade[value.IsIPv6() ? 1 : 0];
    } else {
      table.Values.pop_back();
      found = table.Numbers.emplace(std::string(token), 0).first;
    }
  }
  table.LastText.assign(token);
  table.LastNumber = found->second;
  return table.LastNumber;
}

std::unique_ptr<THostItem> THosts::NewLine() {
  return std::unique_ptr<THostItem>(::new (FSlabs->Allocate())
                                        THostItem(this, THostItem::TInSlab{}));
}

std::unique_ptr<THostItem> THosts::MoveToNewestSlab(std::unique_ptr<THostItem> line) {
  if (!line->FInSlab)
    return line;
  auto moved = NewLine();
  moved->TakeOver(*line);
  return moved;
}

bool THosts::Delete(int index) {
  if (Watching() || index < 0 || index >= Count())
    return false;
  FLines.Erase(static_cast<size_t>(index));
  return true;
}

bool THosts::Insert(int index, std::unique_ptr<THostItem> line) {
  // A line holds its names' text in its own document: one made for another (or for one gone,
  // whose number no other document has) cannot come in.
  if (!line || Watching() || line->Owner() != this)
    return false;
  if (index < 0)
    index = 0;
  if (index > Count())
    index = Count();
  FLines.Insert(static_cast<size_t>(index), line);
  return true;
}

int THosts::LoadFromFile(std::u16string_view fileName) {
  if (!FileExists(fileName) || !CanReadFile(fileName))
    return -1;
  if (Watching())
    return 0;
  TLargeBuffer bytes;
  {
    // Others may read the file meanwhile, but not change it.
    TVornFileStream stream(fileName, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
    if (!stream.IsOpen())
      throw std::system_error(stream.LastError(), std::system_category(),
                              "Cannot open the hosts file");
    bytes = ReadAllBytesLarge(stream);
  }
  return LoadFromBuffer(std::move(bytes));
}

int THosts::LoadFromBuffer(TLargeBuffer bytes) {
  const std::string_view text(bytes.Data(), bytes.Size());
  return Load(text, &bytes); // the block stays where it is
}

int THosts::LoadFromBytes(std::string_view bytes) {
  return Load(bytes, nullptr);
}

// A watched load: the watcher, where the load is, and the text of the line being read.
struct THosts::TWatch {
  THostsLoadWatcher Watcher;
  size_t Number = 0;
  std::string Text8;
  std::u16string Text16;
  bool Running = false; // the watcher runs: the document's lines stay as they are
  bool Changed = false; // WatchLoad was called meanwhile, with Next (none: stop watching)
  THostsLoadWatcher Next;
};

bool THosts::Watching() const {
  return FWatch && FWatch->Running;
}

void THosts::WatchLoad(THostsLoadWatcher watcher) {
  if (Watching()) {
    // From the next line on: the watcher that runs stays until it returns.
    FWatch->Next = std::move(watcher);
    FWatch->Changed = true;
    return;
  }
  if (watcher) {
    FWatch = std::make_unique<TWatch>();
    FWatch->Watcher = std::move(watcher);
  } else
    FWatch.reset();
}

// One load of a text: cut into lines, each scanned into a new line of the document and kept or
// let go by the load options.
struct THosts::TLoad {
  THosts& Hosts;

  int Text(std::string_view bytes);
  // The text after its byte-order mark: UTF-16 in either byte order, or 8-bit (UTF-8 when utf8,
  // else the system code page).
  int Utf16Text(std::string_view body, bool bigEndian);
  int ByteText(std::string_view body, bool utf8);
  // Reads one line of text into a new line and keeps it or lets it go, by the load options.
  template <typename CharT> bool Line(std::basic_string_view<CharT> text);
  // The line scanned, and whether the load options keep it.
  template <typename CharT>
  std::unique_ptr<THostItem> ReadLine(std::basic_string_view<CharT> text, bool& keep);
  // Line for a watched load: the text is copied before the scan may write names over it.
  template <typename CharT> bool WatchedLine(std::basic_string_view<CharT> text);
};

int THosts::Load(std::string_view bytes, TLargeBuffer* block) {
  if (Watching())
    return 0;
  // A load that fails leaves the document as it was: the lines it appended go, the text it
  // stored goes back, and what the last load found is as it was.
  struct TUndo {
    THosts& Hosts;
    const size_t Lines;
    const THostsLoadInfo Info;
    const TTextArena::TMark Text;
    bool Done = false;
    ~TUndo() {
      if (Done)
        return;
      Hosts.FLines.Truncate(Lines);
      Hosts.FText->EndInPlace();
      Hosts.FText->Release(Text);
      Hosts.FLoadInfo = Info;
    }
  } undo{*this, FLines.Size(), FLoadInfo, FText->Mark()};
  if (block)
    FText->BeginInPlace(std::move(*block));
  const int appended = TLoad{*this}.Text(bytes);
  FText->EndInPlace();
  undo.Done = true;
  return appended;
}

template <typename CharT>
std::unique_ptr<THostItem> THosts::TLoad::ReadLine(std::basic_string_view<CharT> text, bool& keep) {
  const THostsLoadOptions& options = Hosts.FLoadOptions;
  const bool keepLocalhost = options.KeepLocalhost;
  auto line = Hosts.NewLine();
  bool foundLocalhost = false;
  if constexpr (sizeof(CharT) == 1)
    line->ParseLine8(text, foundLocalhost, keepLocalhost, options.LineRules);
  else
    line->ParseLine16(text, foundLocalhost, keepLocalhost, options.LineRules);
  Hosts.FText->EndLine();
  if (line->IsInvalid())
    keep = false;
  else if (!keepLocalhost && foundLocalhost && line->NameCount() == 0)
    keep = false; // a line of "localhost" names only
  else if (line->IsEntry())
    keep = !(line->IsCommented() && options.DropCommentedEntries);
  else if (line->IsCommented())
    keep = !options.DropComments;
  else
    keep = line->IsBlank() && !options.DropBlankLines;
  return line;
}

template <typename CharT> bool THosts::TLoad::Line(std::basic_string_view<CharT> text) {
  ++Hosts.FLoadInfo.Lines;
  if (Hosts.FWatch) [[unlikely]]
    return WatchedLine(text);
  bool keep = false;
  auto line = ReadLine(text, keep);
  if (keep)
    Hosts.FLines.Append(line);
  return keep;
}

template <typename CharT> bool THosts::TLoad::WatchedLine(std::basic_string_view<CharT> text) {
  TWatch& watch = *Hosts.FWatch;
  THostsReadLine read;
  read.Number = ++watch.Number;
  if constexpr (sizeof(CharT) == 1)
    read.Text8 = watch.Text8.assign(text.data(), text.size());
  else
    read.Text16 = watch.Text16.assign(text.data(), text.size());
  const size_t localhostBefore = Hosts.FLoadInfo.LocalhostNames;
  auto line = ReadLine(text, read.Kept);
  read.Line = line.get();
  read.LocalhostNames = Hosts.FLoadInfo.LocalhostNames - localhostBefore;
  if (read.Kept)
    Hosts.FLines.Append(line);
  // While the watcher runs the document refuses what would change its list; a WatchLoad it
  // calls takes effect when it returns, also when it raises.
  struct TRun {
    THosts& Hosts;
    ~TRun() {
      TWatch& watch = *Hosts.FWatch;
      watch.Running = false;
      if (!watch.Changed)
        return;
      watch.Changed = false;
      if (watch.Next) {
        watch.Watcher = std::exchange(watch.Next, nullptr);
      } else {
        Hosts.FWatch.reset();
      }
    }
  } run{Hosts};
  watch.Running = true;
  watch.Watcher(read);
  return read.Kept;
}

// A text without a mark that is not UTF-8 was read in the system code page's other reading
// (POSIX: Latin-1); every other text as UTF-8 or UTF-16.
bool ReadAsUtf8(const THostsLoadInfo& info) {
  return info.Mark != EncodingAuto || info.ValidUtf8;
}

TByteOrderMark ReadByteOrderMark(std::string_view bytes) {
  const auto at = [bytes](size_t i) {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
  };
  if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF)
    return {EncodingUtf8, false, 3};
  if ((at(0) == 0xFF && at(1) == 0xFE) || (at(0) == 0xFE && at(1) == 0xFF))
    return {EncodingUtf16LE, at(0) == 0xFE, 2};
  return {};
}

int THosts::TLoad::Text(std::string_view bytes) {
  THostsLoadInfo& info = Hosts.FLoadInfo;
  info = THostsLoadInfo{};
  info.Bytes = bytes.size();
  if (Hosts.FWatch)
    Hosts.FWatch->Number = 0;
  // The text is decoded and read a line at a time.
  const TByteOrderMark mark = ReadByteOrderMark(bytes);
  info.Mark = mark.Encoding;
  info.BigEndian = mark.BigEndian;
  if (mark.Encoding == EncodingUtf16LE)
    return Utf16Text(bytes.substr(mark.Length), mark.BigEndian);
  return ByteText(bytes.substr(mark.Length), mark.Encoding == EncodingUtf8);
}

int THosts::TLoad::Utf16Text(std::string_view body, bool bigEndian) {
  THostsLoadInfo& info = Hosts.FLoadInfo;
  const TLineRules rules = Hosts.FLoadOptions.LineRules;
  // An odd last byte is lost, a NUL character ends the text.
  const auto* raw = reinterpret_cast<const unsigned char*>(body.data());
  const auto unit = [raw, bigEndian](size_t i) {
    const unsigned char a = raw[2 * i], b = raw[2 * i + 1];
    return bigEndian ? static_cast<char16_t>((a << 8) | b) : static_cast<char16_t>(a | (b << 8));
  };
  size_t units = body.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    if (unit(i) == u'\0') {
      const std::string_view after = body.substr(2 * i + 2);
      info.TextWasCut = after.find_first_not_of('\0') != std::string_view::npos;
      units = i;
      info.CutLine = LineOf(i, unit, rules);
      break;
    }
  }
  int appended = 0;
  std::u16string line;
  ForEachLine(
      units, unit,
      [&](size_t b, size_t e) {
        line.resize(e - b);
        for (size_t i = b; i < e; ++i)
          line[i - b] = unit(i);
        Hosts.FText->BeginLine(body.data() + 2 * b, body.data() + 2 * e);
        appended += Line(std::u16string_view(line));
      },
      rules, info.FirstBreak, info.LoneCRs);
  return appended;
}

int THosts::TLoad::ByteText(std::string_view body, bool utf8) {
  THostsLoadInfo& info = Hosts.FLoadInfo;
  const TLineRules rules = Hosts.FLoadOptions.LineRules;
  const size_t nul = body.find('\0');
  if (nul != std::string_view::npos) {
    info.TextWasCut = body.find_first_not_of('\0', nul) != std::string_view::npos;
    info.CutLine = LineOf(
        nul, [&body](size_t i) { return static_cast<char16_t>(body[i]); }, rules);
    body = body.substr(0, nul);
  }

  info.Ascii = IsAsciiText(body);
  info.ValidUtf8 = info.Ascii || IsValidUtf8(body);

  // Lines of ASCII are read as they are (every code page reads ASCII bytes as themselves); the
  // others are decoded first, each as it reads within the whole text. No code page has a
  // character whose bytes hold a CR or LF, so lines are found in the bytes.
  std::optional<TSystemCodePageDecoder> systemCodePage;
  if (!info.Ascii && !utf8)
    systemCodePage.emplace(body);
  int appended = 0;
  const char* text = body.data();
  TTextArena& arena = *Hosts.FText;
  ForEachLine8(
      text, body.size(),
      [&](size_t b, size_t e) {
        arena.GiveBackRead(text + b, text + body.size());
        arena.BeginLine(text + b, text + e);
        const std::string_view line(text + b, e - b);
        if (info.Ascii || IsAsciiText(line))
          appended += Line(line);
        else
          appended +=
              Line(std::u16string_view(utf8 ? Utf8ToUtf16(line) : systemCodePage->Decode(line)));
      },
      rules, info.FirstBreak, info.LoneCRs);
  return appended;
}

THostsSaveInfo THosts::SaveToSink(SaveEncoding encoding, const TByteSink& sink) const {
  if (encoding > EncodingUtf16LE)
    encoding = EncodingUtf16LE;
  TTextWriter text(encoding, TSystemCodePageDecoder::AsRead(ReadAsUtf8(FLoadInfo)), sink,
                   FSaveOptions.LineBreak);
  // The readers of hosts files (glibc, dnsmasq) do not skip a byte-order mark: it becomes part of
  // the first line, which they then cannot read. An empty line after the mark is all they lose.
  if (encoding == EncodingUtf8 || encoding == EncodingUtf16LE) {
    text.Raw(encoding == EncodingUtf8 ? "\xEF\xBB\xBF" : "\xFF\xFE");
    text.EndLine();
  }

  if (FSaveOptions.IncludeLocalhost) {
    text.Ascii("127.0.0.1 localhost");
    text.EndLine();
    if (IsAddressText("::1")) {
      text.Ascii("::1 localhost");
      text.EndLine();
    }
  }

  FLines.ForEach([&](const THostItem& item) {
    const THostItem* line = &item;
    if (line->IsEntry() && line->NameCount() > 0) {
      // The line is produced only when at least one of its names is written.
      const size_t start = text.Mark();
      if (line->IsCommented())
        text.Ascii("#");
      if (const THostsIP* address = line->Address())
        text.Ascii(address->Text());
      bool written = false;
      const THostName* names = line->NameData();
      const int count = line->NameCount();
      for (int i = 0; i < count; ++i) {
        const THostName& name = names[i];
        if (name.Flags != 0)
          continue;
        text.Ascii(" ");
        text.Name(name);
        written = true;
      }
      if (!written) {
        text.Rewind(start);
        return;
      }
      if (line->HasComment()) {
        text.Ascii(" #");
        text.Text(line->Comment());
      }
      text.EndLine();
    } else if (line->IsCommented()) {
      text.Ascii("#");
      text.Text(line->Comment());
      text.EndLine();
    } else if (line->IsBlank()) {
      text.EndLine();
    }
  });
  text.Flush();
  return text.Info();
}

std::string THosts::SaveToBytes(SaveEncoding encoding) const {
  std::string out;
  SaveToSink(encoding, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

bool THosts::SaveToFile(std::u16string_view fileName, SaveEncoding encoding) {
  return bool(SaveToFileGuarded(fileName, encoding, nullptr));
}

TSaveResult THosts::SaveToFileGuarded(std::u16string_view fileName, SaveEncoding encoding,
                                      TFileGuard* guard) {
  FSaveInfo = THostsSaveInfo{};
  if (!CanWriteFile(fileName)) {
    TSaveResult refused;
    refused.Failure = TSaveFailure::CannotWrite;
    const std::u16string folder = ExtractFilePath(fileName);
    refused.Error =
        std::make_error_code(!FileExists(fileName) && !folder.empty() && !DirectoryExists(folder)
                                 ? std::errc::no_such_file_or_directory
                                 : std::errc::permission_denied);
    return refused;
  }
  // Only a regular file has attributes to lift; a device or a FIFO is written as it is.
  TAttributeLift lift(fileName,
                      FSaveOptions.LiftAttributes && FileKindOf(fileName) == TFileKind::Regular);
  return SaveFileSafely(
      fileName, [this, encoding](const TByteSink& sink) { FSaveInfo = SaveToSink(encoding, sink); },
      guard);
}
