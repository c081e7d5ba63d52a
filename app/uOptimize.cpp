// The optimize operation: resolve the file, check it, load, merge, back up, save, report.
#include "uOptimize.h"

#include <optional>
#include <string>
#include <system_error>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "VornLibStrUtils.h"
#include "uHostsLocation.h"
#include "uHostsReport.h"
#include "uMessages.h"

namespace {

// Shows the outcome's message unless silent, and hands the outcome back. A detail (the system's
// reason, the names of files left beside) goes on its own lines after the message.
class TReporter {
public:
  TReporter(intptr_t owner, bool silent) : FOwner(owner), FSilent(silent) {}
  TOptimizeOutcome operator()(TOptimizeOutcome outcome, std::u16string_view detail = {}) const {
    switch (outcome) {
    case TOptimizeOutcome::Optimized:
      return Tell(outcome, MsgOptimized, detail, TMessageIcon::Information);
    case TOptimizeOutcome::NothingToDo:
      return Tell(outcome, MsgNothingToDo, detail, TMessageIcon::Information);
    case TOptimizeOutcome::NoPrivileges:
      return Tell(outcome, MsgNoPrivileges, detail, TMessageIcon::Error);
    case TOptimizeOutcome::CannotOpen:
      return Tell(outcome, MsgCannotOpen, detail, TMessageIcon::Information);
    case TOptimizeOutcome::FileChanged:
      return Tell(outcome, MsgFileChanged, detail, TMessageIcon::Error);
    case TOptimizeOutcome::BackupFailed:
      return Tell(outcome, MsgBackupFailed, detail, TMessageIcon::Error);
    default:
      return Tell(outcome, MsgCannotSave, detail, TMessageIcon::Information);
    }
  }
  // Messages that name a file.
  TOptimizeOutcome Named(TOptimizeOutcome outcome, std::u16string_view file) const {
    std::u16string text;
    if (outcome == TOptimizeOutcome::FileMissing)
      text.append(MsgFileMissing).append(file);
    else if (outcome == TOptimizeOutcome::NotRegular)
      text.append(MsgNotRegular).append(file);
    else
      text.append(MsgInterrupted).append(file).append(MsgInterruptedAdvice);
    return Tell(outcome, text, {}, TMessageIcon::Error);
  }
  // The outcome of a save that did not write the file.
  TOptimizeOutcome Unsaved(const TSaveResult& saved) const {
    if (saved.Failure == TSaveFailure::Changed)
      return (*this)(TOptimizeOutcome::FileChanged);
    std::u16string detail;
    if (saved.Failure == TSaveFailure::Stranded)
      detail.append(MsgStranded).append(saved.NewCopy).append(MsgStrandedOld).append(saved.OldCopy);
    else if (saved.Error)
      detail = SystemErrorText(saved.Error);
    return (*this)(TOptimizeOutcome::CannotSave, detail);
  }
  // The file was rewritten: told with what changed when there is a tally.
  TOptimizeOutcome Optimized(const std::optional<TOptimizeTally>& tally) const {
    if (!tally)
      return (*this)(TOptimizeOutcome::Optimized);
    return Tell(TOptimizeOutcome::Optimized, OptimizedMessage(*tally), {},
                TMessageIcon::Information);
  }

private:
  TOptimizeOutcome Tell(TOptimizeOutcome outcome, std::u16string_view text,
                        std::u16string_view detail, TMessageIcon icon) const {
    if (FSilent)
      return outcome;
    if (detail.empty()) {
      ShowMessage(FOwner, text, icon);
    } else {
      std::u16string whole(text);
      whole.append(u"\n\n").append(detail);
      ShowMessage(FOwner, whole, icon);
    }
    return outcome;
  }
  intptr_t FOwner;
  bool FSilent;
};

// Copies the file to its name + ".bak" as a new file swapped in whole, with the file's owner,
// attributes and mode: a link planted under that name is replaced, never followed, and a good
// backup from before stays until the new one is complete.
TSaveResult MakeBackup(const std::u16string& file) {
  std::u16string backupName = file;
  backupName += u".bak";
  try {
    return CopyFileSafely(file, backupName);
  } catch (const std::system_error& failure) {
    // A full disk: the copy is gone, a backup from before is as it was.
    TSaveResult failed;
    failed.Failure = TSaveFailure::CannotWrite;
    failed.Error = failure.code();
    return failed;
  }
}

// The file a name stands for: a blank name means the system hosts file; any other name is
// taken exactly as given.
std::u16string ResolveFile(std::u16string_view fileName) {
  return TrimControl(fileName).empty() ? GetHostsFileName() : std::u16string(fileName);
}

// Loads the source into hosts; none when it was read, else the failure, told. guard: the file
// itself is rewritten, and is held from here to its save.
std::optional<TOptimizeOutcome> Load(const TReporter& report, THosts& hosts,
                                     const TOptimizeSource& source,
                                     std::optional<TFileGuard>* guard, std::u16string& file,
                                     int& count) {
  if (source.Bytes != nullptr) {
    count = hosts.LoadFromBytes(*source.Bytes);
  } else {
    file = ResolveFile(source.FileName);
    if (!FileExists(file))
      return report.Named(TOptimizeOutcome::FileMissing, file);
    // The save replaces the file under the name it has, not under the spelling asked for.
    file = StoredFileName(file);
    if (!CanReadFile(file) || (guard != nullptr && !CanModifyPath(file)))
      return report(TOptimizeOutcome::NoPrivileges);
    if (guard != nullptr) {
      // Only a regular file is rewritten; a device or a FIFO has no content to put back.
      if (FileKindOf(ResolveFinalPath(file)) != TFileKind::Regular)
        return report.Named(TOptimizeOutcome::NotRegular, file);
      guard->emplace(file);
      std::u16string kept;
      if (!ClearInterruptedSave(ResolveFinalPath(file), kept))
        return report.Named(TOptimizeOutcome::Interrupted, kept);
    }
    count = hosts.LoadFromFile(file);
  }
  if (count < 0)
    return report(TOptimizeOutcome::CannotOpen);
  return std::nullopt;
}

// The save options of a run, and the encoding it saves in.
SaveEncoding PrepareSave(THosts& hosts, const TOptimizeOptions& options) {
  hosts.SaveOptions().IncludeLocalhost = options.IncludeLocalhost;
  hosts.SaveOptions().LiftAttributes = true;
  const TLineBreak asRead = hosts.LoadInfo().FirstBreak;
  hosts.SaveOptions().LineBreak = options.LineBreak != TLineBreak::None ? options.LineBreak
                                  : asRead != TLineBreak::None          ? asRead
                                                                        : TLineBreak::Lf;
  return options.Encoding == EncodingAuto ? EncodingAsRead(hosts.LoadInfo()) : options.Encoding;
}

} // namespace

