// The parts of the file utilities that need no platform call of their own.
#include "VornLibFilesystem.h"

#include "VornLibCodePage.h"

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

std::unique_ptr<TVornFileStream> TVornFileStream::Adopt(std::u16string_view fileName,
                                                        intptr_t handle) {
  return std::unique_ptr<TVornFileStream>(new TVornFileStream(fileName, handle, TAdopted{}));
}

TOldContentKept::TOldContentKept(std::error_code code, std::u16string copy)
    : std::system_error(code, "the old content is kept in " + Utf16ToUtf8(copy)),
      FCopy(std::move(copy)) {}

void RaiseStreamError(const THandleStream& stream, const char* what) {
  const std::error_code error = stream.Error();
  throw std::system_error(error ? error : std::make_error_code(std::errc::io_error), what);
}

namespace {

// The bytes from the stream's position to its end, as far as the stream tells (0 when it cannot
// seek; a failure to go back to the position raises); the file may still grow or shrink meanwhile.
size_t BytesLeft(THandleStream& stream) {
  const int64_t here = stream.Seek(0, 1);
  if (here < 0)
    return 0; // a stream that cannot seek (a pipe) gives no size
  const int64_t end = stream.Seek(0, 2);
  if (end < 0)
    return 0;
  // A stream left at its end would read as empty.
  if (stream.Seek(here, 0) != here)
    RaiseStreamError(stream, "seek failed");
  return end > here ? static_cast<size_t>(end - here) : 0;
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

[[noreturn]] void RaiseInjected(const char* what) {
  throw std::system_error(std::make_error_code(std::errc::io_error), what);
}

// Copies and comparisons go a piece of this size at a time.
constexpr size_t PieceBytes = size_t{1} << 20;

// Writes the produced bytes from the stream's position. An injected write fault lets its first
// bytes through and then fails.
void WritePieces(THandleStream& stream, const TByteProducer& produce) {
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
}

void FlushOrRaise(THandleStream& stream) {
  if (FileFaultAt(TFileStep::Flush))
    RaiseInjected("flush failed");
  if (!stream.Flush())
    RaiseStreamError(stream, "flush failed");
}

void WriteAndFlush(THandleStream& stream, const TByteProducer& produce) {
  WritePieces(stream, produce);
  FlushOrRaise(stream);
}

TSaveResult Failed(TSaveFailure failure, std::error_code error = {}) {
  TSaveResult result;
  result.Failure = failure;
  result.Error = error;
  return result;
}

TSaveResult CannotWrite(std::errc reason) {
  return Failed(TSaveFailure::CannotWrite, std::make_error_code(reason));
}

std::error_code ErrorOf(const TVornFileStream& stream) {
  if (stream.LastError() == 0)
    return std::make_error_code(std::errc::io_error);
  return std::error_code(stream.LastError(), std::system_category());
}

// An OS error code a stream kept.
TSaveResult CannotWrite(const TVornFileStream& stream) {
  return Failed(TSaveFailure::CannotWrite, ErrorOf(stream));
}

// The ordinary road: a new file beside the target (given the model's owner, attributes and mode;
// a copy also its times), written, flushed and swapped in. NotReplaced (nothing changed) where it
// cannot be done.
TReplaceResult WriteNewFile(std::u16string_view target, std::u16string_view model,
                            const TByteProducer& produce, TFileGuard* guard,
                            TNewFileBeside::TLikeness likeness, std::u16string_view namesOf,
                            TSaveResult& result) {
  if (FileFaultAt(TFileStep::CreateTemporary)) {
    result = CannotWrite(std::errc::permission_denied);
    return TReplaceResult::NotReplaced;
  }
  std::error_code error;
  const auto file = TNewFileBeside::Create(target, model, likeness, error, namesOf);
  if (!file) {
    result = Failed(TSaveFailure::CannotWrite, error);
    return TReplaceResult::NotReplaced;
  }
  WriteAndFlush(file->Stream(), produce);
  if (likeness == TNewFileBeside::TLikeness::Copy)
    file->KeepModelTimes();
  if (guard != nullptr) {
    if (!guard->Unchanged()) {
      result = Failed(TSaveFailure::Changed);
      return TReplaceResult::NotReplaced;
    }
    guard->Release();
  }
  if (FileFaultAt(TFileStep::Replace)) {
    result = CannotWrite(std::errc::device_or_resource_busy);
    return TReplaceResult::NotReplaced;
  }
  TSwapCheck check;
  const TReplaceResult replaced = file->ReplaceTarget(guard, &check);
  if (replaced == TReplaceResult::Stranded) {
    // The new file holds the only copy of the new bytes on disk: it stays, and so do the old.
    file->Keep();
    result = Failed(TSaveFailure::Stranded);
    result.OldCopy = BackupNameBeside(target, file->Name());
    result.NewCopy = file->Name();
  } else if (check.Changed) {
    // Another writer came in the last instant: swapped back (nothing written), or what it left
    // kept beside the new file.
    result = Failed(TSaveFailure::Changed);
    result.OldCopy = check.Kept;
  } else if (replaced == TReplaceResult::NotReplaced) {
    result = check.Error ? Failed(TSaveFailure::CannotWrite, check.Error)
                         : CannotWrite(std::errc::device_or_resource_busy);
  } else {
    result = TSaveResult{};
    result.LateError = check.FlushError;
  }
  return replaced;
}

// The old bytes of a file, whole: its content until the new one is on disk.
std::string ReadOldBytes(std::u16string_view target, TSaveResult& result) {
  TVornFileStream in(target, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
  if (!in.IsOpen()) {
    result = CannotWrite(in);
    return {};
  }
  return ReadAllBytes(in);
}

// Writes the old bytes, and what another writer appended meanwhile, back over a file written in
// place; true when they are on disk again. The file was never cut shorter than its old length, so
// this takes no room on the device that the old content did not have.
bool PutBack(THandleStream& out, std::string_view original, std::string_view appended = {}) {
  if (out.Seek(0, 0) != 0)
    return false;
  try {
    WriteAllBytes(out, original);
    WriteAllBytes(out, appended);
  } catch (const std::system_error&) {
    return false;
  }
  return out.SetSize(static_cast<int64_t>(original.size() + appended.size())) && out.Flush();
}

// A copy of the old bytes beside the file, flushed, under a fresh ".old" name of its save: the
// running user's own, with no access for others. None, with the reason, when it cannot be made.
std::unique_ptr<TNewFileBeside> KeepOldBytes(std::u16string_view target, std::string_view original,
                                             std::error_code& error) {
  if (FileFaultAt(TFileStep::CreateTemporary)) {
    error = std::make_error_code(std::errc::permission_denied);
    return nullptr;
  }
  auto copy = TNewFileBeside::Create(target, {}, TNewFileBeside::TLikeness::Private, error, target);
  if (!copy)
    return nullptr;
  try {
    WriteAndFlush(copy->Stream(), [original](const TByteSink& sink) { sink(original); });
  } catch (const std::system_error& failure) {
    error = failure.code();
    return nullptr;
  }
  if (!copy->NameAs(u".old", error))
    return nullptr;
  return copy;
}

// The size of an open file, or -1.
int64_t SizeOf(THandleStream& stream) {
  const int64_t here = stream.Seek(0, 1);
  const int64_t end = stream.Seek(0, 2);
  return here >= 0 && stream.Seek(here, 0) == here ? end : -1;
}

// The road beside the ordinary one: the file itself is rewritten. The old bytes first go to a
// ".old" copy beside it, flushed; then the file, opened without following a link and checked to be
// the one that was read, is written over from its start, cut to the new length and flushed; the
// copy goes after that. Nothing is written where no copy can be made.
TSaveResult WriteInPlace(std::u16string_view target, const TByteProducer& produce,
                         TFileGuard* guard) {
  TSaveResult result;
  std::string original;
  const bool exists = FileExists(target);
  if (exists) {
    original = ReadOldBytes(target, result);
    if (!result)
      return result;
  }
  std::string fresh;
  produce([&fresh](std::string_view piece) { fresh.append(piece); });

  std::unique_ptr<TNewFileBeside> aside;
  if (exists) {
    std::error_code error;
    aside = KeepOldBytes(target, original, error);
    if (!aside)
      return Failed(TSaveFailure::NoCopyBeside, error);
  }
  const auto dropAside = [&aside] {
    if (aside)
      DeleteFileName(aside->Name());
  };
  if (guard != nullptr) {
    if (!guard->Unchanged()) {
      dropAside();
      return Failed(TSaveFailure::Changed);
    }
    guard->Release();
  }
  if (FileFaultAt(TFileStep::OpenInPlace)) {
    dropAside();
    return CannotWrite(std::errc::permission_denied);
  }
  TVornFileStream out(target,
                      exists ? TVornFileStream::ModeWriteInPlace : TVornFileStream::ModeCreateNew);
  if (!out.IsOpen()) {
    dropAside();
    return CannotWrite(out);
  }
  // The name may have been given to another file since the check (a link swapped in).
  if (guard != nullptr && exists && !guard->IsGuardedFile(out)) {
    dropAside();
    return Failed(TSaveFailure::Changed);
  }
  const int64_t oldSize = static_cast<int64_t>(original.size());
  const int64_t newSize = static_cast<int64_t>(fresh.size());
  try {
    WritePieces(out, [&fresh](const TByteSink& sink) { sink(fresh); });
    // Another writer that appended while the new bytes went in keeps what it wrote: the file
    // goes back to its old bytes with the appended ones behind them.
    const int64_t size = SizeOf(out);
    if (size > std::max(oldSize, newSize)) {
      std::string appended(static_cast<size_t>(size - std::max(oldSize, newSize)), '\0');
      if (out.Seek(std::max(oldSize, newSize), 0) >= 0 &&
          out.Read(appended.data(), static_cast<int64_t>(appended.size())) ==
              static_cast<int64_t>(appended.size()) &&
          PutBack(out, original, appended)) {
        dropAside();
        return Failed(TSaveFailure::Changed);
      }
      throw std::system_error(std::make_error_code(std::errc::io_error), "write failed");
    }
    if (!out.SetSize(newSize))
      RaiseStreamError(out, "write failed");
    FlushOrRaise(out);
  } catch (const std::system_error& failure) {
    if (PutBack(out, original)) {
      dropAside();
      throw;
    }
    // The old bytes are on disk only in the copy beside the file: the message names it.
    if (!aside)
      throw;
    throw TOldContentKept(failure.code(), aside->Name());
  }
  // The bytes are on disk: what the close says changes nothing of them.
  out.Close();
  if (aside) {
    const bool injected = FileFaultAt(TFileStep::RemoveCopy);
    if (injected || !DeleteFileName(aside->Name())) {
      result.LateError = injected ? std::make_error_code(std::errc::io_error) : LastFileError();
      result.LateCopy = aside->Name();
    }
  }
  return result;
}

// A file that is not a regular one (a device, a FIFO, a pipe) is written as it is: no new file,
// no read-back, no swap.
TSaveResult WriteStraight(std::u16string_view target, const TByteProducer& produce) {
  TVornFileStream out(target, TVornFileStream::ModeWrite);
  if (!out.IsOpen())
    return CannotWrite(out);
  produce([&out](std::string_view piece) { WriteAllBytes(out, piece); });
  if (!out.Close())
    RaiseStreamError(out, "close failed");
  return {};
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

TSaveResult SaveFileSafely(std::u16string_view fileName, std::string_view bytes) {
  return SaveFileSafely(fileName, [bytes](const TByteSink& sink) { sink(bytes); });
}

TSaveResult SaveFileSafely(std::u16string_view fileName, const TByteProducer& produce,
                           TFileGuard* guard) {
  // A link to a file that is not there is no name to write through, nor one to replace.
  if (IsDanglingLink(fileName))
    return Failed(TSaveFailure::DanglingLink);
  const std::u16string target = ResolveFinalPath(fileName);
  std::error_code error;
  const TFileKind kind = FileKindOf(target, error);
  // A file that cannot be looked at is no model for a new one.
  if (error && error != std::errc::no_such_file_or_directory)
    return Failed(TSaveFailure::CannotWrite, error);
  if (kind == TFileKind::Folder)
    return CannotWrite(std::errc::is_a_directory);
  if (kind == TFileKind::Other)
    return WriteStraight(target, produce);
  // What a run killed while it wrote a new file of this one left goes first.
  ClearLeftoverTemporaries(target);
  TSaveResult result;
  const std::u16string model = kind == TFileKind::Regular ? target : std::u16string();
  if (WriteNewFile(target, model, produce, guard, TNewFileBeside::TLikeness::Exact, target,
                   result) != TReplaceResult::NotReplaced ||
      result.Failure == TSaveFailure::Changed)
    return result;
  // The swap cannot be made here (a bind-mounted file, a file held open, a folder that takes no
  // new file, an owner that cannot be given): the file is written in place instead.
  return WriteInPlace(target, produce, guard);
}

TSaveResult CopyFileSafely(std::u16string_view source, std::u16string_view copy) {
  TSaveResult result;
  if (FileKindOf(source) != TFileKind::Regular)
    return CannotWrite(std::errc::no_such_file_or_directory);
  TVornFileStream in(source, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
  if (!in.IsOpen())
    return CannotWrite(in);
  // A link under the copy's name is replaced, never followed.
  WriteNewFile(
      copy, source,
      [&in](const TByteSink& sink) {
        std::string piece(PieceBytes, '\0');
        if (in.Seek(0, 0) != 0)
          RaiseStreamError(in, "read failed");
        for (;;) {
          const int64_t moved = in.Read(piece.data(), static_cast<int64_t>(piece.size()));
          if (moved < 0)
            RaiseStreamError(in, "read failed");
          if (moved == 0)
            break;
          sink(std::string_view(piece.data(), static_cast<size_t>(moved)));
        }
      },
      nullptr, TNewFileBeside::TLikeness::Copy, source, result);
  return result;
}

bool SameFileContent(std::u16string_view first, std::u16string_view second) {
  TVornFileStream a(first, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
  TVornFileStream b(second, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
  if (!a.IsOpen() || !b.IsOpen())
    return false;
  const int64_t size = SizeOf(a);
  if (size < 0 || size != SizeOf(b))
    return false;
  std::string one(PieceBytes, '\0');
  std::string two(PieceBytes, '\0');
  for (;;) {
    const int64_t got = a.Read(one.data(), static_cast<int64_t>(one.size()));
    if (got < 0 || b.Read(two.data(), got) != got)
      return false;
    if (got == 0)
      return true;
    if (std::string_view(one.data(), static_cast<size_t>(got)) !=
        std::string_view(two.data(), static_cast<size_t>(got)))
      return false;
  }
}
