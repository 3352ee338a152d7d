// Hostile datagrams from a SOCKS5 UDP relay: the header before the payload
// (RSV, FRAG, ATYP 1, 3 or 4, the origin's address and port) as the client's
// UDP socket reads it. Only whole datagrams (FRAG 0) with an address origin
// pass (IPv6 ones only where asked for); the origin read must be the one the
// header names, and the payload what follows it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/socket.h"
#include "proxy/socks5_messages.h"

namespace {

namespace socks5 = asynframe::socks5;
namespace platform = asynframe::platform;

constexpr std::uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 65536) return 0;
    const bool accept_v6 = (data[0] & 1) != 0;
    // The datagram alone, in a copy of its exact size, so a read past it is caught.
    const std::size_t length = size - 1;
    std::uint8_t* datagram = new std::uint8_t[length == 0 ? 1 : length];
    if (length != 0) std::memcpy(datagram, data + 1, length);

    platform::endpoint origin;
    const std::uint32_t header = socks5::read_udp_header(datagram, length, accept_v6, origin);
    if (header != 0) {
        if (header > length || datagram[2] != 0) std::abort();
        const std::uint16_t port = static_cast<std::uint16_t>((datagram[header - 2] << 8) | datagram[header - 1]);
        if (origin.port != port) std::abort();
        if (datagram[3] == 1) {
            if (header != socks5::udp_header_size || !origin.is_v4()) std::abort();
            if (std::memcmp(origin.address, datagram + 4, 4) != 0) std::abort();
        } else if (datagram[3] == 4) {
            if (!accept_v6 || header != socks5::udp_header_size_v6) std::abort();
            // A mapped IPv4 origin comes out as IPv4.
            if (std::memcmp(datagram + 4, mapped_prefix, sizeof mapped_prefix) == 0) {
                if (!origin.is_v4() || std::memcmp(origin.address, datagram + 16, 4) != 0) std::abort();
            } else if (!origin.is_v6() || std::memcmp(origin.address, datagram + 4, 16) != 0) {
                std::abort();
            }
        } else {
            std::abort();  // a name (ATYP 3) or anything else never passes
        }
        // The header written back for that origin is the one read (as IPv4 for a mapped one).
        std::uint8_t again[socks5::udp_header_size_v6];
        const std::uint32_t size_again = socks5::udp_header_size_for(origin);
        socks5::put_udp_header(again, origin);
        if (size_again == header && std::memcmp(again + 3, datagram + 3, header - 3) != 0) std::abort();
        if (size_again != header && !(datagram[3] == 4 && origin.is_v4())) std::abort();
        // The payload as the socket hands it over into a read range of its smallest size.
        const std::size_t payload = length - header;
        const std::size_t handed = payload < 1500 ? payload : 1500;
        volatile std::uint8_t sum = 0;
        for (std::size_t i = 0; i < handed; ++i) sum = static_cast<std::uint8_t>(sum + datagram[header + i]);
    } else if (length >= socks5::udp_header_size && datagram[2] == 0 &&
               (datagram[3] == 1 || (datagram[3] == 4 && accept_v6 && length >= socks5::udp_header_size_v6))) {
        std::abort();  // a whole datagram from an address origin was dropped
    }
    delete[] datagram;
    return 0;
}
