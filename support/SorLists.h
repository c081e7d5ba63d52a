// SorLists: a growable list of signed 32-bit integers, optionally kept sorted.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "VornLibStreams.h"

// The list library's errors. ESorError is the general error ("Cannot insert element in sorted
// list."); ESorListError a bad index or a rejected duplicate; EConvertError a text that is no
// integer.
class ESorError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
class ESorListError : public ESorError {
public:
  using ESorError::ESorError;
};
class EConvertError : public ESorError {
public:
  using ESorError::ESorError;
};

enum TSorDuplicates : uint8_t { IgnoreDuplicates = 0, AcceptDuplicates = 1, RejectDuplicates = 2 };

class TSorIntegerList;

// A method pointer: a function and the object it is called on. The operation is 0 after an
// insertion, 1 after a deletion.
struct TSorTMethod {
  void (*Code)(void* data, TSorIntegerList& list, int32_t index, int operation) = nullptr;
  void* Data = nullptr;
};

// Method pointers held as two parallel lists of code and data pointers.
class TSorTMethodList {
public:
  int32_t Count() const { return static_cast<int32_t>(FCode.size()); }
  TSorTMethod Items(int32_t index) const; // raises ESorListError out of range
  int32_t Add(TSorTMethod method);
  void Remove(TSorTMethod method);

private:
  std::vector<decltype(TSorTMethod::Code)> FCode;
  std::vector<void*> FData;
};

class TSorIntegerList {
public:
  using TCompare = int (*)(const TSorIntegerList& list, int32_t index1, int32_t index2);

  TSorIntegerList();
  virtual ~TSorIntegerList();
  TSorIntegerList(const TSorIntegerList&) = delete;
  TSorIntegerList& operator=(const TSorIntegerList&) = delete;

  TSorDuplicates Duplicates = IgnoreDuplicates;

  virtual int32_t Capacity() const;
  virtual int32_t Count() const;
  virtual int32_t Items(int32_t index) const;
  virtual std::u16string Text() const;
  virtual void SetCapacity(int32_t value);
  virtual void SetCount(int32_t value);
  virtual void SetItems(int32_t index, int32_t value);
  virtual void SetSorted(bool value);
  virtual void SetText(std::u16string_view value);
  virtual int32_t Add(int32_t value);
  virtual void Append(const TSorIntegerList& other);
  virtual void Assign(const TSorIntegerList& other);
  virtual void Clear();
  virtual void Delete(int32_t index);
  // Writes the count, then the values, as 32-bit words; returns the address after the last.
  virtual uint8_t* Dump(uint8_t* memory) const;
  virtual int32_t Ensure(int32_t value);
  virtual void Exchange(int32_t index1, int32_t index2);
  virtual bool Find(int32_t value, int32_t& index) const;
  virtual int32_t First() const;
  virtual void Insert(int32_t index, int32_t value);
  virtual int32_t Last() const;
  virtual bool LoadFromStream(TStream& stream);
  virtual void Move(int32_t fromIndex, int32_t toIndex);
  virtual void Remove(int32_t value);
  // Reads a count and adds that many following words; returns the address after them.
  virtual const uint8_t* Restore(const uint8_t* memory);
  virtual void SaveToStream(TStream& stream) const;

  int32_t IndexOf(int32_t value) const;
  void CustomSort(TCompare compare);
  std::u16string AsDelimitedText(std::u16string_view delimiter, bool trailing) const;

  bool Sorted() const { return FSorted; }
  TSorTMethodList& Handlers() { return FHandlers; }

private:
  void Notify(int32_t index, int operation);
  void InsertItem(int32_t index, int32_t value); // no checks; notifies the insertion
  static int CompareAscending(const TSorIntegerList& list, int32_t index1, int32_t index2);
  void QuickSort(int32_t left, int32_t right, TCompare compare);
  void CheckIndex(int32_t index) const;

  std::vector<int32_t> FItems;
  TSorTMethodList FHandlers;
  bool FSorted = false;
};
