// Fuzz target: address texts through THostsIP::Parse, checked against the step-by-step readers
// ParseIPv4 and ParseIPv6, and the equality, hashing and copying of the values it makes; the
// engine's reading of a text as the hosts readers read it, checked against the C library's own
// inet_pton.
//
// Input: the bytes are one 8-bit address text; a 0xFF byte, when there is one, splits it into two
// texts, so that two values can be compared.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "VornLibStrUtils.h"
#include "uHosts.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool SameValue(const THostsIP& a, const THostsIP& b) {
  return a.Text() == b.Text() && a.Kind() == b.Kind() && a.Value() == b.Value();
}

// Parse against the reference readers, for both settings of AllowTextOnly.
void CheckParse(std::string_view text) {
  const std::u16string wide = WidenLatin1(text);
  // The empty text is no address (blanks only are: they trim to no part, eight zero groups).
  uint32_t number = 0;
  const bool v4 = !text.empty() && ParseIPv4(wide, number);
  TIPv6Groups groups{};
  const bool v6 = !text.empty() && !v4 && ParseIPv6(wide, groups);
  const bool any = text == "0";

  for (const bool allowTextOnly : {false, true}) {
    THostsIP ip;
    // A value from before: a failed Parse must leave it as it is.
    Check(ip.Parse("10.0.0.1", false), "a plain address reads");
    THostsIP before;
    before.Parse("10.0.0.1", false);
    const bool ok = ip.Parse(text, allowTextOnly);
    Check(ok == (allowTextOnly || any || v4 || v6), "Parse accepts exactly the addresses");
    Check(IsAddressText(text) == (any || v4 || v6), "IsAddressText agrees with the readers");
    if (!ok) {
      Check(SameValue(ip, before), "a failed Parse changes nothing");
      continue;
    }
    const std::string trimmed(TrimControl(text));
    if (any) {
      Check(ip.Kind() == KindIPv4Any && ip.Value() == THostsIPValue(uint32_t{0}),
            "\"0\" is the any-address");
    } else if (v4) {
      Check(ip.Value() == THostsIPValue(number), "IPv4 value as the reader reads it");
      Check(!ip.IsIPv6() && !ip.IsTextOnly() && !ip.IsEmpty(), "IPv4 kind");
      Check((number == 0) == (ip.Kind() == KindIPv4Any), "0.0.0.0 is the any-address");
      Check((number == 0x7F000001u) == (ip.Kind() == KindIPv4Loopback), "loopback");
    } else if (v6) {
      Check(ip.Value() == THostsIPValue(groups), "IPv6 value as the reader reads it");
      Check(ip.IsIPv6() && !ip.IsTextOnly() && !ip.IsEmpty(), "IPv6 kind");
    } else if (text.empty()) {
      Check(ip.IsTextOnly() && ip.Text().empty(), "an empty text is an empty text-only value");
    } else {
      Check(ip.IsTextOnly(), "anything else is text-only");
      Check(std::holds_alternative<std::monostate>(ip.Value()), "text-only has no number");
    }
    Check(ip.Text() == trimmed, "the text is kept, trimmed");

    Check(ip.SameAddress(&ip), "SameAddress is reflexive");
    Check(!ip.SameAddress(nullptr), "nothing is the same as none");
    THostsIP copy;
    const bool assigned = copy.Assign(&ip);
    Check(assigned == !ip.IsTextOnly(), "Assign copies numeric values only");
    if (assigned) {
      Check(SameValue(copy, ip), "Assign copies text, kind and value");
      Check(copy.SameAddress(&ip) && ip.SameAddress(&copy), "a copy is the same address");
      Check(copy.Hash() == ip.Hash(), "a copy hashes the same");
    } else {
      Check(copy.IsEmpty(), "a refused Assign changes nothing");
    }
    Check(ip.Assign(&ip) == !ip.IsTextOnly(), "Assign to itself");
  }
}

// The hosts readers' address reader against the C library's inet_pton, both families.
void CheckResolver(std::string_view text) {
  uint32_t number = 0;
  const bool v4 = ResolverParseIPv4(text, number);
  TIPv6Groups groups{};
  const bool v6 = ResolverParseIPv6(text, groups);
  Check(!(v4 && v6), "no text is both IPv4 and IPv6 to the resolver");
  if (text.find('\0') != std::string_view::npos)
    return;
  const std::string z(text);
  in_addr four{};
  const bool libV4 = inet_pton(AF_INET, z.c_str(), &four) == 1;
  Check(v4 == libV4, "IPv4 read as inet_pton reads it");
  if (v4)
    Check(number == ntohl(four.s_addr), "IPv4 value as inet_pton reads it");
  unsigned char six[16];
  const bool libV6 = inet_pton(AF_INET6, z.c_str(), six) == 1;
  Check(v6 == libV6, "IPv6 read as inet_pton reads it");
  if (v6) {
    for (size_t k = 0; k < 8; ++k)
      Check(groups[k] == ((six[2 * k] << 8) | six[2 * k + 1]), "IPv6 value as inet_pton reads it");
  }

  // A value of the engine takes part in the merge exactly when the resolver reads it alike.
  THostsIP ip;
  if (ip.Parse(text, false)) {
    const THostsIPValue resolver = ResolverReadAddress(ip.Text());
    Check(ip.ResolverReadsAlike() == (resolver == ip.Value()),
          "an address is read alike when the resolver reads its text as the same value");
  }
}

void CheckPair(std::string_view a, std::string_view b) {
  for (const bool allowTextOnly : {false, true}) {
    THostsIP x;
    THostsIP y;
    if (!x.Parse(a, allowTextOnly) || !y.Parse(b, allowTextOnly))
      continue;
    const bool same = x.SameAddress(&y);
    Check(same == y.SameAddress(&x), "SameAddress is symmetric");
    if (same)
      Check(x.Hash() == y.Hash(), "equal addresses hash equal");
    if (!x.IsTextOnly() && !y.IsTextOnly())
      Check(same == (x.Value() == y.Value()), "numeric addresses are the same by value");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckParse(text);
  CheckResolver(text);
  const size_t cut = text.find('\xFF');
  if (cut != std::string_view::npos) {
    const std::string_view a = text.substr(0, cut);
    const std::string_view b = text.substr(cut + 1);
    CheckParse(a);
    CheckParse(b);
    CheckPair(a, b);
  }
  return 0;
}