TOptimizeOutcome OptimizeHosts(intptr_t owner, const TOptimizeSource& source,
                               const TOptimizeTarget& target, const TOptimizeOptions& options) {
  const TReporter report(owner, options.Silent);
  const bool inPlace = target.Kind == TOptimizeTarget::SourceFile;

  THosts hosts;
  int count = 0;
  std::u16string file;
  std::optional<TFileGuard> guard;
  if (const auto failed = Load(report, hosts, source,
                               inPlace && source.Bytes == nullptr ? &guard : nullptr, file, count))
    return *failed;
  if (count == 0)
    return report(TOptimizeOutcome::NothingToDo);
  // A text that stopped at a NUL with more bytes behind it was not read whole: saving it would
  // throw those bytes away, so nothing is written.
  if (hosts.TextWasCut())
    return report(TOptimizeOutcome::CannotOpen);

  const SaveEncoding encoding = PrepareSave(hosts, options);
  const bool tellTally = options.Tally && !options.Silent;
  const size_t moved = MergeHosts(hosts, options.Dedupe, options.Moved || tellTally);
  if (moved != 0 && options.Moved)
    options.Moved(moved);
  const auto tally = [&](const THostsSaveInfo& saved) -> std::optional<TOptimizeTally> {
    if (!tellTally)
      return std::nullopt;
    return TOptimizeTally{hosts.LoadInfo().Lines, saved.Lines, saved.NoAsciiForm, moved};
  };

  if (target.Kind == TOptimizeTarget::Writer) {
    bool written = true;
    const THostsSaveInfo saved = hosts.SaveToSink(
        encoding, [&](std::string_view piece) { written = written && target.Write(piece); });
    return written ? report.Optimized(tally(saved)) : report(TOptimizeOutcome::CannotSave);
  }

  if (!inPlace) {
    file = target.FileName;
    if (FileExists(file) && (!CanReadFile(file) || !CanModifyPath(file)))
      return report(TOptimizeOutcome::NoPrivileges);
    std::u16string kept;
    if (FileKindOf(file) == TFileKind::Regular &&
        !ClearInterruptedSave(ResolveFinalPath(file), kept))
      return report.Named(TOptimizeOutcome::Interrupted, kept);
  }
  TFileGuard* const held = guard ? &*guard : nullptr;
  if (options.Backup && FileKindOf(file) == TFileKind::Regular) {
    // The backup is of the file that was read.
    if (held != nullptr && !held->Unchanged())
      return report(TOptimizeOutcome::FileChanged);
    const TSaveResult backup = MakeBackup(file);
    if (!backup && options.BackupRequired)
      return report(TOptimizeOutcome::BackupFailed,
                    backup.Error ? SystemErrorText(backup.Error) : std::u16string());
  }
  const TSaveResult saved = hosts.SaveToFileGuarded(file, encoding, held);
  return saved ? report.Optimized(tally(hosts.SaveInfo())) : report.Unsaved(saved);
}

