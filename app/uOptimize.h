// The optimize operation: the one road into the engine, shared by the command line and the window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "uHosts.h"

// What became of one run; the Windows program ignores it, the Linux front end turns it into its
// exit status.
enum class TOptimizeOutcome : uint8_t {
  Optimized,    // the file was rewritten
  NothingToDo,  // the file gave no lines to optimize; untouched
  FileMissing,  // no such file; untouched
  NoPrivileges, // read or modify right missing; untouched
  CannotOpen,   // the load failed (or the text was cut at a NUL); untouched
  CannotSave,   // the save failed
  Checked,      // CheckHosts made its report; nothing written
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

// Where the text comes from: a file (a blank name: the system hosts file), or bytes already read
// (standard input).
struct TOptimizeSource {
  std::u16string FileName;
  const std::string* Bytes = nullptr; // set: the text is these bytes, no file is read
};

// Where the result goes: back into the source file, into another file, or to a writer of bytes.
struct TOptimizeTarget {
  enum TKind : uint8_t { SourceFile, OtherFile, Writer } Kind = SourceFile;
  std::u16string FileName; // OtherFile
  // Writer: takes the result a piece at a time; false when a piece could not be written.
  std::function<bool(std::string_view piece)> Write;
};

struct TOptimizeOptions {
  bool Backup = false; // copy the file about to be rewritten to its name + ".bak" first
  bool Silent = false; // no messages
  bool IncludeLocalhost = false;
  // EncodingAuto: as the text was read (its byte-order mark, else the code page it was read in).
  SaveEncoding Encoding = EncodingAuto;
  // TLineBreak::None: as the text's first line break (LF when it has none).
  TLineBreak LineBreak = TLineBreak::CrLf;
  // A name listed again under an address it already has is written once (the first stays).
  bool Dedupe = false;
  // When set, told how many names the merge makes resolve to another address, if any.
  std::function<void(size_t moved)> Moved;
};

// The optimize operation: checks, load, merge, backup, save and the one message that tells the
// outcome (through ShowMessage, unless silent). Platform errors of the load or save pass to the
// caller.
TOptimizeOutcome OptimizeHosts(intptr_t owner, const TOptimizeSource& source,
                               const TOptimizeTarget& target, const TOptimizeOptions& options);

// The report of what OptimizeHosts would do with the same source and options (the load, the
// names, the merge and what it changes, the size of the result), the source only read. Failures
// are told as OptimizeHosts tells them; a text with no lines to optimize is reported too.
TOptimizeOutcome CheckHosts(intptr_t owner, const TOptimizeSource& source,
                            const TOptimizeOptions& options, std::string& report);

// Optimizes one file in place (a blank name: the system hosts file), CR LF line ends.
TOptimizeOutcome OptimizeHostsFile(intptr_t owner, std::u16string_view fileName, bool backup,
                                   bool silent, bool includeLocalhost, SaveEncoding encoding);

// The encoding a save keeps when none is chosen: the byte-order mark's (a big-endian UTF-16 text
// is saved as UTF-16 LE with its mark), else EncodingAuto, the code page the text was read in.
SaveEncoding EncodingAsRead(const THostsLoadInfo& info);

// The encoding a file's byte-order mark shows: EncodingUtf8, EncodingUtf16LE, else EncodingAnsi.
// Only the window's preset reads it; a save decides from the bytes it loaded.
SaveEncoding DetectFileEncoding(std::u16string_view fileName);

// The window's encoding box: its items in order ("ANSI", "UTF-8", "UTF-16 LE") and what each
// saves as.
SaveEncoding EncodingOfBoxIndex(int index);
int BoxIndexOfEncoding(SaveEncoding encoding);
