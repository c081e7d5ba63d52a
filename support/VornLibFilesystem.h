// VornLibFilesystem: access tests, attributes and the file stream.
// One portable interface; VornLibFilesystem_win32.cpp and VornLibFilesystem_posix.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "VornLibMemory.h"
#include "VornLibStreams.h"

// Windows file access rights used by the access tests.
constexpr uint32_t ReadAccessMask = 0x00120089;   // FILE_GENERIC_READ
constexpr uint32_t WriteAccessMask = 0x00120116;  // FILE_GENERIC_WRITE
constexpr uint32_t ModifyAccessMask = 0x00000112; // write data / add file, write EA, attributes

constexpr uint32_t InvalidFileAttributes = 0xFFFFFFFF;
constexpr uint32_t FileAttributeReadOnly = 0x1;
constexpr uint32_t FileAttributeHidden = 0x2;
constexpr uint32_t FileAttributeSystem = 0x4;

// True when the current user is granted the mask on the path, or the volume is not NTFS.
// POSIX: faccessat(AT_EACCESS) for the read and write bits of the mask.
bool CheckFileAccess(uint32_t desiredAccess, std::u16string_view path);
bool CanReadFile(std::u16string_view path);
// An existing file: write access to it; otherwise modify access to its folder.
bool CanWriteFile(std::u16string_view path);
bool CanModifyPath(std::u16string_view path);
// Why the last access test of this thread said no (POSIX: the system's error; Windows: access
// denied).
std::error_code LastAccessError();

// The file-system name of the volume of a drive ("C:") or UNC share; empty when unreadable.
std::u16string GetVolumeFileSystem(std::u16string_view drive);
// Expands %NAME% references when the text holds two percent signs. False (output untouched)
// for a blank text or a failed expansion.
bool ExpandEnvironmentPath(std::u16string_view text, std::u16string& result);
// The platform's part of it: %NAME% references expanded (POSIX: from the environment, an
// unknown name copied as written). False (output untouched) when the expansion fails.
bool ExpandEnvironmentReferences(std::u16string_view text, std::u16string& result);
// The system directory, with or without a trailing delimiter.
std::u16string GetSystemFolder(bool withDelimiter);

// Attribute word of an existing file (not a folder). False, with 0xFFFFFFFF, otherwise.
bool FileGetAttributes(std::u16string_view path, uint32_t& attributes);
bool FileSetAttributes(std::u16string_view path, uint32_t attributes);
inline bool HasReadOnlyAttribute(uint32_t attributes) {
  return (attributes & 0x1) != 0;
}
inline bool HasSystemAttribute(uint32_t attributes) {
  return (attributes & 0x4) != 0;
}

// How many names (hard links) the file has; 1 when it cannot be told.
uint32_t FileLinkCount(std::u16string_view path);
// Existence tests: a file (not a folder), a folder.
bool FileExists(std::u16string_view path);
bool DirectoryExists(std::u16string_view path);
// Copies a file, replacing the target. False on any failure.
bool CopyFileReplace(std::u16string_view source, std::u16string_view target);
// Everything up to and including the last path delimiter or drive colon ("" when none).
std::u16string ExtractFilePath(std::u16string_view path);

// The longest path a Windows file call takes without the long-path prefix: MAX_PATH (260) counts
// the terminating NUL, so a path of 260 characters or more goes with the prefix.
constexpr size_t MaxShortPathLength = 259;
// The one form in which the Windows file layer names a file to the system, made from the full
// path (GetFullPathNameW): slashes turned to backslashes, and over MaxShortPathLength characters
// the long-path prefix ("\\?\C:\...", "\\?\UNC\server\share\..."). A name already in the
// system's own form stays as it is; a relative name gets no prefix.
std::u16string LongPathForm(std::u16string_view fullPath);
// The name by which the file layer hands a path to the system: on Windows the full path
// (GetFullPathNameW) in its long-path form; on POSIX the path itself.
std::u16string SystemPathForm(std::u16string_view path);
// A name in the system's own form without its prefix where the plain form names the same place
// ("\\?\C:\..." and "\\.\C:\..." give "C:\...", "\\?\UNC\server\share\..." gives
// "\\server\share\..."); any other name, a volume GUID path among them, stays as it is.
std::u16string ShortPathForm(std::u16string_view path);

