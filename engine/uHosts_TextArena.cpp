// uHosts: where a document stores the text of its names.
#include "uHosts_TextArena.h"

#include <algorithm>

void TTextArena::BeginInPlace(TLargeBuffer block) {
  FBlocks.push_back(std::move(block));
  FInPlaceBlock = FBlocks.size() - 1;
  FInPlace = FBlocks.back().Data();
  FGivenBack = FInPlace;
  FLineEnd = nullptr;
}

void TTextArena::GiveBackReadNow(const char* readAt, const char* end) {
  assert(FInPlace <= readAt);
  FGivenBack = readAt;
  const size_t toCome = static_cast<size_t>(end - readAt);
  const char* from = FInPlace + std::min(toCome, static_cast<size_t>(readAt - FInPlace));
  DiscardLargeBlockPages(const_cast<char*>(from), static_cast<size_t>(readAt - from));
  PoisonMemory(FInPlace, static_cast<size_t>(readAt - FInPlace));
}

void TTextArena::EndInPlace() {
  if (!FInPlace)
    return;
  TLargeBuffer& block = FBlocks[FInPlaceBlock];
  const size_t rest = block.Capacity() - static_cast<size_t>(FInPlace - block.Data());
  DiscardLargeBlockPages(FInPlace, rest);
  PoisonMemory(FInPlace, rest);
  FInPlace = nullptr;
  FLineEnd = nullptr;
}

void TTextArena::Release(const TMark& mark) noexcept {
  assert(!FInPlace && mark.Blocks <= FBlocks.size() && mark.SmallBlocks <= FSmallBlocks.size());
  FBlocks.resize(mark.Blocks);
  FSmallBlocks.resize(mark.SmallBlocks);
  FNext = mark.Next;
  FEnd = mark.End;
  FBlockBytes = mark.BlockBytes;
  PoisonMemory(FNext, static_cast<size_t>(FEnd - FNext));
}

char* TTextArena::Allocate(size_t bytes, size_t length, bool wide) {
  const size_t header = length >= LongLength ? sizeof(size_t) : 0;
  const size_t need = header + bytes + 1; // one spare byte keeps UTF-16 text aligned
  if (static_cast<size_t>(FEnd - FNext) < need) {
    if (need > FBlockBytes / 4) {
      // A large text gets a block of its own; the current block stays in use.
      char* block = NewBlock(need);
      UnpoisonMemory(block, header + bytes);
      if (header)
        std::memcpy(block, &length, sizeof length);
      return block + header;
    }
    FNext = NewBlock(FBlockBytes);
    FEnd = FNext + FBlockBytes;
    if (FBlockBytes < (size_t{4} << 20))
      FBlockBytes *= 2;
  }
  if (wide && (reinterpret_cast<uintptr_t>(FNext) & 1) != 0)
    ++FNext;
  UnpoisonMemory(FNext, header + bytes);
  if (header) {
    std::memcpy(FNext, &length, sizeof length);
    FNext += header;
  }
  char* at = FNext;
  FNext += bytes;
  return at;
}

char* TTextArena::NewBlock(size_t bytes) {
  char* block;
  if (bytes >= (size_t{1} << 20)) {
    FBlocks.reserve(FBlocks.size() + 1);
    block = FBlocks.emplace_back(bytes).Data();
  } else {
    FSmallBlocks.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    block = FSmallBlocks.back().get();
  }
  PoisonMemory(block, bytes);
  return block;
}
