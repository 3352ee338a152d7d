#include "dns_servers.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "dns_test_support.h"

namespace asynframe::dns_test {
namespace {

using harness::bad_sock;
using harness::bound_udp;
using harness::close_sock;
using harness::sock_t;

constexpr const char* dnsmasq_path = "/usr/sbin/dnsmasq";

sockaddr_in address_of(const char* ip, std::uint16_t port) { return harness::ipv4_address(ip, port); }

// The question name and type of a query, uncompressed as every resolver sends it.
std::string question_of(const std::vector<unsigned char>& bytes, unsigned* type = nullptr) {
    std::string name;
    std::size_t at = 12;
    while (at < bytes.size() && bytes[at] != 0) {
        const std::size_t length = bytes[at++];
        if (at + length > bytes.size()) return {};
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(&bytes[at]), length);
        at += length;
    }
    if (type != nullptr && at + 2 < bytes.size()) *type = static_cast<unsigned>(bytes[at + 1] << 8 | bytes[at + 2]);
    return name;
}

}  // namespace

resolver_env::resolver_env() : port(free_udp_port()) {
    harness::set_env("ASYNFRAME_HOSTS_FILE", folder.write("hosts", "10.9.9.9 listed.af.test\n"));
    harness::set_env("ASYNFRAME_RESOLV_CONF", folder.write("resolv.conf", ""));
    harness::set_env("ASYNFRAME_DNS_PORT", std::to_string(port));
}

void resolver_env::servers(const std::vector<std::string>& addresses) {
    std::string text = "# written by the test\n";
    for (const std::string& a : addresses) text += "nameserver " + a + "\n";
    folder.write("resolv.conf", text);
}

std::uint16_t free_udp_port() {
#if defined(_WIN32)
    // Wine's UDP socket for 127.0.0.1 holds the port on every loopback address.
    const sock_t probe = bound_udp("127.0.0.1", 0);
    if (probe == bad_sock) throw std::runtime_error("no free UDP port");
    const std::uint16_t port = harness::sock_port(probe);
    close_sock(probe);
    return port;
#else
    for (int attempt = 0; attempt < 50; ++attempt) {
        const sock_t first = bound_udp("127.0.0.1", 0);
        if (first == bad_sock) continue;
        const std::uint16_t port = harness::sock_port(first);
        const sock_t second = bound_udp("127.0.0.2", port);
        close_sock(first);
        if (second != bad_sock) {
            close_sock(second);
            return port;
        }
    }
    throw std::runtime_error("no free UDP port");
#endif
}

bool dnsmasq_server::installed() { return harness::program_installed(dnsmasq_path); }

dnsmasq_server::dnsmasq_server(const std::string& folder, std::uint16_t port) {
    {
        // Binary: dnsmasq reads no CR.
        std::ofstream zone(folder + "/zone.hosts", std::ios::binary);
        zone << "10.1.0.1 one.af.test\n10.1.0.2 multi.af.test\n10.1.0.3 multi.af.test\n10.2.0.1 ok.lg.af.test\n"
                "127.0.0.1 loop.af.test\n10.1.0.5 both.af.test\nfd00:af::5 both.af.test\nfd00:af::6 six.af.test\n";
    }
    // dnsmasq is a Linux program on either system: it gets the folder's Linux path.
    const std::string host_folder = harness::host_path(folder);
    std::vector<std::string> args = {dnsmasq_path,
                                     "--keep-in-foreground",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--bind-interfaces",
                                     "--listen-address=127.0.0.1",
                                     "--port=" + std::to_string(port),
                                     "--local=/af.test/",
                                     "--addn-hosts=" + host_folder + "/zone.hosts",
                                     "--cname=alias.af.test,one.af.test",
                                     "--local-ttl=300",
                                     "--pid-file=",
                                     "--log-facility=" + host_folder + "/dnsmasq.log"};
    if (harness::running_as_root()) args.push_back("--user=root");
    _process = std::make_unique<harness::child_process>(dnsmasq_path, args);
    // Ready once it answers a query.
    const sock_t probe = bound_udp("127.0.0.1", 0);
    wire query;
    query.u16(0x4242).u16(0x0100).u16(1).u16(0).u16(0).u16(0).question("one.af.test");
    const sockaddr_in to = address_of("127.0.0.1", port);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!_ok && std::chrono::steady_clock::now() < limit) {
        harness::send_to(probe, query.data(), query.size(), to);
        if (harness::readable(probe, 100)) {
            unsigned char buffer[512];
            _ok = harness::recv_bytes(probe, buffer, sizeof buffer) > 0;
        }
        if (!_process->running()) break;
    }
    close_sock(probe);
}

