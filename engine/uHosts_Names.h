// uHosts: how a line holds its names. Included at the end of uHosts.h (not on its own), for the
// reads that are inline; the steps that change the names are the engine's own (THostItem::TNames,
// uHosts_Line.cpp).
//
// A line holds no name, its only name in place (inside the line), or more names in an array
// behind a small header that knows the line (TNameArray). A name knows its line by the distance
// to the line or to that header (uHosts_NameOwner.h); wherever a name is put, it is told again.
//
// What an array owns: the records of its names (their text is the document's, in its arena, or
//   the name's own for a line without a document and for a name taken out).
// Where an array comes from: a pool of its exact size (up to 16 names), the heap, a large block
//   (a megabyte and more), or room for names that the document owns (Borrowed: the merge pass's
//   room, never freed on its own; it goes with the document).
// What a caller may hold: a THostName* until the names of its line change (a name added,
//   removed or moved, a larger array) and never across the merge pass.
// Threads: the pools take their lock; the names of a line are used by one thread at a time.
// Checks (assert): an array holds no more names than its room; a moved name finds its line.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "VornLibPool.h"

// A header and then Capacity names.
struct alignas(alignof(THostName)) THostItem::TNameArray {
  THostItem* Owner;
  uint32_t Count;
  uint32_t Capacity : 31;
  uint32_t Borrowed : 1; // in room the document owns: never freed on its own

  THostName* Names() { return reinterpret_cast<THostName*>(this + 1); }

  static size_t Bytes(size_t capacity) { return sizeof(TNameArray) + capacity * sizeof(THostName); }
  static TNameArray* Make(THostItem* owner, size_t capacity);
  static TNameArray* MakeAt(void* place, THostItem* owner, size_t capacity);
  static void Free(TNameArray* array);
  static TBlockPool& Pool(size_t capacity); // of arrays of this many names
};

// The steps that change a line's names, for the line itself, the scanner and the merge pass.
struct THostItem::TNames {
  // Room for count names in all without moving them again.
  static void Reserve(THostItem& line, size_t count);
  // Whether the line lacks room for count names in all.
  static bool NeedRoomFor(const THostItem& line, size_t count) {
    return count > 1 && !(line.FNameMode == ManyNames && count <= line.FMany->Capacity);
  }
  // Room for count names at the place (room the document owns), unless the line has it.
  static void ReserveAt(THostItem& line, void* place, size_t count);
  // A new empty name at the end (its owner set).
  static THostName& Append(THostItem& line);
  // Moves count names from the index from on to the end of target; the places they leave stay
  // as empty names until EraseFront or EraseFrom erases them.
  static void MoveTo(THostItem& line, size_t from, size_t count, THostItem& target);
  static void EraseFront(THostItem& line, size_t count);
  // Erases every name from the index count on.
  static void EraseFrom(THostItem& line, size_t count);
  static void Erase(THostItem& line, size_t index);
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
  if (FNameMode == ManyNames) {
    assert(FMany->Count <= FMany->Capacity);
    return static_cast<int>(FMany->Count);
  }
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
