// uHosts: one line of a hosts file, and the single-pass scanner that reads it.
#include "uHosts.h"

#include <string>

#include "VornLibStrUtils.h"

namespace {

inline bool IsSeparator(char16_t c) {
  return c == u'\t' || c == u' ';
}

inline bool IsAddressChar(char16_t c) {
  return c == u'.' || c == u':' || (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') ||
         (c >= u'a' && c <= u'f');
}

inline bool IsForbiddenInName(char16_t c) {
  return c == u'*' || c == u'/' || c == u'=' || c == u'?' || c == u'\\';
}

// The address token holds address characters only (all ASCII), so narrowing is a plain copy.
// Lines of a document share the value of an address text; a line without a document reads its own.
const THostsIP* ReadAddressToken(std::u16string_view token, THosts* document,
                                 std::unique_ptr<THostsIP>& own) {
  char small[64];
  std::string large;
  char* bytes = small;
  if (token.size() > sizeof(small)) {
    large.resize(token.size());
    bytes = large.data();
  }
  for (size_t k = 0; k < token.size(); ++k) {
    bytes[k] = static_cast<char>(token[k]);
  }
  const std::string_view text(bytes, token.size());
  if (document)
    return document->SharedAddress(text);
  auto address = std::make_unique<THostsIP>();
  if (!address->Parse(text, true) || address->IsEmpty() || address->IsTextOnly())
    return nullptr;
  own = std::move(address);
  return own.get();
}

} // namespace

THostItem::~THostItem() = default;

void THostName::SetName(std::u16string_view name) {
  FLength = static_cast<uint32_t>(name.size());
  if (name.size() <= InlineLength) {
    FHeapName.reset();
    name.copy(FInlineName, name.size());
  } else {
    FHeapName = std::make_unique_for_overwrite<char16_t[]>(name.size());
    name.copy(FHeapName.get(), name.size());
  }
}

THostName* THostItem::GetName(int index) const {
  if (index < 0 || index >= NameCount()) {
    return nullptr;
  }
  return FNames[static_cast<size_t>(index)].get();
}

std::unique_ptr<THostName> THostItem::ExtractName(int index) {
  if (index < 0 || index >= NameCount()) {
    return nullptr;
  }
  std::unique_ptr<THostName> name = std::move(FNames[static_cast<size_t>(index)]);
  FNames.erase(FNames.begin() + index);
  name->Owner = nullptr;
  return name; // Entry stays set even when the line has no name left
}

int THostItem::AddName(std::unique_ptr<THostName> name) {
  if (!name) {
    return -1;
  }
  name->Owner = this;
  FNames.push_back(std::move(name));
  FFlags |= Entry;
  return NameCount() - 1;
}

void THostItem::ClearNames() {
  FNames.clear();
}

bool THostItem::SetAddress(const THostsIP* address) {
  if (address == nullptr) {
    return false;
  }
  // The line gets a value of its own; a shared value is never changed.
  auto own = std::make_unique<THostsIP>();
  if (own->Assign(address)) {
    FOwnAddress = std::move(own);
    FAddress = FOwnAddress.get();
    return true;
  }
  if (!FAddress) {
    FOwnAddress = std::move(own); // refused: the fresh empty value stays
    FAddress = FOwnAddress.get();
  }
  return false;
}

void THostItem::SetCommentText(std::u16string_view text) {
  if (text.empty())
    FComment.reset();
  else
    FComment = std::make_unique<std::u16string>(text);
}

void THostItem::SetComment(std::u16string_view text) {
  SetCommentText(text);
  if (!FComment) {
    FFlags &= static_cast<uint16_t>(~CommentText);
  } else {
    FFlags |= CommentText;
  }
}

bool THostItem::IsInvalid() const {
  if ((FFlags & Invalid) != 0) {
    return true;
  }
  return (FFlags & Entry) != 0 && FAddress && (FAddress->IsTextOnly() || FAddress->IsEmpty());
}

void THostItem::ParseLine(std::u16string_view text, bool& FoundLocalhost, bool KeepLocalhost) {
  FFlags = 0;
  FoundLocalhost = false;
  ClearNames();
  // The line starts over: nothing of an earlier reading survives.
  FAddress = nullptr;
  FOwnAddress.reset();
  FComment.reset();

  const size_t len = text.size();
  if (len == 0) {
    return; // blank
  }
  size_t pos = 0;
  if (text[0] == u'#') {
    FFlags = Commented;
    pos = 1;
  }
  const bool commented = FFlags == Commented;
  // A line that cannot be read further: a commented line keeps all of its text after the '#'
  // as its comment, any other line is unusable.
  const auto giveUp = [&]() {
    if (commented) {
      SetCommentText(text.substr(1));
    } else {
      FFlags = Invalid;
    }
  };

  // Reading the address: the token is the run of address characters from tokenStart.
  size_t tokenStart = std::u16string_view::npos;
  bool readingNames = false;
  for (; pos <= len; ++pos) {
    if (pos == len) {
      giveUp();
      break;
    }
    const char16_t c = text[pos];
    if (IsSeparator(c)) {
      if (tokenStart == std::u16string_view::npos) {
        if (commented) {
          SetCommentText(text.substr(1)); // "# ..." is a comment line
          break;
        }
        continue; // leading blanks
      }
      if (const THostsIP* address =
              ReadAddressToken(text.substr(tokenStart, pos - tokenStart), FOwner, FOwnAddress)) {
        FAddress = address;
        readingNames = true;
        ++pos;
      } else {
        giveUp();
      }
      break;
    }
    if (!IsAddressChar(c)) {
      giveUp();
      break;
    }
    if (tokenStart == std::u16string_view::npos) {
      tokenStart = pos;
    }
  }

  if (readingNames) {
    // Reading names: a name runs from nameStart to the next separator, '#' or the end; kept
    // counts its characters that are not forbidden, marked says whether any was.
    size_t nameStart = std::u16string_view::npos;
    size_t kept = 0;
    bool marked = false;
    for (; pos <= len; ++pos) {
      const bool atEnd = pos == len;
      const char16_t c = atEnd ? u'\0' : text[pos];
      const bool toComment = atEnd || c == u'#';
      if (toComment || IsSeparator(c)) {
        if (kept != 0) {
          const std::u16string_view run = text.substr(nameStart, pos - nameStart);
          auto name = std::make_unique<THostName>(this);
          if (marked) {
            std::u16string cleaned;
            cleaned.reserve(kept);
            for (const char16_t r : run) {
              if (!IsForbiddenInName(r)) {
                cleaned.push_back(r);
              }
            }
            name->SetName(cleaned);
            name->Flags = THostName::Malformed;
            FNames.push_back(std::move(name));
          } else {
            FoundLocalhost = SameTextAscii(run, std::u16string_view(u"localhost"));
            if (!FoundLocalhost || KeepLocalhost) {
              name->SetName(run);
              name->Flags = FoundLocalhost ? THostName::Localhost : 0;
              FNames.push_back(std::move(name));
            }
          }
        }
        nameStart = std::u16string_view::npos;
        kept = 0;
        marked = false;
        if (toComment) {
          // Reading the comment: the rest of the line after the '#', exactly as written.
          if (!atEnd) {
            SetCommentText(text.substr(pos + 1));
          }
          break;
        }
        continue;
      }
      if (nameStart == std::u16string_view::npos) {
        nameStart = pos;
      }
      if (IsForbiddenInName(c)) {
        marked = true;
      } else {
        ++kept;
      }
    }
  }

  if (!FNames.empty()) {
    FFlags |= Entry;
  }
  if (FComment) {
    FFlags |= CommentText;
  }
}
