// File access tests, attributes and the handle stream over POSIX calls.
// Paths arrive as UTF-16 and go to the system as UTF-8; the delimiter is '/'.
#include "VornLibFilesystem.h"
#include "VornLibHandle.h"

#include <cstdlib>
#include <memory>

#include "VornLibCodePage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <system_error>
#include <thread>
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
  // The mode is set through a descriptor of the file itself, never through a name that another
  // user may have turned into a link meanwhile.
  const int fd = path.empty() ? -1
                              : ::open(Utf8(path).c_str(),
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return false;
  struct stat status {};
  const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  const mode_t current = status.st_mode & 07777;
  const mode_t wanted = (attributes & FileAttributeReadOnly) != 0 ? (current & ~mode_t{S_IWUSR})
                                                                  : (current | S_IWUSR);
  const bool done = regular && (wanted == current || ::fchmod(fd, wanted) == 0);
  ::close(fd);
  return done;
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
  } else if (mode == ModeWriteInPlace) {
    // Not through a link, and not a device or a FIFO that the name was given to meanwhile.
    fd = name.empty()
             ? -1
             : ::open(name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (name.empty())
      errno = ENOENT;
    struct stat status {};
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
      ::close(fd);
      fd = -1;
      errno = EINVAL;
    }
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
  std::error_code ignored;
  return FileKindOf(path, ignored);
}

TFileKind FileKindOf(std::u16string_view path, std::error_code& error) {
  error.clear();
  struct stat status {};
  if (path.empty()) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
    return TFileKind::Missing;
  }
  if (::stat(Utf8(path).c_str(), &status) != 0) {
    // A folder of the path that is a file is as good as missing.
    error = errno == ENOTDIR ? std::make_error_code(std::errc::no_such_file_or_directory)
                             : std::error_code(errno, std::generic_category());
    return TFileKind::Missing;
  }
  if (S_ISREG(status.st_mode))
    return TFileKind::Regular;
  return S_ISDIR(status.st_mode) ? TFileKind::Folder : TFileKind::Other;
}

