// Test helpers for text: the bytes of a UTF-16 file, the byte-order marks, UTF-16 text shown in a
// failure message.
#pragma once

#include <string>
#include <string_view>

namespace testing_files {

inline const std::string Utf8Mark = "\xEF\xBB\xBF";
inline const std::string Utf16LEMark = "\xFF\xFE";
inline const std::string Utf16BEMark = "\xFE\xFF";

// UTF-8 text as UTF-16 code units, little-endian or big-endian bytes, without a mark.
std::string Utf16LEUnits(std::string_view utf8);
std::string Utf16BEUnits(std::string_view utf8);

// UTF-8 text as a UTF-16 file holds it: the byte-order mark, then the code units.
std::string Utf16LE(std::string_view utf8);
std::string Utf16BE(std::string_view utf8);

// UTF-16 text for a failure message: ASCII as it is, every other unit as "?".
std::string Ascii(std::u16string_view text);
std::string Ascii(std::wstring_view text);

} // namespace testing_files
