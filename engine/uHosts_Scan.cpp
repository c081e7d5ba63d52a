// uHosts: the single-pass scanner that reads one line of text into a hosts line.
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "uHosts.h"
#include "uHosts_Extras.h"
#include "uHosts_TextArena.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// What a character is to the scanner, looked up in one table for the first 256 characters.
constexpr uint8_t ClassSeparator = 1, ClassHash = 2, ClassForbidden = 4, ClassAddress = 8;
using TClasses = std::array<uint8_t, 256>;

constexpr TClasses MakeClasses(TLineRules rules) {
  TClasses classes{};
  classes['\t'] = classes[' '] = ClassSeparator;
  if (rules == TLineRules::Glibc) // isspace() in the C locale, less the LF that ends the line
    classes['\v'] = classes['\f'] = classes['\r'] = ClassSeparator;
  classes['#'] = ClassHash;
  for (const char c : {'*', '/', '=', '?', '\\'})
    classes[static_cast<unsigned char>(c)] = ClassForbidden;
  for (const char c : {'.', ':'})
    classes[static_cast<unsigned char>(c)] = ClassAddress;
  for (int c = '0'; c <= '9'; ++c)
    classes[c] = ClassAddress;
  for (int c = 'A'; c <= 'F'; ++c)
    classes[c] = classes[c + ('a' - 'A')] = ClassAddress;
  return classes;
}

// What the scanner takes for a blank, a '#', a forbidden character, an address character.
struct TScanRules {
  TClasses Classes;

  template <typename CharT> uint8_t ClassOf(CharT c) const {
    if constexpr (sizeof(CharT) == 1)
      return Classes[static_cast<unsigned char>(c)];
    else
      return c < 256 ? Classes[c] : 0;
  }
  template <typename CharT> bool IsSeparator(CharT c) const { return ClassOf(c) == ClassSeparator; }
  template <typename CharT> bool IsAddressChar(CharT c) const { return ClassOf(c) == ClassAddress; }
  template <typename CharT> bool IsForbiddenInName(CharT c) const {
    return ClassOf(c) == ClassForbidden;
  }
  template <typename CharT> bool EndsPlainRun(CharT c) const {
    return (ClassOf(c) & (ClassSeparator | ClassHash | ClassForbidden)) != 0;
  }

  // Where a run of plain name characters from pos ends: at the first separator, '#' or forbidden
  // character, or at the end. Sixteen characters at a time where the processor has SSE2.
  template <typename CharT>
  size_t PlainRunEnd(std::basic_string_view<CharT> text, size_t pos) const {
    const size_t len = text.size();
#if defined(__SSE2__)
    if constexpr (sizeof(CharT) == 1) {
      const auto is = [](__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
      while (pos + 16 <= len) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
        // VT, FF and CR (0x0B to 0x0D) stop the search too; the table says whether they end
        // the run.
        const __m128i control = _mm_sub_epi8(v, _mm_set1_epi8('\v'));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(is(v, ' '), is(v, '\t')),
                         _mm_or_si128(is(v, '#'), is(v, '*'))),
            _mm_or_si128(_mm_or_si128(_mm_or_si128(is(v, '/'), is(v, '=')),
                                      _mm_or_si128(is(v, '?'), is(v, '\\'))),
                         _mm_cmpeq_epi8(_mm_min_epu8(control, _mm_set1_epi8(2)), control)));
        if (const int mask = _mm_movemask_epi8(stop)) {
          const size_t at =
              pos + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask)));
          if (EndsPlainRun(text[at]))
            return at;
          pos = at + 1;
          continue;
        }
        pos += 16;
      }
    }
#endif
    while (pos < len && !EndsPlainRun(text[pos]))
      ++pos;
    return pos;
  }

  static const TScanRules& Of(TLineRules rules) {
    static constexpr TScanRules Windows{MakeClasses(TLineRules::Windows)};
    static constexpr TScanRules Glibc{MakeClasses(TLineRules::Glibc)};
    return rules == TLineRules::Glibc ? Glibc : Windows;
  }
};