dnsmasq_server::~dnsmasq_server() = default;

#if defined(_WIN32)

namespace {

constexpr std::size_t relay_header = 7;

}  // namespace

scripted_responder::scripted_responder(std::uint16_t port, policy reply) : _reply(std::move(reply)) {
    _control = bound_udp("127.0.0.1", 0);
    if (_control == bad_sock) throw std::runtime_error("responder cannot bind");
    const std::string script = std::string(ASYNFRAME_SOURCE_DIR) + "/tests/dns/udp_relay.py";
    _relay = std::make_unique<harness::child_process>(
        "/usr/bin/python3",
        std::vector<std::string>{"python3", script, std::to_string(port), std::to_string(harness::sock_port(_control))});
    // Ready once the relay holds its sockets and says so.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < limit && _relay->running()) {
        if (!harness::readable(_control, 100)) continue;
        char byte = 0;
        ready = harness::receive_from(_control, &byte, 1, _relay_address) == 1 && byte == 'R';
    }
    if (!ready) throw std::runtime_error("responder cannot bind (the UDP relay did not start)");
    harness::send_to(_control, "A", 1, _relay_address);
    if (_wake.fd() == bad_sock) throw std::runtime_error("no wake socket");
    _thread = std::thread([this] { serve(); });
}

scripted_responder::~scripted_responder() {
    _wake.notify();
    _thread.join();
    harness::send_to(_control, "Q", 1, _relay_address);
    _relay->stop();
    close_sock(_control);
}

void scripted_responder::send_from(int from, const sockaddr_in& to, const std::vector<unsigned char>& bytes) const {
    std::vector<unsigned char> message(relay_header);
    message[0] = static_cast<unsigned char>(from);
    std::memcpy(&message[1], &to.sin_addr, 4);
    std::memcpy(&message[5], &to.sin_port, 2);
    message.insert(message.end(), bytes.begin(), bytes.end());
    harness::send_to(_control, message.data(), message.size(), _relay_address);
}

void scripted_responder::serve() {
    for (;;) {
        pollfd items[2] = {{_control, POLLIN, 0}, {_wake.fd(), POLLIN, 0}};
        if (harness::poll_socks(items, 2, -1) < 0) continue;
        if (items[1].revents != 0) return;
        unsigned char buffer[relay_header + 1024];
        sockaddr_in relay{};
        const auto n = harness::receive_from(_control, buffer, sizeof buffer, relay);
        if (n < static_cast<harness::io_size>(relay_header + 12) || buffer[0] > 2) continue;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        std::memcpy(&from.sin_addr, &buffer[1], 4);
        std::memcpy(&from.sin_port, &buffer[5], 2);
        received_query query;
        query.server = buffer[0];
        std::memcpy(query.from.bytes, &from, sizeof query.from.bytes);
        query.id = static_cast<std::uint16_t>(buffer[relay_header] << 8 | buffer[relay_header + 1]);
        query.bytes.assign(buffer + relay_header, buffer + n);
        query.name = question_of(query.bytes, &query.type);
        {
            std::lock_guard<std::mutex> guard(_lock);
            _queries.push_back(query);
        }
        for (const datagram& out : _reply(query)) send_from(out.from, from, out.bytes);
    }
}

#else

