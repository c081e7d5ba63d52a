// File access tests, attributes and the handle stream over POSIX calls.
// Paths arrive as UTF-16 and go to the system as UTF-8; the delimiter is '/'.
#include "VornLibFilesystem.h"
#include "VornLibHandle.h"

#include <cstdlib>
#include <memory>

#include "VornLibCodePage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t ReadDataBits = 0x00000001 | 0x80000000;    // FILE_READ_DATA, GENERIC_READ
constexpr uint32_t WriteDataBits = 0x00000002 | 0x00000004    // FILE_WRITE_DATA, FILE_APPEND_DATA
                                   | 0x00000010 | 0x00000100  // FILE_WRITE_EA, _ATTRIBUTES
                                   | 0x40000000 | 0x10000000; // GENERIC_WRITE, GENERIC_ALL
constexpr uint32_t NormalAttributes = 0x80;                   // FILE_ATTRIBUTE_NORMAL

// Paths and environment values are the system's bytes: UTF-8, and any other byte kept as it is.
std::string Utf8(std::u16string_view text) {
  return Utf16ToFileName(text);
}
std::u16string Utf16(std::string_view bytes) {
  return FileNameToUtf16(bytes);
}

bool StatPath(std::u16string_view path, struct stat& status) {
  return !path.empty() && ::stat(Utf8(path).c_str(), &status) == 0;
}

} // namespace

namespace {
thread_local int lastAccessError = 0;
} // namespace

std::error_code LastAccessError() {
  return std::error_code(lastAccessError != 0 ? lastAccessError : EACCES, std::generic_category());
}

bool CheckFileAccess(uint32_t desiredAccess, std::u16string_view path) {
  lastAccessError = ENOENT;
  if (path.empty())
    return false;
  int mode = 0;
  if (desiredAccess & ReadDataBits)
    mode |= R_OK;
  if (desiredAccess & WriteDataBits)
    mode |= W_OK;
  if (faccessat(AT_FDCWD, Utf8(path).c_str(), mode == 0 ? F_OK : mode, AT_EACCESS) == 0)
    return true;
  lastAccessError = errno;
  return false;
}

bool CanReadFile(std::u16string_view path) {
  return CheckFileAccess(ReadAccessMask, path);
}

bool CanWriteFile(std::u16string_view path) {
  if (FileExists(path))
    return CheckFileAccess(WriteAccessMask, path);
  // A bare file name lies in the working folder.
  const std::u16string folder = ExtractFilePath(path);
  return CanModifyPath(folder.empty() ? std::u16string(u".") : folder);
}

bool CanModifyPath(std::u16string_view path) {
  return CheckFileAccess(ModifyAccessMask, path);
}

std::u16string GetVolumeFileSystem(std::u16string_view drive) {
  struct statfs volume {};
  if (drive.empty() || ::statfs(Utf8(drive).c_str(), &volume) != 0)
    return {};
  struct Name {
    unsigned long magic;
    const char16_t* name;
  };
  static constexpr Name names[] = {
      {0xEF53, u"ext4"},      {0x58465342, u"xfs"},     {0x9123683E, u"btrfs"},
      {0x01021994, u"tmpfs"}, {0x794C7630, u"overlay"}, {0x6969, u"nfs"},
      {0x4D44, u"vfat"},      {0x5346544E, u"ntfs"},    {0x2011BAB0, u"exfat"},
      {0x65735546, u"fuse"},  {0x9FA0, u"proc"},        {0x62656572, u"sysfs"},
  };
  for (const Name& entry : names)
    if (static_cast<unsigned long>(volume.f_type) == entry.magic)
      return entry.name;
  return {};
}

bool ExpandEnvironmentReferences(std::u16string_view text, std::u16string& result) {
  // %NAME% with a known NAME becomes its value; anything else is copied as written.
  std::u16string expanded;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find(u'%', at);
    if (open == std::u16string_view::npos) {
      expanded.append(text.substr(at));
      break;
    }
    expanded.append(text.substr(at, open - at));
    const size_t close = text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) {
      expanded.append(text.substr(open));
      break;
    }
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(Utf8(name).c_str());
    if (value != nullptr)
      expanded.append(Utf16(value));
    else
      expanded.append(text.substr(open, close - open + 1));
    at = close + 1;
  }
  result = std::move(expanded);
  return true;
}

std::u16string GetSystemFolder(bool withDelimiter) {
  return withDelimiter ? u"/etc/" : u"/etc";
}

