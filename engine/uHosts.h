// uHosts: the hosts engine. Address values, hosts lines, the hosts document and the merge pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "VornLibFilesystem.h"
#include "VornLibPool.h"

class TSorIntegerList;
class THostItem;
class THosts;

// ---------------------------------------------------------------------------------------------
// Address values

// Kind codes of an address value.
enum : uint16_t {
  KindEmpty = 0x0000,
  KindIPv4Any = 0x0002,       // 0.0.0.0 and the text "0"
  KindIPv4Loopback = 0x0003,  // 127.0.0.1 exactly
  KindIPv4Loopnet = 0x0004,   // any other 127.x.x.x
  KindIPv4Private = 0x0005,   // 10/8, 172.16/12, 192.168/16
  KindIPv4Broadcast = 0x0007, // 255.255.255.255
  KindIPv4Other = 0x003F,
  KindIPv6Unspecified = 0x0041, // ::
  KindIPv6Loopback = 0x0043,    // ::1
  KindIPv6UniqueLocal = 0x0045, // fc00::/7
  KindIPv6LinkLocal = 0x0046,   // fe80::/10
  KindIPv6Multicast = 0x0047,   // ff00::/8
  KindIPv6Other = 0x007F,
  KindTextOnly = 0x8000,
  KindFamilyIPv6 = 0x0040,
};

using TIPv6Groups = std::array<uint16_t, 8>;
// The numeric value of an address: none (empty, text-only), a 32-bit IPv4 number with the first
// octet in the most significant byte, or eight IPv6 groups in text order.
using THostsIPValue = std::variant<std::monostate, uint32_t, TIPv6Groups>;

// An address as read from a hosts file: its text (trimmed, never rewritten), its kind and the
// value that decides equality.
class THostsIP : public TPooled<THostsIP> {
public:
  THostsIP() = default;
  ~THostsIP() { Clear(); }
  THostsIP(const THostsIP&) = delete;
  THostsIP& operator=(const THostsIP&) = delete;

  void Clear();
  // Reads an address text. On success the whole content is replaced; on failure nothing changes.
  // With AllowTextOnly, a text that is no address becomes a text-only value.
  bool Parse(std::string_view text, bool AllowTextOnly);
  // Copies source (text, kind, value). False, and nothing changed, for none, empty, text-only.
  bool Assign(const THostsIP* source);
  bool SameAddress(const THostsIP* other) const;

  bool IsEmpty() const { return FKind == KindEmpty; }
  bool IsTextOnly() const { return (FKind & KindTextOnly) != 0; }
  bool IsIPv6() const { return (FKind & KindFamilyIPv6) != 0; }
  // The readers of hosts files (inet_pton) read the text as this same address (family and
  // value); only such lines take part in the merge.
  bool ResolverReadsAlike() const { return FResolverAlike; }

  const std::string& Text() const { return FText; }
  uint16_t Kind() const { return FKind; }
  const THostsIPValue& Value() const { return FValue; }
  // A hash consistent with SameAddress: equal addresses hash equal.
  size_t Hash() const;

private:
  std::string FText;
  uint16_t FKind = KindEmpty;
  bool FResolverAlike = false;
  THostsIPValue FValue;
};

// True exactly when Parse(text, false) accepts the text.
bool IsAddressText(std::string_view text);
bool ParseIPv4(std::u16string_view text, uint32_t& number);
bool ParseIPv6(std::u16string_view text, TIPv6Groups& groups);
// Appends the hexadecimal groups of one side of "::" to the list. False when malformed.
bool ParseIPv6Groups(std::u16string_view part, TSorIntegerList& list);

