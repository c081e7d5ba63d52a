// VornLibStrUtils: small text helpers shared by the address parsers and the command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The ordinary string list that SplitText fills; the caller owns it.
using TStringList = std::vector<std::u16string>;

// Not empty, and every character is 0-9, A-F or a-f.
bool IsHexText(std::u16string_view text);
// Not empty, and every character is 0-9.
bool IsDecimalText(std::u16string_view text);
// The part of the text after the first occurrence of the separator, or the whole text.
std::u16string TextAfter(std::u16string_view text, std::u16string_view separator);
// Appends the pieces of the text between separators to the list; returns how many it appended.
// Runs of separators and a leading separator are passed over; a text ending in two or more
// separators after a piece (or made of separators only) yields one final empty piece.
int SplitText(std::u16string_view text, char16_t separator, TStringList* list);

// Helpers of the same kind used across the program.
// Removes characters of code 32 or below from both ends.
std::u16string_view TrimControl(std::u16string_view text);
std::string_view TrimControl(std::string_view text);
// Equality ignoring the case of the ASCII letters a-z only.
bool SameTextAscii(std::u16string_view a, std::u16string_view b);
bool SameTextAscii(std::string_view a, std::string_view b);
// Plain ASCII (or Latin-1) bytes widened to UTF-16, one character per byte.
std::u16string WidenLatin1(std::string_view text);
// UTF-16 text whose characters are all below 256 narrowed to 8-bit; others become '?'.
std::string NarrowLatin1(std::u16string_view text);
