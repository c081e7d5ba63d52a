// uHosts: the list of a document's lines, held as runs of lines that sit one after another in
// memory. A document makes its lines in its slabs in the order they are read, and the merge pass
// moves the lines it keeps into a slab in the order it keeps them, so a million lines are a
// handful of runs rather than a million pointers. (Inside the engine only.)
//
// What it owns: the objects in it, which it destroys with delete; its array of runs.
// What a caller may hold: a pointer to an object for as long as the object is in the list (the
//   list never moves an object); an index until the next Append, Insert or Erase at or before it.
// What ends an object's place in it: Erase, Truncate and Clear destroy the objects they remove;
//   Forget lets go of every object without destroying any (the caller has taken them over).
// Limits: at most MaxCount objects; an Append or Insert beyond raises std::length_error and
//   leaves the list and the object as they were.
// Threads: one thread at a time while the list changes; its const operations may run on any
//   number of threads at once (the run found last is remembered in a relaxed atomic).
// Checks (assert, in debug and sanitizer builds): no run is empty, each run starts where the
//   runs before it end, and an index asked for lies in the list.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

template <typename T, size_t MaxCount> class TRunList {
public:
  TRunList() = default;
  TRunList(const TRunList&) = delete;
  TRunList& operator=(const TRunList&) = delete;
  ~TRunList() { Clear(); }

  size_t Size() const { return FCount; }

  T* Get(size_t index) const {
    assert(index < FCount);
    const TRun& run = FRuns[Find(index)];
    return run.At(index - run.Start);
  }

  // Every object in order.
  template <typename Visit> void ForEach(Visit&& visit) const {
    for (const TRun& run : FRuns)
      for (size_t k = 0; k < run.Count; ++k)
        visit(*run.At(k));
  }

  // Room for runs more runs: what is added within it takes no memory.
  void ReserveRuns(size_t runs) { FRuns.reserve(FRuns.size() + runs); }
  // Whether appending the object takes no memory.
  bool AppendTakesNoMemory(const T* object) const {
    return FRuns.size() < FRuns.capacity() || (!FRuns.empty() && FRuns.back().End() == object);
  }

  // Appends the object; on failure it stays with the caller.
  void Append(std::unique_ptr<T>& object) {
    CheckRoom();
    if (!FRuns.empty() && FRuns.back().End() == object.get()) {
      ++FRuns.back().Count;
    } else {
      FRuns.push_back(TRun{object.get(), 1, FCount});
    }
    object.release();
    ++FCount;
  }

  // Puts the object before the one at the index (at the end past the last); on failure it stays
  // with the caller.
  void Insert(size_t index, std::unique_ptr<T>& object) {
    if (index >= FCount) {
      Append(object);
      return;
    }
    CheckRoom();
    FRuns.reserve(FRuns.size() + 2); // nothing fails after this
    size_t r = Find(index);
    const size_t k = index - FRuns[r].Start;
    if (k > 0) {
      // The run is split before the place.
      TRun tail{FRuns[r].At(k), FRuns[r].Count - k, index};
      FRuns[r].Count = k;
      FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(++r), tail);
    }
    FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(r), TRun{object.release(), 1, index});
    ++FCount;
    for (size_t i = r + 1; i < FRuns.size(); ++i)
      ++FRuns[i].Start;
    assert(Consistent());
  }

  // Destroys the object at the index.
  void Erase(size_t index) {
    assert(index < FCount);
    FRuns.reserve(FRuns.size() + 1); // nothing fails after this
    size_t r = Find(index);
    TRun& run = FRuns[r];
    const size_t k = index - run.Start;
    T* object = run.At(k);
    if (run.Count == 1) {
      FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(r));
    } else if (k == 0) {
      run.First = run.At(1);
      --run.Count;
      ++r;
    } else if (k == run.Count - 1) {
      --run.Count;
      ++r;
    } else {
      TRun tail{run.At(k + 1), run.Count - k - 1, index + 1};
      run.Count = k;
      FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(++r), tail);
    }
    --FCount;
    for (size_t i = r; i < FRuns.size(); ++i)
      --FRuns[i].Start;
    assert(Consistent());
    delete object;
  }

  // Destroys every object from the index on, the last first; takes no memory.
  void Truncate(size_t count) noexcept {
    while (FCount > count) {
      TRun& run = FRuns.back();
      T* object = run.At(run.Count - 1);
      if (--run.Count == 0)
        FRuns.pop_back();
      --FCount;
      delete object;
    }
    FHint.store(0, std::memory_order_relaxed);
  }

  // Destroys every object.
  void Clear() {
    ForEach([](T& object) { delete &object; });
    Forget();
  }

  // Lets go of every object without destroying any.
  void Forget() {
    FRuns.clear();
    FCount = 0;
    FHint.store(0, std::memory_order_relaxed);
  }

  void Swap(TRunList& other) noexcept {
    FRuns.swap(other.FRuns);
    std::swap(FCount, other.FCount);
    const size_t hint = FHint.load(std::memory_order_relaxed);
    FHint.store(other.FHint.load(std::memory_order_relaxed), std::memory_order_relaxed);
    other.FHint.store(hint, std::memory_order_relaxed);
  }

private:
  struct TRun {
    T* First;
    size_t Count;
    size_t Start; // the place of its first object in the list
    T* At(size_t k) const {
      return reinterpret_cast<T*>(reinterpret_cast<char*>(First) + k * sizeof(T));
    }
    const T* End() const { return At(Count); }
  };

  void CheckRoom() const {
    if (FCount >= MaxCount)
      throw std::length_error("too many lines in one list");
  }

  // The run that holds the place: most callers go along the list, so the run found last, or the
  // one after it, is looked at first.
  size_t Find(size_t index) const {
    const auto holds = [&](size_t r) {
      return r < FRuns.size() && index >= FRuns[r].Start && index - FRuns[r].Start < FRuns[r].Count;
    };
    const size_t hint = FHint.load(std::memory_order_relaxed);
    if (holds(hint))
      return hint;
    if (holds(hint + 1)) {
      FHint.store(hint + 1, std::memory_order_relaxed);
      return hint + 1;
    }
    // A binary search: the run whose start is the last one at or before the place.
    const auto after = std::upper_bound(FRuns.begin(), FRuns.end(), index,
                                        [](size_t i, const TRun& run) { return i < run.Start; });
    const size_t found = static_cast<size_t>(after - FRuns.begin()) - 1;
    FHint.store(found, std::memory_order_relaxed);
    return found;
  }

  bool Consistent() const {
    size_t start = 0;
    for (const TRun& run : FRuns) {
      if (run.Count == 0 || run.Start != start)
        return false;
      start += run.Count;
    }
    return start == FCount;
  }

  std::vector<TRun> FRuns;
  size_t FCount = 0;
  mutable std::atomic<size_t> FHint{0};
};
