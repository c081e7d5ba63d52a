// uHosts: the hosts engine. Address values, hosts lines, the hosts document and the merge pass.
//
// Words: a line or a name is kept when it stays in the document (the loads and the merge pass keep
// lines or let them go). A holder gives what it owns to another (room for names to a line, pages
// back to the system), which takes it and owns it from then on (a line takes over what another
// held, the text arena takes a block, the merge pass takes a slab that emptied).
//
// What a caller may hold, and until when:
// - a THostItem* from Items(), until the line is deleted or the document goes, and never across
//   Optimize: the merge pass moves every line it keeps to another place, also one it leaves as it
//   is. After Optimize, take the lines again from Items(). Loads and Insert move no line.
// - a THostName* from GetName(), until its line changes its names (adds, removes, moves them,
//   ParseLine) and never across Optimize.
// - a line made for a document (new THostItem(&document)) and not given to it: until the document
//   goes. After that it may only be destroyed; no document accepts it.
// The sanitizer build (AddressSanitizer) reports a use of a line or name after any of these.
//
// Threads: a document, its lines and names are used by one thread at a time while anything
// changes them. Any number of threads may read one document at once (its const operations, and
// those of its lines and names) while none changes it. Documents on different threads are
// independent: what they share (the numbers of the live documents, the pools of address values,
// of lines made by callers and of name arrays, the extras of lines without a document) takes a
// lock, or is written only while the document it belongs to is made and destroyed.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "VornLibFilesystem.h"
#include "VornLibPool.h"
#include "uHosts_AddressText.h"
#include "uHosts_Format.h"
#include "uHosts_NameOwner.h"
#include "uHosts_RunList.h"

class THostItem;
class THosts;
// The memory machinery behind the document, each in a file of its own (uHosts_*.h).
class TLineSlabs;
class TTextArena;
class TExtraTable;
struct TExtra;

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

// ---------------------------------------------------------------------------------------------
// Hosts line

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
  // Points at text that outlives the name (a document's arena); a long text has its length stored
  // in the size_t right before it.
  void SetText(const void* text, size_t length, bool wide);
  // Copies the text into storage of the name's own.
  template <typename CharT> void OwnText(const CharT* text, size_t length);
  void FreeText();

  const void* FText = nullptr;

public:
  // The line that currently holds the name; none while it is between lines (uHosts_NameOwner.h).
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

  // A line for the document (its names' text and its address are stored there), or for none.
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
  // Removes every name whose Flags are flags, in one pass, the others staying in order; a
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
  friend class TNameRoom;
  struct TNameArray; // the names of a line that holds more than one, behind a small header
  struct TNames;     // the steps that add, move and remove a line's names
  struct TScanner;   // the single-pass scanner of ParseLine (uHosts_Line.cpp)
  struct TInSlab {};
  // A line of the document in its slabs (THosts::NewLine).
  THostItem(THosts* owner, TInSlab) noexcept;

  // The scan of a document's load, under its line rules: over a line of one-byte characters
  // (ASCII as read from the file), or of UTF-16.
  void ParseLine8(std::string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                  TLineRules rules);
  void ParseLine16(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                   TLineRules rules);
  // Stores the comment text without touching the flags.
  void SetCommentText(std::u16string_view text);
  // Gets the address of another line: its value where that is shared, else a copy.
  void ShareAddress(const THostItem& line);
  // The extras live beside the lines, in a table of the document (or one for the lines without
  // a document), so that the many lines without them do not pay for them (uHosts_Extras.h).
  // None for a line whose document has gone.
  TExtraTable* Extras() const;
  const TExtra* Extra() const;
  TExtra& MakeExtra();
  void DropExtra();
  const THostsIP* OwnAddress() const;

  // The line's names in order (none when it has none); their storage and the steps that move
  // them: uHosts_Names.h.
  THostName* NameData() const;
  // Takes over everything the other line holds (address, names, comment, flags), leaving it empty.
  void TakeOver(THostItem& other) noexcept;

  union {
    THostName FOne;    // FNameMode OneName: the line's only name, in place
    TNameArray* FMany; // FNameMode ManyNames
  };
  // The number of the line's address among its document's shared values, from 1; 0 for none or
  // when the line has a value of its own (FOwnAddress, held in its extra).
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
// Hosts document (the records of the file format it reads and writes: uHosts_Format.h)

