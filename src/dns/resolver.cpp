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
    close_sockets();
    close_tcp();
}

void resolver::close_tcp() noexcept {
    for (tcp_exchange& exchange : _tcp)
        if (exchange.fd != platform::invalid_socket) platform::close_socket(exchange.fd);
    _tcp.clear();
    _tcp_count.store(0, std::memory_order_release);
}

void resolver::close_retired() noexcept {
    for (const platform::native_handle fd : _retired) platform::close_socket(fd);
    _retired.clear();
}

void resolver::close_sockets() noexcept {
    close_retired();
    for (server_socket& server : _servers) platform::close_socket(server.fd);
    _servers.clear();
    _server_count.store(0, std::memory_order_release);
    _ready = false;
}

void resolver::reopen() {
    close_sockets();
    _timer_period = 1;
    // The servers' sockets are made as queries first go to them.
    _ready = true;
    _last_sweep = platform::tick_count();
}

resolver::server_socket* resolver::socket_for(std::uint32_t address, std::uint16_t port, std::uint32_t& error) {
    error = 0;
    for (server_socket& server : _servers)
        if (server.address == address && server.port == port) return &server;
    if (_servers.size() >= max_server_sockets) {
        // The one used longest ago makes room; a reply still on its way to
        // it is lost, and its query counts as unanswered.
        std::size_t oldest = 0;
        const std::uint32_t now = platform::tick_count();
        for (std::size_t i = 1; i < _servers.size(); ++i)
            if (platform::tick_elapsed(_servers[i].last_send, now) > platform::tick_elapsed(_servers[oldest].last_send, now))
                oldest = i;
        try {
            _retired.push_back(_servers[oldest].fd);
        } catch (const std::bad_alloc&) {
            error = errors::not_enough_memory;
            return nullptr;
        }
        _servers.erase(_servers.begin() + static_cast<std::ptrdiff_t>(oldest));
        _server_count.store(_servers.size(), std::memory_order_release);
    }
    server_socket made;
    made.address = address;
    made.port = port;
    made.last_send = platform::tick_count();
    error = platform::create_udp_socket(made.fd);
    if (error == 0) error = platform::set_nonblocking(made.fd, true);
    // Connected, the socket takes replies from this server only and hears the
    // ICMP answers to its queries: a closed port refuses, an unroutable
    // server fails the connect itself.
    if (error == 0) error = platform::connect_datagram_v4(made.fd, address, port);
    if (error == 0) {
        try {
            _servers.push_back(made);
            _server_count.store(_servers.size(), std::memory_order_release);
            // Made on another thread (a query started by its submitter or a
            // system lookup's retry): this thread's wait must take it in
            // before its replies can be read.
            if (!in_thread()) _list.request_event().set();
            return &_servers.back();
        } catch (const std::bad_alloc&) {
            error = errors::not_enough_memory;
        }
    }
    if (made.fd != platform::invalid_socket) platform::close_socket(made.fd);
    return nullptr;
}

void resolver::close_idle_sockets() noexcept {
    const std::uint32_t now = platform::tick_count();
    for (std::size_t i = 0; i < _servers.size();) {
        if (platform::tick_elapsed(_servers[i].last_send, now) < idle_socket_limit) {
            ++i;
            continue;
        }
        platform::close_socket(_servers[i].fd);
        _servers.erase(_servers.begin() + static_cast<std::ptrdiff_t>(i));
    }
    _server_count.store(_servers.size(), std::memory_order_release);
}

int resolver::send_query(const std::string& name, std::int32_t id, const std::string& server, int family) {
    std::uint32_t address = 0;
    if (!inet_addr_value(server, address) || address == 0 || !_ready) return -2;
    unsigned char buffer[query_buffer];
    std::uint32_t length = sizeof buffer;
    try {
        dns_package(name, id, family == 6 ? dns_type_aaaa : dns_type_a).encode(buffer, length);
    } catch (const format_exception&) {
        return -2;
    }
    std::uint32_t error = 0;
    server_socket* socket = socket_for(platform::host_to_net32(address), platform::dns::server_port(), error);
    if (socket == nullptr) return platform::peer_unreachable(error) ? refused_now : -1;
    error = platform::send_connected_datagram_now(socket->fd, buffer, length);
    // A refusal the socket heard for an earlier query is reported by this
    // send and so taken: this query goes out with the next one.
    if (platform::peer_refused(error)) error = platform::send_connected_datagram_now(socket->fd, buffer, length);
    if (error == 0) {
        socket->last_send = platform::tick_count();
        return static_cast<int>(length);
    }
    if (error == errors::would_block) return -2;
    return platform::peer_refused(error) || platform::peer_unreachable(error) ? refused_now : -1;
}

