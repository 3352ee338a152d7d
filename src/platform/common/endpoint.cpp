// The family rules of endpoints, and endpoints as text, alike on both systems.
#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <cstdio>
#include <cstring>

#include "platform/common/socket_address.h"
#include "platform/socket.h"

namespace asynframe::platform {
namespace {

constexpr std::uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

endpoint unmapped(const endpoint& address) noexcept {
    if (!address.is_v6() || std::memcmp(address.address, mapped_prefix, sizeof mapped_prefix) != 0) return address;
    std::uint32_t v4 = 0;
    std::memcpy(&v4, address.address + 12, 4);
    return endpoint::v4(v4, address.port);
}

endpoint in_family(const endpoint& address, endpoint::family_t socket_family) noexcept {
    if (!address.is_v4() || socket_family != endpoint::family_t::ipv6) return address;
    std::uint8_t bytes[16] = {};
    std::memcpy(bytes, mapped_prefix, sizeof mapped_prefix);
    std::memcpy(bytes + 12, address.address, 4);
    return endpoint::v6(bytes, address.port);
}

void ipv6_address_text(const std::uint8_t* address, char (&text)[46]) noexcept {
    in6_addr in{};
    std::memcpy(&in, address, sizeof in);
    if (::inet_ntop(AF_INET6, &in, text, sizeof text) == nullptr) text[0] = '\0';
}

bool parse_address(const char* text, std::size_t length, std::uint16_t port, endpoint& out) noexcept {
    if (text == nullptr || length == 0) return false;
    if (text[0] == '[') {
        if (length < 3 || text[length - 1] != ']') return false;
        ++text;
        length -= 2;
    }
    char copy[64];
    if (length >= sizeof copy || std::memchr(text, '\0', length) != nullptr) return false;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    if (!detail::ready_for_address_texts()) return false;
    in_addr v4{};
    // inet_pton takes only the four-number form: "1", "0x7f.1" and the like
    // are names here, as they are to the scheduler.
    if (::inet_pton(AF_INET, copy, &v4) == 1) {
        out = endpoint::v4(v4.s_addr, port);
        return true;
    }
    std::uint32_t scope = 0;
    if (char* zone = std::strchr(copy, '%')) {
        *zone++ = '\0';
        if (*zone == '\0') return false;
        for (; *zone != '\0'; ++zone) {
            if (*zone < '0' || *zone > '9' || scope > 0x0FFFFFFF) return false;
            scope = scope * 10 + static_cast<std::uint32_t>(*zone - '0');
        }
    }
    std::uint8_t bytes[16];
    if (::inet_pton(AF_INET6, copy, bytes) != 1) return false;
    out = endpoint::v6(bytes, port, scope);
    return true;
}

void address_text(const endpoint& address, char (&text)[64]) noexcept {
    text[0] = '\0';
    const endpoint plain = unmapped(address);
    if (plain.is_v4()) {
        if (::inet_ntop(AF_INET, plain.address, text, sizeof text) == nullptr) text[0] = '\0';
    } else if (plain.is_v6()) {
        if (::inet_ntop(AF_INET6, plain.address, text, sizeof text) == nullptr) {
            text[0] = '\0';
        } else if (plain.scope_id != 0) {
            const std::size_t used = std::strlen(text);
            std::snprintf(text + used, sizeof text - used, "%%%u", static_cast<unsigned>(plain.scope_id));
        }
    }
}

}  // namespace asynframe::platform
