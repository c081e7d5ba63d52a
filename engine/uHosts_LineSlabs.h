// uHosts: the slabs a document's lines sit in. (Inside the engine only.)
//
// A document makes the lines it reads, and the lines the merge pass keeps, one after another in
// large slabs, in the order it makes them. A slab counts the lines in it and goes back to the
// system when its last line goes: the merge pass moves every line it keeps into a slab of its
// own, so the slabs of the lines it has read empty one after another while it runs. A line that
// goes right after it was made (one a load does not keep) gives its place to the next one.
//
// What it owns: its slabs (2 MiB, or one large enough for a reserve), from AllocateLargeBlock.
// What a caller may hold: a place from Allocate until it gives it back to Release, after it has
//   destroyed the line there; a place never moves. A slab taken with TakeEmpty is the taker's.
// What ends a place: Release. The slab being filled is filled again from its start when it
//   empties; any other slab goes back to the system when it empties, or, while HoldEmpty is on,
//   waits to be taken (one at most).
// Threads: one thread at a time (the document's).
// AddressSanitizer: a place not handed out, or given back, is poisoned.
// Checks (assert): a place given back lies in a slab with lines, at a line's start; no slab is
//   added while a reserve lasts; no line is left when the slabs go.
#pragma once

#include <cassert>
#include <cstddef>
#include <vector>

#include "VornLibMemory.h"
#include "uHosts.h"

class TLineSlabs {
public:
  static constexpr size_t LineBytes = sizeof(THostItem);
  static constexpr size_t SlabBytes = size_t{2} << 20; // a huge page

  TLineSlabs() = default;
  TLineSlabs(const TLineSlabs&) = delete;
  TLineSlabs& operator=(const TLineSlabs&) = delete;
  ~TLineSlabs();

  // A place for one line; std::bad_alloc when the system has no memory for a new slab.
  void* Allocate() {
    if (FNext == FEnd)
      AddSlab(SlabBytes / LineBytes);
    void* line = FNext;
    FNext += LineBytes;
    ++FSlabs[FCurrent].Live;
#ifndef NDEBUG
    if (FReserved)
      --FReserved;
#endif
    UnpoisonMemory(line, LineBytes);
    return line;
  }
  void Release(void* line);

  // The next count lines take no memory from the system: a fresh slab holds them all, and only
  // the pages they fill are ever touched (small pages, each taken as it fills).
  void Reserve(size_t count);
  // From now on a slab that empties, its pages still in memory, waits for TakeEmpty when no other
  // does, until StopHoldingEmpty. Returns how many slabs may be taken.
  size_t HoldEmpty();
  // A slab that emptied (its bytes are of no use any more, and poisoned), or an empty buffer.
  TLargeBuffer TakeEmpty();
  void StopHoldingEmpty() noexcept;
  // Ends a reserve, and gives back the slab being filled when no line is in it and a slab held:
  // what an operation took in advance and did not use (all of it, when it failed).
  void Trim() noexcept;

private:
  static constexpr size_t None = ~size_t{0};
  struct TSlab {
    char* Base;
    size_t Bytes;
    size_t Live;
  };

  void AddSlab(size_t lines, bool hugePages = true);
  // The slab the place lies in.
  size_t SlabOf(const char* at);

  std::vector<TSlab> FSlabs; // by where they start
  size_t FCurrent = None;    // the slab being filled
  size_t FHint = 0;          // the slab the last line released sat in
  bool FHoldEmpty = false;
  std::vector<TLargeBuffer> FEmpty; // slabs that emptied while FHoldEmpty
  char* FNext = nullptr;
  char* FEnd = nullptr;
  size_t FReserved = 0; // lines still to come within a reserve (debug builds)
};
