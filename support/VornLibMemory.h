// VornLibMemory: large blocks of memory straight from the system, for the object pools and the
// engine's slabs, and what AddressSanitizer is told about the memory they hold.
// POSIX asks for transparent huge pages (far fewer page faults when millions of lines are read);
// Windows takes committed pages from VirtualAlloc.
//
// Every function here may be called from any thread.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define VORN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef VORN_ADDRESS_SANITIZER
#define VORN_ADDRESS_SANITIZER 0
#endif
#if VORN_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

// Memory that a pool or a slab holds but has not handed out, or has got back, is poisoned under
// AddressSanitizer, as its own heap does with freed memory: any use of it is reported ("use after
// poison"). Poisoning and unpoisoning work on 8-byte granules: the bytes of a region that share a
// granule with bytes outside it may stay usable (poison) or become usable (unpoison). Without the
// sanitizer these do nothing.
inline void PoisonMemory([[maybe_unused]] const void* start, [[maybe_unused]] size_t bytes) {
#if VORN_ADDRESS_SANITIZER
  __asan_poison_memory_region(start, bytes);
#endif
}
inline void UnpoisonMemory([[maybe_unused]] const void* start, [[maybe_unused]] size_t bytes) {
#if VORN_ADDRESS_SANITIZER
  __asan_unpoison_memory_region(start, bytes);
#endif
}
// Whether a use of the byte would be reported; always false without the sanitizer.
inline bool IsPoisoned([[maybe_unused]] const void* at) {
#if VORN_ADDRESS_SANITIZER
  return __asan_address_is_poisoned(at) != 0;
#else
  return false;
#endif
}

// count * size, the bytes of count objects of the size; std::bad_alloc (as a new of an array
// too long raises) when they do not fit in a size_t.
inline size_t BytesFor(size_t count, size_t size) {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes))
    throw std::bad_array_new_length();
  return bytes;
}

// A zero-filled block of at least the given size, aligned to at least 64 bytes; raises
// std::bad_alloc when the system has no memory. Without hugePages, the block is backed by small
// pages only (for a block filled a little at a time while other memory goes back).
void* AllocateLargeBlock(size_t bytes, bool hugePages = true);
// Gives the block back to the system; none of it may be used after. It leaves no poison behind.
void ReleaseLargeBlock(void* block, size_t bytes);
// Gives the system back the whole pages inside [start, start + bytes) of a block from
// AllocateLargeBlock; what they held is gone. The block itself stays valid on POSIX (the pages
// come back zero-filled when touched again); on Windows they are decommitted and must never be
// touched again.
void DiscardLargeBlockPages(void* start, size_t bytes);
// The bytes of the large blocks taken and not yet given back, in whole pages: what a caller may
// compare before and after an operation that must take nothing for good.
size_t LargeBlockBytesInUse();

// A block of bytes from AllocateLargeBlock, released when it goes.
class TLargeBuffer {
public:
  TLargeBuffer() = default;
  explicit TLargeBuffer(size_t capacity, bool hugePages = true)
      : FData(capacity ? static_cast<char*>(AllocateLargeBlock(capacity, hugePages)) : nullptr),
        FCapacity(capacity) {}
  // Takes over a block from AllocateLargeBlock.
  static TLargeBuffer Adopt(void* block, size_t capacity) {
    TLargeBuffer buffer;
    buffer.FData = static_cast<char*>(block);
    buffer.FCapacity = capacity;
    return buffer;
  }
  ~TLargeBuffer() {
    if (FData)
      ReleaseLargeBlock(FData, FCapacity);
  }
  TLargeBuffer(TLargeBuffer&& other) noexcept
      : FData(other.FData), FCapacity(other.FCapacity), FSize(other.FSize) {
    other.FData = nullptr;
    other.FCapacity = other.FSize = 0;
  }
  TLargeBuffer& operator=(TLargeBuffer&& other) noexcept {
    if (this != &other) {
      if (FData)
        ReleaseLargeBlock(FData, FCapacity);
      FData = std::exchange(other.FData, nullptr);
      FCapacity = std::exchange(other.FCapacity, 0);
      FSize = std::exchange(other.FSize, 0);
    }
    return *this;
  }

  char* Data() { return FData; }
  const char* Data() const { return FData; }
  size_t Capacity() const { return FCapacity; }
  size_t Size() const { return FSize; }
  void SetSize(size_t size) { FSize = size; }

private:
  char* FData = nullptr;
  size_t FCapacity = 0;
  size_t FSize = 0;
};

// An allocator for containers that may grow to many megabytes (a document's million lines):
// arrays of a megabyte and more come straight from the system as large blocks.
template <typename T> class TLargeBlockAllocator {
public:
  using value_type = T;
  TLargeBlockAllocator() = default;
  template <typename U> TLargeBlockAllocator(const TLargeBlockAllocator<U>&) {}

  T* allocate(size_t count) {
    const size_t bytes = BytesFor(count, sizeof(T));
    if (IsLarge(bytes))
      return static_cast<T*>(AllocateLargeBlock(bytes));
    return static_cast<T*>(::operator new(bytes));
  }
  void deallocate(T* block, size_t count) {
    const size_t bytes = count * sizeof(T); // allocate checked it
    if (IsLarge(bytes))
      ReleaseLargeBlock(block, bytes);
    else
      ::operator delete(block);
  }
  friend bool operator==(const TLargeBlockAllocator&, const TLargeBlockAllocator&) { return true; }

private:
  static bool IsLarge(size_t bytes) { return bytes >= (size_t{1} << 20); }
};
