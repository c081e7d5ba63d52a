#include "SorLists.h"

#include <cstring>
#include <utility>

namespace {

// Error texts carry numbers and the offending text in plain 8-bit form.
std::string AsciiForMessage(std::u16string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char16_t c : text)
    result.push_back(c < 128 ? static_cast<char>(c) : '?');
  return result;
}

std::u16string Widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

[[noreturn]] void IndexError(int32_t index) {
  throw ESorListError("List index out of bounds (" + std::to_string(index) + ")");
}

[[noreturn]] void DuplicateError(int32_t value) {
  static const char digits[] = "0123456789abcdef";
  auto bits = static_cast<uint32_t>(value);
  std::string hex;
  do {
    hex.insert(hex.begin(), digits[bits & 0xF]);
    bits >>= 4;
  } while (bits != 0);
  throw ESorListError("Duplicate item in list ($0" + hex + ")");
}

// A whole line as a signed 32-bit decimal: an optional sign and at least one digit, nothing else.
int32_t LineToInteger(std::u16string_view line) {
  size_t pos = 0;
  bool negative = false;
  if (pos < line.size() && (line[pos] == u'-' || line[pos] == u'+')) {
    negative = line[pos] == u'-';
    ++pos;
  }
  const int64_t limit = negative ? int64_t{2147483648} : int64_t{2147483647};
  int64_t magnitude = 0;
  const size_t firstDigit = pos;
  for (; pos < line.size(); ++pos) {
    const char16_t c = line[pos];
    if (c < u'0' || c > u'9')
      break;
    magnitude = magnitude * 10 + (c - u'0');
    if (magnitude > limit)
      break;
  }
  if (pos == firstDigit || pos != line.size())
    throw EConvertError("'" + AsciiForMessage(line) + "' is not a valid integer value");
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

// Words in memory are native 32-bit values that need not be aligned.
int32_t ReadWord(const uint8_t* memory) {
  int32_t value;
  std::memcpy(&value, memory, sizeof value);
  return value;
}

void WriteWord(uint8_t* memory, int32_t value) {
  std::memcpy(memory, &value, sizeof value);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TSorTMethodList

TSorTMethod TSorTMethodList::Items(int32_t index) const {
  if (index < 0 || index >= Count())
    IndexError(index);
  const auto i = static_cast<size_t>(index);
  return TSorTMethod{FCode[i], FData[i]};
}

int32_t TSorTMethodList::Add(TSorTMethod method) {
  FCode.push_back(method.Code);
  FData.push_back(method.Data);
  return Count() - 1;
}

void TSorTMethodList::Remove(TSorTMethod method) {
  for (size_t i = 0; i < FCode.size(); ++i) {
    if (FCode[i] == method.Code && FData[i] == method.Data) {
      FCode.erase(FCode.begin() + static_cast<std::ptrdiff_t>(i));
      FData.erase(FData.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TSorIntegerList

TSorIntegerList::TSorIntegerList() = default;
TSorIntegerList::~TSorIntegerList() = default;

int32_t TSorIntegerList::Capacity() const {
  return static_cast<int32_t>(FItems.capacity());
}

int32_t TSorIntegerList::Count() const {
  return static_cast<int32_t>(FItems.size());
}

int32_t TSorIntegerList::Items(int32_t index) const {
  CheckIndex(index);
  return FItems[static_cast<size_t>(index)];
}

std::u16string TSorIntegerList::Text() const {
  return AsDelimitedText(u"\r\n", true);
}

void TSorIntegerList::SetCapacity(int32_t value) {
  if (value < Count())
    throw ESorListError("List capacity out of bounds (" + std::to_string(value) + ")");
  const auto wanted = static_cast<size_t>(value);
  if (wanted > FItems.capacity()) {
    FItems.reserve(wanted);
  } else if (wanted < FItems.capacity()) {
    std::vector<int32_t> smaller;
    smaller.reserve(wanted);
    smaller.assign(FItems.begin(), FItems.end());
    FItems.swap(smaller);
  }
}

void TSorIntegerList::SetCount(int32_t value) {
  if (value < 0)
    throw ESorListError("List count out of bounds (" + std::to_string(value) + ")");
  FItems.resize(static_cast<size_t>(value), 0);
}

void TSorIntegerList::SetItems(int32_t index, int32_t value) {
  CheckIndex(index);
  FItems[static_cast<size_t>(index)] = value;
}

void TSorIntegerList::SetSorted(bool value) {
  if (value && Count() > 1)
    QuickSort(0, Count() - 1, &CompareAscending);
  FSorted = value;
}

void TSorIntegerList::SetText(std::u16string_view value) {
  // Every line is converted before the list changes, so a bad line leaves the list as it was.
  std::vector<int32_t> values;
  size_t start = 0;
  while (start < value.size()) {
    size_t end = start;
    while (end < value.size() && value[end] != u'\r' && value[end] != u'\n')
      ++end;
    values.push_back(LineToInteger(value.substr(start, end - start)));
    if (end < value.size() && value[end] == u'\r')
      ++end;
    if (end < value.size() && value[end] == u'\n')
      ++end;
    start = end;
  }
  Clear();
  for (const int32_t v : values)
    Add(v);
}

int32_t TSorIntegerList::Add(int32_t value) {
  if (!FSorted) {
    const int32_t index = Count();
    InsertItem(index, value);
    return index;
  }
  int32_t index = 0;
  if (Find(value, index)) {
    switch (Duplicates) {
    case IgnoreDuplicates:
      return index;
    case RejectDuplicates:
      DuplicateError(value);
    case AcceptDuplicates:
      break;
    }
  }
  InsertItem(index, value);
  return index;
}

void TSorIntegerList::Append(const TSorIntegerList& other) {
  // A copy first: the other list may be this one.
  const std::vector<int32_t> values = other.FItems;
  for (const int32_t v : values)
    Add(v);
}

void TSorIntegerList::Assign(const TSorIntegerList& other) {
  const std::vector<int32_t> values = other.FItems;
  Clear();
  for (const int32_t v : values)
    Add(v);
}

void TSorIntegerList::Clear() {
  FItems.clear();
  FItems.shrink_to_fit();
}

void TSorIntegerList::Delete(int32_t index) {
  CheckIndex(index);
  FItems.erase(FItems.begin() + index);
  Notify(index, 1);
}

uint8_t* TSorIntegerList::Dump(uint8_t* memory) const {
  WriteWord(memory, Count());
  memory += sizeof(int32_t);
  for (const int32_t v : FItems) {
    WriteWord(memory, v);
    memory += sizeof(int32_t);
  }
  return memory;
}

int32_t TSorIntegerList::Ensure(int32_t value) {
  const int32_t index = IndexOf(value);
  return index == -1 ? Add(value) : index;
}

void TSorIntegerList::Exchange(int32_t index1, int32_t index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  std::swap(FItems[static_cast<size_t>(index1)], FItems[static_cast<size_t>(index2)]);
}

bool TSorIntegerList::Find(int32_t value, int32_t& index) const {
  int32_t low = 0;
  int32_t high = Count() - 1;
  bool found = false;
  while (low <= high) {
    const auto mid =
        static_cast<int32_t>((static_cast<uint32_t>(low) + static_cast<uint32_t>(high)) >> 1);
    const int32_t item = FItems[static_cast<size_t>(mid)];
    if (item < value) {
      low = mid + 1;
    } else {
      high = mid - 1;
      if (item == value) {
        found = true;
        if (Duplicates != AcceptDuplicates)
          low = mid;
      }
    }
  }
  index = low;
  return found;
}

int32_t TSorIntegerList::First() const {
  return Items(0);
}

void TSorIntegerList::Insert(int32_t index, int32_t value) {
  if (FSorted)
    throw ESorError("Cannot insert element in sorted list.");
  if (index < 0 || index > Count())
    IndexError(index);
  InsertItem(index, value);
}

int32_t TSorIntegerList::Last() const {
  return Items(Count() - 1);
}

bool TSorIntegerList::LoadFromStream(TStream& stream) {
  Clear();
  for (;;) {
    uint8_t bytes[4];
    const int64_t got = stream.Read(bytes, sizeof bytes);
    if (got == 0)
      return true;
    if (got != static_cast<int64_t>(sizeof bytes))
      return false;
    const uint32_t word = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                          static_cast<uint32_t>(bytes[2]) << 16 |
                          static_cast<uint32_t>(bytes[3]) << 24;
    Add(static_cast<int32_t>(word));
  }
}

void TSorIntegerList::Move(int32_t fromIndex, int32_t toIndex) {
  if (FSorted)
    throw ESorError("Cannot move elements in sorted list.");
  CheckIndex(fromIndex);
  CheckIndex(toIndex);
  if (fromIndex == toIndex)
    return;
  const int32_t value = FItems[static_cast<size_t>(fromIndex)];
  FItems.erase(FItems.begin() + fromIndex);
  FItems.insert(FItems.begin() + toIndex, value);
}

void TSorIntegerList::Remove(int32_t value) {
  const int32_t index = IndexOf(value);
  if (index != -1)
    Delete(index);
}

const uint8_t* TSorIntegerList::Restore(const uint8_t* memory) {
  const int32_t count = ReadWord(memory);
  memory += sizeof(int32_t);
  for (int32_t i = 0; i < count; ++i) {
    Add(ReadWord(memory));
    memory += sizeof(int32_t);
  }
  return memory;
}

void TSorIntegerList::SaveToStream(TStream& stream) const {
  std::string bytes;
  bytes.reserve(FItems.size() * 4);
  for (const int32_t v : FItems) {
    const auto word = static_cast<uint32_t>(v);
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<char>((word >> shift) & 0xFF));
  }
  if (bytes.empty())
    return;
  if (stream.Write(bytes.data(), static_cast<int64_t>(bytes.size())) !=
      static_cast<int64_t>(bytes.size()))
    throw ESorError("Stream write error");
}

int32_t TSorIntegerList::IndexOf(int32_t value) const {
  if (FSorted) {
    int32_t index = 0;
    return Find(value, index) ? index : -1;
  }
  for (size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i] == value)
      return static_cast<int32_t>(i);
  }
  return -1;
}

void TSorIntegerList::CustomSort(TCompare compare) {
  if (FSorted || Count() < 2)
    return;
  QuickSort(0, Count() - 1, compare);
}

std::u16string TSorIntegerList::AsDelimitedText(std::u16string_view delimiter,
                                                bool trailing) const {
  std::u16string result;
  for (size_t i = 0; i < FItems.size(); ++i) {
    if (i > 0)
      result += delimiter;
    result += Widen(std::to_string(FItems[i]));
  }
  if (trailing && !FItems.empty())
    result += delimiter;
  return result;
}

void TSorIntegerList::Notify(int32_t index, int operation) {
  // By position, so that a handler may remove itself or others while being called.
  for (int32_t i = 0; i < FHandlers.Count(); ++i) {
    const TSorTMethod handler = FHandlers.Items(i);
    if (handler.Code != nullptr)
      handler.Code(handler.Data, *this, index, operation);
  }
}

void TSorIntegerList::InsertItem(int32_t index, int32_t value) {
  FItems.insert(FItems.begin() + index, value);
  Notify(index, 0);
}

int TSorIntegerList::CompareAscending(const TSorIntegerList& list, int32_t index1, int32_t index2) {
  const int32_t a = list.FItems[static_cast<size_t>(index1)];
  const int32_t b = list.FItems[static_cast<size_t>(index2)];
  return a < b ? -1 : (a > b ? 1 : 0);
}

// The classic in-place quicksort on index ranges: the pivot is followed by its index as values
// are exchanged, the left part is sorted by recursion and the right part by the loop.
void TSorIntegerList::QuickSort(int32_t left, int32_t right, TCompare compare) {
  int32_t i = 0;
  do {
    i = left;
    int32_t j = right;
    auto pivot =
        static_cast<int32_t>((static_cast<uint32_t>(left) + static_cast<uint32_t>(right)) >> 1);
    do {
      while (compare(*this, i, pivot) < 0)
        ++i;
      while (compare(*this, j, pivot) > 0)
        --j;
      if (i <= j) {
        Exchange(i, j);
        if (pivot == i)
          pivot = j;
        else if (pivot == j)
          pivot = i;
        ++i;
        --j;
      }
    } while (i <= j);
    if (left < j)
      QuickSort(left, j, compare);
    left = i;
  } while (i < right);
}

void TSorIntegerList::CheckIndex(int32_t index) const {
  if (index < 0 || index >= Count())
    IndexError(index);
}
