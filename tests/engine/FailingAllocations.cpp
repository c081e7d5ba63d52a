// The engine tests' operator new and delete, with the countdown of TFailingAllocations. In a
// file of their own, so that no caller sees both the allocation and the free.
#include "FailingAllocations.h"

#include <cstdlib>
#include <new>

namespace {
long AllocationsLeft = -1; // -1: none fails
} // namespace

TFailingAllocations::TFailingAllocations(long succeeding) {
  AllocationsLeft = succeeding;
}

TFailingAllocations::~TFailingAllocations() {
  AllocationsLeft = -1;
}

void* operator new(std::size_t size) {
  if (AllocationsLeft == 0)
    throw std::bad_alloc();
  if (AllocationsLeft > 0)
    --AllocationsLeft;
  if (void* block = std::malloc(size == 0 ? 1 : size))
    return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
