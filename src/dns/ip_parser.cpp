#include "dns/ip_parser.h"

namespace asynframe {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view field) noexcept {
    for (char c : field)
        if (!is_digit(c)) return false;
    return true;
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One part of an inet_addr text starting at `pos`: digits in base 8, 10 or 16.
// Advances `pos` past it; false when it has no digit, a digit outside its base,
// or does not fit 32 bits.
bool parse_part(std::string_view text, std::size_t& pos, std::uint64_t& value) noexcept {
    if (pos >= text.size() || !is_digit(text[pos])) return false;
    unsigned base = 10;
    bool any_digit = false;
    if (text[pos] == '0') {
        base = 8;
        any_digit = true;  // the 0 itself
        ++pos;
        if (pos < text.size() && (text[pos] == 'x' || text[pos] == 'X')) {
            base = 16;
            any_digit = false;
            ++pos;
        }
    }
    value = 0;
    while (pos < text.size()) {
        const int d = hex_digit(text[pos]);
        if (d < 0 || (base != 16 && d > 9)) break;
        if (static_cast<unsigned>(d) >= base) return false;  // 8 or 9 in an octal part
        value = value * base + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu) return false;
        any_digit = true;
        ++pos;
    }
    return any_digit;
}

}  // namespace

bool is_ip(std::string_view text) noexcept {
    std::size_t start = 0;
    for (int field = 0; field < 3; ++field) {
        const std::size_t dot = text.find('.', start);
        if (dot == std::string_view::npos || dot == start) return false;
        if (!all_digits(text.substr(start, dot - start))) return false;
        start = dot + 1;
    }
    if (start >= text.size()) return false;  // empty fourth field
    return all_digits(text.substr(start));
}

bool inet_addr_value(std::string_view text, std::uint32_t& address) noexcept {
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    std::size_t pos = 0;
    for (;;) {
        if (!parse_part(text, pos, parts[count])) return false;
        ++count;
        if (pos == text.size()) break;
        if (text[pos] != '.' || count == 4) return false;
        ++pos;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF) return false;
        value |= parts[i] << (8 * (3 - i));
    }
    const std::uint64_t last = parts[count - 1];
    const std::uint64_t last_max = 0xFFFFFFFFull >> (8 * (count - 1));
    if (last > last_max) return false;
    value |= last;
    if (value == 0xFFFFFFFFu) return false;
    address = static_cast<std::uint32_t>(value);
    return true;
}

void append_ipv4_text(std::string& out, const unsigned char* bytes) {
    char text[16];
    std::size_t n = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned v = bytes[i];
        if (i != 0) text[n++] = '.';
        if (v >= 100) {
            text[n++] = static_cast<char>('0' + v / 100);
            v %= 100;
            text[n++] = static_cast<char>('0' + v / 10);
            text[n++] = static_cast<char>('0' + v % 10);
        } else if (v >= 10) {
            text[n++] = static_cast<char>('0' + v / 10);
            text[n++] = static_cast<char>('0' + v % 10);
        } else {
            text[n++] = static_cast<char>('0' + v);
        }
    }
    out.append(text, n);
}

std::string ipv4_text(std::uint32_t address) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
                                    static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
    std::string out;
    append_ipv4_text(out, bytes);
    return out;
}

}  // namespace asynframe