// An address text as the readers of hosts files read it (inet_pton; the C library is not asked).
// IPv4: four decimal numbers of 0 to 255 joined by dots, no leading zero ("0", "127.1",
// "010.0.0.1" and "0x7f.0.0.1" are no address). IPv6: eight groups of one to four hexadecimal
// digits, or fewer and one "::" standing for at least one zero group, the last two groups possibly
// a dotted quad as IPv4.
bool ResolverParseIPv4(std::string_view text, uint32_t& number);
bool ResolverParseIPv6(std::string_view text, TIPv6Groups& groups);
// IPv6 when the text reads so, else IPv4, else none.
THostsIPValue ResolverReadAddress(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Hosts line

// How a text is cut into lines, and a line into fields.
enum class TLineRules : uint8_t {
  // A line ends at CR LF, a lone CR or a lone LF; the blanks between fields are spaces and tabs.
  Windows,
  // As glibc reads a hosts file: a line ends at LF (a CR right before it belongs to the line
  // end); a lone CR, a form feed and a vertical tab are blanks, like spaces and tabs.
  Glibc,
};

// The line that holds a name. Names are made by the million and moved between lines in the merge
// pass, so a name keeps no pointer of its own: it keeps the distance to its line (or to the
// header of its line's name array, which knows the line), found again from where it is stored.
class TNameOwner {
public:
  operator THostItem*() const { return Get(); }
  THostItem* operator->() const { return Get(); }
  friend bool operator==(const TNameOwner& owner, const THostItem* line) {
    return owner.Get() == line;
  }
  friend bool operator==(const TNameOwner& owner, THostItem* line) { return owner.Get() == line; }
  friend bool operator==(const TNameOwner& owner, std::nullptr_t) { return owner.FDelta == 0; }

private:
  friend class THostItem;
  friend class THostName;
  THostItem* Get() const;
  // Points at the line itself, or (indirect) at a place that holds the line's address.
  void Set(const void* target, bool indirect);
  void Clear() { FDelta = 0; }
  int32_t FDelta = 0; // 0: none; bit 0: indirect
};

// One host name on a line: a small record by value in its line's list. Its text is stored once,
// in 8 bits where every character allows it (nearly every real name), otherwise in UTF-16: in
// the arena of the line's document, or owned by the name itself when it has no document.
class THostName {
public:
  static constexpr uint8_t Localhost = 0x02; // a kept "localhost" name (never written)
  static constexpr uint8_t Repeated = 0x04;  // the name again under the same address, to go
  static constexpr uint8_t Malformed = 0xFF; // the name held a forbidden character

  THostName() = default;
  ~THostName() { FreeText(); }
  // The text goes along (the moved-from name is left empty); the owner does not.
  THostName(THostName&& other) noexcept;
  THostName(const THostName&) = delete;
  THostName& operator=(const THostName&) = delete;
  THostName& operator=(THostName&&) = delete;

  // The name's text as UTF-16.
  std::u16string Name() const;
  // Gives the name text of its own.
  void SetName(std::u16string_view name);

  size_t Length() const {
    const size_t length = FLength16 | (static_cast<size_t>(FBits >> 2) << 16);
    return length < LongLength ? length : StoredLength();
  }
  bool IsWide() const { return (FBits & WideBit) != 0; }
  // The text one byte a character (Latin-1); only when not IsWide().
  std::string_view Text8() const {
    return std::string_view(static_cast<const char*>(FText), Length());
  }
  // The text in UTF-16; only when IsWide().
  std::u16string_view Text16() const {
    return std::u16string_view(static_cast<const char16_t*>(FText), Length());
  }

private:
  friend class THostItem;
  friend class THosts;
  static constexpr uint8_t WideBit = 0x01;
  static constexpr uint8_t OwnedBit = 0x02;
  static constexpr size_t LongLength = (size_t{1} << 22) - 1; // and over: length stored with text

  // The length of a long text, stored in the size_t right before it.
  size_t StoredLength() const;
  // Takes text that outlives the name (a document's arena); a long text has its length stored
  // in the size_t right before it.
  void SetText(const void* text, size_t length, bool wide);
  // Copies the text into storage of the name's own.
  template <typename CharT> void OwnText(const CharT* text, size_t length);
  void FreeText();

  const void* FText = nullptr;

public:
  // The line that currently holds the name; none while it is between lines.
  TNameOwner Owner;
  // 0 for an ordinary name; only a name whose Flags are 0 is ever written back.
  uint8_t Flags = 0;

private:
  uint8_t FBits = 0;      // WideBit, OwnedBit, and bits 2-7: bits 16-21 of the length
  uint16_t FLength16 = 0; // bits 0-15 of the length
};

// One line of a hosts file: an optional address, host names, a comment and kind flags.
class THostItem {
public:
  static constexpr uint16_t CommentText = 0x02; // Comment is not empty
  static constexpr uint16_t Commented = 0x08;   // the line's first character is '#'
  static constexpr uint16_t Entry = 0x10;       // the line has at least one name
  static constexpr uint16_t Invalid = 0x80;     // neither entry, comment nor blank (set alone)

  explicit THostItem(THosts* owner) noexcept;
  ~THostItem();
  // A line made here comes from a pool of lines; the lines a document reads and makes itself sit
  // in the document's own slabs, and go back there.
  static void* operator new(size_t size);
  static void operator delete(THostItem* line, std::destroying_delete_t);
  THostItem(const THostItem&) = delete;
  THostItem& operator=(const THostItem&) = delete;

  int NameCount() const;
  // None when the index is out of range.
  THostName* GetName(int index) const;
  // Takes the name out of the line (with its text) without destroying it; none when out of range.
  std::unique_ptr<THostName> ExtractName(int index);
  // Appends the name (the line takes it over) and sets Entry; returns its index.
  int AddName(std::unique_ptr<THostName> name);
  void ClearNames();
  // Takes away every name whose Flags are flags, in one pass, the others keeping their order; a
  // line left without names is no entry any more. Returns how many went.
  int RemoveNames(uint8_t flags);
  // Moves the first count names to the end of target, in order: the same as count times
  // target.AddName(ExtractName(0)), in one step.
  void TransferNames(int count, THostItem& target);
  // Copies the address into the line's own value (created empty first when absent).
  bool SetAddress(const THostsIP* address);
  void SetComment(std::u16string_view text);

  bool HasComment() const { return (FFlags & CommentText) != 0; }
  bool IsCommented() const { return (FFlags & Commented) != 0; }
  bool IsEntry() const { return (FFlags & Entry) != 0; }
  bool IsBlank() const { return (FFlags & 0xF8) == 0; }
  bool IsInvalid() const;

  // Scans one line of text into this line (single pass: address, names, comment).
  void ParseLine(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost);

  // The line's address; none when absent. Lines of one document that read the same address text
  // share one value (it never changes once read); SetAddress gives a line a value of its own.
  const THostsIP* Address() const;
  std::u16string_view Comment() const;
  uint16_t Flags() const { return FFlags; }
  THosts* Owner() const; // none for a line made without a document

private:
  friend class THosts;
  struct TExtra;      // what few lines have: an address value of their own, a comment
  struct TExtraTable; // the extras of the lines of one document
  struct TNameArray;  // the names of a line that holds more than one, behind a small header

  struct TScanRules; // what the scanner takes for a blank, a '#', a forbidden character

  // The scan of a document's load, under its line rules: over a line of one-byte characters
  // (ASCII as read from the file), or of UTF-16.
  void ParseLine8(std::string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                  TLineRules rules);
  void ParseLine16(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                   TLineRules rules);
  template <typename CharT>
  void Scan(std::basic_string_view<CharT> text, bool& FoundLocalhost, bool KeepLocalhost,
            const TScanRules& rules);
  // The scan's steps: the address (where the names start, npos when the line ends there) and
  // the names with the comment after them.
  template <typename CharT>
  size_t ScanAddress(std::basic_string_view<CharT> text, const TScanRules& rules);
  template <typename CharT>
  void ScanNames(std::basic_string_view<CharT> text, size_t pos, bool& FoundLocalhost,
                 bool KeepLocalhost, const TScanRules& rules);
  template <typename CharT> void SetCommentOf(std::basic_string_view<CharT> comment);
  template <typename CharT> void StoreName(THostName& name, const CharT* text, size_t length);
  // Stores the comment text without touching the flags.
  void SetCommentText(std::u16string_view text);
  // Takes the address of another line: its value where that is shared, else a copy.
  void ShareAddress(const THostItem& line);
  // The extras live beside the lines, in a table of the document (or one for the lines without
  // a document), so that the many lines without them do not pay for them.
  TExtraTable& Extras() const;
  const TExtra* Extra() const;
  TExtra& MakeExtra();
  void DropExtra();
  const THostsIP* OwnAddress() const;

  THostName* NameData() const;
  // Room for count names in all without moving them again.
  void ReserveNames(size_t count);
  // A new empty name at the end (its owner set).
  THostName& AppendName();
  // Moves count names from index from on to the end of target; the places they leave stay as
  // empty names until EraseFrontNames or KeepFrontNames takes them away.
  void MoveNamesTo(size_t from, size_t count, THostItem& target);
  void EraseFrontNames(size_t count);
  // Takes away every name from the index count on.
  void KeepFrontNames(size_t count);
  void EraseName(size_t index);
  // Whether the line lacks room for count names in all.
  bool NeedsRoomFor(size_t count) const;
  // The bytes of room for count names at a place of their own.
  static size_t NamesBytes(size_t count);
  // Room for count names at the given place (in a block the document keeps), unless the line
  // has it.
  void ReserveNamesAt(void* place, size_t count);
  // Takes over everything the other line holds (address, names, comment, flags), leaving it empty.
  void TakeOver(THostItem& other) noexcept;

  union {
    THostName FOne;    // FNameMode OneName: the line's only name, in place
    TNameArray* FMany; // FNameMode ManyNames
  };
  // The number of the line's address among its document's shared values, from 1; 0 for none or
  // when the line has a value of its own (FOwnAddress, kept in its extra).
  uint32_t FAddress = 0;
  uint16_t FOwner;    // the number of the line's document (THosts::FNumber), 0 for none
  uint8_t FFlags = 0; // every flag fits in a byte
  enum : uint8_t { NoName, OneName, ManyNames };
  uint8_t FNameMode : 2 = NoName;
  uint8_t FInSlab : 1 = 0;     // the line sits in its document's slabs
  uint8_t FHasExtra : 1 = 0;   // the extras table holds an entry for the line
  uint8_t FOwnAddress : 1 = 0; // the address is the value in the line's extra
};

// ---------------------------------------------------------------------------------------------
// Hosts document

enum SaveEncoding : uint8_t {
  EncodingAuto = 0,    // the code page the text was read in (the system's), no byte-order mark
  EncodingAnsi = 1,    // US-ASCII (code page 20127), no byte-order mark
  EncodingUtf8 = 2,    // EF BB BF, UTF-8
  EncodingUtf16LE = 3, // FF FE, UTF-16 little-endian (every value above 3 too)
};

struct THostsLoadOptions {
  bool KeepLocalhost = false;
  bool DropComments = false;
  bool DropCommentedEntries = false;
  bool DropBlankLines = true;
  TLineRules LineRules = TLineRules::Windows;
};

// How lines end.
enum class TLineBreak : uint8_t { None, CrLf, Lf, Cr };

struct THostsSaveOptions {
  bool IncludeLocalhost = true;
  bool LiftAttributes = false;
  TLineBreak LineBreak = TLineBreak::CrLf; // CrLf unless Lf or Cr
};

// What the last load found in the bytes.
struct THostsLoadInfo {
  // The byte-order mark's encoding: EncodingUtf8, EncodingUtf16LE (also for a big-endian mark,
  // then BigEndian), or EncodingAuto when there was none.
  SaveEncoding Mark = EncodingAuto;
  bool BigEndian = false;
  // Without a mark: every byte was ASCII; the bytes were well-formed UTF-8.
  bool Ascii = true;
  bool ValidUtf8 = true;
  // The first line break of the text; None when the text has none.
  TLineBreak FirstBreak = TLineBreak::None;
  // The text ended at a NUL with bytes other than NUL after it, on this line (from 1).
  bool TextWasCut = false;
  size_t CutLine = 0;
  // How many "localhost" names the lines held (left out unless KeepLocalhost).
  size_t LocalhostNames = 0;
  // The size of what was read, in bytes.
  size_t Bytes = 0;
  // How many lines the text held, kept or not.
  size_t Lines = 0;
  // TLineRules::Glibc: the CRs inside lines (not before a LF), read as blanks.
  size_t LoneCRs = 0;
};

// What a save wrote.
struct THostsSaveInfo {
  size_t Lines = 0;       // the header lines included
  size_t NoAsciiForm = 0; // EncodingAnsi: characters with no ASCII form, each written as "?"
};

// The byte-order mark at the start of a text: its encoding (EncodingUtf8, EncodingUtf16LE for
// either byte order, or EncodingAuto when there is none) and its length in bytes.
struct TByteOrderMark {
  SaveEncoding Encoding = EncodingAuto;
  bool BigEndian = false;
  uint8_t Length = 0;
};
TByteOrderMark ReadByteOrderMark(std::string_view bytes);
// False when a text without a mark was not UTF-8: then it was read (and is written back with
// EncodingAuto) in the system code page's other reading, Latin-1 on POSIX.
bool ReadAsUtf8(const THostsLoadInfo& info);

// One line as a load read it, for a caller that follows the load (THosts::WatchLoad).
struct THostsReadLine {
  size_t Number = 0;               // from 1, within the text of this load
  std::string_view Text8;          // the line as read, when it is ASCII ...
  std::u16string_view Text16;      // ... or else decoded
  const THostItem* Line = nullptr; // the line as scanned
  bool Kept = false;               // the document kept it: it is now the document's last line
  size_t LocalhostNames = 0;       // "localhost" names the line held
};
using THostsLoadWatcher = std::function<void(const THostsReadLine&)>;

// The lines of a document in order. A document's lines are made in its slabs in the order they
// are read, and the merge pass moves the lines it keeps into a slab in the order it keeps them, so
// the list holds runs of lines that sit one after another in memory: a million lines are a handful
// of runs rather than a million pointers. The list owns its lines.
class THostsLineList {
public:
  THostsLineList() = default;
  THostsLineList(const THostsLineList&) = delete;
  THostsLineList& operator=(const THostsLineList&) = delete;
  ~THostsLineList() { Clear(); }

  size_t Size() const { return FCount; }

  THostItem* Get(size_t index) const {
    const TRun& run = FRuns[Find(index)];
    return run.At(index - run.Start);
  }

  // Every line in order.
  template <typename Visit> void ForEach(Visit&& visit) const {
    for (const TRun& run : FRuns)
      for (size_t k = 0; k < run.Count; ++k)
        visit(*run.At(k));
  }

  // Room for runs more runs: what is added within it takes no memory.
  void ReserveRuns(size_t runs) { FRuns.reserve(FRuns.size() + runs); }

  // Appends the line; on failure it stays with the caller.
  void Append(std::unique_ptr<THostItem>& line) {
    if (!FRuns.empty() && FRuns.back().End() == line.get()) {
      ++FRuns.back().Count;
    } else {
      FRuns.push_back(TRun{line.get(), 1, FCount});
    }
    line.release();
    ++FCount;
  }

  void Insert(size_t index, std::unique_ptr<THostItem>& line) {
    if (index >= FCount) {
      Append(line);
      return;
    }
    FRuns.reserve(FRuns.size() + 2); // nothing fails after this
    size_t r = Find(index);
    const size_t k = index - FRuns[r].Start;
    if (k > 0) {
      // The run is split before the place.
      TRun tail{FRuns[r].At(k), FRuns[r].Count - k, index};
      FRuns[r].Count = k;
      FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(++r), tail);
    }
    FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(r), TRun{line.release(), 1, index});
    ++FCount;
    for (size_t i = r + 1; i < FRuns.size(); ++i)
      ++FRuns[i].Start;
  }

  // Destroys the line at the place.
  void Erase(size_t index) {
    FRuns.reserve(FRuns.size() + 1); // nothing fails after this
    size_t r = Find(index);
    TRun& run = FRuns[r];
    const size_t k = index - run.Start;
    THostItem* line = run.At(k);
    if (run.Count == 1) {
      FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(r));
    } else if (k == 0) {
      run.First = run.At(1);
      --run.Count;
      ++r;
    } else if (k == run.Count - 1) {
      --run.Count;
      ++r;
    } else {
      TRun tail{run.At(k + 1), run.Count - k - 1, index + 1};
      run.Count = k;
      FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(++r), tail);
    }
    --FCount;
    for (size_t i = r; i < FRuns.size(); ++i)
      --FRuns[i].Start;
    delete line;
  }

  // Destroys every line.
  void Clear() {
    for (const TRun& run : FRuns)
      for (size_t k = 0; k < run.Count; ++k)
        delete run.At(k);
    Forget();
  }

  // Lets go of every line without destroying any (the caller has taken them all over).
  void Forget() {
    FRuns.clear();
    FCount = 0;
  }

  void Swap(THostsLineList& other) noexcept {
    FRuns.swap(other.FRuns);
    std::swap(FCount, other.FCount);
    std::swap(FHint, other.FHint);
  }

