// uHosts: where a document keeps the text of its names (inside the engine only).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "VornLibMemory.h"
#include "uHosts.h"

// Spreads the bits of x over the whole word: every bit of the result depends on every bit of x.
inline uint64_t MixBits(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

// What few lines have: an address value of their own, a comment.
struct THostItem::TExtra {
  std::unique_ptr<THostsIP> OwnAddress; // the line's address when FOwnAddress is set
  std::u16string Comment;
};

// The extras of the lines of one document, by line, so that the many lines without them do not
// pay for them.
struct THostItem::TExtraTable {
  std::unordered_map<const THostItem*, TExtra> Places;
};

// True when every character fits in one byte (Latin-1).
inline bool FitsInBytes(std::u16string_view text) {
  char16_t any = 0;
  for (const char16_t c : text)
    any |= c;
  return any < 0x100;
}

// The records of a document's lines, one after another in large slabs, in the order they were
// made. A slab counts the lines that still sit in it and goes back to the system when the last
// one goes: the merge pass moves every line it keeps into a slab of its own, so the slabs of the
// lines it has read empty one after another while it runs. A line that goes right after it was
// made (a load that does not keep it) gives its place to the next one.
struct THosts::TLineSlabs {
  static constexpr size_t LineBytes = sizeof(THostItem);
  static constexpr size_t SlabBytes = size_t{2} << 20; // a huge page

  TLineSlabs() = default;
  TLineSlabs(const TLineSlabs&) = delete;
  TLineSlabs& operator=(const TLineSlabs&) = delete;
  ~TLineSlabs() {
    for (const TSlab& slab : FSlabs)
      ReleaseLargeBlock(slab.Base, slab.Bytes);
  }

  void* Allocate() {
    if (FNext == FEnd)
      AddSlab(SlabBytes / LineBytes);
    void* line = FNext;
    FNext += LineBytes;
    ++FSlabs[FCurrent].Live;
    return line;
  }

  void Release(void* line) {
    char* at = static_cast<char*>(line);
    // Lines mostly go in the order they sit: the slab of the line before is looked at first,
    // else the slab whose start is the last one at or before the line.
    if (FHint >= FSlabs.size() || at < FSlabs[FHint].Base ||
        at >= FSlabs[FHint].Base + FSlabs[FHint].Bytes) {
      const auto after = std::upper_bound(FSlabs.begin(), FSlabs.end(), at,
                                          [](const char* a, const TSlab& s) { return a < s.Base; });
      FHint = static_cast<size_t>(after - FSlabs.begin()) - 1;
    }
    const size_t index = FHint;
    const auto slab = FSlabs.begin() + static_cast<std::ptrdiff_t>(index);
    if (index == FCurrent && at + LineBytes == FNext)
      FNext = at;
    if (--slab->Live > 0)
      return;
    if (index == FCurrent) {
      FNext = slab->Base; // empty: filled again from its start
      return;
    }
    if (FKeepEmpty && FEmpty.empty()) // one waits at most; the others go back at once
      FEmpty.push_back(TLargeBuffer::Adopt(slab->Base, slab->Bytes)); // within the room reserved
    else
      ReleaseLargeBlock(slab->Base, slab->Bytes);
    FSlabs.erase(slab);
    if (FCurrent > index)
      --FCurrent;
  }

  // From now on a slab that empties, its pages still in memory, waits for TakeEmpty when no other
  // does, until StopKeepingEmpty. Returns how many slabs may be taken.
  size_t KeepEmpty() {
    FEmpty.reserve(1);
    FKeepEmpty = true;
    return FSlabs.size();
  }
  // A slab that emptied (its bytes are of no use any more), or an empty buffer when none did.
  TLargeBuffer TakeEmpty() {
    if (FEmpty.empty())
      return TLargeBuffer();
    TLargeBuffer slab = std::move(FEmpty.back());
    FEmpty.pop_back();
    return slab;
  }
  void StopKeepingEmpty() {
    FEmpty.clear();
    FKeepEmpty = false;
  }

  // The next count lines take no memory from the system: a fresh slab holds them all, and only
  // the pages they fill are ever touched (small pages, each taken as it fills).
  void Reserve(size_t count) {
    if (static_cast<size_t>(FEnd - FNext) / LineBytes >= count)
      return;
    AddSlab(std::max(count, SlabBytes / LineBytes), false);
  }

private:
  struct TSlab {
    char* Base;
    size_t Bytes;
    size_t Live;
  };

  void AddSlab(size_t lines, bool hugePages = true) {
    const size_t bytes = lines * LineBytes;
    FSlabs.reserve(FSlabs.size() + 1); // no failure after the block is taken
    char* base = static_cast<char*>(AllocateLargeBlock(bytes, hugePages));
    // The slab being filled goes when it is empty.
    if (!FSlabs.empty() && FSlabs[FCurrent].Live == 0) {
      ReleaseLargeBlock(FSlabs[FCurrent].Base, FSlabs[FCurrent].Bytes);
      FSlabs.erase(FSlabs.begin() + static_cast<std::ptrdiff_t>(FCurrent));
    }
    auto at = std::upper_bound(FSlabs.begin(), FSlabs.end(), base,
                               [](const char* a, const TSlab& s) { return a < s.Base; });
    FCurrent = static_cast<size_t>(FSlabs.insert(at, TSlab{base, bytes, 0}) - FSlabs.begin());
    FNext = base;
    FEnd = base + bytes;
  }

  std::vector<TSlab> FSlabs; // by where they start
  size_t FCurrent = 0;       // the slab being filled
  size_t FHint = 0;          // the slab the last line released sat in
  bool FKeepEmpty = false;
  std::vector<TLargeBuffer> FEmpty; // slabs that emptied while FKeepEmpty
  char* FNext = nullptr;
  char* FEnd = nullptr;
};

// Name text, one after another in large blocks that live as long as the document. A text is
// stored in one byte a character where all of its characters allow it, else in UTF-16; a text
// of LongLength characters or more has its length in the size_t before it.
struct THosts::TTextArena {
  static constexpr size_t LongLength = (size_t{1} << 22) - 1;

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
      std::memmove(at, text, length);
      return at;
    }
  }

  // While a load reads a block of bytes that the document keeps, the names it stores in one byte
  // a character go back into that block, over bytes already read: a name never takes more bytes
  // than it was read from, so the names of a line always fit before the line's own bytes. No
  // fresh memory is taken (and cleared) for them.
  void BeginInPlace(TLargeBuffer block) {
    FBlocks.push_back(std::move(block));
    FInPlaceBlock = FBlocks.size() - 1;
    FInPlace = FBlocks.back().Data();
    FCleared = FInPlace;
  }
  // The bytes between the names placed so far and the line being read are of no more use, and
  // the names still to come take no more bytes than the text still to read: the pages beyond that
  // will never be written again. Every megabyte read, they go back to the system (only those, so
  // no page is ever taken twice), and by the end of the load the block holds little more than its
  // names.
  void ClearReadBytes(const char* readAt, const char* end) {
    constexpr size_t Step = size_t{256} << 10;
    if (!FInPlace || static_cast<size_t>(readAt - FCleared) < Step)
      return;
    FCleared = readAt;
    const size_t toCome = static_cast<size_t>(end - readAt);
    const char* from = FInPlace + std::min(toCome, static_cast<size_t>(readAt - FInPlace));
    DiscardLargeBlockPages(const_cast<char*>(from), static_cast<size_t>(readAt - from));
  }

  // Room for count more blocks to keep.
  void ReserveKept(size_t count) { FBlocks.reserve(FBlocks.size() + count); }
  // Keeps a block for as long as the document lives; returns where it starts.
  char* Keep(TLargeBuffer block) {
    FBlocks.push_back(std::move(block));
    return FBlocks.back().Data();
  }

  // The rest of the block after the names goes back to the system.
  void EndInPlace() {
    if (!FInPlace)
      return;
    TLargeBuffer& block = FBlocks[FInPlaceBlock];
    DiscardLargeBlockPages(FInPlace,
                           block.Capacity() - static_cast<size_t>(FInPlace - block.Data()));
    FInPlace = nullptr;
  }

