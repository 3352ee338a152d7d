// The bare mechanisms doing the same exchanges, with no library at all: the
// ceiling each kernel mechanism sets on this machine. A library case that
// cannot beat its peers because the mechanism itself is the limit is judged
// against these ("raw_epoll", "raw_uring").
//
// raw_epoll: level-triggered interest registered once per descriptor, one
// read per reported descriptor, no failing reads. raw_uring: one submission
// call per loop turn that also waits, completions taken in batches.
#include <fcntl.h>
#include <liburing.h>
#include <sys/epoll.h>

#include <cerrno>

#include "tcp_common.h"

namespace tcp_bench {
namespace {

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Writes all of `length` to a socket with room for it (the exchanges here never
// fill the socket buffer); false on failure.
bool write_all(int fd, const char* data, std::size_t length) {
    while (length != 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---- epoll ---------------------------------------------------------------------------------------

struct raw_connection {
    int fd = -1;
    bool client = false;
    std::size_t got = 0;
    long rounds = 0;
    char buffer[message_size] = {};
};

void raw_epoll_echo(benchmark::State& state, int connections, long rounds) {
    std::vector<int> clients, servers;
    plain_pairs(connections, clients, servers);
    std::vector<raw_connection> ends(static_cast<std::size_t>(connections) * 2);
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < connections; ++i) {
        raw_connection& client = ends[static_cast<std::size_t>(i) * 2];
        raw_connection& server = ends[static_cast<std::size_t>(i) * 2 + 1];
        client.fd = clients[static_cast<std::size_t>(i)];
        client.client = true;
        server.fd = servers[static_cast<std::size_t>(i)];
        for (raw_connection* end : {&client, &server}) {
            // Blocking sends of 64 bytes always fit; reads come after readiness.
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = end;
            ::epoll_ctl(poller, EPOLL_CTL_ADD, end->fd, &event);
        }
    }
    const long per_batch = connections * rounds;
    epoll_event events[256];
    for (auto _ : state) {
        long total = 0;
        for (int i = 0; i < connections; ++i) {
            raw_connection& client = ends[static_cast<std::size_t>(i) * 2];
            client.rounds = rounds;
            write_all(client.fd, client.buffer, message_size);
        }
        const auto deadline = wait_deadline();
        bool failed = false;
        while (total < per_batch && !failed) {
            const int count = ::epoll_wait(poller, events, 256, 1000);
            if (count <= 0 && bench_clock::now() > deadline) failed = true;
            for (int k = 0; k < count; ++k) {
                auto* end = static_cast<raw_connection*>(events[k].data.ptr);
                const ssize_t n = ::recv(end->fd, end->buffer + end->got, message_size - end->got, MSG_DONTWAIT);
                if (n <= 0) continue;
                end->got += static_cast<std::size_t>(n);
                if (end->got < message_size) continue;
                end->got = 0;
                if (!end->client) {
                    write_all(end->fd, end->buffer, message_size);
                } else {
                    ++total;
                    if (--end->rounds > 0) write_all(end->fd, end->buffer, message_size);
                }
            }
        }
        if (failed) {
            state.SkipWithError("echo batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * per_batch);
    ::close(poller);
    for (raw_connection& end : ends) ::close(end.fd);
}

void raw_epoll_pingpong(benchmark::State& state) { raw_epoll_echo(state, 1, pingpong_batch); }
void raw_epoll_echo_1000(benchmark::State& state) { raw_epoll_echo(state, echo_connections, echo_rounds); }

void raw_epoll_bulk(benchmark::State& state) {
    int client = -1, server = -1;
    plain_pair(client, server);
    set_nonblocking(client);
    set_nonblocking(server);
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = server;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, server, &event);
    std::vector<char> out(bulk_chunk, 'x'), in(bulk_chunk);
    std::size_t pending = 0;  // of the current chunk, still to write
    for (auto _ : state) {
        std::size_t received = 0, written = 0;
        const auto deadline = wait_deadline();
        bool failed = false;
        while (received < bulk_batch && !failed) {
            // One chunk written per turn, as the libraries do from their handlers.
            if (written < bulk_batch) {
                if (pending == 0) pending = bulk_chunk;
                const ssize_t n = ::send(client, out.data() + (bulk_chunk - pending), pending, MSG_NOSIGNAL);
                if (n > 0) {
                    pending -= static_cast<std::size_t>(n);
                    if (pending == 0) written += bulk_chunk;
                }
            }
            epoll_event ready[4];
            const int count = ::epoll_wait(poller, ready, 4, 1000);
            if (count <= 0 && bench_clock::now() > deadline) failed = true;
            for (int k = 0; k < count; ++k) {
                const ssize_t n = ::recv(server, in.data(), bulk_chunk, MSG_DONTWAIT);
                if (n > 0) received += static_cast<std::size_t>(n);
            }
        }
        if (failed) {
            state.SkipWithError("bulk batch timed out");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
    ::close(poller);
    ::close(client);
    ::close(server);
}

// ---- io_uring ------------------------------------------------------------------------------------

constexpr std::uint64_t send_flag = 1;

struct raw_ring {
    io_uring ring{};
    bool ready = false;
    raw_ring() { ready = ::io_uring_queue_init(4096, &ring, 0) == 0; }
    ~raw_ring() {
        if (ready) ::io_uring_queue_exit(&ring);
    }
    io_uring_sqe* sqe() {
        io_uring_sqe* entry = ::io_uring_get_sqe(&ring);
        if (entry == nullptr) {
            ::io_uring_submit(&ring);
            entry = ::io_uring_get_sqe(&ring);
        }
        return entry;
    }
    void recv(raw_connection& end) {
        io_uring_sqe* entry = sqe();
        ::io_uring_prep_recv(entry, end.fd, end.buffer, message_size, MSG_WAITALL);
        ::io_uring_sqe_set_data64(entry, reinterpret_cast<std::uintptr_t>(&end));
    }
    void send(raw_connection& end) {
        io_uring_sqe* entry = sqe();
        ::io_uring_prep_send(entry, end.fd, end.buffer, message_size, MSG_NOSIGNAL | MSG_WAITALL);
        ::io_uring_sqe_set_data64(entry, reinterpret_cast<std::uintptr_t>(&end) | send_flag);
    }
    // Submits what is queued and waits for one completion, at most a second.
    void submit_and_wait() {
        __kernel_timespec limit{};
        limit.tv_sec = 1;
        io_uring_cqe* cqe = nullptr;
        ::io_uring_submit_and_wait_timeout(&ring, &cqe, 1, &limit, nullptr);
    }
};

void raw_uring_echo(benchmark::State& state, int connections, long rounds) {
    // The buffers outlive the ring, which may still hold reads into them.
    std::vector<raw_connection> ends(static_cast<std::size_t>(connections) * 2);
    raw_ring ring;
    if (!ring.ready) {
        state.SkipWithError("no io_uring here");
        return;
    }
    std::vector<int> clients, servers;
    plain_pairs(connections, clients, servers);
    for (int i = 0; i < connections; ++i) {
        ends[static_cast<std::size_t>(i) * 2].fd = clients[static_cast<std::size_t>(i)];
        ends[static_cast<std::size_t>(i) * 2].client = true;
        ends[static_cast<std::size_t>(i) * 2 + 1].fd = servers[static_cast<std::size_t>(i)];
        ring.recv(ends[static_cast<std::size_t>(i) * 2 + 1]);
    }
    const long per_batch = connections * rounds;
    for (auto _ : state) {
        long total = 0;
        for (int i = 0; i < connections; ++i) {
            raw_connection& client = ends[static_cast<std::size_t>(i) * 2];
            client.rounds = rounds;
            ring.send(client);
        }
        const auto deadline = wait_deadline();
        bool failed = false;
        while (total < per_batch && !failed) {
            ring.submit_and_wait();
            if (bench_clock::now() > deadline) failed = true;
            unsigned head = 0, seen = 0;
            io_uring_cqe* cqe = nullptr;
            io_uring_for_each_cqe(&ring.ring, head, cqe) {
                ++seen;
                const std::uint64_t data = ::io_uring_cqe_get_data64(cqe);
                auto* end = reinterpret_cast<raw_connection*>(data & ~send_flag);
                if (cqe->res <= 0) continue;
                const bool sent = (data & send_flag) != 0;
                if (sent) {
                    ring.recv(*end);  // both ends read after their send
                } else if (!end->client) {
                    ring.send(*end);
                } else {
                    ++total;
                    if (--end->rounds > 0) ring.send(*end);
                }
            }
            ::io_uring_cq_advance(&ring.ring, seen);
        }
        if (failed) {
            state.SkipWithError("echo batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * per_batch);
    for (raw_connection& end : ends) ::close(end.fd);
}

void raw_uring_pingpong(benchmark::State& state) { raw_uring_echo(state, 1, pingpong_batch); }
void raw_uring_echo_1000(benchmark::State& state) { raw_uring_echo(state, echo_connections, echo_rounds); }

void raw_uring_bulk(benchmark::State& state) {
    std::vector<char> out(bulk_chunk, 'x'), in(bulk_chunk);  // outlive the ring
    raw_ring ring;
    if (!ring.ready) {
        state.SkipWithError("no io_uring here");
        return;
    }
    int client = -1, server = -1;
    plain_pair(client, server);
    constexpr std::uint64_t write_tag = 1, read_tag = 2;
    auto queue_write = [&] {
        io_uring_sqe* entry = ring.sqe();
        ::io_uring_prep_send(entry, client, out.data(), bulk_chunk, MSG_NOSIGNAL | MSG_WAITALL);
        ::io_uring_sqe_set_data64(entry, write_tag);
    };
    auto queue_read = [&] {
        io_uring_sqe* entry = ring.sqe();
        ::io_uring_prep_recv(entry, server, in.data(), bulk_chunk, 0);
        ::io_uring_sqe_set_data64(entry, read_tag);
    };
    queue_read();
    std::size_t received = 0, written = 0, target = 0;
    for (auto _ : state) {
        target += bulk_batch;
        queue_write();
        const auto deadline = wait_deadline();
        bool failed = false;
        while (received < target && !failed) {
            ring.submit_and_wait();
            if (bench_clock::now() > deadline) failed = true;
            unsigned head = 0, seen = 0;
            io_uring_cqe* cqe = nullptr;
            io_uring_for_each_cqe(&ring.ring, head, cqe) {
                ++seen;
                if (cqe->res <= 0) continue;
                if (::io_uring_cqe_get_data64(cqe) == write_tag) {
                    written += static_cast<std::size_t>(cqe->res);
                    if (written < target) queue_write();
                } else {
                    received += static_cast<std::size_t>(cqe->res);
                    queue_read();
                }
            }
            ::io_uring_cq_advance(&ring.ring, seen);
        }
        if (failed) {
            state.SkipWithError("bulk batch timed out");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
    ::close(client);
    ::close(server);
}

// ---- accepts, both mechanisms ---------------------------------------------------------------------

// Accepts and closes what `connect` makes, `batch` a iteration: epoll takes
// every waiting connection per readiness report, the ring keeps
// `accept_window` accepts in flight.
template <typename Connect>
void raw_accept(benchmark::State& state, bool ring_mode, long batch, Connect connect) {
    std::uint16_t port = 0;
    const int listener = plain_listener(port, listen_backlog);
    set_nonblocking(listener);
    raw_ring ring;
    int poller = -1;
    if (ring_mode) {
        if (!ring.ready) {
            state.SkipWithError("no io_uring here");
            ::close(listener);
            return;
        }
        for (long i = 0; i < accept_window; ++i) {
            io_uring_sqe* entry = ring.sqe();
            ::io_uring_prep_accept(entry, listener, nullptr, nullptr, SOCK_CLOEXEC);
        }
    } else {
        poller = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = listener;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    }
    std::atomic<long> accepted{0};
    for (auto _ : state) {
        const long base = accepted.load();
        std::thread connecting(connect, port, std::cref(accepted), base);
        const auto deadline = wait_deadline();
        bool failed = false;
        while (accepted.load(std::memory_order_relaxed) - base < batch && !failed) {
            if (ring_mode) {
                ring.submit_and_wait();
                unsigned head = 0, seen = 0;
                io_uring_cqe* cqe = nullptr;
                io_uring_for_each_cqe(&ring.ring, head, cqe) {
                    ++seen;
                    if (cqe->res >= 0) {
                        ::close(cqe->res);
                        accepted.fetch_add(1, std::memory_order_release);
                    }
                    io_uring_sqe* entry = ring.sqe();
                    ::io_uring_prep_accept(entry, listener, nullptr, nullptr, SOCK_CLOEXEC);
                }
                ::io_uring_cq_advance(&ring.ring, seen);
            } else {
                epoll_event ready[4];
                if (::epoll_wait(poller, ready, 4, 1000) > 0) {
                    for (;;) {
                        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                        if (fd < 0) break;
                        ::close(fd);
                        accepted.fetch_add(1, std::memory_order_release);
                    }
                }
            }
            if (bench_clock::now() > deadline) failed = true;
        }
        connecting.join();
        if (failed) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
    if (poller >= 0) ::close(poller);
    ::close(listener);
}

void stream_connects(std::uint16_t port, const std::atomic<long>& accepted, long base) {
    connector(port, accept_batch, accepted, base);
}
void raw_epoll_accept(benchmark::State& state) { raw_accept(state, false, accept_batch, stream_connects); }
void raw_uring_accept(benchmark::State& state) { raw_accept(state, true, accept_batch, stream_connects); }
void raw_epoll_burst(benchmark::State& state) { raw_accept(state, false, burst_connections, burst_connector); }
void raw_uring_burst(benchmark::State& state) { raw_accept(state, true, burst_connections, burst_connector); }

[[maybe_unused]] const bool registered = [] {
    register_case("accept/raw_epoll", raw_epoll_accept, accept_min_time);
    register_case("accept_close_100/raw_epoll", raw_epoll_burst, accept_min_time);
    register_case("accept/raw_uring", raw_uring_accept, accept_min_time);
    register_case("accept_close_100/raw_uring", raw_uring_burst, accept_min_time);
    register_case("pingpong/raw_epoll", raw_epoll_pingpong, socket_min_time);
    register_case("bulk/raw_epoll", raw_epoll_bulk, socket_min_time);
    register_case("echo_1000/raw_epoll", raw_epoll_echo_1000, socket_min_time);
    register_case("pingpong/raw_uring", raw_uring_pingpong, socket_min_time);
    register_case("bulk/raw_uring", raw_uring_bulk, socket_min_time);
    register_case("echo_1000/raw_uring", raw_uring_echo_1000, socket_min_time);
    return true;
}();

}  // namespace
}  // namespace tcp_bench