// The in-memory hosts file: an ordered, owning list of lines. (What a caller may hold of it, and
// how threads share it: at the top of this file.)
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
  // destroyed, when it was made for another document, for a document gone, or for none.
  bool Insert(int index, std::unique_ptr<THostItem> line);

  THostsLoadOptions& LoadOptions() { return FLoadOptions; }
  THostsSaveOptions& SaveOptions() { return FSaveOptions; }
  const THostsSaveOptions& SaveOptions() const { return FSaveOptions; }

  // Appends the kept lines of the file; -1 when the file is missing or cannot be read.
  // An open or read failure of the platform passes as std::system_error. A load that fails (the
  // platform, memory, a watcher that raised) leaves the document as it was and passes the error.
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
  // Without one, a load does nothing more than read. While it runs, a watcher may read the
  // document and its lines, change lines, and call WatchLoad, which takes effect from the next
  // line on; what would add, remove or move lines is refused meanwhile (Insert and Delete answer
  // false, Optimize does nothing, a load appends nothing and answers 0).
  void WatchLoad(THostsLoadWatcher watcher);

  // The merge pass: only entries remain, names of one address gathered, nine to a line. It moves
  // the lines it keeps: pointers to lines and names taken before are invalid after. When memory
  // runs out it raises std::bad_alloc before anything is changed, and gives back all it took.
  void Optimize();

  // How many address values of each family (IPv4, IPv6) the lines of this document were ever
  // given: distinct texts read, and values of a line's own. At least as many as its lines hold.
  const std::array<size_t, 2>& AddressValuesMade() const { return FAddressValuesMade; }

private:
  friend class THostItem;
  struct TAddressTable;
  struct TLoad; // one load of a text: cut into lines, each scanned and kept or let go
  struct TWatch;
  class TMergePass;
  // At most as many lines as the int counts of the public operations can tell.
  using TLineList = TRunList<THostItem, INT_MAX>;
  // A watcher runs: the document's lines stay as they are.
  bool Watching() const;
  // A load of the bytes (in the block, when the document may use it up); the document stays as
  // it was when the load fails.
  int Load(std::string_view bytes, TLargeBuffer* block);
  // The number of the address value of an address token (a numeric address) among the values
  // shared by every line of this document that reads the same text, from 1; 0 for none.
  uint32_t SharedAddressNumber(std::string_view token);
  // A new empty line of this document, in its slabs.
  std::unique_ptr<THostItem> NewLine();
  // The line moved into the newest slab (a line made elsewhere stays where it is), so that the
  // slab it sat in can go back to the system once its other lines are gone.
  std::unique_ptr<THostItem> MoveToNewestSlab(std::unique_ptr<THostItem> line);

  std::unique_ptr<TAddressTable> FAddresses; // outlives the lines that share its values
  std::unique_ptr<TTextArena> FText;         // the names' text; outlives the lines too
  std::unique_ptr<TWatch> FWatch;            // none unless a caller follows the load
  std::unique_ptr<TExtraTable> FExtras;      // the extras of the few lines that have any
  std::unique_ptr<TLineSlabs> FSlabs;        // where the lines sit; outlives them
  TLineList FLines;
  THostsLoadOptions FLoadOptions;
  THostsSaveOptions FSaveOptions;
  THostsLoadInfo FLoadInfo;
  THostsSaveInfo FSaveInfo;
  std::array<size_t, 2> FAddressValuesMade{};
  std::vector<const THostsIP*> FSharedAddresses; // by number less one; the table owns them
  // The document's number among the live documents, from 1: a line holds the number, two bytes,
  // rather than a pointer. A number serves another document only when no line made for this one
  // is left: the lines made by callers and not (yet) given to it are counted.
  uint16_t FNumber = 0;
  size_t FLooseLines = 0;
  // The live documents by number less one. Numbers are taken and given back under a lock; the
  // entry of a live document does not change, so a line finds its document without one.
  static constexpr size_t MaxDocuments = 65535;
  static inline std::array<THosts*, MaxDocuments> FLive{};
  // A loose line goes; the number of a document gone waits for the last of them.
  static void LooseLineGone(uint16_t number);
};

#include "uHosts_Names.h"   // how a line holds its names: the inline reads
#include "uHosts_Tracker.h" // merging entries by address: the tracker of THosts::Optimize