scripted_responder::scripted_responder(std::uint16_t port, policy reply) : _reply(std::move(reply)) {
    const char* addresses[3] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    for (int i = 0; i < 3; ++i) {
        _sockets[i] = bound_udp(addresses[i], port);
        if (_sockets[i] == bad_sock) throw std::runtime_error("responder cannot bind");
    }
    if (_wake.fd() == bad_sock) throw std::runtime_error("no wake socket");
    _thread = std::thread([this] { serve(); });
}

scripted_responder::~scripted_responder() {
    _wake.notify();
    _thread.join();
    for (const sock_t fd : _sockets) close_sock(fd);
}

void scripted_responder::serve() {
    for (;;) {
        pollfd items[4] = {{_sockets[0], POLLIN, 0}, {_sockets[1], POLLIN, 0}, {_sockets[2], POLLIN, 0},
                           {_wake.fd(), POLLIN, 0}};
        if (harness::poll_socks(items, 4, -1) < 0) continue;
        if (items[3].revents != 0) return;
        for (int i = 0; i < 3; ++i) {
            if (items[i].revents == 0) continue;
            unsigned char buffer[1024];
            sockaddr_in from{};
            const auto n = harness::receive_from(_sockets[i], buffer, sizeof buffer, from);
            if (n < 12) continue;
            received_query query;
            query.server = i;
            std::memcpy(query.from.bytes, &from, sizeof query.from.bytes);
            query.id = static_cast<std::uint16_t>(buffer[0] << 8 | buffer[1]);
            query.bytes.assign(buffer, buffer + n);
            query.name = question_of(query.bytes, &query.type);
            {
                std::lock_guard<std::mutex> guard(_lock);
                _queries.push_back(query);
            }
            for (const datagram& out : _reply(query)) send_from(out.from, from, out.bytes);
        }
    }
}

void scripted_responder::send_from(int from, const sockaddr_in& to, const std::vector<unsigned char>& bytes) const {
    harness::send_to(_sockets[from], bytes.data(), bytes.size(), to);
}

#endif

void scripted_responder::send(int from, const received_query& query, const std::vector<unsigned char>& bytes) const {
    sockaddr_in to{};
    std::memcpy(&to, query.from.bytes, sizeof to);
    send_from(from, to, bytes);
}

std::vector<received_query> scripted_responder::queries(unsigned type) const {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<received_query> out;
    for (const received_query& q : _queries)
        if (q.type == type) out.push_back(q);
    return out;
}

std::size_t scripted_responder::count(const std::string& name, unsigned type) const {
    std::lock_guard<std::mutex> guard(_lock);
    std::size_t n = 0;
    for (const received_query& q : _queries) n += q.name == name && q.type == type;
    return n;
}

std::vector<unsigned char> scripted_responder::reply(const received_query& query, unsigned rcode,
                                                     const std::vector<std::string>& addresses, std::uint32_t ttl,
                                                     int id_delta) {
    const bool six = query.type == 28;
    std::vector<std::string> kept;
    for (const std::string& text : addresses)
        if ((text.find(':') != std::string::npos) == six) kept.push_back(text);
    wire out;
    out.header(static_cast<std::uint16_t>(query.id + id_delta), rcode, 1, static_cast<unsigned>(kept.size()))
        .question(query.name, query.type);
    for (const std::string& text : kept) {
        if (six) {
            unsigned char b[16] = {};
            ::inet_pton(AF_INET6, text.c_str(), b);
            out.pointer(12).rr(28, 1, ttl, 16).aaaa(b);
            continue;
        }
        const sockaddr_in a = address_of(text.c_str(), 0);
        const auto* b = reinterpret_cast<const unsigned char*>(&a.sin_addr);
        out.pointer(12).rr(1, 1, ttl, 4).a(b[0], b[1], b[2], b[3]);
    }
    return out.bytes;
}