bool FileGetAttributes(std::u16string_view path, uint32_t& attributes) {
  attributes = InvalidFileAttributes;
  struct stat status {};
  if (!StatPath(path, status) || S_ISDIR(status.st_mode))
    return false;
  attributes = (status.st_mode & S_IWUSR) != 0 ? NormalAttributes : FileAttributeReadOnly;
  return true;
}

bool FileSetAttributes(std::u16string_view path, uint32_t attributes) {
  if (FileFaultAt(TFileStep::SetAttributes))
    return false;
  struct stat status {};
  if (!StatPath(path, status) || S_ISDIR(status.st_mode))
    return false;
  const mode_t current = status.st_mode & 07777;
  const mode_t wanted = (attributes & FileAttributeReadOnly) != 0 ? (current & ~mode_t{S_IWUSR})
                                                                  : (current | S_IWUSR);
  if (wanted == current)
    return true;
  return ::chmod(Utf8(path).c_str(), wanted) == 0;
}

uint32_t FileLinkCount(std::u16string_view path) {
  struct stat status {};
  return StatPath(path, status) && status.st_nlink > 1 ? static_cast<uint32_t>(status.st_nlink) : 1;
}

bool FileExists(std::u16string_view path) {
  struct stat status {};
  return StatPath(path, status) && !S_ISDIR(status.st_mode);
}

bool DirectoryExists(std::u16string_view path) {
  struct stat status {};
  return StatPath(path, status) && S_ISDIR(status.st_mode);
}

namespace {

struct DescriptorTraits {
  using Type = int;
  static Type Invalid() { return -1; }
  static void Close(Type fd) { ::close(fd); }
};
using ScopedDescriptor = ScopedHandle<DescriptorTraits>;

// Closes now and reports whether the close succeeded (a delayed write error shows here).
bool CloseChecked(ScopedDescriptor& fd) {
  const int held = fd.Release();
  return held < 0 || ::close(held) == 0;
}

bool WriteFully(int fd, const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t moved = ::write(fd, bytes, count);
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved <= 0)
      return false;
    bytes += moved;
    count -= static_cast<size_t>(moved);
  }
  return true;
}

} // namespace

