// The parts of the file utilities that need no platform call of their own.
#include "VornLibFilesystem.h"

#include <algorithm>
#include <memory>
#include <system_error>
#include <utility>

// ---- The handle stream's loops ----

namespace {

// Repeats one OS read or write until count bytes moved, the end came (fewer moved) or it failed
// (-1).
template <typename Byte, typename Some> int64_t Whole(Byte* buffer, int64_t count, Some some) {
  int64_t done = 0;
  while (done < count) {
    const int64_t moved = some(buffer + done, count - done);
    if (moved < 0)
      return -1;
    if (moved == 0)
      break;
    done += moved;
  }
  return done;
}

} // namespace

int64_t THandleStream::Read(void* buffer, int64_t count) {
  return Whole(static_cast<char*>(buffer), count,
               [this](char* at, int64_t left) { return ReadSome(at, left); });
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
  return Whole(static_cast<const char*>(buffer), count,
               [this](const char* at, int64_t left) { return WriteSome(at, left); });
}

int64_t THandleStream::Seek(int64_t offset, int origin) {
  return origin >= 0 && origin <= 2 ? SeekFrom(offset, origin) : -1;
}

bool TVornFileStream::SplitMode(uint16_t mode, unsigned& access, unsigned& sharing) {
  access = mode & 0x3u;
  sharing = (mode & 0xF0u) >> 4;
  return access <= 2 && sharing <= 4;
}

void RaiseStreamError(const THandleStream& stream, const char* what) {
  const std::error_code error = stream.Error();
  throw std::system_error(error ? error : std::make_error_code(std::errc::io_error), what);
}

namespace {

// The bytes from the stream's position to its end, as far as the stream tells (0 when it cannot
// seek); the file may still grow or shrink meanwhile.
size_t BytesLeft(THandleStream& stream) {
  const int64_t here = stream.Seek(0, 1);
  const int64_t end = stream.Seek(0, 2);
  if (here >= 0 && stream.Seek(here, 0) == here && end > here)
    return static_cast<size_t>(end - here);
  return 0;
}

// Reads to the end of the stream into one buffer: room(filled) gives the buffer's data and size,
// having made it larger first when filled has reached its size. Returns how many bytes it read.
template <typename Room> size_t ReadToEnd(THandleStream& stream, Room room) {
  size_t filled = 0;
  for (;;) {
    const auto [data, size] = room(filled);
    const int64_t moved = stream.Read(data + filled, static_cast<int64_t>(size - filled));
    if (moved < 0)
      RaiseStreamError(stream, "read failed");
    if (moved == 0)
      return filled;
    filled += static_cast<size_t>(moved);
  }
}

} // namespace

std::string ReadAllBytes(THandleStream& stream) {
  // The bytes go straight into the string, sized for the rest of the file.
  std::string bytes(BytesLeft(stream) + 1, '\0');
  bytes.resize(ReadToEnd(stream, [&bytes](size_t filled) {
    if (filled == bytes.size())
      bytes.resize(bytes.size() + (bytes.size() / 2) + 65536);
    return std::pair{bytes.data(), bytes.size()};
  }));
  return bytes;
}

TLargeBuffer ReadAllBytesLarge(THandleStream& stream) {
  TLargeBuffer buffer(BytesLeft(stream) + 65536);
  buffer.SetSize(ReadToEnd(stream, [&buffer](size_t filled) {
    if (filled == buffer.Capacity()) {
      // The file grew while it was read.
      TLargeBuffer larger(buffer.Capacity() * 2);
      std::copy(buffer.Data(), buffer.Data() + filled, larger.Data());
      buffer = std::move(larger);
    }
    return std::pair{buffer.Data(), buffer.Capacity()};
  }));
  return buffer;
}

void WriteAllBytes(THandleStream& stream, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int64_t moved =
        stream.Write(bytes.data() + done, static_cast<int64_t>(bytes.size() - done));
    if (moved <= 0)
      RaiseStreamError(stream, "write failed");
    done += static_cast<size_t>(moved);
  }
}

bool ExpandEnvironmentPath(std::u16string_view text, std::u16string& result) {
  const bool blank = std::all_of(text.begin(), text.end(), [](char16_t c) { return c <= u' '; });
  if (blank)
    return false;
  // Only a text with two percent signs can hold a reference.
  const size_t first = text.find(u'%');
  if (first == std::u16string_view::npos ||
      text.find(u'%', first + 1) == std::u16string_view::npos) {
    result.assign(text);
    return true;
  }
  return ExpandEnvironmentReferences(text, result);
}

// ---- Saving a file safely ----

namespace {

TFileFaultHook& FaultHook() {
  static TFileFaultHook hook;
  return hook;
}

// A temporary file and its open stream: when it goes, the stream is closed first and then the
// file deleted, unless it was handed over.
class TTemporaryFile {
public:
  TTemporaryFile(std::u16string name, std::unique_ptr<TVornFileStream> stream)
      : FName(std::move(name)), FStream(std::move(stream)) {}
  ~TTemporaryFile() {
    FStream.reset();
    if (!FName.empty())
      DeleteFileName(FName);
  }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;

