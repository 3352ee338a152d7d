// Plain loopback sockets for the far end of I/O tests: listeners, connected
// pairs, blocking clients and whole-buffer transfers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace asynframe::harness {

inline int must(int value, const char* what) {
    if (value < 0) ADD_FAILURE() << what << " failed: errno " << errno;
    return value;
}

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t local_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A listening TCP socket on 127.0.0.1 with a kernel-chosen port.
inline int make_listener() {
    const int fd = must(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in address = loopback(0);
    must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    must(::listen(fd, 16), "listen");
    return fd;
}

// A connected TCP pair over loopback.
struct tcp_pair {
    int client = -1;
    int server = -1;

    tcp_pair() {
        const int listener = make_listener();
        client = must(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
        sockaddr_in address = loopback(local_port(listener));
        must(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), "connect");
        server = must(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), "accept");
        ::close(listener);
    }
    ~tcp_pair() {
        if (client >= 0) ::close(client);
        if (server >= 0) ::close(server);
    }
    tcp_pair(const tcp_pair&) = delete;
    tcp_pair& operator=(const tcp_pair&) = delete;
};

// A UDP socket bound to 127.0.0.1 with a kernel-chosen port.
inline int make_udp() {
    const int fd = must(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in address = loopback(0);
    must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    return fd;
}

// A blocking client connected to 127.0.0.1:port, or -1.
inline int connect_client(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool recv_all(int fd, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the far end closes (or resets) the connection within the time,
// reading past whatever it still sends.
inline bool peer_closed(int fd, int milliseconds = 5000) {
    std::uint8_t sink[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < until) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

// A listener on 127.0.0.1 whose accept queue is full: the kernel drops new
// SYNs, so a connect to it stays in progress until it is given up.
struct stalled_listener {
    int fd = -1;
    std::uint16_t port = 0;
    std::vector<int> fillers;
    bool stalled = false;

    stalled_listener() {
        fd = must(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
        sockaddr_in address = loopback(0);
        must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
        must(::listen(fd, 0), "listen");
        port = local_port(fd);
        // Connect until one does not complete: from there on the queue is full.
        for (int i = 0; i < 16 && !stalled; ++i) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (client < 0) break;
            sockaddr_in target = loopback(port);
            ::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target);
            fillers.push_back(client);
            pollfd ready{client, POLLOUT, 0};
            stalled = ::poll(&ready, 1, 200) == 0;
        }
        if (!stalled) ADD_FAILURE() << "the listener's queue never filled";
    }
    ~stalled_listener() {
        for (int client : fillers) ::close(client);
        if (fd >= 0) ::close(fd);
    }
    stalled_listener(const stalled_listener&) = delete;
    stalled_listener& operator=(const stalled_listener&) = delete;
};

// Bytes that differ along a long buffer, so a shifted or repeated block shows.
inline std::uint8_t pattern_byte(std::size_t index, std::uint8_t seed) {
    return static_cast<std::uint8_t>((index * 131 + seed) ^ (index >> 11));
}

}  // namespace asynframe::harness