template <typename CharT> bool IsLocalhost(std::basic_string_view<CharT> name) {
  static constexpr char Localhost[] = "localhost";
  if (name.size() != sizeof(Localhost) - 1)
    return false;
  for (size_t i = 0; i < name.size(); ++i) {
    CharT c = name[i];
    if (c >= CharT('A') && c <= CharT('Z'))
      c = static_cast<CharT>(c + ('a' - 'A'));
    if (c != CharT(Localhost[i]))
      return false;
  }
  return true;
}

} // namespace

// The scan of one line into the line: address, names, comment, in one pass.
// Its steps take the line and the rules as they come, so that both stay in registers.
struct THostItem::TScanner {
  template <typename CharT>
  static void Scan(THostItem& line, const TScanRules& rules, std::basic_string_view<CharT> text,
                   bool& FoundLocalhost, bool KeepLocalhost) {
    line.FFlags = 0;
    FoundLocalhost = false;
    if (line.FNameMode != NoName)
      line.ClearNames();
    // The line starts over: nothing of an earlier reading survives.
    line.FAddress = 0;
    if (line.FHasExtra)
      line.DropExtra();

    if (text.empty())
      return; // blank
    if (text[0] == CharT('#'))
      line.FFlags = Commented;
    const size_t names = ScanAddress(line, rules, text);
    if (names != text.npos)
      ScanNames(line, rules, text, names, FoundLocalhost, KeepLocalhost);

    if (line.NameCount() > 0)
      line.FFlags |= Entry;
    if (!line.Comment().empty())
      line.FFlags |= CommentText;
  }

  template <typename CharT>
  static void SetCommentOf(THostItem& line, std::basic_string_view<CharT> comment) {
    if constexpr (sizeof(CharT) == 1) {
      std::u16string wide(comment.size(), u'\0');
      for (size_t i = 0; i < comment.size(); ++i)
        wide[i] = static_cast<unsigned char>(comment[i]);
      line.SetCommentText(wide);
    } else {
      line.SetCommentText(comment);
    }
  }

  // The address: where the names start, npos when the line ends there.
  template <typename CharT>
  static size_t ScanAddress(THostItem& line, const TScanRules& rules,
                            std::basic_string_view<CharT> text) {
    constexpr size_t None = std::basic_string_view<CharT>::npos;
    const bool commented = line.FFlags == Commented;
    // A line that cannot be read further: a commented line keeps all of its text after the '#'
    // as its comment, any other line is unusable.
    const auto giveUp = [&]() {
      if (commented)
        SetCommentOf(line, text.substr(1));
      else
        line.FFlags = Invalid;
      return None;
    };
    // Leading blanks go; after a '#' there are none ("# ..." is a comment line). The token is the
    // run of address characters that follows, and a blank must end it.
    const size_t n = text.size();
    size_t pos = commented ? 1 : 0;
    if (!commented)
      while (pos < n && rules.IsSeparator(text[pos]))
        ++pos;
    const size_t tokenStart = pos;
    while (pos < n && rules.IsAddressChar(text[pos]))
      ++pos;
    if (pos == tokenStart || pos == n || !rules.IsSeparator(text[pos]))
      return giveUp();
    std::unique_ptr<THostsIP> own;
    uint32_t shared = 0;
    if (!ReadAddressToken(text.substr(tokenStart, pos - tokenStart), line.Owner(), shared, own))
      return giveUp();
    if (own) {
      line.MakeExtra().OwnAddress = std::move(own);
      line.FOwnAddress = 1;
    }
    line.FAddress = shared;
    return pos + 1;
  }

