#include "VornLibCodePage.h"

namespace {

constexpr char16_t Replacement = 0xFFFD;

// Length of the well-formed UTF-8 sequence at p (1-4), or 0 when the bytes there are not one.
size_t Utf8SequenceLength(const unsigned char* p, size_t available, char32_t& code) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    code = b0;
    return 1;
  }
  size_t length;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    code = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    code = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    code = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (available < length)
    return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return length;
}

// The UTF-8 reading; escaped: a byte that is no part of a well-formed sequence becomes the lone
// surrogate U+DC00 + byte (U+DC80..U+DCFF), else U+FFFD.
std::u16string FromUtf8(std::string_view bytes, bool escaped) {
  std::u16string text;
  text.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII go straight across.
    while (i < n && p[i] < 0x80)
      text.push_back(static_cast<char16_t>(p[i++]));
    if (i >= n)
      break;
    char32_t code;
    const size_t length = Utf8SequenceLength(p + i, n - i, code);
    if (length == 0) {
      text.push_back(escaped ? static_cast<char16_t>(0xDC00 + p[i]) : Replacement);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      text.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      text.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return text;
}

// The UTF-8 writing; escaped: a lone U+DC80..U+DCFF goes back to the byte it stands for.
std::string ToUtf8(std::u16string_view text, bool escaped) {
  std::string bytes;
  bytes.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    char32_t code = text[i];
    if (code < 0x80) {
      bytes.push_back(static_cast<char>(code));
      continue;
    }
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (escaped && code >= 0xDC80 && code <= 0xDCFF) {
      bytes.push_back(static_cast<char>(code - 0xDC00));
      continue;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = Replacement; // a lone surrogate
    }
    if (code < 0x800) {
      bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
      bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
      bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
      bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return bytes;
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view bytes) {
  return FromUtf8(bytes, false);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  return ToUtf8(text, false);
}

std::u16string FileNameToUtf16(std::string_view bytes) {
  return FromUtf8(bytes, true);
}

std::string Utf16ToFileName(std::u16string_view text) {
  return ToUtf8(text, true);
}

bool IsValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    char32_t code;
    const size_t length = Utf8SequenceLength(p + i, n - i, code);
    if (length == 0)
      return false;
    i += length;
  }
  return true;
}
