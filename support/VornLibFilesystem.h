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
#include <vector>

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

// True where a file's read-only, hidden or system attribute refuses a write that its security
// allows, so that a save lifts them for the write and puts them back (Windows). POSIX: the mode is
// the file's security, checked before the save, and whoever passes that check needs no bit
// changed; a mode is never changed by name there, only through a descriptor the program holds.
bool AttributesStandInTheWayOfWriting();

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
  // An existing regular file for writing in place, not emptied; a link at the name is not
  // followed (POSIX), and nothing else may write it meanwhile (Windows).
  static constexpr uint16_t ModeWriteInPlace = 0xFFFD;
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

class TFileGuard;

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
// The same, telling why a name that is not there could not be looked at: no such file (or a
// folder of the path missing), a loop of links, a failing device. Empty for any other kind.
TFileKind FileKindOf(std::u16string_view path, std::error_code& error);
// A symbolic link whose file is missing (POSIX); false for anything else.
bool IsDanglingLink(std::u16string_view path);

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
// With a guard (POSIX), the file the target's name held is checked once more after the swap
// (check): where the system swaps two names in one step, a file that another writer replaced or
// changed in the last instant is swapped back (Changed, NotReplaced); elsewhere a change of the
// guarded file shows through the guard's descriptor, and what the other writer left is kept in a
// ".old" copy beside it (Changed, Kept, Replaced).
struct TSwapCheck {
  bool Changed = false;
  std::u16string Kept;
  std::error_code FlushError; // the folder could not be flushed after the swap
  std::error_code Error;      // why the swap was not made (NotReplaced), where the system said
};
TReplaceResult ReplaceFileAtomically(std::u16string_view target, std::u16string_view replacement,
                                     const TFileGuard* guard = nullptr,
                                     TSwapCheck* check = nullptr);
bool DeleteFileName(std::u16string_view path);
// Renames a file to a name that is free; false when it cannot (nothing changed).
bool MoveFileName(std::u16string_view from, std::u16string_view to);

// The names a save uses beside a file all begin with ".tarnwick-" and 16 hexadecimal digits that
// stand for the file's name (on Windows, whose names ignore case, letters of either case alike;
// elsewhere the name's bytes), then a dash and 16 random hexadecimal digits that no other program
// can guess, then the suffix:
//   ".tmp": new content while it is written (a run killed meanwhile may leave one, which the next
//           save of the file clears);
//   ".old": the old content while the file is rewritten in place or swapped; it goes when the new
//           content is safely on disk. Found by a later run, it means a save was interrupted.
// Every new file of a save of the file (the new content, the copy of the old one, the backup's
// new content) is named so, and made only where no file of that name is (O_EXCL, CREATE_NEW).
// The start that the names of a file's save share: the folder, ".tarnwick-" and the 16 digits.
std::u16string SaveNamePrefix(std::u16string_view target);
// A fresh name for a save of the file: its prefix, a dash, 16 random digits and the suffix.
std::u16string NewSaveName(std::u16string_view target, std::u16string_view suffix);
// The name the old bytes keep beside a file while a new file replaces it: the new file's own name
// with ".old" for ".tmp" where it is one of the file's save names; a fresh ".tmp" name of the
// other file's save where the new file is one of another file's save names (its backup), so that
// the older backup never passes for an interrupted save; else a fresh ".old" name of the file.
std::u16string BackupNameBeside(std::u16string_view target, std::u16string_view replacement);
// Fills the buffer with bytes that no other program can guess; false when the system gives none.
bool FillRandomBytes(void* buffer, size_t size);
// True where the system's file names ignore the case of letters (Windows).
bool FileNamesIgnoreCase();

// Ends a replace that stopped with the target's name free (the old bytes under backup): the
// replacement goes under the target's name, else the old bytes go back.
TReplaceResult FinishInterruptedReplace(std::u16string_view target, std::u16string_view replacement,
                                        std::u16string_view backup);

// A name of a file's save found beside it, as a later run sees it.
enum class TLeftoverKind : uint8_t {
  None,    // nothing of the kind there
  Own,     // a regular file, no link, owned by the running user or by the file's owner, that
           // others may not open (POSIX), of a size the file's save can have left
  InUse,   // the same, but another run of the program holds it now
  Foreign, // anything else: never read, never removed
};
// What a name beside the file is, for a save of the file; size: the file's size now.
TLeftoverKind LeftoverKindOf(std::u16string_view name, std::u16string_view target, int64_t size);
// The names in a folder that begin with the given prefix (the folder's own part included).
std::vector<std::u16string> NamesStartingWith(std::u16string_view prefix);

