// The engine against asio::io_context: posts on the dispatch thread, posts
// from another thread, and 100,000 timers armed then fired or cancelled.
#include <benchmark/benchmark.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "../bench_main.h"

namespace {

using namespace asynframe;

constexpr int posts_per_run = 1000000;
constexpr int timers_per_run = 100000;
constexpr int in_flight = 1024;

void wait_flag(const std::atomic<bool>& flag) {
    while (!flag.load(std::memory_order_acquire)) std::this_thread::yield();
}

// The engine on the ring, or on the readiness loop (the backend carries the
// cross-thread posts and the sleeps between timers).
struct engine_fixture {
    singleton_instance services;
    std::unique_ptr<asyn_io_manager> engine;
    explicit engine_fixture(bool readiness) {
        engine = std::make_unique<asyn_io_manager>(&services, readiness);
        services.asyn_io_manager_ptr = engine.get();
        engine->start();
    }
    ~engine_fixture() { engine->stop(); }
};

class function_handler : public asyn_io_handler_base {
public:
    std::function<void(asyn_io_operation*)> run;
    void on_io_complete(asyn_io_operation* operation) override { run(operation); }
};

// Runs `work` once on the engine's dispatch thread.
void on_dispatch(engine_fixture& fixture, const std::function<void()>& work) {
    function_handler handler;
    handler.run = [&](asyn_io_operation*) { work(); };
    asyn_io_operation carrier(&fixture.services, static_cast<asyn_io_handler_base*>(&handler), 0);
    fixture.engine->post(&carrier);
    std::atomic<bool> done{false};
    function_handler marker;
    marker.run = [&](asyn_io_operation*) { done = true; };
    asyn_io_operation tail(&fixture.services, static_cast<asyn_io_handler_base*>(&marker), 0);
    fixture.engine->post(&tail);
    wait_flag(done);
}

// ---- posts on the dispatch thread ----------------------------------------------

template <bool Readiness>
void same_thread_posts_ours(benchmark::State& state) {
    engine_fixture fixture(Readiness);
    std::atomic<bool> finished{false};
    int remaining = 0;
    function_handler handler;
    handler.run = [&](asyn_io_operation* operation) {
        if (--remaining >= in_flight)
            fixture.engine->post(operation);
        else if (remaining == 0)
            finished.store(true, std::memory_order_release);
    };
    std::vector<std::unique_ptr<asyn_io_operation>> operations;
    for (int i = 0; i < in_flight; ++i)
        operations.push_back(std::make_unique<asyn_io_operation>(&fixture.services,
                                                                 static_cast<asyn_io_handler_base*>(&handler), 0));
    for (auto _ : state) {
        finished = false;
        on_dispatch(fixture, [&] {
            remaining = posts_per_run;
            for (auto& operation : operations) fixture.engine->post(operation.get());
        });
        wait_flag(finished);
    }
    state.SetItemsProcessed(state.iterations() * posts_per_run);
}

struct asio_repost {
    asio::io_context* context;
    int* remaining;
    void operator()() const {
        if (--*remaining >= in_flight) asio::post(*context, *this);
    }
};

void same_thread_posts_asio(benchmark::State& state) {
    asio::io_context context(1);
    for (auto _ : state) {
        int remaining = posts_per_run;
        asio::post(context, [&] {
            for (int i = 0; i < in_flight; ++i) asio::post(context, asio_repost{&context, &remaining});
        });
        context.restart();
        context.run();
        benchmark::DoNotOptimize(remaining);
    }
    state.SetItemsProcessed(state.iterations() * posts_per_run);
}

// ---- posts from a second thread --------------------------------------------------

template <bool Readiness>
void cross_thread_posts_ours(benchmark::State& state) {
    engine_fixture fixture(Readiness);
    struct slot {
        std::unique_ptr<asyn_io_operation> operation;
        std::atomic<bool> busy{false};
    };
    // Enough operations that the producer rarely finds the next one still queued.
    constexpr int pool = 65536;
    std::vector<slot> slots(pool);
    std::atomic<int> delivered{0};
    function_handler handler;
    handler.run = [&](asyn_io_operation* operation) {
        slots[operation->preset_bytes()].busy.store(false, std::memory_order_release);
        delivered.fetch_add(1, std::memory_order_release);
    };
    for (int i = 0; i < pool; ++i) {
        slots[i].operation = std::make_unique<asyn_io_operation>(&fixture.services,
                                                                 static_cast<asyn_io_handler_base*>(&handler), 0);
        slots[i].operation->set_preset_result(0, static_cast<std::uint32_t>(i));
    }
    for (auto _ : state) {
        delivered = 0;
        int sent = 0;
        std::size_t next = 0;
        while (sent < posts_per_run) {
            slot& s = slots[next];
            next = (next + 1) % slots.size();
            if (s.busy.load(std::memory_order_acquire)) {
                std::this_thread::yield();
                continue;
            }
            s.busy.store(true, std::memory_order_relaxed);
            fixture.engine->post(s.operation.get());
            ++sent;
        }
        while (delivered.load(std::memory_order_acquire) < posts_per_run) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * posts_per_run);
}

void cross_thread_posts_asio(benchmark::State& state) {
    asio::io_context context(1);
    auto guard = asio::make_work_guard(context);
    std::thread runner([&] { context.run(); });
    std::atomic<int> delivered{0};
    for (auto _ : state) {
        delivered = 0;
        for (int i = 0; i < posts_per_run; ++i)
            asio::post(context, [&] { delivered.fetch_add(1, std::memory_order_release); });
        while (delivered.load(std::memory_order_acquire) < posts_per_run) std::this_thread::yield();
    }
    guard.reset();
    context.stop();
    runner.join();
    state.SetItemsProcessed(state.iterations() * posts_per_run);
}

// ---- timers ------------------------------------------------------------------------

class counting_timer : public timeout_handler {
public:
    int* remaining = nullptr;
    std::atomic<bool>* finished = nullptr;
    void on_timeout(std::uint32_t) override {
        if (--*remaining == 0) finished->store(true, std::memory_order_release);
    }
};

template <bool Readiness>
void timers_fired_ours(benchmark::State& state) {
    engine_fixture fixture(Readiness);
    std::vector<counting_timer> timers(timers_per_run);
    int remaining = 0;
    std::atomic<bool> finished{false};
    for (auto& timer : timers) {
        timer.remaining = &remaining;
        timer.finished = &finished;
    }
    for (auto _ : state) {
        finished = false;
        on_dispatch(fixture, [&] {
            remaining = timers_per_run;
            for (auto& timer : timers) fixture.engine->set_timer(&timer, 0, 1, false);
        });
        wait_flag(finished);
    }
    state.SetItemsProcessed(state.iterations() * timers_per_run);
}

void timers_fired_asio(benchmark::State& state) {
    asio::io_context context(1);
    std::vector<std::unique_ptr<asio::steady_timer>> timers;
    for (int i = 0; i < timers_per_run; ++i) timers.push_back(std::make_unique<asio::steady_timer>(context));
    for (auto _ : state) {
        int remaining = timers_per_run;
        for (auto& timer : timers) {
            timer->expires_after(std::chrono::milliseconds(0));
            timer->async_wait([&](const asio::error_code&) { --remaining; });
        }
        context.restart();
        context.run();
        benchmark::DoNotOptimize(remaining);
    }
    state.SetItemsProcessed(state.iterations() * timers_per_run);
}

template <bool Readiness>
void timers_cancelled_ours(benchmark::State& state) {
    engine_fixture fixture(Readiness);
    std::vector<counting_timer> timers(timers_per_run);
    for (auto _ : state) {
        on_dispatch(fixture, [&] {
            for (auto& timer : timers) fixture.engine->set_timer(&timer, 3600000, 1, false);
            for (auto& timer : timers) fixture.engine->kill_timer(&timer, 1);
        });
    }
    state.SetItemsProcessed(state.iterations() * timers_per_run);
}

void timers_cancelled_asio(benchmark::State& state) {
    asio::io_context context(1);
    std::vector<std::unique_ptr<asio::steady_timer>> timers;
    for (int i = 0; i < timers_per_run; ++i) timers.push_back(std::make_unique<asio::steady_timer>(context));
    for (auto _ : state) {
        int cancelled = 0;
        for (auto& timer : timers) {
            timer->expires_after(std::chrono::hours(1));
            timer->async_wait([&](const asio::error_code&) { ++cancelled; });
        }
        for (auto& timer : timers) timer->cancel();
        context.restart();
        context.run();
        benchmark::DoNotOptimize(cancelled);
    }
    state.SetItemsProcessed(state.iterations() * timers_per_run);
}

}  // namespace

