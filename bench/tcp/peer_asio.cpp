// Asio's cases. Built twice: with its default epoll reactor into bench_tcp, and
// on io_uring (ASIO_HAS_IO_URING, ASIO_DISABLE_EPOLL) into bench_tcp_asio_uring.
#include <functional>
#include <memory>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <asio.hpp>
#pragma GCC diagnostic pop

#include "tcp_common.h"

namespace tcp_bench {
namespace {

#ifdef BENCH_ASIO_URING
#define ASIO_CASE(name) name "/asio_uring"
#else
#define ASIO_CASE(name) name "/asio"
#endif

using asio::ip::tcp;

// Runs handlers on this thread until `done`; false when the limit passed first.
template <typename Done>
bool asio_run_until(asio::io_context& io, Done done) {
    const auto deadline = wait_deadline();
    while (!done()) {
        if (io.run_one_until(deadline) == 0 && !done()) {
            if (bench_clock::now() >= deadline) return false;
            io.restart();
        }
    }
    return true;
}

// A listener with the backlog every library gets.
tcp::acceptor asio_listener(asio::io_context& io) {
    tcp::acceptor acceptor(io);
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(listen_backlog);
    return acceptor;
}

// One echo connection: the client writes 64 bytes and reads them back,
// `rounds` times; the server echoes for as long as it lives.
struct asio_echo_pair {
    tcp::socket client, server;
    char client_buffer[message_size] = {}, server_buffer[message_size] = {};
    long rounds = 0;
    long* total = nullptr;

    asio_echo_pair(asio::io_context& io, int client_fd, int server_fd)
        : client(io, tcp::v4(), client_fd), server(io, tcp::v4(), server_fd) {}

    void client_round() {
        asio::async_write(client, asio::buffer(client_buffer), [this](std::error_code ec, std::size_t) {
            if (ec) return;
            asio::async_read(client, asio::buffer(client_buffer), [this](std::error_code ec2, std::size_t) {
                if (ec2) return;
                ++*total;
                if (--rounds > 0) client_round();
            });
        });
    }
    void server_round() {
        asio::async_read(server, asio::buffer(server_buffer), [this](std::error_code ec, std::size_t) {
            if (ec) return;
            asio::async_write(server, asio::buffer(server_buffer), [this](std::error_code ec2, std::size_t) {
                if (!ec2) server_round();
            });
        });
    }
};

void echo_case(benchmark::State& state, int connections, long rounds) {
    asio::io_context io;
    std::vector<int> clients, servers;
    plain_pairs(connections, clients, servers);
    std::vector<std::unique_ptr<asio_echo_pair>> pairs;
    long total = 0;
    for (int i = 0; i < connections; ++i) {
        pairs.push_back(std::make_unique<asio_echo_pair>(io, clients[i], servers[i]));
        pairs.back()->total = &total;
        pairs.back()->server_round();
    }
    const long per_batch = connections * rounds;
    for (auto _ : state) {
        total = 0;
        for (auto& pair : pairs) {
            pair->rounds = rounds;
            pair->client_round();
        }
        if (!asio_run_until(io, [&] { return total >= per_batch; })) {
            state.SkipWithError("echo batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * per_batch);
}

void asio_pingpong(benchmark::State& state) { echo_case(state, 1, pingpong_batch); }
void asio_echo(benchmark::State& state) { echo_case(state, echo_connections, echo_rounds); }

void asio_bulk(benchmark::State& state) {
    asio::io_context io;
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    tcp::socket client(io, tcp::v4(), client_fd), server(io, tcp::v4(), server_fd);
    std::vector<char> out(bulk_chunk, 'x'), in(bulk_chunk);
    std::size_t written = 0, received = 0, target = 0;
    std::function<void()> write_more = [&] {
        asio::async_write(client, asio::buffer(out), [&](std::error_code ec, std::size_t n) {
            written += n;
            if (!ec && written < target) write_more();
        });
    };
    std::function<void()> read_more = [&] {
        server.async_read_some(asio::buffer(in), [&](std::error_code ec, std::size_t n) {
            received += n;
            if (!ec) read_more();
        });
    };
    read_more();
    for (auto _ : state) {
        target += bulk_batch;
        write_more();
        if (!asio_run_until(io, [&] { return received >= target; })) {
            state.SkipWithError("bulk batch timed out");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
}

// Accepts and closes whatever `connect` makes, one batch of `batch` per iteration.
template <typename Connect>
void accept_case(benchmark::State& state, long batch, Connect connect) {
    asio::io_context io;
    tcp::acceptor acceptor = asio_listener(io);
    const std::uint16_t port = acceptor.local_endpoint().port();
    std::atomic<long> accepted{0};
    std::function<void()> accept_next = [&] {
        acceptor.async_accept([&](std::error_code ec, tcp::socket socket) {
            if (ec) return;
            socket.close();
            accepted.fetch_add(1, std::memory_order_release);
            accept_next();
        });
    };
    accept_next();
    for (auto _ : state) {
        const long base = accepted.load();
        std::thread connecting(connect, port, std::cref(accepted), base);
        const bool finished = asio_run_until(io, [&] { return accepted.load() - base >= batch; });
        connecting.join();
        if (!finished) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void asio_accept(benchmark::State& state) {
    accept_case(state, accept_batch, [](std::uint16_t port, const std::atomic<long>& accepted, long base) {
        connector(port, accept_batch, accepted, base);
    });
}

void asio_burst(benchmark::State& state) { accept_case(state, burst_connections, burst_connector); }

[[maybe_unused]] const bool registered = [] {
    register_case(ASIO_CASE("pingpong"), asio_pingpong, socket_min_time);
    register_case(ASIO_CASE("bulk"), asio_bulk, socket_min_time);
    register_case(ASIO_CASE("echo_1000"), asio_echo, socket_min_time);
    register_case(ASIO_CASE("accept"), asio_accept, accept_min_time);
    register_case(ASIO_CASE("accept_close_100"), asio_burst, accept_min_time);
    return true;
}();

}  // namespace
}  // namespace tcp_bench
