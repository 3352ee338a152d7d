// What every library's connect cases share: the batch, the number of connects
// kept in flight, and the plain listener that accepts and drops them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include <benchmark/benchmark.h>

#include "../common/bench_support.h"

namespace connect_bench {

using asynframe_bench::batch_signal;
using asynframe_bench::give_up;
using asynframe_bench::wait_deadline;

// Connects per iteration, and how many are in flight at once: below the
// scheduler's default half-open limit (58), so every library runs as many.
constexpr long connect_batch = 1000;
constexpr long connect_window = 50;
constexpr int listen_backlog = 1024;
constexpr double min_time = 2.0;

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Accepts on its own thread and closes each connection at once (an orderly
// close: a reset could reach a client before it has seen its connect end).
class dropping_listener {
public:
    dropping_listener() {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address = loopback(0);
        if (_fd < 0 || ::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(_fd, listen_backlog) != 0)
            give_up("opening the listener");
        socklen_t length = sizeof address;
        ::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length);
        _port = ntohs(address.sin_port);
        _thread = std::thread([this] { serve(); });
    }
    ~dropping_listener() {
        _running = false;
        _thread.join();
        ::close(_fd);
    }
    dropping_listener(const dropping_listener&) = delete;
    dropping_listener& operator=(const dropping_listener&) = delete;

    std::uint16_t port() const { return _port; }

private:
    void serve() {
        while (_running.load(std::memory_order_relaxed)) {
            pollfd ready{_fd, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            for (;;) {
                const int accepted = ::accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (accepted < 0) break;
                ::close(accepted);
            }
        }
    }

    int _fd = -1;
    std::uint16_t _port = 0;
    std::atomic<bool> _running{true};
    std::thread _thread;
};

// Each case is registered under "<case>/<library>".
inline void register_case(const char* name, void (*function)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(min_time);
}

}  // namespace connect_bench
