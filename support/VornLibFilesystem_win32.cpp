// File access tests, attributes and the handle stream on Windows.
#include "VornLibFilesystem.h"
#include "VornLibHandle_win32.h"

#include <aclapi.h>
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>
#include <wincrypt.h>
#include <windows.h>

namespace {

constexpr DWORD SecurityInfoFlags = 7;     // owner, group and DACL
constexpr DWORD SecurityExtraBytes = 4096; // added to the size the first query reports
constexpr DWORD PrivilegeSetBytes = 20;    // room for the privileges AccessCheck reports
constexpr DWORD TokenRights = TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY;
constexpr DWORD ExpandBufferChars = 261;  // first expansion buffer, in characters
constexpr DWORD SystemFolderChars = 261;  // GetSystemDirectoryW buffer, in characters
constexpr DWORD FileSystemNameChars = 32; // announced size of the file-system name buffer

struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type Invalid() { return nullptr; }
  static void Close(Type value) { LocalFree(value); }
};

// Holds "the thread impersonates itself": the release call reverts to the process token.
struct ImpersonationTraits {
  using Type = bool;
  static Type Invalid() { return false; }
  static void Close(Type) { RevertToSelf(); }
};

using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;
using ScopedImpersonation = ScopedHandle<ImpersonationTraits>;

std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string FromWide(const wchar_t* text, size_t length) {
  return std::u16string(text, text + length);
}

} // namespace

std::u16string SystemPathForm(std::u16string_view path) {
  std::wstring name(path.begin(), path.end());
  if (name.empty())
    return {};
  std::wstring full(MaxShortPathLength + 1, L'\0');
  DWORD length =
      GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    // Too long for the first buffer: the call told the size it needs.
    full.assign(length, L'\0');
    length = GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length != 0 && length < full.size())
    name.assign(full.data(), length);
  return LongPathForm(std::u16string(name.begin(), name.end()));
}

