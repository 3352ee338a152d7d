// Sockets for the wait tests: a connected pair of stream sockets (a Unix-domain
// pair on Linux, a loopback TCP connection on Windows, which has no
// socketpair) and a loopback listener with connections to it.
#pragma once

#include <cstdint>

#include "platform/native.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace asynframe::testing {

using platform::native_handle;

#if defined(_WIN32)
inline bool make_socket_pair(native_handle (&pair)[2]) {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return false;
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bool ok = listener != INVALID_SOCKET && ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              ::listen(listener, 1) == 0 && ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    SOCKET client = ok ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    ok = ok && client != INVALID_SOCKET && ::connect(client, reinterpret_cast<sockaddr*>(&address), length) == 0;
    const SOCKET server = ok ? ::accept(listener, nullptr, nullptr) : INVALID_SOCKET;
    if (listener != INVALID_SOCKET) ::closesocket(listener);
    if (server == INVALID_SOCKET) {
        if (client != INVALID_SOCKET) ::closesocket(client);
        return false;
    }
    pair[0] = static_cast<native_handle>(server);
    pair[1] = static_cast<native_handle>(client);
    return true;
}
inline bool send_byte(native_handle socket) { return ::send(static_cast<SOCKET>(socket), "x", 1, 0) == 1; }
inline bool receive_byte(native_handle socket) {
    char byte;
    return ::recv(static_cast<SOCKET>(socket), &byte, 1, 0) == 1;
}
inline void close_socket(native_handle socket) { ::closesocket(static_cast<SOCKET>(socket)); }
using socket_length = int;
inline bool set_nonblocking(native_handle socket, bool on = true) {
    u_long value = on ? 1 : 0;
    return ::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &value) == 0;
}
inline bool connect_in_progress() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
inline native_handle tcp_socket() {
    native_handle pair[2];  // starts Winsock once
    if (!make_socket_pair(pair)) return platform::invalid_handle;
    close_socket(pair[0]);
    close_socket(pair[1]);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? platform::invalid_handle : static_cast<native_handle>(s);
}
#else
inline bool make_socket_pair(native_handle (&pair)[2]) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return false;
    pair[0] = sv[0];
    pair[1] = sv[1];
    return true;
}
inline bool send_byte(native_handle socket) { return ::write(static_cast<int>(socket), "x", 1) == 1; }
inline bool receive_byte(native_handle socket) {
    char byte;
    return ::read(static_cast<int>(socket), &byte, 1) == 1;
}
inline void close_socket(native_handle socket) { ::close(static_cast<int>(socket)); }
using socket_length = socklen_t;
inline bool set_nonblocking(native_handle socket, bool on = true) {
    const int flags = ::fcntl(static_cast<int>(socket), F_GETFL);
    return flags >= 0 &&
           ::fcntl(static_cast<int>(socket), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}
inline bool connect_in_progress() { return errno == EINPROGRESS; }
inline native_handle tcp_socket() { return ::socket(AF_INET, SOCK_STREAM, 0); }
#endif

// A listener on 127.0.0.1 and its port (host order); invalid_handle on failure.
inline native_handle loopback_listener(std::uint16_t& port) {
    const native_handle listener = tcp_socket();
    if (listener == platform::invalid_handle) return listener;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socket_length length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close_socket(listener);
        return platform::invalid_handle;
    }
    port = ntohs(address.sin_port);
    return listener;
}

// A connection to 127.0.0.1:port, queued on the listener (not accepted).
// `nonblocking`: the connect is only started, and may still fail.
inline native_handle connect_loopback(std::uint16_t port, bool nonblocking = false) {
    const native_handle client = tcp_socket();
    if (client == platform::invalid_handle) return client;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (nonblocking && !set_nonblocking(client)) {
        close_socket(client);
        return platform::invalid_handle;
    }
    if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        !(nonblocking && connect_in_progress())) {
        close_socket(client);
        return platform::invalid_handle;
    }
    return client;
}

}  // namespace asynframe::testing
