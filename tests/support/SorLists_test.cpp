#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "SorLists.h"

namespace {

std::vector<int32_t> Values(const TSorIntegerList& list) {
  std::vector<int32_t> result;
  for (int32_t i = 0; i < list.Count(); ++i)
    result.push_back(list.Items(i));
  return result;
}

void Fill(TSorIntegerList& list, const std::vector<int32_t>& values) {
  for (const int32_t v : values)
    list.Add(v);
}

// A sorted list holding exactly the given values, in the given (ascending) order.
void FillSorted(TSorIntegerList& list, const std::vector<int32_t>& values, TSorDuplicates policy) {
  Fill(list, values);
  list.SetSorted(true);
  list.Duplicates = policy;
  ASSERT_EQ(Values(list), values) << "the rows must be given in ascending order";
}

struct Event {
  int handler;
  int32_t index;
  int operation;
  int32_t count; // the list's count when the handler ran
  bool operator==(const Event&) const = default;
};

struct Recorder {
  int id = 0;
  std::vector<Event>* events = nullptr;
  static void Handle(void* data, TSorIntegerList& list, int32_t index, int operation) {
    auto* self = static_cast<Recorder*>(data);
    self->events->push_back(Event{self->id, index, operation, list.Count()});
  }
  TSorTMethod Method() { return TSorTMethod{&Recorder::Handle, this}; }
};

std::string Bytes(std::initializer_list<int> bytes) {
  std::string result;
  for (const int b : bytes)
    result.push_back(static_cast<char>(b));
  return result;
}

// A stream that hands out its bytes and then fails instead of reporting the end.
class FailingStream : public TStream {
public:
  explicit FailingStream(std::string bytes) : FBytes(std::move(bytes)) {}
  int64_t Read(void* buffer, int64_t count) override {
    if (FPosition >= FBytes.size())
      return -1;
    const size_t n = std::min(static_cast<size_t>(count), FBytes.size() - FPosition);
    std::memcpy(buffer, FBytes.data() + FPosition, n);
    FPosition += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, int64_t) override { return -1; }
  int64_t Seek(int64_t, int) override { return -1; }

private:
  std::string FBytes;
  size_t FPosition = 0;
};

int Descending(const TSorIntegerList& list, int32_t index1, int32_t index2) {
  const int32_t a = list.Items(index1);
  const int32_t b = list.Items(index2);
  return a > b ? -1 : (a < b ? 1 : 0);
}

int ByTens(const TSorIntegerList& list, int32_t index1, int32_t index2) {
  return list.Items(index1) / 10 - list.Items(index2) / 10;
}

int g_compareCalls = 0;
int CountingCompare(const TSorIntegerList& list, int32_t index1, int32_t index2) {
  ++g_compareCalls;
  return Descending(list, index1, index2);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Unsorted use, as the address parser uses the list

TEST(SorIntegerList, NewListIsEmptyUnsortedAndIgnoresDuplicates) {
  TSorIntegerList list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(list.Duplicates, IgnoreDuplicates);
  EXPECT_EQ(list.Handlers().Count(), 0);
}

TEST(SorIntegerList, UnsortedAddAppendsEveryValueInOrder) {
  TSorIntegerList list;
  EXPECT_EQ(list.Add(5), 0);
  EXPECT_EQ(list.Add(3), 1);
  EXPECT_EQ(list.Add(5), 2);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{5, 3, 5}));
  EXPECT_EQ(list.First(), 5);
  EXPECT_EQ(list.Last(), 5);
}

TEST(SorIntegerList, UnsortedAddKeepsDuplicatesWhateverThePolicy) {
  for (const TSorDuplicates policy : {IgnoreDuplicates, AcceptDuplicates, RejectDuplicates}) {
    SCOPED_TRACE(static_cast<int>(policy));
    TSorIntegerList list;
    list.Duplicates = policy;
    Fill(list, {7, 7, 7});
    EXPECT_EQ(Values(list), (std::vector<int32_t>{7, 7, 7}));
  }
}

// ---------------------------------------------------------------------------------------------
// Sorted mode

