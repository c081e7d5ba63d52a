// VornLibPool: fixed-size block pools for objects made in great numbers (hosts lines, host names,
// addresses). A pooled object costs no heap header, a freed block serves the next object of its
// type, and the pool gives its memory back when the last of its objects is gone.
//
// A class opts in by deriving from TPooled<Itself>; new, std::make_unique and delete then go
// through its pool. Under AddressSanitizer the pools stand aside, so that every object is a
// heap object the sanitizer can watch.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VORN_POOLS_ENABLED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_POOLS_ENABLED 0
#endif
#endif
#ifndef VORN_POOLS_ENABLED
#define VORN_POOLS_ENABLED 1
#endif

class TBlockPool {
public:
  TBlockPool(size_t blockSize, size_t alignment);
  TBlockPool(const TBlockPool&) = delete;
  TBlockPool& operator=(const TBlockPool&) = delete;

  void* Allocate() {
    ++FLive;
    if (FFree) {
      void* block = FFree;
      FFree = *static_cast<void**>(block);
      return block;
    }
    if (FNext == FEnd)
      Grow();
    void* block = FNext;
    FNext += FBlockSize;
    return block;
  }

  void Release(void* block) {
    *static_cast<void**>(block) = FFree;
    FFree = block;
    if (--FLive == 0)
      Reset();
  }

private:
  void Grow();
  void Reset();

  size_t FBlockSize;
  [[maybe_unused]] size_t FAlignment;
  size_t FLive = 0;
  void* FFree = nullptr;
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
#if VORN_POOLS_ENABLED
    if (size == sizeof(T))
      return Pool().Allocate();
#endif
    return ::operator new(size);
  }
  static void operator delete(void* block, [[maybe_unused]] size_t size) {
#if VORN_POOLS_ENABLED
    if (size == sizeof(T)) {
      Pool().Release(block);
      return;
    }
#endif
    ::operator delete(block);
  }

private:
  static TBlockPool& Pool() {
    static TBlockPool pool(sizeof(T) < sizeof(void*) ? sizeof(void*) : sizeof(T),
                           alignof(T) < alignof(void*) ? alignof(void*) : alignof(T));
    return pool;
  }
};

// An allocator for containers that mostly stay small (a line's few names): arrays of up to
// SmallCount elements come from pools of their size, larger ones from the heap.
TBlockPool& SmallArrayPool(size_t bytes, size_t alignment);

template <typename T, size_t SmallCount = 16> class TSmallArrayAllocator {
public:
  using value_type = T;
  TSmallArrayAllocator() = default;
  template <typename U> TSmallArrayAllocator(const TSmallArrayAllocator<U, SmallCount>&) {}

  T* allocate(size_t count) {
#if VORN_POOLS_ENABLED
    if (count <= SmallCount)
      return static_cast<T*>(SmallArrayPool(RoundUp(count) * sizeof(T), alignof(T)).Allocate());
#endif
    return static_cast<T*>(::operator new(count * sizeof(T)));
  }
  void deallocate(T* block, [[maybe_unused]] size_t count) {
#if VORN_POOLS_ENABLED
    if (count <= SmallCount) {
      SmallArrayPool(RoundUp(count) * sizeof(T), alignof(T)).Release(block);
      return;
    }
#endif
    ::operator delete(block);
  }
  template <typename U> struct rebind { using other = TSmallArrayAllocator<U, SmallCount>; };
  friend bool operator==(const TSmallArrayAllocator&, const TSmallArrayAllocator&) {
    return true;
  }

private:
  // Powers of two, so that a handful of pools serve every small size.
  static size_t RoundUp(size_t count) {
    size_t rounded = 1;
    while (rounded < count)
      rounded *= 2;
    return rounded;
  }
};