TOptimizeOutcome CheckHosts(intptr_t owner, const TOptimizeSource& source,
                            const TOptimizeOptions& options, std::string& report) {
  const TReporter tell(owner, options.Silent);
  THosts hosts;
  THostsLoadSurvey load;
  load.Follow(hosts);
  int count = 0;
  std::u16string file;
  if (const auto failed = Load(tell, hosts, source, nullptr, file, count))
    return *failed;
  if (hosts.TextWasCut())
    return tell(TOptimizeOutcome::CannotOpen);

  const THostsNameSurvey names(hosts, THostsNameSurvey::TScope::Everything, &load.LineNumbers);
  THostsReportFigures figures;
  figures.BytesBefore = hosts.LoadInfo().Bytes;
  const SaveEncoding encoding = PrepareSave(hosts, options);
  if (options.Dedupe)
    figures.RepeatsRemoved = names.RemoveRepeats(hosts);
  hosts.Optimize();
  const std::vector<THostsNameSurvey::TMove> moves = names.ChangedByMerge(hosts);
  MeasureSave(hosts, encoding, figures.LinesAfter, figures.BytesAfter);
  report = FormatHostsReport(load, names, moves, figures);
  return TOptimizeOutcome::Checked;
}

TOptimizeOutcome OptimizeHostsFile(intptr_t owner, std::u16string_view fileName, bool backup,
                                   bool silent, bool includeLocalhost, SaveEncoding encoding) {
  TOptimizeOptions options;
  options.Backup = backup;
  options.Silent = silent;
  options.IncludeLocalhost = includeLocalhost;
  options.Encoding = encoding;
  options.Tally = true;
  return OptimizeHosts(owner, TOptimizeSource{std::u16string(fileName)}, TOptimizeTarget{},
                       options);
}

std::u16string OptimizedMessage(const TOptimizeTally& tally) {
  const auto count = [](size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string text =
      "The hosts file has been optimized: " + count(tally.LinesBefore, "line", "lines") +
      " before, " + std::to_string(tally.LinesAfter) + " after.";
  if (tally.NoAsciiForm != 0)
    text += "\n" +
            count(tally.NoAsciiForm, "character had no ASCII form and was",
                  "characters had no ASCII form and were") +
            " written as \"?\".";
  if (tally.Moved != 0)
    text += "\n" + count(tally.Moved, "name now resolves", "names now resolve") +
            " to another address (the first listing of a name decides; the merge moved it).";
  return Utf8ToUtf16(text);
}

SaveEncoding EncodingAsRead(const THostsLoadInfo& info) {
  if (info.Mark == EncodingUtf16LE && info.BigEndian)
    return EncodingAnsi;
  return info.Mark;
}

SaveEncoding DetectFileEncoding(std::u16string_view fileName) {
  if (!FileExists(fileName) || !CanReadFile(fileName))
    return EncodingAnsi;
  TVornFileStream stream(fileName, TVornFileStream::ModeRead);
  if (!stream.IsOpen())
    return EncodingAnsi;

  char start[4] = {};
  int64_t have = 0;
  while (have < 4) {
    const int64_t moved = stream.Read(start + have, 4 - have);
    if (moved <= 0)
      break;
    have += moved;
  }
  const std::string_view bytes(start, static_cast<size_t>(have));
  // FF FE 00 00 is the UTF-32 little-endian mark, which the document does not read.
  if (bytes == std::string_view("\xFF\xFE\0\0", 4))
    return EncodingAnsi;
  const TByteOrderMark mark = ReadByteOrderMark(bytes);
  return mark.Encoding == EncodingAuto || mark.BigEndian ? EncodingAnsi : mark.Encoding;
}

SaveEncoding EncodingOfBoxIndex(int index) {
  return index == 0 ? EncodingAnsi : (index == 2 ? EncodingUtf16LE : EncodingUtf8);
}

int BoxIndexOfEncoding(SaveEncoding encoding) {
  return encoding == EncodingUtf8 ? 1 : (encoding == EncodingUtf16LE ? 2 : 0);
}
