// Where the system hosts file is. Windows: the TCP/IP settings in the registry; POSIX: /etc/hosts.
#pragma once

#include <string>

// True when the TCP/IP parameters key could be opened; folder then holds the DatabasePath value
// (empty when missing). False, with folder empty, otherwise.
bool ReadDatabasePath(std::u16string& folder);
// The full name of the system hosts file. Never fails; the file need not exist.
std::u16string GetHostsFileName();
