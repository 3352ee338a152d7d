#include "dns/resolver.h"

#include "dns/dns_local_repository.h"
#include "dns/dns_package.h"
#include "dns/dns_state.h"
#include "dns/ip_parser.h"
#include "dns/request_list.h"
#include "platform/dns.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "platform/wait.h"

namespace asynframe {

resolver::~resolver() {
    stop();
    close_socket();
    close_tcp();
}

void resolver::close_tcp() noexcept {
    for (tcp_exchange& exchange : _tcp)
        if (exchange.fd != platform::invalid_socket) platform::close_socket(exchange.fd);
    _tcp.clear();
    _tcp_count.store(0, std::memory_order_release);
}

void resolver::close_socket() noexcept {
    if (_socket != platform::invalid_socket) platform::close_socket(_socket);
    _socket = platform::invalid_socket;
}

void resolver::reopen() {
    close_socket();
    _timer_period = 1;
    platform::native_handle fd = platform::invalid_socket;
    if (platform::create_udp_socket(fd) != 0) return;
    if (platform::set_nonblocking(fd, true) != 0 || platform::ignore_udp_connection_reset(fd) != 0) {
        platform::close_socket(fd);
        return;
    }
    _socket = fd;
    _last_sweep = platform::tick_count();
}

int resolver::send_query(const std::string& name, std::int32_t id, const std::string& server, int family) {
    std::uint32_t address = 0;
    if (!inet_addr_value(server, address) || address == 0 || _socket == platform::invalid_socket) return -2;
    unsigned char buffer[query_buffer];
    std::uint32_t length = sizeof buffer;
    try {
        dns_package(name, id, family == 6 ? dns_type_aaaa : dns_type_a).encode(buffer, length);
    } catch (const format_exception&) {
        return -2;
    }
    const std::uint32_t error = platform::send_datagram_now(_socket, buffer, length, platform::host_to_net32(address),
                                                            platform::host_to_net16(platform::dns::server_port()));
    if (error == 0) return static_cast<int>(length);
    return error == errors::would_block ? -2 : -1;
}

void resolver::run() {
    // A request may have been submitted before this thread first waits: its
    // event is still set then, and start_pending clears the event before it
    // reads the list, so no request is ever left for the sweep to find.
    for (;;) {
        platform::waitable items[3 + max_tcp_exchanges];
        std::size_t count = 0;
        items[count++] = platform::waitable::of(stop_event());
        items[count++] = platform::waitable::of(_list.request_event());
        std::uint32_t timeout = platform::infinite;
        const std::uint32_t now = platform::tick_count();
        if (ready()) {
            items[count++] = platform::waitable::socket(_socket, platform::waitable::socket_readable);
            const std::uint32_t period = static_cast<std::uint32_t>(_timer_period) * 1000u;
            const std::uint32_t waited = platform::tick_elapsed(_last_sweep, now);
            timeout = waited >= period ? 0 : period - waited;
        }
        {
            // A request whose IPv6 answer is overdue must not wait for the sweep.
            dns_detail::list_guard guard;
            const std::uint32_t grace = _list.next_grace(now);
            if (grace < timeout) timeout = grace;
        }
        for (const tcp_exchange& exchange : _tcp) {
            const bool sending = !exchange.connected || exchange.written < exchange.out.size();
            items[count++] = platform::waitable::socket(
                exchange.fd, sending ? platform::waitable::socket_writable : platform::waitable::socket_readable);
            const std::uint32_t left =
                static_cast<std::int32_t>(exchange.deadline - now) > 0 ? exchange.deadline - now : 0;
            if (left < timeout) timeout = left;
        }
        const int which = platform::wait_any(items, count, timeout);
        if (which == 0) break;
        if (which == 1) {
            dns_detail::list_guard guard;
            if (!ready()) reopen();
            _list.start_pending();
        } else if (which == 2 && ready()) {
            receive();
        } else if (which == platform::wait_failed) {
            // A socket the system closed under us: open a new one with the
            // next request, rather than spin on it. An exchange whose socket
            // failed ends as failed below.
            dns_detail::list_guard guard;
            close_socket();
        }
        // Sweeps keep their pace however busy the socket is.
        const bool sweep_due = ready() && platform::tick_elapsed(_last_sweep, platform::tick_count()) >=
                                              static_cast<std::uint32_t>(_timer_period) * 1000u;
        if (!_tcp.empty()) run_tcp(sweep_due);
        if (sweep_due) {
            _last_sweep = platform::tick_count();
            dns_detail::list_guard guard;
            _list.sweep();
        } else {
            dns_detail::list_guard guard;
            _list.end_graces();
        }
    }
    close_tcp();
    dns_detail::list_guard guard;
    _list.shutdown();
}

void resolver::start_tcp(const std::string& name, int family, const std::string& server, std::uint32_t address) {
    for (const tcp_exchange& exchange : _tcp)
        if (exchange.name == name && exchange.family == family && exchange.server == server) return;  // already asking it
    tcp_exchange exchange;
    exchange.name = name;
    exchange.family = family;
    exchange.server = server;
    exchange.address = address;
    bool started = false;
    {
        dns_detail::list_guard guard;
        started = _tcp.size() < max_tcp_exchanges && _list.current_try(name, family, exchange.id, exchange.deadline);
    }
    if (started) {
        unsigned char query[query_buffer];
        std::uint32_t length = sizeof query;
        try {
            dns_package(name, exchange.id, family == 6 ? dns_type_aaaa : dns_type_a).encode(query, length);
            exchange.out.reserve(length + 2);
            exchange.out.push_back(static_cast<unsigned char>(length >> 8));
            exchange.out.push_back(static_cast<unsigned char>(length & 0xFF));
            exchange.out.insert(exchange.out.end(), query, query + length);
        } catch (const std::exception&) {
            started = false;
        }
    }
    if (started && platform::create_tcp_socket(exchange.fd) == 0) {
        const std::uint32_t error = platform::start_connect_v4(exchange.fd, platform::host_to_net32(address),
                                                               platform::dns::server_port());
        exchange.connected = error == 0;
        started = error == 0 || error == errors::would_block;
        if (started) {
            try {
                _tcp.push_back(std::move(exchange));
                _tcp_count.store(_tcp.size(), std::memory_order_release);
                return;
            } catch (...) {
                started = false;
            }
        }
    } else {
        started = false;
    }
    if (exchange.fd != platform::invalid_socket) platform::close_socket(exchange.fd);
    dns_detail::list_guard guard;
    _list.tcp_failed(name, family, server);
}

resolver::tcp_step resolver::step_tcp(tcp_exchange& exchange) {
    if (!exchange.connected) {
        const std::uint32_t error = platform::finish_connect(exchange.fd);
        if (error == errors::would_block) return tcp_step::waiting;
        if (error != 0) return tcp_step::failed;
        exchange.connected = true;
    }
    while (exchange.written < exchange.out.size()) {
        std::size_t sent = 0;
        const std::uint32_t error = platform::send_stream_now(exchange.fd, exchange.out.data() + exchange.written,
                                                              exchange.out.size() - exchange.written, sent);
        if (error == errors::would_block) return tcp_step::waiting;
        if (error != 0) return tcp_step::failed;
        exchange.written += sent;
    }
    for (;;) {
        // The length prefix says how much to take; nothing past one message.
        std::size_t wanted = 2;
        if (exchange.in.size() >= 2) wanted = 2 + (static_cast<std::size_t>(exchange.in[0]) << 8 | exchange.in[1]);
        if (exchange.in.size() >= wanted) return wanted > 2 ? tcp_step::done : tcp_step::failed;
        const std::size_t at = exchange.in.size();
        exchange.in.resize(wanted);
        std::size_t received = 0;
        const std::uint32_t error =
            platform::receive_stream_now(exchange.fd, exchange.in.data() + at, wanted - at, received);
        exchange.in.resize(at + received);
        if (error == errors::would_block) return tcp_step::waiting;
        if (error != 0 || received == 0) return tcp_step::failed;  // closed before a whole message
    }
}

void resolver::run_tcp(bool drop_unwanted) {
    const std::uint32_t now = platform::tick_count();
    for (std::size_t i = 0; i < _tcp.size();) {
        tcp_exchange& exchange = _tcp[i];
        tcp_step step = tcp_step::failed;
        try {
            step = step_tcp(exchange);
        } catch (...) {
        }
        bool wanted = true;
        if (step == tcp_step::waiting && drop_unwanted) {
            dns_detail::list_guard guard;
            wanted = _list.in_flight(exchange.name, exchange.family);
        }
        if (step == tcp_step::waiting && wanted && static_cast<std::int32_t>(exchange.deadline - now) > 0) {
            ++i;
            continue;
        }
        tcp_exchange ended = std::move(exchange);
        _tcp.erase(_tcp.begin() + static_cast<std::ptrdiff_t>(i));
        _tcp_count.store(_tcp.size(), std::memory_order_release);
        platform::close_socket(ended.fd);
        if (!wanted) continue;
        if (step == tcp_step::done) {
            handle_reply(ended.in.data() + 2, static_cast<std::uint32_t>(ended.in.size() - 2),
                         platform::host_to_net32(ended.address), platform::dns::server_port(), true);
        } else {
            dns_detail::list_guard guard;
            _list.tcp_failed(ended.name, ended.family, ended.server);
        }
    }
}

void resolver::receive() {
    unsigned char buffer[receive_buffer];
    for (;;) {
        std::size_t received = 0;
        platform::socket_address_v4 from;
        if (platform::receive_datagram_now(_socket, buffer, sizeof buffer, received, from) != 0) return;
        if (received == 0) continue;
        handle_reply(buffer, static_cast<std::uint32_t>(received), from.address, platform::net_to_host16(from.port),
                     false);
    }
}

void resolver::handle_reply(const unsigned char* data, std::uint32_t length, std::uint32_t source,
                            std::uint16_t port, bool over_tcp) {
    const adns_answer reply(data, length);
    if (!reply.valid) return;
    char text[16];
    platform::dotted_address(source, text);
    const std::string sender(text);
    // Which of the name's two queries it answers; anything but AAAA is taken
    // for the IPv4 one, as every reply was before IPv6 was asked for.
    const int family = reply.question_type == dns_type_aaaa ? 6 : 4;
    // Only a reply carrying the query's identifier, from a server the query
    // went to, may answer it: anyone else could plant addresses in the cache.
    std::string name;
    {
        dns_detail::list_guard guard;
        const std::string* matched = _list.match_reply(reply.question_name, family,
                                                       static_cast<std::uint16_t>(reply.id & 0xFFFFu), sender, port);
        if (matched == nullptr) return;
        name = *matched;
    }
    if (reply.truncated) {
        // The server had more addresses than one datagram holds: the same
        // question again over TCP, whose reply is never cut. A TCP reply that
        // says it was cut counts as a TCP exchange that failed.
        if (!over_tcp) {
            std::uint32_t address = 0;
            inet_addr_value(sender, address);
            start_tcp(name, family, sender, address);
        } else {
            dns_detail::list_guard guard;
            _list.tcp_failed(name, family, sender);
        }
        return;
    }
    if (reply.rcode == 0) {
        std::vector<cached_address> usable =
            cached_addresses_of(reply.records, family == 6 ? dns_type_aaaa : dns_type_a);
        if (!usable.empty()) {
            std::vector<std::string> addresses;
            addresses.reserve(usable.size());
            for (const cached_address& a : usable) addresses.push_back(a.address);
            // The cache lock is never held with the request-list lock.
            dns_local_repository::instance().store(reply.question_name, usable);
            dns_detail::list_guard guard;
            _list.answer(reply.question_name, family, addresses);
            return;
        }
    }
    if (family == 6 && (reply.rcode == 0 || reply.rcode == 3)) {
        // "No such record" and "no such name" answer the IPv6 question: most
        // names have no IPv6 address, and asking again would only double the
        // queries. The IPv4 query keeps retrying on them as it always has.
        dns_detail::list_guard guard;
        _list.answer(reply.question_name, 6, {});
        return;
    }
    dns_detail::list_guard guard;
    _list.reject(name, family, sender);
}

}  // namespace asynframe