TEST(SorIntegerList, TurningSortedOnSortsAndKeepsEqualValues) {
  TSorIntegerList list;
  Fill(list, {5, 3, 5});
  list.SetSorted(true);
  EXPECT_TRUE(list.Sorted());
  EXPECT_EQ(Values(list), (std::vector<int32_t>{3, 5, 5}));

  EXPECT_EQ(list.Add(5), 1); // IgnoreDuplicates: the equal value met, nothing added
  EXPECT_EQ(Values(list), (std::vector<int32_t>{3, 5, 5}));
}

TEST(SorIntegerList, TurningSortedOffKeepsTheOrderAndAllowsInsertAgain) {
  TSorIntegerList list;
  Fill(list, {2, 9, 4});
  list.SetSorted(true);
  list.SetSorted(false);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{2, 4, 9}));
  list.Insert(0, 100);
  EXPECT_EQ(list.Add(1), 4);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{100, 2, 4, 9, 1}));
}

TEST(SorIntegerList, SortingHandlesOrderedReversedEqualAndRandomInput) {
  std::mt19937 random(12345);
  std::vector<std::vector<int32_t>> inputs = {
      {},
      {1},
      {2, 1},
      {1, 2},
      {3, 1, 2},
      {1, 2, 3, 4, 5, 6, 7, 8},
      {8, 7, 6, 5, 4, 3, 2, 1},
      {4, 4, 4, 4, 4, 4, 4},
      {INT32_MAX, INT32_MIN, 0, -1, 1, INT32_MIN, INT32_MAX}};
  for (int n : {17, 256, 1000}) {
    std::vector<int32_t> wide(static_cast<size_t>(n));
    std::vector<int32_t> narrow(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      wide[static_cast<size_t>(i)] = static_cast<int32_t>(random());
      narrow[static_cast<size_t>(i)] = static_cast<int32_t>(random() % 5) - 2;
    }
    inputs.push_back(wide);
    inputs.push_back(narrow);
  }
  for (size_t row = 0; row < inputs.size(); ++row) {
    SCOPED_TRACE("input " + std::to_string(row));
    TSorIntegerList list;
    Fill(list, inputs[row]);
    list.SetSorted(true);
    std::vector<int32_t> expected = inputs[row];
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Values(list), expected);
  }
}

struct SortedAddRow {
  const char* name;
  std::vector<int32_t> before;
  TSorDuplicates policy = IgnoreDuplicates;
  int32_t value;
  int32_t result;
  std::vector<int32_t> after;
};

TEST(SorIntegerList, SortedAddPlacesTheValueByPolicy) {
  const SortedAddRow rows[] = {
      {.name = "into empty", .before = {}, .value = 7, .result = 0, .after = {7}},
      {.name = "before all", .before = {1, 3, 5}, .value = 0, .result = 0, .after = {0, 1, 3, 5}},
      {.name = "between", .before = {1, 3, 5}, .value = 4, .result = 2, .after = {1, 3, 4, 5}},
      {.name = "after all", .before = {1, 3, 5}, .value = 9, .result = 3, .after = {1, 3, 5, 9}},
      {.name = "negatives order below zero",
       .before = {-5, 0, 5},
       .value = -1,
       .result = 1,
       .after = {-5, -1, 0, 5}},
      {.name = "extremes",
       .before = {INT32_MIN, INT32_MAX},
       .value = 0,
       .result = 1,
       .after = {INT32_MIN, 0, INT32_MAX}},
      {.name = "ignore returns the equal one",
       .before = {1, 3, 5},
       .value = 3,
       .result = 1,
       .after = {1, 3, 5}},
      {.name = "ignore returns the equal met first",
       .before = {3, 3, 3, 3, 3, 3, 3},
       .value = 3,
       .result = 3,
       .after = {3, 3, 3, 3, 3, 3, 3}},
      {.name = "accept goes before the equals",
       .before = {1, 3, 3, 5},
       .policy = AcceptDuplicates,
       .value = 3,
       .result = 1,
       .after = {1, 3, 3, 3, 5}},
      {.name = "accept in a run of equals",
       .before = {3, 3, 3, 3, 3, 3, 3},
       .policy = AcceptDuplicates,
       .value = 3,
       .result = 0,
       .after = {3, 3, 3, 3, 3, 3, 3, 3}},
      {.name = "accept after smaller ones",
       .before = {1, 2, 2, 4, 4, 4, 9},
       .policy = AcceptDuplicates,
       .value = 4,
       .result = 3,
       .after = {1, 2, 2, 4, 4, 4, 4, 9}},
      {.name = "reject without a duplicate adds",
       .before = {1, 3, 5},
       .policy = RejectDuplicates,
       .value = 2,
       .result = 1,
       .after = {1, 2, 3, 5}},
  };
  for (const SortedAddRow& row : rows) {
    SCOPED_TRACE(row.name);
    TSorIntegerList list;
    FillSorted(list, row.before, row.policy);
    std::vector<Event> events;
    Recorder recorder{1, &events};
    list.Handlers().Add(recorder.Method());
    EXPECT_EQ(list.Add(row.value), row.result);
    EXPECT_EQ(Values(list), row.after);
    // Something inserted is announced at the place it went; an ignored duplicate is silent.
    if (row.after.size() > row.before.size())
      EXPECT_EQ(events,
                (std::vector<Event>{{1, row.result, 0, static_cast<int32_t>(row.after.size())}}));
    else
      EXPECT_TRUE(events.empty());
  }
}