  TVornFileStream& Stream() { return *FStream; }
  void Close() { FStream.reset(); }
  void Release() { FName.clear(); }

private:
  std::u16string FName;
  std::unique_ptr<TVornFileStream> FStream;
};

[[noreturn]] void RaiseInjected(const char* what) {
  throw std::system_error(std::make_error_code(std::errc::io_error), what);
}

void WriteAndFlush(THandleStream& stream, const TByteProducer& produce) {
  // An injected write fault lets its first bytes through and then fails.
  int64_t allowed = 0;
  const bool fails = FileFaultAt(TFileStep::Write, allowed);
  int64_t written = 0;
  produce([&](std::string_view piece) {
    if (fails && static_cast<int64_t>(piece.size()) >= allowed) {
      WriteAllBytes(stream, piece.substr(0, static_cast<size_t>(std::max<int64_t>(allowed, 0))));
      RaiseInjected("write failed");
    }
    WriteAllBytes(stream, piece);
    // The device starts on each piece while the next is made.
    stream.StartFlush(written, static_cast<int64_t>(piece.size()));
    written += static_cast<int64_t>(piece.size());
    allowed -= static_cast<int64_t>(piece.size());
  });
  if (fails)
    RaiseInjected("write failed");
  if (FileFaultAt(TFileStep::Flush))
    RaiseInjected("flush failed");
  if (!stream.Flush())
    RaiseStreamError(stream, "flush failed");
}

// A new, empty temporary file in the target's folder, or none.
std::unique_ptr<TVornFileStream> CreateTemporaryBeside(std::u16string_view target,
                                                       std::u16string& name) {
  if (FileFaultAt(TFileStep::CreateTemporary))
    return nullptr;
  const std::u16string folder = ExtractFilePath(target);
  const std::u16string base(target.substr(folder.size()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::u16string candidate = folder + u"." + base + u".tarnwick-";
    for (const char c : std::to_string(attempt))
      candidate.push_back(static_cast<char16_t>(c));
    candidate += u".tmp";
    auto stream = std::make_unique<TVornFileStream>(candidate, TVornFileStream::ModeCreateNew);
    if (stream->IsOpen()) {
      name = std::move(candidate);
      return stream;
    }
    if (!FileExists(candidate) && !DirectoryExists(candidate))
      return nullptr; // the folder allows no new file
  }
  return nullptr;
}

// Writes the file in place; when that fails, its old bytes go back before the error passes.
bool WriteInPlace(std::u16string_view target, const TByteProducer& produce) {
  std::string original;
  if (FileExists(target)) {
    TVornFileStream in(target, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
    if (!in.IsOpen())
      return false;
    original = ReadAllBytes(in);
  }
  if (FileFaultAt(TFileStep::OpenInPlace))
    return false;
  TVornFileStream out(target, TVornFileStream::ModeCreate);
  if (!out.IsOpen())
    return false;
  try {
    WriteAndFlush(out, produce);
  } catch (...) {
    if (out.Seek(0, 0) == 0 && out.SetSize(0)) {
      try {
        WriteAllBytes(out, original);
        out.Flush();
      } catch (...) {
      }
    }
    throw;
  }
  return true;
}

} // namespace

TFileFaultHook SetFileFaultHook(TFileFaultHook hook) {
  TFileFaultHook previous = std::move(FaultHook());
  FaultHook() = std::move(hook);
  return previous;
}

bool FileFaultAt(TFileStep step, int64_t& bytesBeforeFailure) {
  bytesBeforeFailure = 0;
  return FaultHook() && FaultHook()(step, bytesBeforeFailure);
}

bool SaveFileSafely(std::u16string_view fileName, std::string_view bytes) {
  return SaveFileSafely(fileName, [bytes](const TByteSink& sink) { sink(bytes); });
}

bool SaveFileSafely(std::u16string_view fileName, const TByteProducer& produce) {
  const std::u16string target = ResolveFinalPath(fileName);
  std::u16string temporaryName;
  if (auto stream = CreateTemporaryBeside(target, temporaryName)) {
    TTemporaryFile temporary(temporaryName, std::move(stream));
    WriteAndFlush(temporary.Stream(), produce);
    temporary.Close(); // closed before the swap
    if (!FileFaultAt(TFileStep::Replace)) {
      switch (ReplaceFileAtomically(target, temporaryName)) {
      case TReplaceResult::Replaced:
        temporary.Release();
        return true;
      case TReplaceResult::Stranded:
        // The temporary file holds the only copy of the new bytes on disk: it stays.
        temporary.Release();
        return false;
      case TReplaceResult::NotReplaced:
        break;
      }
    }
    // The swap cannot be made here (another file system, a bind-mounted file, a file held open):
    // the file is written in place instead.
  }
  return WriteInPlace(target, produce);
}
