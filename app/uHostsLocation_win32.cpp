// The system hosts file on Windows: its folder is the TCP/IP service's DatabasePath setting. A
// file's stored name comes from the directory search.
#include "uHostsLocation.h"

#include <system_error>

#include <windows.h>

#include "VornLibFilesystem.h"
#include "VornLibHandle.h"

namespace {

constexpr wchar_t TcpipParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
constexpr wchar_t DatabasePathValue[] = L"DatabasePath";
constexpr std::u16string_view DefaultHostsFolder = u"%SystemRoot%\\System32\\drivers\\etc";

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type value) { FindClose(value); }
};

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type value) { RegCloseKey(value); }
};

// An open registry key, closed when the holder goes.
class TRegistryKey {
public:
  // Opens an existing key for reading; never creates one.
  bool OpenRead(HKEY root, const wchar_t* path) {
    return RegOpenKeyExW(root, path, 0, KEY_READ, FKey.Receive()) == ERROR_SUCCESS;
  }

  // The value as text (an expandable string stays unexpanded); empty when there is no such
  // value. A value of another type raises std::system_error.
  std::u16string ReadText(const wchar_t* name) const {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG status = RegQueryValueExW(FKey.Get(), name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS)
      return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ)
      throw std::system_error(ERROR_INVALID_DATATYPE, std::system_category(),
                              "Invalid data type for registry value");
    std::wstring buffer;
    for (;;) {
      // Room for a missing terminator, and an odd byte count rounded up.
      buffer.assign(size / sizeof(wchar_t) + 2, L'\0');
      DWORD bytes = size;
      status = RegQueryValueExW(FKey.Get(), name, nullptr, &type,
                                reinterpret_cast<BYTE*>(buffer.data()), &bytes);
      if (status == ERROR_MORE_DATA) {
        size = bytes; // the value grew in between
        continue;
      }
      if (status == ERROR_FILE_NOT_FOUND)
        return {}; // removed in between
      if (status != ERROR_SUCCESS)
        throw std::system_error(static_cast<int>(status), std::system_category(),
                                "Cannot read registry value");
      if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw std::system_error(ERROR_INVALID_DATATYPE, std::system_category(),
                                "Invalid data type for registry value");
      break;
    }
    const size_t length = wcsnlen(buffer.c_str(), buffer.size());
    return std::u16string(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(length));
  }

private:
  ScopedHandle<RegistryKeyTraits> FKey;
};

} // namespace

bool ReadDatabasePath(std::u16string& folder) {
  folder.clear();
  TRegistryKey key;
  if (!key.OpenRead(HKEY_LOCAL_MACHINE, TcpipParametersKey))
    return false;
  folder = key.ReadText(DatabasePathValue);
  return true;
}

std::u16string GetHostsFileName() {
  std::u16string folder;
  if (!ReadDatabasePath(folder))
    folder = DefaultHostsFolder;

  // A folder that cannot be expanded (a missing or blank value) leaves a bare name, which refers
  // to the current directory.
  std::u16string result;
  std::u16string expanded;
  if (ExpandEnvironmentPath(folder, expanded))
    result = expanded;
  else if (DirectoryExists(folder))
    result = folder;
  if (!result.empty() && result.back() != u'\\')
    result += u'\\';

  if (FileExists(result + u"HOSTS.ehm"))
    return result + u"HOSTS.ehm";
  return result + u"HOSTS";
}

std::u16string StoredFileName(std::u16string_view fileName) {
  const std::u16string given(fileName);
  // A wildcard would let the search find another file.
  if (given.empty() || given.find_first_of(u"*?<>\"") != std::u16string::npos)
    return given;
  // The search names the file as every file call does.
  const std::u16string form = SystemPathForm(given);
  const std::wstring name(form.begin(), form.end());
  WIN32_FIND_DATAW found{};
  const ScopedHandle<FindHandleTraits> search(FindFirstFileW(name.c_str(), &found));
  if (!search || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return given;
  const std::wstring stored(found.cFileName);
  return ExtractFilePath(given) + std::u16string(stored.begin(), stored.end());
}