struct RejectRow {
  int32_t value;
  const char* hexTail;
};

TEST(SorIntegerList, RejectDuplicatesRaisesWithTheValueInHexAndChangesNothing) {
  const RejectRow rows[] = {
      {255, "($0ff)"},
      {0, "($00)"},
      {-1, "($0ffffffff)"},
      {0x12AB, "($012ab)"},
      {INT32_MIN, "($080000000)"},
  };
  for (const RejectRow& row : rows) {
    SCOPED_TRACE(row.value);
    TSorIntegerList list;
    FillSorted(list, {INT32_MIN, -1, 0, 255, 0x12AB}, RejectDuplicates);
    std::vector<Event> events;
    Recorder recorder{1, &events};
    list.Handlers().Add(recorder.Method());
    try {
      list.Add(row.value);
      ADD_FAILURE() << "no error raised";
    } catch (const ESorListError& e) {
      const std::string message = e.what();
      const std::string tail = row.hexTail;
      ASSERT_GE(message.size(), tail.size() + 1);
      EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
      EXPECT_EQ(message[message.size() - tail.size() - 1], ' ') << message;
    }
    EXPECT_EQ(Values(list), (std::vector<int32_t>{INT32_MIN, -1, 0, 255, 0x12AB}));
    EXPECT_TRUE(events.empty());
  }
}

struct FindRow {
  const char* name;
  std::vector<int32_t> values;
  TSorDuplicates policy = IgnoreDuplicates;
  int32_t sought;
  bool found = false;
  int32_t index;
};

TEST(SorIntegerList, FindBisectsToTheValueOrItsInsertionPoint) {
  const FindRow rows[] = {
      {.name = "empty", .values = {}, .sought = 1, .index = 0},
      {.name = "single equal", .values = {4}, .sought = 4, .found = true, .index = 0},
      {.name = "single smaller", .values = {4}, .sought = 3, .index = 0},
      {.name = "single larger", .values = {4}, .sought = 5, .index = 1},
      {.name = "middle", .values = {10, 20, 30, 40, 50}, .sought = 40, .found = true, .index = 3},
      {.name = "gap", .values = {10, 20, 30, 40, 50}, .sought = 35, .index = 3},
      {.name = "past the end", .values = {10, 20, 30, 40, 50}, .sought = 99, .index = 5},
      {.name = "first met in a run",
       .values = {1, 5, 5, 5, 5, 5, 9},
       .sought = 5,
       .found = true,
       .index = 3},
      {.name = "first met, reject",
       .values = {1, 5, 5, 5, 5, 5, 9},
       .policy = RejectDuplicates,
       .sought = 5,
       .found = true,
       .index = 3},
      {.name = "first of the run, accept",
       .values = {1, 5, 5, 5, 5, 5, 9},
       .policy = AcceptDuplicates,
       .sought = 5,
       .found = true,
       .index = 1},
      {.name = "run at the start, accept",
       .values = {5, 5, 5, 9},
       .policy = AcceptDuplicates,
       .sought = 5,
       .found = true,
       .index = 0},
      {.name = "absent, accept",
       .values = {1, 5, 5, 9},
       .policy = AcceptDuplicates,
       .sought = 6,
       .index = 3},
  };
  for (const FindRow& row : rows) {
    SCOPED_TRACE(row.name);
    TSorIntegerList list;
    FillSorted(list, row.values, row.policy);
    int32_t index = -99;
    EXPECT_EQ(list.Find(row.sought, index), row.found);
    EXPECT_EQ(index, row.index);
  }
}

