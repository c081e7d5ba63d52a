// uHosts: the line that holds a name, found from where the name is stored. Behind uHosts.h.
//
// Names are made by the million and moved between lines in the merge pass, so a name holds no
// pointer of its own: it holds the distance to its line, or to the header of its line's name
// array, which knows the line (uHosts_Names.h).
//
// What it owns: nothing. What a caller may hold: nothing of its own: it cannot be copied out of
// the name (a copy elsewhere would find no line), only compared or turned into the line. What
// changes it: the line sets it again wherever it puts the name (the name moves, or its line).
#pragma once

#include <cstddef>
#include <cstdint>

class THostItem;

class TNameOwner {
public:
  TNameOwner(const TNameOwner&) = delete;
  TNameOwner& operator=(const TNameOwner&) = delete;
  operator THostItem*() const { return Get(); }
  THostItem* operator->() const { return Get(); }
  friend bool operator==(const TNameOwner& owner, const THostItem* line) {
    return owner.Get() == line;
  }
  friend bool operator==(const TNameOwner& owner, THostItem* line) { return owner.Get() == line; }
  friend bool operator==(const TNameOwner& owner, std::nullptr_t) { return owner.FDelta == 0; }

private:
  friend class THostItem;
  friend class THostName;
  TNameOwner() = default;
  THostItem* Get() const;
  // Points at the line itself, or (indirect) at a place that holds the line's address.
  void Set(const void* target, bool indirect);
  void Clear() { FDelta = 0; }
  int32_t FDelta = 0; // 0: none; bit 0: indirect
};
