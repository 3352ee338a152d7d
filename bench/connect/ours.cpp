// This library's connects, through the connection scheduler, on the ring
// ("ours") and on the readiness loop ("ours_epoll").
#include <unordered_map>
#include <vector>

#include "../common/our_engine.h"
#include "connect_common.h"
#include "asynframe/socket.h"
#include "socket/socket_factory.h"

namespace connect_bench {
namespace {

using namespace asynframe;
using namespace asynframe_bench;

bench_settings g_settings;

// `connect_window` connects in flight; each completed one closes its socket
// and, while the batch lasts, starts the next in its place.
void connect_case(benchmark::State& state, bool readiness) {
    dropping_listener listener;
    our_engine engine(readiness, with_scheduler, &g_settings);
    auto* sink = new callback_sink;
    std::vector<IAsynIoOperation*> ops;
    std::unordered_map<IAsynIoOperation*, IAsynTcpSocket*> sockets;
    for (long i = 0; i < connect_window; ++i) ops.push_back(our_operation(engine, sink, 0));
    long started = 0, finished = 0, goal = 0, failed = 0;
    batch_signal batch_done;
    auto start = [&](IAsynIoOperation* op) {
        IAsynTcpSocket* socket = nullptr;
        socket_factory::create_tcp_socket(engine.services(), IID_IAsynTcpSocket, reinterpret_cast<void**>(&socket));
        sockets[op] = socket;
        ++started;
        if (socket->Connect(op, 9, "127.0.0.1", listener.port(), 0) != S_OK) give_up("starting a connect");
    };
    sink->on_complete = [&](IAsynIoOperation* op, DWORD error, DWORD) {
        if (error != 0) ++failed;
        IAsynTcpSocket* socket = sockets[op];
        socket->Close();
        socket->Release();
        sockets[op] = nullptr;
        if (++finished == goal) batch_done.raise();
        if (started < goal) start(op);
    };
    for (auto _ : state) {
        batch_done.reset();
        on_dispatch(engine, [&] {
            goal += connect_batch;
            for (IAsynIoOperation* op : ops)
                if (started < goal) start(op);
        });
        if (!batch_done.wait()) {
            state.SkipWithError("connect batch timed out");
            break;
        }
    }
    if (failed != 0) state.SkipWithError("connects failed");
    state.SetItemsProcessed(state.iterations() * connect_batch);
    on_dispatch(engine, [&] { sink->on_complete = nullptr; });
    for (IAsynIoOperation* op : ops) op->Release();
    sink->Release();
}

void connect_ours(benchmark::State& state) { connect_case(state, false); }
void connect_ours_epoll(benchmark::State& state) { connect_case(state, true); }

[[maybe_unused]] const bool registered = [] {
    register_case("connect/ours", connect_ours);
    register_case("connect/ours_epoll", connect_ours_epoll);
    return true;
}();

}  // namespace
}  // namespace connect_bench