TEST(SorIntegerList, IndexOfScansUnsortedListsAndBisectsSortedOnes) {
  TSorIntegerList list;
  Fill(list, {9, 4, 7, 4});
  EXPECT_EQ(list.IndexOf(4), 1);
  EXPECT_EQ(list.IndexOf(9), 0);
  EXPECT_EQ(list.IndexOf(5), -1);
  list.SetSorted(true); // 4 4 7 9
  EXPECT_EQ(list.IndexOf(7), 2);
  EXPECT_EQ(list.IndexOf(9), 3);
  EXPECT_EQ(list.IndexOf(5), -1);
  EXPECT_EQ(list.IndexOf(100), -1);
}

TEST(SorIntegerList, EnsureAddsOnlyWhatIsMissing) {
  TSorIntegerList list;
  Fill(list, {9, 4});
  EXPECT_EQ(list.Ensure(4), 1);
  EXPECT_EQ(list.Ensure(6), 2);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{9, 4, 6}));
  list.SetSorted(true);
  EXPECT_EQ(list.Ensure(5), 1);
  EXPECT_EQ(list.Ensure(9), 3);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{4, 5, 6, 9}));
}

TEST(SorIntegerList, RemoveDeletesOneOccurrenceAndIgnoresAbsentValues) {
  TSorIntegerList list;
  Fill(list, {3, 8, 3});
  list.Remove(3);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{8, 3}));
  list.Remove(42);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{8, 3}));

  TSorIntegerList sorted;
  FillSorted(sorted, {1, 3, 3, 3, 7}, AcceptDuplicates);
  sorted.Remove(3);
  EXPECT_EQ(Values(sorted), (std::vector<int32_t>{1, 3, 3, 7}));
}

// ---------------------------------------------------------------------------------------------
// Errors

TEST(SorIntegerList, InsertAndMoveOnASortedListRaiseEvenWhenEmpty) {
  TSorIntegerList list;
  list.SetSorted(true);
  try {
    list.Insert(0, 1);
    ADD_FAILURE() << "Insert raised nothing";
  } catch (const ESorError& e) {
    EXPECT_STREQ(e.what(), "Cannot insert element in sorted list.");
    EXPECT_EQ(typeid(e), typeid(ESorError));
  }
  try {
    list.Move(0, 0);
    ADD_FAILURE() << "Move raised nothing";
  } catch (const ESorError& e) {
    EXPECT_STREQ(e.what(), "Cannot move elements in sorted list.");
    EXPECT_EQ(typeid(e), typeid(ESorError));
  }
  EXPECT_EQ(list.Count(), 0);
}

TEST(SorIntegerList, ExchangeAndItemsWriteWorkOnASortedListAndMayBreakItsOrder) {
  TSorIntegerList list;
  Fill(list, {1, 2, 3});
  list.SetSorted(true);
  EXPECT_THROW(list.Move(0, 2), ESorError);
  EXPECT_THROW(list.Insert(1, 5), ESorError);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 2, 3}));
  list.Exchange(0, 2);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{3, 2, 1}));
  list.SetItems(1, 50);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{3, 50, 1}));
  EXPECT_TRUE(list.Sorted());
}

struct IndexErrorRow {
  const char* name;
  void (*act)(TSorIntegerList& list);
};