#define ENGINE_CASE(function, name)                                                                  \
    BENCHMARK(function<false>)->Name(name "/ours")->Unit(benchmark::kMillisecond)->UseRealTime();       \
    BENCHMARK(function<true>)->Name(name "/ours_epoll")->Unit(benchmark::kMillisecond)->UseRealTime();

ENGINE_CASE(same_thread_posts_ours, "same_thread_posts")
BENCHMARK(same_thread_posts_asio)->Name("same_thread_posts/asio")->Unit(benchmark::kMillisecond)->UseRealTime();
ENGINE_CASE(cross_thread_posts_ours, "cross_thread_posts")
BENCHMARK(cross_thread_posts_asio)->Name("cross_thread_posts/asio")->Unit(benchmark::kMillisecond)->UseRealTime();
ENGINE_CASE(timers_fired_ours, "timers_armed_then_fired")
BENCHMARK(timers_fired_asio)->Name("timers_armed_then_fired/asio")->Unit(benchmark::kMillisecond)->UseRealTime();
ENGINE_CASE(timers_cancelled_ours, "timers_armed_then_cancelled")
BENCHMARK(timers_cancelled_asio)->Name("timers_armed_then_cancelled/asio")->Unit(benchmark::kMillisecond)->UseRealTime();

ASYNFRAME_BENCH_MAIN("ours: io_uring, ours_epoll: epoll, asio: its scheduler (posts and timers do not touch its reactor)")
