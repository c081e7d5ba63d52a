// VornLibCodePage: conversion between UTF-16 text and 8-bit encodings.
// The UTF-8 conversions are portable; the system code page and US-ASCII (code page 20127) are
// the platform's (VornLibCodePage_win32.cpp / VornLibCodePage_posix.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 bytes to UTF-16; every invalid byte sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view bytes);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD (EF BF BD).
std::string Utf16ToUtf8(std::u16string_view text);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

// Decodes one long text in the system code page (Windows: CP_ACP; POSIX: UTF-8 when the whole
// text is valid UTF-8, otherwise one character per byte, Latin-1) a piece at a time (pieces cut
// at line breaks), each piece exactly as it decodes within the whole text.
class TSystemCodePageDecoder {
public:
  // Where the platform's choice depends on the whole text (POSIX: UTF-8 or Latin-1), it is
  // made here, once, from all of it.
  explicit TSystemCodePageDecoder(std::string_view wholeText);
  // The reading a text was given before (POSIX: UTF-8 when utf8, else Latin-1; Windows: the
  // system code page either way), for writing text back the way it was read.
  static TSystemCodePageDecoder AsRead(bool utf8);
  std::u16string Decode(std::string_view piece) const;
  // The text in the bytes of the same reading, so that every character it decoded comes back as
  // the bytes it came from (POSIX Latin-1: a character above U+00FF becomes "?").
  std::string Encode(std::u16string_view text) const;
  // POSIX: the whole text was read as UTF-8 (false: as Latin-1). Windows: always false.
  bool IsUtf8() const { return FUtf8; }

private:
  TSystemCodePageDecoder() = default;
  bool FUtf8 = false;
};

// UTF-16 to US-ASCII through code page 20127, never with a near letter: every character with no
// ASCII form is one "?" (a surrogate pair being one character). Adds to noAsciiForm, when given,
// how many characters had no ASCII form.
std::string EncodeUsAscii(std::u16string_view text, size_t* noAsciiForm = nullptr);
