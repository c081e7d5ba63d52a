#include "VornLibPool.h"

TBlockPool::TBlockPool(size_t blockSize, size_t alignment)
    : FBlockSize((blockSize + alignment - 1) / alignment * alignment), FAlignment(alignment) {}

void TBlockPool::Grow() {
  // Slabs grow with the pool, up to a few megabytes each.
  const size_t bytes = FNextSlabBlocks * FBlockSize;
  FSlabs.emplace_back(static_cast<std::byte*>(::operator new(bytes, std::align_val_t(FAlignment))),
                      TSlabDelete{FAlignment});
  FNext = FSlabs.back().get();
  FEnd = FNext + bytes;
  if (FNextSlabBlocks * FBlockSize < (4u << 20))
    FNextSlabBlocks *= 2;
}

void TBlockPool::Reset() {
  FFree = nullptr;
  FNext = FEnd = nullptr;
  FNextSlabBlocks = 256;
  FSlabs.clear();
}

TBlockPool& SmallArrayPool(size_t bytes, size_t alignment) {
  // One pool per power-of-two size from 8 bytes to 4 KiB, made on first use.
  static std::unique_ptr<TBlockPool> pools[10];
  size_t index = 0;
  size_t size = 8;
  while (size < bytes && index + 1 < std::size(pools)) {
    size *= 2;
    ++index;
  }
  if (!pools[index])
    pools[index] = std::make_unique<TBlockPool>(size, alignment < 8 ? 8 : alignment);
  return *pools[index];
}
