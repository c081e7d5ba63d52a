#include "TestText.h"

#include <cstdint>

namespace testing_files {

namespace {

// The UTF-16 code units of UTF-8 text; the text is the tests' own and taken to be valid.
std::u16string Decode(std::string_view utf8) {
  std::u16string units;
  for (size_t at = 0; at < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[at]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t next = 1; next < length && at + next < utf8.size(); ++next)
      code = (code << 6) | (static_cast<unsigned char>(utf8[at + next]) & 0x3F);
    at += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
  }
  return units;
}

std::string Bytes(std::string_view utf8, bool bigEndian) {
  std::string bytes;
  for (const char16_t unit : Decode(utf8)) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes.push_back(bigEndian ? high : low);
    bytes.push_back(bigEndian ? low : high);
  }
  return bytes;
}

template <typename Char> std::string AsciiOf(std::basic_string_view<Char> text) {
  std::string out;
  for (const Char c : text)
    out.push_back(static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

} // namespace

std::string Utf16LEUnits(std::string_view utf8) {
  return Bytes(utf8, false);
}

std::string Utf16BEUnits(std::string_view utf8) {
  return Bytes(utf8, true);
}

std::string Utf16LE(std::string_view utf8) {
  return Utf16LEMark + Utf16LEUnits(utf8);
}

std::string Utf16BE(std::string_view utf8) {
  return Utf16BEMark + Utf16BEUnits(utf8);
}

std::string Ascii(std::u16string_view text) {
  return AsciiOf(text);
}

std::string Ascii(std::wstring_view text) {
  return AsciiOf(text);
}

} // namespace testing_files
