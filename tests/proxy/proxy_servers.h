// Real proxies for the SOCKS5 and proxy-check tests, on loopback: dante
// (SOCKS5, with and without user and password) and tinyproxy (HTTP, with and
// without basic authentication); and scripted peers of our own for what a
// real server will not do on demand.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/portable.h"

namespace asynframe::proxy_test {

// The system account dante checks user names and passwords against.
inline constexpr const char* socks_user = "afsocks";
inline constexpr const char* socks_password = "af-Secret-1";
// Makes the account when it is missing (root only); false when there is none.
bool ensure_socks_user();
// The same for any account and password. Test programs run side by side, so
// an account is never visible without its password: one found half made
// would refuse the right password. Makers take turns under a lock file.
bool ensure_account(const std::string& user, const std::string& password);
// Removes an account ensure_account made (root only).
void remove_account(const std::string& user);
// Makes an account without a password, as a run killed midway could leave one.
bool add_account_without_password(const std::string& user);
// Safe to call on several threads at once.
bool account_exists(const std::string& user);
// The account's shadow entry holds a password hash (root only).
bool account_has_password(const std::string& user);

class danted_server {
public:
    // On 127.0.0.1:`port`; with `authenticate`, only socks_user may log in.
    // With `ipv6` it also listens on [::1]:`port` and reaches IPv6 targets.
    danted_server(const std::string& folder, std::uint16_t port, bool authenticate, bool ipv6 = false);
    bool ok() const { return _ok; }
    static bool installed();

private:
    std::unique_ptr<harness::child_process> _process;
    bool _ok = false;
};

class tinyproxy_server {
public:
    // On 127.0.0.1:`port`; a non-empty `user` turns basic authentication on.
    tinyproxy_server(const std::string& folder, std::uint16_t port, const std::string& user = {},
                     const std::string& password = {});
    bool ok() const { return _ok; }
    static bool installed();

private:
    std::unique_ptr<harness::child_process> _process;
    bool _ok = false;
};

// A TCP listener on 127.0.0.1 whose every connection runs `script` on a
// thread of its own (the descriptor is closed after it).
class scripted_tcp_server {
public:
    using script = std::function<void(harness::sock_t fd)>;
    // On ::1 instead with `ipv6`.
    explicit scripted_tcp_server(script each, bool ipv6 = false);
    ~scripted_tcp_server();
    std::uint16_t port() const { return _port; }
    int connections() const { return _connections.load(); }

private:
    void serve();
    harness::sock_t _listener = harness::bad_sock;
    harness::wake_signal _wake;
    std::uint16_t _port = 0;
    script _script;
    std::atomic<int> _connections{0};
    std::vector<std::thread> _workers;
    std::thread _thread;
};

// Helpers for scripts: whole reads and writes with a time limit; false when
// the peer closed or the limit passed.
bool read_exactly(harness::sock_t fd, void* data, std::size_t size, int timeout_ms = 5000);
bool write_all(harness::sock_t fd, const void* data, std::size_t size);
// Reads until the peer closes (or the limit passes).
void drain(harness::sock_t fd, int timeout_ms = 5000);

// Echoes what each connection sends.
std::unique_ptr<scripted_tcp_server> echo_server(bool ipv6 = false);
// Answers every HTTP request with 200 and a short body, then closes.
std::unique_ptr<scripted_tcp_server> http_site();

// A UDP socket on 127.0.0.1 (::1 with `ipv6`) that sends every datagram back
// to its sender.
class udp_echo {
public:
    explicit udp_echo(bool ipv6 = false);
    ~udp_echo();
    std::uint16_t port() const { return _port; }

private:
    harness::sock_t _fd = harness::bad_sock;
    harness::wake_signal _wake;
    std::uint16_t _port = 0;
    std::thread _thread;
};

}  // namespace asynframe::proxy_test
