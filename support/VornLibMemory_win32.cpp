#include "VornLibMemory.h"

#include <cstdint>
#include <new>
#include <windows.h>

void* AllocateLargeBlock(size_t bytes) {
  void* block = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!block)
    throw std::bad_alloc();
  return block;
}

void ReleaseLargeBlock(void* block, size_t) {
  VirtualFree(block, 0, MEM_RELEASE);
}

void DiscardLargeBlockPages(void* start, size_t bytes) {
  static const uintptr_t page = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<uintptr_t>(info.dwPageSize);
  }();
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) / page * page;
  const uintptr_t last = (reinterpret_cast<uintptr_t>(start) + bytes) / page * page;
  if (last > first)
    VirtualFree(reinterpret_cast<void*>(first), last - first, MEM_DECOMMIT);
}
