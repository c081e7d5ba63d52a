// The optimize operation: resolve the file, check it, load, merge, back up, save, report.
#include "uOptimize.h"

#include <string>

#include "VornLibFilesystem.h"
#include "VornLibStrUtils.h"
#include "uHostsLocation.h"
#include "uMessages.h"

namespace {

// Shows the outcome's message unless silent, and hands the outcome back.
TOptimizeOutcome Report(intptr_t owner, bool silent, TOptimizeOutcome outcome,
                        std::u16string_view text, TMessageIcon icon) {
  if (!silent)
    ShowMessage(owner, text, icon);
  return outcome;
}

} // namespace

TOptimizeOutcome OptimizeHostsFile(intptr_t owner, std::u16string_view fileName, bool backup,
                                   bool silent, bool includeLocalhost, SaveEncoding encoding) {
  // A blank name means the system hosts file; any other name is taken exactly as given.
  const std::u16string file =
      TrimControl(fileName).empty() ? GetHostsFileName() : std::u16string(fileName);

  if (!FileExists(file)) {
    std::u16string text(MsgFileMissing);
    text += file;
    return Report(owner, silent, TOptimizeOutcome::FileMissing, text, TMessageIcon::Error);
  }
  if (!CanReadFile(file) || !CanModifyPath(file))
    return Report(owner, silent, TOptimizeOutcome::NoPrivileges, MsgNoPrivileges,
                  TMessageIcon::Error);

  THosts hosts;
  const int count = hosts.LoadFromFile(file);
  if (count < 0)
    return Report(owner, silent, TOptimizeOutcome::CannotOpen, MsgCannotOpen,
                  TMessageIcon::Information);
  if (count == 0)
    return Report(owner, silent, TOptimizeOutcome::NothingToDo, MsgNothingToDo,
                  TMessageIcon::Information);
  // A text that stopped at a NUL with more bytes behind it was not read whole: saving it would
  // throw those bytes away, so the file is left as it is.
  if (hosts.TextWasCut())
    return Report(owner, silent, TOptimizeOutcome::CannotOpen, MsgCannotOpen,
                  TMessageIcon::Information);

  hosts.SaveOptions().IncludeLocalhost = includeLocalhost;
  hosts.SaveOptions().LiftAttributes = true;
  hosts.Optimize();

  if (backup) {
    // A backup that cannot be written is no reason to stop the save.
    std::u16string backupName = file;
    backupName += u".bak";
    if (CopyFileReplace(file, backupName)) {
      // The copy took the file's attributes along; a read-only backup would refuse every later
      // backup, so it is made a plain file (it holds the content, it is not the system's file).
      uint32_t attributes = 0;
      constexpr uint32_t Protecting =
          FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem;
      if (FileGetAttributes(backupName, attributes) && (attributes & Protecting) != 0)
        (void)FileSetAttributes(backupName, attributes & ~Protecting);
    }
  }

  if (encoding == EncodingAuto)
    encoding = DetectFileEncoding(file);

  if (hosts.SaveToFile(file, encoding))
    return Report(owner, silent, TOptimizeOutcome::Optimized, MsgOptimized,
                  TMessageIcon::Information);
  return Report(owner, silent, TOptimizeOutcome::CannotSave, MsgCannotSave,
                TMessageIcon::Information);
}

SaveEncoding DetectFileEncoding(std::u16string_view fileName) {
  if (!FileExists(fileName) || !CanReadFile(fileName))
    return EncodingAnsi;
  TVornFileStream stream(fileName, TVornFileStream::ModeRead);
  if (stream.Handle() == -1)
    return EncodingAnsi;

  unsigned char mark[4] = {};
  int64_t have = 0;
  while (have < 4) {
    const int64_t moved = stream.Read(mark + have, 4 - have);
    if (moved <= 0)
      break;
    have += moved;
  }

  if (have >= 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF)
    return EncodingUtf8;
  if (have >= 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
    // FF FE 00 00 is the UTF-32 little-endian mark, which the document does not read.
    if (have >= 4 && mark[2] == 0x00 && mark[3] == 0x00)
      return EncodingAnsi;
    return EncodingUtf16LE;
  }
  return EncodingAnsi;
}