TEST(SorIntegerList, BadIndicesRaiseListErrorsAndChangeNothing) {
  const IndexErrorRow rows[] = {
      {"Items -1", [](TSorIntegerList& l) { l.Items(-1); }},
      {"Items Count", [](TSorIntegerList& l) { l.Items(l.Count()); }},
      {"SetItems Count", [](TSorIntegerList& l) { l.SetItems(l.Count(), 1); }},
      {"Insert -1", [](TSorIntegerList& l) { l.Insert(-1, 1); }},
      {"Insert Count + 1", [](TSorIntegerList& l) { l.Insert(l.Count() + 1, 1); }},
      {"Delete Count", [](TSorIntegerList& l) { l.Delete(l.Count()); }},
      {"Delete -1", [](TSorIntegerList& l) { l.Delete(-1); }},
      {"Exchange 0 Count", [](TSorIntegerList& l) { l.Exchange(0, l.Count()); }},
      {"Exchange -1 0", [](TSorIntegerList& l) { l.Exchange(-1, 0); }},
      {"Move from Count", [](TSorIntegerList& l) { l.Move(l.Count(), 0); }},
      {"Move to Count", [](TSorIntegerList& l) { l.Move(0, l.Count()); }},
      {"SetCount -1", [](TSorIntegerList& l) { l.SetCount(-1); }},
  };
  for (const IndexErrorRow& row : rows) {
    SCOPED_TRACE(row.name);
    TSorIntegerList list;
    Fill(list, {10, 20, 30});
    std::vector<Event> events;
    Recorder recorder{1, &events};
    list.Handlers().Add(recorder.Method());
    EXPECT_THROW(row.act(list), ESorListError);
    EXPECT_EQ(Values(list), (std::vector<int32_t>{10, 20, 30}));
    EXPECT_TRUE(events.empty());
  }
}

TEST(SorIntegerList, FirstAndLastOfAnEmptyListRaise) {
  TSorIntegerList list;
  EXPECT_THROW(list.First(), ESorListError);
  EXPECT_THROW(list.Last(), ESorListError);
}

// ---------------------------------------------------------------------------------------------
// Editing an unsorted list

TEST(SorIntegerList, InsertMoveExchangeDeleteOnAnUnsortedList) {
  TSorIntegerList list;
  Fill(list, {1, 2, 3, 4});
  list.Insert(4, 5); // at Count: appends
  list.Insert(0, 0);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
  list.Move(1, 4);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{0, 2, 3, 4, 1, 5}));
  list.Move(5, 0);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{5, 0, 2, 3, 4, 1}));
  list.Exchange(0, 5);
  list.Exchange(2, 2);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{1, 0, 2, 3, 4, 5}));
  list.Delete(0);
  list.Delete(4);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{0, 2, 3, 4}));
}

TEST(SorIntegerList, CountAndCapacityWrites) {
  TSorIntegerList list;
  Fill(list, {4, 5});
  list.SetCount(5);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{4, 5, 0, 0, 0}));
  list.SetCount(1);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{4}));
  list.SetCapacity(100);
  EXPECT_GE(list.Capacity(), 100);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{4}));
  list.SetCapacity(1);
  EXPECT_GE(list.Capacity(), 1);
  EXPECT_THROW(list.SetCapacity(0), ESorListError); // below the count
  EXPECT_EQ(Values(list), (std::vector<int32_t>{4}));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(SorIntegerList, AppendAndAssignAddEachValue) {
  TSorIntegerList source;
  Fill(source, {3, 1, 3});

  TSorIntegerList target;
  Fill(target, {9});
  target.Append(source);
  EXPECT_EQ(Values(target), (std::vector<int32_t>{9, 3, 1, 3}));
  target.Assign(source);
  EXPECT_EQ(Values(target), (std::vector<int32_t>{3, 1, 3}));

  TSorIntegerList sorted;
  sorted.SetSorted(true);
  sorted.Append(source); // through Add: sorted, the duplicate ignored
  EXPECT_EQ(Values(sorted), (std::vector<int32_t>{1, 3}));

  source.Append(source);
  EXPECT_EQ(Values(source), (std::vector<int32_t>{3, 1, 3, 3, 1, 3}));
  source.Assign(source);
  EXPECT_EQ(Values(source), (std::vector<int32_t>{3, 1, 3, 3, 1, 3}));
}

