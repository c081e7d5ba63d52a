// The merge pass: names of entries that share an address gathered onto lines of at most nine.
// A line still holding more than nine names after the merge (one the merge leaves whole) is cut
// where it stands into lines of nine: Windows reads nine names a line, and a long line costs a
// reader such as dnsmasq time that grows with the square of its length.
//
// The pass walks the lines and builds the new line list as it goes: lines that go are not
// carried over, and the lines a split makes follow the split line. Names move in runs rather than
// one at a time; each run ends exactly where moving one name at a time would change course (the
// receiving line fills up, the line runs empty, or it must be split), so the result is the same
// line for line and name for name.
#include <algorithm>
#include <cassert>
#include <climits>
#include <cstddef>
#include <stdexcept>
#include <unordered_map>

#include "uHosts.h"
#include "uHosts_LineSlabs.h"
#include "uHosts_NameRoom.h"
#include "uHosts_TextArena.h"

namespace {

constexpr int MaxNames = static_cast<int>(TNameRoom::Names); // nine names make a line full

struct TAddressHash {
  size_t operator()(const THostsIP* address) const { return address->Hash(); }
};
struct TAddressEqual {
  bool operator()(const THostsIP* a, const THostsIP* b) const { return a->SameAddress(b); }
};

} // namespace

// The hash index answers what a scan from the first item would: items are only added for an
// address that no item has yet, so no two items hold the same address.
struct TIPTracker::TIndex {
  std::unordered_map<const THostsIP*, int, TAddressHash, TAddressEqual> Map;
  const THostsIP* LastAddress = nullptr; // blocklists repeat one address line after line
  int LastIndex = -1;
};

TIPTracker::TIPTracker() : FIndex(std::make_unique<TIndex>()) {}
TIPTracker::~TIPTracker() = default;

TIPTrackerItem* TIPTracker::Items(int index) const {
  if (index < 0 || index >= Count())
    return nullptr;
  return FItems[static_cast<size_t>(index)].get();
}

int TIPTracker::IndexOf(const THostsIP* address) const {
  if (!address || FItems.empty())
    return -1;
  // Lines that read the same text share one value: most lines are found by the pointer alone.
  if (FIndex->LastAddress &&
      (address == FIndex->LastAddress || address->SameAddress(FIndex->LastAddress)))
    return FIndex->LastIndex;
  const auto found = FIndex->Map.find(address);
  if (found == FIndex->Map.end())
    return -1;
  FIndex->LastAddress = FItems[static_cast<size_t>(found->second)]->Address;
  FIndex->LastIndex = found->second;
  return found->second;
}

TIPTrackerItem* TIPTracker::FindOrAdd(const THostsIP* address) {
  if (!address)
    return nullptr;
  const int index = IndexOf(address);
  if (index >= 0)
    return FItems[static_cast<size_t>(index)].get();
  // One item an address of the lines, which the int counts of a document can tell.
  if (FItems.size() >= static_cast<size_t>(INT_MAX))
    throw std::length_error("more addresses than a document holds lines");
  auto item = std::make_unique<TIPTrackerItem>();
  item->Address = address;
  const int added = Count();
  FIndex->Map.emplace(address, added);
  FIndex->LastAddress = address;
  FIndex->LastIndex = added;
  FItems.push_back(std::move(item));
  return FItems.back().get();
}

namespace {

// A line whose names the merge may move: an active entry whose address text the system's
// resolver reads as the same address. Any other entry keeps its own names, receives none and
// gives none away (the resolver would not find them on a line it cannot read).
bool JoinsTheMerge(const THostItem& line) {
  return !line.IsCommented() && line.Address() && line.Address()->ResolverReadsAlike();
}

} // namespace

// The merge pass over one document. The new list is built beside the old one: every line of the
// old list is kept in the new one, in order, or goes; the lines a split or a cut makes follow the
// line they came from.
//
// The pass goes twice over the lines. The plan counts names only and takes, while the document is
// still untouched, everything that may fail: the tracker's items, the room for nine names for each
// line that will receive names (uHosts_NameRoom.h), the lines the splits and cuts will make, a
// slab for the lines kept and room for the new list's runs. Running out of memory there leaves the
// document as it was, and what the plan took goes back (THosts::Optimize). The walk then moves the
// names and builds the list without taking any memory, so it cannot fail halfway.
//
// The walk moves every line it keeps into the slab the plan took, and the lines that go leave
// theirs: the slabs of the lines read so far go back to the system while the walk goes on, and the
// room for names is touched only as it fills. So the pass needs little more memory than the lines
// it started with.
class THosts::TMergePass {
public:
  explicit TMergePass(THosts& hosts) : FHosts(hosts), FRoom(*hosts.FText, *hosts.FSlabs) {}

