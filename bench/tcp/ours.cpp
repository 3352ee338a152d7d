// This library's cases, each run twice in the same program: on the ring
// ("ours") and on the readiness loop ("ours_epoll").
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include "../common/our_engine.h"
#include "platform/io_backend.h"
#include "socket/socket_objects.h"
#include "tcp_common.h"

namespace tcp_bench {
namespace {

using namespace asynframe;

using namespace asynframe_bench;

// The listen backlog every library gets.
bench_settings& settings() {
    static bench_settings instance = [] {
        bench_settings made;
        made.set("socket", "listen_backlog", listen_backlog);
        return made;
    }();
    return instance;
}

IAsynTcpSocket* our_socket(our_engine& engine, int fd) {
    auto* socket = new CAsynTcpSocket(engine.services(), std::make_unique<asyn_socket_device_imp>(engine.services(), fd));
    socket->set_open(true);
    return socket;
}

// `connections` echo pairs, all on one engine: each client writes 64 bytes and
// reads them back `rounds` times a batch; each server echoes. The exchange
// runs in completion handlers on the dispatch thread; the benchmark thread
// starts a batch and waits once for its end, as for the peers.
void echo_case(benchmark::State& state, bool readiness, int connections, long rounds) {
    our_engine engine(readiness, with_acceptor, &settings());
    std::vector<int> client_fds, server_fds;
    plain_pairs(connections, client_fds, server_fds);
    struct pair {
        IAsynTcpSocket* client;
        IAsynTcpSocket* server;
        IAsynIoOperation* client_op;
        IAsynIoOperation* server_op;
        bool client_writing = true, server_reading = true;
        long rounds = 0;
    };
    auto* sink = new callback_sink;
    std::vector<pair> pairs(static_cast<std::size_t>(connections));
    for (int i = 0; i < connections; ++i) {
        pair& p = pairs[static_cast<std::size_t>(i)];
        p.client = our_socket(engine, client_fds[static_cast<std::size_t>(i)]);
        p.server = our_socket(engine, server_fds[static_cast<std::size_t>(i)]);
        p.client_op = our_operation(engine, sink, message_size, i * 2);
        p.server_op = our_operation(engine, sink, message_size, i * 2 + 1);
    }
    long total = 0, target = 0;  // dispatch thread only
    batch_signal batch_done;
    sink->on_complete = [&](IAsynIoOperation* op, DWORD error, DWORD) {
        if (error != 0) return;
        LONG tag = 0;
        op->GetTag(&tag);
        pair& p = pairs[static_cast<std::size_t>(tag / 2)];
        if (tag % 2 != 0) {
            p.server_reading = !p.server_reading;
            if (p.server_reading)
                p.server->ReadFully(p.server_op);
            else
                p.server->WriteFully(p.server_op);
        } else if (p.client_writing) {
            p.client_writing = false;
            p.client->ReadFully(p.client_op);
        } else {
            if (++total == target) batch_done.raise();
            if (--p.rounds > 0) {
                p.client_writing = true;
                p.client->WriteFully(p.client_op);
            }
        }
    };
    on_dispatch(engine, [&] {
        for (pair& p : pairs) p.server->ReadFully(p.server_op);
    });
    const long per_batch = connections * rounds;
    for (auto _ : state) {
        batch_done.reset();
        post_to_dispatch(engine, [&] {
            total = 0;
            target = per_batch;
            for (pair& p : pairs) {
                p.rounds = rounds;
                p.client_writing = true;
                p.client->WriteFully(p.client_op);
            }
        });
        if (!batch_done.wait()) {
            state.SkipWithError("echo batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * per_batch);
    // Closed and released on the dispatch thread, where the completions of
    // the reads the close ends also run. Those come after this case has
    // returned: the sink must no longer reach its locals.
    on_dispatch(engine, [&] {
        sink->on_complete = [](IAsynIoOperation*, DWORD, DWORD) {};
        for (pair& p : pairs) {
            p.client->Close();
            p.server->Close();
            p.client->Release();
            p.server->Release();
            p.client_op->Release();
            p.server_op->Release();
        }
    });
    sink->Release();
}

void bulk_case(benchmark::State& state, bool readiness) {
    our_engine engine(readiness, with_acceptor, &settings());
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
        sink->on_complete = [](IAsynIoOperation*, DWORD, DWORD) {};
        client->Close();
        server->Close();
        client->Release();
        server->Release();
        client_op->Release();
        server_op->Release();
    });
    sink->Release();
}

// Accepts (with `accept_window` requests outstanding) and closes whatever
// `connect` makes, one batch of `batch` per iteration.
template <typename Connect>
void accept_case(benchmark::State& state, bool readiness, long batch, Connect connect) {
    our_engine engine(readiness, with_acceptor, &settings());
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
        goal.store(base + batch, std::memory_order_release);
        std::thread connecting(connect, port, std::cref(accepted), base);
        const bool finished = batch_done.wait();
        connecting.join();
        if (!finished) {
            state.SkipWithError("accept batch timed out");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
    on_dispatch(engine, [&] {
        stopping = true;
        sink->on_complete = [](IAsynIoOperation*, DWORD, DWORD) {};
        listener->Close();
    });
    for (IAsynIoOperation* op : accept_ops) op->Release();
    listen_op->Release();
    listener->Release();
    sink->Release();
}

void stream_accepts(std::uint16_t port, const std::atomic<long>& accepted, long base) {
    connector(port, accept_batch, accepted, base);
}

template <bool Readiness>
void pingpong(benchmark::State& state) {
    echo_case(state, Readiness, 1, pingpong_batch);
}
template <bool Readiness>
void echo(benchmark::State& state) {
    echo_case(state, Readiness, echo_connections, echo_rounds);
}
template <bool Readiness>
void bulk(benchmark::State& state) {
    bulk_case(state, Readiness);
}
template <bool Readiness>
void accept(benchmark::State& state) {
    accept_case(state, Readiness, accept_batch, stream_accepts);
}
template <bool Readiness>
void burst(benchmark::State& state) {
    accept_case(state, Readiness, burst_connections, burst_connector);
}

template <bool Readiness>
void register_ours(const char* suffix) {
    const std::string tail = std::string("/") + suffix;
    register_case(("pingpong" + tail).c_str(), pingpong<Readiness>, socket_min_time);
    register_case(("bulk" + tail).c_str(), bulk<Readiness>, socket_min_time);
    register_case(("echo_1000" + tail).c_str(), echo<Readiness>, socket_min_time);
    register_case(("accept" + tail).c_str(), accept<Readiness>, accept_min_time);
    register_case(("accept_close_100" + tail).c_str(), burst<Readiness>, accept_min_time);
}

[[maybe_unused]] const bool registered = [] {
    register_ours<false>("ours");
    register_ours<true>("ours_epoll");
    return true;
}();

}  // namespace
}  // namespace tcp_bench
