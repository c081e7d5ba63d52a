// The optimize operation on real files: every outcome with its message, the returned outcome and
// the bytes left on disk; the byte-order mark detection.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
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

using testing_files::AsAnOrdinaryUser;
using testing_files::Ascii;
using testing_files::FolderContent;
using testing_files::MakeReadOnly;
using testing_files::ReadBytes;
using testing_files::TempFolder;
using testing_files::ToU16;
using testing_files::U16;
using testing_files::Utf16BE;
using testing_files::Utf16LE;
using testing_files::WriteBytes;

namespace fs = std::filesystem;

namespace {

const std::string TwoEntries = "# blockers\r\n0.0.0.0 a.example\r\n\r\n0.0.0.0 b.example\r\n";
const std::string TwoEntriesMerged = "0.0.0.0 a.example b.example\r\n";
const std::string LocalhostHeader = "127.0.0.1 localhost\r\n::1 localhost\r\n";

// The message of a rewritten file, with its line counts.
std::u16string Optimized(std::string_view counts) {
  return U16(std::string("The hosts file has been optimized: ") + std::string(counts) + ".");
}

enum class Target { File, Missing, Folder, LeadingBlank };

// A row names what differs from a plain file, optimized without a backup, in its own encoding.
struct OutcomeRow {
  const char* Name = "";
  Target Kind = Target::File;
  std::string Before = {}; // the file's bytes (Kind File and LeadingBlank)
  std::optional<std::string> OldBackup = {};
  bool OldBackupReadOnly = false;
  bool Backup = false;
  bool IncludeLocalhost = false;
  SaveEncoding Encoding = EncodingAuto;
  TOptimizeOutcome Outcome = TOptimizeOutcome::Optimized;
  std::u16string Text = {}; // missing-file rows: the file name follows
  TMessageIcon Icon = TMessageIcon::Information;
  std::string After = {};                      // the file's bytes afterwards
  std::optional<std::string> BackupAfter = {}; // none: no backup file afterwards
  uint32_t Attributes = 0;                     // set on the file before the run, when not 0
  std::vector<TFileStep> Faults = {};          // steps of the save whose first attempt fails
};

const std::u16string NoCopyBeside =
    std::u16string(MsgCannotSave) + u"\n\n" + std::u16string(MsgNoCopyBeside) +
    SystemErrorText(std::make_error_code(std::errc::permission_denied)); // the system's words

const OutcomeRow OutcomeRows[] = {
    // In place (no new file beside): the old content must go to a copy beside the file first.
    {.Name = "in place with no room for a copy of the old content: nothing written",
     .Before = TwoEntries,
     .Outcome = TOptimizeOutcome::CannotSave,
     .Text = NoCopyBeside,
     .After = TwoEntries,
     .Faults = {TFileStep::CreateTemporary, TFileStep::CreateTemporary}},
    {.Name = "in place, the copy of the old content cannot be removed: named",
     .Before = TwoEntries,
     .Text = Optimized("4 lines before, 1 after") + u"\n\n" + std::u16string(MsgCopyNotRemoved) +
             u"Input/output error\n{COPY}",
     .After = TwoEntriesMerged,
     .Faults = {TFileStep::CreateTemporary, TFileStep::RemoveCopy}},
    {.Name = "missing file",
     .Kind = Target::Missing,
     .Backup = true,
     .Outcome = TOptimizeOutcome::FileMissing,
     .Text = std::u16string(MsgFileMissing),
     .Icon = TMessageIcon::Error},
    {.Name = "folder name",
     .Kind = Target::Folder,
     .Backup = true,
     .Outcome = TOptimizeOutcome::FileMissing,
     .Text = std::u16string(MsgFileMissing),
     .Icon = TMessageIcon::Error},
    {.Name = "name with a leading blank is looked up with the blank",
     .Kind = Target::LeadingBlank,
     .Before = TwoEntries,
     .Backup = true,
     .Outcome = TOptimizeOutcome::FileMissing,
     .Text = std::u16string(MsgFileMissing),
     .Icon = TMessageIcon::Error,
     .After = TwoEntries},
    {.Name = "empty file, backup asked",
     .Backup = true,
     .Outcome = TOptimizeOutcome::NothingToDo,
     .Text = std::u16string(MsgNothingToDo)},
    {.Name = "blank lines and localhost only",
     .Before = "\r\n\r\n127.0.0.1 localhost\r\n::1 localhost\r\n",
     .Backup = true,
     .IncludeLocalhost = true,
     .Outcome = TOptimizeOutcome::NothingToDo,
     .Text = std::u16string(MsgNothingToDo),
     .After = "\r\n\r\n127.0.0.1 localhost\r\n::1 localhost\r\n"},
    {.Name = "text cut at a NUL with bytes after it",
     .Before = std::string("0.0.0.0 a.example\r\n\0 0.0.0.0 b.example\r\n", 40),
     .Backup = true,
     .Outcome = TOptimizeOutcome::CannotOpen,
     .Text = std::u16string(MsgCannotOpen),
     .After = std::string("0.0.0.0 a.example\r\n\0 0.0.0.0 b.example\r\n", 40)},
    {.Name = "UTF-16 text cut at a NUL",
     .Before = Utf16LE(std::string("0.0.0.0 a.example\r\n\0x", 21)),
     .Outcome = TOptimizeOutcome::CannotOpen,
     .Text = std::u16string(MsgCannotOpen),
     .After = Utf16LE(std::string("0.0.0.0 a.example\r\n\0x", 21))},
    {.Name = "a NUL as the very last byte cuts nothing",
     .Before = std::string("0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n\0", 39),
     .Text = Optimized("2 lines before, 1 after"),
     .After = TwoEntriesMerged},
    {.Name = "optimized, no backup",
     .Before = TwoEntries,
     .Text = Optimized("4 lines before, 1 after"),
     .After = TwoEntriesMerged},
    {.Name = "optimized with localhost lines",
     .Before = TwoEntries,
     .IncludeLocalhost = true,
     .Text = Optimized("4 lines before, 3 after"),
     .After = LocalhostHeader + TwoEntriesMerged},
    {.Name = "backup made",
     .Before = TwoEntries,
     .Backup = true,
     .Text = Optimized("4 lines before, 1 after"),
     .After = TwoEntriesMerged,
     .BackupAfter = TwoEntries},
    {.Name = "backup replaces an older one",
     .Before = TwoEntries,
     .OldBackup = "an older backup",
     .Backup = true,
     .Text = Optimized("4 lines before, 1 after"),
     .After = TwoEntriesMerged,
     .BackupAfter = TwoEntries},
    {.Name = "older backup kept when no backup asked",
     .Before = TwoEntries,
     .OldBackup = "an older backup",
     .Text = Optimized("4 lines before, 1 after"),
     .After = TwoEntriesMerged,
     .BackupAfter = "an older backup"},
    {.Name = "EncodingAuto keeps EF BB BF",
     .Before = "\xEF\xBB\xBF"
               "0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n",
     .Text = Optimized("2 lines before, 2 after"), // the mark stands on a line of its own
     .After = "\xEF\xBB\xBF\r\n" + TwoEntriesMerged},
    {.Name = "EncodingAuto keeps FF FE 41 00",
     .Before = Utf16LE("A::1 a.example\r\nA::1 b.example\r\n"),
     .Text = Optimized("2 lines before, 2 after"),
     .After = Utf16LE("\r\nA::1 a.example b.example\r\n")},
    {.Name = "EncodingAuto saves FE FF as UTF-16 LE with its mark, every character kept",
     .Before = Utf16BE("0.0.0.0 b\xC3\xBC"
                       "cher.de\r\n#0.0.0.0 old #caf\xC3\xA9\r\n"
                       "0.0.0.0 b.example\r\n"),
     .Text = Optimized("3 lines before, 3 after"),
     .After = Utf16LE("\r\n0.0.0.0 b\xC3\xBC"
                      "cher.de b.example\r\n#0.0.0.0 old #caf\xC3\xA9\r\n")},
    {.Name = "explicit encoding overrides the mark",
     .Before = "\xEF\xBB\xBF"
               "0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n",
     .Encoding = EncodingUtf16LE,
     .Text = Optimized("2 lines before, 2 after"),
     .After = Utf16LE("\r\n" + TwoEntriesMerged)},
    {.Name = "explicit UTF-8 on a file without mark",
     .Before = TwoEntries,
     .Encoding = EncodingUtf8,
     .Text = Optimized("4 lines before, 2 after"),
     .After = "\xEF\xBB\xBF\r\n" + TwoEntriesMerged},
    {.Name = "explicit ANSI on a UTF-16 file",
     .Before = Utf16LE("0.0.0.0 a.example\r\n0.0.0.0 b.example\r\n"),
     .Encoding = EncodingAnsi,
     .Text = Optimized("2 lines before, 1 after"),
     .After = TwoEntriesMerged},
#ifdef _WIN32
    // Under Wine a read-only file is refused by the access check (Windows itself grants it), so
    // hidden and system stand in.
    {.Name = "backup of a hidden system file is a plain file",
     .Before = TwoEntries,
     .Backup = true,
     .Text = Optimized("4 lines before, 1 after"),
     .After = TwoEntriesMerged,
     .BackupAfter = TwoEntries,
     .Attributes = FileAttributeHidden | FileAttributeSystem},
#endif
};

// The run showed this one message, or none when it was silent.
void ExpectMessage(const MessageRecorder& recorder, bool silent, const std::u16string& text,
                   TMessageIcon icon) {
  if (silent) {
    EXPECT_TRUE(recorder.Messages.empty());
    return;
  }
  ASSERT_EQ(recorder.Messages.size(), 1u);
  EXPECT_EQ(Ascii(recorder.Messages[0].Text), Ascii(text));
  EXPECT_EQ(recorder.Messages[0].Icon, icon);
}

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
      // Each fault fails its step's next attempt: the first of a step listed once, the first two
      // of a step listed twice.
      std::map<TFileStep, int> attempts;
      if (!row.Faults.empty())
        SetFileFaultHook([&](TFileStep step, int64_t&) {
          return ++attempts[step] <= std::count(row.Faults.begin(), row.Faults.end(), step);
        });

