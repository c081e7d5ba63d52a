// Path texts for the file layer and the end of a replace that stopped half-way: parts that need
// no platform call of their own.
#include "VornLibFilesystem.h"

#include <cstdint>
#include <string>

namespace {

bool IsPathDelimiter(char16_t c) {
  return c == u'\\' || c == u'/';
}

// A drive letter and its colon at the start of the text.
bool StartsWithDrive(std::u16string_view text) {
  return text.size() >= 2 && text[1] == u':' &&
         ((text[0] >= u'A' && text[0] <= u'Z') || (text[0] >= u'a' && text[0] <= u'z'));
}

// The system's own form of a name: \\?\ or \\.\ in front.
bool HasSystemPrefix(std::u16string_view path) {
  return path.size() >= 4 && IsPathDelimiter(path[0]) && IsPathDelimiter(path[1]) &&
         (path[2] == u'?' || path[2] == u'.') && IsPathDelimiter(path[3]);
}

} // namespace

std::u16string LongPathForm(std::u16string_view fullPath) {
  constexpr std::u16string_view Prefix = u"\\\\?\\";
  // A name already in the system's own form (\\?\ or \\.\) goes as it is.
  if (HasSystemPrefix(fullPath))
    return std::u16string(fullPath);
  std::u16string path(fullPath);
  for (char16_t& c : path)
    if (c == u'/')
      c = u'\\';
  if (path.size() <= MaxShortPathLength)
    return path;
  if (StartsWithDrive(path) && path.size() >= 3 && path[2] == u'\\')
    return std::u16string(Prefix) + path;
  if (path.size() >= 3 && path[0] == u'\\' && path[1] == u'\\' && path[2] != u'\\')
    return std::u16string(Prefix) + u"UNC" + path.substr(1);
  // A relative name (the full path could not be made) takes no prefix.
  return path;
}

std::u16string ShortPathForm(std::u16string_view path) {
  if (!HasSystemPrefix(path))
    return std::u16string(path);
  const std::u16string_view rest = path.substr(4);
  if (StartsWithDrive(rest))
    return std::u16string(rest);
  constexpr std::u16string_view Unc = u"UNC";
  if (path[2] == u'?' && rest.size() > Unc.size() && IsPathDelimiter(rest[Unc.size()]) &&
      (rest[0] == u'U' || rest[0] == u'u') && (rest[1] == u'N' || rest[1] == u'n') &&
      (rest[2] == u'C' || rest[2] == u'c'))
    return u"\\\\" + std::u16string(rest.substr(Unc.size() + 1));
  return std::u16string(path);
}

// ---- A replace that stopped half-way ----

std::u16string SaveNameBeside(std::u16string_view target, std::u16string_view suffix) {
  const std::u16string folder = ExtractFilePath(target);
  // FNV-1a over the file's own name, ASCII letters folded (Windows names ignore case).
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (char16_t c : target.substr(folder.size())) {
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
    hash = (hash ^ (c & 0xFFu)) * 0x100000001B3ULL;
    hash = (hash ^ (c >> 8)) * 0x100000001B3ULL;
  }
  std::u16string name = folder + u".tarnwick-";
  for (int shift = 60; shift >= 0; shift -= 4)
    name.push_back(u"0123456789abcdef"[(hash >> shift) & 0xF]);
  return name.append(suffix);
}

std::u16string BackupNameBeside(std::u16string_view target) {
  return SaveNameBeside(target, u".old");
}

bool ClearInterruptedSave(std::u16string_view target, std::u16string& kept) {
  kept.clear();
  const std::u16string copy = BackupNameBeside(target);
  const TFileKind kind = FileKindOf(copy);
  if (kind == TFileKind::Missing)
    return true;
  if (kind == TFileKind::Regular && FileKindOf(target) == TFileKind::Regular) {
    // A run stopped before it changed the file: the copy is the file itself once more.
    TVornFileStream old(copy, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
    TVornFileStream now(target, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
    if (old.IsOpen() && now.IsOpen() && ReadAllBytes(old) == ReadAllBytes(now)) {
      old.Close();
      if (DeleteFileName(copy))
        return true;
    }
  }
  kept = copy;
  return false;
}

TReplaceResult FinishInterruptedReplace(std::u16string_view target, std::u16string_view replacement,
                                        std::u16string_view backup) {
  if (FileExists(target)) {
    // The target kept its name. With the replacement still there it holds the old bytes and the
    // backup (if one was made) is a second copy of them; otherwise the swap went through.
    const bool replaced = !FileExists(replacement);
    DeleteFileName(backup);
    return replaced ? TReplaceResult::Replaced : TReplaceResult::NotReplaced;
  }
  // The name is free: the new bytes, complete, go under it; failing that, the old ones.
  if (FileExists(replacement) && !FileFaultAt(TFileStep::MoveBack) &&
      MoveFileName(replacement, target)) {
    DeleteFileName(backup);
    return TReplaceResult::Replaced;
  }
  if (FileExists(backup) && !FileFaultAt(TFileStep::MoveBack) && MoveFileName(backup, target))
    return TReplaceResult::NotReplaced;
  return TReplaceResult::Stranded;
}
