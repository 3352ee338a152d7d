// Plain loopback sockets for the far end of I/O tests: listeners, connected
// pairs, blocking clients and whole-buffer transfers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_sockets.h"

namespace asynframe::harness {

// A new socket or a call's result: every system call here fails with all
// ones (-1, INVALID_SOCKET, SOCKET_ERROR).
template <class T>
T must(T value, const char* what) {
    if (value == static_cast<T>(-1)) ADD_FAILURE() << what << " failed: error " << socket_error();
    return value;
}

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t local_port(test_socket fd) {
    sockaddr_in address{};
    socket_length length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A listening TCP socket on 127.0.0.1 with a kernel-chosen port.
inline test_socket make_listener() {
    const test_socket fd = must(open_socket(AF_INET, SOCK_STREAM), "socket");
    sockaddr_in address = loopback(0);
    must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    must(::listen(fd, 16), "listen");
    return fd;
}

// A connected TCP pair over loopback.
struct tcp_pair {
    test_socket client = invalid_test_socket;
    test_socket server = invalid_test_socket;

    tcp_pair() {
        const test_socket listener = make_listener();
        client = must(open_socket(AF_INET, SOCK_STREAM), "socket");
        sockaddr_in address = loopback(local_port(listener));
        must(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), "connect");
        server = must(accept_socket(listener), "accept");
        close_socket(listener);
    }
    ~tcp_pair() {
        if (socket_valid(client)) close_socket(client);
        if (socket_valid(server)) close_socket(server);
    }
    tcp_pair(const tcp_pair&) = delete;
    tcp_pair& operator=(const tcp_pair&) = delete;
};

// A UDP socket bound to 127.0.0.1 with a kernel-chosen port.
inline test_socket make_udp() {
    const test_socket fd = must(open_socket(AF_INET, SOCK_DGRAM), "socket");
    sockaddr_in address = loopback(0);
    must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    return fd;
}

// A blocking client connected to 127.0.0.1:port, or invalid_test_socket.
inline test_socket connect_client(std::uint16_t port) {
    const test_socket fd = open_socket(AF_INET, SOCK_STREAM);
    if (!socket_valid(fd)) return invalid_test_socket;
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close_socket(fd);
        return invalid_test_socket;
    }
    return fd;
}

inline bool send_all(test_socket fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const transfer_result n = send_some(fd, data, length);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool recv_all(test_socket fd, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const transfer_result n = recv_some(fd, data, length);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the far end closes (or resets) the connection within the time,
// reading past whatever it still sends.
inline bool peer_closed(test_socket fd, int milliseconds = 5000) {
    std::uint8_t sink[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < until) {
        pollfd ready{fd, POLLIN, 0};
        if (poll_sockets(&ready, 1, 50) <= 0) continue;
        const transfer_result n = recv_now(fd, sink, sizeof sink);
        if (n == 0 || (n < 0 && !would_block(socket_error()))) return true;
    }
    return false;
}

// A listener on 127.0.0.1 whose accept queue is full: the kernel drops new
// SYNs, so a connect to it stays in progress until it is given up.
struct stalled_listener {
    test_socket fd = invalid_test_socket;
    std::uint16_t port = 0;
    std::vector<test_socket> fillers;
    bool stalled = false;

    stalled_listener() {
        fd = must(open_socket(AF_INET, SOCK_STREAM), "socket");
        sockaddr_in address = loopback(0);
        must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
        must(::listen(fd, 0), "listen");
        port = local_port(fd);
        // Connect until one does not complete: from there on the queue is full.
        for (int i = 0; i < 16 && !stalled; ++i) {
            const test_socket client = open_socket(AF_INET, SOCK_STREAM);
            if (!socket_valid(client)) break;
            set_socket_nonblocking(client, true);
            sockaddr_in target = loopback(port);
            ::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target);
            fillers.push_back(client);
            pollfd ready{client, POLLOUT, 0};
            stalled = poll_sockets(&ready, 1, 200) == 0;
        }
        if (!stalled) ADD_FAILURE() << "the listener's queue never filled";
    }
    ~stalled_listener() {
        for (test_socket client : fillers) close_socket(client);
        if (socket_valid(fd)) close_socket(fd);
    }
    stalled_listener(const stalled_listener&) = delete;
    stalled_listener& operator=(const stalled_listener&) = delete;
};

// Bytes that differ along a long buffer, so a shifted or repeated block shows.
inline std::uint8_t pattern_byte(std::size_t index, std::uint8_t seed) {
    return static_cast<std::uint8_t>((index * 131 + seed) ^ (index >> 11));
}

}  // namespace asynframe::harness
