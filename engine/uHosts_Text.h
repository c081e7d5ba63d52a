// uHosts: where a document keeps the text of its names (inside the engine only).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "VornLibMemory.h"
#include "uHosts.h"

// True when every character fits in one byte (Latin-1).
inline bool FitsInBytes(std::u16string_view text) {
  char16_t any = 0;
  for (const char16_t c : text)
    any |= c;
  return any < 0x100;
}

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
      char* at = Allocate(length, length, false);
      for (size_t i = 0; i < length; ++i)
        at[i] = static_cast<char>(text[i]);
      return at;
    } else {
      char* at = Allocate(length, length, false);
      std::memcpy(at, text, length);
      return at;
    }
  }

private:
  // Room for bytes (aligned for UTF-16), with the length in front of a long text.
  char* Allocate(size_t bytes, size_t length, bool wide) {
    const size_t header = length >= LongLength ? sizeof(size_t) : 0;
    const size_t need = header + bytes + 1; // one spare byte keeps UTF-16 text aligned
    if (static_cast<size_t>(FEnd - FNext) < need) {
      if (need > FBlockBytes / 4) {
        // A large text gets a block of its own; the current block stays in use.
        FBlocks.emplace_back(need);
        return Place(FBlocks.back().Data(), header, length);
      }
      FBlocks.emplace_back(FBlockBytes);
      FNext = FBlocks.back().Data();
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
  static char* Place(char* at, size_t header, size_t length) {
    if (header) {
      std::memcpy(at, &length, sizeof length);
      at += header;
    }
    return at;
  }

  std::vector<TLargeBuffer> FBlocks;
  char* FNext = nullptr;
  char* FEnd = nullptr;
  size_t FBlockBytes = 64 * 1024;
};