private:
  struct TRun {
    THostItem* First;
    size_t Count;
    size_t Start; // the place of its first line in the list
    THostItem* At(size_t k) const {
      return reinterpret_cast<THostItem*>(reinterpret_cast<char*>(First) + k * sizeof(THostItem));
    }
    const THostItem* End() const { return At(Count); }
  };

  // The run that holds the place: most callers go along the list, so the run found last, or the
  // one after it, is looked at first.
  size_t Find(size_t index) const {
    const auto holds = [&](size_t r) {
      return r < FRuns.size() && index >= FRuns[r].Start && index - FRuns[r].Start < FRuns[r].Count;
    };
    if (holds(FHint))
      return FHint;
    if (holds(FHint + 1))
      return ++FHint;
    return Search(index);
  }
  // The run that holds the place, by a binary search.
  size_t Search(size_t index) const;

  std::vector<TRun> FRuns;
  size_t FCount = 0;
  mutable size_t FHint = 0;
};

// The in-memory hosts file: an ordered, owning list of lines.
class THosts {
public:
  THosts();
  ~THosts();
  THosts(const THosts&) = delete;
  THosts& operator=(const THosts&) = delete;

  int Count() const { return static_cast<int>(FLines.Size()); }
  THostItem* Items(int index) const {
    return index < 0 || index >= Count() ? nullptr : FLines.Get(static_cast<size_t>(index));
  }
  bool Delete(int index);
  // Puts the line before the one at index (at the end past the last); false, and the line
  // destroyed, when it was made for another document or none.
  bool Insert(int index, std::unique_ptr<THostItem> line);