bool CopyFileReplace(std::u16string_view source, std::u16string_view target) {
  if (source.empty() || target.empty())
    return false;
  ScopedDescriptor in(::open(Utf8(source).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat from {};
  if (in.Get() < 0 || ::fstat(in.Get(), &from) != 0 || S_ISDIR(from.st_mode))
    return false;
  // Copying a file onto itself would empty it.
  struct stat to {};
  if (StatPath(target, to) && to.st_dev == from.st_dev && to.st_ino == from.st_ino)
    return false;
  ScopedDescriptor out(
      ::open(Utf8(target).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.Get() < 0)
    return false;
  char buffer[65536];
  for (;;) {
    const ssize_t moved = ::read(in.Get(), buffer, sizeof buffer);
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved < 0)
      return false;
    if (moved == 0)
      break;
    if (!WriteFully(out.Get(), buffer, static_cast<size_t>(moved)))
      return false;
  }
  return CloseChecked(out);
}

std::u16string ExtractFilePath(std::u16string_view path) {
  const size_t at = path.rfind(u'/');
  return at == std::u16string_view::npos ? std::u16string()
                                         : std::u16string(path.substr(0, at + 1));
}

// ---- THandleStream ----

namespace {

// Repeats an interrupted read or write; a failure keeps its error.
template <typename Call> int64_t Uninterrupted(std::error_code& error, Call call) {
  for (;;) {
    const ssize_t moved = call();
    if (moved >= 0)
      return moved;
    if (errno != EINTR) {
      error = std::error_code(errno, std::system_category());
      return -1;
    }
  }
}

size_t Piece(int64_t count) {
  return static_cast<size_t>(std::min<int64_t>(count, 1 << 30));
}

} // namespace

int64_t THandleStream::ReadSome(void* buffer, int64_t count) {
  return Uninterrupted(FError,
                       [&] { return ::read(static_cast<int>(FHandle), buffer, Piece(count)); });
}

int64_t THandleStream::WriteSome(const void* buffer, int64_t count) {
  return Uninterrupted(FError,
                       [&] { return ::write(static_cast<int>(FHandle), buffer, Piece(count)); });
}

int64_t THandleStream::SeekFrom(int64_t offset, int origin) {
  static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  const off_t position =
      ::lseek(static_cast<int>(FHandle), static_cast<off_t>(offset), whence[origin]);
  if (position < 0) {
    FError = std::error_code(errno, std::system_category());
    return -1;
  }
  return static_cast<int64_t>(position);
}

bool THandleStream::SetSize(int64_t size) {
  if (size >= 0 && ::ftruncate(static_cast<int>(FHandle), static_cast<off_t>(size)) == 0)
    return true;
  FError = std::error_code(size < 0 ? EINVAL : errno, std::system_category());
  return false;
}

void THandleStream::StartFlush([[maybe_unused]] int64_t offset, [[maybe_unused]] int64_t count) {
#ifdef SYNC_FILE_RANGE_WRITE
  if (FHandle != -1)
    ::sync_file_range(static_cast<int>(FHandle), offset, count, SYNC_FILE_RANGE_WRITE);
#endif
}

bool THandleStream::Flush() {
  if (::fsync(static_cast<int>(FHandle)) == 0)
    return true;
  FError = std::error_code(errno, std::system_category());
  return false;
}

// ---- TVornFileStream ----

TVornFileStream::TVornFileStream(std::u16string_view fileName, uint16_t mode)
    : FFileName(fileName) {
  const std::string name = Utf8(fileName);
  int fd = -1;
  if (mode == ModeCreate) {
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } else if (mode == ModeCreateNew) {
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } else {
    // Sharing has no meaning here; it is only checked for range.
    unsigned access = 0, sharing = 0;
    if (!SplitMode(mode, access, sharing)) {
      FLastError = EINVAL;
      return;
    }
    static constexpr int flags[] = {O_RDONLY, O_WRONLY, O_RDWR};
    fd = name.empty() ? -1 : ::open(name.c_str(), flags[access] | O_CLOEXEC);
    if (name.empty())
      errno = ENOENT;
    // A folder opens for reading here, but it is no file.
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
      ::close(fd);
      fd = -1;
      errno = EISDIR;
    }
  }
  if (fd < 0) {
    FLastError = errno;
    return;
  }
  FHandle = fd;
}

TVornFileStream::TVornFileStream(std::u16string_view fileName, uint16_t mode, uint32_t)
    : TVornFileStream(fileName, mode) {}

TVornFileStream::~TVornFileStream() {
  if (FHandle != -1)
    ::close(static_cast<int>(FHandle));
}

bool TVornFileStream::Close() {
  if (FHandle == -1)
    return true;
  const int fd = static_cast<int>(std::exchange(FHandle, -1));
  // The descriptor is gone whatever close() says; EINTR is no failure of the data.
  if (::close(fd) == 0 || errno == EINTR)
    return true;
  FLastError = errno;
  FError = std::error_code(errno, std::system_category());
  return false;
}

// ---- Saving a file safely ----

std::u16string SystemPathForm(std::u16string_view path) {
  return std::u16string(path);
}

std::u16string ResolveFinalPath(std::u16string_view path) {
  const std::string name = Utf8(path);
  struct stat status {};
  if (name.empty() || ::lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
    return std::u16string(path);
  // A link stays a link: the file it points to is the one replaced.
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(name.c_str(), nullptr), &std::free);
  if (!real)
    return std::u16string(path);
  return Utf16(real.get());
}

TFileKind FileKindOf(std::u16string_view path) {
  struct stat status {};
  if (!StatPath(path, status))
    return TFileKind::Missing;
  if (S_ISREG(status.st_mode))
    return TFileKind::Regular;
  return S_ISDIR(status.st_mode) ? TFileKind::Folder : TFileKind::Other;
}

namespace {

// The names of a file's extended attributes (the visible ones: trusted.* only with
// CAP_SYS_ADMIN), from its path or (path empty) its descriptor. False when they cannot be listed;
// none where the file system has none.
bool ListAttributes(const std::string& path, int fd, std::vector<std::string>& names) {
  names.clear();
  std::string list;
  const auto listed = [&](char* into, size_t size) {
    return path.empty() ? ::flistxattr(fd, into, size) : ::listxattr(path.c_str(), into, size);
  };
  for (;;) {
    const ssize_t size = listed(nullptr, 0);
    if (size < 0)
      return errno == ENOTSUP || errno == ENOSYS;
    list.resize(static_cast<size_t>(size));
    const ssize_t got = size == 0 ? 0 : listed(list.data(), list.size());
    if (got >= 0) {
      list.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) // ERANGE: the list grew in between
      return false;
  }
  for (size_t at = 0; at < list.size();) {
    const size_t end = list.find('\0', at);
    const size_t stop = end == std::string::npos ? list.size() : end;
    if (stop > at)
      names.emplace_back(list, at, stop - at);
    at = stop + 1;
  }
  return true;
}

bool ReadAttribute(const std::string& path, int fd, const std::string& name, std::string& value) {
  const auto got = [&](char* into, size_t size) {
    return path.empty() ? ::fgetxattr(fd, name.c_str(), into, size)
                        : ::getxattr(path.c_str(), name.c_str(), into, size);
  };
  for (;;) {
    const ssize_t size = got(nullptr, 0);
    if (size < 0)
      return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t read = size == 0 ? 0 : got(value.data(), value.size());
    if (read >= 0) {
      value.resize(static_cast<size_t>(read));
      return true;
    }
    if (errno != ERANGE)
      return false;
  }
}

// Gives the open file `to` exactly the extended attributes of the file `from`: its SELinux label,
// its POSIX ACL, user.* and whatever else is visible, and none that `from` lacks (a folder's
// default ACL or label may have given the new file some). False when one cannot be copied or
// removed.
bool CopyExtendedAttributes(const std::string& from, int to) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!ListAttributes(from, -1, wanted) || !ListAttributes("", to, present))
    return false;
  for (const std::string& name : present)
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(to, name.c_str()) != 0 && errno != ENODATA)
      return false;
  std::string value;
  std::string current;
  for (const std::string& name : wanted) {
    if (!ReadAttribute(from, -1, name, value)) {
      if (errno == ENODATA) // removed in between
        continue;
      return false;
    }
    // An equal value (a label the new file already has) is left as it is.
    if (ReadAttribute("", to, name, current) && current == value)
      continue;
    if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
      return false;
  }
  return true;
}

