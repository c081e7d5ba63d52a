// The parts of the file utilities that need no platform call of their own.
#include "VornLibFilesystem.h"

std::string ReadAllBytes(THandleStream& stream) {
  std::string bytes;
  // Room for the whole rest of the file at once (a file may still grow meanwhile).
  const int64_t here = stream.Seek(0, 1);
  const int64_t end = stream.Seek(0, 2);
  if (here >= 0 && stream.Seek(here, 0) == here && end > here)
    bytes.reserve(static_cast<size_t>(end - here) + 1);
  char buffer[65536];
  for (;;) {
    const int64_t moved = stream.Read(buffer, sizeof buffer);
    if (moved < 0)
      RaiseLastFileError("read failed");
    if (moved == 0)
      return bytes;
    bytes.append(buffer, static_cast<size_t>(moved));
  }
}

void WriteAllBytes(THandleStream& stream, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int64_t moved =
        stream.Write(bytes.data() + done, static_cast<int64_t>(bytes.size() - done));
    if (moved <= 0)
      RaiseLastFileError("write failed");
    done += static_cast<size_t>(moved);
  }
}
