// The optimize operation: resolve the file, check it, load, merge, back up, save, report.
#include "uOptimize.h"

#include <cerrno>
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

// Tells the outcome, and hands it back: as a message unless silent (a detail, the system's
// reason or the names of files left beside, on its own lines after it), or as a notice to a
// program that says it in its own words.
class TReporter {
public:
  TReporter(intptr_t owner, const TOptimizeOptions& options)
      : FOwner(owner), FSilent(options.Silent), FNotice(options.Notice) {}
  // The file the outcomes are about from now on.
  void About(std::u16string_view file) { FFile = file; }

  TOptimizeOutcome operator()(TOptimizeOutcome outcome, std::u16string_view reason = {}) const {
    TOptimizeNotice notice;
    notice.Outcome = outcome;
    notice.Reason = reason;
    // The Windows program's words stand alone but where a save failed.
    const bool detailed =
        outcome == TOptimizeOutcome::CannotSave || outcome == TOptimizeOutcome::BackupFailed;
    return Tell(notice, detailed ? reason : std::u16string_view());
  }
  // Outcomes whose message names a file: the one read, or an interrupted save's copy.
  TOptimizeOutcome Named(TOptimizeOutcome outcome, std::u16string_view copy = {},
                         std::u16string_view reason = {}) const {
    TOptimizeNotice notice;
    notice.Outcome = outcome;
    notice.Kept = copy;
    notice.Reason = reason;
    return Tell(notice);
  }
  // The outcome of a save that did not write the file.
  TOptimizeOutcome Unsaved(const TSaveResult& saved) const {
    TOptimizeNotice notice;
    notice.Outcome = saved.Failure == TSaveFailure::Changed ? TOptimizeOutcome::FileChanged
                                                            : TOptimizeOutcome::CannotSave;
    notice.Failure = saved.Failure;
    std::u16string detail;
    if (saved.Error)
      notice.Reason = SystemErrorText(saved.Error);
    if (saved.Failure == TSaveFailure::Stranded) {
      notice.Kept = saved.NewCopy;
      notice.KeptOld = saved.OldCopy;
      detail.append(MsgStranded).append(saved.NewCopy).append(MsgStrandedOld).append(saved.OldCopy);
    } else if (saved.Failure == TSaveFailure::Changed) {
      // A change that showed only after the swap: the new content is in place.
      notice.Kept = saved.OldCopy;
    } else if (saved.Failure == TSaveFailure::NoCopyBeside) {
      detail.append(MsgNoCopyBeside).append(notice.Reason);
    } else {
      detail = notice.Reason;
    }
    return Tell(notice, detail,
                notice.Kept.empty() || saved.Failure != TSaveFailure::Changed
                    ? std::u16string()
                    : std::u16string(MsgChangedKept) + notice.Kept);
  }
  // The file was rewritten: told with what changed when there is a tally, and with a step after
  // the save that failed.
  TOptimizeOutcome Optimized(const std::optional<TOptimizeTally>& tally,
                             const TSaveResult& saved = {}) const {
    TOptimizeNotice notice;
    std::u16string detail;
    if (saved.LateError) {
      notice.Reason = SystemErrorText(saved.LateError);
      notice.Kept = saved.LateCopy;
      if (saved.LateCopy.empty())
        detail.append(MsgFolderNotFlushed).append(notice.Reason);
      else
        detail.append(MsgCopyNotRemoved).append(notice.Reason).append(u"\n").append(saved.LateCopy);
    }
    return Tell(notice, detail,
                tally            ? OptimizedMessage(*tally)
                : detail.empty() ? std::u16string()
                                 : std::u16string(MsgOptimized));
  }

private:
  TOptimizeOutcome Tell(TOptimizeNotice& notice, std::u16string_view detail = {},
                        std::u16string_view text = {}) const {
    notice.File = FFile;
    if (FNotice) {
      FNotice(notice);
      return notice.Outcome;
    }
    if (FSilent)
      return notice.Outcome;
    std::u16string whole(text.empty() ? Message(notice) : std::u16string(text));
    if (!detail.empty())
      whole.append(u"\n\n").append(detail);
    ShowMessage(FOwner, whole, IconOf(notice.Outcome));
    return notice.Outcome;
  }
  // The Windows program's words.
  static std::u16string Message(const TOptimizeNotice& notice) {
    std::u16string text;
    switch (notice.Outcome) {
    case TOptimizeOutcome::Optimized:
      return std::u16string(MsgOptimized);
    case TOptimizeOutcome::NothingToDo:
      return std::u16string(MsgNothingToDo);
    case TOptimizeOutcome::NoPrivileges:
      return std::u16string(MsgNoPrivileges);
    case TOptimizeOutcome::CannotOpen:
      return std::u16string(MsgCannotOpen);
    case TOptimizeOutcome::FileChanged:
      return std::u16string(MsgFileChanged);
    case TOptimizeOutcome::BackupFailed:
      return std::u16string(MsgBackupFailed);
    case TOptimizeOutcome::Busy:
      return std::u16string(MsgBusy);
    case TOptimizeOutcome::FileMissing:
      return text.append(MsgFileMissing).append(notice.File);
    case TOptimizeOutcome::NotRegular:
      return text.append(MsgNotRegular).append(notice.File);
    case TOptimizeOutcome::Interrupted:
      return text.append(MsgInterrupted).append(notice.Kept).append(MsgInterruptedAdvice);
    default:
      return std::u16string(MsgCannotSave);
    }
  }
  static TMessageIcon IconOf(TOptimizeOutcome outcome) {
    switch (outcome) {
    case TOptimizeOutcome::Optimized:
    case TOptimizeOutcome::NothingToDo:
    case TOptimizeOutcome::CannotOpen:
    case TOptimizeOutcome::CannotSave:
      return TMessageIcon::Information;
    default:
      return TMessageIcon::Error;
    }
  }