      const TOptimizeOutcome outcome =
          OptimizeHostsFile(Owner, name, row.Backup, silent, row.IncludeLocalhost, row.Encoding);
      SetFileFaultHook(nullptr);

      EXPECT_EQ(outcome, row.Outcome);
      std::u16string text = row.Text;
      if (row.Outcome == TOptimizeOutcome::FileMissing)
        text += name;
      // {COPY}: the copy of the old content the run left beside the file.
      if (const size_t at = text.find(u"{COPY}"); at != std::u16string::npos) {
        const std::u16string prefix = SaveNamePrefix(folder.Name("hosts.txt"));
        std::u16string copy;
        for (const auto& entry : fs::directory_iterator(folder.Path()))
          if (entry.path().extension() == ".old")
            copy = ToU16(entry.path());
        EXPECT_TRUE(copy.starts_with(prefix));
        text.replace(at, 6, copy);
      }
      ExpectMessage(recorder, silent, text, row.Icon);
      if (!silent && recorder.Messages.size() == 1) {
        EXPECT_EQ(recorder.Messages[0].Owner, Owner);
      }
      CheckFiles(folder, row, file);
    }
  }
}

// A backup that cannot be written is skipped without a word and the save goes ahead. A folder
// stands where the backup goes, which no one can replace, root included.
TEST(OptimizeHostsFile, ABackupThatCannotBeWrittenIsSkippedSilently) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "not silent");
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    const fs::path backup = folder.File("hosts.txt.bak");
    WriteBytes(file, TwoEntries);
    fs::create_directory(backup);
    WriteBytes(backup / "inside", "an older backup");
    MessageRecorder recorder;

    EXPECT_EQ(OptimizeHostsFile(0, folder.Name("hosts.txt"), true, silent, false, EncodingAuto),
              TOptimizeOutcome::Optimized);

    EXPECT_EQ(ReadBytes(file), TwoEntriesMerged);
    EXPECT_EQ(FolderContent(backup), std::vector<std::string>{"inside"});
    EXPECT_EQ(ReadBytes(backup / "inside"), "an older backup");
    EXPECT_EQ(FolderContent(folder.Path()),
              (std::vector<std::string>{"hosts.txt", "hosts.txt.bak"}))
        << "a temporary file stayed";
    ExpectMessage(recorder, silent, Optimized("4 lines before, 1 after"),
                  TMessageIcon::Information);
  }
}

// A file the user may read but not change: the privileges message, nothing loaded, no backup.
TEST(OptimizeHostsFile, ReadableButNotWritableFile) {
  AsAnOrdinaryUser([] {
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
      ExpectMessage(recorder, silent, std::u16string(MsgNoPrivileges), TMessageIcon::Error);
    }
  });
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
