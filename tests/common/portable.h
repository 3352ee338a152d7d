// What the test peers and the suites need from the system beyond the library:
// the environment, temporary folders a Linux peer can read too, and plain
// sockets for servers written in the tests. On Windows the programs run under
// wine, the peers stay Linux programs, and wine shows the Linux root as Z:.
#pragma once

#if !defined(_WIN32)
#include <netinet/tcp.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/test_sockets.h"

namespace asynframe::harness {

// ---- environment -------------------------------------------------------------------

inline void set_env(const char* name, const std::string& value) {
#if defined(_WIN32)
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

inline void unset_env(const char* name) {
#if defined(_WIN32)
    ::_putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}

inline bool running_as_root() {
#if defined(_WIN32)
    // Under wine the program is the Linux user that started it; the tests'
    // namespace needs root, so a run that got this far has it.
    return true;
#else
    return ::geteuid() == 0;
#endif
}

inline unsigned long current_process_id() {
#if defined(_WIN32)
    return ::GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

inline void sleep_ms(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// ---- paths ----------------------------------------------------------------------------

// The folder new temporary folders go into. On Windows it is the Linux /tmp
// seen through Z:, so that the peers, which are Linux programs, find the files.
std::string temp_root();
// A fresh folder under temp_root() whose name starts with `prefix`; empty on failure.
std::string make_temp_folder(const std::string& prefix);
// The path a Linux program uses for `path` (Z:\tmp\x is /tmp/x); unchanged on Linux.
std::string host_path(const std::string& path);

// ---- sockets ---------------------------------------------------------------------------
// Names the peers' own servers use, over test_sockets.h.

using sock_t = test_socket;
inline constexpr sock_t bad_sock = invalid_test_socket;
using sock_len = socket_length;
using io_size = transfer_result;
inline constexpr int no_sigpipe = no_signal;
#if defined(_WIN32)
inline constexpr int shut_write = SD_SEND;
inline constexpr int shut_read_write = SD_BOTH;
inline constexpr int connection_refused = WSAECONNREFUSED;
#else
inline constexpr int shut_write = SHUT_WR;
inline constexpr int shut_read_write = SHUT_RDWR;
inline constexpr int connection_refused = ECONNREFUSED;
#endif
inline bool start_sockets() {
#if defined(_WIN32)
    return winsock_started;
#else
    return true;
#endif
}
inline void close_sock(sock_t s) {
    if (socket_valid(s)) close_socket(s);
}
inline int poll_socks(pollfd* items, std::size_t count, int timeout_ms) {
    return poll_sockets(items, count, timeout_ms);
}
inline bool set_nonblocking_sock(sock_t s, bool on) { return set_socket_nonblocking(s, on); }

// New sockets: not inherited by the peers the tests start.
sock_t tcp_sock();
sock_t udp_sock();

inline io_size send_bytes(sock_t s, const void* data, std::size_t size, int flags = 0) {
    return ::send(s, static_cast<const char*>(data), static_cast<int>(size), flags | no_sigpipe);
}
inline io_size recv_bytes(sock_t s, void* data, std::size_t size, int flags = 0) {
    return ::recv(s, static_cast<char*>(data), static_cast<int>(size), flags);
}
inline io_size send_to(sock_t s, const void* data, std::size_t size, const sockaddr_in& to) {
    return ::sendto(s, static_cast<const char*>(data), static_cast<int>(size), no_sigpipe,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
}
inline io_size receive_from(sock_t s, void* data, std::size_t size, sockaddr_in& from) {
    sock_len length = sizeof from;
    return ::recvfrom(s, static_cast<char*>(data), static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&from),
                      &length);
}
// The same for a sender of either family: `length` is the size of its address.
inline io_size receive_from(sock_t s, void* data, std::size_t size, sockaddr_storage& from, sock_len& length) {
    length = sizeof from;
    return ::recvfrom(s, static_cast<char*>(data), static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&from),
                      &length);
}
inline io_size send_to(sock_t s, const void* data, std::size_t size, const sockaddr_storage& to, sock_len length) {
    return ::sendto(s, static_cast<const char*>(data), static_cast<int>(size), no_sigpipe,
                    reinterpret_cast<const sockaddr*>(&to), length);
}
inline bool set_sock_option(sock_t s, int level, int name, int value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}
inline void set_nodelay(sock_t s) { set_sock_option(s, IPPROTO_TCP, TCP_NODELAY, 1); }
// Accepts a waiting connection; bad_sock when there is none or it failed.
sock_t accept_sock(sock_t listener);
// Readable (or closed, or failed) within the time.
inline bool readable(sock_t s, int timeout_ms) {
    pollfd ready{};
    ready.fd = s;
    ready.events = POLLIN;
    return poll_socks(&ready, 1, timeout_ms) == 1;
}
sockaddr_in ipv4_address(const char* dotted, std::uint16_t port);
// A UDP socket bound to `dotted`:`port` (0: the system picks), or bad_sock.
sock_t bound_udp(const char* dotted, std::uint16_t port);
// The local port of a socket of either family (0 when it has none).
std::uint16_t sock_port(sock_t s);
// A socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to ::1 with a port the
// system picks, listening when it is TCP; bad_sock when that failed.
sock_t ipv6_loopback_sock(int type, int backlog = 16);
// A TCP listener on 127.0.0.1 with a port the system picks, or bad_sock.
sock_t tcp_listener(std::uint16_t& port, int backlog = 16);
// A blocking TCP client connected to 127.0.0.1:`port`, or bad_sock.
sock_t tcp_client(std::uint16_t port);
// A blocking TCP client connected to [::1]:`port`, or bad_sock.
sock_t ipv6_loopback_client(std::uint16_t port);
// A connected pair of stream sockets: a Unix-domain pair on Linux, a loopback
// TCP connection on Windows, which has none. pair[0] is the socket made first.
bool stream_pair(sock_t (&pair)[2]);
// Sends all of `data` (blocking); false when the connection failed first.
bool send_everything(sock_t s, const void* data, std::size_t size);

// Wakes a thread that polls sockets: a UDP socket on loopback that sends to
// itself, so it sits in the same poll as the sockets on every system.
class wake_signal {
public:
    wake_signal();
    ~wake_signal();
    wake_signal(const wake_signal&) = delete;
    wake_signal& operator=(const wake_signal&) = delete;

    sock_t fd() const { return _socket; }
    void notify();

private:
    sock_t _socket = bad_sock;
};

}  // namespace asynframe::harness
