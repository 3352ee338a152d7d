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
#include <cstdint>
#include <cstring>
#include <functional>
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
void connector(std::uint16_t port, long count, const std::atomic<long>& accepted, long base) {
    for (long i = 0; i < count; ++i) {
        while (accepted.load(std::memory_order_acquire) - base < i - accept_window) std::this_thread::yield();
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
        while (count < target) io.run_one();
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
        while (received < target) io.run_one();
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
        while (accepted.load() - base < accept_batch) io.run_one();
        connecting.join();
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
#include "frame/asyn_io_operation_object.h"
#include "socket/socket_objects.h"
#include "socket/socket_services.h"

namespace {

// ---- libuv ------------------------------------------------------------------------------------

struct uv_pingpong_state {
    uv_loop_t loop;
    uv_tcp_t client, server;
    char client_buffer[message_size] = {}, server_buffer[message_size] = {};
    std::size_t client_got = 0, server_got = 0;
    long count = 0, target = 0;
    uv_write_t client_write, server_write;
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
        send_client(s);
        uv_run(&s->loop, UV_RUN_DEFAULT);
    }
    state.SetItemsProcessed(state.iterations() * pingpong_batch);
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
        uv_write_more(s);
        uv_run(&s->loop, UV_RUN_DEFAULT);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
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
};

void uv_accept_bench(benchmark::State& state) {
    auto* s = new uv_accept_state;
    uv_loop_init(&s->loop);
    uv_tcp_init(&s->loop, &s->listener);
    s->listener.data = s;
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
        while (s->accepted.load() < s->stop_at) uv_run(&s->loop, UV_RUN_ONCE);
        connecting.join();
    }
    state.SetItemsProcessed(state.iterations() * accept_batch);
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

// Runs `work` on the dispatch thread: it is the completion of an operation
// posted with a preset result, delivered to a sink of its own.
void on_dispatch(our_engine& engine, callback_sink*, const std::function<void()>& work) {
    std::atomic<bool> done{false};
    auto* kick_sink = new callback_sink;
    kick_sink->on_complete = [&](IAsynIoOperation*, DWORD, DWORD) {
        work();
        done = true;
        done.notify_all();
    };
    IAsynIoOperation* kick = our_operation(engine, kick_sink, 0);
    CAsynIoOperation* object = CAsynIoOperation::resolve(kick);
    object->AddRef();  // the posted request's reference
    object->engine_operation()->set_preset_result(0, 0);
    object->engine_operation()->post();
    done.wait(false);
    kick->Release();
    kick_sink->Release();
}

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
    std::atomic<long> count{0};
    std::atomic<bool> finished{false};
    long target = 0;
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
            } else if (count.fetch_add(1) + 1 < target) {
                client_writing = true;
                client->WriteFully(client_op);
            } else {
                finished = true;
                finished.notify_all();
            }
        }
    };
    on_dispatch(engine, sink, [&] { server->ReadFully(server_op); });
    for (auto _ : state) {
        count = 0;
        finished = false;
        target = pingpong_batch;
        on_dispatch(engine, sink, [&] {
            client_writing = true;
            client->WriteFully(client_op);
        });
        finished.wait(false);
    }
    state.SetItemsProcessed(state.iterations() * pingpong_batch);
    on_dispatch(engine, sink, [&] {
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
    std::size_t written = 0;
    std::atomic<std::size_t> received{0};
    std::atomic<bool> finished{false};
    std::size_t target = 0;
    sink->on_complete = [&](IAsynIoOperation* op, DWORD error, DWORD bytes) {
        if (error != 0) return;
        if (op == server_op) {
            if (received.fetch_add(bytes) + bytes >= target && target != 0) {
                finished = true;
                finished.notify_all();
            }
            if (bytes != 0) server->Read(server_op);
        } else if (op == client_op) {
            written += bytes;
            if (written < target) client->WriteFully(client_op);
        }
    };
    on_dispatch(engine, sink, [&] { server->Read(server_op); });
    for (auto _ : state) {
        const std::size_t goal = target + bulk_batch;
        finished = false;
        on_dispatch(engine, sink, [&] {
            target = goal;
            client->WriteFully(client_op);
        });
        finished.wait(false);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bulk_batch));
    on_dispatch(engine, sink, [&] {
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
    std::atomic<long> accepted{0};
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
        accepted.fetch_add(1, std::memory_order_release);
        accepted.notify_all();
        listener->Accept(op);
    };
    on_dispatch(engine, sink, [&] {
        listener->ListenOn(htonl(INADDR_LOOPBACK), 0, listen_op);
        for (IAsynIoOperation* op : accept_ops) listener->Accept(op);
    });
    const std::uint16_t port = listener->listening_device()->local_port();
    for (auto _ : state) {
        const long base = accepted.load();
        std::thread connecting(connector, port, accept_batch, std::cref(accepted), base);
        for (long seen = accepted.load(); seen - base < accept_batch; seen = accepted.load()) accepted.wait(seen);
        connecting.join();
    }
    state.SetItemsProcessed(state.iterations() * accept_batch);
    on_dispatch(engine, sink, [&] {
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
