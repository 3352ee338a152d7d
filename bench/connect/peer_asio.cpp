// Asio's connects, with its default epoll reactor.
#include <memory>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <asio.hpp>
#pragma GCC diagnostic pop

#include "connect_common.h"

namespace connect_bench {
namespace {

using asio::ip::tcp;

struct asio_connects {
    asio::io_context io{1};
    tcp::endpoint target;
    std::vector<std::unique_ptr<tcp::socket>> sockets;
    long started = 0, finished = 0, goal = 0, failed = 0;

    void start(std::size_t slot) {
        ++started;
        sockets[slot] = std::make_unique<tcp::socket>(io);
        sockets[slot]->async_connect(target, [this, slot](const asio::error_code& error) {
            if (error) ++failed;
            asio::error_code ignored;
            sockets[slot]->close(ignored);
            ++finished;
            if (started < goal) start(slot);
        });
    }
};

void connect_asio(benchmark::State& state) {
    dropping_listener listener;
    asio_connects c;
    c.target = tcp::endpoint(asio::ip::address_v4::loopback(), listener.port());
    c.sockets.resize(connect_window);
    for (auto _ : state) {
        c.goal += connect_batch;
        for (std::size_t slot = 0; slot < c.sockets.size(); ++slot)
            if (c.started < c.goal) c.start(slot);
        const auto deadline = wait_deadline();
        while (c.finished < c.goal) {
            if (c.io.run_one_until(deadline) == 0) {
                if (std::chrono::steady_clock::now() >= deadline) break;
                c.io.restart();
            }
        }
        if (c.finished < c.goal) {
            state.SkipWithError("connect batch timed out");
            break;
        }
    }
    if (c.failed != 0) state.SkipWithError("connects failed");
    state.SetItemsProcessed(state.iterations() * connect_batch);
}

[[maybe_unused]] const bool registered = [] {
    register_case("connect/asio", connect_asio);
    return true;
}();

}  // namespace
}  // namespace connect_bench
