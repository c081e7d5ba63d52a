// uHosts: the slabs a document's lines sit in.
#include "uHosts_LineSlabs.h"

#include <algorithm>

TLineSlabs::~TLineSlabs() {
  for (const TSlab& slab : FSlabs) {
    assert(slab.Live == 0 && "every line goes before its slabs");
    ReleaseLargeBlock(slab.Base, slab.Bytes);
  }
}

size_t TLineSlabs::SlabOf(const char* at) {
  // Lines mostly go in the order they sit: the slab of the line before is looked at first,
  // else the slab whose start is the last one at or before the line.
  if (FHint >= FSlabs.size() || at < FSlabs[FHint].Base ||
      at >= FSlabs[FHint].Base + FSlabs[FHint].Bytes) {
    const auto after = std::upper_bound(FSlabs.begin(), FSlabs.end(), at,
                                        [](const char* a, const TSlab& s) { return a < s.Base; });
    FHint = static_cast<size_t>(after - FSlabs.begin()) - 1;
  }
  return FHint;
}

void TLineSlabs::Release(void* line) {
  char* at = static_cast<char*>(line);
  const size_t index = SlabOf(at);
  const auto slab = FSlabs.begin() + static_cast<std::ptrdiff_t>(index);
  assert(index < FSlabs.size() && at >= slab->Base && at < slab->Base + slab->Bytes &&
         static_cast<size_t>(at - slab->Base) % LineBytes == 0 && slab->Live > 0);
  PoisonMemory(at, LineBytes);
  if (index == FCurrent && at + LineBytes == FNext)
    FNext = at;
  if (--slab->Live > 0)
    return;
  if (index == FCurrent) {
    FNext = slab->Base; // empty: filled again from its start
    return;
  }
  if (FHoldEmpty && FEmpty.empty()) // one waits at most; the others go back at once
    FEmpty.push_back(TLargeBuffer::Adopt(slab->Base, slab->Bytes)); // within the room reserved
  else
    ReleaseLargeBlock(slab->Base, slab->Bytes);
  FSlabs.erase(slab);
  if (FCurrent != None && FCurrent > index)
    --FCurrent;
}

void TLineSlabs::Reserve(size_t count) {
  if (static_cast<size_t>(FEnd - FNext) / LineBytes < count)
    AddSlab(std::max(count, SlabBytes / LineBytes), false);
#ifndef NDEBUG
  FReserved = count;
#endif
}

size_t TLineSlabs::HoldEmpty() {
  FEmpty.reserve(1);
  FHoldEmpty = true;
  return FSlabs.size();
}

TLargeBuffer TLineSlabs::TakeEmpty() {
  if (FEmpty.empty())
    return TLargeBuffer();
  TLargeBuffer slab = std::move(FEmpty.back());
  FEmpty.pop_back();
  return slab;
}

void TLineSlabs::StopHoldingEmpty() noexcept {
  FEmpty.clear();
  FHoldEmpty = false;
}

void TLineSlabs::Trim() noexcept {
  StopHoldingEmpty();
  FReserved = 0;
  if (FCurrent == None || FSlabs[FCurrent].Live != 0)
    return;
  ReleaseLargeBlock(FSlabs[FCurrent].Base, FSlabs[FCurrent].Bytes);
  FSlabs.erase(FSlabs.begin() + static_cast<std::ptrdiff_t>(FCurrent));
  FCurrent = None;
  FNext = FEnd = nullptr;
  FHint = 0;
}

void TLineSlabs::AddSlab(size_t lines, bool hugePages) {
  assert(FReserved == 0 && "a reserve takes no more memory");
  const size_t bytes = BytesFor(lines, LineBytes);
  FSlabs.reserve(FSlabs.size() + 1); // no failure after the block is taken
  char* base = static_cast<char*>(AllocateLargeBlock(bytes, hugePages));
  PoisonMemory(base, bytes);
  // The slab being filled goes when it is empty.
  if (FCurrent != None && FSlabs[FCurrent].Live == 0) {
    ReleaseLargeBlock(FSlabs[FCurrent].Base, FSlabs[FCurrent].Bytes);
    FSlabs.erase(FSlabs.begin() + static_cast<std::ptrdiff_t>(FCurrent));
  }
  auto at = std::upper_bound(FSlabs.begin(), FSlabs.end(), base,
                             [](const char* a, const TSlab& s) { return a < s.Base; });
  FCurrent = static_cast<size_t>(FSlabs.insert(at, TSlab{base, bytes, 0}) - FSlabs.begin());
  FNext = base;
  FEnd = base + bytes;
}
