// The hosts file location on POSIX: there is no registry; the file is always /etc/hosts.
#include "uHostsLocation.h"

bool ReadDatabasePath(std::u16string& folder) {
  folder.clear();
  return false;
}

std::u16string GetHostsFileName() {
  return u"/etc/hosts";
}
