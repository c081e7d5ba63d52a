// Where the system hosts file is. Windows: the TCP/IP settings in the registry; POSIX: /etc/hosts.
// And the name a file has on disk, which a save keeps.
#pragma once

#include <string>
#include <string_view>

// True when the TCP/IP parameters key could be opened; folder then holds the DatabasePath value
// (empty when missing). False, with folder empty, otherwise.
bool ReadDatabasePath(std::u16string& folder);
// The full name of the system hosts file. Never fails; the file need not exist.
std::u16string GetHostsFileName();
// The name of an existing file with its last part spelled as the file system stores it: Windows
// finds "...\etc\HOSTS" as "...\etc\hosts" and "td.txt." as "td.txt", and a short name in its
// long form. The name as given when no such file is found, and always on POSIX.
std::u16string StoredFileName(std::u16string_view fileName);
