#include "VornLibMemory.h"

#include <sys/mman.h>

#include <new>

void* AllocateLargeBlock(size_t bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  ::madvise(block, bytes, MADV_HUGEPAGE);
#endif
  return block;
}

void ReleaseLargeBlock(void* block, size_t bytes) {
  ::munmap(block, bytes);
}
