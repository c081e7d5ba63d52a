// VornLibPool: fixed-size block pools for objects made in great numbers (address values, lines
// made by callers, the names of a line). A pooled object costs no heap header, a released block
// serves the next object of its size, and the pool gives its memory back when the last of its
// objects is gone.
//
// What a pool owns: slabs from AllocateLargeBlock, cut into blocks of one size.
// What a caller may hold: a block from Allocate, until it hands it to Release; the block's bytes
// are the caller's alone meanwhile. A released block is the pool's again at once (it may serve the
// very next Allocate), and when no block is out any more every slab but the first goes back.
// Threads: a pool may be used from any number of threads at once; each call takes its lock.
// AddressSanitizer: blocks that are free or not yet handed out are poisoned, so a use of a block
// after its release is reported ("use after poison"), as the sanitizer's own heap reports a use
// after free. The pools stay on in the sanitizer build: it checks the code that ships.
//
// A class opts in by deriving from TPooled<Itself>; new, std::make_unique and delete then go
// through its pool.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

class TBlockPool {
public:
  TBlockPool(size_t blockSize, size_t alignment);
  TBlockPool(const TBlockPool&) = delete;
  TBlockPool& operator=(const TBlockPool&) = delete;

  void* Allocate();
  void Release(void* block);

private:
  void Grow();
  void Reset();
  bool Holds(const void* block) const;

  std::mutex FLock;
  size_t FBlockSize;
  size_t FLive = 0;
  void* FFree = nullptr; // released blocks, each holding the next one's address
  std::byte* FNext = nullptr;
  std::byte* FEnd = nullptr;
  size_t FNextSlabBytes = 16384;
  struct TSlabDelete {
    size_t Bytes;
    void operator()(std::byte* slab) const;
  };
  std::vector<std::unique_ptr<std::byte, TSlabDelete>> FSlabs;
};

template <typename T> class TPooled {
public:
  static void* operator new(size_t size) {
    if (size == sizeof(T))
      return Pool().Allocate();
    return ::operator new(size);
  }
  static void operator delete(void* block, size_t size) {
    if (size == sizeof(T)) {
      Pool().Release(block);
      return;
    }
    ::operator delete(block);
  }

private:
  static TBlockPool& Pool() {
    static TBlockPool pool(sizeof(T), alignof(T));
    return pool;
  }
};
