// uHosts: one line of a hosts file, its names, and the single-pass scanner that reads it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "VornLibMemory.h"
#include "uHosts.h"
#include "uHosts_Text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// What a character is to the scanner, looked up in one table for the first 256 characters.
constexpr uint8_t ClassSeparator = 1, ClassHash = 2, ClassForbidden = 4, ClassAddress = 8;
using TClasses = std::array<uint8_t, 256>;

constexpr TClasses MakeClasses(TLineRules rules) {
  TClasses classes{};
  classes['\t'] = classes[' '] = ClassSeparator;
  if (rules == TLineRules::Glibc) // isspace() in the C locale, less the LF that ends the line
    classes['\v'] = classes['\f'] = classes['\r'] = ClassSeparator;
  classes['#'] = ClassHash;
  for (const char c : {'*', '/', '=', '?', '\\'})
    classes[static_cast<unsigned char>(c)] = ClassForbidden;
  for (const char c : {'.', ':'})
    classes[static_cast<unsigned char>(c)] = ClassAddress;
  for (int c = '0'; c <= '9'; ++c)
    classes[c] = ClassAddress;
  for (int c = 'A'; c <= 'F'; ++c)
    classes[c] = classes[c + ('a' - 'A')] = ClassAddress;
  return classes;
}

} // namespace

struct THostItem::TScanRules {
  TClasses Classes;

  template <typename CharT> uint8_t ClassOf(CharT c) const {
    if constexpr (sizeof(CharT) == 1)
      return Classes[static_cast<unsigned char>(c)];
    else
      return c < 256 ? Classes[c] : 0;
  }
  template <typename CharT> bool IsSeparator(CharT c) const { return ClassOf(c) == ClassSeparator; }
  template <typename CharT> bool IsAddressChar(CharT c) const { return ClassOf(c) == ClassAddress; }
  template <typename CharT> bool IsForbiddenInName(CharT c) const {
    return ClassOf(c) == ClassForbidden;
  }
  template <typename CharT> bool EndsPlainRun(CharT c) const {
    return (ClassOf(c) & (ClassSeparator | ClassHash | ClassForbidden)) != 0;
  }

  // Where a run of plain name characters from pos ends: at the first separator, '#' or forbidden
  // character, or at the end. Sixteen characters at a time where the processor has SSE2.
  template <typename CharT>
  size_t PlainRunEnd(std::basic_string_view<CharT> text, size_t pos) const {
    const size_t len = text.size();
#if defined(__SSE2__)
    if constexpr (sizeof(CharT) == 1) {
      const auto is = [](__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
      while (pos + 16 <= len) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
        // VT, FF and CR (0x0B to 0x0D) stop the search too; the table says whether they end
        // the run.
        const __m128i control = _mm_sub_epi8(v, _mm_set1_epi8('\v'));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(is(v, ' '), is(v, '\t')),
                         _mm_or_si128(is(v, '#'), is(v, '*'))),
            _mm_or_si128(_mm_or_si128(_mm_or_si128(is(v, '/'), is(v, '=')),
                                      _mm_or_si128(is(v, '?'), is(v, '\\'))),
                         _mm_cmpeq_epi8(_mm_min_epu8(control, _mm_set1_epi8(2)), control)));
        if (const int mask = _mm_movemask_epi8(stop)) {
          const size_t at =
              pos + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask)));
          if (EndsPlainRun(text[at]))
            return at;
          pos = at + 1;
          continue;
        }
        pos += 16;
      }
    }
#endif
    while (pos < len && !EndsPlainRun(text[pos]))
      ++pos;
    return pos;
  }

  static const TScanRules& Of(TLineRules rules) {
    static constexpr TScanRules Windows{MakeClasses(TLineRules::Windows)};
    static constexpr TScanRules Glibc{MakeClasses(TLineRules::Glibc)};
    return rules == TLineRules::Glibc ? Glibc : Windows;
  }
};

