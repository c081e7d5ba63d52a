// The optimize operation: the one road into the engine, shared by the command line and the window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "uHosts.h"

// What became of one run; the Windows program ignores it, the Linux front end turns it into its
// exit status.
enum class TOptimizeOutcome : uint8_t {
  Optimized,      // the file was rewritten
  NothingToDo,    // the file gave no lines to optimize; untouched
  FileMissing,    // no such file; untouched
  NoPrivileges,   // read or modify right missing; untouched
  CannotOpen,     // the load failed (or the text was cut at a NUL); untouched
  CannotSave,     // the save failed
};

// Message texts.
inline constexpr std::u16string_view MsgFileMissing = u"File does not exist.\n\nFile name: ";
inline constexpr std::u16string_view MsgNoPrivileges =
    u"You don't have enough privileges to complete the selected task.\n\n"
    u"Run this application as administrator.";
inline constexpr std::u16string_view MsgCannotOpen = u"Cannot open hosts file.";
inline constexpr std::u16string_view MsgNothingToDo = u"The file contains no lines to optimize.";
inline constexpr std::u16string_view MsgCannotSave = u"Cannot save to hosts file.";
inline constexpr std::u16string_view MsgOptimized = u"The hosts file has been optimized.";

// Optimizes one file (a blank name: the system hosts file) and reports the outcome through
// ShowMessage unless silent. Platform errors of the load or save pass to the caller.
TOptimizeOutcome OptimizeHostsFile(intptr_t owner, std::u16string_view fileName, bool backup,
                                   bool silent, bool includeLocalhost, SaveEncoding encoding);

// The encoding a file's byte-order mark shows: EncodingUtf8, EncodingUtf16LE, else EncodingAnsi.
SaveEncoding DetectFileEncoding(std::u16string_view fileName);
