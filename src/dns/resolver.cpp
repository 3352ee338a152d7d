#include "dns/resolver.h"

#include "dns/dns_local_repository.h"
#include "dns/dns_package.h"
#include "dns/ip_parser.h"
#include "dns/request_list.h"
#include "platform/dns.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "platform/wait.h"

namespace asynframe {

namespace {
constexpr std::uint32_t would_block = 10035;
}

resolver::~resolver() {
    stop();
    close_socket();
}

void resolver::close_socket() noexcept {
    if (_socket >= 0) platform::close_socket(_socket);
    _socket = -1;
}

void resolver::reopen() {
    close_socket();
    _timer_period = 1;
    int fd = platform::invalid_socket;
    if (platform::create_udp_socket(fd) != 0) return;
    if (platform::set_nonblocking(fd, true) != 0 || platform::ignore_udp_connection_reset(fd) != 0) {
        platform::close_socket(fd);
        return;
    }
    _socket = fd;
    _last_sweep = platform::tick_count();
}

int resolver::send_query(const std::string& name, std::int32_t id, const std::string& server) {
    std::uint32_t address = 0;
    if (!inet_addr_value(server, address) || address == 0 || _socket < 0) return -2;
    unsigned char buffer[query_buffer];
    std::uint32_t length = sizeof buffer;
    try {
        dns_package(name, id).encode(buffer, length);
    } catch (const format_exception&) {
        return -2;
    }
    const std::uint32_t error = platform::send_datagram_now(_socket, buffer, length, platform::host_to_net32(address),
                                                            platform::host_to_net16(platform::dns::server_port()));
    if (error == 0) return static_cast<int>(length);
    return error == would_block ? -2 : -1;
}

void resolver::run() {
    for (;;) {
        platform::waitable items[3];
        std::size_t count = 0;
        items[count++] = platform::waitable::of(stop_event());
        items[count++] = platform::waitable::of(_list.request_event());
        std::uint32_t timeout = platform::infinite;
        if (ready()) {
            items[count++] = platform::waitable::socket(_socket, platform::waitable::socket_readable);
            const std::uint32_t period = static_cast<std::uint32_t>(_timer_period) * 1000u;
            const std::uint32_t waited = platform::tick_elapsed(_last_sweep, platform::tick_count());
            timeout = waited >= period ? 0 : period - waited;
        }
        const int which = platform::wait_any(items, count, timeout);
        if (which == 0) break;
        if (which == 1) {
            dns_detail::list_guard guard;
            if (!ready()) reopen();
            _list.start_pending();
        } else if (which == 2) {
            receive();
        } else if (which == platform::wait_failed) {
            // A socket the system closed under us: open a new one with the
            // next request, rather than spin on it.
            dns_detail::list_guard guard;
            close_socket();
            continue;
        }
        // Sweeps keep their pace however busy the socket is.
        if (ready() && platform::tick_elapsed(_last_sweep, platform::tick_count()) >=
                           static_cast<std::uint32_t>(_timer_period) * 1000u) {
            _last_sweep = platform::tick_count();
            dns_detail::list_guard guard;
            _list.sweep();
        }
    }
    dns_detail::list_guard guard;
    _list.shutdown();
}

void resolver::receive() {
    unsigned char buffer[receive_buffer];
    for (;;) {
        std::size_t received = 0;
        platform::socket_address_v4 from;
        if (platform::receive_datagram_now(_socket, buffer, sizeof buffer, received, from) != 0) return;
        if (received == 0) continue;
        handle_reply(buffer, static_cast<std::uint32_t>(received), from.address, platform::net_to_host16(from.port));
    }
}

void resolver::handle_reply(const unsigned char* data, std::uint32_t length, std::uint32_t source,
                            std::uint16_t port) {
    const adns_answer reply(data, length);
    if (!reply.valid) return;
    char text[16];
    platform::dotted_address(source, text);
    const std::string sender(text);
    // Only a reply carrying the query's identifier, from a server the query
    // went to, may answer it: anyone else could plant addresses in the cache.
    std::string name;
    {
        dns_detail::list_guard guard;
        const std::string* matched =
            _list.match_reply(reply.question_name, static_cast<std::uint16_t>(reply.id & 0xFFFFu), sender, port);
        if (matched == nullptr) return;
        name = *matched;
    }
    if (reply.rcode == 0) {
        std::vector<cached_address> usable = cached_addresses_of(reply.records);
        if (!usable.empty()) {
            std::vector<std::string> addresses;
            addresses.reserve(usable.size());
            for (const cached_address& a : usable) addresses.push_back(a.address);
            // The cache lock is never held with the request-list lock.
            dns_local_repository::instance().store(reply.question_name, usable);
            dns_detail::list_guard guard;
            _list.answer(reply.question_name, addresses);
            return;
        }
    }
    dns_detail::list_guard guard;
    _list.reject(name, sender);
}

}  // namespace asynframe
