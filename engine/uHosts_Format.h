// uHosts: the hosts file format as a document reads and writes it: how lines are cut, the
// encodings, the load and save options and what a load found. Behind uHosts.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

class THostItem;

// How a text is cut into lines, and a line into fields.
enum class TLineRules : uint8_t {
  // A line ends at CR LF, a lone CR or a lone LF; the blanks between fields are spaces and tabs.
  Windows,
  // As glibc reads a hosts file: a line ends at LF (a CR right before it belongs to the line
  // end); a lone CR, a form feed and a vertical tab are blanks, like spaces and tabs.
  Glibc,
};

enum SaveEncoding : uint8_t {
  EncodingAuto = 0,    // the code page the text was read in (the system's), no byte-order mark
  EncodingAnsi = 1,    // US-ASCII (code page 20127), no byte-order mark
  EncodingUtf8 = 2,    // EF BB BF, UTF-8
  EncodingUtf16LE = 3, // FF FE, UTF-16 little-endian (every value above 3 too)
};

struct THostsLoadOptions {
  bool KeepLocalhost = false;
  bool DropComments = false;
  bool DropCommentedEntries = false;
  bool DropBlankLines = true;
  TLineRules LineRules = TLineRules::Windows;
};

// How lines end.
enum class TLineBreak : uint8_t { None, CrLf, Lf, Cr };

struct THostsSaveOptions {
  bool IncludeLocalhost = true;
  bool LiftAttributes = false;
  TLineBreak LineBreak = TLineBreak::CrLf; // CrLf unless Lf or Cr
};

// What the last load found in the bytes.
struct THostsLoadInfo {
  // The byte-order mark's encoding: EncodingUtf8, EncodingUtf16LE (also for a big-endian mark,
  // then BigEndian), or EncodingAuto when there was none.
  SaveEncoding Mark = EncodingAuto;
  bool BigEndian = false;
  // Without a mark: every byte was ASCII; the bytes were well-formed UTF-8.
  bool Ascii = true;
  bool ValidUtf8 = true;
  // The first line break of the text; None when the text has none.
  TLineBreak FirstBreak = TLineBreak::None;
  // The text ended at a NUL with bytes other than NUL after it, on this line (from 1).
  bool TextWasCut = false;
  size_t CutLine = 0;
  // How many "localhost" names the lines held (left out unless KeepLocalhost).
  size_t LocalhostNames = 0;
  // The size of what was read, in bytes.
  size_t Bytes = 0;
  // How many lines the text held, kept or not.
  size_t Lines = 0;
  // TLineRules::Glibc: the CRs inside lines (not before a LF), read as blanks.
  size_t LoneCRs = 0;
};

// What a save wrote.
struct THostsSaveInfo {
  size_t Lines = 0;       // the header lines included
  size_t NoAsciiForm = 0; // EncodingAnsi: characters with no ASCII form, each written as "?"
};

// The byte-order mark at the start of a text: its encoding (EncodingUtf8, EncodingUtf16LE for
// either byte order, or EncodingAuto when there is none) and its length in bytes.
struct TByteOrderMark {
  SaveEncoding Encoding = EncodingAuto;
  bool BigEndian = false;
  uint8_t Length = 0;
};
TByteOrderMark ReadByteOrderMark(std::string_view bytes);
// False when a text without a mark was not UTF-8: then it was read (and is written back with
// EncodingAuto) in the system code page's other reading, Latin-1 on POSIX.
bool ReadAsUtf8(const THostsLoadInfo& info);

// One line as a load read it, for a caller that follows the load (THosts::WatchLoad).
struct THostsReadLine {
  size_t Number = 0;               // from 1, within the text of this load
  std::string_view Text8;          // the line as read, when it is ASCII ...
  std::u16string_view Text16;      // ... or else decoded
  const THostItem* Line = nullptr; // the line as scanned
  bool Kept = false;               // the document kept it: it is now the document's last line
  size_t LocalhostNames = 0;       // "localhost" names the line held
};
using THostsLoadWatcher = std::function<void(const THostsReadLine&)>;
