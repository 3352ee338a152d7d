#include "proxy/socks5_messages.h"

#include <cstring>

#include "dns/ip_parser.h"
#include "platform/socket.h"
#include "support/exceptions.h"

namespace asynframe::socks5 {
namespace {

constexpr std::uint8_t version = 5;
constexpr std::uint8_t auth_version = 1;
constexpr std::uint8_t method_none = 0;
constexpr std::uint8_t method_password = 2;
constexpr std::uint8_t method_refused = 0xFF;

// The byte as the messages show it: a signed 8-bit number.
std::string signed_byte(std::uint8_t value) { return std::to_string(static_cast<int>(static_cast<std::int8_t>(value))); }

[[noreturn]] void refuse(const std::string& text) { throw proxy_exception(text); }

// Four decimal numbers of at most 255 between single dots, nothing else.
bool dotted_address(const std::string& host, std::uint8_t (&address)[4]) {
    if (!is_ip(host)) return false;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < host.size() && host[pos] != '.') {
            value = value * 10 + static_cast<unsigned>(host[pos] - '0');
            if (++digits > 3 || value > 255) return false;
            ++pos;
        }
        address[part] = static_cast<std::uint8_t>(value);
        ++pos;
    }
    return true;
}

}  // namespace

bytes greeting(bool with_credentials) {
    if (with_credentials) return {version, 2, method_none, method_password};
    return {version, 1, method_none};
}

bytes authentication(const std::string& user, const std::string& password) {
    if (user.empty()) refuse("no set user name,can't login socks5 proxy server");
    if (user.size() >= 256) refuse("sock5 not support user name of length exceed 255");
    if (password.size() >= 256) refuse("sock5 not support passord of length exceed 255");
    // Sized at once and filled in place.
    bytes out(3 + user.size() + password.size());
    out[0] = auth_version;
    out[1] = static_cast<std::uint8_t>(user.size());
    std::memcpy(out.data() + 2, user.data(), user.size());
    out[2 + user.size()] = static_cast<std::uint8_t>(password.size());
    if (!password.empty()) std::memcpy(out.data() + 3 + user.size(), password.data(), password.size());
    return out;
}

bytes request(std::uint8_t command, const std::string& host, std::uint16_t port) {
    std::uint8_t address[4];
    // A target like 300.1.1.1 is not an address: sent as a name rather than
    // as the broadcast address its failed conversion would give.
    const bool dotted = dotted_address(host, address);
    platform::endpoint v6;
    if (!dotted && platform::parse_address(host.data(), host.size(), port, v6) && v6.is_v6()) {
        bytes out(4 + 16 + 2);
        out[0] = version;
        out[1] = command;
        out[2] = 0;
        out[3] = 4;
        std::memcpy(out.data() + 4, v6.address, 16);
        out[20] = static_cast<std::uint8_t>(port >> 8);
        out[21] = static_cast<std::uint8_t>(port & 0xFF);
        return out;
    }
    if (!dotted && host.size() >= 256)
        throw socket_exception("sock5: length of host name(" + host + ") exceed 255, sock5 not support this",
                               0xFFFFFFFFu);
    const std::size_t address_size = dotted ? 4 : 1 + host.size();
    bytes out(4 + address_size + 2);
    out[0] = version;
    out[1] = command;
    out[2] = 0;
    if (dotted) {
        out[3] = 1;
        std::memcpy(out.data() + 4, address, 4);
    } else {
        out[3] = 3;
        out[4] = static_cast<std::uint8_t>(host.size());
        std::memcpy(out.data() + 5, host.data(), host.size());
    }
    out[4 + address_size] = static_cast<std::uint8_t>(port >> 8);
    out[5 + address_size] = static_cast<std::uint8_t>(port & 0xFF);
    return out;
}

std::uint8_t check_method(const std::uint8_t* reply) {
    if (reply[0] != version) refuse("unsupported socks ver no: " + signed_byte(reply[0]));
    if (reply[1] == method_refused) refuse("sock5: no acceptable method to login proxy server");
    if (reply[1] != method_none && reply[1] != method_password)
        refuse("sock5: unsupport authenticate method: " + signed_byte(reply[1]));
    return reply[1];
}

void check_authentication(const std::uint8_t* reply) {
    if (reply[0] != auth_version) refuse("unsupported socks ver no: " + signed_byte(reply[0]));
    if (reply[1] != 0) refuse("socks5 server user name and password authenticate not passed");
}

