// A failing allocator for the engine tests: while a TFailingAllocations lives, allocations are
// counted down, and from the one it names on every allocation raises std::bad_alloc, as when
// memory has run out.
#pragma once

class TFailingAllocations {
public:
  // succeeding: how many allocations still succeed.
  explicit TFailingAllocations(long succeeding);
  ~TFailingAllocations();
  TFailingAllocations(const TFailingAllocations&) = delete;
  TFailingAllocations& operator=(const TFailingAllocations&) = delete;
};