namespace {

// The path as handed to every file call.
std::wstring SystemPath(std::u16string_view path) {
  const std::u16string form = SystemPathForm(path);
  return std::wstring(form.begin(), form.end());
}

bool IsDelimiter(char16_t c) {
  return c == u'\\' || c == u'/';
}

// "C:" for a path with a drive letter, "\\server\share" for a UNC path, empty otherwise.
std::u16string_view DrivePart(std::u16string_view path) {
  if (path.size() >= 2 && path[1] == u':' &&
      ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')))
    return path.substr(0, 2);
  if (path.size() >= 2 && IsDelimiter(path[0]) && IsDelimiter(path[1])) {
    size_t at = 2;
    while (at < path.size() && !IsDelimiter(path[at]))
      ++at; // server
    if (at < path.size())
      ++at;
    while (at < path.size() && !IsDelimiter(path[at]))
      ++at; // share
    return path.substr(0, at);
  }
  return {};
}

bool EqualsNoCase(std::u16string_view text, std::u16string_view ascii) {
  if (text.size() != ascii.size())
    return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t a = text[i], b = ascii[i];
    if (a >= u'a' && a <= u'z')
      a = static_cast<char16_t>(a - u'a' + u'A');
    if (b >= u'a' && b <= u'z')
      b = static_cast<char16_t>(b - u'a' + u'A');
    if (a != b)
      return false;
  }
  return true;
}

DWORD Attributes(std::u16string_view path) {
  return GetFileAttributesW(SystemPath(path).c_str());
}

// The root of the volume a file is on, as GetVolumeFileSystem takes it (no final backslash):
// "C:", "\\server\share", or for a folder mounted from another volume that volume's GUID path
// (the folder itself when the system gives none). Empty when GetVolumePathNameW fails.
std::u16string VolumeRootOf(const std::wstring& fullName) {
  std::wstring volume(std::max<size_t>(fullName.size(), MaxShortPathLength) + 2, L'\0');
  if (fullName.empty() ||
      !GetVolumePathNameW(fullName.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
    return {};
  volume.resize(wcslen(volume.c_str()));
  if (!volume.empty() && volume.back() != L'\\')
    volume.push_back(L'\\');
  std::u16string root = ShortPathForm(FromWide(volume.c_str(), volume.size()));
  // Longer than "C:\": a mounted folder, which GetVolumeInformationW does not take as a root.
  if (root.size() > 3 && root[1] == u':') {
    wchar_t guid[MaxShortPathLength + 1] = {};
    const std::wstring folder = Wide(root);
    if (GetVolumeNameForVolumeMountPointW(folder.c_str(), guid, MaxShortPathLength + 1))
      root = FromWide(guid, wcslen(guid));
  }
  root.pop_back();
  return root;
}

// The file-system name of the volume a file is on. The drive part of the path as given decides
// where GetVolumePathNameW fails, or where the volume it names cannot be read (Wine reads no
// folder mounted on a drive).
std::u16string FileSystemOf(const std::wstring& fullName, std::u16string_view path) {
  const std::u16string root = VolumeRootOf(fullName);
  std::u16string name = root.empty() ? std::u16string() : GetVolumeFileSystem(root);
  if (name.empty()) {
    const std::u16string plain = ShortPathForm(path);
    name = GetVolumeFileSystem(DrivePart(plain));
  }
  return name;
}

} // namespace

bool CheckFileAccess(uint32_t desiredAccess, std::u16string_view path) {
  const std::wstring name = SystemPath(path);
  if (!EqualsNoCase(FileSystemOf(name, path), u"NTFS"))
    return true;

  const DWORD savedError = GetLastError();
  DWORD needed = 0;
  if (!GetFileSecurityW(name.c_str(), SecurityInfoFlags, nullptr, 0, &needed) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  SetLastError(savedError);

  // Held in this order so that they are released as token, impersonation, descriptor.
  const DWORD size = needed + SecurityExtraBytes;
  ScopedLocalMemory descriptor(LocalAlloc(LMEM_ZEROINIT, size));
  if (!descriptor)
    return false;
  auto* security = static_cast<PSECURITY_DESCRIPTOR>(descriptor.Get());
  if (!GetFileSecurityW(name.c_str(), SecurityInfoFlags, security, size, &needed))
    return false;

  if (!ImpersonateSelf(SecurityImpersonation))
    return false;
  ScopedImpersonation impersonation(true);

  ScopedKernelHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TokenRights, FALSE, token.Receive()))
    return false;

  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  DWORD access = desiredAccess;
  MapGenericMask(&access, &mapping);

  alignas(PRIVILEGE_SET) BYTE privileges[PrivilegeSetBytes] = {};
  DWORD privilegesLength = PrivilegeSetBytes;
  DWORD granted = 0;
  BOOL status = FALSE;
  if (!AccessCheck(security, token.Get(), access, &mapping,
                   reinterpret_cast<PPRIVILEGE_SET>(privileges), &privilegesLength, &granted,
                   &status))
    return false;
  return status != FALSE;
}

std::error_code LastAccessError() {
  return std::error_code(ERROR_ACCESS_DENIED, std::system_category());
}

namespace {

// A name Windows takes for a device (NUL, CON, COM1 in any folder, or a \\.\ name): its full
// form is in the device namespace. A device has no security of files to ask; opening it tells.
bool IsDeviceName(std::u16string_view path) {
  return !path.empty() && SystemPathForm(path).starts_with(u"\\\\.\\");
}

} // namespace

bool CanReadFile(std::u16string_view path) {
  return IsDeviceName(path) || CheckFileAccess(ReadAccessMask, path);
}

bool CanWriteFile(std::u16string_view path) {
  if (IsDeviceName(path))
    return true;
  if (FileExists(path))
    return CheckFileAccess(WriteAccessMask, path);
  return CanModifyPath(ExtractFilePath(path));
}

bool CanModifyPath(std::u16string_view path) {
  return CheckFileAccess(ModifyAccessMask, path);
}

std::u16string GetVolumeFileSystem(std::u16string_view drive) {
  std::wstring root = Wide(drive) + L"\\";
  wchar_t name[FileSystemNameChars + 1] = {};
  DWORD serial = 0, maxComponent = 0, flags = 0;
  if (!GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, &maxComponent, &flags, name,
                             FileSystemNameChars))
    return {};
  name[FileSystemNameChars] = L'\0';
  return FromWide(name, wcslen(name));
}

