// Hostile SOCKS5 proxies, as the client reads them: the method choice, the
// user name and password reply, then the reply to CONNECT, UDP ASSOCIATE or
// BIND (whose second reply, on the accepted connection, follows), read as
// the client's wrapper reads them (socks5::reply_read, then the bound address
// of a whole reply) into its private buffer of 1024 bytes. The outcome must
// not depend on how the proxy's bytes were cut into reads, and a reply may
// never outgrow the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "proxy/socks5_messages.h"
#include "support/exceptions.h"

namespace {

namespace socks5 = asynframe::socks5;

constexpr std::uint32_t private_buffer_size = 1024;  // socks_wrapper's
const std::string proxy_host = "proxy.test";

enum command_t : std::uint8_t { connect = 0, bind = 1, udp = 2, login_only = 3 };

struct outcome {
    // 0 done, 1 refused (a proxy_exception or io_exception), 2 the proxy closed the connection.
    int end = 0;
    std::string message;
    std::string host;
    std::uint16_t port = 0;
    std::uint8_t address_type = 0;
    std::size_t used = 0;  // bytes of the stream read
    bool operator==(const outcome& other) const {
        return end == other.end && message == other.message && host == other.host && port == other.port &&
               address_type == other.address_type && used == other.used;
    }
};

// The proxy's stream, handed out in reads of the sizes `seed` picks (0: each
// read gets all that is asked).
class stream {
public:
    stream(const std::uint8_t* data, std::size_t size, std::uint8_t seed) : _data(data), _size(size), _state(seed) {}
    // Up to `count` bytes into `out`; 0 once the proxy has nothing more.
    std::uint32_t read(std::uint8_t* out, std::uint32_t count) {
        std::uint32_t take = count;
        if (_state != 0) {
            _state = _state * 1103515245u + 12345u;
            take = 1 + (_state >> 16) % count;
        }
        if (take > _size - _used) take = static_cast<std::uint32_t>(_size - _used);
        std::memcpy(out, _data + _used, take);
        _used += take;
        return take;
    }
    std::size_t used() const { return _used; }

private:
    const std::uint8_t* _data;
    std::size_t _size;
    std::size_t _used = 0;
    std::uint32_t _state;
};

// One reply read whole, as the wrapper reads it; false when the proxy closed first.
bool read_reply(stream& in, std::vector<std::uint8_t>& buffer, socks5::reply_reading& reading) {
    std::uint32_t have = 0;
    for (;;) {
        if (reading.expected > buffer.size() || have >= reading.expected) std::abort();
        const std::uint32_t got = in.read(buffer.data() + have, reading.expected - have);
        if (got == 0) return false;
        have += got;
        if (socks5::reply_read(reading, buffer.data(), have)) {
            if (have != reading.expected) std::abort();
            return true;
        }
        if (have >= reading.expected) std::abort();  // more asked for, always
    }
}

void check_bound(const std::vector<std::uint8_t>& buffer, const socks5::reply_reading& reading,
                 const std::string& host, std::uint16_t port) {
    const std::uint8_t* reply = buffer.data();
    const std::uint32_t length = reading.expected;
    if (port != ((reply[length - 2] << 8) | reply[length - 1])) std::abort();
    switch (reading.address_type) {
        case 1: if (length != 10) std::abort(); break;
        case 4: if (length != 22) std::abort(); break;
        case 3:
            if (length != 7u + reply[4]) std::abort();
            if (host != std::string(reinterpret_cast<const char*>(reply + 5), reply[4])) std::abort();
            break;
        default: std::abort();
    }
    if (reading.address_type != 3 && host.empty()) std::abort();
}

outcome run(std::uint8_t flags, const std::uint8_t* data, std::size_t size, std::uint8_t seed) {
    const bool credentials = (flags & 1) != 0;
    const auto command = static_cast<command_t>((flags >> 1) & 3);
    stream in(data, size, seed);
    std::vector<std::uint8_t> buffer(private_buffer_size);
    outcome result;
    try {
        socks5::reply_reading reading = socks5::start_reply(socks5::reply_kind::method);
        if (!read_reply(in, buffer, reading)) {
            result.end = 2;
        } else {
            bool go_on = true;
            if (reading.method == 2) {
                // The wrapper answers a password choice with its credentials, refused when it has none.
                socks5::authentication(credentials ? "user" : "", "secret");
                reading = socks5::start_reply(socks5::reply_kind::authentication);
                if (!read_reply(in, buffer, reading)) {
                    result.end = 2;
                    go_on = false;
                }
            } else if (reading.method != 0) {
                std::abort();
            }
            if (go_on && command != login_only) {
                for (int reply = 0; reply < (command == bind ? 2 : 1); ++reply) {
                    reading = socks5::start_reply(socks5::reply_kind::request);
                    if (!read_reply(in, buffer, reading)) {
                        result.end = 2;
                        break;
                    }
                    if (reading.expected > 5u + 255u + 2u) std::abort();
                    result.address_type = reading.address_type;
                    if (result.port == 0) {
                        socks5::parse_bound_address(buffer.data(), reading.expected, proxy_host, result.host,
                                                    result.port);
                        check_bound(buffer, reading, result.host, result.port);
                    }
                }
            }
        }
    } catch (const asynframe::proxy_exception& refusal) {
        result.end = 1;
        result.message = refusal.what();
    } catch (const asynframe::io_exception& refusal) {
        result.end = 1;
        result.message = refusal.what();
    }
    result.used = in.used();
    if (result.end == 1 && result.message.empty()) std::abort();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 4096) return 0;
    // Byte 0: bit 0 credentials offered, bits 1-2 the command; byte 1 cuts the reads.
    const outcome whole = run(data[0], data + 2, size - 2, 0);
    const outcome cut = run(data[0], data + 2, size - 2, data[1] == 0 ? 1 : data[1]);
    if (!(whole == cut)) std::abort();
    return 0;
}
