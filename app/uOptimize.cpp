// The optimize operation: resolve the file, check it, load, merge, back up, save, report.
#include "uOptimize.h"

#include <optional>
#include <string>

#include "VornLibFilesystem.h"
#include "VornLibStrUtils.h"
#include "uHostsLocation.h"
#include "uHostsReport.h"
#include "uMessages.h"

namespace {

// Shows the outcome's message unless silent, and hands the outcome back.
class TReporter {
public:
  TReporter(intptr_t owner, bool silent) : FOwner(owner), FSilent(silent) {}
  TOptimizeOutcome operator()(TOptimizeOutcome outcome) const {
    switch (outcome) {
    case TOptimizeOutcome::Optimized:
      return Tell(outcome, MsgOptimized, TMessageIcon::Information);
    case TOptimizeOutcome::NothingToDo:
      return Tell(outcome, MsgNothingToDo, TMessageIcon::Information);
    case TOptimizeOutcome::NoPrivileges:
      return Tell(outcome, MsgNoPrivileges, TMessageIcon::Error);
    case TOptimizeOutcome::CannotOpen:
      return Tell(outcome, MsgCannotOpen, TMessageIcon::Information);
    default:
      return Tell(outcome, MsgCannotSave, TMessageIcon::Information);
    }
  }
  TOptimizeOutcome Missing(std::u16string_view file) const {
    std::u16string text(MsgFileMissing);
    text += file;
    return Tell(TOptimizeOutcome::FileMissing, text, TMessageIcon::Error);
  }

private:
  TOptimizeOutcome Tell(TOptimizeOutcome outcome, std::u16string_view text,
                        TMessageIcon icon) const {
    if (!FSilent)
      ShowMessage(FOwner, text, icon);
    return outcome;
  }
  intptr_t FOwner;
  bool FSilent;
};

// Copies the file to its name + ".bak". A backup that cannot be written is no reason to stop the
// save.
void MakeBackup(const std::u16string& file) {
  std::u16string backupName = file;
  backupName += u".bak";
  if (!CopyFileReplace(file, backupName))
    return;
  // The copy took the file's attributes along; a read-only backup would refuse every later
  // backup, so it is made a plain file (it holds the content, it is not the system's file).
  uint32_t attributes = 0;
  constexpr uint32_t Protecting = FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem;
  if (FileGetAttributes(backupName, attributes) && (attributes & Protecting) != 0)
    (void)FileSetAttributes(backupName, attributes & ~Protecting);
}

// The file a name stands for: a blank name means the system hosts file; any other name is
// taken exactly as given.
std::u16string ResolveFile(std::u16string_view fileName) {
  return TrimControl(fileName).empty() ? GetHostsFileName() : std::u16string(fileName);
}

// Loads the source into hosts; none when it was read, else the failure, told. mayModify: the
// file itself is rewritten.
std::optional<TOptimizeOutcome> Load(const TReporter& report, THosts& hosts,
                                     const TOptimizeSource& source, bool mayModify,
                                     std::u16string& file, int& count) {
  if (source.Bytes != nullptr) {
    count = hosts.LoadFromBytes(*source.Bytes);
  } else {
    file = ResolveFile(source.FileName);
    if (!FileExists(file))
      return report.Missing(file);
    if (!CanReadFile(file) || (mayModify && !CanModifyPath(file)))
      return report(TOptimizeOutcome::NoPrivileges);
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
  if (const auto failed = Load(report, hosts, source, inPlace, file, count))
    return *failed;
  if (count == 0)
    return report(TOptimizeOutcome::NothingToDo);
  // A text that stopped at a NUL with more bytes behind it was not read whole: saving it would
  // throw those bytes away, so nothing is written.
  if (hosts.TextWasCut())
    return report(TOptimizeOutcome::CannotOpen);

  const SaveEncoding encoding = PrepareSave(hosts, options);
  if (const size_t moved = MergeHosts(hosts, options.Dedupe, bool(options.Moved)); moved != 0)
    options.Moved(moved);

  if (target.Kind == TOptimizeTarget::Writer) {
    bool written = true;
    hosts.SaveToSink(encoding,
                     [&](std::string_view piece) { written = written && target.Write(piece); });
    return report(written ? TOptimizeOutcome::Optimized : TOptimizeOutcome::CannotSave);
  }

  if (!inPlace) {
    file = target.FileName;
    if (FileExists(file) && (!CanReadFile(file) || !CanModifyPath(file)))
      return report(TOptimizeOutcome::NoPrivileges);
  }
  if (options.Backup && FileExists(file))
    MakeBackup(file);
  return report(hosts.SaveToFile(file, encoding) ? TOptimizeOutcome::Optimized
                                                 : TOptimizeOutcome::CannotSave);
}

TOptimizeOutcome CheckHosts(intptr_t owner, const TOptimizeSource& source,
                            const TOptimizeOptions& options, std::string& report) {
  const TReporter tell(owner, options.Silent);
  THosts hosts;
  THostsLoadSurvey load;
  load.Follow(hosts);
  int count = 0;
  std::u16string file;
  if (const auto failed = Load(tell, hosts, source, false, file, count))
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
  return OptimizeHosts(owner, TOptimizeSource{std::u16string(fileName)}, TOptimizeTarget{},
                       options);
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