private:
  char* AllocateBytes(size_t length) {
    if (FInPlace && length < LongLength) {
      char* at = FInPlace;
      FInPlace += length;
      return at;
    }
    return Allocate(length, length, false);
  }

  // Room for bytes (aligned for UTF-16), with the length in front of a long text.
  char* Allocate(size_t bytes, size_t length, bool wide) {
    const size_t header = length >= LongLength ? sizeof(size_t) : 0;
    const size_t need = header + bytes + 1; // one spare byte keeps UTF-16 text aligned
    if (static_cast<size_t>(FEnd - FNext) < need) {
      if (need > FBlockBytes / 4) {
        // A large text gets a block of its own; the current block stays in use.
        return Place(NewBlock(need), header, length);
      }
      FNext = NewBlock(FBlockBytes);
      FEnd = FNext + FBlockBytes;
      if (FBlockBytes < (size_t{4} << 20))
        FBlockBytes *= 2;
    }
    if (wide && (reinterpret_cast<uintptr_t>(FNext) & 1) != 0)
      ++FNext;
    char* at = Place(FNext, header, length);
    FNext = at + bytes;
    return at;
  }
  // Blocks of a megabyte and more straight from the system, smaller ones from the heap (most
  // documents are small, and a mapping of their own would cost more than their text).
  char* NewBlock(size_t bytes) {
    if (bytes >= (size_t{1} << 20)) {
      FBlocks.emplace_back(bytes);
      return FBlocks.back().Data();
    }
    FSmallBlocks.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    return FSmallBlocks.back().get();
  }

  static char* Place(char* at, size_t header, size_t length) {
    if (header) {
      std::memcpy(at, &length, sizeof length);
      at += header;
    }
    return at;
  }

  std::vector<TLargeBuffer> FBlocks;
  std::vector<std::unique_ptr<char[]>> FSmallBlocks;
  char* FNext = nullptr;
  char* FEnd = nullptr;
  size_t FBlockBytes = 4096;
  char* FInPlace = nullptr;       // where the next name goes in the block being read, if any
  const char* FCleared = nullptr; // how far the block's read bytes were last given back
  size_t FInPlaceBlock = 0;
};
