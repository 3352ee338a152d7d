#include "dns_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "dns_test_support.h"

namespace asynframe::dns_test {
namespace {

constexpr const char* dnsmasq_path = "/usr/sbin/dnsmasq";

sockaddr_in address_of(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

int bound_udp(const char* ip, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in a = address_of(ip, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

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
    ::setenv("ASYNFRAME_HOSTS_FILE", folder.write("hosts", "10.9.9.9 listed.af.test\n").c_str(), 1);
    ::setenv("ASYNFRAME_RESOLV_CONF", folder.write("resolv.conf", "").c_str(), 1);
    ::setenv("ASYNFRAME_DNS_PORT", std::to_string(port).c_str(), 1);
}

void resolver_env::servers(const std::vector<std::string>& addresses) {
    std::string text = "# written by the test\n";
    for (const std::string& a : addresses) text += "nameserver " + a + "\n";
    folder.write("resolv.conf", text);
}

std::uint16_t free_udp_port() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int first = bound_udp("127.0.0.1", 0);
        if (first < 0) continue;
        sockaddr_in a{};
        socklen_t length = sizeof a;
        ::getsockname(first, reinterpret_cast<sockaddr*>(&a), &length);
        const std::uint16_t port = ntohs(a.sin_port);
        const int second = bound_udp("127.0.0.2", port);
        ::close(first);
        if (second >= 0) {
            ::close(second);
            return port;
        }
    }
    throw std::runtime_error("no free UDP port");
}

bool dnsmasq_server::installed() { return ::access(dnsmasq_path, X_OK) == 0; }

dnsmasq_server::dnsmasq_server(const std::string& folder, std::uint16_t port) {
    {
        std::ofstream zone(folder + "/zone.hosts");
        zone << "10.1.0.1 one.af.test\n10.1.0.2 multi.af.test\n10.1.0.3 multi.af.test\n10.2.0.1 ok.lg.af.test\n"
                "127.0.0.1 loop.af.test\n10.1.0.5 both.af.test\nfd00:af::5 both.af.test\nfd00:af::6 six.af.test\n";
    }
    std::vector<std::string> args = {dnsmasq_path,
                                     "--keep-in-foreground",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--bind-interfaces",
                                     "--listen-address=127.0.0.1",
                                     "--port=" + std::to_string(port),
                                     "--local=/af.test/",
                                     "--addn-hosts=" + folder + "/zone.hosts",
                                     "--cname=alias.af.test,one.af.test",
                                     "--local-ttl=300",
                                     "--pid-file=",
                                     "--log-facility=" + folder + "/dnsmasq.log"};
    if (::geteuid() == 0) args.push_back("--user=root");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    _pid = ::fork();
    if (_pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(dnsmasq_path, argv.data());
        ::_exit(127);
    }
    if (_pid < 0) return;
    // Ready once it answers a query.
    const int probe = bound_udp("127.0.0.1", 0);
    wire query;
    query.u16(0x4242).u16(0x0100).u16(1).u16(0).u16(0).u16(0).question("one.af.test");
    const sockaddr_in to = address_of("127.0.0.1", port);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!_ok && std::chrono::steady_clock::now() < limit) {
        ::sendto(probe, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        pollfd p{probe, POLLIN, 0};
        if (::poll(&p, 1, 100) == 1) {
            unsigned char buffer[512];
            _ok = ::recv(probe, buffer, sizeof buffer, 0) > 0;
        }
        if (::waitpid(_pid, nullptr, WNOHANG) == _pid) {
            _pid = -1;
            break;
        }
    }
    ::close(probe);
}

dnsmasq_server::~dnsmasq_server() {
    if (_pid <= 0) return;
    ::kill(_pid, SIGTERM);
    ::waitpid(_pid, nullptr, 0);
}

scripted_responder::scripted_responder(std::uint16_t port, policy reply) : _reply(std::move(reply)) {
    const char* addresses[3] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    for (int i = 0; i < 3; ++i) {
        _sockets[i] = bound_udp(addresses[i], port);
        if (_sockets[i] < 0) throw std::runtime_error("responder cannot bind");
    }
    if (::pipe2(_wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    _thread = std::thread([this] { serve(); });
}

scripted_responder::~scripted_responder() {
    const char stop = 1;
    (void)!::write(_wake[1], &stop, 1);
    _thread.join();
    for (int fd : _sockets) ::close(fd);
    ::close(_wake[0]);
    ::close(_wake[1]);
}

void scripted_responder::serve() {
    for (;;) {
        pollfd items[4] = {{_sockets[0], POLLIN, 0}, {_sockets[1], POLLIN, 0}, {_sockets[2], POLLIN, 0},
                           {_wake[0], POLLIN, 0}};
        if (::poll(items, 4, -1) < 0) continue;
        if (items[3].revents != 0) return;
        for (int i = 0; i < 3; ++i) {
            if (items[i].revents == 0) continue;
            unsigned char buffer[1024];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n =
                ::recvfrom(_sockets[i], buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
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
            for (const datagram& out : _reply(query))
                ::sendto(_sockets[out.from], out.bytes.data(), out.bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&from), length);
        }
    }
}

void scripted_responder::send(int from, const received_query& query, const std::vector<unsigned char>& bytes) const {
    sockaddr_in to{};
    std::memcpy(&to, query.from.bytes, sizeof to);
    ::sendto(_sockets[from], bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
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
        in_addr a{};
        ::inet_pton(AF_INET, text.c_str(), &a);
        const auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
        out.pointer(12).rr(1, 1, ttl, 4).a(b[0], b[1], b[2], b[3]);
    }
    return out.bytes;
}

scripted_tcp_responder::scripted_tcp_responder(std::uint16_t port, policy reply) : _reply(std::move(reply)) {
    const char* addresses[2] = {"127.0.0.1", "127.0.0.2"};
    for (int i = 0; i < 2; ++i) {
        _listeners[i] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(_listeners[i], SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = address_of(addresses[i], port);
        if (_listeners[i] < 0 || ::bind(_listeners[i], reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(_listeners[i], 16) != 0)
            throw std::runtime_error("TCP responder cannot listen");
    }
    if (::pipe2(_wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    _thread = std::thread([this] { serve(); });
}

scripted_tcp_responder::~scripted_tcp_responder() {
    const char stop = 1;
    (void)!::write(_wake[1], &stop, 1);
    _thread.join();
    for (int fd : _listeners) ::close(fd);
    ::close(_wake[0]);
    ::close(_wake[1]);
}

void scripted_tcp_responder::serve() {
    struct connection {
        int fd;
        int server;
        std::vector<unsigned char> in;
    };
    std::vector<connection> open;
    for (;;) {
        std::vector<pollfd> items = {{_wake[0], POLLIN, 0}, {_listeners[0], POLLIN, 0}, {_listeners[1], POLLIN, 0}};
        for (const connection& c : open) items.push_back({c.fd, POLLIN, 0});
        if (::poll(items.data(), items.size(), -1) < 0) continue;
        if (items[0].revents != 0) break;
        for (int i = 0; i < 2; ++i) {
            if (items[1 + i].revents == 0) continue;
            const int fd = ::accept4(_listeners[i], nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++_accepted;
            open.push_back({fd, i, {}});
        }
        for (std::size_t k = 0; k < items.size() - 3 && k < open.size(); ++k) {
            if (items[3 + k].revents == 0) continue;
            connection& c = open[k];
            unsigned char buffer[1024];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(c.fd);
                c.fd = -1;
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
                (void)!::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
        std::vector<connection> still;
        for (connection& c : open)
            if (c.fd >= 0) still.push_back(std::move(c));
        open.swap(still);
    }
    for (const connection& c : open) ::close(c.fd);
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
