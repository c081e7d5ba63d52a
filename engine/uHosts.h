// uHosts: the hosts engine. Address values, hosts lines, the hosts document and the merge pass.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

  const std::string& Text() const { return FText; }
  uint16_t Kind() const { return FKind; }
  const THostsIPValue& Value() const { return FValue; }
  // A hash consistent with SameAddress: equal addresses hash equal.
  size_t Hash() const;

private:
  std::string FText;
  uint16_t FKind = KindEmpty;
  THostsIPValue FValue;
};

// True exactly when Parse(text, false) accepts the text.
bool IsAddressText(std::string_view text);
bool ParseIPv4(std::u16string_view text, uint32_t& number);
bool ParseIPv6(std::u16string_view text, TIPv6Groups& groups);
// Appends the hexadecimal groups of one side of "::" to the list. False when malformed.
bool ParseIPv6Groups(std::u16string_view part, TSorIntegerList& list);

// ---------------------------------------------------------------------------------------------
// Hosts line

// One host name on a line. Names are made by the million: a name up to InlineLength characters
// long is kept inside the object, only a longer one on the heap.
class THostName : public TPooled<THostName> {
public:
  static constexpr uint8_t Localhost = 0x02; // a kept "localhost" name (never written)
  static constexpr uint8_t Malformed = 0xFF; // the name held a forbidden character

  explicit THostName(THostItem* owner) : Owner(owner) {}
  THostName(const THostName&) = delete;
  THostName& operator=(const THostName&) = delete;

  std::u16string_view Name() const {
    return std::u16string_view(FHeapName ? FHeapName.get() : FInlineName, FLength);
  }
  void SetName(std::u16string_view name);

  // The line that currently holds the name; none while it is between lines.
  THostItem* Owner;

private:
  static constexpr size_t InlineLength = 21;
  std::unique_ptr<char16_t[]> FHeapName;
  uint32_t FLength = 0;

public:
  // 0 for an ordinary name; only a name whose Flags are 0 is ever written back.
  uint8_t Flags = 0;

private:
  char16_t FInlineName[InlineLength];
};

// One line of a hosts file: an optional address, host names, a comment and kind flags.
class THostItem : public TPooled<THostItem> {
public:
  static constexpr uint16_t CommentText = 0x02; // Comment is not empty
  static constexpr uint16_t Commented = 0x08;   // the line's first character is '#'
  static constexpr uint16_t Entry = 0x10;       // the line has at least one name
  static constexpr uint16_t Invalid = 0x80;     // neither entry, comment nor blank (set alone)

  explicit THostItem(THosts* owner) : FOwner(owner) {}
  ~THostItem();
  THostItem(const THostItem&) = delete;
  THostItem& operator=(const THostItem&) = delete;

  int NameCount() const { return static_cast<int>(FNames.size()); }
  // None when the index is out of range.
  THostName* GetName(int index) const;
  // Takes the name out of the line without destroying it; none when out of range.
  std::unique_ptr<THostName> ExtractName(int index);
  // Appends the name (the line takes it over) and sets Entry; returns its index.
  int AddName(std::unique_ptr<THostName> name);
  void ClearNames();
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
  const THostsIP* Address() const { return FAddress; }
  std::u16string_view Comment() const {
    return FComment ? std::u16string_view(*FComment) : std::u16string_view();
  }
  uint16_t Flags() const { return FFlags; }
  THosts* Owner() const { return FOwner; }

private:
  // Stores the comment text without touching the flags.
  void SetCommentText(std::u16string_view text);

  using TNameList =
      std::vector<std::unique_ptr<THostName>, TSmallArrayAllocator<std::unique_ptr<THostName>>>;

  const THostsIP* FAddress = nullptr;
  std::unique_ptr<THostsIP> FOwnAddress; // the value FAddress names when the line owns it
  TNameList FNames;
  std::unique_ptr<std::u16string> FComment; // none while the comment is empty
  uint16_t FFlags = 0;
  THosts* FOwner;
};

// ---------------------------------------------------------------------------------------------
// Hosts document

enum SaveEncoding : uint8_t {
  EncodingAuto = 0,    // the system code page, no byte-order mark
  EncodingAnsi = 1,    // US-ASCII (code page 20127), no byte-order mark
  EncodingUtf8 = 2,    // EF BB BF, UTF-8
  EncodingUtf16LE = 3, // FF FE, UTF-16 little-endian (every value above 3 too)
};

struct THostsLoadOptions {
  bool KeepLocalhost = false;
  bool DropComments = false;
  bool DropCommentedEntries = false;
  bool DropBlankLines = true;
};

struct THostsSaveOptions {
  bool IncludeLocalhost = true;
  bool LiftAttributes = false;
};

// The in-memory hosts file: an ordered, owning list of lines.
class THosts {
public:
  THosts();
  ~THosts();
  THosts(const THosts&) = delete;
  THosts& operator=(const THosts&) = delete;

  int Count() const { return static_cast<int>(FLines.size()); }
  THostItem* Items(int index) const;
  bool Delete(int index);
  void Insert(int index, std::unique_ptr<THostItem> line);

  THostsLoadOptions& LoadOptions() { return FLoadOptions; }
  THostsSaveOptions& SaveOptions() { return FSaveOptions; }

  // Appends the kept lines of the file; -1 when the file is missing or cannot be read.
  // An open or read failure of the platform passes as std::system_error.
  int LoadFromFile(std::u16string_view fileName);
  // True when the file was written. A write failure of the platform passes as std::system_error.
  bool SaveToFile(std::u16string_view fileName, SaveEncoding encoding);

  // The file format without the file: decodes the bytes (byte-order mark, lines, NUL) and
  // appends the kept lines; returns how many.
  int LoadFromBytes(std::string_view bytes);
  // The bytes SaveToFile writes: byte-order mark, header lines, every line ended by CR LF.
  std::string SaveToBytes(SaveEncoding encoding) const;

  // True when the last load's text ended at a NUL with more bytes after it.
  bool TextWasCut() const { return FTextWasCut; }

  // The merge pass: only entries remain, names of one address gathered, nine to a line.
  void Optimize();

  // The address value of an address token (a numeric address), shared by every line of this
  // document that reads the same text; none when the token is no numeric address.
  const THostsIP* SharedAddress(std::string_view token);

private:
  struct TAddressTable;
  std::unique_ptr<TAddressTable> FAddresses; // outlives the lines that share its values
  std::vector<std::unique_ptr<THostItem>> FLines;
  THostsLoadOptions FLoadOptions;
  THostsSaveOptions FSaveOptions;
  bool FTextWasCut = false;
};

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
