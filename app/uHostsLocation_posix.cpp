// The hosts file location on POSIX: there is no registry; the file is always /etc/hosts. A name
// is the file's name as given.
#include "uHostsLocation.h"

bool ReadDatabasePath(std::u16string& folder) {
  folder.clear();
  return false;
}

std::u16string GetHostsFileName() {
  return u"/etc/hosts";
}

std::u16string StoredFileName(std::u16string_view fileName) {
  return std::u16string(fileName);
}
