// Tests and conversions of IPv4 address texts. Pure arithmetic: no socket
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

}  // namespace asynframe