// Gives a new file the owner, extended attributes and mode of its model. The attributes come
// after the owner (a change of owner drops file capabilities) and before the mode (a read-only
// mode would refuse user.* attributes to an owner without privileges). False, with errno, when
// one of them cannot be given. A copy made by a user who may not give the model's owner stays the
// user's own (as cp -p leaves it); its mode still keeps others out as the model does.
bool TakeModel(int fd, const std::string& model, TNewFileBeside::TLikeness likeness) {
  struct stat status {};
  if (::stat(model.c_str(), &status) != 0)
    return false;
  if (::fchown(fd, status.st_uid, status.st_gid) != 0 &&
      (status.st_uid != ::geteuid() || ::fchown(fd, static_cast<uid_t>(-1), status.st_gid) != 0) &&
      (likeness == TNewFileBeside::TLikeness::Exact || errno != EPERM))
    return false;
  return CopyExtendedAttributes(model, fd) && ::fchmod(fd, status.st_mode & 07777) == 0;
}

// Flushes a folder, so that a rename or a new name in it survives a power cut.
void FlushFolder(const std::u16string& path) {
  const std::u16string folder = ExtractFilePath(path);
  ScopedDescriptor fd(
      ::open(folder.empty() ? "." : Utf8(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() >= 0)
    ::fsync(fd.Get());
}

// The folder part as the system takes it ("." for a bare name).
std::string FolderOf(std::u16string_view target) {
  const std::u16string folder = ExtractFilePath(target);
  return folder.empty() ? std::string(".") : Utf8(folder);
}

} // namespace

std::unique_ptr<TNewFileBeside> TNewFileBeside::Create(std::u16string_view target,
                                                       std::u16string_view model,
                                                       TLikeness likeness, std::error_code& error) {
  std::unique_ptr<TNewFileBeside> file(new TNewFileBeside);
  file->FTarget = target;
  file->FModel = model;
  // No access for others until the model's mode is given; a file with no model is a plain new
  // one, with the mode the umask leaves.
  const mode_t mode = model.empty() ? 0666 : 0600;
  // What a killed run left under the short name goes first.
  const std::u16string shortName = SaveNameBeside(target, u".tmp");
  const std::string name = Utf8(shortName);
  ::unlink(name.c_str());
  // An unnamed file leaves nothing behind when the run is killed.
  int fd = ::open(FolderOf(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) {
    // A file system without them: the short name.
    file->FName = shortName;
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
      error = std::error_code(errno, std::system_category());
      file->FName.clear();
      return nullptr;
    }
  }
  file->FStream = TVornFileStream::Adopt(file->FName, fd);
  if (!model.empty() && !TakeModel(fd, Utf8(model), likeness)) {
    error = std::error_code(errno, std::system_category());
    return nullptr;
  }
  return file;
}

TNewFileBeside::~TNewFileBeside() {
  FStream.reset();
  if (!FName.empty() && !FKept)
    ::unlink(Utf8(FName).c_str());
}

bool TNewFileBeside::KeepModelTimes() {
  struct stat status {};
  if (FModel.empty() || ::stat(Utf8(FModel).c_str(), &status) != 0)
    return false;
  const timespec times[2] = {status.st_atim, status.st_mtim};
  return ::futimens(static_cast<int>(FStream->Handle()), times) == 0;
}

bool TNewFileBeside::GiveName() {
  if (!FName.empty())
    return true;
  // The unnamed file gets its short name just for the rename.
  const std::u16string name = SaveNameBeside(FTarget, u".tmp");
  const std::string bytes = Utf8(name);
  ::unlink(bytes.c_str());
  const int fd = static_cast<int>(FStream->Handle());
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, bytes.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
      ::linkat(fd, "", AT_FDCWD, bytes.c_str(), AT_EMPTY_PATH) != 0)
    return false;
  FName = name;
  return true;
}

