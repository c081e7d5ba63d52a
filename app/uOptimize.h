// The optimize operation: the one road into the engine, shared by the command line and the window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "VornLibFilesystem.h"
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
  FileChanged,  // another writer changed the file while it was optimized; nothing written
  Interrupted,  // an earlier save of the file was interrupted; its copy beside waits; untouched
  NotRegular,   // the file to rewrite is a device, a FIFO or a socket; untouched
  BackupFailed, // the backup asked for could not be made; untouched
  Busy,         // another program held the file (a lock) for as long as the run waited; untouched
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
inline constexpr std::u16string_view MsgFileChanged =
    u"The file was changed by another program while it was being optimized. Nothing was "
    u"written; optimize it again.";
inline constexpr std::u16string_view MsgInterrupted =
    u"An earlier run was interrupted while it rewrote this file. Its old content is kept in:"
    u"\n\n";
inline constexpr std::u16string_view MsgInterruptedAdvice =
    u"\n\nCompare the two, put the old content back or delete the copy, then optimize again.";
inline constexpr std::u16string_view MsgNotRegular = u"Not a regular file: ";
inline constexpr std::u16string_view MsgBackupFailed =
    u"Cannot make the backup copy; the file was not changed.";
inline constexpr std::u16string_view MsgStranded =
    u"Neither copy could be put back under the file's name. The new content is in:\n";
inline constexpr std::u16string_view MsgStrandedOld = u"\nThe old content is in:\n";
inline constexpr std::u16string_view MsgChangedKept =
    u"The file was changed by another program while it was being saved. It holds the optimized "
    u"content; what the other program wrote is kept in:\n\n";
inline constexpr std::u16string_view MsgNoCopyBeside =
    u"No copy of the old content could be kept beside the file, so nothing was written: ";
inline constexpr std::u16string_view MsgCopyNotRemoved =
    u"The copy of the old content could not be removed; delete it: ";
inline constexpr std::u16string_view MsgFolderNotFlushed =
    u"The folder could not be flushed to disk after the save: ";
inline constexpr std::u16string_view MsgBusy =
    u"Another program keeps the file locked. Nothing was written; optimize it again.";

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
  // A backup that cannot be made stops the run before the file is touched (else it is skipped
  // without a word and the save goes on).
  bool BackupRequired = false;
  bool Silent = false; // no messages
  bool IncludeLocalhost = false;
  // EncodingAuto: as the text was read (its byte-order mark, else the code page it was read in).
  SaveEncoding Encoding = EncodingAuto;
  // TLineBreak::None: as the text's first line break (LineBreakWithoutInput when it has none).
  TLineBreak LineBreak = TLineBreak::CrLf;
  TLineBreak LineBreakWithoutInput = TLineBreak::Lf;
  // A name listed again under an address it already has is written once (the first stays).
  bool Dedupe = false;
  // How the text is cut into lines and fields: as Windows reads a hosts file, or as glibc does.
  TLineRules LineRules = TLineRules::Windows;
  // When set, told how many names the merge makes resolve to another address, if any.
  std::function<void(size_t moved)> Moved;
  // The "optimized" message tells what the run changed (OptimizedMessage); else it is
  // MsgOptimized alone.
  bool Tally = false;
  // When set, every outcome is told here (silent or not) instead of as a message: the Linux
  // program says it in its own words.
  std::function<void(const struct TOptimizeNotice&)> Notice;
  // When set, told once when the run has waited a second for another program that holds the file.
  std::function<void(const std::u16string& file)> Waiting;
  // When set, told of names beside the file that look like the save's own but are not the
  // program's: the first of them and how many there are; they are left alone.
  std::function<void(const std::u16string& first, size_t count)> LeftAlone;
};

// An outcome with what a program needs to tell it in its own words.
struct TOptimizeNotice {
  TOptimizeOutcome Outcome = TOptimizeOutcome::Optimized;
  std::u16string File;    // the file it is about: the file read, or for a save the file written
  std::u16string Reason;  // the system's words for a refusal, or ours for the content; for a file
                          // optimized, why a step after the save failed (the folder's flush, the
                          // removal of the copy in Kept)
  std::u16string Kept;    // a copy left beside: an interrupted save's, a stuck swap's new bytes,
                          // what another writer left, the old content a finished save could not
                          // remove
  std::u16string KeptOld; // a stuck swap's old bytes
  TSaveFailure Failure = TSaveFailure::None; // a save that did not write the file: why
};

// What a run changed, for the "optimized" message.
struct TOptimizeTally {
  size_t LinesBefore = 0; // lines of the text read
  size_t LinesAfter = 0;  // lines written
  size_t NoAsciiForm = 0; // characters ANSI had no form for, written as "?"
  size_t Moved = 0;       // names the merge makes resolve to another address
};
// The "optimized" message of the Windows program, three lines at most: the line counts, then
// the characters written as "?" and the names the merge moved, when there are any.
std::u16string OptimizedMessage(const TOptimizeTally& tally);

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

// Optimizes one file in place (a blank name: the system hosts file), CR LF line ends; the
// "optimized" message tells what changed.
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
