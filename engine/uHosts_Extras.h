// uHosts: what few lines have (an address value of their own, a comment), held beside the lines
// in a table found by the line's place, so that the many lines without them do not pay for them.
// (Inside the engine only.)
//
// What a table owns: an extra for each line that has one. A document has one table for its
//   lines; the lines without a document share one table.
// What a caller may hold: an extra, while its line has it and stays where it is.
// What ends it: Drop (the line goes, or starts over); a line that moves takes its extra along
//   with Move, which takes no memory.
// Threads: a document's table is used by one thread at a time (the document's). The table of
//   the lines without a document is shared by every thread: each call takes its lock (an extra
//   found is then the calling thread's, as its line is).
// Checks (assert): an extra made, moved or dropped is where the line says it is.
#pragma once

#include <cassert>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "uHosts.h"

struct TExtra {
  std::unique_ptr<THostsIP> OwnAddress; // the line's address when it has a value of its own
  std::u16string Comment;
};

class TExtraTable {
public:
  explicit TExtraTable(bool shared = false)
      : FLock(shared ? std::make_unique<std::mutex>() : nullptr) {}
  TExtraTable(const TExtraTable&) = delete;
  TExtraTable& operator=(const TExtraTable&) = delete;

  // The line's extra; none when it has none.
  TExtra* Find(const THostItem* line) {
    const TGuard guard(FLock.get());
    const auto found = FPlaces.find(line);
    return found == FPlaces.end() ? nullptr : &found->second;
  }
  // The line's extra, made empty when it had none.
  TExtra& Make(const THostItem* line) {
    const TGuard guard(FLock.get());
    return FPlaces[line];
  }
  void Drop(const THostItem* line) noexcept {
    const TGuard guard(FLock.get());
    [[maybe_unused]] const size_t dropped = FPlaces.erase(line);
    assert(dropped == 1);
  }
  // The extra of the line at from is found under to.
  void Move(const THostItem* from, const THostItem* to) noexcept {
    const TGuard guard(FLock.get());
    auto extra = FPlaces.extract(from);
    assert(!extra.empty() && FPlaces.find(to) == FPlaces.end());
    extra.key() = to;
    FPlaces.insert(std::move(extra)); // a node of its own: no memory taken
  }

private:
  struct TGuard {
    explicit TGuard(std::mutex* lock) : Lock(lock) {
      if (Lock)
        Lock->lock();
    }
    ~TGuard() {
      if (Lock)
        Lock->unlock();
    }
    TGuard(const TGuard&) = delete;
    TGuard& operator=(const TGuard&) = delete;
    std::mutex* Lock;
  };

  std::unordered_map<const THostItem*, TExtra> FPlaces;
  std::unique_ptr<std::mutex> FLock; // the shared table only
};