  void Run() {
    Plan();
    Walk();
  }

private:
  // The same decisions as the walk, on counts: OpenLine of each tracker item is the line that
  // would receive names, FOpenCount the names it would hold.
  void Plan() {
    size_t lines = 0;
    FHosts.FLines.ForEach([&](THostItem& line) {
      if (!line.IsEntry())
        return;
      ++lines;
      if (!JoinsTheMerge(line)) {
        if (!line.IsCommented())
          PlanCut(line, lines);
        return;
      }
      const size_t index = TrackedIndex(line.Address());
      TIPTrackerItem& tracked = *FTracker.Items(static_cast<int>(index));
      if (index >= FOpenCount.size()) {
        FOpenCount.resize(index + 1, 0);
        FRoomCounted.resize(index + 1, 0);
      }
      int& openCount = FOpenCount[index];
      uint8_t& roomCounted = FRoomCounted[index];
      int n = line.NameCount();
      if (!tracked.OpenLine) {
        if (n < MaxNames) {
          tracked.OpenLine = &line;
          openCount = n;
          roomCounted = 0;
        }
        PlanCut(line, lines);
        return;
      }
      while (n > 0 && tracked.OpenLine && openCount < MaxNames && tracked.OpenLine != &line) {
        // A line that receives names fills up to nine.
        if (!roomCounted) {
          roomCounted = 1;
          if (THostItem::TNames::NeedRoomFor(*tracked.OpenLine, MaxNames))
            ++FRooms;
        }
        if (n > MaxNames + 1) {
          ++openCount;
          --n;
          int last = 0;
          while (n > MaxNames) {
            last = std::min(MaxNames, n - MaxNames);
            auto added = FHosts.NewLine();
            added->ShareAddress(line);
            FMade.push_back(std::move(added));
            ++FRooms;
            ++lines;
            n -= last;
          }
          tracked.OpenLine = last < MaxNames ? FMade.back().get() : nullptr;
          openCount = last;
          roomCounted = 1; // a new line has its room counted
          continue;
        }
        const int take = std::min(MaxNames - openCount, n);
        openCount += take;
        n -= take;
        if (n == 0) {
          if (openCount == MaxNames)
            tracked.OpenLine = nullptr;
          --lines; // the line runs empty and goes
          break;
        }
        if (openCount == MaxNames) {
          tracked.OpenLine = n < MaxNames ? &line : nullptr;
          openCount = n;
          roomCounted = 0;
        }
      }
    });
    for (int i = 0; i < FTracker.Count(); ++i)
      FTracker.Items(i)->OpenLine = nullptr;
    FKept.ReserveRuns(lines); // at most a run a line
    FRoom.Reserve(FRooms);
    FHosts.FSlabs->Reserve(lines);
    FRoom.Commit(); // the last step that may fail
  }

  // The lines that cutting a line of more than nine names makes, with room for their names.
  void PlanCut(const THostItem& line, size_t& lines) {
    const int n = line.NameCount();
    for (int rest = n - MaxNames; rest > 0; rest -= MaxNames) {
      auto added = FHosts.NewLine();
      added->ShareAddress(line);
      FMade.push_back(std::move(added));
      ++FRooms;
      ++lines;
    }
  }

  // Every line of the old list is taken over: it goes, or it is kept in the new list.
  void Walk() {
    TLineList& old = FHosts.FLines;
    old.ForEach([&](THostItem& item) {
      std::unique_ptr<THostItem> slot(&item);
      THostItem* line = slot.get();
      if (!line->IsEntry())
        return; // blank, comment and invalid lines go
      if (line->IsCommented()) {
        Keep(std::move(slot)); // commented-out entries stay as they are
        return;
      }
      if (line->HasComment())
        line->SetComment(u"");

      if (!JoinsTheMerge(*line)) {
        Cut(*Keep(std::move(slot)));
        return;
      }
      TIPTrackerItem* tracked = FTracker.Items(static_cast<int>(TrackedIndex(line->Address())));
      if (!tracked->OpenLine) {
        // Met while its address has no open line: never split, open when it has room.
        const bool open = line->NameCount() < MaxNames;
        THostItem* kept = Keep(std::move(slot));
        if (open)
          tracked->OpenLine = kept;
        else
          Cut(*kept);
        return;
      }
      FInsertedFrom = FNextMade;
      if (MergeLine(*line, *tracked))
        return; // the line ran empty and goes
      THostItem* kept = Keep(std::move(slot));
      if (tracked->OpenLine == line)
        tracked->OpenLine = kept;
      KeepInserted();
    });
    old.Forget();
    old.Swap(FKept);
    // The plan decided as the walk did: every line it made and every room it took is used.
    assert(FNextMade == FMade.size() && FRoom.Left() == 0);
  }

