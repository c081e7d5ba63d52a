// The memory machinery behind the document, held to its contracts: the slabs of lines, the list
// of runs, the text arena and the room for merged names.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "VornLibMemory.h"
#include "uHosts.h"
#include "uHosts_LineSlabs.h"
#include "uHosts_NameRoom.h"
#include "uHosts_RunList.h"
#include "uHosts_TextArena.h"

namespace {

constexpr bool Sanitized = VORN_ADDRESS_SANITIZER != 0;

// A count of lines or rooms whose bytes do not fit in a size_t is refused, never taken as the
// small number the multiplication wraps around to.
TEST(Memory, RoomThatDoesNotFitInMemoryIsRefused) {
  TLineSlabs slabs;
  EXPECT_THROW(slabs.Reserve(SIZE_MAX / TLineSlabs::LineBytes + 1), std::bad_alloc);
  TTextArena arena;
  TNameRoom room(arena, slabs);
  EXPECT_THROW(room.Reserve(SIZE_MAX / TNameRoom::RoomBytes() + 1), std::bad_alloc);
}

// A list holds no more objects than its counts can tell: one more is refused, and stays with
// the caller.
TEST(Memory, AListHoldsNoMoreThanItsLimit) {
  struct TItem {
    int Value;
  };
  TRunList<TItem, 3> list;
  for (int i = 0; i < 3; ++i) {
    auto item = std::make_unique<TItem>(TItem{i});
    list.Append(item);
  }
  auto more = std::make_unique<TItem>(TItem{3});
  EXPECT_THROW(list.Append(more), std::length_error);
  EXPECT_THROW(list.Insert(0, more), std::length_error);
  ASSERT_NE(more, nullptr);
  EXPECT_EQ(list.Size(), 3u);
  EXPECT_EQ(list.Get(0)->Value, 0);
  list.Erase(0);
  list.Insert(0, more);
  EXPECT_EQ(more, nullptr);
  EXPECT_EQ(list.Get(0)->Value, 3);
}

// Places of lines not handed out, or given back, are poisoned; a line's place is its own from
// Allocate to Release.
TEST(Memory, SlabPlacesArePoisonedUnlessHandedOut) {
  TLineSlabs slabs;
  void* first = slabs.Allocate();
  void* second = slabs.Allocate();
  const char* next = static_cast<char*>(second) + TLineSlabs::LineBytes;
  EXPECT_FALSE(IsPoisoned(first));
  EXPECT_FALSE(IsPoisoned(static_cast<char*>(second) + TLineSlabs::LineBytes - 1));
  EXPECT_EQ(IsPoisoned(next), Sanitized) << "the place after the last one handed out";
  slabs.Release(first);
  EXPECT_EQ(IsPoisoned(first), Sanitized) << "a place given back";
  slabs.Release(second);
}

// The text arena poisons what it has not handed out, and a text it stored stays where it is.
TEST(Memory, TheTextArenaHandsOutWhatItStores) {
  TTextArena arena;
  bool wide = false;
  const auto* a = static_cast<const char*>(arena.Store("abc", 3, wide));
  const auto* b = static_cast<const char*>(arena.Store("defgh", 5, wide));
  EXPECT_EQ(std::string(a, 3), "abc");
  EXPECT_EQ(std::string(b, 5), "defgh");
  EXPECT_EQ(IsPoisoned(b + 5 + 8), Sanitized) << "beyond the last text";
  const TTextArena::TMark mark = arena.Mark();
  const auto* c = static_cast<const char*>(arena.Store("ijklmnop", 8, wide));
  EXPECT_EQ(std::string(c, 8), "ijklmnop");
  arena.Release(mark);
  EXPECT_EQ(IsPoisoned(c + 4), Sanitized) << "a text stored after the mark";
  EXPECT_EQ(std::string(b, 5), "defgh");
}

#if VORN_ADDRESS_SANITIZER
// A use of memory given back is reported by the sanitizer build, which runs the slabs, pools and
// arenas of the release build.
TEST(MemoryDeathTest, AUseOfALineGivenBackIsReported) {
  struct Row {
    const char* Name;
    std::string Input;
    int Line;
    bool Delete; // else the line gets more names, and its old array goes back to its pool
  };
  const Row rows[] = {
      {"a line deleted from its document (its place in a slab)", "0.0.0.0 a\n1.2.3.4 b\n", 0, true},
      {"a name of a line that grew (its array in a pool)", "0.0.0.0 a b\n", 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    THosts hosts;
    hosts.LoadFromBytes(row.Input);
    THostItem* line = hosts.Items(row.Line);
    const THostName* name = line->GetName(0);
    if (row.Delete) {
      hosts.Delete(row.Line);
    } else {
      for (int i = 0; i < 3; ++i)
        line->AddName(std::make_unique<THostName>());
    }
    EXPECT_DEATH(
        {
          volatile size_t sink =
              row.Delete ? static_cast<size_t>(line->NameCount()) : name->Length();
          (void)sink;
        },
        "use-after-poison");
  }
}
#endif

} // namespace