  THostsLoadOptions& LoadOptions() { return FLoadOptions; }
  THostsSaveOptions& SaveOptions() { return FSaveOptions; }
  const THostsSaveOptions& SaveOptions() const { return FSaveOptions; }

  // Appends the kept lines of the file; -1 when the file is missing or cannot be read.
  // An open or read failure of the platform passes as std::system_error.
  int LoadFromFile(std::u16string_view fileName);
  // LoadFromBytes over a block the document may use up: its memory goes back to the system as
  // its lines are read.
  int LoadFromBuffer(TLargeBuffer bytes);
  // True when the file was written (SaveInfo then tells what). A write failure of the platform
  // passes as std::system_error.
  bool SaveToFile(std::u16string_view fileName, SaveEncoding encoding);
  // The same, with why it was not written; with a guard taken before the load, nothing is
  // written when another writer changed the file since.
  TSaveResult SaveToFileGuarded(std::u16string_view fileName, SaveEncoding encoding,
                                TFileGuard* guard);

  // The file format without the file: decodes the bytes (byte-order mark, lines, NUL) and
  // appends the kept lines; returns how many.
  int LoadFromBytes(std::string_view bytes);
  // The bytes SaveToFile writes: byte-order mark (and an empty line after it), header lines, every
  // line ended by the line break of the save options.
  std::string SaveToBytes(SaveEncoding encoding) const;
  // The same bytes handed to the sink in pieces of about a megabyte; returns what it wrote.
  THostsSaveInfo SaveToSink(SaveEncoding encoding, const TByteSink& sink) const;

