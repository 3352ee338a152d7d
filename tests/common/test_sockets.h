// The few socket calls tests make with the system's own API (not the
// library's), the same on Linux and on Windows: a socket type, close,
// non-blocking mode, poll, the last error, and byte transfers that take the
// buffer types tests use. Winsock is started once for the whole program.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>
#include <cstdint>

#include "platform/native.h"

namespace asynframe::harness {

#if defined(_WIN32)

using test_socket = SOCKET;
inline constexpr test_socket invalid_test_socket = INVALID_SOCKET;
using socket_length = int;
using transfer_result = int;
// Both ends of a connection: SD_BOTH.
inline constexpr int shut_both = SD_BOTH;
// Winsock never raises a signal on a broken connection.
inline constexpr int no_signal = 0;

// Started before any test runs and left for the process's end.
inline const bool winsock_started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

inline int socket_error() { return ::WSAGetLastError(); }
inline bool would_block(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }
inline void close_socket(test_socket s) { ::closesocket(s); }
inline bool set_socket_nonblocking(test_socket s, bool on) {
    u_long value = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &value) == 0;
}
inline int poll_sockets(pollfd* items, std::size_t count, int milliseconds) {
    return ::WSAPoll(items, static_cast<ULONG>(count), milliseconds);
}

#else

using test_socket = int;
inline constexpr test_socket invalid_test_socket = -1;
using socket_length = socklen_t;
using transfer_result = ssize_t;
inline constexpr int shut_both = SHUT_RDWR;
// A test's peer that goes away must not kill the program with SIGPIPE.
inline constexpr int no_signal = MSG_NOSIGNAL;

inline int socket_error() { return errno; }
inline bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
inline void close_socket(test_socket s) { ::close(s); }
inline bool set_socket_nonblocking(test_socket s, bool on) {
    const int flags = ::fcntl(s, F_GETFL);
    return flags >= 0 && ::fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}
inline int poll_sockets(pollfd* items, std::size_t count, int milliseconds) {
    return ::poll(items, count, milliseconds);
}

#endif

inline bool socket_valid(test_socket s) { return s != invalid_test_socket; }

// A new socket (close-on-exec on Linux, so no child a test starts inherits it).
inline test_socket open_socket(int family, int type, int protocol = 0) {
#if defined(_WIN32)
    return ::socket(family, type, protocol);
#else
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
#endif
}

// A waiting connection, blocking until there is one (close-on-exec on Linux).
// On Linux at most 10 s: a connect that failed on the library's side (the
// fault runs make them fail) must not leave the test waiting for good.
inline test_socket accept_socket(test_socket listener) {
#if defined(_WIN32)
    return ::accept(listener, nullptr, nullptr);
#else
    pollfd ready{listener, POLLIN, 0};
    int polled;
    do {
        polled = ::poll(&ready, 1, 10000);
    } while (polled < 0 && errno == EINTR);
    if (polled == 0) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

// What the library takes as a socket from its host.
inline platform::native_handle to_native(test_socket s) { return static_cast<platform::native_handle>(s); }

// One send or receive of at most `length` bytes, as the system call answers.
inline transfer_result send_some(test_socket s, const void* data, std::size_t length, int flags = 0) {
    return ::send(s, static_cast<const char*>(data), static_cast<int>(length), flags | no_signal);
}
inline transfer_result recv_some(test_socket s, void* data, std::size_t length, int flags = 0) {
    return ::recv(s, static_cast<char*>(data), static_cast<int>(length), flags);
}

// One receive that does not wait: negative with would_block(socket_error())
// when nothing is queued.
inline transfer_result recv_now(test_socket s, void* data, std::size_t length) {
#if defined(_WIN32)
    pollfd ready{s, POLLRDNORM, 0};
    if (poll_sockets(&ready, 1, 0) == 0) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return recv_some(s, data, length);
#else
    return recv_some(s, data, length, MSG_DONTWAIT);
#endif
}

}  // namespace asynframe::harness
