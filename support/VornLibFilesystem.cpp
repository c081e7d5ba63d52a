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

TSaveResult Failed(TSaveFailure failure, std::error_code error = {}) {
  TSaveResult result;
  result.Failure = failure;
  result.Error = error;
  return result;
}

TSaveResult CannotWrite(std::errc reason) {
  return Failed(TSaveFailure::CannotWrite, std::make_error_code(reason));
}

// An OS error code a stream kept.
TSaveResult CannotWrite(const TVornFileStream& stream) {
  if (stream.LastError() == 0)
    return CannotWrite(std::errc::io_error);
  return Failed(TSaveFailure::CannotWrite,
                std::error_code(stream.LastError(), std::system_category()));
}

// The ordinary road: a new file beside the target (given the model's owner, attributes and mode;
// a copy also its times), written, flushed and swapped in. NotReplaced (nothing changed) where it
// cannot be done.
TReplaceResult WriteNewFile(std::u16string_view target, std::u16string_view model,
                            const TByteProducer& produce, TFileGuard* guard, bool copy,
                            TSaveResult& result) {
  if (FileFaultAt(TFileStep::CreateTemporary)) {
    result = CannotWrite(std::errc::permission_denied);
    return TReplaceResult::NotReplaced;
  }
  std::error_code error;
  const auto file = TNewFileBeside::Create(
      target, model, copy ? TNewFileBeside::TLikeness::Copy : TNewFileBeside::TLikeness::Exact,
      error);
  if (!file) {
    result = Failed(TSaveFailure::CannotWrite, error);
    return TReplaceResult::NotReplaced;
  }
  WriteAndFlush(file->Stream(), produce);
  if (copy)
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
  const TReplaceResult replaced = file->ReplaceTarget();
  if (replaced == TReplaceResult::Stranded) {
    // The new file holds the only copy of the new bytes on disk: it stays, and so do the old.
    file->Keep();
    result = Failed(TSaveFailure::Stranded);
    result.OldCopy = BackupNameBeside(target);
    result.NewCopy = file->Name();
  } else if (replaced == TReplaceResult::NotReplaced) {
    result = CannotWrite(std::errc::device_or_resource_busy);
  } else {
    result = TSaveResult{};
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

// Puts the old bytes back after a failed write in place; true when they are on disk again.
bool PutBack(TVornFileStream& out, std::string_view original) {
  if (out.Seek(0, 0) != 0 || !out.SetSize(0))
    return false;
  try {
    WriteAllBytes(out, original);
  } catch (const std::system_error&) {
    return false;
  }
  return out.Flush();
}

// The road beside the ordinary one: the file itself is rewritten. The old bytes first go to the
// file's ".old" save name, flushed; the new bytes, made whole beforehand, then go in with one
// write, so that a reader sees the file short for no longer than that; the copy goes once they are
// flushed.
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

  // Where no file can be made beside it, the file is written unprotected.
  std::u16string aside;
  if (exists) {
    TSaveResult kept;
    try {
      if (WriteNewFile(
              BackupNameBeside(target), target,
              [&original](const TByteSink& sink) { sink(original); }, nullptr, false,
              kept) == TReplaceResult::Replaced)
        aside = BackupNameBeside(target);
    } catch (const std::system_error&) {
      // No room for the copy (a full disk): the new bytes still go in, unprotected.
    }
  }
  const auto dropAside = [&aside] {
    if (!aside.empty())
      DeleteFileName(aside);
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
  TVornFileStream out(target, TVornFileStream::ModeCreate);
  if (!out.IsOpen()) {
    dropAside();
    return CannotWrite(out);
  }
  try {
    WriteAndFlush(out, [&fresh](const TByteSink& sink) { sink(fresh); });
  } catch (const std::system_error& failure) {
    if (PutBack(out, original)) {
      dropAside();
      throw;
    }
    // The old bytes are on disk only in the copy beside the file: the message names it.
    if (aside.empty())
      throw;
    throw TOldContentKept(failure.code(), aside);
  }
  if (!out.Close())
    RaiseStreamError(out, "close failed");
  dropAside();
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

TReplaceResult TNewFileBeside::ReplaceTarget() {
  if (!GiveName())
    return TReplaceResult::NotReplaced;
  if (!FStream->Close())
    RaiseStreamError(*FStream, "close failed");
  const TReplaceResult result = ReplaceFileAtomically(FTarget, FName);
  if (result == TReplaceResult::Replaced)
    FName.clear();
  return result;
}

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
  const std::u16string target = ResolveFinalPath(fileName);
  const TFileKind kind = FileKindOf(target);
  if (kind == TFileKind::Folder)
    return CannotWrite(std::errc::is_a_directory);
  if (kind == TFileKind::Other)
    return WriteStraight(target, produce);
  TSaveResult result;
  const std::u16string model = kind == TFileKind::Regular ? target : std::u16string();
  if (WriteNewFile(target, model, produce, guard, false, result) != TReplaceResult::NotReplaced ||
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
  const std::string bytes = ReadOldBytes(source, result);
  if (!result)
    return result;
  // A link under the copy's name is replaced, never followed.
  WriteNewFile(
      copy, source, [&bytes](const TByteSink& sink) { sink(bytes); }, nullptr, true, result);
  return result;
}
