#include "VornLibMemory.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>
#include <windows.h>

namespace {

uintptr_t PageSize() {
  static const uintptr_t page = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<uintptr_t>(info.dwPageSize);
  }();
  return page;
}

size_t RoundedToPages(size_t bytes) {
  const size_t page = PageSize();
  return (bytes + page - 1) / page * page;
}

// The whole pages inside [start, start + bytes): where they start, and how many bytes they hold.
std::pair<void*, size_t> WholePages(void* start, size_t bytes) {
  const uintptr_t page = PageSize();
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) / page * page;
  const uintptr_t last = (reinterpret_cast<uintptr_t>(start) + bytes) / page * page;
  return {reinterpret_cast<void*>(first), last > first ? last - first : 0};
}

std::atomic<size_t> BytesInUse{0};

} // namespace

void* AllocateLargeBlock(size_t bytes, bool) {
  const size_t rounded = RoundedToPages(bytes);
  if (rounded == 0)
    throw std::bad_array_new_length(); // the size wrapped around
  void* block = VirtualAlloc(nullptr, rounded, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!block)
    throw std::bad_alloc();
  BytesInUse.fetch_add(rounded, std::memory_order_relaxed);
  return block;
}

void ReleaseLargeBlock(void* block, size_t bytes) {
  VirtualFree(block, 0, MEM_RELEASE);
  BytesInUse.fetch_sub(RoundedToPages(bytes), std::memory_order_relaxed);
}

void DiscardLargeBlockPages(void* start, size_t bytes) {
  const auto [first, length] = WholePages(start, bytes);
  if (length)
    VirtualFree(first, length, MEM_DECOMMIT);
}

size_t LargeBlockBytesInUse() {
  return BytesInUse.load(std::memory_order_relaxed);
}