void resolver::run() {
    // A request may have been submitted before this thread first waits: its
    // event is still set then, and start_pending clears the event before it
    // reads the list, so no request is ever left for the sweep to find.
    bool swept = true;  // the last turn's graces are seen to
    for (;;) {
        platform::waitable items[2 + max_server_sockets + max_tcp_exchanges];
        std::size_t count = 0;
        items[count++] = platform::waitable::of(stop_event());
        items[count++] = platform::waitable::of(_list.request_event());
        std::uint32_t timeout = platform::infinite;
        const std::uint32_t now = platform::tick_count();
        const std::size_t first_server = count;
        if (ready()) {
            const std::uint32_t period = static_cast<std::uint32_t>(_timer_period) * 1000u;
            const std::uint32_t waited = platform::tick_elapsed(_last_sweep, now);
            timeout = waited >= period ? 0 : period - waited;
        }
        {
            // The servers' sockets change under this lock (a submitter or a
            // system lookup's thread may send to a server not asked before).
            // One taking of it per turn: a submitter sending its queries
            // holds it, and this thread would wait for it at each.
            dns_detail::list_guard guard;
            // Sockets evicted during the last turn: no wait is on them now.
            close_retired();
            // Requests whose IPv6 answer became overdue during the last turn.
            if (!swept) _list.end_graces();
            if (ready())
                for (const server_socket& server : _servers)
                    items[count++] = platform::waitable::socket(server.fd, platform::waitable::socket_readable);
            // A request whose IPv6 answer is overdue must not wait for the sweep.
            const std::uint32_t grace = _list.next_grace(now);
            if (grace < timeout) timeout = grace;
        }
        const std::size_t servers_end = count;
        for (const tcp_exchange& exchange : _tcp) {
            const bool sending = !exchange.connected || exchange.written < exchange.out.size();
            items[count++] = platform::waitable::socket(
                exchange.fd, sending ? platform::waitable::socket_writable : platform::waitable::socket_readable);
            const std::uint32_t left =
                static_cast<std::int32_t>(exchange.deadline - now) > 0 ? exchange.deadline - now : 0;
            if (left < timeout) timeout = left;
        }
        const int which = platform::wait_any(items, count, timeout);
        swept = false;
        if (which == 0) break;
        if (which == 1) {
            dns_detail::list_guard guard;
            if (!ready()) reopen();
            _list.start_pending();
        } else if (which >= 0 && static_cast<std::size_t>(which) >= first_server &&
                   static_cast<std::size_t>(which) < servers_end) {
            receive(static_cast<std::size_t>(which) - first_server);
        } else if (which == platform::wait_failed) {
            // A socket the system closed under us: open new ones with the
            // next request, rather than spin on it. An exchange whose socket
            // failed ends as failed below.
            dns_detail::list_guard guard;
            close_sockets();
        }
        // Sweeps keep their pace however busy the sockets are.
        const bool sweep_due = ready() && platform::tick_elapsed(_last_sweep, platform::tick_count()) >=
                                              static_cast<std::uint32_t>(_timer_period) * 1000u;
        if (!_tcp.empty()) run_tcp(sweep_due);
        if (sweep_due) {
            _last_sweep = platform::tick_count();
            dns_detail::list_guard guard;
            _list.sweep();
            close_idle_sockets();
            swept = true;
        }
    }
    close_tcp();
    dns_detail::list_guard guard;
    // No query leaves from a submitter's thread any more.
    _ready = false;
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

void resolver::receive(std::size_t index) {
    // A name's two replies often wait together; a batch that comes back
    // short says the socket is drained, with no receive to hear it would block.
    constexpr std::size_t batch = 4;
    unsigned char buffers[batch][receive_buffer];
    platform::datagram_buffer slots[batch];
    for (std::size_t i = 0; i < batch; ++i) slots[i] = platform::datagram_buffer{buffers[i], receive_buffer, 0};
    server_socket server;
    {
        dns_detail::list_guard guard;
        if (index >= _servers.size()) return;
        server = _servers[index];
    }
    char text[16];
    platform::dotted_address(server.address, text);
    for (;;) {
        std::size_t taken = 0;
        std::uint32_t error = 0;
        {
            // A query sent meanwhile to a server not asked before may have
            // closed this socket to make room: only this server's is read.
            dns_detail::list_guard guard;
            if (index >= _servers.size() || _servers[index].fd != server.fd || _servers[index].address != server.address)
                return;
            error = platform::receive_connected_datagrams_now(server.fd, slots, batch, taken);
        }
        if (platform::peer_refused(error) || platform::peer_unreachable(error)) {
            // The system's answer to a query sent there: the port is closed,
            // or the server cannot be reached. It counts as that server's
            // answer to every query waiting for it. The socket goes (no reply
            // comes from a closed port, and some systems keep reporting the
            // refusal); the next query to the server makes a new one.
            dns_detail::list_guard guard;
            if (index < _servers.size() && _servers[index].fd == server.fd) {
                platform::close_socket(server.fd);
                _servers.erase(_servers.begin() + static_cast<std::ptrdiff_t>(index));
                _server_count.store(_servers.size(), std::memory_order_release);
            }
            _list.refused(text);
            return;
        }
        if (error != 0) return;
        for (std::size_t i = 0; i < taken; ++i)
            if (slots[i].received != 0)
                handle_reply(buffers[i], static_cast<std::uint32_t>(slots[i].received), server.address, server.port,
                             false);
        if (taken < batch) return;
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