// The toolkit's handle stream: read, write and seek go straight to an OS file handle. A call that
// fails keeps the OS error it failed with (Error()).
class THandleStream : public TStream {
public:
  // As many bytes as asked for unless the file ends (or the device fails: -1).
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  // Truncates or extends the file at the given size.
  bool SetSize(int64_t size);
  // Flushes the file's data to the device.
  bool Flush();
  // Starts writing the given range of the file to the device without waiting for it, so that a
  // later Flush has less to wait for. Only a hint: nothing where the system has no such call.
  void StartFlush(int64_t offset, int64_t count);
  // The OS file handle (Windows HANDLE, POSIX descriptor); -1 when none.
  intptr_t Handle() const { return FHandle; }
  bool IsOpen() const { return FHandle != -1; }
  // The OS error of the last call on the stream that failed.
  std::error_code Error() const { return FError; }

protected:
  // One OS read or write of at most count bytes: how many moved (0: the end), or -1 with the
  // error kept. The platform's part.
  int64_t ReadSome(void* buffer, int64_t count);
  int64_t WriteSome(const void* buffer, int64_t count);
  // One OS seek from the start (0), the position (1) or the end (2): the new position, or -1
  // with the error kept. The platform's part.
  int64_t SeekFrom(int64_t offset, int origin);

  intptr_t FHandle = -1;
  std::error_code FError;
};

// A file stream whose failed open is no error: Handle is -1 instead, and LastError() holds the
// OS error code of the failure. The stream owns its handle and closes it when destroyed.
class TVornFileStream : public THandleStream {
public:
  static constexpr uint16_t ModeCreate = 0xFFFF;    // create or overwrite, read and write
  static constexpr uint16_t ModeRead = 0x0000;      // read, no sharing
  static constexpr uint16_t ModeCreateNew = 0xFFFE; // a new file only (fails when it exists)
  // Other modes: bits 0-1 access (0 read, 1 write, 2 both), bits 4-7 sharing (0x00 and 0x10
  // none, 0x20 others may read, 0x30 others may write, 0x40 both).
  static constexpr uint16_t ModeWrite = 0x0001;
  static constexpr uint16_t ModeReadWrite = 0x0002;
  static constexpr uint16_t ShareDenyWrite = 0x0020;

  TVornFileStream(std::u16string_view fileName, uint16_t mode);
  TVornFileStream(std::u16string_view fileName, uint16_t mode, uint32_t rights);
  ~TVornFileStream() override;
  TVornFileStream(const TVornFileStream&) = delete;
  TVornFileStream& operator=(const TVornFileStream&) = delete;

  // Takes over an open OS handle, which the stream then closes.
  static std::unique_ptr<TVornFileStream> Adopt(std::u16string_view fileName, intptr_t handle);
  // Closes the handle now; false, with the error kept, when the system reports a failure (a
  // delayed write error shows here).
  bool Close();

  const std::u16string& FileName() const { return FFileName; }
  int LastError() const { return FLastError; }

private:
  struct TAdopted {};
  TVornFileStream(std::u16string_view fileName, intptr_t handle, TAdopted) : FFileName(fileName) {
    FHandle = handle;
  }
  // The access (0-2) and sharing (0-4) of an open mode other than the two creating ones; false
  // when either is out of range.
  static bool SplitMode(uint16_t mode, unsigned& access, unsigned& sharing);

  std::u16string FFileName;
  int FLastError = 0;
};

// ---- Saving a file safely ----

// The path of the file a path finally names: a symbolic link resolved to the file it points to
// (POSIX); the path itself otherwise.
std::u16string ResolveFinalPath(std::u16string_view path);

// What a name stands for on disk (a link is followed).
enum class TFileKind : uint8_t {
  Missing,
  Regular, // a plain file: the only kind a save replaces by another file
  Folder,
  Other, // a device, a FIFO, a socket: written straight, never replaced (POSIX)
};
TFileKind FileKindOf(std::u16string_view path);

// What a replace left under the two names.
enum class TReplaceResult : uint8_t {
  Replaced,    // the target holds the replacement's bytes; the replacement's name is gone
  NotReplaced, // the target holds its old bytes; the replacement is still under its own name
  Stranded,    // neither could be put back under the target's name: the old bytes are under a
               // backup name beside it and the replacement under its own; both must stay
};
// Replaces target by replacement in one step (the target is never missing or half-written in
// between). POSIX: rename() over it, then the folder flushed. Windows: ReplaceFileW, which keeps
// the target's security descriptor, attributes and creation time, with a backup name beside the
// target so that the old bytes keep a known name until the new file is in place; when it stops
// half-way, the new file (complete, else the old one) is moved back under the target's name.
TReplaceResult ReplaceFileAtomically(std::u16string_view target, std::u16string_view replacement);
bool DeleteFileName(std::u16string_view path);
// Renames a file to a name that is free; false when it cannot (nothing changed).
bool MoveFileName(std::u16string_view from, std::u16string_view to);