  intptr_t FOwner;
  bool FSilent;
  const std::function<void(const TOptimizeNotice&)>& FNotice;
  std::u16string FFile;
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

// The copy an interrupted save of the file left beside it, told; none when there is none. What
// only looks like the save's own is left alone, and told where the caller asks.
std::optional<TOptimizeOutcome> InterruptedSave(const TReporter& report,
                                                const TOptimizeOptions& options,
                                                const std::u16string& file) {
  TLeftovers found;
  const bool clear = ClearInterruptedSave(ResolveFinalPath(file), found);
  if (found.ForeignCount != 0 && options.LeftAlone)
    options.LeftAlone(found.Foreign, found.ForeignCount);
  if (clear)
    return std::nullopt;
  return report.Named(TOptimizeOutcome::Interrupted, found.Kept);
}

// Loads the source into hosts; none when it was read, else the failure, told. guard: the file
// itself is rewritten, and is held from here to its save.
std::optional<TOptimizeOutcome> Load(TReporter& report, THosts& hosts,
                                     const TOptimizeSource& source, const TOptimizeOptions& options,
                                     std::optional<TFileGuard>* guard, std::u16string& file,
                                     int& count) {
  hosts.LoadOptions().LineRules = options.LineRules;
  if (source.Bytes != nullptr) {
    count = hosts.LoadFromBytes(*source.Bytes);
  } else {
    file = ResolveFile(source.FileName);
    report.About(file);
    // Why a name that is not there could not be looked at: no such file, a loop of links, a
    // failing device.
    std::error_code why;
    const TFileKind kind = FileKindOf(file, why);
    if (kind == TFileKind::Missing || kind == TFileKind::Folder)
      return report.Named(TOptimizeOutcome::FileMissing, {},
                          SystemErrorText(kind == TFileKind::Folder
                                              ? std::make_error_code(std::errc::is_a_directory)
                                              : why));
    // The save replaces the file under the name it has, not under the spelling asked for.
    file = StoredFileName(file);
    if (!CanReadFile(file) || (guard != nullptr && !CanModifyPath(file)))
      return report(TOptimizeOutcome::NoPrivileges, SystemErrorText(LastAccessError()));
    if (guard != nullptr) {
      // Only a regular file is rewritten; a device or a FIFO has no content to put back.
      const TFileKind final = FileKindOf(ResolveFinalPath(file), why);
      if (why)
        return report.Named(TOptimizeOutcome::FileMissing, {}, SystemErrorText(why));
      if (final != TFileKind::Regular)
        return report.Named(TOptimizeOutcome::NotRegular);
      guard->emplace(file, [&options, &file] {
        if (options.Waiting)
          options.Waiting(file);
      });
      if ((*guard)->Busy())
        return report(TOptimizeOutcome::Busy);
      if (const auto interrupted = InterruptedSave(report, options, file))
        return interrupted;
    }
    count = hosts.LoadFromFile(file);
  }
  if (count < 0)
    return report(TOptimizeOutcome::CannotOpen);
  return std::nullopt;
}

// Why a text cut at a NUL is not optimized, in the words of a program that says so.
std::u16string CutReason(const THostsLoadInfo& info, int count) {
  if (count == 0)
    return u"not a text file";
  const std::string line = std::to_string(info.CutLine);
  return u"a NUL byte at line " + std::u16string(line.begin(), line.end());
}

// The save options of a run, and the encoding it saves in.
SaveEncoding PrepareSave(THosts& hosts, const TOptimizeOptions& options) {
  hosts.SaveOptions().IncludeLocalhost = options.IncludeLocalhost;
  hosts.SaveOptions().LiftAttributes = AttributesStandInTheWayOfWriting();
  const TLineBreak asRead = hosts.LoadInfo().FirstBreak;
  hosts.SaveOptions().LineBreak = options.LineBreak != TLineBreak::None ? options.LineBreak
                                  : asRead != TLineBreak::None          ? asRead
                                                                        : options.LineBreakWithoutInput;
  return options.Encoding == EncodingAuto ? EncodingAsRead(hosts.LoadInfo()) : options.Encoding;
}

} // namespace