  // True when the last load's text ended at a NUL with bytes other than NUL after it.
  bool TextWasCut() const { return FLoadInfo.TextWasCut; }
  const THostsLoadInfo& LoadInfo() const { return FLoadInfo; }
  // What the last SaveToFile wrote.
  const THostsSaveInfo& SaveInfo() const { return FSaveInfo; }
  // The watcher sees every line the loads after this read, kept or not; none stops watching.
  // Without one, a load does nothing more than read.
  void WatchLoad(THostsLoadWatcher watcher);

  // The merge pass: only entries remain, names of one address gathered, nine to a line.
  void Optimize();

  // The address value of an address token (a numeric address), shared by every line of this
  // document that reads the same text; none when the token is no numeric address.
  const THostsIP* SharedAddress(std::string_view token);
  // The same value by its number among the shared values, from 1; 0 for none.
  uint32_t SharedAddressNumber(std::string_view token);
  // How many address values of each family (IPv4, IPv6) the lines of this document were ever
  // given: distinct texts read, and values of a line's own. At least as many as its lines hold.
  const std::array<size_t, 2>& AddressValuesMade() const { return FAddressValuesMade; }

private:
  friend class THostItem;
  struct TAddressTable;
  struct TTextArena;
  struct TLineSlabs;
  using TLineList = THostsLineList;
  class TMergePass;
  struct TWatch;
  int LoadText(std::string_view bytes);
  // The text after its byte-order mark: UTF-16 in either byte order, or 8-bit (UTF-8 when utf8,
  // else the system code page).
  int LoadUtf16Text(std::string_view body, bool bigEndian);
  int LoadByteText(std::string_view body, bool utf8);
  // Reads one line of text into a new line and keeps it or lets it go, by the load options.
  template <typename CharT> bool TakeLine(std::basic_string_view<CharT> text);
  // The line scanned, and whether the load options keep it.
  template <typename CharT>
  std::unique_ptr<THostItem> ReadLine(std::basic_string_view<CharT> text, bool& keep);
  // TakeLine for a watched load: the text is copied before the scan may write names over it.
  template <typename CharT> bool TakeWatchedLine(std::basic_string_view<CharT> text);
  // A new empty line of this document, in its slabs.
  std::unique_ptr<THostItem> NewLine();
  // The line moved into the newest slab (a line made elsewhere stays where it is), so that the
  // slab it sat in can go back to the system once its other lines are gone.
  std::unique_ptr<THostItem> MoveToNewestSlab(std::unique_ptr<THostItem> line);