bool IsDanglingLink(std::u16string_view path) {
  struct stat status {};
  const std::string name = Utf8(path);
  return !name.empty() && ::lstat(name.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
         ::stat(name.c_str(), &status) != 0 && errno == ENOENT;
}

std::error_code LastFileError() {
  return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

bool AttributesStandInTheWayOfWriting() {
  return false;
}

bool FileNamesIgnoreCase() {
  return false;
}

bool FillRandomBytes(void* buffer, size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::getrandom(at, size, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

std::vector<std::u16string> NamesStartingWith(std::u16string_view prefix) {
  std::vector<std::u16string> names;
  const std::u16string folder = ExtractFilePath(prefix);
  const std::string start = Utf8(prefix.substr(folder.size()));
  struct CloseListing {
    void operator()(DIR* listing) const { ::closedir(listing); }
  };
  const std::unique_ptr<DIR, CloseListing> listing(
      ::opendir(folder.empty() ? "." : Utf8(folder).c_str()));
  if (!listing)
    return names;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name.starts_with(start))
      names.push_back(folder + Utf16(name));
  }
  return names;
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
  if (likeness == TNewFileBeside::TLikeness::Private || ::stat(model.c_str(), &status) != 0)
    return false;
  if (::fchown(fd, status.st_uid, status.st_gid) != 0 &&
      (status.st_uid != ::geteuid() || ::fchown(fd, static_cast<uid_t>(-1), status.st_gid) != 0) &&
      (likeness == TNewFileBeside::TLikeness::Exact || errno != EPERM))
    return false;
  return CopyExtendedAttributes(model, fd) && ::fchmod(fd, status.st_mode & 07777) == 0;
}

// Flushes a folder, so that a rename or a new name in it survives a power cut; the error when it
// fails.
std::error_code FlushFolder(std::u16string_view path) {
  const std::u16string folder = ExtractFilePath(path);
  if (FileFaultAt(TFileStep::FlushFolder))
    return std::make_error_code(std::errc::io_error);
  ScopedDescriptor fd(
      ::open(folder.empty() ? "." : Utf8(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0 || ::fsync(fd.Get()) != 0)
    return std::error_code(errno, std::generic_category());
  return {};
}

// The folder part as the system takes it ("." for a bare name).
std::string FolderOf(std::u16string_view target) {
  const std::u16string folder = ExtractFilePath(target);
  return folder.empty() ? std::string(".") : Utf8(folder);
}

// What a name of a file's save beside it is, looked at without following it and without reading
// it.
TLeftoverKind LeftoverAt(const std::string& name, const struct stat& file, int64_t size) {
  struct stat seen {};
  if (::lstat(name.c_str(), &seen) != 0)
    return TLeftoverKind::None;
  // The program makes its files beside a file of this size no larger than this.
  const int64_t largest = 16 * size + (int64_t{64} << 20);
  // A new file for the file's content has its mode from the moment it could be killed under a
  // name, and so has a copy of the old content that an earlier version made under the short name
  // ".tarnwick-" and 16 digits; every other file of the save keeps others out.
  constexpr std::string_view ShortStart = ".tarnwick-";
  const size_t shortLength = ShortStart.size() + 16 + 4;
  const bool earlierCopy =
      name.size() >= shortLength &&
      std::string_view(name).substr(name.size() - shortLength, ShortStart.size()) == ShortStart;
  const bool newContent =
      (name.ends_with(".tmp") || earlierCopy) && (seen.st_mode & 07777) == (file.st_mode & 07777);
  if (!S_ISREG(seen.st_mode) || (seen.st_uid != ::geteuid() && seen.st_uid != file.st_uid) ||
      ((seen.st_mode & 077) != 0 && !newContent) || seen.st_size > largest)
    return TLeftoverKind::Foreign;
  // Another run holds a lock on every file of its own while it is at work.
  ScopedDescriptor fd(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &opened) != 0 || opened.st_ino != seen.st_ino ||
      opened.st_dev != seen.st_dev)
    return TLeftoverKind::Foreign;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
    return TLeftoverKind::InUse;
  return TLeftoverKind::Own;
}

// Locks a new file of the save for as long as it is open, so that another run leaves it alone.
void LockOwnFile(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EINTR) {
  }
}

} // namespace

TLeftoverKind LeftoverKindOf(std::u16string_view name, std::u16string_view target, int64_t size) {
  struct stat file {};
  if (!StatPath(target, file)) {
    file.st_uid = ::geteuid();
    file.st_mode = 0600;
  }
  return LeftoverAt(Utf8(name), file, size);
}

std::unique_ptr<TNewFileBeside> TNewFileBeside::Create(std::u16string_view target,
                                                       std::u16string_view model,
                                                       TLikeness likeness, std::error_code& error,
                                                       std::u16string_view namesOf) {
  std::unique_ptr<TNewFileBeside> file(new TNewFileBeside);
  file->FTarget = target;
  file->FModel = model;
  file->FNamesOf = namesOf.empty() ? target : namesOf;
  // No access for others until the model's mode is given; a file with no model is a plain new
  // one, with the mode the umask leaves, and a private one the running user's alone.
  const mode_t mode = model.empty() && likeness != TLikeness::Private ? 0666 : 0600;
  // An unnamed file leaves nothing behind when the run is killed.
  int fd = ::open(FolderOf(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) {
    // A file system without them: a fresh name, where no file is.
    for (int attempt = 0; fd < 0 && attempt < 4; ++attempt) {
      file->FName = NewSaveName(file->FNamesOf, u".tmp");
      fd = ::open(Utf8(file->FName).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  mode);
      if (fd < 0 && errno != EEXIST)
        break;
    }
    if (fd < 0) {
      error = std::error_code(errno, std::system_category());
      file->FName.clear();
      return nullptr;
    }
  }
  LockOwnFile(fd);
  file->FStream = TVornFileStream::Adopt(file->FName, fd);
  if (!model.empty() && !TakeModel(fd, Utf8(model), likeness)) {
    error = std::error_code(errno, std::system_category());
    return nullptr;
  }
  return file;
}

TNewFileBeside::~TNewFileBeside() {
  // The name goes before the lock does, so that no other run takes the file for a leftover.
  if (!FName.empty() && !FKept)
    ::unlink(Utf8(FName).c_str());
  FStream.reset();
}

bool TNewFileBeside::KeepModelTimes() {
  struct stat status {};
  if (FModel.empty() || ::stat(Utf8(FModel).c_str(), &status) != 0)
    return false;
  const timespec times[2] = {status.st_atim, status.st_mtim};
  return ::futimens(static_cast<int>(FStream->Handle()), times) == 0;
}

namespace {

// Links an unnamed file to a fresh name of the save with the suffix; the name, or empty.
std::u16string LinkUnnamed(int fd, std::u16string_view namesOf, std::u16string_view suffix) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::u16string name = NewSaveName(namesOf, suffix);
    const std::string bytes = Utf8(name);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, bytes.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        ::linkat(fd, "", AT_FDCWD, bytes.c_str(), AT_EMPTY_PATH) == 0)
      return name;
    if (errno != EEXIST)
      break;
  }
  return {};
}

} // namespace