TOptimizeOutcome OptimizeHosts(intptr_t owner, const TOptimizeSource& source,
                               const TOptimizeTarget& target, const TOptimizeOptions& options) {
  TReporter report(owner, options);
  const bool inPlace = target.Kind == TOptimizeTarget::SourceFile;

  THosts hosts;
  int count = 0;
  std::u16string file;
  std::optional<TFileGuard> guard;
  if (const auto failed = Load(report, hosts, source, options,
                               inPlace && source.Bytes == nullptr ? &guard : nullptr, file, count))
    return *failed;
  // A text that stopped at a NUL with more bytes behind it was not read whole: saving it would
  // throw those bytes away, so nothing is written.
  if (hosts.TextWasCut())
    return report(count == 0 ? TOptimizeOutcome::NothingToDo : TOptimizeOutcome::CannotOpen,
                  CutReason(hosts.LoadInfo(), count));
  // A file with nothing to optimize is left as it is; a result asked for elsewhere is written all
  // the same (the localhost lines, or nothing), so that it never stays stale or missing.
  const bool nothingToDo = count == 0;
  if (nothingToDo && inPlace)
    return report(TOptimizeOutcome::NothingToDo);
  const auto done = [&](const std::optional<TOptimizeTally>& tally, const TSaveResult& saved) {
    return nothingToDo && !saved.LateError ? report(TOptimizeOutcome::NothingToDo)
                                           : report.Optimized(tally, saved);
  };

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
    // The failure is the writer's, not the file's: the messages name what it writes to.
    report.About(target.FileName);
    int error = 0;
    const THostsSaveInfo saved = hosts.SaveToSink(encoding, [&](std::string_view piece) {
      if (error == 0 && !target.Write(piece))
        error = errno != 0 ? errno : EIO;
    });
    if (error != 0)
      return report(TOptimizeOutcome::CannotSave,
                    SystemErrorText(std::error_code(error, std::generic_category())));
    return done(tally(saved), {});
  }

  if (!inPlace) {
    file = target.FileName;
    report.About(file);
    if (FileKindOf(file) == TFileKind::Regular && (!CanReadFile(file) || !CanModifyPath(file)))
      return report(TOptimizeOutcome::NoPrivileges, SystemErrorText(LastAccessError()));
    if (FileKindOf(file) == TFileKind::Regular)
      if (const auto interrupted = InterruptedSave(report, options, file))
        return *interrupted;
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
  return saved ? done(tally(hosts.SaveInfo()), saved) : report.Unsaved(saved);
}

TOptimizeOutcome CheckHosts(intptr_t owner, const TOptimizeSource& source,
                            const TOptimizeOptions& options, std::string& report) {
  TReporter tell(owner, options);
  THosts hosts;
  THostsLoadSurvey load;
  load.Follow(hosts);
  int count = 0;
  std::u16string file;
  if (const auto failed = Load(tell, hosts, source, options, nullptr, file, count))
    return *failed;
  if (hosts.TextWasCut())
    return tell(count == 0 ? TOptimizeOutcome::NothingToDo : TOptimizeOutcome::CannotOpen,
                CutReason(hosts.LoadInfo(), count));

  const THostsNameSurvey names(hosts, THostsNameSurvey::TScope::Everything, &load.LineNumbers);
  THostsReportFigures figures;
  figures.BytesBefore = hosts.LoadInfo().Bytes;
  figures.LoneCRs = hosts.LoadInfo().LoneCRs;
  // Nothing but the file resolves localhost where the system has no name of its own for it.
  if (!options.IncludeLocalhost && hosts.LoadInfo().LocalhostNames != 0)
    figures.Warnings.emplace_back("localhost will not resolve after this run: its lines are "
                                  "dropped and -r writes none (leave -r out to keep them)");
  if (const uint32_t links = source.Bytes == nullptr ? FileLinkCount(file) : 1; links > 1)
    figures.Warnings.push_back("the file has " + std::to_string(links) +
                               " names (hard links); the run writes a new file under this "
                               "name only, and the others keep the old text");
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
  return info.Mark; // a big-endian mark reads as EncodingUtf16LE: the one UTF-16 that is written
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
