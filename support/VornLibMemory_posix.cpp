#include "VornLibMemory.h"

#include <sys/mman.h>

#include <unistd.h>

#include <cstdint>
#include <new>

namespace {

constexpr size_t HugePage = size_t{2} << 20;

} // namespace

void* AllocateLargeBlock(size_t bytes, bool hugePages) {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  bytes = (bytes + page - 1) / page * page;
  // A block of a huge page or more starts on a huge-page boundary, so that all of it can be
  // backed by huge pages: a little more is mapped, and what lies before and after is given back.
  const size_t slack = hugePages && bytes >= HugePage ? HugePage : 0;
  void* mapped =
      ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED)
    throw std::bad_alloc();
  char* block = static_cast<char*>(mapped);
  if (slack) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(block);
    char* aligned = block + ((HugePage - at % HugePage) % HugePage);
    if (aligned > block)
      ::munmap(block, static_cast<size_t>(aligned - block));
    char* end = static_cast<char*>(mapped) + bytes + slack;
    if (end > aligned + bytes)
      ::munmap(aligned + bytes, static_cast<size_t>(end - (aligned + bytes)));
    block = aligned;
  }
#ifdef MADV_HUGEPAGE
  if (hugePages)
    ::madvise(block, bytes, MADV_HUGEPAGE);
#endif
  return block;
}

void ReleaseLargeBlock(void* block, size_t bytes) {
  ::munmap(block, bytes);
}

void DiscardLargeBlockPages(void* start, size_t bytes) {
  static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) / page * page;
  const uintptr_t last = (reinterpret_cast<uintptr_t>(start) + bytes) / page * page;
  if (last > first)
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}