// What a run finds of earlier saves of a file beside it.
struct TLeftovers {
  std::u16string Kept;    // the old content an interrupted save kept, which the user must see to
  std::u16string Foreign; // the first name of the save's form that is not the program's own
  size_t ForeignCount = 0;
};
// Looks beside a file for what earlier saves left: a new file of a run killed while it wrote one
// goes; a copy of the old content that holds exactly the file's bytes (compared a piece at a
// time) is of no more use and goes too; any other copy of the old content is named in Kept, and
// the file must not be saved until the user has looked at it. What is not the program's own is
// left alone and never read (Foreign). True when nothing of the program's own is left.
bool ClearInterruptedSave(std::u16string_view target, TLeftovers& found);
bool ClearInterruptedSave(std::u16string_view target, std::u16string& kept);
// Clears only the new files that runs killed while they wrote them left beside the file.
void ClearLeftoverTemporaries(std::u16string_view target);

// Holds a file from its load until its replace against the other runs of the program, and keeps
// what the file was then (identity, size, modification time), so that a save can tell that
// another writer changed it meanwhile. POSIX: an advisory lock (flock) on the file, which a second
// run waits for, about ten seconds at most (waiting() is called once after the first second);
// Windows: a handle that lets others read the file but not write it.
class TFileGuard {
public:
  explicit TFileGuard(std::u16string_view path, const std::function<void()>& waiting = {});
  ~TFileGuard();
  TFileGuard(const TFileGuard&) = delete;
  TFileGuard& operator=(const TFileGuard&) = delete;

  // True when another program held the file the whole time the guard waited for it.
  bool Busy() const { return FBusy; }
  // True when the path still names the file that was guarded, with the same size and
  // modification time.
  bool Unchanged() const;
  // True when the open file is the one that was guarded, with the same size and modification
  // time (a file written in place is checked through the handle it is written by).
  bool IsGuardedFile(const THandleStream& stream) const;
  // True when the file that was guarded, wherever its name went, still has the size and
  // modification time it had (POSIX: asked through the descriptor the guard holds; elsewhere, or
  // with none held, true).
  bool GuardedFileUnchanged() const;
  // The guarded file's descriptor (POSIX, while held), -1 otherwise.
  intptr_t Handle() const { return FHandle; }
  // Lets other writers in again: Windows must, before the file is replaced or opened for
  // writing; the lock of POSIX stays to the end.
  void Release();

  struct TIdentity {
    uint64_t Volume = 0, File = 0;
    int64_t Size = -1, Modified = 0, ModifiedFraction = 0;
    bool operator==(const TIdentity&) const = default;
  };
  const TIdentity& Identity() const { return FIdentity; }
  bool Known() const { return FKnown; }

private:
  std::u16string FPath;
  intptr_t FHandle = -1;
  // Windows: the lock that runs on one file take in turn, held from the load to the end of the
  // run, also while the file is replaced (where FHandle must be let go); -1 for none.
  intptr_t FRunLock = -1;
  TIdentity FIdentity;
  bool FKnown = false;
  bool FBusy = false;
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
  CannotWrite,  // the file could not be created or opened for writing (Error tells why)
  Changed,      // another writer changed the file after it was read: nothing was written; or,
                // where the change showed only after the swap, the file holds the new content
                // and what the other writer left is kept in OldCopy
  Stranded,     // a swap stopped half-way: the old bytes are in OldCopy, the new ones in NewCopy
  NoCopyBeside, // the file had to be written in place, and no copy of its old bytes could be
                // kept beside it (Error tells why): nothing was written
  DanglingLink, // the name is a symbolic link to a file that does not exist: not replaced
};
struct TSaveResult {
  TSaveFailure Failure = TSaveFailure::None;
  std::error_code Error;
  std::u16string OldCopy, NewCopy;
  // The file was saved, but a step after it failed (LateError): the folder could not be flushed,
  // or the copy of the old content (LateCopy) could not be removed.
  std::error_code LateError;
  std::u16string LateCopy;
  explicit operator bool() const { return Failure == TSaveFailure::None; }
};

