// The SOCKS5 messages a client writes and the checks of what it reads
// (user name and password authentication included). Pure byte work; every
// refusal is a proxy_exception with the client's message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/native.h"

namespace asynframe::socks5 {

inline constexpr std::uint8_t command_connect = 1;
inline constexpr std::uint8_t command_bind = 2;
inline constexpr std::uint8_t command_udp_associate = 3;
// The fixed part of a request reply read first: VER, REP, RSV, ATYP and one more byte.
inline constexpr std::uint32_t request_res_header = 5;
// RSV, FRAG, ATYP and an IPv4 address and port before a relayed datagram.
inline constexpr std::uint32_t udp_header_size = 10;
// The same with an IPv6 address.
inline constexpr std::uint32_t udp_header_size_v6 = 22;

using bytes = std::vector<std::uint8_t>;

// 05 01 00, or 05 02 00 02 when a user name is offered.
bytes greeting(bool with_credentials);
// 01, the user name and the password, each after its length byte. Throws for
// an empty user name or either text of 256 bytes or more.
bytes authentication(const std::string& user, const std::string& password);
// 05 CMD 00 ATYP address port. A real dotted address (four numbers of at
// most 255) goes as ATYP 1, an IPv6 address (with or without brackets) as
// ATYP 4, anything else as a name (ATYP 3); a name of 256 bytes or more
// throws socket_exception (code -1).
bytes request(std::uint8_t command, const std::string& host, std::uint16_t port);

// The method the proxy chose (0 or 2); throws for anything else.
std::uint8_t check_method(const std::uint8_t* reply);
void check_authentication(const std::uint8_t* reply);
// Checks the 5-byte head of a request reply; answers how many bytes follow it.
std::uint32_t check_reply_header(const std::uint8_t* header);

// The client's reading of one reply from the proxy as its bytes arrive: a
// method choice and an authentication reply are 2 bytes; a request reply
// (CONNECT, BIND's two, UDP ASSOCIATE) is read as its 5-byte head, whose
// check tells how many bytes follow.
enum class reply_kind : std::uint8_t { method, authentication, request };
struct reply_reading {
    reply_kind kind = reply_kind::method;
    // The reply's size as far as known: what the client reads up to.
    std::uint32_t expected = 0;
    // Set once the reply is whole: the chosen method (0 or 2) of a method reply;
    std::uint8_t method = 0;
    // and, from the head on, ATYP of a request reply.
    std::uint8_t address_type = 0;
};
reply_reading start_reply(reply_kind kind) noexcept;
// `have` bytes of the reply (at most `reading.expected`) are in `buffer`.
// True once the reply is whole and checked; false while more is to be read
// (up to `reading.expected`, which grows once a request reply's head is in).
// A refusal throws proxy_exception with the client's message.
bool reply_read(reply_reading& reading, const std::uint8_t* buffer, std::uint32_t have);

// BND.ADDR and BND.PORT of a whole reply: dotted text, a name, or IPv6 text.
// 0.0.0.0 and :: stand for the proxy itself.
void parse_bound_address(const std::uint8_t* reply, std::size_t length, const std::string& proxy_host,
                         std::string& host, std::uint16_t& port);

// The relay header before a datagram for `address` (network order) and `port`.
void put_udp_header(std::uint8_t* out, std::uint32_t address, std::uint16_t port);
// The header's size for a target: 10 for IPv4, 22 for IPv6, 0 for no family.
std::uint32_t udp_header_size_for(const platform::endpoint& target) noexcept;
// Writes the relay header for `target` (udp_header_size_for bytes).
void put_udp_header(std::uint8_t* out, const platform::endpoint& target);
// The origin in a relayed datagram's header: the header's size, or 0 when the
// datagram is too short, a fragment, or of another address type (a name).
// IPv6 origins count only when `accept_v6`.
std::uint32_t read_udp_header(const std::uint8_t* data, std::size_t length, bool accept_v6,
                              platform::endpoint& origin) noexcept;

}  // namespace asynframe::socks5
