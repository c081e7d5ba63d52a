#include "VornLibPool.h"

#include <algorithm>
#include <cassert>

#include "VornLibMemory.h"

TBlockPool::TBlockPool(size_t blockSize, size_t alignment) {
  // A free block holds the address of the next one.
  alignment = std::max(alignment, alignof(void*));
  blockSize = std::max(blockSize, sizeof(void*));
  FBlockSize = (blockSize + alignment - 1) / alignment * alignment;
}

void TBlockPool::TSlabDelete::operator()(std::byte* slab) const {
  ReleaseLargeBlock(slab, Bytes);
}

void* TBlockPool::Allocate() {
  const std::lock_guard<std::mutex> lock(FLock);
  void* block;
  if (FFree) {
    block = FFree;
    UnpoisonMemory(block, FBlockSize);
    FFree = *static_cast<void**>(block);
  } else {
    if (FNext == FEnd)
      Grow();
    block = FNext;
    FNext += FBlockSize;
    UnpoisonMemory(block, FBlockSize);
  }
  ++FLive;
  return block;
}

void TBlockPool::Release(void* block) {
  const std::lock_guard<std::mutex> lock(FLock);
  assert(FLive > 0 && Holds(block));
  *static_cast<void**>(block) = FFree;
  FFree = block;
  PoisonMemory(block, FBlockSize);
  if (--FLive == 0)
    Reset();
}

bool TBlockPool::Holds(const void* block) const {
  const auto* at = static_cast<const std::byte*>(block);
  return std::any_of(FSlabs.begin(), FSlabs.end(), [&](const auto& slab) {
    return at >= slab.get() && at < slab.get() + slab.get_deleter().Bytes &&
           static_cast<size_t>(at - slab.get()) % FBlockSize == 0;
  });
}

void TBlockPool::Grow() {
  // Slabs grow with the pool, from 16 KiB to 8 MiB each (huge pages where the system has them).
  const size_t bytes = FNextSlabBytes;
  FSlabs.reserve(FSlabs.size() + 1);
  FSlabs.emplace_back(static_cast<std::byte*>(AllocateLargeBlock(bytes)), TSlabDelete{bytes});
  FNext = FSlabs.back().get();
  FEnd = FNext + bytes / FBlockSize * FBlockSize;
  PoisonMemory(FNext, bytes);
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
  const size_t bytes = FSlabs.front().get_deleter().Bytes;
  FNext = FSlabs.front().get();
  FEnd = FNext + bytes / FBlockSize * FBlockSize;
  FNextSlabBytes = bytes * 2;
  PoisonMemory(FNext, bytes);
}
