// Shared pieces of the engine tests: loopback socket pairs, temporary files and
// waiting for a condition with a hard limit.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace engine_test {

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

inline int make_udp() {
    const int fd = must(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in address = loopback(0);
    must(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind");
    return fd;
}

// A file in a fresh temporary folder, removed with the object.
struct temp_file {
    std::string folder;
    std::string path;
    int fd = -1;

    temp_file() {
        char pattern[] = "/tmp/asynframe_engine_XXXXXX";
        folder = ::mkdtemp(pattern);
        path = folder + "/data.bin";
        fd = must(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600), "open");
    }
    ~temp_file() {
        ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
};

// Runs `step` (which may pump) until `done` holds or the limit passes.
inline bool wait_until(const std::function<bool()>& done, const std::function<void()>& step,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        step();
    }
    return true;
}

inline void short_pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace engine_test
