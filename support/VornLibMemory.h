// VornLibMemory: large blocks of memory straight from the system, for the object pools.
// POSIX asks for transparent huge pages (far fewer page faults when millions of lines are read);
// Windows takes committed pages from VirtualAlloc.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

// A zero-filled block of at least the given size, aligned to at least 64 bytes; raises
// std::bad_alloc when the system has no memory. Without hugePages, the block is backed by small
// pages only (for a block filled a little at a time while other memory goes back).
void* AllocateLargeBlock(size_t bytes, bool hugePages = true);
void ReleaseLargeBlock(void* block, size_t bytes);
// Gives the system back the whole pages inside [start, start + bytes) of a block from
// AllocateLargeBlock; what they held is gone. The block itself stays valid.
void DiscardLargeBlockPages(void* start, size_t bytes);

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
    if (IsLarge(count))
      return static_cast<T*>(AllocateLargeBlock(count * sizeof(T)));
    return static_cast<T*>(::operator new(count * sizeof(T)));
  }
  void deallocate(T* block, size_t count) {
    if (IsLarge(count))
      ReleaseLargeBlock(block, count * sizeof(T));
    else
      ::operator delete(block);
  }
  friend bool operator==(const TLargeBlockAllocator&, const TLargeBlockAllocator&) { return true; }

private:
  static bool IsLarge(size_t count) { return count * sizeof(T) >= (size_t{1} << 20); }
};