bool TNewFileBeside::GiveName() {
  if (!FName.empty())
    return true;
  // The unnamed file gets a name just for the rename.
  FName = LinkUnnamed(static_cast<int>(FStream->Handle()), FNamesOf, u".tmp");
  return !FName.empty();
}

bool TNewFileBeside::NameAs(std::u16string_view suffix, std::error_code& error) {
  const int fd = static_cast<int>(FStream->Handle());
  if (FName.empty()) {
    FName = LinkUnnamed(fd, FNamesOf, suffix);
  } else {
    // A named file moves to a fresh name where no file is.
    const std::u16string name = NewSaveName(FNamesOf, suffix);
    if (::renameat2(AT_FDCWD, Utf8(FName).c_str(), AT_FDCWD, Utf8(name).c_str(),
                    RENAME_NOREPLACE) == 0 ||
        (errno == EINVAL && ::link(Utf8(FName).c_str(), Utf8(name).c_str()) == 0 &&
         ::unlink(Utf8(FName).c_str()) == 0))
      FName = name;
    else
      FName.clear();
  }
  if (FName.empty()) {
    error = std::error_code(errno, std::system_category());
    return false;
  }
  FKept = true;
  if (const std::error_code flushed = FlushFolder(FName); flushed) {
    error = flushed;
    return false;
  }
  return true;
}

TReplaceResult TNewFileBeside::ReplaceTarget(const TFileGuard* guard, TSwapCheck* check) {
  if (!GiveName())
    return TReplaceResult::NotReplaced;
  const TReplaceResult result = ReplaceFileAtomically(FTarget, FName, guard, check);
  if (result == TReplaceResult::Replaced)
    FName.clear();
  // The bytes were flushed before the swap: what the close says changes nothing of them.
  if (FileFaultAt(TFileStep::Close))
    FStream.reset();
  else
    FStream->Close();
  return result;
}

namespace {

// The file under a name now, as the guard's identity tells it; false when it cannot be read.
bool IdentityOfName(const std::string& name, TFileGuard::TIdentity& identity) {
  struct stat status {};
  if (::lstat(name.c_str(), &status) != 0)
    return false;
  identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
              static_cast<int64_t>(status.st_size), static_cast<int64_t>(status.st_mtim.tv_sec),
              static_cast<int64_t>(status.st_mtim.tv_nsec)};
  return true;
}

// Copies what an open file holds into a new ".old" copy of the target's save; its name, or empty.
std::u16string KeepCopyOf(int fd, std::u16string_view target) {
  std::error_code error;
  auto copy = TNewFileBeside::Create(target, {}, TNewFileBeside::TLikeness::Private, error, target);
  if (!copy)
    return {};
  std::string piece(size_t{1} << 20, '\0');
  off_t at = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, piece.data(), piece.size(), at);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return {};
    if (got == 0)
      break;
    if (copy->Stream().Write(piece.data(), got) != got)
      return {};
    at += got;
  }
  if (!copy->Stream().Flush() || !copy->NameAs(u".old", error))
    return {};
  return copy->Name();
}

} // namespace

