// The family rules of endpoints that need no system call.
#include <cstring>

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

}  // namespace asynframe::platform
