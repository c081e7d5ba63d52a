// uHosts: one line of a hosts file and its names.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "VornLibMemory.h"
#include "uHosts.h"
#include "uHosts_Extras.h"
#include "uHosts_LineSlabs.h"
#include "uHosts_TextArena.h"

// A million one-name lines cost what these two sizes say: hold to them.
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

THostItem::THostItem(THosts* owner) noexcept : FMany(nullptr), FOwner(owner ? owner->FNumber : 0) {
  // A line made by a caller may outlive its document: the document's number waits for it.
  if (owner)
    ++owner->FLooseLines;
}

THostItem::THostItem(THosts* owner, TInSlab) noexcept : FMany(nullptr), FOwner(owner->FNumber) {
  FInSlab = 1;
}

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
  assert(FOwner == other.FOwner && FNameMode == NoName && !FHasExtra);
  FAddress = std::exchange(other.FAddress, 0);
  FOwnAddress = other.FOwnAddress;
  other.FOwnAddress = 0;
  if (other.FHasExtra) {
    // The extra goes along with the line, to be found under its new place.
    Extras()->Move(&other, this);
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
  // The extras of a document gone went with it.
  if (FHasExtra && (FOwner == 0 || Owner()))
    DropExtra();
  if (FOwner && !FInSlab)
    THosts::LooseLineGone(FOwner);
}

void THostItem::TNames::Reserve(THostItem& line, size_t count) {
  ReserveAt(line, nullptr, count);
}

void THostItem::TNames::ReserveAt(THostItem& line, void* place, size_t count) {
  const size_t have = static_cast<size_t>(line.NameCount());
  if (!NeedRoomFor(line, count))
    return;
  TNameArray* array =
      place ? TNameArray::MakeAt(place, &line, count) : TNameArray::Make(&line, count);
  THostName* from = line.NameData();
  THostName* to = array->Names();
  for (size_t i = 0; i < have; ++i) {
    THostName* moved = ::new (to + i) THostName(std::move(from[i]));
    moved->Owner.Set(&array->Owner, true);
    std::destroy_at(from + i);
  }
  array->Count = static_cast<uint32_t>(have);
  if (line.FNameMode == ManyNames)
    TNameArray::Free(line.FMany);
  line.FMany = array;
  line.FNameMode = ManyNames;
}

THostName& THostItem::TNames::Append(THostItem& line) {
  if (line.FNameMode == NoName) {
    ::new (&line.FOne) THostName();
    line.FNameMode = OneName;
    line.FOne.Owner.Set(&line, false);
    return line.FOne;
  }
  const size_t count = static_cast<size_t>(line.NameCount());
  if (line.FNameMode == OneName || count == line.FMany->Capacity)
    Reserve(line, std::max<size_t>(2, count * 2));
  TNameArray& array = *line.FMany;
  THostName* name = ::new (array.Names() + count) THostName();
  name->Owner.Set(&array.Owner, true);
  ++array.Count;
  assert(array.Count <= array.Capacity);
  return *name;
}

void THostItem::TNames::MoveTo(THostItem& line, size_t from, size_t count, THostItem& target) {
  assert(from + count <= static_cast<size_t>(line.NameCount()));
  Reserve(target, static_cast<size_t>(target.NameCount()) + count);
  THostName* names = line.NameData();
  for (size_t i = 0; i < count; ++i) {
    THostName& moved = Append(target);
    THostName& source = names[from + i];
    moved.FText = std::exchange(source.FText, nullptr);
    moved.Flags = source.Flags;
    moved.FBits = std::exchange(source.FBits, 0);
    moved.FLength16 = std::exchange(source.FLength16, 0);
    assert(moved.Owner == &target);
  }
}

void THostItem::TNames::EraseFront(THostItem& line, size_t count) {
  const size_t have = static_cast<size_t>(line.NameCount());
  count = std::min(count, have);
  if (count == 0)
    return;
  if (line.FNameMode == OneName) {
    std::destroy_at(&line.FOne);
    line.FNameMode = NoName;
    line.FMany = nullptr;
    return;
  }
  THostName* names = line.FMany->Names();
  for (size_t i = 0; i < count; ++i)
    std::destroy_at(names + i);
  // The names behind move to the front; each keeps the same distance to the array's header
  // only where it stays, so every moved name finds its owner again.
  for (size_t i = count; i < have; ++i) {
    THostName* moved = ::new (names + i - count) THostName(std::move(names[i]));
    moved->Owner.Set(&line.FMany->Owner, true);
    std::destroy_at(names + i);
  }
  line.FMany->Count = static_cast<uint32_t>(have - count);
}

void THostItem::TNames::EraseFrom(THostItem& line, size_t count) {
  const size_t have = static_cast<size_t>(line.NameCount());
  if (count >= have)
    return;
  if (count == 0) {
    EraseFront(line, have);
    return;
  }
  THostName* names = line.FMany->Names();
  for (size_t i = count; i < have; ++i)
    std::destroy_at(names + i);
  line.FMany->Count = static_cast<uint32_t>(count);
}

void THostItem::TNames::Erase(THostItem& line, size_t index) {
  const size_t have = static_cast<size_t>(line.NameCount());
  if (index == 0) {
    EraseFront(line, 1);
    return;
  }
  THostName* names = line.NameData();
  std::destroy_at(names + index);
  for (size_t i = index + 1; i < have; ++i) {
    THostName* moved = ::new (names + i - 1) THostName(std::move(names[i]));
    moved->Owner.Set(&line.FMany->Owner, true);
    std::destroy_at(names + i);
  }
  --line.FMany->Count;
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
  TNames::Erase(*this, static_cast<size_t>(index));
  return extracted; // Entry stays set even when the line has no name left
}

int THostItem::AddName(std::unique_ptr<THostName> name) {
  if (!name)
    return -1;
  THostName& added = TNames::Append(*this);
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
  TNames::MoveTo(*this, 0, static_cast<size_t>(count), target);
  TNames::EraseFront(*this, static_cast<size_t>(count));
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

TExtraTable* THostItem::Extras() const {
  if (FOwner == 0) {
    static TExtraTable withoutDocument(true); // shared by every thread
    return &withoutDocument;
  }
  THosts* document = Owner();
  return document ? document->FExtras.get() : nullptr;
}

const TExtra* THostItem::Extra() const {
  if (!FHasExtra)
    return nullptr;
  const TExtra* extra = Extras()->Find(this);
  assert(extra);
  return extra;
}

TExtra& THostItem::MakeExtra() {
  TExtra& extra = Extras()->Make(this);
  FHasExtra = 1;
  return extra;
}

void THostItem::DropExtra() {
  Extras()->Drop(this);
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