TReplaceResult ReplaceFileAtomically(std::u16string_view target, std::u16string_view replacement,
                                     const TFileGuard* guard, TSwapCheck* check) {
  const std::string to = Utf8(target);
  const std::string from = Utf8(replacement);
  TSwapCheck ignored;
  TSwapCheck& found = check != nullptr ? *check : ignored;
  struct stat status {};
  if (::stat(to.c_str(), &status) == 0 && FileFaultAt(TFileStep::ReplaceHalfWay)) {
    // rename() never stops half-way; the fault leaves what a swap elsewhere can.
    const std::u16string backup = BackupNameBeside(target, replacement);
    ::rename(to.c_str(), Utf8(backup).c_str());
    return FinishInterruptedReplace(target, replacement, backup);
  }
  const bool guarded = guard != nullptr && guard->Known();
  if (guarded && ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
    // The two names swapped: the replacement's name holds what the target's held, which must be
    // the file that was read, as it was read.
    TFileGuard::TIdentity was;
    if (IdentityOfName(from, was) && was == guard->Identity()) {
      ::unlink(from.c_str());
      found.FlushError = FlushFolder(target);
      return TReplaceResult::Replaced;
    }
    found.Changed = true;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0)
      return TReplaceResult::NotReplaced;
    // It cannot be swapped back: what the other writer left stays beside, as a copy of the save.
    const std::u16string kept = NewSaveName(target, u".old");
    found.Kept =
        ::rename(from.c_str(), Utf8(kept).c_str()) == 0 ? kept : std::u16string(replacement);
    found.FlushError = FlushFolder(target);
    return TReplaceResult::Replaced;
  }
  // A file system that cannot swap two names (or a name it will not give up, EBUSY: a mount).
  if (guarded && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    found.Error = std::error_code(errno, std::generic_category());
    return TReplaceResult::NotReplaced;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    found.Error = std::error_code(errno, std::generic_category());
    return TReplaceResult::NotReplaced;
  }
  found.FlushError = FlushFolder(target);
  // What another writer put into the old file in the last instant shows through the guard's
  // descriptor; it is kept beside the new file.
  if (guarded && !guard->GuardedFileUnchanged()) {
    found.Changed = true;
    found.Kept = KeepCopyOf(static_cast<int>(guard->Handle()), target);
  }
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

namespace {

bool IdentityOfDescriptor(int fd, TFileGuard::TIdentity& identity) {
  struct stat status {};
  if (::fstat(fd, &status) != 0)
    return false;
  identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
              static_cast<int64_t>(status.st_size), static_cast<int64_t>(status.st_mtim.tv_sec),
              static_cast<int64_t>(status.st_mtim.tv_nsec)};
  return true;
}

// How long a run waits for another that holds the file, and when it says that it waits.
constexpr auto LockPatience = std::chrono::seconds(10);
constexpr auto LockNotice = std::chrono::seconds(1);

} // namespace

TFileGuard::TFileGuard(std::u16string_view path, const std::function<void()>& waiting)
    : FPath(path) {
  const std::string name = Utf8(path);
  const auto start = std::chrono::steady_clock::now();
  bool told = false;
  auto pause = std::chrono::milliseconds(1);
  // The lock is on the file the name stands for when it is taken: a run that waited for it
  // finds a file swapped in meanwhile and takes the new one's.
  while (!FBusy) {
    ScopedDescriptor fd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
      break;
    for (;;) {
      if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
        break;
      if (errno == EINTR)
        continue;
      const auto waited = std::chrono::steady_clock::now() - start;
      if (errno != EWOULDBLOCK || waited >= LockPatience) {
        FBusy = errno == EWOULDBLOCK;
        break;
      }
      if (!told && waited >= LockNotice) {
        told = true;
        if (waiting)
          waiting();
      }
      std::this_thread::sleep_for(pause);
      pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::milliseconds(50));
    }
    if (FBusy)
      break;
    TIdentity held;
    TIdentity now;
    // Where the name no longer stands for the locked file, the lock is taken again on the file it
    // stands for now (while the wait lasts); a file that cannot be looked at keeps this one.
    if (!IdentityOfDescriptor(fd.Get(), held) || !ReadFileIdentity(path, now) ||
        (now.Volume == held.Volume && now.File == held.File) ||
        std::chrono::steady_clock::now() - start >= LockPatience) {
      FHandle = fd.Release();
      break;
    }
  }
  FKnown = !FBusy && ReadFileIdentity(path, FIdentity);
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

bool TFileGuard::IsGuardedFile(const THandleStream& stream) const {
  TIdentity now;
  return !FKnown ||
         (IdentityOfDescriptor(static_cast<int>(stream.Handle()), now) && now == FIdentity);
}

bool TFileGuard::GuardedFileUnchanged() const {
  TIdentity now;
  return !FKnown || FHandle == -1 ||
         (IdentityOfDescriptor(static_cast<int>(FHandle), now) && now.Size == FIdentity.Size &&
          now.Modified == FIdentity.Modified && now.ModifiedFraction == FIdentity.ModifiedFraction);
}

std::u16string SystemErrorText(const std::error_code& error) {
  return Utf16(error.message());
}

// ---- Whole-stream helpers ----