bool ExpandEnvironmentReferences(std::u16string_view text, std::u16string& result) {
  const std::wstring source = Wide(text);
  std::wstring buffer(ExpandBufferChars, L'\0');
  DWORD length = ExpandEnvironmentStringsW(source.c_str(), buffer.data(), ExpandBufferChars);
  if (length > ExpandBufferChars) {
    // Longer than the first buffer: the call told the size it needs.
    buffer.assign(length, L'\0');
    length = ExpandEnvironmentStringsW(source.c_str(), buffer.data(), length);
    if (length > buffer.size())
      return false;
  }
  if (length == 0)
    return false;
  result = FromWide(buffer.c_str(), wcsnlen(buffer.c_str(), buffer.size()));
  return true;
}

std::u16string GetSystemFolder(bool withDelimiter) {
  wchar_t buffer[SystemFolderChars] = {};
  const UINT length = GetSystemDirectoryW(buffer, SystemFolderChars);
  std::u16string folder = length < SystemFolderChars ? FromWide(buffer, length) : std::u16string();
  while (!folder.empty() && folder.back() == u'\\')
    folder.pop_back();
  if (withDelimiter)
    folder.push_back(u'\\');
  return folder;
}

bool FileGetAttributes(std::u16string_view path, uint32_t& attributes) {
  attributes = InvalidFileAttributes;
  if (!path.empty() && FileExists(path))
    attributes = Attributes(path);
  return attributes != InvalidFileAttributes;
}

bool FileSetAttributes(std::u16string_view path, uint32_t attributes) {
  if (FileFaultAt(TFileStep::SetAttributes))
    return false;
  if (path.empty() || !FileExists(path))
    return false;
  return SetFileAttributesW(SystemPath(path).c_str(), attributes) != FALSE;
}

