#include "VornLibMemory.h"

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