// The short names a save uses beside a file, the same for every save of that file and never
// longer than 30 characters, whatever the file's own name: ".tarnwick-" and 16 hexadecimal digits
// that stand for the file's name (letters of either case alike), then the suffix.
//   ".tmp": the new content while it is written (a run killed meanwhile leaves at most this one,
//           and the next save of the file clears it);
//   ".old": the old content while the file is rewritten in place or swapped; it goes when the new
//           content is safely on disk. Found by a later run, it means a save was interrupted.
std::u16string SaveNameBeside(std::u16string_view target, std::u16string_view suffix);
// The name the old bytes keep beside a file while it is replaced: its ".old" save name.
std::u16string BackupNameBeside(std::u16string_view target);
// Ends a replace that stopped with the target's name free (the old bytes under backup): the
// replacement goes under the target's name, else the old bytes go back.
TReplaceResult FinishInterruptedReplace(std::u16string_view target, std::u16string_view replacement,
                                        std::u16string_view backup);
// Looks beside a file for the old content an interrupted save kept (its ".old" save name). A copy
// that holds exactly the file's bytes is of no more use and is removed. True when none is left;
// false, with its name, when one is there that the user must look at.
bool ClearInterruptedSave(std::u16string_view target, std::u16string& kept);

// Holds a file from its load until its replace against the other runs of the program, and keeps
// what the file was then (identity, size, modification time), so that a save can tell that
// another writer changed it meanwhile. POSIX: an advisory lock (flock) on the file, which a second
// run waits for; Windows: a handle that lets others read the file but not write it.
class TFileGuard {
public:
  explicit TFileGuard(std::u16string_view path);
  ~TFileGuard();
  TFileGuard(const TFileGuard&) = delete;
  TFileGuard& operator=(const TFileGuard&) = delete;

  // True when the path still names the file that was guarded, with the same size and
  // modification time.
  bool Unchanged() const;
  // Lets other writers in again: Windows must, before the file is replaced or opened for
  // writing; the lock of POSIX stays to the end.
  void Release();

  struct TIdentity {
    uint64_t Volume = 0, File = 0;
    int64_t Size = -1, Modified = 0, ModifiedFraction = 0;
    bool operator==(const TIdentity&) const = default;
  };

private:
  std::u16string FPath;
  intptr_t FHandle = -1;
  TIdentity FIdentity;
  bool FKnown = false;
};
// What a path names now; false when it cannot be read.
bool ReadFileIdentity(std::u16string_view path, TFileGuard::TIdentity& identity);

// Where a writer puts its bytes, a piece at a time.
using TByteSink = std::function<void(std::string_view piece)>;
// Hands the whole new content of a file to the sink in pieces. It may be called more than once
// and then hands over the same bytes each time.
using TByteProducer = std::function<void(const TByteSink& sink)>;

// Why a save did not write the file.
enum class TSaveFailure : uint8_t {
  None,
  CannotWrite, // the file could not be created or opened for writing (Error tells why)
  Changed,     // another writer changed the file after it was read: nothing was written
  Stranded,    // a swap stopped half-way: the old bytes are in OldCopy, the new ones in NewCopy
};
struct TSaveResult {
  TSaveFailure Failure = TSaveFailure::None;
  std::error_code Error;
  std::u16string OldCopy, NewCopy;
  explicit operator bool() const { return Failure == TSaveFailure::None; }
};

// Writes the produced bytes as the whole new content of a file so that the file on disk is
// always either the old content or the complete new one: a new file beside it (SaveNameBeside),
// given the file's owner, extended attributes and mode before its first byte, written piece by
// piece, flushed to disk, then swapped in and the folder flushed. Where that cannot be done (the
// folder allows no new file, the file is bind-mounted or held open, its owner or attributes cannot
// be given), the file is written in place: its old bytes first go to its ".old" save name beside
// it, flushed, and the new bytes then go in with one write; the copy goes once they are flushed.
// Killed at any instant, the file holds the old or the new content, or the ".old" copy holds the
// old content (ClearInterruptedSave finds it). Only where no file at all can be made beside it is
// the in-place write unprotected. A file that is not a regular file (a device, a FIFO) is written
// straight. With a guard, nothing is written when the file changed since the guard was taken.
// A failed write or flush raises std::system_error, after the old bytes went back.
TSaveResult SaveFileSafely(std::u16string_view fileName, const TByteProducer& produce,
                           TFileGuard* guard = nullptr);