TReplaceResult ReplaceFileAtomically(std::u16string_view target, std::u16string_view replacement) {
  const std::string to = Utf8(target);
  const std::string from = Utf8(replacement);
  struct stat status {};
  if (::stat(to.c_str(), &status) == 0 && FileFaultAt(TFileStep::ReplaceHalfWay)) {
    // rename() never stops half-way; the fault leaves what a swap elsewhere can.
    const std::u16string backup = BackupNameBeside(target);
    ::rename(to.c_str(), Utf8(backup).c_str());
    return FinishInterruptedReplace(target, replacement, backup);
  }
  if (::rename(from.c_str(), to.c_str()) != 0)
    return TReplaceResult::NotReplaced;
  FlushFolder(std::u16string(target));
  return TReplaceResult::Replaced;
}

bool DeleteFileName(std::u16string_view path) {
  return !path.empty() && ::unlink(Utf8(path).c_str()) == 0;
}

bool MoveFileName(std::u16string_view from, std::u16string_view to) {
  if (from.empty() || to.empty())
    return false;
  struct stat status {};
  if (::lstat(Utf8(to).c_str(), &status) == 0)
    return false; // the name is taken
  return ::rename(Utf8(from).c_str(), Utf8(to).c_str()) == 0;
}

// ---- Guarding a file from its load to its replace ----

bool ReadFileIdentity(std::u16string_view path, TFileGuard::TIdentity& identity) {
  struct stat status {};
  if (!StatPath(path, status))
    return false;
  identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
              static_cast<int64_t>(status.st_size), static_cast<int64_t>(status.st_mtim.tv_sec),
              static_cast<int64_t>(status.st_mtim.tv_nsec)};
  return true;
}

TFileGuard::TFileGuard(std::u16string_view path) : FPath(path) {
  const std::string name = Utf8(path);
  // The lock is on the file the name stands for when it is taken: a run that waited for it
  // finds a file swapped in meanwhile and takes the new one's.
  for (int attempt = 0; attempt < 8; ++attempt) {
    ScopedDescriptor fd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
      break;
    while (::flock(fd.Get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat held {};
    TIdentity now;
    if (::fstat(fd.Get(), &held) == 0 && ReadFileIdentity(path, now) &&
        now.Volume == static_cast<uint64_t>(held.st_dev) &&
        now.File == static_cast<uint64_t>(held.st_ino)) {
      FHandle = fd.Release();
      break;
    }
  }
  FKnown = ReadFileIdentity(path, FIdentity);
}

TFileGuard::~TFileGuard() {
  if (FHandle != -1)
    ::close(static_cast<int>(FHandle));
}

// The lock stays until the run ends: a run that waits for it then finds the new file.
void TFileGuard::Release() {}

bool TFileGuard::Unchanged() const {
  TIdentity now;
  return !FKnown || (ReadFileIdentity(FPath, now) && now == FIdentity);
}

std::u16string SystemErrorText(const std::error_code& error) {
  return Utf16(error.message());
}

// ---- Whole-stream helpers ----