bool FileExists(std::u16string_view path) {
  if (path.empty())
    return false;
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(std::u16string_view path) {
  if (path.empty())
    return false;
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CopyFileReplace(std::u16string_view source, std::u16string_view target) {
  if (source.empty() || target.empty())
    return false;
  return CopyFileW(SystemPath(source).c_str(), SystemPath(target).c_str(), FALSE) != FALSE;
}

std::u16string ExtractFilePath(std::u16string_view path) {
  const size_t at = path.find_last_of(u"\\/:");
  return at == std::u16string_view::npos ? std::u16string()
                                         : std::u16string(path.substr(0, at + 1));
}

// ---- THandleStream ----

namespace {

HANDLE AsHandle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The largest piece one ReadFile/WriteFile call moves.
constexpr int64_t MaxPiece = 1 << 30;

} // namespace

namespace {

// Keeps the calling thread's last OS error as a stream's error; -1, what the failed call gives.
int64_t KeepError(std::error_code& kept) {
  const DWORD error = GetLastError();
  kept = std::error_code(static_cast<int>(error != 0 ? error : ERROR_WRITE_FAULT),
                         std::system_category());
  return -1;
}

} // namespace

int64_t THandleStream::ReadSome(void* buffer, int64_t count) {
  DWORD moved = 0;
  if (!ReadFile(AsHandle(FHandle), buffer, static_cast<DWORD>(std::min(count, MaxPiece)), &moved,
                nullptr))
    return KeepError(FError);
  return moved;
}

int64_t THandleStream::WriteSome(const void* buffer, int64_t count) {
  DWORD moved = 0;
  if (!WriteFile(AsHandle(FHandle), buffer, static_cast<DWORD>(std::min(count, MaxPiece)), &moved,
                 nullptr))
    return KeepError(FError);
  return moved;
}

int64_t THandleStream::SeekFrom(int64_t offset, int origin) {
  static constexpr DWORD method[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  position.QuadPart = 0;
  if (!SetFilePointerEx(AsHandle(FHandle), distance, &position, method[origin]))
    return KeepError(FError);
  return position.QuadPart;
}

bool THandleStream::SetSize(int64_t size) {
  // The position stays where it was, even past the new end.
  const int64_t here = Seek(0, 1);
  if (here < 0 || size < 0 || Seek(size, 0) < 0)
    return false;
  const bool done = SetEndOfFile(AsHandle(FHandle)) != FALSE;
  if (!done)
    KeepError(FError);
  Seek(here, 0);
  return done;
}

void THandleStream::StartFlush(int64_t, int64_t) {}

bool THandleStream::Flush() {
  if (FlushFileBuffers(AsHandle(FHandle)))
    return true;
  KeepError(FError);
  return false;
}

// ---- TVornFileStream ----

namespace {

// A call that another program stands in the way of is tried this often, this far apart: about a
// second in all.
constexpr int BusyTries = 10;
constexpr DWORD BusyPauseMilliseconds = 100;

// Refusals that pass by themselves: a scanner, indexer or backup agent holding a file open without
// delete sharing (sharing and lock violations; ReplaceFileW's error 1175, the old file could not
// be removed), or a file of the name still waiting to be deleted (access denied).
bool IsPassingRefusal(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Makes the call until it succeeds, fails for another reason, or has been refused for about a
// second; mayRetry(error) says, after a refusal, whether nothing stands in the way of another try.
template <typename Call, typename MayRetry> bool TryWhileBusy(Call call, MayRetry mayRetry) {
  for (int attempt = 1;; ++attempt) {
    if (call())
      return true;
    const DWORD error = GetLastError();
    if (attempt >= BusyTries || !IsPassingRefusal(error) || !mayRetry(error))
      return false;
    Sleep(BusyPauseMilliseconds);
  }
}

} // namespace

TVornFileStream::TVornFileStream(std::u16string_view fileName, uint16_t mode)
    : FFileName(fileName) {
  const std::wstring name = SystemPath(fileName);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (mode == ModeCreate || mode == ModeCreateNew) {
    // CREATE_ALWAYS refuses an existing hidden or system file (ERROR_ACCESS_DENIED) unless it is
    // asked for the same two attributes, which the file then keeps. Wine does not refuse it.
    const DWORD old = mode == ModeCreate ? GetFileAttributesW(name.c_str()) : 0;
    const DWORD kept = old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_DIRECTORY) == 0
                           ? old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
                           : 0;
    handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         mode == ModeCreate ? CREATE_ALWAYS : CREATE_NEW,
                         kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL, nullptr);
  } else if (mode == ModeWriteInPlace) {
    // Nobody else may write the file while it is rewritten.
    handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    unsigned access = 0, sharing = 0;
    if (!SplitMode(mode, access, sharing)) {
      FLastError = ERROR_INVALID_PARAMETER;
      return;
    }
    static constexpr DWORD rights[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    static constexpr DWORD shares[] = {0, 0, FILE_SHARE_READ, FILE_SHARE_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE};
    const auto open = [&] {
      handle = CreateFileW(name.c_str(), rights[access], shares[sharing], nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
      return handle != INVALID_HANDLE_VALUE;
    };
    // A scanner or indexer that has just opened a file keeps others out for a moment: a read is
    // tried again for about a second while the file is in use.
    if (access == 0)
      TryWhileBusy(open, [](DWORD error) {
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
      });
    else
      open();
  }
  if (handle == INVALID_HANDLE_VALUE) {
    FLastError = static_cast<int>(GetLastError());
    return;
  }
  FHandle = reinterpret_cast<intptr_t>(handle);
}

TVornFileStream::TVornFileStream(std::u16string_view fileName, uint16_t mode, uint32_t)
    : TVornFileStream(fileName, mode) {}

TVornFileStream::~TVornFileStream() {
  if (FHandle != -1)
    CloseHandle(AsHandle(FHandle));
}

bool TVornFileStream::Close() {
  if (FHandle == -1)
    return true;
  if (CloseHandle(AsHandle(std::exchange(FHandle, -1))))
    return true;
  FLastError = static_cast<int>(GetLastError());
  KeepError(FError);
  return false;
}

// ---- Saving a file safely ----

std::u16string ResolveFinalPath(std::u16string_view path) {
  return std::u16string(path);
}

TReplaceResult ReplaceFileAtomically(std::u16string_view target, std::u16string_view replacement,
                                     const TFileGuard*, TSwapCheck*) {
  const std::wstring to = SystemPath(target);
  const std::wstring from = SystemPath(replacement);
  if (!FileExists(target))
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE
               ? TReplaceResult::Replaced
               : TReplaceResult::NotReplaced;
  // The old bytes keep a known name until the new file is in place. Without a backup name,
  // ReplaceFileW's error 1176 leaves no file under the target's name and the new bytes only in
  // the replacement; with one, 1176 leaves both files under their own names and 1177 the old
  // bytes under the backup name. Every other error leaves both under their own names.
  const std::u16string backup = BackupNameBeside(target, replacement);
  const std::wstring aside = SystemPath(backup);
  if (FileFaultAt(TFileStep::ReplaceHalfWay)) {
    MoveFileExW(to.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH);
    return FinishInterruptedReplace(target, replacement, backup);
  }
  // No REPLACEFILE_IGNORE_MERGE_ERRORS: with it, a new file that cannot take the old one's ACLs
  // (and attributes) would still be put in place, with the folder's inherited ACL. Without it that
  // replace fails with both files under their own names, and the caller writes the file in place,
  // which keeps its own security descriptor. Only Windows shows this: Wine merges no ACLs.
  const bool replaced = TryWhileBusy(
      [&] {
        return ReplaceFileW(to.c_str(), from.c_str(), aside.c_str(), 0, nullptr, nullptr) != FALSE;
      },
      // Another try only while both files are still under their own names, and not for a
      // read-only file, which refuses for good.
      [&](DWORD error) {
        uint32_t attributes = 0;
        return FileGetAttributes(target, attributes) && FileExists(replacement) &&
               !(error == ERROR_ACCESS_DENIED && HasReadOnlyAttribute(attributes));
      });
  if (!replaced)
    return FinishInterruptedReplace(target, replacement, backup);
  // The old bytes are under the backup name now, which a scanner may hold open for a moment.
  // Should the copy stay even so, the new file is in place all the same, and the old bytes stay
  // beside it under its ".old" save name, where the next run finds them and names them to the user.
  if (!FileFaultAt(TFileStep::RemoveCopy))
    TryWhileBusy([&] { return DeleteFileW(aside.c_str()) != FALSE; }, [](DWORD) { return true; });
  return TReplaceResult::Replaced;
}

bool DeleteFileName(std::u16string_view path) {
  return !path.empty() && DeleteFileW(SystemPath(path).c_str()) != FALSE;
}

bool MoveFileName(std::u16string_view from, std::u16string_view to) {
  return !from.empty() && !to.empty() &&
         MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_WRITE_THROUGH) !=
             FALSE;
}

// ---- New files beside a target, guards, error texts ----

namespace {

struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type value) { CloseHandle(value); }
};
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;

// A handle that only reads a file's attributes and times; it keeps nobody out.
ScopedFileHandle OpenForAttributes(std::u16string_view path) {
  return ScopedFileHandle(CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool IdentityOf(HANDLE handle, TFileGuard::TIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info))
    return false;
  identity = {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
              static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow),
              static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                   info.ftLastWriteTime.dwLowDateTime),
              0};
  return true;
}

} // namespace