// Writes the produced bytes as the whole new content of a file so that the file on disk is
// always either the old content or the complete new one: a new file beside it (NewSaveName),
// given the file's owner, extended attributes and mode before its first byte, written piece by
// piece, flushed to disk, then swapped in and the folder flushed. Where that cannot be done (the
// folder allows no new file, the file is bind-mounted or held open, its owner or attributes cannot
// be given), the file is written in place: its old bytes first go to a ".old" copy beside it
// (the running user's own, no access for others), flushed; then the file itself, opened without
// following a link and checked to be the file that was read, is written over from its start and
// cut to the new length; the copy goes once the new bytes are flushed. Killed at any instant, the
// file holds the old or the new content, or the ".old" copy holds the old content
// (ClearInterruptedSave finds it). Where no copy can be made, nothing is written (NoCopyBeside).
// A file that is not a regular file (a device, a FIFO) is written straight. With a guard, nothing
// is written when the file changed since the guard was taken; a change that shows only after the
// swap is reported (Changed) with what the other writer left kept in a copy.
// A failed write or flush raises std::system_error, after the old bytes went back.
TSaveResult SaveFileSafely(std::u16string_view fileName, const TByteProducer& produce,
                           TFileGuard* guard = nullptr);
TSaveResult SaveFileSafely(std::u16string_view fileName, std::string_view bytes);
// Copies a file to another name the same way (a new file renamed over the copy's name, a link
// there replaced, never followed), with the source's owner, extended attributes, mode and times,
// a piece at a time. Never written in place: false when the copy cannot be made whole. The new
// file's names are those of the source's save.
TSaveResult CopyFileSafely(std::u16string_view source, std::u16string_view copy);

// A new file beside a target, for the target's whole new content: made with no access for others
// under a fresh name of the save (NewSaveName) and, before its first byte, given the owner,
// extended attributes and mode of a model file (none: a plain new file). A run killed while it
// exists leaves at most one ".tmp" name of the save. POSIX: an unnamed file (O_TMPFILE) where the
// file system has them, named only for the swap; it is locked (flock) while it is open, so that
// another run sees that it is in use.
class TNewFileBeside {
public:
  // How closely the new file follows its model: exactly (a file swapped in for the model), as a
  // copy that keeps its maker's ownership where the system allows no other (a backup), or not at
  // all: the running user's own, with no access for others (a copy of the old content).
  enum class TLikeness : uint8_t { Exact, Copy, Private };
  // None when it cannot be made (error tells why). The file's names are those of the save of
  // namesOf (none: of target).
  static std::unique_ptr<TNewFileBeside> Create(std::u16string_view target,
                                                std::u16string_view model, TLikeness likeness,
                                                std::error_code& error,
                                                std::u16string_view namesOf = {});
  ~TNewFileBeside();
  TNewFileBeside(const TNewFileBeside&) = delete;
  TNewFileBeside& operator=(const TNewFileBeside&) = delete;

  THandleStream& Stream() { return *FStream; }
  // Gives the file the model's access and modification times (after the last byte).
  bool KeepModelTimes();
  // Puts the file under the target's name in one step (ReplaceFileAtomically, with the guard and
  // the check), then closes it: a failed close after the flush is no failure of the data.
  TReplaceResult ReplaceTarget(const TFileGuard* guard = nullptr, TSwapCheck* check = nullptr);
  // Gives the file a new name of the save with the suffix, where no file is (it stays there);
  // false, with the error, when it cannot.
  bool NameAs(std::u16string_view suffix, std::error_code& error);
  // The name the new bytes stay under after a swap that stopped half-way, or that NameAs gave.
  const std::u16string& Name() const { return FName; }
  void Keep() { FKept = true; }

private:
  TNewFileBeside() = default;
  // Gives the file the name it is swapped in under (POSIX: an unnamed file gets a fresh ".tmp"
  // name of the save); false when it cannot.
  bool GiveName();
  std::u16string FTarget, FModel, FName, FNamesOf;
  std::unique_ptr<TVornFileStream> FStream;
  bool FKept = false;
};

// The OS error of the last file call of this thread that failed (errno, GetLastError).
std::error_code LastFileError();
// True when two files hold the same bytes, compared a piece at a time (sizes first).
bool SameFileContent(std::u16string_view first, std::u16string_view second);

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
  Close,           // closing a file after its bytes were flushed
  RemoveCopy,      // removing the copy of the old content once the new content is on disk
  FlushFolder,     // flushing the folder after a swap
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
// copy beside the file, which the error names; the file is to be written back from it (the copy
// cannot simply be renamed: a bind-mounted file keeps its place).
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
