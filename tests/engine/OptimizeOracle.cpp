#include "OptimizeOracle.h"

#include <memory>
#include <vector>

#include "uHosts.h"

namespace {

struct TrackedAddress {
  const THostsIP* Address;
  THostItem* OpenLine;
};

TrackedAddress* FindOrAdd(std::vector<std::unique_ptr<TrackedAddress>>& items,
                          const THostsIP* address) {
  if (!address)
    return nullptr;
  for (auto& item : items)
    if (address->SameAddress(item->Address))
      return item.get();
  items.push_back(std::make_unique<TrackedAddress>(TrackedAddress{address, nullptr}));
  return items.back().get();
}

int IndexOfLine(const THosts& hosts, const THostItem* line) {
  for (int i = 0; i < hosts.Count(); ++i)
    if (hosts.Items(i) == line)
      return i;
  return -1;
}

} // namespace

void OptimizeLiterally(THosts& hosts) {
  constexpr int Full = 9;
  std::vector<std::unique_ptr<TrackedAddress>> tracker;
  int i = 0;
  while (i < hosts.Count()) {
    THostItem* line = hosts.Items(i);
    if (!line->IsEntry()) {
      hosts.Delete(i);
      continue;
    }
    if (line->IsCommented()) {
      ++i;
      continue;
    }
    if (line->HasComment())
      line->SetComment(u"");
    // A line whose address text the resolver reads otherwise keeps its names to itself.
    const THostsIP* address = line->Address();
    TrackedAddress* tracked =
        address && address->ResolverReadsAlike() ? FindOrAdd(tracker, address) : nullptr;
    if (!tracked) {
      ++i;
      continue;
    }
    if (!tracked->OpenLine) {
      if (line->NameCount() < Full)
        tracked->OpenLine = line;
      ++i;
      continue;
    }
    int inserted = 0;
    bool removed = false;
    while (line->NameCount() > 0 && tracked->OpenLine && tracked->OpenLine->NameCount() < Full &&
           tracked->OpenLine != line) {
      tracked->OpenLine->AddName(line->ExtractName(0));
      if (line->NameCount() == 0) {
        hosts.Delete(IndexOfLine(hosts, line));
        removed = true;
        if (tracked->OpenLine->NameCount() == Full)
          tracked->OpenLine = nullptr;
        break;
      }
      if (line->NameCount() > Full) {
        const int at = IndexOfLine(hosts, line);
        THostItem* last = nullptr;
        do {
          auto added = std::make_unique<THostItem>(&hosts);
          added->SetAddress(line->Address());
          last = added.get();
          hosts.Insert(at + 1 + inserted, std::move(added));
          ++inserted;
          while (last->NameCount() < Full && line->NameCount() > Full)
            last->AddName(line->ExtractName(0));
        } while (line->NameCount() != Full);
        tracked->OpenLine = last->NameCount() < Full ? last : nullptr;
      } else if (tracked->OpenLine->NameCount() == Full) {
        tracked->OpenLine = line->NameCount() < Full ? line : nullptr;
      }
    }
    if (!removed)
      i = IndexOfLine(hosts, line) + 1 + inserted;
  }
  // Then every active line of more than nine names is cut into lines of nine, in order.
  for (i = 0; i < hosts.Count(); ++i) {
    THostItem* line = hosts.Items(i);
    int at = i;
    while (!line->IsCommented() && line->NameCount() > Full) {
      auto added = std::make_unique<THostItem>(&hosts);
      added->SetAddress(line->Address());
      THostItem* piece = added.get();
      hosts.Insert(++at, std::move(added));
      while (line->NameCount() > Full && piece->NameCount() < Full)
        piece->AddName(line->ExtractName(Full));
    }
  }
}
