// The system's form of an endpoint: a sockaddr_in or sockaddr_in6, laid out
// alike by both systems' socket APIs, for the socket calls and both systems'
// I/O backends.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>

#include "platform/native.h"

namespace asynframe::platform::detail {

union socket_address {
    ::sockaddr any;
    ::sockaddr_in v4;
    ::sockaddr_in6 v6;
};

// Fills `to`; answers its length (0 for an endpoint of no family).
inline int to_socket_address(const endpoint& from, socket_address& to) noexcept {
    std::memset(&to, 0, sizeof to);
    if (from.is_v4()) {
        to.v4.sin_family = AF_INET;
        to.v4.sin_port = htons(from.port);
        std::memcpy(&to.v4.sin_addr, from.address, 4);
        return sizeof to.v4;
    }
    if (from.is_v6()) {
        to.v6.sin6_family = AF_INET6;
        to.v6.sin6_port = htons(from.port);
        to.v6.sin6_scope_id = from.scope_id;
        std::memcpy(&to.v6.sin6_addr, from.address, 16);
        return sizeof to.v6;
    }
    return 0;
}

// The endpoint of `length` bytes at `from`; family none for anything else
// (or null). An IPv4-mapped IPv6 address stays as it is.
inline endpoint from_socket_address(const ::sockaddr* from, int length) noexcept {
    if (from == nullptr) return endpoint{};
    if (length >= static_cast<int>(sizeof(::sockaddr_in)) && from->sa_family == AF_INET) {
        ::sockaddr_in v4;
        std::memcpy(&v4, from, sizeof v4);
        std::uint32_t address = 0;
        std::memcpy(&address, &v4.sin_addr, 4);
        return endpoint::v4(address, ntohs(v4.sin_port));
    }
    if (length >= static_cast<int>(sizeof(::sockaddr_in6)) && from->sa_family == AF_INET6) {
        ::sockaddr_in6 v6;
        std::memcpy(&v6, from, sizeof v6);
        std::uint8_t bytes[16];
        std::memcpy(bytes, &v6.sin6_addr, 16);
        return endpoint::v6(bytes, ntohs(v6.sin6_port), v6.sin6_scope_id);
    }
    return endpoint{};
}

// Whether the system's address text calls may be used (Windows: the socket
// library is started); each system's socket file says.
bool ready_for_address_texts() noexcept;

inline endpoint from_socket_address(const socket_address& from, int length) noexcept {
    return from_socket_address(&from.any, length);
}

}  // namespace asynframe::platform::detail