  std::unique_ptr<TAddressTable> FAddresses;       // outlives the lines that share its values
  std::unique_ptr<TTextArena> FText;               // the names' text; outlives the lines too
  std::unique_ptr<TWatch> FWatch;                  // none unless a caller follows the load
  std::unique_ptr<THostItem::TExtraTable> FExtras; // the extras of the few lines that have any
  std::unique_ptr<TLineSlabs> FSlabs;              // where the lines sit; outlives them
  TLineList FLines;
  THostsLoadOptions FLoadOptions;
  THostsSaveOptions FSaveOptions;
  THostsLoadInfo FLoadInfo;
  THostsSaveInfo FSaveInfo;
  std::array<size_t, 2> FAddressValuesMade{};
  std::vector<const THostsIP*> FSharedAddresses; // by number less one; the table owns them
  // The document's number among the live documents, from 1: a line keeps the number, two bytes,
  // rather than a pointer. Numbers of documents gone serve new ones.
  uint16_t FNumber = 0;
  static inline std::vector<THosts*> FLive; // by number less one
};

// A header and then Capacity names. Small arrays come from pools of their exact size.
struct alignas(alignof(THostName)) THostItem::TNameArray {
  THostItem* Owner;
  uint32_t Count;
  uint32_t Capacity : 31;
  uint32_t Borrowed : 1; // in a block the document keeps: never freed on its own

