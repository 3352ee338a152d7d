#include "proxy_servers.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace asynframe::proxy_test {

using harness::bad_sock;
using harness::sock_t;

namespace {

constexpr const char* account_lock_file = "/tmp/asynframe-test-accounts.lock";

#if defined(_WIN32)
// Held while accounts are checked, made or removed, across test programs (the
// Linux ones too): a flock(1) holding the same lock file until told to let go.
class account_lock {
public:
    account_lock() {
        const std::string base = harness::make_temp_folder("asynframe-lock");
        if (base.empty()) return;
        _folder = base;
        const std::string folder = harness::shell_quote(harness::host_path(base));
        // The holder takes its folder away when it lets go.
        const std::string hold = "touch " + folder + "/held; while [ ! -e " + folder +
                                 "/free ]; do sleep 0.02; done; rm -rf " + folder;
        harness::start_shell("flock " + harness::shell_quote(account_lock_file) + " sh -c " +
                             harness::shell_quote(hold));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!std::filesystem::exists(_folder + "/held") && std::chrono::steady_clock::now() < end)
            harness::sleep_ms(10);
    }
    ~account_lock() {
        if (!_folder.empty()) std::ofstream(_folder + "/free") << "\n";
    }
    account_lock(const account_lock&) = delete;
    account_lock& operator=(const account_lock&) = delete;

private:
    std::string _folder;
};
#else
// Held while accounts are checked, made or removed, across test programs.
class account_lock {
public:
    account_lock() : _fd(::open(account_lock_file, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
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
#endif

// Only letters, digits, '-' and '_': the texts go through a shell.
bool plain(const std::string& text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    return true;
}

std::string run_output(const std::string& command) {
    std::string out;
#if defined(_WIN32)
    const std::string folder = harness::make_temp_folder("asynframe-output");
    if (folder.empty()) return out;
    harness::run_shell(command + " > " + harness::shell_quote(harness::host_path(folder) + "/out"));
    {
        std::ifstream in(folder + "/out");
        std::stringstream text;
        text << in.rdbuf();
        out = text.str();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
#else
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
        ::pclose(pipe);
    }
#endif
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace

#if defined(_WIN32)
namespace {

// The field after the name in a line "name:field:..." of a Linux account file.
bool account_line(const char* file, const std::string& user, std::string& field) {
    std::ifstream in(std::string("Z:") + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, user.size() + 1, user + ":") != 0) continue;
        const std::size_t end = line.find(':', user.size() + 1);
        field = line.substr(user.size() + 1, end == std::string::npos ? std::string::npos : end - user.size() - 1);
        return true;
    }
    return false;
}

}  // namespace

bool account_exists(const std::string& user) {
    std::string ignored;
    return account_line("/etc/passwd", user, ignored);
}

bool account_has_password(const std::string& user) {
    std::string hash;
    return account_line("/etc/shadow", user, hash) && !hash.empty() && hash[0] == '$';
}
#else
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
#endif

namespace {

// Ready to log in with: without root the shadow entry cannot be read, and the
// account is what there is.
bool account_ready(const std::string& user) {
    return account_exists(user) && (!harness::running_as_root() || account_has_password(user));
}

}  // namespace

bool ensure_account(const std::string& user, const std::string& password) {
    if (account_ready(user)) return true;
    if (!harness::running_as_root() || !plain(user) || !plain(password)) return false;
    account_lock lock;
    if (account_ready(user)) return true;  // made by another program meanwhile
    // Hashed first, so that the account appears with its password in one step.
    const std::string hash = run_output("openssl passwd -6 '" + password + "' 2>/dev/null");
    if (hash.empty() || hash[0] != '$') return false;
    const std::string command = !account_exists(user)
                                    ? "useradd -M -s /usr/sbin/nologin -p '" + hash + "' " + user
                                    : "usermod -p '" + hash + "' " + user;
    return harness::run_shell(command + " >/dev/null 2>&1") == 0 && account_ready(user);
}

void remove_account(const std::string& user) {
    if (!harness::running_as_root() || !plain(user)) return;
    account_lock lock;
    harness::run_shell("userdel " + user + " >/dev/null 2>&1");
}

bool add_account_without_password(const std::string& user) {
    if (!harness::running_as_root() || !plain(user)) return false;
    account_lock lock;
    return harness::run_shell("useradd -M -s /usr/sbin/nologin " + user + " >/dev/null 2>&1") == 0;
}

bool ensure_socks_user() { return ensure_account(socks_user, socks_password); }

bool danted_server::installed() { return harness::program_installed("/usr/sbin/danted"); }

danted_server::danted_server(const std::string& folder, std::uint16_t port, bool authenticate, bool ipv6) {
    // The peers are Linux programs: the files they read are named by Linux paths.
    const std::string host_folder = harness::host_path(folder);
    const std::string config = host_folder + "/danted-" + std::to_string(port) + ".conf";
    {
        // Binary: the Linux peer reads no CR.
        std::ofstream out(folder + "/danted-" + std::to_string(port) + ".conf", std::ios::binary);
        out << "logoutput: " << host_folder << "/danted-" << port << ".log\n"
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
    const std::string config = harness::host_path(folder) + "/tinyproxy-" + std::to_string(port) + ".conf";
    {
        std::ofstream out(folder + "/tinyproxy-" + std::to_string(port) + ".conf", std::ios::binary);
        out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\n"
            << "LogLevel Critical\n";
        if (harness::running_as_root()) out << "User nobody\nGroup nogroup\n";
        if (!user.empty()) out << "BasicAuth " << user << " " << password << "\n";
    }
    _process = std::make_unique<harness::child_process>("/usr/bin/tinyproxy",
                                                        std::vector<std::string>{"tinyproxy", "-d", "-c", config});
    _ok = harness::wait_for_tcp(port, *_process);
}

// ---- scripted peers ------------------------------------------------------------------------

scripted_tcp_server::scripted_tcp_server(script each, bool ipv6) : _script(std::move(each)) {
    // On ::1 with a port the system picks.
    if (ipv6) {
        _listener = harness::ipv6_loopback_sock(SOCK_STREAM);
        if (_listener != bad_sock) _port = harness::sock_port(_listener);
    } else {
        _listener = harness::tcp_listener(_port);
    }
    if (_listener == bad_sock) ADD_FAILURE() << "listener";
    if (_wake.fd() == bad_sock) ADD_FAILURE() << "wake socket";
    _thread = std::thread([this] { serve(); });
}

scripted_tcp_server::~scripted_tcp_server() {
    _wake.notify();
    _thread.join();
    for (std::thread& worker : _workers) worker.join();
    harness::close_sock(_listener);
}

void scripted_tcp_server::serve() {
    for (;;) {
        pollfd items[2] = {{_listener, POLLIN, 0}, {_wake.fd(), POLLIN, 0}};
        if (harness::poll_socks(items, 2, -1) < 0) continue;
        if (items[1].revents != 0) return;
        const sock_t fd = harness::accept_sock(_listener);
        if (fd == bad_sock) continue;
        ++_connections;
        _workers.emplace_back([this, fd] {
            _script(fd);
            harness::close_sock(fd);
        });
    }
}

bool read_exactly(sock_t fd, void* data, std::size_t size, int timeout_ms) {
    auto* out = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        if (!harness::readable(fd, timeout_ms)) return false;
        const auto n = harness::recv_bytes(fd, out, size);
        if (n <= 0) return false;
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(sock_t fd, const void* data, std::size_t size) { return harness::send_everything(fd, data, size); }

void drain(sock_t fd, int timeout_ms) {
    char buffer[4096];
    for (;;) {
        if (!harness::readable(fd, timeout_ms)) return;
        if (harness::recv_bytes(fd, buffer, sizeof buffer) <= 0) return;
    }
}

std::unique_ptr<scripted_tcp_server> echo_server(bool ipv6) {
    return std::make_unique<scripted_tcp_server>(
        [](sock_t fd) {
        char buffer[4096];
        for (;;) {
            if (!harness::readable(fd, 10000)) return;
            const auto n = harness::recv_bytes(fd, buffer, sizeof buffer);
            if (n <= 0 || !write_all(fd, buffer, static_cast<std::size_t>(n))) return;
        }
        },
        ipv6);
}

std::unique_ptr<scripted_tcp_server> http_site() {
    return std::make_unique<scripted_tcp_server>([](sock_t fd) {
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            if (!harness::readable(fd, 5000)) return;
            const auto n = harness::recv_bytes(fd, buffer, sizeof buffer);
            if (n <= 0) return;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        write_all(fd, answer.data(), answer.size());
    });
}

udp_echo::udp_echo(bool ipv6) {
    _fd = ipv6 ? harness::ipv6_loopback_sock(SOCK_DGRAM) : harness::bound_udp("127.0.0.1", 0);
    if (_fd == bad_sock) ADD_FAILURE() << "UDP socket";
    _port = harness::sock_port(_fd);
    if (_wake.fd() == bad_sock) ADD_FAILURE() << "wake socket";
    _thread = std::thread([this] {
        for (;;) {
            pollfd items[2] = {{_fd, POLLIN, 0}, {_wake.fd(), POLLIN, 0}};
            if (harness::poll_socks(items, 2, -1) < 0) continue;
            if (items[1].revents != 0) return;
            char buffer[2048];
            // The sender's address of either family.
            sockaddr_storage from{};
            harness::sock_len length = 0;
            const auto n = harness::receive_from(_fd, buffer, sizeof buffer, from, length);
            if (n >= 0) harness::send_to(_fd, buffer, static_cast<std::size_t>(n), from, length);
        }
    });
}

udp_echo::~udp_echo() {
    _wake.notify();
    _thread.join();
    harness::close_sock(_fd);
}

}  // namespace asynframe::proxy_test
