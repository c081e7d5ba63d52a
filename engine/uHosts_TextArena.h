// uHosts: where a document stores the text of its names. (Inside the engine only.)
//
// A text is stored once, one byte a character where all of its characters allow it (Latin-1,
// nearly every real name), else in UTF-16; a text of LongLength characters or more has its length
// in the size_t before it.
//
// What it owns: blocks of text (small ones from the heap, a megabyte and more from the system),
//   the block a load reads from when the document may use that block up, and the blocks given to
//   it with Take (the merge pass's room for names).
// What a caller may hold: a stored text, for as long as the arena lives: a text never moves.
// What ends a text: the arena's end; Release(mark), for the texts stored since the mark.
// The read block: while a load scans a line of it (BeginLine to EndLine), the names it stores in
//   one byte a character go back into the block, over bytes already read; a line's names never
//   take more bytes than the line, so they never reach the text still to read. Outside such a scan
//   (a load's watcher, a caller's own ParseLine) texts go into blocks of the arena's own. The
//   pages of the read block that no name will reach go back to the system as the load goes on.
// Threads: one thread at a time (the document's).
// AddressSanitizer: the bytes of a block not handed out yet are poisoned, and so are the read
//   bytes between the names and the line being read, each time their pages are given back.
// Checks (assert): a name placed in the read block ends within the line being scanned, and the
//   names placed so far end before that line starts.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "VornLibMemory.h"

// True when every character fits in one byte (Latin-1).
inline bool FitsInBytes(std::u16string_view text) {
  char16_t any = 0;
  for (const char16_t c : text)
    any |= c;
  return any < 0x100;
}

class TTextArena {
public:
  static constexpr size_t LongLength = (size_t{1} << 22) - 1;

  TTextArena() = default;
  TTextArena(const TTextArena&) = delete;
  TTextArena& operator=(const TTextArena&) = delete;

  // Stores the text; wide tells which form it took.
  template <typename CharT> const void* Store(const CharT* text, size_t length, bool& wide) {
    wide = false;
    if constexpr (sizeof(CharT) == 2) {
      if (!FitsInBytes(std::u16string_view(text, length))) {
        wide = true;
        char* at = Allocate(length * 2, length, true);
        std::memcpy(at, text, length * 2);
        return at;
      }
      char* at = AllocateBytes(length);
      for (size_t i = 0; i < length; ++i)
        at[i] = static_cast<char>(text[i]);
      return at;
    } else {
      char* at = AllocateBytes(length);
      std::memmove(at, text, length); // in the read block the name moves back over its own line
      return at;
    }
  }

  // A load reads a block that the arena takes, and may use up.
  void BeginInPlace(TLargeBuffer block);
  // The load scans the line [start, end) of the read block.
  void BeginLine([[maybe_unused]] const char* start, const char* end) {
    if (!FInPlace)
      return;
    assert(FInPlace <= start && start <= end);
    FLineEnd = end;
  }
  // The scan of the line is over: texts go into the arena's own blocks again.
  void EndLine() { FLineEnd = nullptr; }
  // The bytes between the names placed so far and the line being read (at readAt) are of no more
  // use, and the names still to come take no more bytes than the text still to read (up to end):
  // the pages beyond that will never be written again. Every 256 KiB read, they go back to the
  // system (only those, so no page is ever taken twice), and by the end of the load the block
  // holds little more than its names.
  void GiveBackRead(const char* readAt, const char* end) {
    if (FInPlace && static_cast<size_t>(readAt - FGivenBack) >= GiveBackStep)
      GiveBackReadNow(readAt, end);
  }
  // The load has ended: the rest of the block after the names goes back to the system.
  void EndInPlace();

  // Room for count more blocks to take.
  void ReserveBlocks(size_t count) { FBlocks.reserve(FBlocks.size() + count); }
  // Takes a block for as long as the arena lives, within the room reserved; returns where it
  // starts.
  char* Take(TLargeBuffer block) noexcept {
    assert(FBlocks.size() < FBlocks.capacity());
    FBlocks.push_back(std::move(block));
    return FBlocks.back().Data();
  }

  // What the arena holds at a moment, so that what is stored after it can go back.
  struct TMark {
    size_t Blocks = 0, SmallBlocks = 0;
    char* Next = nullptr;
    char* End = nullptr;
    size_t BlockBytes = 0;
  };
  TMark Mark() const { return {FBlocks.size(), FSmallBlocks.size(), FNext, FEnd, FBlockBytes}; }
  // Gives back everything stored since the mark; none of those texts may be used any more.
  void Release(const TMark& mark) noexcept;

private:
  static constexpr size_t GiveBackStep = size_t{256} << 10;

  char* AllocateBytes(size_t length) {
    if (FLineEnd && length < LongLength) {
      assert(static_cast<size_t>(FLineEnd - FInPlace) >= length);
      char* at = FInPlace;
      FInPlace += length;
      UnpoisonMemory(at, length);
      return at;
    }
    return Allocate(length, length, false);
  }
  // Room for bytes (aligned for UTF-16), with the length in front of a long text.
  char* Allocate(size_t bytes, size_t length, bool wide);
  // Blocks of a megabyte and more straight from the system, smaller ones from the heap (most
  // documents are small, and a mapping of their own would cost more than their text); poisoned.
  char* NewBlock(size_t bytes);
  void GiveBackReadNow(const char* readAt, const char* end);

  std::vector<TLargeBuffer> FBlocks;
  std::vector<std::unique_ptr<char[]>> FSmallBlocks;
  char* FNext = nullptr;
  char* FEnd = nullptr;
  size_t FBlockBytes = 4096;
  char* FInPlace = nullptr;         // where the next name goes in the read block, if any
  const char* FLineEnd = nullptr;   // the end of the line being scanned there, if any
  const char* FGivenBack = nullptr; // how far the read block's pages were last given back
  size_t FInPlaceBlock = 0;
};
