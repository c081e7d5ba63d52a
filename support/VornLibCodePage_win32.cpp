// Code pages on Windows: MultiByteToWideChar / WideCharToMultiByte.
#include "VornLibCodePage.h"

#include <climits>
#include <stdexcept>
#include <windows.h>

namespace {

constexpr UINT CodePageUsAscii = 20127;

std::u16string Decode(UINT codePage, std::string_view bytes) {
  std::u16string text;
  size_t done = 0;
  // Convert in pieces the API's int sizes can hold; pieces end on a line break so that no
  // multi-byte character is cut.
  while (done < bytes.size()) {
    size_t piece = bytes.size() - done;
    if (piece > (1u << 30)) {
      piece = 1u << 30;
      const size_t lf = bytes.rfind('\n', done + piece - 1);
      if (lf != std::string_view::npos && lf > done)
        piece = lf + 1 - done;
    }
    const int in = static_cast<int>(piece);
    const int needed = MultiByteToWideChar(codePage, 0, bytes.data() + done, in, nullptr, 0);
    if (needed > 0) {
      const size_t at = text.size();
      text.resize(at + static_cast<size_t>(needed));
      MultiByteToWideChar(codePage, 0, bytes.data() + done, in,
                          reinterpret_cast<wchar_t*>(&text[at]), needed);
    }
    done += piece;
  }
  return text;
}

// flags and defaultChar as WideCharToMultiByte takes them (defaultChar none: the code page's).
std::string Encode(UINT codePage, std::u16string_view text, DWORD flags = 0,
                   const char* defaultChar = nullptr) {
  std::string bytes;
  size_t done = 0;
  while (done < text.size()) {
    size_t piece = text.size() - done;
    if (piece > (1u << 29)) {
      piece = 1u << 29;
      // Never cut a surrogate pair.
      const char16_t last = text[done + piece - 1];
      if (last >= 0xD800 && last <= 0xDBFF)
        --piece;
    }
    const auto* in = reinterpret_cast<const wchar_t*>(text.data() + done);
    const int count = static_cast<int>(piece);
    const int needed =
        WideCharToMultiByte(codePage, flags, in, count, nullptr, 0, defaultChar, nullptr);
    if (needed > 0) {
      const size_t at = bytes.size();
      bytes.resize(at + static_cast<size_t>(needed));
      WideCharToMultiByte(codePage, flags, in, count, &bytes[at], needed, defaultChar, nullptr);
    }
    done += piece;
  }
  return bytes;
}

} // namespace

TSystemCodePageDecoder::TSystemCodePageDecoder(std::string_view) {}

TSystemCodePageDecoder TSystemCodePageDecoder::AsRead(bool) {
  return TSystemCodePageDecoder();
}

std::u16string TSystemCodePageDecoder::Decode(std::string_view piece) const {
  return ::Decode(CP_ACP, piece);
}

std::string TSystemCodePageDecoder::Encode(std::u16string_view text) const {
  return ::Encode(CP_ACP, text);
}

std::string EncodeUsAscii(std::u16string_view text, size_t* noAsciiForm) {
  // Code page 20127 holds exactly the characters below 0x80. A surrogate pair is one character,
  // which the conversion would write as two: it goes in as one U+FFFD. Without best fit the
  // conversion writes "?" for every other character, never a near letter ("u" for U+00FC).
  std::u16string units;
  units.reserve(text.size());
  size_t replaced = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      units.push_back(c);
      continue;
    }
    ++replaced;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      units.push_back(u'\uFFFD');
      ++i;
    } else {
      units.push_back(c);
    }
  }
  if (noAsciiForm != nullptr)
    *noAsciiForm += replaced;
  return Encode(CodePageUsAscii, units, WC_NO_BEST_FIT_CHARS, "?");
}