scripted_tcp_responder::scripted_tcp_responder(std::uint16_t port, policy reply) : _reply(std::move(reply)) {
    const char* addresses[2] = {"127.0.0.1", "127.0.0.2"};
    for (int i = 0; i < 2; ++i) {
        _listeners[i] = harness::tcp_sock();
#if !defined(_WIN32)
        // On Windows the option would let the bind take a port another socket holds.
        harness::set_sock_option(_listeners[i], SOL_SOCKET, SO_REUSEADDR, 1);
#endif
        const sockaddr_in a = address_of(addresses[i], port);
        if (_listeners[i] == bad_sock || ::bind(_listeners[i], reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(_listeners[i], 16) != 0)
            throw std::runtime_error("TCP responder cannot listen");
    }
    if (_wake.fd() == bad_sock) throw std::runtime_error("no wake socket");
    _thread = std::thread([this] { serve(); });
}

scripted_tcp_responder::~scripted_tcp_responder() {
    _wake.notify();
    _thread.join();
    for (const sock_t fd : _listeners) close_sock(fd);
}

void scripted_tcp_responder::serve() {
    struct connection {
        sock_t fd;
        int server;
        std::vector<unsigned char> in;
    };
    std::vector<connection> open;
    for (;;) {
        std::vector<pollfd> items = {{_wake.fd(), POLLIN, 0}, {_listeners[0], POLLIN, 0}, {_listeners[1], POLLIN, 0}};
        for (const connection& c : open) items.push_back({c.fd, POLLIN, 0});
        if (harness::poll_socks(items.data(), items.size(), -1) < 0) continue;
        if (items[0].revents != 0) break;
        for (int i = 0; i < 2; ++i) {
            if (items[1 + i].revents == 0) continue;
            const sock_t fd = harness::accept_sock(_listeners[i]);
            if (fd == bad_sock) continue;
            ++_accepted;
            open.push_back({fd, i, {}});
        }
        for (std::size_t k = 0; k < items.size() - 3 && k < open.size(); ++k) {
            if (items[3 + k].revents == 0) continue;
            connection& c = open[k];
            unsigned char buffer[1024];
            const auto n = harness::recv_bytes(c.fd, buffer, sizeof buffer);
            if (n <= 0) {
                close_sock(c.fd);
                c.fd = bad_sock;
                continue;
            }
            c.in.insert(c.in.end(), buffer, buffer + n);
            while (c.in.size() >= 2 && c.in.size() >= 2u + (c.in[0] << 8 | c.in[1])) {
                const std::size_t length = static_cast<std::size_t>(c.in[0] << 8 | c.in[1]);
                received_query query;
                query.server = c.server;
                query.bytes.assign(c.in.begin() + 2, c.in.begin() + 2 + static_cast<std::ptrdiff_t>(length));
                c.in.erase(c.in.begin(), c.in.begin() + 2 + static_cast<std::ptrdiff_t>(length));
                if (query.bytes.size() < 12) continue;
                query.id = static_cast<std::uint16_t>(query.bytes[0] << 8 | query.bytes[1]);
                query.name = question_of(query.bytes, &query.type);
                {
                    std::lock_guard<std::mutex> guard(_lock);
                    _queries.push_back(query);
                }
                std::vector<unsigned char> out = _reply(query);
                if (out.empty()) continue;
                out.insert(out.begin(), {static_cast<unsigned char>(out.size() >> 8),
                                         static_cast<unsigned char>(out.size() & 0xFF)});
                (void)!harness::send_bytes(c.fd, out.data(), out.size());
            }
        }
        std::vector<connection> still;
        for (connection& c : open)
            if (c.fd != bad_sock) still.push_back(std::move(c));
        open.swap(still);
    }
    for (const connection& c : open) close_sock(c.fd);
}

std::vector<received_query> scripted_tcp_responder::queries(unsigned type) const {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<received_query> out;
    for (const received_query& q : _queries)
        if (q.type == type) out.push_back(q);
    return out;
}

std::vector<unsigned char> truncated(std::vector<unsigned char> reply) {
    if (reply.size() > 2) reply[2] |= 0x02;
    return reply;
}

}  // namespace asynframe::dns_test