  // The names, and the comment after them.
  template <typename CharT>
  static void ScanNames(THostItem& line, const TScanRules& rules,
                        std::basic_string_view<CharT> text, size_t pos, bool& FoundLocalhost,
                        bool KeepLocalhost) {
    const size_t len = text.size();
    // A name runs to the next separator, '#' or the end; a name of forbidden characters only is
    // none, one with some is kept without them and marked.
    while (pos < len) {
      const uint8_t first = rules.ClassOf(text[pos]);
      if (first == ClassSeparator) {
        ++pos;
        continue;
      }
      if (first == ClassHash) {
        // The comment: the rest of the line after the '#', exactly as written.
        SetCommentOf(line, text.substr(pos + 1));
        return;
      }
      const size_t nameStart = pos;
      size_t forbidden = 0;
      for (;;) {
        // Nearly every name is plain characters up to its end.
        pos = rules.PlainRunEnd(text, pos);
        if (pos == len || rules.ClassOf(text[pos]) != ClassForbidden)
          break;
        ++forbidden;
        ++pos;
      }
      const std::basic_string_view<CharT> run = text.substr(nameStart, pos - nameStart);
      if (forbidden == run.size())
        continue;
      if (forbidden != 0) {
        std::basic_string<CharT> cleaned;
        cleaned.reserve(run.size() - forbidden);
        for (const CharT r : run)
          if (!rules.IsForbiddenInName(r))
            cleaned.push_back(r);
        THostName& name = TNames::Append(line);
        StoreName(line, name, cleaned.data(), cleaned.size());
        name.Flags = THostName::Malformed;
        continue;
      }
      FoundLocalhost = IsLocalhost(run);
      if (THosts* document = line.Owner(); FoundLocalhost && document)
        ++document->FLoadInfo.LocalhostNames;
      if (!FoundLocalhost || KeepLocalhost) {
        THostName& name = TNames::Append(line);
        StoreName(line, name, run.data(), run.size());
        name.Flags = FoundLocalhost ? THostName::Localhost : 0;
      }
    }
  }

  // The address token holds address characters only (all ASCII), so narrowing is a plain copy.
  // Lines of a document share the value of an address text (shared: its number); a line without a
  // document reads its own. False when the token is no numeric address.
  template <typename CharT>
  static bool ReadAddressToken(std::basic_string_view<CharT> token, THosts* document,
                               uint32_t& shared, std::unique_ptr<THostsIP>& own) {
    char small[64];
    std::string large;
    std::string_view text;
    if constexpr (sizeof(CharT) == 1) {
      text = token;
    } else {
      char* bytes = small;
      if (token.size() > sizeof(small)) {
        large.resize(token.size());
        bytes = large.data();
      }
      for (size_t k = 0; k < token.size(); ++k)
        bytes[k] = static_cast<char>(token[k]);
      text = std::string_view(bytes, token.size());
    }
    if (document) {
      shared = document->SharedAddressNumber(text);
      return shared != 0;
    }
    auto address = std::make_unique<THostsIP>();
    if (!address->Parse(text, true) || address->IsEmpty() || address->IsTextOnly())
      return false;
    own = std::move(address);
    return true;
  }

  // The name's text goes into the document's arena, or is the name's own without a document.
  template <typename CharT>
  static void StoreName(THostItem& line, THostName& name, const CharT* text, size_t length) {
    if (THosts* document = line.Owner()) {
      bool wide = false;
      const void* stored = document->FText->Store(text, length, wide);
      name.SetText(stored, length, wide);
      return;
    }
    if constexpr (sizeof(CharT) == 1) {
      name.OwnText(text, length);
    } else {
      name.SetName(std::u16string_view(text, length));
    }
  }
};

void THostItem::ParseLine(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost) {
  TScanner::Scan(*this, TScanRules::Of(TLineRules::Windows), text, FoundLocalhost, KeepLocalhost);
}

void THostItem::ParseLine8(std::string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                           TLineRules rules) {
  TScanner::Scan(*this, TScanRules::Of(rules), text, FoundLocalhost, KeepLocalhost);
}

void THostItem::ParseLine16(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost,
                            TLineRules rules) {
  TScanner::Scan(*this, TScanRules::Of(rules), text, FoundLocalhost, KeepLocalhost);
}
