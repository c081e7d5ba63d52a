// VornLibFilesystem: access tests, attributes and the file stream.
// One portable interface; VornLibFilesystem_win32.cpp and VornLibFilesystem_posix.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

  const std::u16string& FileName() const { return FFileName; }
  int LastError() const { return FLastError; }

private:
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
// What a replace left under the two names.
enum class TReplaceResult : uint8_t {
  Replaced,    // the target holds the replacement's bytes; the replacement's name is gone
  NotReplaced, // the target holds its old bytes; the replacement is still under its own name
  Stranded,    // neither could be put back under the target's name: the old bytes are under a
               // backup name beside it and the replacement under its own; both must stay
};
// Replaces target by replacement in one step (the target is never missing or half-written in
// between). POSIX: the replacement first gets the target's owner, extended attributes (SELinux
// label, POSIX ACL, user.* and the others visible to the process) and mode; NotReplaced when it
// cannot (then the target is untouched). Windows: ReplaceFileW, which keeps the target's security
// descriptor, attributes and creation time, with a backup name beside the target so that the old
// bytes keep a known name until the new file is in place; when it stops half-way, the new file
// (complete, else the old one) is moved back under the target's name.
TReplaceResult ReplaceFileAtomically(std::u16string_view target, std::u16string_view replacement);
bool DeleteFileName(std::u16string_view path);
// Renames a file to a name that is free; false when it cannot (nothing changed).
bool MoveFileName(std::u16string_view from, std::u16string_view to);
// An unused name beside a file for its old bytes while it is replaced.
std::u16string BackupNameBeside(std::u16string_view target);
// Ends a replace that stopped with the target's name free (the old bytes under backup): the
// replacement goes under the target's name, else the old bytes go back.
TReplaceResult FinishInterruptedReplace(std::u16string_view target, std::u16string_view replacement,
                                        std::u16string_view backup);

// Where a writer puts its bytes, a piece at a time.
using TByteSink = std::function<void(std::string_view piece)>;
// Hands the whole new content of a file to the sink in pieces. It may be called more than once
// and then hands over the same bytes each time.
using TByteProducer = std::function<void(const TByteSink& sink)>;

// Writes the produced bytes as the whole new content of a file so that the file on disk is
// always either the old content or the complete new one: a new temporary file beside it, written
// piece by piece, flushed to disk, then swapped in. Where the folder allows no new file (or the
// swap cannot be made), the file is written in place (the bytes produced again) and its old bytes
// are put back when that write fails. No temporary file stays behind, except after a swap that
// stopped half-way and could not be undone: then it holds the new bytes, the old ones keep their
// backup name beside it, and the result is false. False also when the file cannot be created or
// opened for writing; a failed write or flush raises std::system_error.
bool SaveFileSafely(std::u16string_view fileName, const TByteProducer& produce);
bool SaveFileSafely(std::u16string_view fileName, std::string_view bytes);

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
