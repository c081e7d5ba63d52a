#include "VornLibMemory.h"

#include <cstdint>
#include <new>
#include <utility>
#include <windows.h>

void* AllocateLargeBlock(size_t bytes, bool) {
  void* block = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!block)
    throw std::bad_alloc();
  return block;
}

void ReleaseLargeBlock(void* block, size_t) {
  VirtualFree(block, 0, MEM_RELEASE);
}

namespace {

// The whole pages inside [start, start + bytes): where they start, and how many bytes they hold.
std::pair<void*, size_t> WholePages(void* start, size_t bytes) {
  static const uintptr_t page = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<uintptr_t>(info.dwPageSize);
  }();
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) / page * page;
  const uintptr_t last = (reinterpret_cast<uintptr_t>(start) + bytes) / page * page;
  return {reinterpret_cast<void*>(first), last > first ? last - first : 0};
}

} // namespace

void DiscardLargeBlockPages(void* start, size_t bytes) {
  const auto [first, length] = WholePages(start, bytes);
  if (length)
    VirtualFree(first, length, MEM_DECOMMIT);
}
