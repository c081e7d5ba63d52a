// The Windows program's command line: tarnwk.exe [/s] [/b] [/l|r] [/e:ANSI|UTF8|UTF16LE] [file]
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "uHosts.h"

struct TCommandLineOptions {
  std::u16string FileName; // empty: the system hosts file
  bool Backup = false;
  bool Silent = false;
  bool IncludeLocalhost = false;
  SaveEncoding Encoding = EncodingAuto;
};

inline constexpr std::u16string_view UsageBlock =
    u"Usage: tarnwk.exe [/s] [/b] [/l|r] [/e:ANSI|UTF8|UTF16LE] [file]\n\n"
    u"/s: silent\n/b: create backup\n/l: include localhost entries\n"
    u"/r: remove localhost entries\n/e: save file as ANSI, UTF-8 or UTF-16 (Little endian)\n\n"
    u"Example: tarnwk.exe /e:ANSI hosts.txt";
inline constexpr std::u16string_view MsgInvalidParameters = u"Invalid parameters found.\n\n";

// Splits a process command line into parameters by the runtime's rule; the program itself (the
// first item) is not among them, and no parameter is empty.
std::vector<std::u16string> SplitParameters(std::u16string_view commandLine);

// Reads the parameters into options. includeLocalhostDefault is the system-dependent default.
// False at the first invalid parameter (the values set before it stay).
bool ParseCommandLine(const std::vector<std::u16string>& parameters, bool includeLocalhostDefault,
                      TCommandLineOptions& options);

// Parses the process's parameters and optimizes once, or shows the usage message (owner: the
// window for message boxes, 0 for none).
void RunCommandLine(intptr_t owner);
