#include "proxy_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "common/loopback.h"

namespace asynframe::proxy_test {

namespace {

// Held while accounts are checked, made or removed, across test programs.
class account_lock {
public:
    account_lock() : _fd(::open("/tmp/asynframe-test-accounts.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (_fd >= 0) ::flock(_fd, LOCK_EX);
    }
    ~account_lock() {
        if (_fd >= 0) ::close(_fd);  // also lets go of the lock
    }
    account_lock(const account_lock&) = delete;
    account_lock& operator=(const account_lock&) = delete;

private:
    int _fd;
};

// Only letters, digits, '-' and '_': the texts go through a shell.
bool plain(const std::string& text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    return true;
}

std::string run_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace

bool account_exists(const std::string& user) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    return ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

bool account_has_password(const std::string& user) {
    spwd entry{};
    spwd* found = nullptr;
    std::vector<char> buffer(16384);
    return ::getspnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
           found->sp_pwdp != nullptr && found->sp_pwdp[0] == '$';
}

namespace {

// Ready to log in with: without root the shadow entry cannot be read, and the
// account is what there is.
bool account_ready(const std::string& user) {
    return account_exists(user) && (::geteuid() != 0 || account_has_password(user));
}

}  // namespace

bool ensure_account(const std::string& user, const std::string& password) {
    if (account_ready(user)) return true;
    if (::geteuid() != 0 || !plain(user) || !plain(password)) return false;
    account_lock lock;
    if (account_ready(user)) return true;  // made by another program meanwhile
    // Hashed first, so that the account appears with its password in one step.
    const std::string hash = run_output("openssl passwd -6 '" + password + "' 2>/dev/null");
    if (hash.empty() || hash[0] != '$') return false;
    const std::string command = !account_exists(user)
                                    ? "useradd -M -s /usr/sbin/nologin -p '" + hash + "' " + user
                                    : "usermod -p '" + hash + "' " + user;
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0 && account_ready(user);
}

void remove_account(const std::string& user) {
    if (::geteuid() != 0 || !plain(user)) return;
    account_lock lock;
    (void)!std::system(("userdel " + user + " >/dev/null 2>&1").c_str());
}

bool add_account_without_password(const std::string& user) {
    if (::geteuid() != 0 || !plain(user)) return false;
    account_lock lock;
    return std::system(("useradd -M -s /usr/sbin/nologin " + user + " >/dev/null 2>&1").c_str()) == 0;
}

bool ensure_socks_user() { return ensure_account(socks_user, socks_password); }

bool danted_server::installed() { return harness::program_installed("/usr/sbin/danted"); }

danted_server::danted_server(const std::string& folder, std::uint16_t port, bool authenticate, bool ipv6) {
    const std::string config = folder + "/danted-" + std::to_string(port) + ".conf";
    {
        std::ofstream out(config);
        out << "logoutput: " << folder << "/danted-" << port << ".log\n"
            << "internal: 127.0.0.1 port = " << port << "\n"
            << "external: 127.0.0.1\n";
        // "0/0" is any address of either family.
        const char* any = "0.0.0.0/0";
        if (ipv6) {
            out << "internal: ::1 port = " << port << "\n"
                << "external: ::1\n";
            any = "0/0";
        }
        out << "clientmethod: none\n"
            << "socksmethod: " << (authenticate ? "username" : "none") << "\n"
            << "user.privileged: root\n"
            << "user.unprivileged: nobody\n"
            << "client pass { from: " << any << " to: " << any << " }\n"
            << "socks pass { from: " << any << " to: " << any
            << " command: bind connect udpassociate bindreply udpreply }\n";
    }
    _process = std::make_unique<harness::child_process>(
        "/usr/sbin/danted", std::vector<std::string>{"danted", "-f", config, "-p", config + ".pid"});
    _ok = harness::wait_for_tcp(port, *_process);
}

bool tinyproxy_server::installed() { return harness::program_installed("/usr/bin/tinyproxy"); }

tinyproxy_server::tinyproxy_server(const std::string& folder, std::uint16_t port, const std::string& user,
                                   const std::string& password) {
    const std::string config = folder + "/tinyproxy-" + std::to_string(port) + ".conf";
    {
        std::ofstream out(config);
        out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\n"
            << "LogLevel Critical\n";
        if (::geteuid() == 0) out << "User nobody\nGroup nogroup\n";
        if (!user.empty()) out << "BasicAuth " << user << " " << password << "\n";
    }
    _process = std::make_unique<harness::child_process>("/usr/bin/tinyproxy",
                                                        std::vector<std::string>{"tinyproxy", "-d", "-c", config});
    _ok = harness::wait_for_tcp(port, *_process);
}

// ---- scripted peers ------------------------------------------------------------------------

namespace {

// A socket of `type` on ::1 with a kernel-chosen port (listening for TCP).
int ipv6_loopback_socket(int type) {
    const int fd = harness::must(::socket(AF_INET6, type | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    harness::must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    if (type == SOCK_STREAM) harness::must(::listen(fd, 16), "listen");
    return fd;
}

std::uint16_t any_local_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

scripted_tcp_server::scripted_tcp_server(script each, bool ipv6) : _script(std::move(each)) {
    _listener = ipv6 ? ipv6_loopback_socket(SOCK_STREAM) : harness::make_listener();
    _port = any_local_port(_listener);
    if (::pipe2(_wake, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    _thread = std::thread([this] { serve(); });
}

scripted_tcp_server::~scripted_tcp_server() {
    const char stop = 1;
    (void)!::write(_wake[1], &stop, 1);
    _thread.join();
    for (std::thread& worker : _workers) worker.join();
    ::close(_listener);
    ::close(_wake[0]);
    ::close(_wake[1]);
}

void scripted_tcp_server::serve() {
    for (;;) {
        pollfd items[2] = {{_listener, POLLIN, 0}, {_wake[0], POLLIN, 0}};
        if (::poll(items, 2, -1) < 0) continue;
        if (items[1].revents != 0) return;
        const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++_connections;
        _workers.emplace_back([this, fd] {
            _script(fd);
            ::close(fd);
        });
    }
}

bool read_exactly(int fd, void* data, std::size_t size, int timeout_ms) {
    auto* out = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, timeout_ms) != 1) return false;
        const ssize_t n = ::recv(fd, out, size, 0);
        if (n <= 0) return false;
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, const void* data, std::size_t size) {
    return harness::send_all(fd, static_cast<const std::uint8_t*>(data), size);
}

void drain(int fd, int timeout_ms) {
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, timeout_ms) != 1) return;
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
    }
}

std::unique_ptr<scripted_tcp_server> echo_server(bool ipv6) {
    return std::make_unique<scripted_tcp_server>(
        [](int fd) {
        char buffer[4096];
        for (;;) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 10000) != 1) return;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !write_all(fd, buffer, static_cast<std::size_t>(n))) return;
        }
        },
        ipv6);
}

std::unique_ptr<scripted_tcp_server> http_site() {
    return std::make_unique<scripted_tcp_server>([](int fd) {
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 5000) != 1) return;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        write_all(fd, answer.data(), answer.size());
    });
}

udp_echo::udp_echo(bool ipv6) {
    _fd = ipv6 ? ipv6_loopback_socket(SOCK_DGRAM) : harness::make_udp();
    _port = any_local_port(_fd);
    if (::pipe2(_wake, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    _thread = std::thread([this] {
        for (;;) {
            pollfd items[2] = {{_fd, POLLIN, 0}, {_wake[0], POLLIN, 0}};
            if (::poll(items, 2, -1) < 0) continue;
            if (items[1].revents != 0) return;
            char buffer[2048];
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n =
                ::recvfrom(_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n >= 0)
                ::sendto(_fd, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    });
}

udp_echo::~udp_echo() {
    const char stop = 1;
    (void)!::write(_wake[1], &stop, 1);
    _thread.join();
    ::close(_fd);
    ::close(_wake[0]);
    ::close(_wake[1]);
}

}  // namespace asynframe::proxy_test
