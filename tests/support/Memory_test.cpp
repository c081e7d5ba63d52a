// The memory units: large blocks from the system and the pools cut from them.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "VornLibMemory.h"
#include "VornLibPool.h"

namespace {

constexpr bool Sanitized = VORN_ADDRESS_SANITIZER != 0;

// A block is the caller's from Allocate to Release; before and after, under AddressSanitizer, a
// use of it is reported.
TEST(Pool, WhatIsNotHandedOutIsPoisoned) {
  TBlockPool pool(24, 8);
  void* first = pool.Allocate();
  void* second = pool.Allocate();
  struct Row {
    const char* Name;
    const void* At;
    bool Poisoned;
  };
  const Row out[] = {
      {"a block handed out", first, false},
      {"its last byte", static_cast<char*>(first) + 23, false},
      {"the block after the last one handed out", static_cast<char*>(second) + 24, Sanitized},
  };
  for (const Row& row : out) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(IsPoisoned(row.At), row.Poisoned);
  }
  pool.Release(first);
  EXPECT_EQ(IsPoisoned(first), Sanitized) << "a block given back";
  EXPECT_FALSE(IsPoisoned(second));
  EXPECT_EQ(pool.Allocate(), first) << "a block given back serves the next one";
  EXPECT_FALSE(IsPoisoned(first));
  pool.Release(first);
  pool.Release(second);
  EXPECT_EQ(IsPoisoned(second), Sanitized) << "the pool emptied";
}

// Large blocks are counted while they are out, and leave no poison where they were.
TEST(LargeBlocks, AreCountedWhileOutAndLeaveNoPoison) {
  const size_t before = LargeBlockBytesInUse();
  const void* at = nullptr;
  {
    TLargeBuffer block(size_t{3} << 20);
    at = block.Data();
    EXPECT_GE(LargeBlockBytesInUse(), before + (size_t{3} << 20));
    PoisonMemory(block.Data(), block.Capacity());
    EXPECT_EQ(IsPoisoned(block.Data() + 4096), Sanitized);
  }
  EXPECT_EQ(LargeBlockBytesInUse(), before);
  TLargeBuffer again(size_t{3} << 20);
  if (again.Data() == at) {
    EXPECT_FALSE(IsPoisoned(again.Data() + 4096)) << "a block mapped where one was given back";
  }
  EXPECT_FALSE(IsPoisoned(again.Data()));
}

TEST(LargeBlocks, SizesThatDoNotFitAreRefused) {
  EXPECT_EQ(BytesFor(3, 8), 24u);
  EXPECT_THROW(BytesFor(SIZE_MAX / 8 + 1, 8), std::bad_alloc);
  EXPECT_THROW(AllocateLargeBlock(SIZE_MAX - 10), std::bad_alloc);
  TLargeBlockAllocator<uint64_t> allocator;
  EXPECT_THROW(allocator.allocate(SIZE_MAX / 4), std::bad_alloc);
}

// Documents on several threads make and free their objects through the same pools at once.
TEST(Pool, ManyThreadsShareOnePool) {
  TBlockPool pool(40, 8);
  std::vector<std::thread> threads;
  std::vector<int> broken(4, 0);
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&pool, &broken, t] {
      std::vector<uint64_t*> held;
      for (int round = 0; round < 20000; ++round) {
        auto* block = static_cast<uint64_t*>(pool.Allocate());
        *block = t * 1000000 + static_cast<uint64_t>(round);
        held.push_back(block);
        if (held.size() == 64 || round % 7 == 0) {
          for (uint64_t* h : held)
            broken[t] += *h / 1000000 != t;
          for (uint64_t* h : held)
            pool.Release(h);
          held.clear();
        }
      }
      for (uint64_t* h : held)
        pool.Release(h);
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(broken, std::vector<int>(4, 0));
}

} // namespace
