// uHosts: the room for the names the merge pass moves onto receiving lines. (Inside the engine
// only.)
//
// A line that receives names needs room for nine. The plan of the merge pass counts those lines
// and reserves one block with room for all of them while the document is still untouched, so
// that the walk cannot fail halfway; the walk gives each receiving line a nine-name array, first
// from the slabs of lines it has just emptied (their pages are in memory already), then from the
// block (touched only as it fills).
//
// What it owns: the block, from Reserve until Commit; from then on the document's text arena
//   owns it, and every emptied slab the room takes, for as long as the document lives.
// What a caller may hold: an array it was given, for as long as the document lives; the array is
//   borrowed (TNameArray::Borrowed): it is never freed on its own.
// Order: Reserve (may fail; takes nothing of the document), Commit (may fail, before it gives
//   anything to the document), then Give, no more often than reserved. When the room goes, the
//   slabs stop holding the slabs that empty for it; a block never committed goes back.
// Threads: one thread at a time (the merge pass's).
// AddressSanitizer: room not given yet is poisoned; an array is unpoisoned as it is given.
// Checks (assert): Give after Commit, no more often than reserved.
#pragma once

#include <cassert>
#include <cstddef>

#include "VornLibMemory.h"
#include "uHosts.h"

class TLineSlabs;
class TTextArena;

class TNameRoom {
public:
  static constexpr size_t Names = 9; // a full line
  // The bytes of the room for one line.
  static size_t RoomBytes();

  TNameRoom(TTextArena& arena, TLineSlabs& slabs);
  ~TNameRoom();
  TNameRoom(const TNameRoom&) = delete;
  TNameRoom& operator=(const TNameRoom&) = delete;

  // Room for count lines; std::bad_alloc when the system has none.
  void Reserve(size_t count);
  // The document takes the room; std::bad_alloc (and nothing given) when its arena cannot.
  void Commit();
  // Gives the line room for nine names (it has less).
  void Give(THostItem& line);
  // How many rooms are reserved and not given yet.
  size_t Left() const { return FLeft; }

private:
  TTextArena& FArena;
  TLineSlabs& FSlabs;
  const size_t FRoomBytes;
  TLargeBuffer FBlock; // until Commit
  size_t FLeft = 0;    // rooms reserved and not given yet
  bool FCommitted = false;
  char* FNext = nullptr;      // the next room in the block
  char* FEmptyNext = nullptr; // the next room in a slab the walk emptied
  char* FEmptyEnd = nullptr;
};