// ---------------------------------------------------------------------------------------------
// Custom sort

TEST(SorIntegerList, CustomSortUsesTheCallersOrder) {
  TSorIntegerList list;
  Fill(list, {5, -2, 9, 0, 9, 3});
  list.CustomSort(&Descending);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{9, 9, 5, 3, 0, -2}));
  EXPECT_FALSE(list.Sorted());
}

TEST(SorIntegerList, CustomSortExchangesEqualKeysTheWayTheQuicksortDoes) {
  // Keys 2 1 2 1 (tens). The pivot-following quicksort ends with 11 10 21 20; a stable sort
  // would give 10 11 21 20, a pivot that is not followed something else again.
  TSorIntegerList list;
  Fill(list, {21, 10, 20, 11});
  list.CustomSort(&ByTens);
  EXPECT_EQ(Values(list), (std::vector<int32_t>{11, 10, 21, 20}));
}

TEST(SorIntegerList, CustomSortLeavesSortedAndShortListsAlone) {
  struct Row {
    const char* name;
    std::vector<int32_t> values;
    bool sorted;
  };
  const Row rows[] = {
      {"empty", {}, false},
      {"one value", {4}, false},
      {"sorted list", {1, 2, 3}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TSorIntegerList list;
    Fill(list, row.values);
    list.SetSorted(row.sorted);
    g_compareCalls = 0;
    list.CustomSort(&CountingCompare);
    EXPECT_EQ(g_compareCalls, 0);
    EXPECT_EQ(Values(list), row.values);
  }
}

// ---------------------------------------------------------------------------------------------
// Text

TEST(SorIntegerList, TextIsOneDecimalLinePerValue) {
  TSorIntegerList list;
  EXPECT_EQ(list.Text(), u"");
  Fill(list, {12, -7, 0, INT32_MIN, INT32_MAX});
  EXPECT_EQ(list.Text(), u"12\r\n-7\r\n0\r\n-2147483648\r\n2147483647\r\n");
  EXPECT_EQ(list.AsDelimitedText(u", ", false), u"12, -7, 0, -2147483648, 2147483647");
  EXPECT_EQ(list.AsDelimitedText(u";", true), u"12;-7;0;-2147483648;2147483647;");
  EXPECT_EQ(TSorIntegerList().AsDelimitedText(u";", true), u"");
}

struct TextRow {
  const char* name;
  std::u16string text;
  std::vector<int32_t> values;
};

TEST(SorIntegerList, TextWriteReadsLinesEndedByCrLfOrCrLf) {
  const TextRow rows[] = {
      {"empty", u"", {}},
      {"no end of line", u"42", {42}},
      {"CR LF", u"1\r\n2\r\n", {1, 2}},
      {"LF", u"1\n2\n", {1, 2}},
      {"CR", u"1\r2\r", {1, 2}},
      {"mixed, last unended", u"1\r2\n3\r\n4", {1, 2, 3, 4}},
      {"signs and limits", u"+7\r\n-2147483648\r\n2147483647", {7, INT32_MIN, INT32_MAX}},
      {"leading zeros", u"007", {7}},
  };
  for (const TextRow& row : rows) {
    SCOPED_TRACE(row.name);
    TSorIntegerList list;
    Fill(list, {99, 98});
    list.SetText(row.text);
    EXPECT_EQ(Values(list), row.values);
  }
}

TEST(SorIntegerList, TextRoundTripsAndWriteAddsThroughTheSortedPolicy) {
  TSorIntegerList list;
  Fill(list, {5, -3, 5, 0});
  TSorIntegerList copy;
  copy.SetText(list.Text());
  EXPECT_EQ(Values(copy), (std::vector<int32_t>{5, -3, 5, 0}));

  TSorIntegerList sorted;
  sorted.SetSorted(true);
  sorted.SetText(u"5\r\n-3\r\n5\r\n0");
  EXPECT_EQ(Values(sorted), (std::vector<int32_t>{-3, 0, 5}));
}

TEST(SorIntegerList, TextWriteWithABadLineRaisesAndKeepsTheList) {
  const char16_t* rows[] = {
      u"x",           u"1\r\nx\r\n3",
      u"1\r\n\r\n2",  u"\r\n",
      u"1\n\r2",      u" 1",
      u"1 ",          u"1\t",
      u"+",           u"-",
      u"1.5",         u"2147483648",
      u"-2147483649", u"99999999999999999999",
      u"\uFF11",      u"0x10",
      u"$10",
  };
  for (const char16_t* text : rows) {
    SCOPED_TRACE(testing::PrintToString(std::u16string(text)));
    TSorIntegerList list;
    Fill(list, {4, 5});
    std::vector<Event> events;
    Recorder recorder{1, &events};
    list.Handlers().Add(recorder.Method());
    EXPECT_THROW(list.SetText(text), EConvertError);
    EXPECT_EQ(Values(list), (std::vector<int32_t>{4, 5}));
    EXPECT_TRUE(events.empty());
  }
}

// ---------------------------------------------------------------------------------------------
// Streams and memory

TEST(SorIntegerList, SaveToStreamWritesLittleEndianWordsWithoutHeader) {
  TSorIntegerList list;
  Fill(list, {1, -2, 0x12345678});
  TMemoryStream stream;
  list.SaveToStream(stream);
  EXPECT_EQ(stream.Bytes(), Bytes({0x01, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12}));

  TMemoryStream empty;
  TSorIntegerList().SaveToStream(empty);
  EXPECT_EQ(empty.Size(), 0);
}

struct LoadRow {
  const char* name;
  std::string bytes;
  bool result;
  std::vector<int32_t> values;
};

TEST(SorIntegerList, LoadFromStreamReadsWholeWordsAndReportsALeftover) {
  const LoadRow rows[] = {
      {"empty", "", true, {}},
      {"two words", Bytes({1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}), true, {1, -2}},
      {"nine bytes", Bytes({1, 0, 0, 0, 2, 0, 0, 0, 3}), false, {1, 2}},
      {"three bytes", Bytes({1, 2, 3}), false, {}},
      {"one word and three", Bytes({0x78, 0x56, 0x34, 0x12, 9, 9, 9}), false, {0x12345678}},
  };
  for (const LoadRow& row : rows) {
    SCOPED_TRACE(row.name);
    TSorIntegerList list;
    Fill(list, {77}); // replaced by the stream's values
    TMemoryStream stream(row.bytes);
    EXPECT_EQ(list.LoadFromStream(stream), row.result);
    EXPECT_EQ(Values(list), row.values);
  }
}

TEST(SorIntegerList, LoadFromAFailingStreamKeepsWhatWasRead) {
  TSorIntegerList list;
  FailingStream stream(Bytes({5, 0, 0, 0, 6, 0, 0, 0}));
  EXPECT_FALSE(list.LoadFromStream(stream));
  EXPECT_EQ(Values(list), (std::vector<int32_t>{5, 6}));
}

TEST(SorIntegerList, StreamRoundTrip) {
  TSorIntegerList list;
  Fill(list, {INT32_MIN, -1, 0, 1, INT32_MAX, 7});
  TMemoryStream stream;
  list.SaveToStream(stream);
  stream.Seek(0, 0);
  TSorIntegerList copy;
  EXPECT_TRUE(copy.LoadFromStream(stream));
  EXPECT_EQ(Values(copy), Values(list));
}

TEST(SorIntegerList, DumpAndRestoreRoundTrip) {
  TSorIntegerList list;
  Fill(list, {3, INT32_MIN, -1, 3, INT32_MAX});
  // One spare byte in front: the words need not be aligned.
  std::array<uint8_t, 1 + 4 * 6 + 4> memory{};
  memory.fill(0xAA);
  uint8_t* const start = memory.data() + 1;
  uint8_t* const end = list.Dump(start);
  EXPECT_EQ(end, start + 4 * 6);
  EXPECT_EQ(end[0], 0xAA); // nothing written past the last word
  int32_t count = 0;
  std::memcpy(&count, start, 4);
  EXPECT_EQ(count, 5);

  TSorIntegerList copy;
  Fill(copy, {42}); // Restore adds to what is there
  EXPECT_EQ(copy.Restore(start), end);
  EXPECT_EQ(Values(copy), (std::vector<int32_t>{42, 3, INT32_MIN, -1, 3, INT32_MAX}));

  TSorIntegerList sorted;
  sorted.SetSorted(true);
  EXPECT_EQ(sorted.Restore(start), end);
  EXPECT_EQ(Values(sorted), (std::vector<int32_t>{INT32_MIN, -1, 3, INT32_MAX}));
}

TEST(SorIntegerList, DumpOfAnEmptyListIsItsCountAlone) {
  TSorIntegerList list;
  std::array<uint8_t, 8> memory{};
  memory.fill(0xAA);
  EXPECT_EQ(list.Dump(memory.data()), memory.data() + 4);
  EXPECT_EQ(memory, (std::array<uint8_t, 8>{0, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}));
  TSorIntegerList copy;
  EXPECT_EQ(copy.Restore(memory.data()), memory.data() + 4);
  EXPECT_EQ(copy.Count(), 0);
}

// ---------------------------------------------------------------------------------------------
// Change notification

TEST(SorIntegerList, HandlersHearInsertionsAndDeletionsInRegistrationOrder) {
  TSorIntegerList list;
  std::vector<Event> events;
  Recorder first{1, &events};
  Recorder second{2, &events};
  EXPECT_EQ(list.Handlers().Add(first.Method()), 0);
  EXPECT_EQ(list.Handlers().Add(second.Method()), 1);

  list.Add(10);       // index 0
  list.Add(30);       // index 1
  list.Insert(1, 20); // 10 20 30
  list.Delete(0);     // 20 30
  list.Remove(30);    // 20
  list.Remove(99);    // absent: nothing

  const std::vector<Event> expected = {
      {1, 0, 0, 1}, {2, 0, 0, 1}, {1, 1, 0, 2}, {2, 1, 0, 2}, {1, 1, 0, 3},
      {2, 1, 0, 3}, {1, 0, 1, 2}, {2, 0, 1, 2}, {1, 1, 1, 1}, {2, 1, 1, 1},
  };
  EXPECT_EQ(events, expected);
}

TEST(SorIntegerList, BulkChangesNotifyNothing) {
  TSorIntegerList list;
  Fill(list, {1, 2, 3});
  std::vector<Event> events;
  Recorder recorder{1, &events};
  list.Handlers().Add(recorder.Method());
  list.Move(0, 2);
  list.Exchange(0, 1);
  list.SetItems(0, 8);
  list.SetCount(5);
  list.SetCount(2);
  list.CustomSort(&Descending);
  list.SetSorted(true);
  list.Clear();
  EXPECT_TRUE(events.empty());
}

TEST(SorIntegerList, ARemovedHandlerIsNoLongerCalled) {
  TSorIntegerList list;
  std::vector<Event> events;
  Recorder first{1, &events};
  Recorder second{2, &events};
  list.Handlers().Add(first.Method());
  list.Handlers().Add(second.Method());
  list.Handlers().Remove(first.Method());
  ASSERT_EQ(list.Handlers().Count(), 1);
  EXPECT_EQ(list.Handlers().Items(0).Data, &second);
  list.Add(4);
  EXPECT_EQ(events, (std::vector<Event>{{2, 0, 0, 1}}));
}

TEST(SorTMethodList, KeepsCodeAndDataTogether) {
  TSorTMethodList methods;
  Recorder a{1, nullptr};
  Recorder b{2, nullptr};
  EXPECT_EQ(methods.Add(a.Method()), 0);
  EXPECT_EQ(methods.Add(b.Method()), 1);
  EXPECT_EQ(methods.Count(), 2);
  EXPECT_EQ(methods.Items(1).Code, &Recorder::Handle);
  EXPECT_EQ(methods.Items(1).Data, &b);
  methods.Remove(TSorTMethod{&Recorder::Handle, &b});
  methods.Remove(TSorTMethod{nullptr, &a}); // same data, other code: not the same method
  ASSERT_EQ(methods.Count(), 1);
  EXPECT_EQ(methods.Items(0).Data, &a);
  EXPECT_THROW(methods.Items(1), ESorListError);
  EXPECT_THROW(methods.Items(-1), ESorListError);
}
