// The hosts document: the hosts file format as read and as written.
#include <functional>
#include <system_error>
#include <unordered_map>

#include "VornLibCodePage.h"
#include "VornLibFilesystem.h"
#include "uHosts.h"

namespace {

// Calls take(begin, end) for every line of p[0..n): lines end at CR LF, a lone CR or a lone LF;
// the last line counts without a break, a break at the very end adds no empty line.
template <typename CharT, typename Take> void ForEachLine(const CharT* p, size_t n, Take&& take) {
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    const CharT c = p[i];
    if (c != CharT('\r') && c != CharT('\n'))
      continue;
    take(start, i);
    if (c == CharT('\r') && i + 1 < n && p[i + 1] == CharT('\n'))
      ++i;
    start = i + 1;
  }
  if (start < n)
    take(start, n);
}

bool IsAscii(std::string_view bytes) {
  unsigned char any = 0;
  for (const char c : bytes)
    any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// Appends text in one save encoding. Pieces are whole fields (names, addresses, comments), so a
// surrogate pair is never cut between two calls.
class TTextEncoder {
public:
  TTextEncoder(SaveEncoding encoding, std::string& out) : FEncoding(encoding), FOut(out) {}

  void Ascii(std::string_view text) {
    if (FEncoding == EncodingUtf16LE) {
      for (const char c : text) {
        FOut.push_back(c);
        FOut.push_back('\0');
      }
    } else {
      FOut.append(text);
    }
  }

  void Text(std::u16string_view text) {
    const size_t at = FOut.size();
    if (FEncoding == EncodingUtf16LE) {
      FOut.resize(at + 2 * text.size());
      char* out = FOut.data() + at;
      for (const char16_t c : text) {
        *out++ = static_cast<char>(c & 0xFF);
        *out++ = static_cast<char>(c >> 8);
      }
      return;
    }
    // ASCII goes straight across in every 8-bit encoding.
    FOut.resize(at + text.size());
    char* out = FOut.data() + at;
    char16_t any = 0;
    for (const char16_t c : text) {
      any |= c;
      *out++ = static_cast<char>(c);
    }
    if (any < 0x80)
      return;
    FOut.resize(at);
    if (FEncoding == EncodingUtf8) {
      FOut.append(Utf16ToUtf8(text));
    } else if (FEncoding == EncodingAnsi) {
      FOut.append(EncodeUsAscii(text));
    } else {
      FOut.append(EncodeSystemCodePage(text));
    }
  }

private:
  SaveEncoding FEncoding;
  std::string& FOut;
};

// Clears the read-only and system attributes of a file for a write, and when it goes, also when
// the write raised an error, gives the file its old attributes back wherever they differ (a file
// swapped in for the old one may not have kept them).
class TAttributeLift {
public:
  TAttributeLift(std::u16string_view fileName, bool lift) : FFileName(fileName) {
    if (!lift || !FileGetAttributes(fileName, FOld))
      return;
    FKnown = true;
    uint32_t lifted = FOld;
    if (HasReadOnlyAttribute(FOld))
      lifted &= ~FileAttributeReadOnly;
    if (HasSystemAttribute(FOld))
      lifted &= ~FileAttributeSystem;
    // When setting them fails the write is tried anyway.
    if (lifted != FOld)
      FileSetAttributes(fileName, lifted);
  }
  ~TAttributeLift() {
    uint32_t now = InvalidFileAttributes;
    if (!FKnown || !FileGetAttributes(FFileName, now) || now == FOld)
      return;
    // A second try when the first fails: the file must not keep its lifted attributes.
    if (!FileSetAttributes(FFileName, FOld))
      FileSetAttributes(FFileName, FOld);
  }
  TAttributeLift(const TAttributeLift&) = delete;
  TAttributeLift& operator=(const TAttributeLift&) = delete;

private:
  std::u16string FFileName;
  uint32_t FOld = InvalidFileAttributes;
  bool FKnown = false;
};

} // namespace

