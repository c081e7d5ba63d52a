// Byte streams: the small stream interface shared by the list library and the file stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A sequential byte stream. Read and Write move up to `count` bytes and return how many moved,
// or -1 when the underlying device failed.
class TStream {
public:
  virtual ~TStream() = default;
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; origin 0 = from the start, 1 = from the current position, 2 = from the
  // end. Returns the new position, or -1.
  virtual int64_t Seek(int64_t offset, int origin) = 0;

  int64_t Position() { return Seek(0, 1); }
  int64_t Size();
};

// A stream over a growable block of memory.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : FBytes(std::move(bytes)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;

  const std::string& Bytes() const { return FBytes; }

private:
  std::string FBytes;
  int64_t FPosition = 0;
};
