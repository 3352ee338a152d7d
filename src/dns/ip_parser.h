// Tests and conversions of IPv4 and IPv6 address texts. Pure arithmetic: no socket
// library is involved, so the results are the same on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace asynframe {

// Holder of the dotted-quad test; the SOCKS5 client uses it to choose between
// sending an address and sending a domain name.
class ip_parser {
public:
    virtual ~ip_parser() = default;
};

// True for four non-empty fields of decimal digits separated by single dots.
// No range check: 300.1.1.999 passes; 1.2.3 and 1.2.3.4. fail.
bool is_ip(std::string_view text) noexcept;

// The classic inet_addr rules: one to four parts (a, a.b, a.b.c, a.b.c.d), each
// decimal, octal (leading 0) or hexadecimal (leading 0x); the last part fills
// the remaining bytes. On success stores the address in host byte order (the
// first byte of the text in the top bits) and returns true. The whole text must
// be the address, and 255.255.255.255 is rejected like every malformed text,
// because the classic call reports both with the same value.
bool inet_addr_value(std::string_view text, std::uint32_t& address) noexcept;

// Dotted decimal text of a host-byte-order address ("10.0.0.1").
std::string ipv4_text(std::uint32_t address);

// Appends the dotted decimal text of four address bytes, in wire order.
void append_ipv4_text(std::string& out, const unsigned char* bytes);

// An IPv6 text as RFC 4291 writes it: eight groups of one to four hex digits,
// one "::" standing for a run of zero groups, and a dotted IPv4 address in
// place of the last two groups. No zone ("%eth0"), no brackets, no prefix
// length. Stores the 16 bytes in wire order.
bool ipv6_value(std::string_view text, unsigned char (&bytes)[16]) noexcept;

// The RFC 5952 text of 16 address bytes in wire order: lower-case hex, no
// leading zeros, the longest run of two or more zero groups (the first of
// equal runs) as "::", and the dotted form for IPv4-mapped addresses.
void append_ipv6_text(std::string& out, const unsigned char* bytes);

// An IPv6 text in its RFC 5952 form; empty when it is not an IPv6 text.
std::string canonical_ipv6(std::string_view text);

// The family of an address text the resolver holds: 6 when it contains a
// colon, else 4.
inline int address_family(std::string_view text) noexcept {
    return text.find(':') != std::string_view::npos ? 6 : 4;
}

}  // namespace asynframe