// Every address text the document has read, with its value (none for a text that is no numeric
// address). Big blocklists repeat one or two address texts on every line.
struct THosts::TAddressTable {
  struct THash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  std::unordered_map<std::string, std::unique_ptr<THostsIP>, THash, std::equal_to<>> Values;
  std::string LastText;
  const THostsIP* LastValue = nullptr;
};

THosts::THosts() : FAddresses(std::make_unique<TAddressTable>()) {}
THosts::~THosts() {
  FLines.clear(); // the lines go before the values they share
}

const THostsIP* THosts::SharedAddress(std::string_view token) {
  TAddressTable& table = *FAddresses;
  if (!table.LastText.empty() && token == table.LastText)
    return table.LastValue;
  auto found = table.Values.find(token);
  if (found == table.Values.end()) {
    auto value = std::make_unique<THostsIP>();
    if (!value->Parse(token, true) || value->IsEmpty() || value->IsTextOnly())
      value.reset();
    found = table.Values.emplace(std::string(token), std::move(value)).first;
  }
  table.LastText.assign(token);
  table.LastValue = found->second.get();
  return table.LastValue;
}

THostItem* THosts::Items(int index) const {
  if (index < 0 || index >= Count())
    return nullptr;
  return FLines[static_cast<size_t>(index)].get();
}

bool THosts::Delete(int index) {
  if (index < 0 || index >= Count())
    return false;
  FLines.erase(FLines.begin() + index);
  return true;
}

void THosts::Insert(int index, std::unique_ptr<THostItem> line) {
  if (!line)
    return;
  if (index < 0)
    index = 0;
  if (index > Count())
    index = Count();
  FLines.insert(FLines.begin() + index, std::move(line));
}

int THosts::LoadFromFile(std::u16string_view fileName) {
  if (!FileExists(fileName) || !CanReadFile(fileName))
    return -1;
  TLargeBuffer bytes;
  {
    // Others may read the file meanwhile, but not change it.
    TVornFileStream stream(fileName, TVornFileStream::ModeRead | TVornFileStream::ShareDenyWrite);
    if (stream.Handle() == -1)
      throw std::system_error(stream.LastError(), std::system_category(),
                              "Cannot open the hosts file");
    bytes = ReadAllBytesLarge(stream);
  }
  return LoadFromBytes(std::string_view(bytes.Data(), bytes.Size()));
}

int THosts::LoadFromBytes(std::string_view bytes) {
  FTextWasCut = false;
  int appended = 0;
  const bool keepLocalhost = FLoadOptions.KeepLocalhost;

  auto take = [&](std::u16string_view text) {
    auto line = std::make_unique<THostItem>(this);
    bool foundLocalhost = false;
    line->ParseLine(text, foundLocalhost, keepLocalhost);
    bool keep;
    if (line->IsInvalid())
      keep = false;
    else if (!keepLocalhost && foundLocalhost && line->NameCount() == 0)
      keep = false; // a line of "localhost" names only
    else if (line->IsEntry())
      keep = !(line->IsCommented() && FLoadOptions.DropCommentedEntries);
    else if (line->IsCommented())
      keep = !FLoadOptions.DropComments;
    else
      keep = line->IsBlank() && !FLoadOptions.DropBlankLines;
    if (keep) {
      FLines.push_back(std::move(line));
      ++appended;
    }
  };

  const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  std::u16string buffer;

  if (size >= 2 && ((raw[0] == 0xFF && raw[1] == 0xFE) || (raw[0] == 0xFE && raw[1] == 0xFF))) {
    // UTF-16; an odd last byte is lost, a NUL character ends the text.
    const bool little = raw[0] == 0xFF;
    const size_t units = (size - 2) / 2;
    std::u16string text(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
      const unsigned char a = raw[2 + 2 * i], b = raw[3 + 2 * i];
      text[i] = little ? static_cast<char16_t>(a | (b << 8)) : static_cast<char16_t>((a << 8) | b);
    }
    const size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos) {
      FTextWasCut = nul + 1 < units;
      text.resize(nul);
    }
    ForEachLine(text.data(), text.size(),
                [&](size_t b, size_t e) { take(std::u16string_view(text).substr(b, e - b)); });
    return appended;
  }

  const bool utf8 = size >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF;
  std::string_view body = bytes.substr(utf8 ? 3 : 0);
  const size_t nul = body.find('\0');
  if (nul != std::string_view::npos) {
    FTextWasCut = nul + 1 < body.size();
    body = body.substr(0, nul);
  }

  // Room for every line at once (line feeds end nearly all lines).
  size_t breaks = 0;
  for (const char c : body)
    breaks += c == '\n';
  FLines.reserve(FLines.size() + breaks + 1);

  if (IsAscii(body)) {
    // Every code page reads ASCII bytes as themselves: widen one line at a time.
    ForEachLine(body.data(), body.size(), [&](size_t b, size_t e) {
      buffer.resize(e - b);
      for (size_t i = b; i < e; ++i)
        buffer[i - b] = static_cast<unsigned char>(body[i]);
      take(buffer);
    });
    return appended;
  }

  const std::u16string text = utf8 ? Utf8ToUtf16(body) : DecodeSystemCodePage(body);
  ForEachLine(text.data(), text.size(),
              [&](size_t b, size_t e) { take(std::u16string_view(text).substr(b, e - b)); });
  return appended;
}

