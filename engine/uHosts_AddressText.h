// uHosts: address texts and their readers: the engine's own (Parse and the reference readers
// it follows) and the way the readers of hosts files read them (inet_pton). Behind uHosts.h.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>

class TSorIntegerList;

using TIPv6Groups = std::array<uint16_t, 8>;
// The numeric value of an address: none (empty, text-only), a 32-bit IPv4 number with the first
// octet in the most significant byte, or eight IPv6 groups in text order.
using THostsIPValue = std::variant<std::monostate, uint32_t, TIPv6Groups>;

// True exactly when Parse(text, false) accepts the text.
bool IsAddressText(std::string_view text);
bool ParseIPv4(std::u16string_view text, uint32_t& number);
bool ParseIPv6(std::u16string_view text, TIPv6Groups& groups);
// Appends the hexadecimal groups of one side of "::" to the list. False when malformed.
bool ParseIPv6Groups(std::u16string_view part, TSorIntegerList& list);

// An address text as the readers of hosts files read it (inet_pton; the C library is not asked).
// IPv4: four decimal numbers of 0 to 255 joined by dots, no leading zero ("0", "127.1",
// "010.0.0.1" and "0x7f.0.0.1" are no address). IPv6: eight groups of one to four hexadecimal
// digits, or fewer and one "::" standing for at least one zero group, the last two groups possibly
// a dotted quad as IPv4.
bool ResolverParseIPv4(std::string_view text, uint32_t& number);
bool ResolverParseIPv6(std::string_view text, TIPv6Groups& groups);
// IPv6 when the text reads so, else IPv4, else none.
THostsIPValue ResolverReadAddress(std::string_view text);