namespace {

template <typename CharT> bool IsLocalhost(std::basic_string_view<CharT> name) {
  static constexpr char Localhost[] = "localhost";
  if (name.size() != sizeof(Localhost) - 1)
    return false;
  for (size_t i = 0; i < name.size(); ++i) {
    CharT c = name[i];
    if (c >= CharT('A') && c <= CharT('Z'))
      c = static_cast<CharT>(c + ('a' - 'A'));
    if (c != CharT(Localhost[i]))
      return false;
  }
  return true;
}

// The address token holds address characters only (all ASCII), so narrowing is a plain copy.
// Lines of a document share the value of an address text (shared: its number); a line without a
// document reads its own. False when the token is no numeric address.
template <typename CharT>
bool ReadAddressToken(std::basic_string_view<CharT> token, THosts* document, uint32_t& shared,
                      std::unique_ptr<THostsIP>& own) {
  char small[64];
  std::string large;
  std::string_view text;
  if constexpr (sizeof(CharT) == 1) {
    text = token;
  } else {
    char* bytes = small;
    if (token.size() > sizeof(small)) {
      large.resize(token.size());
      bytes = large.data();
    }
    for (size_t k = 0; k < token.size(); ++k)
      bytes[k] = static_cast<char>(token[k]);
    text = std::string_view(bytes, token.size());
  }
  if (document) {
    shared = document->SharedAddressNumber(text);
    return shared != 0;
  }
  auto address = std::make_unique<THostsIP>();
  if (!address->Parse(text, true) || address->IsEmpty() || address->IsTextOnly())
    return false;
  own = std::move(address);
  return true;
}

} // namespace

// A million one-name lines cost what these two sizes say: keep them.
static_assert(sizeof(THostName) <= 16, "a name is a 16-byte record");
static_assert(sizeof(THostItem) <= 24, "a line is 24 bytes");

// ---- Name owner ----

THostItem* TNameOwner::Get() const {
  if (FDelta == 0)
    return nullptr;
  const char* at = reinterpret_cast<const char*>(this) + (FDelta & ~int32_t{1});
  if ((FDelta & 1) != 0)
    return *reinterpret_cast<THostItem* const*>(at);
  return reinterpret_cast<THostItem*>(const_cast<char*>(at));
}

void TNameOwner::Set(const void* target, bool indirect) {
  // Names sit within their line's object or array, never further away than a line can hold.
  const std::ptrdiff_t delta =
      static_cast<const char*>(target) - reinterpret_cast<const char*>(this);
  FDelta = static_cast<int32_t>(delta) | (indirect ? 1 : 0);
}

// ---- Host name ----

THostName::THostName(THostName&& other) noexcept
    : FText(std::exchange(other.FText, nullptr)), Flags(other.Flags), FBits(other.FBits),
      FLength16(other.FLength16) {
  other.FBits = 0;
  other.FLength16 = 0;
}

size_t THostName::StoredLength() const {
  size_t stored;
  std::memcpy(&stored, static_cast<const char*>(FText) - sizeof(size_t), sizeof stored);
  return stored;
}