  THostName* Names() { return reinterpret_cast<THostName*>(this + 1); }

  static size_t Bytes(size_t capacity) { return sizeof(TNameArray) + capacity * sizeof(THostName); }
  static TNameArray* Make(THostItem* owner, size_t capacity);
  static TNameArray* MakeAt(void* place, THostItem* owner, size_t capacity);
  static void Free(TNameArray* array);
  static TBlockPool& Pool(size_t capacity); // of arrays of this many names
};

inline THostName* THostItem::NameData() const {
  if (FNameMode == ManyNames)
    return FMany->Names();
  return FNameMode == OneName ? const_cast<THostName*>(&FOne) : nullptr;
}

inline THostName* THostItem::GetName(int index) const {
  if (index < 0 || index >= NameCount())
    return nullptr;
  return NameData() + index;
}

inline int THostItem::NameCount() const {
  if (FNameMode == ManyNames)
    return static_cast<int>(FMany->Count);
  return FNameMode == OneName ? 1 : 0;
}

inline THosts* THostItem::Owner() const {
  return FOwner ? THosts::FLive[FOwner - 1] : nullptr;
}

inline const THostsIP* THostItem::Address() const {
  if (FAddress)
    return THosts::FLive[FOwner - 1]->FSharedAddresses[FAddress - 1];
  return FOwnAddress ? OwnAddress() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Merging entries by address

// For one address met by the merge pass: the line that currently receives its names.
struct TIPTrackerItem {
  const THostsIP* Address = nullptr; // not owned
  THostItem* OpenLine = nullptr;     // not owned
};

// Every distinct address met so far, in the order first met.
class TIPTracker {
public:
  TIPTracker();
  ~TIPTracker();
  TIPTracker(const TIPTracker&) = delete;
  TIPTracker& operator=(const TIPTracker&) = delete;

  // The item of this address, or a new one appended for it; none for none.
  TIPTrackerItem* FindOrAdd(const THostsIP* address);
  // Index of the first item whose address is the same address; -1 when none.
  int IndexOf(const THostsIP* address) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  TIPTrackerItem* Items(int index) const;

private:
  struct TIndex;
  std::vector<std::unique_ptr<TIPTrackerItem>> FItems;
  std::unique_ptr<TIndex> FIndex; // address -> first item, beside the ordered list
};
