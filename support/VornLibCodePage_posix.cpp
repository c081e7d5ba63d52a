// Code pages on POSIX: the "system code page" is UTF-8, with Latin-1 for bytes that are not UTF-8.
#include "VornLibCodePage.h"

namespace {

// One byte a character up to highest; every other character is one "?" (a surrogate pair being
// one character), counted in replaced.
std::string EncodeOneByte(std::u16string_view text, char16_t highest, size_t& replaced) {
  std::string bytes;
  bytes.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = text[i];
    if (c <= highest) {
      bytes.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      ++i;
    bytes.push_back('?');
    ++replaced;
  }
  return bytes;
}

} // namespace

TSystemCodePageDecoder::TSystemCodePageDecoder(std::string_view wholeText)
    : FUtf8(IsValidUtf8(wholeText)) {}

TSystemCodePageDecoder TSystemCodePageDecoder::AsRead(bool utf8) {
  TSystemCodePageDecoder reading;
  reading.FUtf8 = utf8;
  return reading;
}

std::u16string TSystemCodePageDecoder::Decode(std::string_view piece) const {
  if (FUtf8)
    return Utf8ToUtf16(piece);
  std::u16string text(piece.size(), u'\0');
  for (size_t i = 0; i < piece.size(); ++i)
    text[i] = static_cast<unsigned char>(piece[i]);
  return text;
}

std::string TSystemCodePageDecoder::Encode(std::u16string_view text) const {
  size_t replaced = 0;
  return FUtf8 ? Utf16ToUtf8(text) : EncodeOneByte(text, 0xFF, replaced);
}

std::string EncodeUsAscii(std::u16string_view text, size_t* noAsciiForm) {
  size_t replaced = 0;
  std::string bytes = EncodeOneByte(text, 0x7F, replaced);
  if (noAsciiForm != nullptr)
    *noAsciiForm += replaced;
  return bytes;
}
