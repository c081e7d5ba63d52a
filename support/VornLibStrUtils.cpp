#include "VornLibStrUtils.h"

namespace {

bool IsDecimalDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

bool IsHexDigit(char16_t c) {
  return IsDecimalDigit(c) || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

template <typename Char> unsigned Code(Char c) {
  if constexpr (sizeof(Char) == 1)
    return static_cast<unsigned char>(c);
  else
    return static_cast<unsigned>(c);
}

template <typename Char> std::basic_string_view<Char> Trim(std::basic_string_view<Char> text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && Code(text[first]) <= 32)
    ++first;
  while (last > first && Code(text[last - 1]) <= 32)
    --last;
  return text.substr(first, last - first);
}

template <typename Char> unsigned FoldAscii(Char c) {
  const unsigned code = Code(c);
  return (code >= 'a' && code <= 'z') ? code - ('a' - 'A') : code;
}

template <typename Char>
bool SameAscii(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i]))
      return false;
  }
  return true;
}

} // namespace

bool IsHexText(std::u16string_view text) {
  if (text.empty())
    return false;
  for (const char16_t c : text) {
    if (!IsHexDigit(c))
      return false;
  }
  return true;
}

bool IsDecimalText(std::u16string_view text) {
  if (text.empty())
    return false;
  for (const char16_t c : text) {
    if (!IsDecimalDigit(c))
      return false;
  }
  return true;
}

std::u16string TextAfter(std::u16string_view text, std::u16string_view separator) {
  if (separator.empty())
    return std::u16string(text);
  const size_t at = text.find(separator);
  if (at == std::u16string_view::npos)
    return std::u16string(text);
  return std::u16string(text.substr(at + separator.size()));
}

int SplitText(std::u16string_view text, char16_t separator, TStringList* list) {
  if (list == nullptr)
    return 0;
  int count = 0;
  const size_t length = text.size();
  size_t i = 0;
  while (i < length) {
    // The skip stops on the last character even when it is a separator: a text ending in a run
    // of separators after a piece, or made of separators only, gives one final empty piece.
    while (i + 1 < length && text[i] == separator)
      ++i;
    size_t j = i;
    while (j < length && text[j] != separator)
      ++j;
    list->emplace_back(text.substr(i, j - i));
    ++count;
    i = j + 1;
  }
  return count;
}

std::u16string_view TrimControl(std::u16string_view text) {
  return Trim(text);
}

std::string_view TrimControl(std::string_view text) {
  return Trim(text);
}

bool SameTextAscii(std::u16string_view a, std::u16string_view b) {
  return SameAscii(a, b);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return SameAscii(a, b);
}

std::u16string WidenLatin1(std::string_view text) {
  std::u16string result;
  result.reserve(text.size());
  for (const char c : text)
    result.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return result;
}

std::string NarrowLatin1(std::u16string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char16_t c : text)
    result.push_back(c < 256 ? static_cast<char>(static_cast<unsigned char>(c)) : '?');
  return result;
}
