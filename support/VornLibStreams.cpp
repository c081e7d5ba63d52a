#include "VornLibStreams.h"

#include <algorithm>
#include <cstring>

int64_t TStream::Size() {
  const int64_t here = Seek(0, 1);
  const int64_t end = Seek(0, 2);
  Seek(here, 0);
  return end;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPosition >= static_cast<int64_t>(FBytes.size()))
    return 0;
  const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(FBytes.size()) - FPosition);
  std::memcpy(buffer, FBytes.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0)
    return 0;
  const auto end = static_cast<size_t>(FPosition + count);
  if (end > FBytes.size())
    FBytes.resize(end);
  std::memcpy(FBytes.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  int64_t base = 0;
  if (origin == 1)
    base = FPosition;
  else if (origin == 2)
    base = static_cast<int64_t>(FBytes.size());
  if (base + offset < 0)
    return -1;
  FPosition = base + offset;
  return FPosition;
}