TSaveResult SaveFileSafely(std::u16string_view fileName, std::string_view bytes);
// Copies a file to another name the same way (a new file renamed over the copy's name, a link
// there replaced, never followed), with the source's owner, extended attributes, mode and times.
// Never written in place: false when the copy cannot be made whole.
TSaveResult CopyFileSafely(std::u16string_view source, std::u16string_view copy);

// A new file beside a target, for the target's whole new content: made with no access for others
// and, before its first byte, given the owner, extended attributes and mode of a model file (none:
// a plain new file). A run killed while it exists leaves at most the target's ".tmp" save name.
// POSIX: an unnamed file (O_TMPFILE) where the file system has them, named only for the swap.
class TNewFileBeside {
public:
  // How closely the new file follows its model: exactly (a file swapped in for the model), or as
  // a copy that keeps its maker's ownership where the system allows no other (a backup).
  enum class TLikeness : uint8_t { Exact, Copy };
  // None when it cannot be made (error tells why).
  static std::unique_ptr<TNewFileBeside> Create(std::u16string_view target,
                                                std::u16string_view model, TLikeness likeness,
                                                std::error_code& error);
  ~TNewFileBeside();
  TNewFileBeside(const TNewFileBeside&) = delete;
  TNewFileBeside& operator=(const TNewFileBeside&) = delete;

  THandleStream& Stream() { return *FStream; }
  // Gives the file the model's access and modification times (after the last byte).
  bool KeepModelTimes();
  // Closes the file (a failed close raises std::system_error) and puts it under the target's
  // name in one step.
  TReplaceResult ReplaceTarget();
  // The name the new bytes stay under after a swap that stopped half-way.
  const std::u16string& Name() const { return FName; }
  void Keep() { FKept = true; }

private:
  TNewFileBeside() = default;
  // Gives the file the name it is swapped in under (POSIX: an unnamed file gets its short name);
  // false when it cannot.
  bool GiveName();
  std::u16string FTarget, FModel, FName;
  std::unique_ptr<TVornFileStream> FStream;
  bool FKept = false;
};

// The system's own words for an OS error code (errno on POSIX, GetLastError on Windows).
std::u16string SystemErrorText(const std::error_code& error);

// The steps of a save, for tests that make one of them fail.
enum class TFileStep : uint8_t {
  CreateTemporary, // creating the temporary file
  Write,           // writing bytes (may fail after some bytes went through)
  Flush,           // flushing the file to disk
  Replace,         // swapping the temporary file in
  OpenInPlace,     // opening the file itself for writing
  SetAttributes,   // setting a file's attributes
  ReplaceHalfWay,  // the swap stops half-way (as ReplaceFileW's errors 1176 and 1177 leave it):
                   // the file renamed away to its backup name, the temporary file still there
  MoveBack,        // moving a file under the target's name after a swap stopped half-way
};
// Answers, for each attempt of a step, whether it fails; for a write, bytesBeforeFailure says how
// many bytes still go through first.
using TFileFaultHook = std::function<bool(TFileStep step, int64_t& bytesBeforeFailure)>;
// Installs a hook (an empty one removes it); returns the previous one.
TFileFaultHook SetFileFaultHook(TFileFaultHook hook);
// True when the installed hook makes this attempt of the step fail.
bool FileFaultAt(TFileStep step, int64_t& bytesBeforeFailure);
inline bool FileFaultAt(TFileStep step) {
  int64_t ignored = 0;
  return FileFaultAt(step, ignored);
}

// A write in place that failed and could not put the old bytes back: they are on disk only in the
// copy beside the file, which the error names.
class TOldContentKept : public std::system_error {
public:
  TOldContentKept(std::error_code code, std::u16string copy);
  const std::u16string& Copy() const { return FCopy; }

private:
  std::u16string FCopy;
};

// Raises the stream's last error as std::system_error (an I/O error when it kept none).
[[noreturn]] void RaiseStreamError(const THandleStream& stream, const char* what);
// Reads the whole stream from its current position. Raises std::system_error when the device
// fails.
std::string ReadAllBytes(THandleStream& stream);
// The same into a large block straight from the system (no zero-filling, few page faults), for
// files of many megabytes.
TLargeBuffer ReadAllBytesLarge(THandleStream& stream);
// Writes every byte or raises std::system_error.
void WriteAllBytes(THandleStream& stream, std::string_view bytes);
