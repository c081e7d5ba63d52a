// The optimize operation on real files: every outcome with its message, the returned outcome and
// the bytes left on disk; the byte-order mark detection.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MessageRecorder.h"
#include "TestFiles.h"
#include "TestText.h"
#include "VornLibFilesystem.h"
#include "uHostsLocation.h"
#include "uMessages.h"
#include "uOptimize.h"

using testing_files::Ascii;
using testing_files::MakeReadOnly;
using testing_files::ReadBytes;
using testing_files::RunningAsRoot;
using testing_files::TempFolder;
using testing_files::U16;
using testing_files::Utf16BE;
using testing_files::Utf16LE;
using testing_files::WriteBytes;

namespace fs = std::filesystem;

namespace {

const std::string TwoEntries = "# blockers\r\n0.0.0.0 a.example\r\n\r\n0.0.0.0 b.example\r\n";
const std::string TwoEntriesMerged = "0.0.0.0 a.example b.example\r\n";
const std::string LocalhostHeader = "127.0.0.1 localhost\r\n::1 localhost\r\n";

enum class Target { File, Missing, Folder, LeadingBlank };

struct OutcomeRow {
  const char* Name;
  Target Kind;
  std::string Before; // the file's bytes (Kind File and LeadingBlank)
  std::optional<std::string> OldBackup;
  bool OldBackupReadOnly;
  bool Backup;
  bool IncludeLocalhost;
  SaveEncoding Encoding;
  TOptimizeOutcome Outcome;
  std::u16string Text; // for the missing-file rows the file name follows
  TMessageIcon Icon;
  std::string After;                      // the file's bytes afterwards
  std::optional<std::string> BackupAfter; // none: no backup file afterwards
  uint32_t Attributes = 0;                // set on the file before the run, when not 0
};

const OutcomeRow OutcomeRows[] = {
    {"missing file", Target::Missing, "", std::nullopt, false, true, false, EncodingAuto,
     TOptimizeOutcome::FileMissing, std::u16string(MsgFileMissing), TMessageIcon::Error, "",
     std::nullopt},
    {"folder name", Target::Folder, "", std::nullopt, false, true, false, EncodingAuto,
     TOptimizeOutcome::FileMissing, std::u16string(MsgFileMissing), TMessageIcon::Error, "",
     std::nullopt},
    {"name with a leading blank is looked up with the blank", Target::LeadingBlank, TwoEntries,
     std::nullopt, false, true, false, EncodingAuto, TOptimizeOutcome::FileMissing,
     std::u16string(MsgFileMissing), TMessageIcon::Error, TwoEntries, std::nullopt},
    {"empty file, backup asked", Target::File, "", std::nullopt, false, true, false, EncodingAuto,
     TOptimizeOutcome::NothingToDo, std::u16string(MsgNothingToDo), TMessageIcon::Information, "",
     std::nullopt},
    {"blank lines and localhost only", Target::File,
     "\r\n\r\n127.0.0.1 localhost\r\n::1 localhost\r\n", std::nullopt, false, true, true,
     EncodingAuto, TOptimizeOutcome::NothingToDo, std::u16string(MsgNothingToDo),
     TMessageIcon::Information, "\r\n\r\n127.0.0.1 localhost\r\n::1 localhost\r\n", std::nullopt},
    {"text cut at a NUL with bytes after it", Target::File,
     std::string("0.0.0.0 a.example\r\n\0 0.0.0.0 b.example\r\n", 40), std::nullopt, false, true,
     false, EncodingAuto, TOptimizeOutcome::CannotOpen, std::u16string(MsgCannotOpen),
     TMessageIcon::Information, std::string("0.0.0.0 a.example\r\n\0 0.0.0.0 b.example\r\n", 40),
     std::nullopt},
    {"UTF-16 text cut at a NUL", Target::File, Utf16LE(std::string("0.0.0.0 a.example\r\n\0x", 21)),
     std::nullopt, false, false, false, EncodingAuto, TOptimizeOutcome::CannotOpen,
     std::u16string(MsgCannotOpen), TMessageIcon::Information,
     Utf16LE(std::string("0.0.0.0 a.example\r\n\0x", 21)), std::nullopt},
    {"a NUL as the very last byte cuts nothing", Target::File,
     std::string("0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n\0", 39), std::nullopt, false, false,
     false, EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, TwoEntriesMerged, std::nullopt},
    {"optimized, no backup", Target::File, TwoEntries, std::nullopt, false, false, false,
     EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, TwoEntriesMerged, std::nullopt},
    {"optimized with localhost lines", Target::File, TwoEntries, std::nullopt, false, false, true,
     EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, LocalhostHeader + TwoEntriesMerged, std::nullopt},
    {"backup made", Target::File, TwoEntries, std::nullopt, false, true, false, EncodingAuto,
     TOptimizeOutcome::Optimized, std::u16string(MsgOptimized), TMessageIcon::Information,
     TwoEntriesMerged, TwoEntries},
    {"backup replaces an older one", Target::File, TwoEntries, "an older backup", false, true,
     false, EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, TwoEntriesMerged, TwoEntries},
    {"older backup kept when no backup asked", Target::File, TwoEntries, "an older backup", false,
     false, false, EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, TwoEntriesMerged, "an older backup"},
    {"EncodingAuto keeps EF BB BF", Target::File,
     "\xEF\xBB\xBF"
     "0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n",
     std::nullopt, false, false, false, EncodingAuto, TOptimizeOutcome::Optimized,
     std::u16string(MsgOptimized), TMessageIcon::Information, "\xEF\xBB\xBF" + TwoEntriesMerged,
     std::nullopt},
    {"EncodingAuto keeps FF FE 41 00", Target::File,
     Utf16LE("A::1 a.example\r\nA::1 b.example\r\n"), std::nullopt, false, false, false,
     EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, Utf16LE("A::1 a.example b.example\r\n"), std::nullopt},
    {"EncodingAuto turns FE FF into ANSI", Target::File,
     Utf16BE("0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n"), std::nullopt, false, false, false,
     EncodingAuto, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, TwoEntriesMerged, std::nullopt},
    {"explicit encoding overrides the mark", Target::File,
     "\xEF\xBB\xBF"
     "0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n",
     std::nullopt, false, false, false, EncodingUtf16LE, TOptimizeOutcome::Optimized,
     std::u16string(MsgOptimized), TMessageIcon::Information, Utf16LE(TwoEntriesMerged),
     std::nullopt},
    {"explicit UTF-8 on a file without mark", Target::File, TwoEntries, std::nullopt, false, false,
     false, EncodingUtf8, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, "\xEF\xBB\xBF" + TwoEntriesMerged, std::nullopt},
    {"explicit ANSI on a UTF-16 file", Target::File,
     Utf16LE("0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n"), std::nullopt, false, false, false,
     EncodingAnsi, TOptimizeOutcome::Optimized, std::u16string(MsgOptimized),
     TMessageIcon::Information, TwoEntriesMerged, std::nullopt},
#ifdef _WIN32
    // Under Wine a read-only file is refused by the access check (Windows itself grants it), so
    // hidden and system stand in.
    {.Name = "backup of a hidden system file is a plain file",
     .Kind = Target::File,
     .Before = TwoEntries,
     .OldBackup = std::nullopt,
     .OldBackupReadOnly = false,
     .Backup = true,
     .IncludeLocalhost = false,
     .Encoding = EncodingAuto,
     .Outcome = TOptimizeOutcome::Optimized,
     .Text = std::u16string(MsgOptimized),
     .Icon = TMessageIcon::Information,
     .After = TwoEntriesMerged,
     .BackupAfter = TwoEntries,
     .Attributes = FileAttributeHidden | FileAttributeSystem},
#endif
};

// Lays out the row's files; returns the name to pass and the file to watch.
std::pair<std::u16string, fs::path> Prepare(const TempFolder& folder, const OutcomeRow& row) {
  const fs::path file = folder.File("hosts.txt");
  switch (row.Kind) {
  case Target::Missing:
    return {folder.Name("hosts.txt"), file};
  case Target::Folder:
    fs::create_directory(file);
    return {folder.Name("hosts.txt"), file};
  case Target::LeadingBlank:
    WriteBytes(file, row.Before);
    return {u" " + folder.Name("hosts.txt"), file};
  case Target::File:
    break;
  }
  WriteBytes(file, row.Before);
  if (row.Attributes != 0) {
    uint32_t plain = 0;
    EXPECT_TRUE(FileGetAttributes(folder.Name("hosts.txt"), plain));
    EXPECT_TRUE(FileSetAttributes(folder.Name("hosts.txt"), plain | row.Attributes));
  }
  if (row.OldBackup) {
    WriteBytes(folder.File("hosts.txt.bak"), *row.OldBackup);
    if (row.OldBackupReadOnly)
      MakeReadOnly(folder.File("hosts.txt.bak"));
  }
  return {folder.Name("hosts.txt"), file};
}

void CheckFiles(const TempFolder& folder, const OutcomeRow& row, const fs::path& file) {
  const fs::path backup = folder.File("hosts.txt.bak");
  switch (row.Kind) {
  case Target::Missing:
    // Nothing was created.
    EXPECT_TRUE(fs::is_empty(folder.Path()));
    return;
  case Target::Folder:
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_TRUE(fs::is_empty(file));
    EXPECT_FALSE(fs::exists(backup));
    return;
  case Target::LeadingBlank:
  case Target::File:
    break;
  }
  EXPECT_EQ(ReadBytes(file), row.After);
  if (row.BackupAfter) {
    EXPECT_EQ(ReadBytes(backup), *row.BackupAfter);
    if (row.Backup) {
      // A fresh backup is a plain file, whatever the attributes of the file it copies.
      uint32_t attributes = 0;
      EXPECT_TRUE(FileGetAttributes(folder.Name("hosts.txt.bak"), attributes));
      EXPECT_EQ(attributes & (FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem),
                0u);
    }
  } else {
    EXPECT_FALSE(fs::exists(backup));
  }
}

} // namespace

