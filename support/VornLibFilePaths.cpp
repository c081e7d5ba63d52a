// Path texts for the file layer and the end of a replace that stopped half-way: parts that need
// no platform call of their own.
#include "VornLibFilesystem.h"

#include <cstdint>
#include <string>
#include <vector>

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

namespace {

constexpr std::u16string_view HexDigits = u"0123456789abcdef";
constexpr size_t RandomDigits = 16;

void AppendHex(std::u16string& text, uint64_t value) {
  for (int shift = 60; shift >= 0; shift -= 4)
    text.push_back(HexDigits[(value >> shift) & 0xF]);
}

bool IsHex(std::u16string_view text) {
  return !text.empty() && text.find_first_not_of(HexDigits) == std::u16string_view::npos;
}

} // namespace

std::u16string SaveNamePrefix(std::u16string_view target) {
  const std::u16string folder = ExtractFilePath(target);
  // FNV-1a over the file's own name; ASCII letters folded where names ignore case, so that every
  // spelling of a Windows name has the same prefix and distinct POSIX names never share one.
  const bool fold = FileNamesIgnoreCase();
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (char16_t c : target.substr(folder.size())) {
    if (fold && c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
    hash = (hash ^ (c & 0xFFu)) * 0x100000001B3ULL;
    hash = (hash ^ (c >> 8)) * 0x100000001B3ULL;
  }
  std::u16string name = folder + u".tarnwick-";
  AppendHex(name, hash);
  return name;
}

namespace {

// The prefix of a save's names, a dash, 16 random digits and the suffix.
std::u16string RandomSaveName(std::u16string name, std::u16string_view suffix) {
  uint64_t random = 0;
  if (!FillRandomBytes(&random, sizeof random)) {
    // No random source: a value that at least differs from run to run; the file is still made
    // only where no file of the name is.
    static uint64_t counter = 0;
    random = (reinterpret_cast<uintptr_t>(&counter) * 0x9E3779B97F4A7C15ULL) ^
             (++counter * 0xD6E8FEB86659FD93ULL);
  }
  name += u"-";
  AppendHex(name, random);
  return name.append(suffix);
}

} // namespace

std::u16string NewSaveName(std::u16string_view target, std::u16string_view suffix) {
  return RandomSaveName(SaveNamePrefix(target), suffix);
}

std::u16string BackupNameBeside(std::u16string_view target, std::u16string_view replacement) {
  const std::u16string prefix = SaveNamePrefix(target);
  constexpr std::u16string_view Temporary = u".tmp";
  if (replacement.starts_with(prefix) && replacement.ends_with(Temporary))
    return std::u16string(replacement.substr(0, replacement.size() - Temporary.size())) + u".old";
  // A new file of another file's save (the backup of that file): the target's old bytes (an
  // older backup) are of no use once the new file is in place, so they go aside as a new file of
  // that save, which its next run clears, never as a copy it would take for an interrupted save.
  const size_t random = RandomDigits + 1 + Temporary.size();
  const size_t folder = ExtractFilePath(replacement).size();
  if (replacement.ends_with(Temporary) && replacement.size() > folder + random &&
      replacement.substr(folder).starts_with(u".tarnwick-"))
    return RandomSaveName(std::u16string(replacement.substr(0, replacement.size() - random)),
                          Temporary);
  return NewSaveName(target, u".old");
}

bool ClearInterruptedSave(std::u16string_view target, std::u16string& kept) {
  TLeftovers found;
  const bool clear = ClearInterruptedSave(target, found);
  kept = found.Kept;
  return clear;
}

namespace {

// Clears what earlier saves of the file left; only their new files where temporariesOnly.
bool ClearLeftovers(std::u16string_view target, TLeftovers& found, bool temporariesOnly) {
  found = TLeftovers{};
  const std::u16string prefix = SaveNamePrefix(target);
  TFileGuard::TIdentity file;
  const int64_t size = ReadFileIdentity(target, file) ? file.Size : 0;
  for (const std::u16string& name : NamesStartingWith(prefix)) {
    // The save's own forms: PREFIX-RANDOM.tmp and .old, and PREFIX.tmp and .old that runs of
    // earlier versions left.
    std::u16string_view rest = std::u16string_view(name).substr(prefix.size());
    const bool temporary = rest.ends_with(u".tmp");
    const bool old = rest.ends_with(u".old");
    if (temporary || old)
      rest.remove_suffix(4);
    const bool ownForm =
        (temporary || old) && (rest.empty() || (rest.size() == RandomDigits + 1 &&
                                                rest[0] == u'-' && IsHex(rest.substr(1))));
    const TLeftoverKind kind =
        ownForm ? LeftoverKindOf(name, target, size) : TLeftoverKind::Foreign;
    if (kind == TLeftoverKind::Foreign) {
      if (found.ForeignCount++ == 0)
        found.Foreign = name;
      continue;
    }
    if (kind != TLeftoverKind::Own || (old && temporariesOnly))
      continue; // another run's, at work now
    // A new file of a killed run, or a copy that is the file itself once more (the run stopped
    // before it changed the file), is of no more use.
    if (temporary || SameFileContent(name, target)) {
      if (DeleteFileName(name))
        continue;
    }
    if (old && found.Kept.empty())
      found.Kept = name;
  }
  return found.Kept.empty();
}

} // namespace

bool ClearInterruptedSave(std::u16string_view target, TLeftovers& found) {
  return ClearLeftovers(target, found, false);
}

void ClearLeftoverTemporaries(std::u16string_view target) {
  TLeftovers found;
  ClearLeftovers(target, found, true);
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