  // Moves the line's names onto the open line of its address, as long as there is one with room;
  // true when the line ran empty and goes.
  bool MergeLine(THostItem& line, TIPTrackerItem& tracked) {
    int n = line.NameCount();
    while (n > 0 && tracked.OpenLine && tracked.OpenLine->NameCount() < MaxNames &&
           tracked.OpenLine != &line) {
      THostItem* open = tracked.OpenLine;
      if (n > MaxNames + 1) {
        Split(line, *open, n, tracked);
        continue;
      }
      // Without a split, names flow until the open line is full or this line is empty.
      GiveRoom(*open);
      const int take = std::min(MaxNames - open->NameCount(), n);
      line.TransferNames(take, *open);
      n -= take;
      if (n == 0) {
        if (open->NameCount() == MaxNames)
          tracked.OpenLine = nullptr;
        return true;
      }
      if (open->NameCount() == MaxNames)
        tracked.OpenLine = n < MaxNames ? &line : nullptr;
    }
    return false;
  }

  // One name moves to the open line, and the line, still over nine, is split: new lines behind
  // it (made by the plan) take its first names, nine each, until it holds nine itself. Each name
  // moves once; the places they leave go in one step at the end.
  void Split(THostItem& line, THostItem& open, int& n, TIPTrackerItem& tracked) {
    size_t from = 0;
    GiveRoom(open);
    THostItem::TNames::MoveTo(line, from++, 1, open);
    open.FFlags |= THostItem::Entry;
    --n;
    while (n > MaxNames) {
      THostItem& added = *FMade[FNextMade++];
      const int take = std::min(MaxNames, n - MaxNames);
      GiveRoom(added);
      THostItem::TNames::MoveTo(line, from, static_cast<size_t>(take), added);
      added.FFlags |= THostItem::Entry;
      from += static_cast<size_t>(take);
      n -= take;
    }
    THostItem::TNames::EraseFront(line, from);
    THostItem* last = FMade[FNextMade - 1].get();
    tracked.OpenLine = last->NameCount() < MaxNames ? last : nullptr;
  }

  // A line kept whole with more than nine names is cut where it stands: it keeps its first nine,
  // and new lines behind it (made by the plan) take the rest in order, nine each, the last
  // holding what is left. The new lines receive no names from the merge.
  void Cut(THostItem& line) {
    const size_t n = static_cast<size_t>(line.NameCount());
    if (n <= MaxNames)
      return;
    FInsertedFrom = FNextMade;
    for (size_t from = MaxNames; from < n; from += MaxNames) {
      THostItem& added = *FMade[FNextMade++];
      GiveRoom(added);
      THostItem::TNames::MoveTo(line, from, std::min<size_t>(MaxNames, n - from), added);
      added.FFlags |= THostItem::Entry;
    }
    THostItem::TNames::EraseFrom(line, MaxNames);
    KeepInserted();
  }

  // The tracker's item for the address, added when new. Lines that read the same text share one
  // value, and most lines repeat the address of the line before: that one is known at once.
  size_t TrackedIndex(const THostsIP* address) {
    if (address == FLastAddress)
      return FLastIndex;
    int found = FTracker.IndexOf(address);
    if (found < 0) {
      FTracker.FindOrAdd(address);
      found = FTracker.Count() - 1;
    }
    FLastAddress = address;
    FLastIndex = static_cast<size_t>(found);
    return FLastIndex;
  }

  // Room for nine names on a line about to receive names, from the plan's room.
  void GiveRoom(THostItem& line) {
    if (THostItem::TNames::NeedRoomFor(line, MaxNames))
      FRoom.Give(line);
  }

  // The line goes into the new list, moved into the slab the plan took; returns where it is.
  THostItem* Keep(std::unique_ptr<THostItem> line) {
    line = FHosts.MoveToNewestSlab(std::move(line));
    THostItem* kept = line.get();
    assert(FKept.AppendTakesNoMemory(kept));
    FKept.Append(line); // within the runs the plan took
    return kept;
  }

  // The lines the current line's splits made follow it.
  void KeepInserted() {
    for (size_t k = FInsertedFrom; k < FNextMade; ++k) {
      assert(FKept.AppendTakesNoMemory(FMade[k].get()));
      FKept.Append(FMade[k]);
    }
  }

  THosts& FHosts;
  TIPTracker FTracker;
  const THostsIP* FLastAddress = nullptr; // the address TrackedIndex found last, and its item
  size_t FLastIndex = 0;
  std::vector<int> FOpenCount;                   // by tracker item, in the plan
  std::vector<uint8_t> FRoomCounted;             // by tracker item: the open line's room is counted
  size_t FRooms = 0;                             // lines the plan counted that receive names
  TNameRoom FRoom;                               // their room
  TLineList FKept;                               // the new list
  std::vector<std::unique_ptr<THostItem>> FMade; // the lines splits make, in order
  size_t FNextMade = 0;                          // the next one a split takes
  size_t FInsertedFrom = 0;                      // the first one the current line's splits took
};

void THosts::Optimize() {
  if (Watching() || FLines.Size() == 0)
    return;
  // What the pass took in advance and did not use goes back: all of it when it failed.
  struct TTrim {
    TLineSlabs& Slabs;
    ~TTrim() { Slabs.Trim(); }
  } trim{*FSlabs};
  TMergePass(*this).Run();
}
