#include "VornLibPool.h"

#include "VornLibMemory.h"

TBlockPool::TBlockPool(size_t blockSize, size_t alignment)
    : FBlockSize((blockSize + alignment - 1) / alignment * alignment), FAlignment(alignment) {}

void TBlockPool::TSlabDelete::operator()(std::byte* slab) const {
  ReleaseLargeBlock(slab, Bytes);
}

void TBlockPool::Grow() {
  // Slabs grow with the pool, from 16 KiB to 8 MiB each (huge pages where the system has them).
  const size_t bytes = FNextSlabBytes;
  FSlabs.emplace_back(static_cast<std::byte*>(AllocateLargeBlock(bytes)), TSlabDelete{bytes});
  FNext = FSlabs.back().get();
  FEnd = FNext + bytes / FBlockSize * FBlockSize;
  if (FNextSlabBytes < (8u << 20))
    FNextSlabBytes *= 2;
}

void TBlockPool::Reset() {
  // Everything goes back but the first slab, so that a pool that often runs empty does not
  // ask the system for memory again each time.
  FFree = nullptr;
  if (FSlabs.empty())
    return;
  FSlabs.resize(1);
  FNext = FSlabs.front().get();
  FEnd = FNext + FSlabs.front().get_deleter().Bytes / FBlockSize * FBlockSize;
  FNextSlabBytes = FSlabs.front().get_deleter().Bytes * 2;
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