TEST(OptimizeHostsFile, OutcomesMessagesAndFiles) {
  constexpr intptr_t Owner = 0x1234;
  for (const OutcomeRow& row : OutcomeRows) {
    for (const bool silent : {false, true}) {
      SCOPED_TRACE(std::string(row.Name) + (silent ? " (silent)" : ""));
      TempFolder folder;
      const auto [name, file] = Prepare(folder, row);
      MessageRecorder recorder;

      const TOptimizeOutcome outcome =
          OptimizeHostsFile(Owner, name, row.Backup, silent, row.IncludeLocalhost, row.Encoding);

      EXPECT_EQ(outcome, row.Outcome);
      if (silent) {
        EXPECT_TRUE(recorder.Messages.empty());
      } else {
        ASSERT_EQ(recorder.Messages.size(), 1u);
        const TRecordedMessage& message = recorder.Messages[0];
        std::u16string text = row.Text;
        if (row.Outcome == TOptimizeOutcome::FileMissing)
          text += name;
        EXPECT_EQ(Ascii(message.Text), Ascii(text));
        EXPECT_EQ(message.Icon, row.Icon);
        EXPECT_EQ(message.Owner, Owner);
      }
      CheckFiles(folder, row, file);
    }
  }
}

// A backup that cannot be written is skipped without a word and the save goes ahead. Root may
// still write the read-only backup (on POSIX, and under Wine run by root), so the old content is
// only required for an ordinary POSIX user.
TEST(OptimizeHostsFile, ReadOnlyBackupIsSkippedSilently) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "not silent");
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    const fs::path backup = folder.File("hosts.txt.bak");
    WriteBytes(file, TwoEntries);
    WriteBytes(backup, "an older backup");
    MakeReadOnly(backup);
    MessageRecorder recorder;

    EXPECT_EQ(OptimizeHostsFile(0, folder.Name("hosts.txt"), true, silent, false, EncodingAuto),
              TOptimizeOutcome::Optimized);

    EXPECT_EQ(ReadBytes(file), TwoEntriesMerged);
    const std::string backupBytes = ReadBytes(backup);
    EXPECT_TRUE(backupBytes == "an older backup" || backupBytes == TwoEntries) << backupBytes;
