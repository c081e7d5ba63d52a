// uHosts: the tracker of the merge pass (THosts::Optimize): every distinct address met so far and
// the line that receives its names. Behind uHosts.h.
//
// What it owns: its items. What a caller may hold: an item, and the line and address it names,
// for as long as the tracker lives and those lines stay where they are (it refers to them, never
// owns them). Threads: one thread at a time, also for IndexOf (it remembers the address found
// last).
#pragma once

#include <memory>
#include <vector>

class THostsIP;
class THostItem;

// For one address met by the merge pass: the line that currently receives its names.
struct TIPTrackerItem {
  const THostsIP* Address = nullptr; // not owned
  THostItem* OpenLine = nullptr;     // not owned
};

// Every distinct address met so far, in the order first met.
class TIPTracker {
public:
  TIPTracker();
  ~TIPTracker();
  TIPTracker(const TIPTracker&) = delete;
  TIPTracker& operator=(const TIPTracker&) = delete;

  // The item of this address, or a new one appended for it; none for none.
  TIPTrackerItem* FindOrAdd(const THostsIP* address);
  // Index of the first item whose address is the same address; -1 when none.
  int IndexOf(const THostsIP* address) const;
  int Count() const { return static_cast<int>(FItems.size()); } // no more than the lines
  TIPTrackerItem* Items(int index) const;

private:
  struct TIndex;
  std::vector<std::unique_ptr<TIPTrackerItem>> FItems;
  std::unique_ptr<TIndex> FIndex; // address -> first item, beside the ordered list
};