std::u16string THostName::Name() const {
  if (IsWide())
    return std::u16string(Text16());
  const std::string_view text = Text8();
  std::u16string name(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    name[i] = static_cast<unsigned char>(text[i]);
  return name;
}

void THostName::SetName(std::u16string_view name) {
  if (FitsInBytes(name)) {
    std::string narrow(name.size(), '\0');
    for (size_t i = 0; i < name.size(); ++i)
      narrow[i] = static_cast<char>(name[i]);
    OwnText(narrow.data(), narrow.size());
  } else {
    OwnText(name.data(), name.size());
  }
}

void THostName::SetText(const void* text, size_t length, bool wide) {
  FreeText();
  FText = text;
  const size_t stored = std::min(length, LongLength);
  FLength16 = static_cast<uint16_t>(stored & 0xFFFF);
  FBits = static_cast<uint8_t>(((stored >> 16) << 2) | (wide ? WideBit : 0));
}

template <typename CharT> void THostName::OwnText(const CharT* text, size_t length) {
  // The length goes in front of a long text.
  const size_t header = length >= LongLength ? sizeof(size_t) : 0;
  auto block = std::make_unique_for_overwrite<std::byte[]>(header + length * sizeof(CharT));
  if (header)
    std::memcpy(block.get(), &length, sizeof length);
  std::memcpy(block.get() + header, text, length * sizeof(CharT));
  SetText(block.release() + header, length, sizeof(CharT) == 2);
  FBits |= OwnedBit;
}

void THostName::FreeText() {
  if ((FBits & OwnedBit) != 0) {
    const size_t header = Length() >= LongLength ? sizeof(size_t) : 0;
    std::unique_ptr<std::byte[]>(const_cast<std::byte*>(static_cast<const std::byte*>(FText)) -
                                 header)
        .reset();
  }
  FText = nullptr;
  FBits = 0;
  FLength16 = 0;
}

// ---- The names of a line ----

namespace {

constexpr size_t PooledCapacity = 16;          // arrays of up to 16 names come from pools
constexpr size_t LargeBytes = size_t{1} << 20; // and more: a large block of its own

} // namespace

TBlockPool& THostItem::TNameArray::Pool(size_t capacity) {
  // One pool for each size, all made at the first call (by one thread, however many ask).
  static const auto pools = [] {
    std::array<std::unique_ptr<TBlockPool>, PooledCapacity + 1> made;
    for (size_t c = 1; c <= PooledCapacity; ++c)
      made[c] = std::make_unique<TBlockPool>(Bytes(c), alignof(TNameArray));
    return made;
  }();
  return *pools[capacity];
}

THostItem::TNameArray* THostItem::TNameArray::Make(THostItem* owner, size_t capacity) {
  // A name finds its line at most 2 GiB away.
  if (capacity > (size_t{1} << 26))
    throw std::length_error("a line of more than 67 million names");
  void* block;
  if (capacity <= PooledCapacity)
    block = Pool(capacity).Allocate();
  else if (Bytes(capacity) >= LargeBytes)
    block = AllocateLargeBlock(Bytes(capacity));
  else
    block = ::operator new(Bytes(capacity));
  return ::new (block) TNameArray{owner, 0, static_cast<uint32_t>(capacity), 0};
}

THostItem::TNameArray* THostItem::TNameArray::MakeAt(void* place, THostItem* owner,
                                                     size_t capacity) {
  return ::new (place) TNameArray{owner, 0, static_cast<uint32_t>(capacity), 1};
}

void THostItem::TNameArray::Free(TNameArray* array) {
  const size_t capacity = array->Capacity;
  const bool borrowed = array->Borrowed;
  array->~TNameArray();
  if (borrowed)
    return;
  if (capacity <= PooledCapacity)
    Pool(capacity).Release(array);
  else if (Bytes(capacity) >= LargeBytes)
    ReleaseLargeBlock(array, Bytes(capacity));
  else
    ::operator delete(static_cast<void*>(array));
}

THostItem::THostItem(THosts* owner) noexcept : FMany(nullptr), FOwner(owner ? owner->FNumber : 0) {}

namespace {

TBlockPool& LinePool() {
  static TBlockPool pool(sizeof(THostItem), alignof(THostItem));
  return pool;
}

} // namespace

void* THostItem::operator new(size_t size) {
  if (size == sizeof(THostItem))
    return LinePool().Allocate();
  return ::operator new(size);
}

void THostItem::operator delete(THostItem* line, std::destroying_delete_t) {
  THosts* slabs = line->FInSlab ? line->Owner() : nullptr;
  line->~THostItem();
  if (slabs)
    slabs->FSlabs->Release(line);
  else
    LinePool().Release(line);
}

void THostItem::TakeOver(THostItem& other) noexcept {
  FAddress = std::exchange(other.FAddress, 0);
  FOwnAddress = other.FOwnAddress;
  other.FOwnAddress = 0;
  if (other.FHasExtra) {
    // The extra goes along with the line, to be found under its new place.
    TExtraTable& table = Extras();
    auto extra = table.Places.extract(&other);
    extra.key() = this;
    table.Places.insert(std::move(extra));
    FHasExtra = 1;
    other.FHasExtra = 0;
  }
  FFlags = std::exchange(other.FFlags, 0);
  if (other.FNameMode == OneName) {
    ::new (&FOne) THostName(std::move(other.FOne));
    FOne.Owner.Set(this, false);
    std::destroy_at(&other.FOne);
    other.FMany = nullptr;
  } else if (other.FNameMode == ManyNames) {
    FMany = std::exchange(other.FMany, nullptr);
    FMany->Owner = this;
  }
  FNameMode = other.FNameMode;
  other.FNameMode = NoName;
}

THostItem::~THostItem() {
  if (FNameMode != NoName)
    ClearNames();
  if (FNameMode == ManyNames)
    TNameArray::Free(FMany);
  if (FHasExtra)
    DropExtra();
}

void THostItem::ReserveNames(size_t count) {
  ReserveNamesAt(nullptr, count);
}

bool THostItem::NeedsRoomFor(size_t count) const {
  return count > 1 && !(FNameMode == ManyNames && count <= FMany->Capacity);
}

size_t THostItem::NamesBytes(size_t count) {
  return TNameArray::Bytes(count);
}

void THostItem::ReserveNamesAt(void* place, size_t count) {
  const size_t have = static_cast<size_t>(NameCount());
  if (!NeedsRoomFor(count))
    return;
  TNameArray* array =
      place ? TNameArray::MakeAt(place, this, count) : TNameArray::Make(this, count);
  THostName* from = NameData();
  THostName* to = array->Names();
  for (size_t i = 0; i < have; ++i) {
    THostName* moved = ::new (to + i) THostName(std::move(from[i]));
    moved->Owner.Set(&array->Owner, true);
    std::destroy_at(from + i);
  }
  array->Count = static_cast<uint32_t>(have);
  if (FNameMode == ManyNames)
    TNameArray::Free(FMany);
  FMany = array;
  FNameMode = ManyNames;
}

THostName& THostItem::AppendName() {
  if (FNameMode == NoName) {
    ::new (&FOne) THostName();
    FNameMode = OneName;
    FOne.Owner.Set(this, false);
    return FOne;
  }
  const size_t count = static_cast<size_t>(NameCount());
  if (FNameMode == OneName || count == FMany->Capacity)
    ReserveNames(std::max<size_t>(2, count * 2));
  THostName* name = ::new (FMany->Names() + count) THostName();
  name->Owner.Set(&FMany->Owner, true);
  ++FMany->Count;
  return *name;
}

void THostItem::MoveNamesTo(size_t from, size_t count, THostItem& target) {
  target.ReserveNames(static_cast<size_t>(target.NameCount()) + count);
  THostName* names = NameData();
  for (size_t i = 0; i < count; ++i) {
    THostName& moved = target.AppendName();
    THostName& source = names[from + i];
    moved.FText = std::exchange(source.FText, nullptr);
    moved.Flags = source.Flags;
    moved.FBits = std::exchange(source.FBits, 0);
    moved.FLength16 = std::exchange(source.FLength16, 0);
  }
}

void THostItem::EraseFrontNames(size_t count) {
  const size_t have = static_cast<size_t>(NameCount());
  count = std::min(count, have);
  if (count == 0)
    return;
  if (FNameMode == OneName) {
    std::destroy_at(&FOne);
    FNameMode = NoName;
    FMany = nullptr;
    return;
  }
  THostName* names = FMany->Names();
  for (size_t i = 0; i < count; ++i)
    std::destroy_at(names + i);
  // The names behind move to the front; each keeps the same distance to the array's header
  // only where it stays, so every moved name finds its owner again.
  for (size_t i = count; i < have; ++i) {
    THostName* moved = ::new (names + i - count) THostName(std::move(names[i]));
    moved->Owner.Set(&FMany->Owner, true);
    std::destroy_at(names + i);
  }
  FMany->Count = static_cast<uint32_t>(have - count);
}

void THostItem::KeepFrontNames(size_t count) {
  const size_t have = static_cast<size_t>(NameCount());
  if (count >= have)
    return;
  if (count == 0) {
    EraseFrontNames(have);
    return;
  }
  THostName* names = FMany->Names();
  for (size_t i = count; i < have; ++i)
    std::destroy_at(names + i);
  FMany->Count = static_cast<uint32_t>(count);
}

void THostItem::EraseName(size_t index) {
  const size_t have = static_cast<size_t>(NameCount());
  if (index == 0) {
    EraseFrontNames(1);
    return;
  }
  THostName* names = NameData();
  std::destroy_at(names + index);
  for (size_t i = index + 1; i < have; ++i) {
    THostName* moved = ::new (names + i - 1) THostName(std::move(names[i]));
    moved->Owner.Set(&FMany->Owner, true);
    std::destroy_at(names + i);
  }
  --FMany->Count;
}

std::unique_ptr<THostName> THostItem::ExtractName(int index) {
  if (index < 0 || index >= NameCount())
    return nullptr;
  THostName& name = NameData()[index];
  // The name leaves with a text of its own, so that it outlives the line and its document.
  auto extracted = std::make_unique<THostName>();
  if (name.IsWide())
    extracted->OwnText(name.Text16().data(), name.Length());
  else
    extracted->OwnText(name.Text8().data(), name.Length());
  extracted->Flags = name.Flags;
  EraseName(static_cast<size_t>(index));
  return extracted; // Entry stays set even when the line has no name left
}

int THostItem::AddName(std::unique_ptr<THostName> name) {
  if (!name)
    return -1;
  THostName& added = AppendName();
  added.FText = std::exchange(name->FText, nullptr);
  added.Flags = name->Flags;
  added.FBits = std::exchange(name->FBits, 0);
  added.FLength16 = std::exchange(name->FLength16, 0);
  FFlags |= Entry;
  return NameCount() - 1;
}

void THostItem::ClearNames() {
  if (FNameMode == OneName) {
    std::destroy_at(&FOne);
    FNameMode = NoName;
    FMany = nullptr;
  } else if (FNameMode == ManyNames) {
    THostName* names = FMany->Names();
    for (size_t i = 0; i < FMany->Count; ++i)
      std::destroy_at(names + i);
    FMany->Count = 0;
  }
}

int THostItem::RemoveNames(uint8_t flags) {
  const size_t have = static_cast<size_t>(NameCount());
  THostName* names = NameData();
  size_t kept = 0;
  for (size_t i = 0; i < have; ++i) {
    if (names[i].Flags == flags) {
      std::destroy_at(names + i);
      continue;
    }
    if (kept != i) {
      // Only an array has a second place to move to.
      THostName* moved = ::new (names + kept) THostName(std::move(names[i]));
      moved->Owner.Set(&FMany->Owner, true);
      std::destroy_at(names + i);
    }
    ++kept;
  }
  if (kept == have)
    return 0;
  if (FNameMode == OneName) {
    FNameMode = NoName;
    FMany = nullptr;
  } else {
    FMany->Count = static_cast<uint32_t>(kept);
  }
  if (kept == 0)
    FFlags &= static_cast<uint16_t>(~Entry);
  return static_cast<int>(have - kept);
}

void THostItem::TransferNames(int count, THostItem& target) {
  if (count == 1 && FNameMode == OneName && target.FNameMode == ManyNames &&
      target.FMany->Count < target.FMany->Capacity) {
    // The merge pass's common step: a line's only name goes to a line with room for it.
    THostName* moved =
        ::new (target.FMany->Names() + target.FMany->Count) THostName(std::move(FOne));
    moved->Owner.Set(&target.FMany->Owner, true);
    ++target.FMany->Count;
    FNameMode = NoName; // what the name held went along: nothing is left to free
    FMany = nullptr;
    target.FFlags |= Entry;
    return;
  }
  count = std::clamp(count, 0, NameCount());
  if (count == 0)
    return;
  MoveNamesTo(0, static_cast<size_t>(count), target);
  EraseFrontNames(static_cast<size_t>(count));
  target.FFlags |= Entry;
}

// ---- Address and comment ----

bool THostItem::SetAddress(const THostsIP* address) {
  if (address == nullptr)
    return false;
  // The line gets a value of its own; a shared value is never changed.
  auto own = std::make_unique<THostsIP>();
  const bool accepted = own->Assign(address);
  if (!accepted && Address())
    return false;
  TExtra& extra = MakeExtra();
  extra.OwnAddress = std::move(own); // when refused, the fresh empty value stays
  FAddress = 0;
  FOwnAddress = 1;
  if (THosts* document = Owner(); accepted && document)
    ++document->FAddressValuesMade[extra.OwnAddress->IsIPv6() ? 1 : 0];
  return accepted;
}

void THostItem::ShareAddress(const THostItem& line) {
  // A value the line owns may still be replaced; a document's shared value never changes.
  if (line.FOwnAddress)
    SetAddress(line.Address());
  else
    FAddress = line.FAddress;
}

const THostsIP* THostItem::OwnAddress() const {
  return Extra()->OwnAddress.get();
}

THostItem::TExtraTable& THostItem::Extras() const {
  if (THosts* document = Owner())
    return *document->FExtras;
  static TExtraTable withoutDocument;
  return withoutDocument;
}

const THostItem::TExtra* THostItem::Extra() const {
  return FHasExtra ? &Extras().Places.find(this)->second : nullptr;
}

THostItem::TExtra& THostItem::MakeExtra() {
  TExtraTable& table = Extras();
  if (FHasExtra)
    return table.Places.find(this)->second;
  TExtra& extra = table.Places[this];
  FHasExtra = 1;
  return extra;
}

void THostItem::DropExtra() {
  Extras().Places.erase(this);
  FHasExtra = 0;
  FOwnAddress = 0;
}

std::u16string_view THostItem::Comment() const {
  const TExtra* extra = Extra();
  return extra ? std::u16string_view(extra->Comment) : std::u16string_view();
}

void THostItem::SetCommentText(std::u16string_view text) {
  if (text.empty()) {
    if (FHasExtra)
      MakeExtra().Comment.clear();
    return;
  }
  MakeExtra().Comment.assign(text);
}

void THostItem::SetComment(std::u16string_view text) {
  SetCommentText(text);
  if (text.empty())
    FFlags &= static_cast<uint16_t>(~CommentText);
  else
    FFlags |= CommentText;
}

bool THostItem::IsInvalid() const {
  if ((FFlags & Invalid) != 0)
    return true;
  // A shared value is always a numeric address; only a value of the line's own may be none.
  if ((FFlags & Entry) == 0 || FAddress)
    return false;
  const THostsIP* address = Address();
  return address && (address->IsTextOnly() || address->IsEmpty());
}

// ---- The scanner ----

template <typename CharT>
void THostItem::StoreName(THostName& name, const CharT* text, size_t length) {
  if (THosts* document = Owner()) {
    bool wide = false;
    const void* stored = document->FText->Store(text, length, wide);
    name.SetText(stored, length, wide);
    return;
  }
  if constexpr (sizeof(CharT) == 1) {
    name.OwnText(text, length);
  } else {
    name.SetName(std::u16string_view(text, length));
  }
}

void THostItem::ParseLine(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost) {
  Scan(text, FoundLocalhost, KeepLocalhost, TScanRules::Of(TLineRules::Windows));
}

void THostItem::ParseLine8(std::string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                           TLineRules rules) {
  Scan(text, FoundLocalhost, KeepLocalhost, TScanRules::Of(rules));
}

void THostItem::ParseLine16(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                            TLineRules rules) {
  Scan(text, FoundLocalhost, KeepLocalhost, TScanRules::Of(rules));
}

template <typename CharT>
void THostItem::Scan(std::basic_string_view<CharT> text, bool& FoundLocalhost, bool KeepLocalhost,
                     const TScanRules& rules) {
  FFlags = 0;
  FoundLocalhost = false;
  if (FNameMode != NoName)
    ClearNames();
  // The line starts over: nothing of an earlier reading survives.
  FAddress = 0;
  if (FHasExtra)
    DropExtra();

  if (text.empty())
    return; // blank
  if (text[0] == CharT('#'))
    FFlags = Commented;
  const size_t names = ScanAddress(text, rules);
  if (names != text.npos)
    ScanNames(text, names, FoundLocalhost, KeepLocalhost, rules);

  if (NameCount() > 0)
    FFlags |= Entry;
  if (!Comment().empty())
    FFlags |= CommentText;
}

template <typename CharT> void THostItem::SetCommentOf(std::basic_string_view<CharT> comment) {
  if constexpr (sizeof(CharT) == 1) {
    std::u16string wide(comment.size(), u'\0');
    for (size_t i = 0; i < comment.size(); ++i)
      wide[i] = static_cast<unsigned char>(comment[i]);
    SetCommentText(wide);
  } else {
    SetCommentText(comment);
  }
}

template <typename CharT>
size_t THostItem::ScanAddress(std::basic_string_view<CharT> text, const TScanRules& rules) {
  constexpr size_t None = std::basic_string_view<CharT>::npos;
  const bool commented = FFlags == Commented;
  // A line that cannot be read further: a commented line keeps all of its text after the '#'
  // as its comment, any other line is unusable.
  const auto giveUp = [&]() {
    if (commented)
      SetCommentOf(text.substr(1));
    else
      FFlags = Invalid;
    return None;
  };
  // Leading blanks go; after a '#' there are none ("# ..." is a comment line). The token is the
  // run of address characters that follows, and a blank must end it.
  const size_t n = text.size();
  size_t pos = commented ? 1 : 0;
  if (!commented)
    while (pos < n && rules.IsSeparator(text[pos]))
      ++pos;
  const size_t tokenStart = pos;
  while (pos < n && rules.IsAddressChar(text[pos]))
    ++pos;
  if (pos == tokenStart || pos == n || !rules.IsSeparator(text[pos]))
    return giveUp();
  std::unique_ptr<THostsIP> own;
  uint32_t shared = 0;
  if (!ReadAddressToken(text.substr(tokenStart, pos - tokenStart), Owner(), shared, own))
    return giveUp();
  if (own) {
    MakeExtra().OwnAddress = std::move(own);
    FOwnAddress = 1;
  }
  FAddress = shared;
  return pos + 1;
}

template <typename CharT>
void THostItem::ScanNames(std::basic_string_view<CharT> text, size_t pos, bool& FoundLocalhost,
                          bool KeepLocalhost, const TScanRules& rules) {
  const size_t len = text.size();
  // A name runs to the next separator, '#' or the end; a name of forbidden characters only is
  // none, one with some is kept without them and marked.
  while (pos < len) {
    const uint8_t first = rules.ClassOf(text[pos]);
    if (first == ClassSeparator) {
      ++pos;
      continue;
    }
    if (first == ClassHash) {
      // The comment: the rest of the line after the '#', exactly as written.
      SetCommentOf(text.substr(pos + 1));
      return;
    }
    const size_t nameStart = pos;
    size_t forbidden = 0;
    for (;;) {
      // Nearly every name is plain characters up to its end.
      pos = rules.PlainRunEnd(text, pos);
      if (pos == len || rules.ClassOf(text[pos]) != ClassForbidden)
        break;
      ++forbidden;
      ++pos;
    }
    const std::basic_string_view<CharT> run = text.substr(nameStart, pos - nameStart);
    if (forbidden == run.size())
      continue;
    if (forbidden != 0) {
      std::basic_string<CharT> cleaned;
      cleaned.reserve(run.size() - forbidden);
      for (const CharT r : run)
        if (!rules.IsForbiddenInName(r))
          cleaned.push_back(r);
      THostName& name = AppendName();
      StoreName(name, cleaned.data(), cleaned.size());
      name.Flags = THostName::Malformed;
      continue;
    }
    FoundLocalhost = IsLocalhost(run);
    if (THosts* document = Owner(); FoundLocalhost && document)
      ++document->FLoadInfo.LocalhostNames;
    if (!FoundLocalhost || KeepLocalhost) {
      THostName& name = AppendName();
      StoreName(name, run.data(), run.size());
      name.Flags = FoundLocalhost ? THostName::Localhost : 0;
    }
  }
}