TFileKind FileKindOf(std::u16string_view path) {
  std::error_code ignored;
  return FileKindOf(path, ignored);
}

TFileKind FileKindOf(std::u16string_view path, std::error_code& error) {
  error.clear();
  if (IsDeviceName(path))
    return TFileKind::Other; // written straight, never replaced
  const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = path.empty() ? ERROR_FILE_NOT_FOUND : GetLastError();
    error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                ? std::make_error_code(std::errc::no_such_file_or_directory)
                : std::error_code(static_cast<int>(code), std::system_category());
    return TFileKind::Missing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TFileKind::Folder : TFileKind::Regular;
}

bool IsDanglingLink(std::u16string_view) {
  return false;
}

std::error_code LastFileError() {
  const DWORD error = GetLastError();
  return std::error_code(static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE),
                         std::system_category());
}

bool AttributesStandInTheWayOfWriting() {
  return true;
}

bool FileNamesIgnoreCase() {
  return true;
}

bool FillRandomBytes(void* buffer, size_t size) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return false;
  const bool filled =
      CryptGenRandom(provider, static_cast<DWORD>(size), static_cast<BYTE*>(buffer)) != FALSE;
  CryptReleaseContext(provider, 0);
  return filled;
}

std::vector<std::u16string> NamesStartingWith(std::u16string_view prefix) {
  std::vector<std::u16string> names;
  const std::u16string folder = ExtractFilePath(prefix);
  std::u16string pattern(prefix);
  pattern += u"*";
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(SystemPath(pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return names;
  const std::u16string start(prefix.substr(folder.size()));
  do {
    const std::u16string name = FromWide(found.cFileName, wcslen(found.cFileName));
    // The pattern also matches short (8.3) names; only the full name counts.
    if (name.size() >= start.size() && EqualsNoCase(name.substr(0, start.size()), start))
      names.push_back(folder + name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

namespace {

// The owner of a file held open with READ_CONTROL, as a SID in its descriptor (freed with it).
struct TOwner {
  PSID Sid = nullptr;
  ScopedLocalMemory Descriptor;
};
bool OwnerOf(HANDLE handle, TOwner& owner) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool read = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner.Sid,
                                    nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
  owner.Descriptor = ScopedLocalMemory(descriptor);
  return read && owner.Sid != nullptr;
}

// True when the SID is the running user's, or the owner that the user's new files get (the
// Administrators group for an elevated run).
bool IsRunningUsers(PSID sid) {
  ScopedKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()))
    return false;
  for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
    DWORD size = 0;
    GetTokenInformation(token.Get(), kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size + sizeof(PSID));
    if (size == 0 || !GetTokenInformation(token.Get(), kind, buffer.data(), size, &size))
      continue;
    // Both structures begin with the SID's pointer.
    PSID own = nullptr;
    std::memcpy(&own, buffer.data(), sizeof own);
    if (own != nullptr && EqualSid(own, sid))
      return true;
  }
  return false;
}

} // namespace

TLeftoverKind LeftoverKindOf(std::u16string_view name, std::u16string_view target, int64_t size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(SystemPath(name).c_str(), GetFileExInfoStandard, &data))
    return TLeftoverKind::None;
  // The program makes its files beside a file of this size no larger than this.
  const int64_t largest = 16 * size + (int64_t{64} << 20);
  const int64_t length =
      static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      length > largest)
    return TLeftoverKind::Foreign;
  // Another run keeps every file of its own open, for nobody else to read, while it is at work.
  const ScopedFileHandle handle(CreateFileW(SystemPath(name).c_str(), GENERIC_READ | READ_CONTROL,
                                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle)
    return GetLastError() == ERROR_SHARING_VIOLATION ? TLeftoverKind::InUse
                                                     : TLeftoverKind::Foreign;
  // Made by the running user, or by the file's owner.
  TOwner owner;
  if (!OwnerOf(handle.Get(), owner))
    return TLeftoverKind::Foreign;
  if (IsRunningUsers(owner.Sid))
    return TLeftoverKind::Own;
  const ScopedFileHandle file(CreateFileW(SystemPath(target).c_str(), READ_CONTROL,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  TOwner fileOwner;
  return file && OwnerOf(file.Get(), fileOwner) && EqualSid(owner.Sid, fileOwner.Sid)
             ? TLeftoverKind::Own
             : TLeftoverKind::Foreign;
}

// The new file is created under a fresh ".tmp" name of the save; ReplaceFileW later gives it the
// target's security descriptor and attributes (a file without a model keeps the folder's).
std::unique_ptr<TNewFileBeside> TNewFileBeside::Create(std::u16string_view target,
                                                       std::u16string_view model, TLikeness,
                                                       std::error_code& error,
                                                       std::u16string_view namesOf) {
  std::unique_ptr<TNewFileBeside> file(new TNewFileBeside);
  file->FTarget = target;
  file->FModel = model;
  file->FNamesOf = namesOf.empty() ? target : namesOf;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 4; ++attempt) {
    file->FName = NewSaveName(file->FNamesOf, u".tmp");
    // Nobody else may read or write it while it is made; it may be renamed (NameAs).
    handle = CreateFileW(SystemPath(file->FName).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
      break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    file->FName.clear();
    return nullptr;
  }
  file->FStream = TVornFileStream::Adopt(file->FName, reinterpret_cast<intptr_t>(handle));
  return file;
}

TNewFileBeside::~TNewFileBeside() {
  FStream.reset();
  if (!FName.empty() && !FKept)
    DeleteFileName(FName);
}

bool TNewFileBeside::KeepModelTimes() {
  const ScopedFileHandle model = OpenForAttributes(FModel);
  FILETIME created{}, accessed{}, written{};
  return !FModel.empty() && model && GetFileTime(model.Get(), &created, &accessed, &written) &&
         SetFileTime(AsHandle(FStream->Handle()), nullptr, &accessed, &written);
}

// The new file was made under its name.
bool TNewFileBeside::GiveName() {
  return true;
}

bool TNewFileBeside::NameAs(std::u16string_view suffix, std::error_code& error) {
  const std::u16string name = NewSaveName(FNamesOf, suffix);
  if (!MoveFileExW(SystemPath(FName).c_str(), SystemPath(name).c_str(), MOVEFILE_WRITE_THROUGH)) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return false;
  }
  FName = name;
  FKept = true;
  return true;
}

TReplaceResult TNewFileBeside::ReplaceTarget(const TFileGuard* guard, TSwapCheck* check) {
  // The system puts only a closed file in place; its bytes were flushed, so what the close says
  // changes nothing of them.
  if (!FileFaultAt(TFileStep::Close))
    FStream->Close();
  FStream.reset();
  const TReplaceResult result = ReplaceFileAtomically(FTarget, FName, guard, check);
  if (result == TReplaceResult::Replaced)
    FName.clear();
  return result;
}

uint32_t FileLinkCount(std::u16string_view path) {
  const ScopedFileHandle handle = OpenForAttributes(path);
  BY_HANDLE_FILE_INFORMATION info{};
  return handle && GetFileInformationByHandle(handle.Get(), &info) && info.nNumberOfLinks > 1
             ? info.nNumberOfLinks
             : 1;
}

bool ReadFileIdentity(std::u16string_view path, TFileGuard::TIdentity& identity) {
  const ScopedFileHandle handle = OpenForAttributes(path);
  return handle && IdentityOf(handle.Get(), identity);
}

namespace {

constexpr DWORD LockNoticeMilliseconds = 1000;
constexpr DWORD LockPatienceMilliseconds = 10000;

// Runs of the program on one file take turns: a mutex named after the file's full path (its
// letters in one case, as Windows compares names), so that it holds across the swap that gives
// the path a new file. Global, so that runs in other sessions wait too; local where the session
// may not make a global one. Another run that holds it longer than the patience makes this one
// busy; a run that ended without letting go (killed) left it free. Null when no mutex could be
// made at all: the runs then go on without taking turns.
HANDLE TakeRunLock(std::u16string_view path, const std::function<void()>& waiting, bool& busy) {
  std::wstring full = SystemPath(path);
  CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  uint64_t hash = 0xCBF29CE484222325ULL; // FNV-1a over the UTF-16 units
  for (const wchar_t c : full)
    hash = (hash ^ static_cast<uint16_t>(c)) * 0x100000001B3ULL;
  wchar_t digits[17] = {};
  for (int i = 15; i >= 0; --i, hash >>= 4)
    digits[i] = L"0123456789abcdef"[hash & 15];
  HANDLE lock =
      CreateMutexW(nullptr, FALSE, (std::wstring(L"Global\\tarnwick-run-") + digits).c_str());
  if (lock == nullptr)
    lock = CreateMutexW(nullptr, FALSE, (std::wstring(L"Local\\tarnwick-run-") + digits).c_str());
  if (lock == nullptr)
    return nullptr;
  DWORD waited = WaitForSingleObject(lock, LockNoticeMilliseconds);
  if (waited == WAIT_TIMEOUT) {
    if (waiting)
      waiting();
    waited = WaitForSingleObject(lock, LockPatienceMilliseconds - LockNoticeMilliseconds);
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
    return lock;
  busy = waited == WAIT_TIMEOUT;
  CloseHandle(lock);
  return nullptr;
}

} // namespace

TFileGuard::TFileGuard(std::u16string_view path, const std::function<void()>& waiting)
    : FPath(path) {
  if (const HANDLE lock = TakeRunLock(path, waiting, FBusy))
    FRunLock = reinterpret_cast<intptr_t>(lock);
  if (FBusy)
    return;
  // Others may read the file and the guard's own run may open it again, but nobody may write it.
  const HANDLE handle =
      CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE)
    FHandle = reinterpret_cast<intptr_t>(handle);
  FKnown = ReadFileIdentity(path, FIdentity);
}

TFileGuard::~TFileGuard() {
  Release();
  if (FRunLock != -1) {
    ReleaseMutex(AsHandle(FRunLock));
    CloseHandle(AsHandle(FRunLock));
  }
}

void TFileGuard::Release() {
  if (FHandle != -1)
    CloseHandle(AsHandle(std::exchange(FHandle, -1)));
}

bool TFileGuard::Unchanged() const {
  TIdentity now;
  return !FKnown || (ReadFileIdentity(FPath, now) && now == FIdentity);
}

bool TFileGuard::IsGuardedFile(const THandleStream& stream) const {
  TIdentity now;
  return !FKnown || (IdentityOf(AsHandle(stream.Handle()), now) && now == FIdentity);
}

// The guard's handle is gone before the swap: only the name can be asked.
bool TFileGuard::GuardedFileUnchanged() const {
  return true;
}

std::u16string SystemErrorText(const std::error_code& error) {
  // The program's own findings that a system call would have made: in the system's words.
  if (error.category() == std::generic_category()) {
    const auto code = static_cast<std::errc>(error.value());
    const DWORD system = code == std::errc::no_such_file_or_directory ? ERROR_FILE_NOT_FOUND
                         : code == std::errc::permission_denied       ? ERROR_ACCESS_DENIED
                         : code == std::errc::no_space_on_device      ? ERROR_DISK_FULL
                                                                      : 0;
    if (system != 0)
      return SystemErrorText(std::error_code(static_cast<int>(system), std::system_category()));
  }
  if (error.category() != std::system_category()) {
    const std::string text = error.message();
    return std::u16string(text.begin(), text.end());
  }
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(error.value()), 0,
                                      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const ScopedLocalMemory owned(buffer);
  std::u16string text = length == 0 ? std::u16string() : FromWide(buffer, length);
  while (!text.empty() && text.back() <= u' ')
    text.pop_back();
  if (text.empty()) {
    const std::string code = "error " + std::to_string(error.value());
    text.assign(code.begin(), code.end());
  }
  return text;
}

// ---- Whole-stream helpers ----
