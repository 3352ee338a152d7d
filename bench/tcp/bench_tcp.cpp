// TCP over loopback: ping-pong round trips (64-byte messages) and 64 KiB bulk
// throughput on one connection, and accepts per second, for this library and
// for Asio and libuv. Built twice: bench_tcp (ours, Asio with its epoll
// reactor, libuv) and bench_tcp_asio_uring (Asio on io_uring).
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
#include <cstring>
#include <functional>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <asio.hpp>
#pragma GCC diagnostic pop

#include <benchmark/benchmark.h>

namespace {

constexpr std::size_t message_size = 64;
constexpr std::size_t bulk_chunk = 64 * 1024;
constexpr long pingpong_batch = 2000;
constexpr std::size_t bulk_batch = 256u << 20;  // bytes per iteration
constexpr long accept_batch = 500;
constexpr long accept_window = 4;  // connects ahead of accepts (the listen backlog is short)
// No wait in this program is unbounded: a batch that does not finish in time
// fails its case instead of hanging the run.
constexpr std::chrono::seconds wait_limit{20};

using bench_clock = std::chrono::steady_clock;

// The end of a bounded wait that starts now.
bench_clock::time_point wait_deadline() { return bench_clock::now() + wait_limit; }

// A wait that may not end in time where nothing sound can follow (teardown).
[[maybe_unused]] void give_up(const char* what) {
    std::fprintf(stderr, "bench_tcp: %s did not finish within %lld s\n", what,
                 static_cast<long long>(wait_limit.count()));
    std::fflush(stderr);
    std::_Exit(2);
}

// Raised once per batch by the loop's thread; the benchmark thread waits for it.
class batch_signal {
public:
    void reset() {
        std::lock_guard<std::mutex> guard(_lock);
        _raised = false;
    }
    void raise() {
        {
            std::lock_guard<std::mutex> guard(_lock);
            _raised = true;
        }
        _changed.notify_all();
    }
    // False when the limit passed first.
    bool wait() {
        std::unique_lock<std::mutex> guard(_lock);
        return _changed.wait_until(guard, wait_deadline(), [this] { return _raised; });
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    bool _raised = false;
};

// ---- plain helpers ------------------------------------------------------------------------

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int connect_to(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A connected loopback pair of plain descriptors, Nagle off on both.
void plain_pair(int& client, int& server) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    client = connect_to(ntohs(address.sin_port));
    server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Connects and closes `count` times, at most `accept_window` ahead of the accepts.
// Gives up when the accepts stop coming (the accepting side fails its case).
void connector(std::uint16_t port, long count, const std::atomic<long>& accepted, long base) {
    const auto deadline = wait_deadline();
    for (long i = 0; i < count; ++i) {
        while (accepted.load(std::memory_order_acquire) - base < i - accept_window) {
            if (bench_clock::now() > deadline) return;
            std::this_thread::yield();
        }
        const int fd = connect_to(port);
        if (fd >= 0) ::close(fd);
    }
}

// ---- Asio -----------------------------------------------------------------------------------

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

void asio_pingpong(benchmark::State& state) {
    asio::io_context io;
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    tcp::socket client(io, tcp::v4(), client_fd), server(io, tcp::v4(), server_fd);
    char client_buffer[message_size] = {}, server_buffer[message_size] = {};
    long count = 0, target = 0;
    std::function<void()> client_round = [&] {
        asio::async_write(client, asio::buffer(client_buffer), [&](std::error_code ec, std::size_t) {
            if (ec) return;
            asio::async_read(client, asio::buffer(client_buffer), [&](std::error_code ec2, std::size_t) {
                if (!ec2 && ++count < target) client_round();
            });
        });
    };
    std::function<void()> server_round = [&] {
        asio::async_read(server, asio::buffer(server_buffer), [&](std::error_code ec, std::size_t) {
            if (ec) return;
            asio::async_write(server, asio::buffer(server_buffer), [&](std::error_code ec2, std::size_t) {
                if (!ec2) server_round();
            });
        });
    };
    server_round();
    for (auto _ : state) {
        count = 0;
        target = pingpong_batch;
        client_round();
        if (!asio_run_until(io, [&] { return count >= target; })) {
            state.SkipWithError("ping-pong batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * pingpong_batch);
}

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

void asio_accept(benchmark::State& state) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
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
        std::thread connecting(connector, port, accept_batch, std::cref(accepted), base);
        const bool finished = asio_run_until(io, [&] { return accepted.load() - base >= accept_batch; });
        connecting.join();
        if (!finished) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * accept_batch);
}

BENCHMARK(asio_pingpong)->Name(ASIO_CASE("pingpong"))->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(asio_bulk)->Name(ASIO_CASE("bulk"))->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(asio_accept)->Name(ASIO_CASE("accept"))->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

#ifndef BENCH_ASIO_URING

#include <uv.h>

#include "engine/asyn_io_manager.h"
#include "component/asyn_io_operation_object.h"
#include "socket/socket_objects.h"
#include "socket/socket_services.h"

namespace {

// ---- libuv ------------------------------------------------------------------------------------

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

struct uv_pingpong_state {
    uv_loop_t loop;
    uv_tcp_t client, server;
    char client_buffer[message_size] = {}, server_buffer[message_size] = {};
    std::size_t client_got = 0, server_got = 0;
    long count = 0, target = 0;
    uv_write_t client_write, server_write;
    uv_watchdog watchdog;
};

void uv_pingpong(benchmark::State& state) {
    auto* s = new uv_pingpong_state;
    uv_loop_init(&s->loop);
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    uv_tcp_init(&s->loop, &s->client);
    uv_tcp_init(&s->loop, &s->server);
    uv_tcp_open(&s->client, client_fd);
    uv_tcp_open(&s->server, server_fd);
    s->client.data = s->server.data = s;
    s->watchdog.init(&s->loop);
    auto send_client = [](uv_pingpong_state* p) {
        uv_buf_t buffer = uv_buf_init(p->client_buffer, message_size);
        uv_write(&p->client_write, reinterpret_cast<uv_stream_t*>(&p->client), &buffer, 1, nullptr);
    };
    uv_read_start(
        reinterpret_cast<uv_stream_t*>(&s->server),
        [](uv_handle_t* h, std::size_t, uv_buf_t* buffer) {
            auto* p = static_cast<uv_pingpong_state*>(h->data);
            *buffer = uv_buf_init(p->server_buffer + p->server_got, message_size - p->server_got);
        },
        [](uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
            auto* p = static_cast<uv_pingpong_state*>(stream->data);
            if (n <= 0) return;
            p->server_got += static_cast<std::size_t>(n);
            if (p->server_got < message_size) return;
            p->server_got = 0;
            uv_buf_t buffer = uv_buf_init(p->server_buffer, message_size);
            uv_write(&p->server_write, stream, &buffer, 1, nullptr);
        });
    for (auto _ : state) {
        s->count = 0;
        s->target = pingpong_batch;
        uv_read_start(
            reinterpret_cast<uv_stream_t*>(&s->client),
            [](uv_handle_t* h, std::size_t, uv_buf_t* buffer) {
                auto* p = static_cast<uv_pingpong_state*>(h->data);
                *buffer = uv_buf_init(p->client_buffer + p->client_got, message_size - p->client_got);
            },
            [](uv_stream_t* stream, ssize_t n, const uv_buf_t*) {
                auto* p = static_cast<uv_pingpong_state*>(stream->data);
                if (n <= 0) return;
                p->client_got += static_cast<std::size_t>(n);
                if (p->client_got < message_size) return;
                p->client_got = 0;
                if (++p->count >= p->target) {
                    uv_read_stop(stream);
                    uv_stop(stream->loop);
                    return;
                }
                uv_buf_t buffer = uv_buf_init(p->client_buffer, message_size);
                uv_write(&p->client_write, stream, &buffer, 1, nullptr);
            });
        s->watchdog.arm();
        send_client(s);
        uv_run(&s->loop, UV_RUN_DEFAULT);
        s->watchdog.disarm();
        if (s->watchdog.fired) {
            state.SkipWithError("ping-pong batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * pingpong_batch);
    s->watchdog.close();
    uv_close(reinterpret_cast<uv_handle_t*>(&s->client), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&s->server), nullptr);
    uv_run(&s->loop, UV_RUN_DEFAULT);
    uv_loop_close(&s->loop);
    delete s;
}

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
    uv_write(&p->write_request, reinterpret_cast<uv_stream_t*>(&p->client), &buffer, 1,
             [](uv_write_t* request, int status) {
                 auto* q = static_cast<uv_bulk_state*>(request->data);
                 q->written += bulk_chunk;
                 if (status == 0 && q->written < q->target) uv_write_more(q);
             });
}

void uv_bulk(benchmark::State& state) {
    auto* s = new uv_bulk_state;
    uv_loop_init(&s->loop);
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    uv_tcp_init(&s->loop, &s->client);
    uv_tcp_init(&s->loop, &s->server);
    uv_tcp_open(&s->client, client_fd);
    uv_tcp_open(&s->server, server_fd);
    s->client.data = s->server.data = s;
    s->watchdog.init(&s->loop);
    for (auto _ : state) {
        s->target += bulk_batch;
        uv_read_start(
            reinterpret_cast<uv_stream_t*>(&s->server),
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
        uv_write_more(s);
        uv_run(&s->loop, UV_RUN_DEFAULT);
        s->watchdog.disarm();
        if (s->watchdog.fired) {
            state.SkipWithError("bulk batch timed out");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
    s->watchdog.close();
    uv_close(reinterpret_cast<uv_handle_t*>(&s->client), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&s->server), nullptr);
    uv_run(&s->loop, UV_RUN_DEFAULT);
    uv_loop_close(&s->loop);
    delete s;
}

struct uv_accept_state {
    uv_loop_t loop;
    uv_tcp_t listener;
    std::atomic<long> accepted{0};
    long stop_at = 0;
    uv_watchdog watchdog;
};

void uv_accept_bench(benchmark::State& state) {
    auto* s = new uv_accept_state;
    uv_loop_init(&s->loop);
    uv_tcp_init(&s->loop, &s->listener);
    s->listener.data = s;
    s->watchdog.init(&s->loop);
    sockaddr_in address = loopback(0);
    uv_tcp_bind(&s->listener, reinterpret_cast<sockaddr*>(&address), 0);
    int length = sizeof address;
    uv_tcp_getsockname(&s->listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);
    uv_listen(reinterpret_cast<uv_stream_t*>(&s->listener), 128, [](uv_stream_t* server, int status) {
        if (status < 0) return;
        auto* p = static_cast<uv_accept_state*>(server->data);
        auto* connection = new uv_tcp_t;
        uv_tcp_init(server->loop, connection);
        if (uv_accept(server, reinterpret_cast<uv_stream_t*>(connection)) == 0) {
            if (p->accepted.fetch_add(1, std::memory_order_release) + 1 >= p->stop_at) uv_stop(server->loop);
        }
        uv_close(reinterpret_cast<uv_handle_t*>(connection),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_tcp_t*>(handle); });
    });
    for (auto _ : state) {
        const long base = s->accepted.load();
        s->stop_at = base + accept_batch;
        std::thread connecting(connector, port, accept_batch, std::cref(s->accepted), base);
        s->watchdog.arm();
        while (s->accepted.load() < s->stop_at && !s->watchdog.fired) uv_run(&s->loop, UV_RUN_ONCE);
        s->watchdog.disarm();
        connecting.join();
        if (s->watchdog.fired) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * accept_batch);
    s->watchdog.close();
    uv_close(reinterpret_cast<uv_handle_t*>(&s->listener), nullptr);
    uv_run(&s->loop, UV_RUN_DEFAULT);
    uv_loop_close(&s->loop);
    delete s;
}

BENCHMARK(uv_pingpong)->Name("pingpong/libuv")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(uv_bulk)->Name("bulk/libuv")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(uv_accept_bench)->Name("accept/libuv")->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- ours ---------------------------------------------------------------------------------------

using namespace asynframe;

// An engine in port mode with its acceptor.
class our_engine {
public:
    our_engine() {
        _services.operation_objects_ptr = &_objects;
        _manager = std::make_unique<asyn_io_manager>(&_services, false);
        _services.asyn_io_manager_ptr = _manager.get();
        socket_services::create_accept_manager(_services);
        socket_services::start_accept_manager(_services);
        _manager->start();
    }
    ~our_engine() {
        _manager->stop();
        socket_services::stop_accept_manager(_services);
        socket_services::destroy_accept_manager(_services);
    }
    singleton_instance* services() { return &_services; }
    bool in_dispatch() const { return _manager->in_dispatch_thread(); }

private:
    singleton_instance _services;
    CAsynIoOperationObjects _objects{&_services};
    std::unique_ptr<asyn_io_manager> _manager;
};

// Calls a function for every completion, on the dispatch thread.
class callback_sink final : public IAsynIoOperationEvents {
public:
    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG ASYNFRAME_STDCALL AddRef() override { return ++_references; }
    ULONG ASYNFRAME_STDCALL Release() override {
        const ULONG left = --_references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        DWORD error = 0, bytes = 0;
        operation->GetResult(&error, &bytes);
        on_complete(operation, error, bytes);
        return S_OK;
    }
    std::function<void(IAsynIoOperation*, DWORD, DWORD)> on_complete;

private:
    std::atomic<ULONG> _references{1};
};

IAsynIoOperation* our_operation(our_engine& engine, callback_sink* sink, DWORD size) {
    IAsynIoOperation* operation = nullptr;
    CAsynIoOperation::create(engine.services(), sink, IID_IAsynIoOperation, reinterpret_cast<void**>(&operation));
    operation->SetTag(0);
    if (size != 0) {
        operation->AllocBuffer(size);
        operation->SetRange(0, size);
    }
    return operation;
}

IAsynTcpSocket* our_socket(our_engine& engine, int fd) {
    auto* socket = new CAsynTcpSocket(engine.services(), std::make_unique<asyn_socket_device_imp>(engine.services(), fd));
    socket->set_open(true);
    return socket;
}

// Runs `work` on the dispatch thread without waiting for it: it is the
// completion of an operation posted with a preset result, delivered to a sink
// of its own; both go away after it.
void post_to_dispatch(our_engine& engine, std::function<void()> work) {
    auto* kick_sink = new callback_sink;
    kick_sink->on_complete = [kick_sink, work = std::move(work)](IAsynIoOperation* kick, DWORD, DWORD) {
        work();
        kick->Release();       // the creator's reference; the request still holds one
        kick_sink->Release();  // the delivery holds the sink until the callback returns
    };
    IAsynIoOperation* kick = our_operation(engine, kick_sink, 0);
    CAsynIoOperation* object = CAsynIoOperation::resolve(kick);
    object->AddRef();  // the posted request's reference
    object->engine_operation()->set_preset_result(0, 0);
    if (!object->engine_operation()->post()) give_up("posting to the dispatch thread");
}

// Runs `work` on the dispatch thread and waits for it (set-up and teardown).
void on_dispatch(our_engine& engine, const std::function<void()>& work) {
    batch_signal done;
    post_to_dispatch(engine, [&] {
        work();
        done.raise();
    });
    if (!done.wait()) give_up("a call on the dispatch thread");
}

// The whole exchange runs in completion handlers on the dispatch thread; the
// benchmark thread starts a batch and waits once for its end, as for the peers.
void our_pingpong(benchmark::State& state) {
    our_engine engine;
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    IAsynTcpSocket* client = our_socket(engine, client_fd);
    IAsynTcpSocket* server = our_socket(engine, server_fd);
    auto* sink = new callback_sink;
    IAsynIoOperation* client_op = our_operation(engine, sink, message_size);
    IAsynIoOperation* server_op = our_operation(engine, sink, message_size);
    bool client_writing = true, server_reading = true;
    long count = 0, target = 0;  // dispatch thread only
    batch_signal batch_done;
    sink->on_complete = [&](IAsynIoOperation* op, DWORD error, DWORD) {
        if (error != 0) return;
        if (op == server_op) {
            server_reading = !server_reading;
            if (server_reading)
                server->ReadFully(server_op);
            else
                server->WriteFully(server_op);
        } else if (op == client_op) {
            if (client_writing) {
                client_writing = false;
                client->ReadFully(client_op);
            } else if (++count < target) {
                client_writing = true;
                client->WriteFully(client_op);
            } else {
                batch_done.raise();
            }
        }
    };
    on_dispatch(engine, [&] { server->ReadFully(server_op); });
    for (auto _ : state) {
        batch_done.reset();
        post_to_dispatch(engine, [&] {
            count = 0;
            target = pingpong_batch;
            client_writing = true;
            client->WriteFully(client_op);
        });
        if (!batch_done.wait()) {
            state.SkipWithError("ping-pong batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * pingpong_batch);
    on_dispatch(engine, [&] {
        client->Close();
        server->Close();
    });
    client->Release();
    server->Release();
    client_op->Release();
    server_op->Release();
    sink->Release();
}

void our_bulk(benchmark::State& state) {
    our_engine engine;
    int client_fd = -1, server_fd = -1;
    plain_pair(client_fd, server_fd);
    IAsynTcpSocket* client = our_socket(engine, client_fd);
    IAsynTcpSocket* server = our_socket(engine, server_fd);
    auto* sink = new callback_sink;
    IAsynIoOperation* client_op = our_operation(engine, sink, bulk_chunk);
    IAsynIoOperation* server_op = our_operation(engine, sink, bulk_chunk);
    std::size_t written = 0, received = 0, target = 0;  // dispatch thread only
    batch_signal batch_done;
    sink->on_complete = [&](IAsynIoOperation* op, DWORD error, DWORD bytes) {
        if (error != 0) return;
        if (op == server_op) {
            const bool was_short = received < target;
            received += bytes;
            if (was_short && received >= target) batch_done.raise();
            if (bytes != 0) server->Read(server_op);
        } else if (op == client_op) {
            written += bytes;
            if (written < target) client->WriteFully(client_op);
        }
    };
    on_dispatch(engine, [&] { server->Read(server_op); });
    for (auto _ : state) {
        batch_done.reset();
        post_to_dispatch(engine, [&] {
            target += bulk_batch;
            client->WriteFully(client_op);
        });
        if (!batch_done.wait()) {
            state.SkipWithError("bulk batch timed out");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
    on_dispatch(engine, [&] {
        client->Close();
        server->Close();
    });
    client->Release();
    server->Release();
    client_op->Release();
    server_op->Release();
    sink->Release();
}

void our_accept(benchmark::State& state) {
    our_engine engine;
    auto* sink = new callback_sink;
    auto* listener = new CAsynTcpListener(engine.services());
    IAsynIoOperation* listen_op = our_operation(engine, sink, 0);
    std::vector<IAsynIoOperation*> accept_ops;
    for (long i = 0; i < accept_window; ++i) accept_ops.push_back(our_operation(engine, sink, 0));
    std::atomic<long> accepted{0};  // the connector paces itself by it
    std::atomic<long> goal{0};
    batch_signal batch_done;
    bool stopping = false;
    sink->on_complete = [&](IAsynIoOperation* op, DWORD error, DWORD) {
        if (op == listen_op || stopping || error != 0) return;
        IUnknown* connection = nullptr;
        op->GetResultObject(&connection);
        op->SetResultObject(nullptr);
        if (connection != nullptr) {
            IAsynTcpSocket* socket = nullptr;
            connection->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&socket));
            if (socket != nullptr) {
                socket->Close();
                socket->Release();
            }
            connection->Release();
        }
        if (accepted.fetch_add(1, std::memory_order_release) + 1 == goal.load(std::memory_order_acquire))
            batch_done.raise();
        listener->Accept(op);
    };
    on_dispatch(engine, [&] {
        listener->ListenOn(htonl(INADDR_LOOPBACK), 0, listen_op);
        for (IAsynIoOperation* op : accept_ops) listener->Accept(op);
    });
    const std::uint16_t port = listener->listening_device()->local_port();
    for (auto _ : state) {
        const long base = accepted.load();
        batch_done.reset();
        goal.store(base + accept_batch, std::memory_order_release);
        std::thread connecting(connector, port, accept_batch, std::cref(accepted), base);
        const bool finished = batch_done.wait();
        connecting.join();
        if (!finished) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * accept_batch);
    on_dispatch(engine, [&] {
        stopping = true;
        listener->Close();
    });
    for (IAsynIoOperation* op : accept_ops) op->Release();
    listen_op->Release();
    listener->Release();
    sink->Release();
}

BENCHMARK(our_pingpong)->Name("pingpong/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(our_bulk)->Name("bulk/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(our_accept)->Name("accept/ours")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

#endif

BENCHMARK_MAIN();
