// The OS-neutral shapes that cross the platform seam: a native handle, a
// socket endpoint of either address family and a buffer span. Code above
// src/platform/ names these, never a descriptor, sockaddr or iovec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace asynframe::platform {

// A socket, file, event or waitable: a descriptor on Linux, a HANDLE or SOCKET
// on Windows. Wide enough for either.
using native_handle = std::intptr_t;
inline constexpr native_handle invalid_handle = -1;

// An IPv4 or IPv6 address with a port. The address bytes are in network
// order (IPv4 in the first four); the port is in host order.
struct endpoint {
    enum class family_t : std::uint8_t { none = 0, ipv4 = 4, ipv6 = 6 };

    family_t family = family_t::none;
    std::uint16_t port = 0;
    std::uint32_t scope_id = 0;  // IPv6 link-local zone
    std::uint8_t address[16] = {};

    // `address` in network order.
    static endpoint v4(std::uint32_t network_address, std::uint16_t host_port) noexcept {
        endpoint e;
        e.family = family_t::ipv4;
        e.port = host_port;
        std::memcpy(e.address, &network_address, 4);
        return e;
    }
    static endpoint v6(const std::uint8_t (&bytes)[16], std::uint16_t host_port, std::uint32_t scope = 0) noexcept {
        endpoint e;
        e.family = family_t::ipv6;
        e.port = host_port;
        e.scope_id = scope;
        std::memcpy(e.address, bytes, 16);
        return e;
    }
    bool is_v4() const noexcept { return family == family_t::ipv4; }
    bool is_v6() const noexcept { return family == family_t::ipv6; }
    // The IPv4 address in network order; 0 for any other family.
    std::uint32_t v4_address() const noexcept {
        std::uint32_t value = 0;
        if (is_v4()) std::memcpy(&value, address, 4);
        return value;
    }
};

// One piece of a scattered or gathered transfer. Laid out as the platform's
// own vector element where it can be (Linux: iovec), so none is copied.
struct buffer_span {
    void* data = nullptr;
    std::size_t length = 0;
};

}  // namespace asynframe::platform
