// What every library's TCP cases share: the sizes of the exchanges, bounded
// waits, and plain loopback sockets made without any library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "../common/bench_support.h"

namespace tcp_bench {

constexpr std::size_t message_size = 64;
constexpr std::size_t bulk_chunk = 64 * 1024;
constexpr long pingpong_batch = 2000;
constexpr std::size_t bulk_batch = 256u << 20;  // bytes per iteration
constexpr long accept_batch = 500;
// Every library listens with this backlog; the connector keeps at most
// `accept_window` connections ahead of the accepts, well inside it.
constexpr int listen_backlog = 128;
constexpr long accept_window = 64;
constexpr int echo_connections = 1000;
constexpr long echo_rounds = 10;  // exchanges per connection per iteration
constexpr int burst_connections = 100;
// Long enough for the connect-bound cases to settle.
constexpr double socket_min_time = 1.0;
constexpr double accept_min_time = 3.0;

using asynframe_bench::batch_signal;
using asynframe_bench::bench_clock;
using asynframe_bench::give_up;
using asynframe_bench::wait_deadline;
using asynframe_bench::wait_limit;

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline void no_delay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Closes a connecting end with a reset: no TIME_WAIT entries pile up across
// cases, so no case pays for the ones before it.
inline void close_abortively(int fd) {
    const linger abort_close{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    ::close(fd);
}

inline int connect_to(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A plain listener on a free loopback port; answers the port.
inline int plain_listener(std::uint16_t& port, int backlog) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, backlog);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

// `count` connected loopback pairs of plain descriptors, Nagle off on both ends.
inline void plain_pairs(int count, std::vector<int>& clients, std::vector<int>& servers) {
    std::uint16_t port = 0;
    const int listener = plain_listener(port, count);
    for (int i = 0; i < count; ++i) {
        const int client = connect_to(port);
        const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 || server < 0) give_up("making connected pairs");
        no_delay(client);
        no_delay(server);
        clients.push_back(client);
        servers.push_back(server);
    }
    ::close(listener);
}

inline void plain_pair(int& client, int& server) {
    std::vector<int> clients, servers;
    plain_pairs(1, clients, servers);
    client = clients[0];
    server = servers[0];
}

// The connector's wait for the accepts: it sleeps rather than spins, so that on
// a machine with few cores it does not take the accepting loop's.
inline void idle_briefly() { std::this_thread::sleep_for(std::chrono::microseconds(20)); }

// Connects and closes `count` times, at most `accept_window` ahead of the
// accepts. Gives up when the accepts stop coming (the accepting side fails its case).
inline void connector(std::uint16_t port, long count, const std::atomic<long>& accepted, long base) {
    const auto deadline = wait_deadline();
    for (long i = 0; i < count; ++i) {
        while (accepted.load(std::memory_order_acquire) - base < i - accept_window) {
            if (bench_clock::now() > deadline) return;
            idle_briefly();
        }
        const int fd = connect_to(port);
        if (fd >= 0) close_abortively(fd);
    }
}

// A burst: `burst_connections` connects at once (the backlog holds them all),
// kept open until every one was accepted, then closed.
inline void burst_connector(std::uint16_t port, const std::atomic<long>& accepted, long base) {
    int fds[burst_connections];
    for (int& fd : fds) fd = connect_to(port);
    const auto deadline = wait_deadline();
    while (accepted.load(std::memory_order_acquire) - base < burst_connections && bench_clock::now() < deadline)
        idle_briefly();
    for (int fd : fds)
        if (fd >= 0) close_abortively(fd);
}

// Each case is registered under "<case>/<library>", with the times the cases need.
inline void register_case(const char* name, void (*function)(benchmark::State&), double min_time) {
    benchmark::RegisterBenchmark(name, function)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(min_time);
}

}  // namespace tcp_bench