#ifndef _WIN32
    if (!RunningAsRoot()) {
      EXPECT_EQ(backupBytes, "an older backup");
    }
#endif
    if (silent) {
      EXPECT_TRUE(recorder.Messages.empty());
    } else {
      ASSERT_EQ(recorder.Messages.size(), 1u);
      EXPECT_EQ(Ascii(recorder.Messages[0].Text), Ascii(std::u16string(MsgOptimized)));
      EXPECT_EQ(recorder.Messages[0].Icon, TMessageIcon::Information);
    }
  }
}

// A file the user may read but not change: the privileges message, nothing loaded, no backup.
TEST(OptimizeHostsFile, ReadableButNotWritableFile) {
  if (RunningAsRoot())
    GTEST_SKIP() << "root is granted every access; the end-to-end tests cover this as another user";
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "not silent");
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    WriteBytes(file, TwoEntries);
    MakeReadOnly(file);
    MessageRecorder recorder;

    EXPECT_EQ(OptimizeHostsFile(0, folder.Name("hosts.txt"), true, silent, false, EncodingAuto),
              TOptimizeOutcome::NoPrivileges);

    EXPECT_EQ(ReadBytes(file), TwoEntries);
    EXPECT_FALSE(fs::exists(folder.File("hosts.txt.bak")));
    if (silent) {
      EXPECT_TRUE(recorder.Messages.empty());
    } else {
      ASSERT_EQ(recorder.Messages.size(), 1u);
      EXPECT_EQ(Ascii(recorder.Messages[0].Text), Ascii(std::u16string(MsgNoPrivileges)));
      EXPECT_EQ(recorder.Messages[0].Icon, TMessageIcon::Error);
    }
  }
}

