#include "VornLibMemory.h"

#include <sys/mman.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace {

constexpr size_t HugePage = size_t{2} << 20;

size_t PageSize() {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

size_t WholePages(size_t bytes) {
  const size_t page = PageSize();
  return (bytes + page - 1) / page * page;
}

std::atomic<size_t> BytesInUse{0};

} // namespace

void* AllocateLargeBlock(size_t bytes, bool hugePages) {
  bytes = WholePages(bytes);
  if (bytes == 0)
    throw std::bad_array_new_length(); // the size wrapped around
  // A block of a huge page or more starts on a huge-page boundary, so that all of it can be
  // backed by huge pages: a little more is mapped, and what lies before and after is given back.
  const size_t slack = hugePages && bytes >= HugePage ? HugePage : 0;
  if (bytes + slack < bytes)
    throw std::bad_array_new_length();
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
  BytesInUse.fetch_add(bytes, std::memory_order_relaxed);
  return block;
}

void ReleaseLargeBlock(void* block, size_t bytes) {
  bytes = WholePages(bytes);
  // The next block mapped here must not find the poison of this one.
  UnpoisonMemory(block, bytes);
  ::munmap(block, bytes);
  BytesInUse.fetch_sub(bytes, std::memory_order_relaxed);
}

void DiscardLargeBlockPages(void* start, size_t bytes) {
  const uintptr_t page = PageSize();
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) / page * page;
  const uintptr_t last = (reinterpret_cast<uintptr_t>(start) + bytes) / page * page;
  if (last > first)
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

size_t LargeBlockBytesInUse() {
  return BytesInUse.load(std::memory_order_relaxed);
}
