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

std::string Encode(UINT codePage, std::u16string_view text) {
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
    const int needed = WideCharToMultiByte(codePage, 0, in, count, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
      const size_t at = bytes.size();
      bytes.resize(at + static_cast<size_t>(needed));
      WideCharToMultiByte(codePage, 0, in, count, &bytes[at], needed, nullptr, nullptr);
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

std::string EncodeUsAscii(std::u16string_view text) {
  return Encode(CodePageUsAscii, text);
}