// ---- Byte-order mark detection ----

struct DetectRow {
  const char* Name;
  std::optional<std::string> Bytes; // none: no such file
  SaveEncoding Expected;
};

TEST(DetectFileEncoding, ByteOrderMarks) {
  const DetectRow rows[] = {
      {"EF BB BF",
       std::string("\xEF\xBB\xBF"
                   "0.0.0.0 a"),
       EncodingUtf8},
      {"EF BB BF alone", std::string("\xEF\xBB\xBF"), EncodingUtf8},
      {"EF BB cut short", std::string("\xEF\xBB"), EncodingAnsi},
      {"FF FE 41 00", std::string("\xFF\xFE\x41\x00", 4), EncodingUtf16LE},
      {"FF FE alone", std::string("\xFF\xFE"), EncodingUtf16LE},
      {"FF FE 00", std::string("\xFF\xFE\x00", 3), EncodingUtf16LE},
      {"FF FE 00 41", std::string("\xFF\xFE\x00\x41", 4), EncodingUtf16LE},
      {"FF FE 00 00", std::string("\xFF\xFE\x00\x00", 4), EncodingAnsi},
      {"FF FE 00 00 then text", std::string("\xFF\xFE\x00\x00\x41\x00\x00\x00", 8), EncodingAnsi},
      {"FE FF", std::string("\xFE\xFF\x00\x41", 4), EncodingAnsi},
      {"00 00 FE FF", std::string("\x00\x00\xFE\xFF", 4), EncodingAnsi},
      {"no mark", std::string("0.0.0.0 a.example\r\n"), EncodingAnsi},
      {"one byte FF", std::string("\xFF"), EncodingAnsi},
      {"one byte EF", std::string("\xEF"), EncodingAnsi},
      {"empty file", std::string(), EncodingAnsi},
      {"missing file", std::nullopt, EncodingAnsi},
  };
  for (const DetectRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    if (row.Bytes)
      WriteBytes(file, *row.Bytes);

    EXPECT_EQ(DetectFileEncoding(folder.Name("hosts.txt")), row.Expected);

    if (row.Bytes) {
      EXPECT_EQ(ReadBytes(file), *row.Bytes);
    } else {
      EXPECT_FALSE(fs::exists(file));
    }
  }
}

TEST(DetectFileEncoding, FolderIsNoFile) {
  TempFolder folder;
  fs::create_directory(folder.File("hosts"));
  EXPECT_EQ(DetectFileEncoding(folder.Name("hosts")), EncodingAnsi);
}

// ---- The message seam ----

TEST(MessageSeam, SetReturnsThePreviousFunction) {
  std::vector<std::u16string> first, second;
  const TMessageFunction original = SetMessageFunction(
      [&](intptr_t, std::u16string_view text, TMessageIcon) { first.emplace_back(text); });
  ShowMessage(0, u"one", TMessageIcon::Information);
  const TMessageFunction previous = SetMessageFunction(
      [&](intptr_t, std::u16string_view text, TMessageIcon) { second.emplace_back(text); });
  ASSERT_TRUE(previous);
  ShowMessage(0, u"two", TMessageIcon::Error);
  previous(0, u"three", TMessageIcon::None);
  // An empty function puts the platform's own back; what it replaced comes back to the caller.
  const TMessageFunction last = SetMessageFunction(nullptr);
  EXPECT_TRUE(last);
  SetMessageFunction(original);

  EXPECT_EQ(first, (std::vector<std::u16string>{u"one", u"three"}));
  EXPECT_EQ(second, (std::vector<std::u16string>{u"two"}));
}

// ---- The hosts file location ----

#ifndef _WIN32
TEST(HostsLocation, PosixHasNoRegistry) {
  std::u16string folder = u"left over";
  EXPECT_FALSE(ReadDatabasePath(folder));
  EXPECT_TRUE(folder.empty());
  EXPECT_EQ(Ascii(GetHostsFileName()), "/etc/hosts");
}
#endif
