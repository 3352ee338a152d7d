// libuv's connects (its epoll loop).
#include <uv.h>

#include <memory>
#include <vector>

#include "connect_common.h"

namespace connect_bench {
namespace {

struct uv_connects;

struct uv_slot {
    uv_tcp_t handle;
    uv_connect_t request;
    uv_connects* owner = nullptr;
};

struct uv_connects {
    uv_loop_t loop;
    uv_timer_t watchdog;
    bool timed_out = false;
    sockaddr_in target{};
    std::vector<uv_slot> slots;
    long started = 0, finished = 0, goal = 0, failed = 0;

    void start(uv_slot& slot) {
        ++started;
        slot.owner = this;
        uv_tcp_init(&loop, &slot.handle);
        slot.handle.data = &slot;
        slot.request.data = &slot;
        const int error = uv_tcp_connect(&slot.request, &slot.handle, reinterpret_cast<const sockaddr*>(&target),
                                         [](uv_connect_t* request, int status) {
                                             auto* s = static_cast<uv_slot*>(request->data);
                                             if (status != 0) ++s->owner->failed;
                                             uv_close(reinterpret_cast<uv_handle_t*>(&s->handle), closed);
                                         });
        if (error != 0) give_up("starting a connect");
    }
    static void closed(uv_handle_t* handle) {
        auto* s = static_cast<uv_slot*>(handle->data);
        uv_connects* c = s->owner;
        if (++c->finished >= c->goal) uv_stop(&c->loop);
        if (c->started < c->goal) c->start(*s);
    }
};

void connect_libuv(benchmark::State& state) {
    dropping_listener listener;
    auto c = std::make_unique<uv_connects>();
    uv_loop_init(&c->loop);
    uv_timer_init(&c->loop, &c->watchdog);
    c->watchdog.data = c.get();
    c->target = loopback(listener.port());
    c->slots.resize(connect_window);
    for (auto _ : state) {
        c->goal += connect_batch;
        for (uv_slot& slot : c->slots)
            if (c->started < c->goal) c->start(slot);
        uv_timer_start(
            &c->watchdog,
            [](uv_timer_t* t) {
                auto* owner = static_cast<uv_connects*>(t->data);
                owner->timed_out = true;
                uv_stop(&owner->loop);
            },
            static_cast<std::uint64_t>(std::chrono::milliseconds(asynframe_bench::wait_limit).count()), 0);
        while (c->finished < c->goal && !c->timed_out) uv_run(&c->loop, UV_RUN_DEFAULT);
        uv_timer_stop(&c->watchdog);
        if (c->timed_out) {
            state.SkipWithError("connect batch timed out");
            break;
        }
    }
    if (c->failed != 0) state.SkipWithError("connects failed");
    state.SetItemsProcessed(state.iterations() * connect_batch);
    uv_close(reinterpret_cast<uv_handle_t*>(&c->watchdog), nullptr);
    uv_run(&c->loop, UV_RUN_DEFAULT);
    uv_loop_close(&c->loop);
}

[[maybe_unused]] const bool registered = [] {
    register_case("connect/libuv", connect_libuv);
    return true;
}();

}  // namespace
}  // namespace connect_bench