std::uint32_t check_reply_header(const std::uint8_t* header) {
    if (header[0] != version) refuse("unsupported socks ver no: " + signed_byte(header[0]));
    switch (header[1]) {
        case 0: break;
        case 1: refuse("sock5 server: general socks server failure");
        case 2: refuse("sock5 server: connection not allowed by sock5 ruleset");
        case 3: refuse("sock5 server : network unreachable");
        case 4: refuse("sock5 server :host unreachable");
        case 5: refuse("sock5 server : connection refused");
        case 6: refuse("sock5 server : ttl expired");
        case 7: refuse("sock5 server : command not supported");
        case 8: refuse("sock5 server : address type not supported");
        default: refuse("sock5 : unknown resp code:" + signed_byte(header[1]));
    }
    if (header[2] != 0) refuse("sock5 :resv reserve byte should be 0, but is:" + signed_byte(header[2]));
    switch (header[3]) {
        case 1: return 5;                 // 3 more address bytes and the port
        case 3: return header[4] + 2u;    // the name after its length byte, and the port
        case 4: return 17;                // 15 more address bytes and the port
        default: refuse("sock5: unknow address type:" + signed_byte(header[3]));
    }
}

reply_reading start_reply(reply_kind kind) noexcept {
    reply_reading reading;
    reading.kind = kind;
    reading.expected = kind == reply_kind::request ? request_res_header : 2;
    return reading;
}

bool reply_read(reply_reading& reading, const std::uint8_t* buffer, std::uint32_t have) {
    if (have < reading.expected) return false;
    switch (reading.kind) {
        case reply_kind::method:
            reading.method = check_method(buffer);
            return true;
        case reply_kind::authentication:
            check_authentication(buffer);
            return true;
        case reply_kind::request:
            if (reading.expected == request_res_header) {
                // The head: the rest is at least the port, so more is to come.
                reading.expected += check_reply_header(buffer);
                reading.address_type = buffer[3];
                return false;
            }
            return true;
    }
    return false;
}

void parse_bound_address(const std::uint8_t* reply, std::size_t length, const std::string& proxy_host,
                         std::string& host, std::uint16_t& port) {
    const std::uint8_t* port_bytes = nullptr;
    if (reply[3] == 1 && length >= 10) {
        std::uint32_t address = 0;
        std::memcpy(&address, reply + 4, 4);
        char text[16];
        platform::dotted_address(address, text);
        if (text[0] == '\0') throw io_exception("covert to ip error!");
        host = text;
        // A proxy that answers "any address" means its own.
        if (host == "0.0.0.0") host = proxy_host;
        port_bytes = reply + 8;
    } else if (reply[3] == 4 && length >= 4u + 16u + 2u) {
        // A proxy that reaches the target over IPv6 names its own end that way.
        char text[46];
        platform::ipv6_address_text(reply + 4, text);
        if (text[0] == '\0') throw io_exception("covert to ip error!");
        host = text;
        if (host == "::") host = proxy_host;
        port_bytes = reply + 20;
    } else if (reply[3] == 3 && length >= 5u + reply[4] + 2u) {
        host.assign(reinterpret_cast<const char*>(reply + 5), reply[4]);
        port_bytes = reply + 5 + reply[4];
    } else {
        refuse("Unknown address type.");
    }
    port = static_cast<std::uint16_t>((port_bytes[0] << 8) | port_bytes[1]);
}

void put_udp_header(std::uint8_t* out, std::uint32_t address, std::uint16_t port) {
    out[0] = 0;
    out[1] = 0;
    out[2] = 0;  // FRAG: whole datagrams only
    out[3] = 1;  // ATYP: IPv4
    std::memcpy(out + 4, &address, 4);
    out[8] = static_cast<std::uint8_t>(port >> 8);
    out[9] = static_cast<std::uint8_t>(port & 0xFF);
}

std::uint32_t udp_header_size_for(const platform::endpoint& target) noexcept {
    const platform::endpoint plain = platform::unmapped(target);
    return plain.is_v4() ? udp_header_size : plain.is_v6() ? udp_header_size_v6 : 0;
}

void put_udp_header(std::uint8_t* out, const platform::endpoint& target) {
    const platform::endpoint plain = platform::unmapped(target);
    if (!plain.is_v6()) {
        put_udp_header(out, plain.v4_address(), plain.port);
        return;
    }
    out[0] = 0;
    out[1] = 0;
    out[2] = 0;
    out[3] = 4;  // ATYP: IPv6
    std::memcpy(out + 4, plain.address, 16);
    out[20] = static_cast<std::uint8_t>(plain.port >> 8);
    out[21] = static_cast<std::uint8_t>(plain.port & 0xFF);
}

std::uint32_t read_udp_header(const std::uint8_t* data, std::size_t length, bool accept_v6,
                              platform::endpoint& origin) noexcept {
    if (length < udp_header_size || data[2] != 0) return 0;
    if (data[3] == 1) {
        std::uint32_t address = 0;
        std::memcpy(&address, data + 4, 4);
        origin = platform::endpoint::v4(address, static_cast<std::uint16_t>((data[8] << 8) | data[9]));
        return udp_header_size;
    }
    if (data[3] == 4 && accept_v6 && length >= udp_header_size_v6) {
        std::uint8_t bytes[16];
        std::memcpy(bytes, data + 4, 16);
        origin = platform::unmapped(platform::endpoint::v6(bytes, static_cast<std::uint16_t>((data[20] << 8) | data[21])));
        return udp_header_size_v6;
    }
    return 0;
}

}  // namespace asynframe::socks5
