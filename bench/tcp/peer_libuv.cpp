// libuv's cases (its epoll loop).
#include <uv.h>

#include <memory>

#include "tcp_common.h"

namespace tcp_bench {
namespace {

// Ends a batch that runs past the limit: stops the loop and marks the batch.
struct uv_watchdog {
    uv_timer_t timer;
    bool fired = false;

    void init(uv_loop_t* loop) {
        uv_timer_init(loop, &timer);
        timer.data = this;
    }
    void arm() {
        fired = false;
        uv_timer_start(
            &timer,
            [](uv_timer_t* t) {
                static_cast<uv_watchdog*>(t->data)->fired = true;
                uv_stop(t->loop);
            },
            static_cast<std::uint64_t>(std::chrono::milliseconds(wait_limit).count()), 0);
    }
    void disarm() { uv_timer_stop(&timer); }
    void close() { uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr); }
};

uv_stream_t* stream_of(uv_tcp_t* handle) { return reinterpret_cast<uv_stream_t*>(handle); }

// Closes the handles, lets the loop finish them, and closes the loop.
void finish_loop(uv_loop_t* loop) {
    uv_walk(
        loop,
        [](uv_handle_t* handle, void*) {
            if (!uv_is_closing(handle)) uv_close(handle, nullptr);
        },
        nullptr);
    uv_run(loop, UV_RUN_DEFAULT);
    uv_loop_close(loop);
}

// One echo connection: the client writes 64 bytes and reads them back,
// `rounds` times; the server echoes.
struct uv_echo_pair {
    uv_tcp_t client, server;
    char client_buffer[message_size] = {}, server_buffer[message_size] = {};
    std::size_t client_got = 0, server_got = 0;
    long rounds = 0;
    uv_write_t client_write, server_write;
    struct uv_echo_run* run = nullptr;
};

struct uv_echo_run {
    uv_loop_t loop;
    long total = 0, target = 0;
    uv_watchdog watchdog;
};

void uv_client_send(uv_echo_pair* pair) {
    uv_buf_t buffer = uv_buf_init(pair->client_buffer, message_size);
    uv_write(&pair->client_write, stream_of(&pair->client), &buffer, 1, nullptr);
}

void uv_start_pair(uv_echo_pair* pair) {
    pair->client.data = pair->server.data = pair;
    uv_read_start(
        stream_of(&pair->server),
        [](uv_handle_t* h, std::size_t, uv_buf_t* buffer) {
            auto* p = static_cast<uv_echo_pair*>(h->data);
            *buffer = uv_buf_init(p->server_buffer + p->server_got, message_size - p->server_got);
        },
        [](uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
            auto* p = static_cast<uv_echo_pair*>(stream->data);
            if (n <= 0) return;
            p->server_got += static_cast<std::size_t>(n);
            if (p->server_got < message_size) return;
            p->server_got = 0;
            uv_buf_t buffer = uv_buf_init(p->server_buffer, message_size);
            uv_write(&p->server_write, stream, &buffer, 1, nullptr);
        });
    uv_read_start(
        stream_of(&pair->client),
        [](uv_handle_t* h, std::size_t, uv_buf_t* buffer) {
            auto* p = static_cast<uv_echo_pair*>(h->data);
            *buffer = uv_buf_init(p->client_buffer + p->client_got, message_size - p->client_got);
        },
        [](uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
            auto* p = static_cast<uv_echo_pair*>(stream->data);
            if (n <= 0) return;
            p->client_got += static_cast<std::size_t>(n);
            if (p->client_got < message_size) return;
            p->client_got = 0;
            if (++p->run->total >= p->run->target) uv_stop(stream->loop);
            if (--p->rounds > 0) uv_client_send(p);
        });
}

void echo_case(benchmark::State& state, int connections, long rounds) {
    auto run = std::make_unique<uv_echo_run>();
    uv_loop_init(&run->loop);
    run->watchdog.init(&run->loop);
    std::vector<int> clients, servers;
    plain_pairs(connections, clients, servers);
    std::vector<std::unique_ptr<uv_echo_pair>> pairs;
    for (int i = 0; i < connections; ++i) {
        auto pair = std::make_unique<uv_echo_pair>();
        pair->run = run.get();
        uv_tcp_init(&run->loop, &pair->client);
        uv_tcp_init(&run->loop, &pair->server);
        uv_tcp_open(&pair->client, clients[i]);
        uv_tcp_open(&pair->server, servers[i]);
        uv_start_pair(pair.get());
        pairs.push_back(std::move(pair));
    }
    const long per_batch = connections * rounds;
    for (auto _ : state) {
        run->total = 0;
        run->target = per_batch;
        for (auto& pair : pairs) {
            pair->rounds = rounds;
            uv_client_send(pair.get());
        }
        run->watchdog.arm();
        while (run->total < run->target && !run->watchdog.fired) uv_run(&run->loop, UV_RUN_DEFAULT);
        run->watchdog.disarm();
        if (run->watchdog.fired) {
            state.SkipWithError("echo batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * per_batch);
    finish_loop(&run->loop);
}

void uv_pingpong(benchmark::State& state) { echo_case(state, 1, pingpong_batch); }
void uv_echo(benchmark::State& state) { echo_case(state, echo_connections, echo_rounds); }

struct uv_bulk_state {
    uv_loop_t loop;
    uv_tcp_t client, server;
    std::vector<char> out = std::vector<char>(bulk_chunk, 'x'), in = std::vector<char>(bulk_chunk);
    std::size_t written = 0, received = 0, target = 0;
    uv_write_t write_request;
    uv_watchdog watchdog;
};

void uv_write_more(uv_bulk_state* p) {
    uv_buf_t buffer = uv_buf_init(p->out.data(), bulk_chunk);
    p->write_request.data = p;
    uv_write(&p->write_request, stream_of(&p->client), &buffer, 1, [](uv_write_t* request, int status) {
        auto* q = static_cast<uv_bulk_state*>(request->data);
        q->written += bulk_chunk;
        if (status == 0 && q->written < q->target) uv_write_more(q);
    });
}

void uv_bulk(benchmark::State& state) {
    auto s = std::make_unique<uv_bulk_state>();
    uv_loop_init(&s->loop);
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    uv_tcp_init(&s->loop, &s->client);
    uv_tcp_init(&s->loop, &s->server);
    uv_tcp_open(&s->client, client_fd);
    uv_tcp_open(&s->server, server_fd);
    s->client.data = s->server.data = s.get();
    s->watchdog.init(&s->loop);
    for (auto _ : state) {
        s->target += bulk_batch;
        uv_read_start(
            stream_of(&s->server),
            [](uv_handle_t* h, std::size_t, uv_buf_t* buffer) {
                auto* p = static_cast<uv_bulk_state*>(h->data);
                *buffer = uv_buf_init(p->in.data(), bulk_chunk);
            },
            [](uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
                auto* p = static_cast<uv_bulk_state*>(stream->data);
                if (n <= 0) return;
                p->received += static_cast<std::size_t>(n);
                if (p->received >= p->target) {
                    uv_read_stop(stream);
                    uv_stop(stream->loop);
                }
            });
        s->watchdog.arm();
        uv_write_more(s.get());
        uv_run(&s->loop, UV_RUN_DEFAULT);
        s->watchdog.disarm();
        if (s->watchdog.fired) {
            state.SkipWithError("bulk batch timed out");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
    finish_loop(&s->loop);
}

struct uv_accept_state {
    uv_loop_t loop;
    uv_tcp_t listener;
    std::atomic<long> accepted{0};
    long stop_at = 0;
    uv_watchdog watchdog;
};

template <typename Connect>
void accept_case(benchmark::State& state, long batch, Connect connect) {
    auto s = std::make_unique<uv_accept_state>();
    uv_loop_init(&s->loop);
    uv_tcp_init(&s->loop, &s->listener);
    s->listener.data = s.get();
    s->watchdog.init(&s->loop);
    sockaddr_in address = loopback(0);
    uv_tcp_bind(&s->listener, reinterpret_cast<sockaddr*>(&address), 0);
    int length = sizeof address;
    uv_tcp_getsockname(&s->listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);
    uv_listen(stream_of(&s->listener), listen_backlog, [](uv_stream_t* server, int status) {
        if (status < 0) return;
        auto* p = static_cast<uv_accept_state*>(server->data);
        auto* connection = new uv_tcp_t;
        uv_tcp_init(server->loop, connection);
        if (uv_accept(server, stream_of(connection)) == 0) {
            if (p->accepted.fetch_add(1, std::memory_order_release) + 1 >= p->stop_at) uv_stop(server->loop);
        }
        uv_close(reinterpret_cast<uv_handle_t*>(connection),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_tcp_t*>(handle); });
    });
    for (auto _ : state) {
        const long base = s->accepted.load();
        s->stop_at = base + batch;
        std::thread connecting(connect, port, std::cref(s->accepted), base);
        s->watchdog.arm();
        while (s->accepted.load() < s->stop_at && !s->watchdog.fired) uv_run(&s->loop, UV_RUN_ONCE);
        s->watchdog.disarm();
        connecting.join();
        if (s->watchdog.fired) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
    finish_loop(&s->loop);
}

void uv_accept_bench(benchmark::State& state) {
    accept_case(state, accept_batch, [](std::uint16_t port, const std::atomic<long>& accepted, long base) {
        connector(port, accept_batch, accepted, base);
    });
}

void uv_burst(benchmark::State& state) { accept_case(state, burst_connections, burst_connector); }

[[maybe_unused]] const bool registered = [] {
    register_case("pingpong/libuv", uv_pingpong, socket_min_time);
    register_case("bulk/libuv", uv_bulk, socket_min_time);
    register_case("echo_1000/libuv", uv_echo, socket_min_time);
    register_case("accept/libuv", uv_accept_bench, accept_min_time);
    register_case("accept_close_100/libuv", uv_burst, accept_min_time);
    return true;
}();

}  // namespace
}  // namespace tcp_bench
