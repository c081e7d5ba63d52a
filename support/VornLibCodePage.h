// VornLibCodePage: conversion between UTF-16 text and 8-bit encodings.
// The UTF-8 conversions are portable; the system code page and US-ASCII (code page 20127) are
// the platform's (VornLibCodePage_win32.cpp / VornLibCodePage_posix.cpp).
#pragma once

#include <string>
#include <string_view>

// UTF-8 bytes to UTF-16; every invalid byte sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view bytes);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD (EF BF BD).
std::string Utf16ToUtf8(std::u16string_view text);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

// Text in the system code page (Windows: CP_ACP; POSIX: UTF-8 when the bytes are valid UTF-8,
// otherwise one character per byte, Latin-1).
std::u16string DecodeSystemCodePage(std::string_view bytes);
// UTF-16 to the system code page (Windows: CP_ACP; POSIX: UTF-8).
std::string EncodeSystemCodePage(std::u16string_view text);
// UTF-16 to US-ASCII through code page 20127. Characters outside US-ASCII are replaced by the
// platform's conversion (POSIX: one "?" per character, a surrogate pair being one character).
std::string EncodeUsAscii(std::u16string_view text);