std::string THosts::SaveToBytes(SaveEncoding encoding) const {
  if (encoding > EncodingUtf16LE)
    encoding = EncodingUtf16LE;
  std::string out;
  // Room for the whole text at once: the lines' lengths in ASCII, twice that in UTF-16.
  size_t estimate = 64;
  for (const auto& line : FLines) {
    estimate += 4 + line->Comment().size() + (line->Address() ? line->Address()->Text().size() : 0);
    for (int i = 0; i < line->NameCount(); ++i)
      estimate += 1 + line->GetName(i)->Name().size();
  }
  out.reserve(encoding == EncodingUtf16LE ? 2 * estimate : estimate);
  if (encoding == EncodingUtf8)
    out.append("\xEF\xBB\xBF");
  else if (encoding == EncodingUtf16LE)
    out.append("\xFF\xFE");
  TTextEncoder text(encoding, out);
  const auto lineBreak = [&] { text.Ascii("\r\n"); };

  if (FSaveOptions.IncludeLocalhost) {
    text.Ascii("127.0.0.1 localhost");
    lineBreak();
    if (IsAddressText("::1")) {
      text.Ascii("::1 localhost");
      lineBreak();
    }
  }

  for (const auto& line : FLines) {
    if (line->IsEntry() && line->NameCount() > 0) {
      // The line is produced only when at least one of its names is written.
      const size_t start = out.size();
      if (line->IsCommented())
        text.Ascii("#");
      if (const THostsIP* address = line->Address())
        text.Ascii(address->Text());
      bool written = false;
      for (int i = 0; i < line->NameCount(); ++i) {
        const THostName* name = line->GetName(i);
        if (name->Flags != 0)
          continue;
        text.Ascii(" ");
        text.Text(name->Name());
        written = true;
      }
      if (!written) {
        out.resize(start);
        continue;
      }
      if (line->HasComment()) {
        text.Ascii(" #");
        text.Text(line->Comment());
      }
      lineBreak();
    } else if (line->IsCommented()) {
      text.Ascii("#");
      text.Text(line->Comment());
      lineBreak();
    } else if (line->IsBlank()) {
      lineBreak();
    }
  }
  return out;
}

bool THosts::SaveToFile(std::u16string_view fileName, SaveEncoding encoding) {
  if (!CanWriteFile(fileName))
    return false;
  const std::string bytes = SaveToBytes(encoding);
  TAttributeLift lift(fileName, FSaveOptions.LiftAttributes);
  return SaveFileSafely(fileName, bytes);
}
