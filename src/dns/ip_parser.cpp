#include "dns/ip_parser.h"

#include <algorithm>
#include <iterator>

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

bool ipv6_value(std::string_view text, unsigned char (&bytes)[16]) noexcept {
    std::uint16_t groups[8] = {};
    int count = 0;
    int gap = -1;  // index of the group "::" stands before
    std::size_t pos = 0;
    if (text.size() >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        pos = 2;
        if (pos == text.size()) {
            std::fill(std::begin(bytes), std::end(bytes), 0);
            return true;
        }
    } else if (!text.empty() && text[0] == ':') {
        return false;
    }
    for (;;) {
        // A dotted tail takes the place of the last two groups.
        const std::size_t end = text.find(':', pos);
        const std::string_view piece = text.substr(pos, end == std::string_view::npos ? text.npos : end - pos);
        if (end == std::string_view::npos && piece.find('.') != std::string_view::npos) {
            if (count > 6 || !is_ip(piece)) return false;
            std::uint32_t v4 = 0;
            // Four decimal fields of at most three digits, each up to 255.
            std::size_t start = 0;
            for (int field = 0; field < 4; ++field) {
                const std::size_t dot = piece.find('.', start);
                const std::string_view digits = piece.substr(start, dot == piece.npos ? piece.npos : dot - start);
                if (digits.size() > 3) return false;
                unsigned value = 0;
                for (char c : digits) value = value * 10 + static_cast<unsigned>(c - '0');
                if (value > 255) return false;
                v4 = v4 << 8 | value;
                start = dot + 1;
            }
            groups[count++] = static_cast<std::uint16_t>(v4 >> 16);
            groups[count++] = static_cast<std::uint16_t>(v4 & 0xFFFF);
            break;
        }
        if (piece.empty() || piece.size() > 4 || count == 8) return false;
        unsigned value = 0;
        for (char c : piece) {
            const int d = hex_digit(c);
            if (d < 0) return false;
            value = value << 4 | static_cast<unsigned>(d);
        }
        groups[count++] = static_cast<std::uint16_t>(value);
        if (end == std::string_view::npos) break;
        pos = end + 1;
        if (pos < text.size() && text[pos] == ':') {
            if (gap >= 0) return false;  // a second "::"
            gap = count;
            ++pos;
            if (pos == text.size()) break;
        } else if (pos == text.size()) {
            return false;  // a single colon at the end
        }
    }
    if (gap < 0 ? count != 8 : count > 7) return false;
    std::uint16_t full[8] = {};
    if (gap < 0) {
        std::copy(groups, groups + 8, full);
    } else {
        std::copy(groups, groups + gap, full);
        std::copy(groups + gap, groups + count, full + 8 - (count - gap));
    }
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(full[i] >> 8);
        bytes[2 * i + 1] = static_cast<unsigned char>(full[i] & 0xFF);
    }
    return true;
}

void append_ipv6_text(std::string& out, const unsigned char* bytes) {
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes[2 * i]) << 8 | bytes[2 * i + 1];
    // ::ffff:a.b.c.d keeps its dotted tail, as RFC 5952 (5) asks.
    const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
                        groups[5] == 0xFFFF;
    const int last = mapped ? 6 : 8;
    int best = -1, best_length = 1;
    for (int i = 0; i < last;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < last && groups[j] == 0) ++j;
        if (j - i > best_length) {
            best = i;
            best_length = j - i;
        }
        i = j;
    }
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < last;) {
        if (i == best) {
            out += "::";
            i += best_length;
            continue;
        }
        if (i != 0 && i != best + best_length) out += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned d = groups[i] >> shift & 0xF;
            if (d == 0 && !started && shift != 0) continue;
            started = true;
            out += digits[d];
        }
        ++i;
    }
    if (mapped) {
        out += ':';
        append_ipv4_text(out, bytes + 12);
    }
}

std::string canonical_ipv6(std::string_view text) {
    unsigned char bytes[16];
    if (!ipv6_value(text, bytes)) return {};
    std::string out;
    append_ipv6_text(out, bytes);
    return out;
}

std::string ipv4_text(std::uint32_t address) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
                                    static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
    std::string out;
    append_ipv4_text(out, bytes);
    return out;
}

}  // namespace asynframe
