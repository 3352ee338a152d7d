// The completion engine in each of its modes: one suite, instantiated per mode.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/harness.h"
#include "common/loopback.h"
#include "common/portable.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "platform/error_codes.h"
#include "platform/io_backend.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

// Calls a function for each completion, on the dispatch thread.
class callback_handler : public asyn_io_handler_base {
public:
    std::function<void(asyn_io_operation*)> on_complete;
    void on_io_complete(asyn_io_operation* operation) override { on_complete(operation); }
};

// Owns its operations; counts completions.
class owning_handler : public asyn_io_handler {
public:
    explicit owning_handler(singleton_instance* instance) : asyn_io_handler(instance) {}
    std::atomic<int> completions{0};
    void on_io_complete(asyn_io_operation*) override { ++completions; }
    void cancel() override {}
};

// Reports its own deletion.
class tracked_operation : public asyn_io_operation {
public:
    tracked_operation(singleton_instance* instance, asyn_io_handler* handler, std::atomic<bool>* deleted)
        : asyn_io_operation(instance, handler, 64), _deleted(deleted) {}
    ~tracked_operation() override { *_deleted = true; }

private:
    std::atomic<bool>* _deleted;
};

class recording_events : public frame_plugin {
public:
    std::mutex lock;
    std::vector<std::pair<std::string, std::uint32_t>> calls;
    void note(const char* what) {
        std::lock_guard<std::mutex> guard(lock);
        calls.emplace_back(what, platform::current_thread_id());
    }
    void on_thread_begin() override { note("thread_begin"); }
    void on_loop_begin() override { note("loop_begin"); }
    void on_loop_end() override { note("loop_end"); }
    void on_thread_end() override { note("thread_end"); }
};

std::atomic<std::uint32_t> g_tick_base{0};
std::atomic<std::uint32_t> g_tick_start{0};
std::uint32_t shifted_tick() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto real = static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
    return g_tick_base.load() + (real - g_tick_start.load());
}

class EngineModeTest : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
        engine = std::make_unique<asyn_io_manager>(&services, is_alertable(GetParam()));
        services.asyn_io_manager_ptr = engine.get();
        engine->set_ui_mode(is_ui(GetParam()));
        engine->set_events(&events);
    }
    void TearDown() override {
        if (engine) {
            engine->stop();
            engine.reset();
        }
        platform::set_tick_source(nullptr);
    }

    void start() {
        engine->start();
        started = true;
    }

    // Waits for a condition; on the UI thread pumping is what makes progress.
    bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return dispatch_waiter(is_ui(GetParam())).until(done, limit);
    }

    // Runs a function on the dispatch thread and waits for it.
    void on_dispatch(const std::function<void()>& work) {
        if (is_ui(GetParam())) {
            work();
            return;
        }
        std::atomic<bool> ran{false};
        callback_handler handler;
        handler.on_complete = [&](asyn_io_operation*) {
            work();
            ran = true;
        };
        asyn_io_operation carrier(&services, static_cast<asyn_io_handler_base*>(&handler), 0);
        ASSERT_TRUE(engine->post(&carrier));
        ASSERT_TRUE(wait_for([&] { return ran.load(); }));
    }

    // Starts a receive on the dispatch thread, as a socket device does.
    void start_receive(asyn_io_operation* operation, platform::native_handle fd) {
        on_dispatch([&] {
            operation->set_operate_handle(fd);
            operation->set_operation_type(operation_type::receive);
            operation->set_result_preset(false);
            operation->mark_pending();
            const std::uint32_t refused =
                engine->io_port()->start_recv(fd, operation->buffer(), operation->buffer_len(), operation->overlapped());
            EXPECT_EQ(refused, 0u);
            if (refused != 0) operation->clear_pending();
        });
    }

    // As a socket device starts a receive; on the dispatch thread.
    void start_receive_now(asyn_io_operation* operation, platform::native_handle fd, std::uint32_t length) {
        operation->set_operate_handle(fd);
        operation->set_operation_type(operation_type::receive);
        operation->set_result_preset(false);
        operation->mark_pending();
        ASSERT_EQ(engine->io_port()->start_recv(fd, operation->buffer(), length, operation->overlapped()), 0u);
    }

    singleton_instance services;
    recording_events events;
    std::unique_ptr<asyn_io_manager> engine;
    bool started = false;
};

TEST_P(EngineModeTest, StartAndStopNotifyTheEventsOnTheDispatchThread) {
    engine->stop();  // never started: nothing happens
    start();
    std::uint32_t dispatch_thread = 0;
    on_dispatch([&] {
        dispatch_thread = platform::current_thread_id();
        EXPECT_TRUE(engine->in_dispatch_thread());
    });
    EXPECT_EQ(engine->in_dispatch_thread(), is_ui(GetParam()));
    if (is_ui(GetParam())) {
        EXPECT_EQ(dispatch_thread, platform::current_thread_id());
    }
    engine->stop();
    std::vector<std::string> names;
    for (const auto& [name, thread] : events.calls) {
        names.push_back(name);
        EXPECT_EQ(thread, dispatch_thread) << name;
    }
    if (GetParam() == engine_mode::alertable) {
        EXPECT_EQ(names, (std::vector<std::string>{"thread_begin", "loop_end", "thread_end"}));
    } else {
        EXPECT_EQ(names, (std::vector<std::string>{"thread_begin", "loop_begin", "loop_end", "thread_end"}));
    }
    EXPECT_EQ(engine->use_completion_port(), !is_alertable(GetParam()));
}

TEST_P(EngineModeTest, ExactlyOneCompletionPerPendingOperation) {
    start();
    tcp_pair pair;
    std::atomic<int> completions{0};
    std::atomic<bool> pending_seen{false};
    callback_handler handler;
    handler.on_complete = [&](asyn_io_operation* operation) {
        if (operation->is_pending()) pending_seen = true;
        if (!engine->in_dispatch_thread()) pending_seen = true;
        ++completions;
    };
    asyn_io_operation receive(&services, static_cast<asyn_io_handler_base*>(&handler), 16);
    for (int round = 1; round <= 20; ++round) {
        receive.resize_buffer(16);
        start_receive(&receive, pair.server);
        const std::string text = "message " + std::to_string(round);
        ASSERT_EQ(send_bytes(pair.client, text.data(), text.size()), static_cast<io_size>(text.size()));
        ASSERT_TRUE(wait_for([&] { return completions.load() == round; }));
        std::uint32_t bytes = 0, error = 0;
        EXPECT_TRUE(receive.get_result(bytes, error));
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(receive.buffer()), bytes), text);
    }
    // A posted marker behind the last completion: nothing else turned up.
    std::atomic<bool> marker{false};
    callback_handler marker_handler;
    marker_handler.on_complete = [&](asyn_io_operation*) { marker = true; };
    asyn_io_operation posted(&services, static_cast<asyn_io_handler_base*>(&marker_handler), 0);
    ASSERT_TRUE(posted.post());
    ASSERT_TRUE(wait_for([&] { return marker.load(); }));
    EXPECT_EQ(completions.load(), 20);
    EXPECT_FALSE(pending_seen.load());

    // A send of 0 bytes reports the peer as gone (-1); a receive of 0 bytes succeeds.
    receive.resize_buffer(16);
    start_receive(&receive, pair.server);
    ::shutdown(pair.client, shut_write);
    ASSERT_TRUE(wait_for([&] { return completions.load() == 21; }));
    std::uint32_t bytes = 1, error = 1;
    EXPECT_TRUE(receive.get_result(bytes, error));
    EXPECT_EQ(bytes, 0u);
    receive.set_operation_type(operation_type::send);
    EXPECT_FALSE(receive.get_result(bytes, error));
    EXPECT_EQ(error, errors::peer_closed);
}

TEST_P(EngineModeTest, ACallbacksPostsKeepTheirPlaceAmongOtherThreadsPosts) {
    // A callback's own posts skip the cross-thread queue; what another thread
    // posted before them must still come first.
    start();
    std::mutex lock;
    std::vector<std::uint32_t> order;
    callback_handler recorder;
    recorder.on_complete = [&](asyn_io_operation* operation) {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back(operation->preset_bytes());
    };
    std::vector<std::unique_ptr<asyn_io_operation>> posts;
    for (std::uint32_t i = 1; i <= 5; ++i) {
        posts.push_back(std::make_unique<asyn_io_operation>(&services, static_cast<asyn_io_handler_base*>(&recorder), 0));
        posts.back()->set_preset_result(0, i);
    }
    callback_handler kick;
    kick.on_complete = [&](asyn_io_operation*) {
        std::thread([&] { EXPECT_TRUE(engine->post(posts[0].get())); }).join();
        EXPECT_TRUE(engine->post(posts[1].get()));
        EXPECT_TRUE(engine->post(posts[2].get()));
        std::thread([&] { EXPECT_TRUE(engine->post(posts[3].get())); }).join();
        EXPECT_TRUE(engine->post(posts[4].get()));
    };
    asyn_io_operation kicker(&services, static_cast<asyn_io_handler_base*>(&kick), 0);
    ASSERT_TRUE(engine->post(&kicker));
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> guard(lock);
        return order.size() == 5;
    }));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
}

TEST_P(EngineModeTest, PostsFromFourThreadsAreEachDeliveredOnce) {
    start();
    constexpr int threads = 4;
    constexpr int per_thread = 250000;
    constexpr int pool = 128;
    struct slot {
        std::unique_ptr<asyn_io_operation> operation;
        std::atomic<bool> busy{false};
        std::atomic<int> posted{0};
        std::atomic<int> delivered{0};
    };
    std::vector<slot> slots(threads * pool);
    std::atomic<long> total{0};
    std::atomic<bool> misuse{false};
    callback_handler handler;
    handler.on_complete = [&](asyn_io_operation* operation) {
        slot& s = slots[operation->preset_bytes()];
        if (!s.busy.load() || operation->is_pending()) misuse = true;
        ++s.delivered;
        s.busy.store(false, std::memory_order_release);
        ++total;  // last: once the test sees the full total, no callback touches the slots
    };
    for (int i = 0; i < threads * pool; ++i) {
        slots[i].operation =
            std::make_unique<asyn_io_operation>(&services, static_cast<asyn_io_handler_base*>(&handler), 0);
        slots[i].operation->set_preset_result(0, static_cast<std::uint32_t>(i));
    }
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            int sent = 0;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (sent < per_thread && std::chrono::steady_clock::now() < end) {
                bool any = false;
                for (int i = t * pool; i < (t + 1) * pool && sent < per_thread; ++i) {
                    slot& s = slots[i];
                    if (s.busy.load(std::memory_order_acquire)) continue;
                    s.busy.store(true);
                    ++s.posted;
                    if (!s.operation->post()) misuse = true;
                    ++sent;
                    any = true;
                }
                if (!any) std::this_thread::yield();
            }
        });
    }
    const bool all = wait_for([&] { return total.load() == long{threads} * per_thread; }, std::chrono::seconds(150));
    for (auto& poster : posters) poster.join();
    ASSERT_TRUE(all) << total.load();
    EXPECT_FALSE(misuse.load());
    for (slot& s : slots) EXPECT_EQ(s.posted.load(), s.delivered.load());
}

TEST_P(EngineModeTest, OrphanedOperationsAreDeletedAtCompletionWithoutTheHandler) {
    start();
    tcp_pair pair;
    auto handler = std::make_unique<owning_handler>(&services);
    std::atomic<bool> first_deleted{false}, second_deleted{false};
    auto* first = new tracked_operation(&services, handler.get(), &first_deleted);
    auto* second = new tracked_operation(&services, handler.get(), &second_deleted);
    EXPECT_EQ(handler->operation_count(), 2u);
    start_receive(first, pair.server);
    on_dispatch([&] { handler->delete_operation(first); });  // pending: orphaned, not deleted
    EXPECT_FALSE(first_deleted.load());
    EXPECT_EQ(handler->operation_count(), 1u);
    ASSERT_EQ(send_bytes(pair.client, "x", 1), 1);
    ASSERT_TRUE(wait_for([&] { return first_deleted.load(); }));

    // Orphaned, then its request cancelled: deleted as well.
    start_receive(second, pair.server);
    on_dispatch([&] {
        handler->delete_operation(second);
        engine->cancel_io(pair.server);
    });
    ASSERT_TRUE(wait_for([&] { return second_deleted.load(); }));
    EXPECT_EQ(handler->completions.load(), 0);

    // Not pending: deleted at once.
    std::atomic<bool> third_deleted{false};
    auto* third = new tracked_operation(&services, handler.get(), &third_deleted);
    handler->delete_operation(third);
    EXPECT_TRUE(third_deleted.load());
    on_dispatch([&] { handler.reset(); });
}

TEST_P(EngineModeTest, AHandlerDestroyedOnAHostThreadOrphansItsOperations) {
    start();
    tcp_pair pair;
    auto handler = std::make_unique<owning_handler>(&services);
    std::atomic<bool> pending_deleted{false}, idle_deleted{false};
    auto* pending = new tracked_operation(&services, handler.get(), &pending_deleted);
    new tracked_operation(&services, handler.get(), &idle_deleted);
    start_receive(pending, pair.server);
    on_dispatch([&] { engine->set_operation_timeout(pending, 60000); });
    // The last owner lets go on a host thread: the idle operation goes at once,
    // the pending one when its request completes, without reaching the handler.
    std::thread([&] { handler.reset(); }).join();
    EXPECT_TRUE(idle_deleted.load());
    EXPECT_FALSE(pending_deleted.load());
    ASSERT_EQ(send_bytes(pair.client, "x", 1), 1);
    ASSERT_TRUE(wait_for([&] { return pending_deleted.load(); }));
    bool has_timers = true;
    on_dispatch([&] { has_timers = engine->has_timers(); });
    EXPECT_FALSE(has_timers);  // its time-out went with it
}

TEST_P(EngineModeTest, OperationTimeoutCancelsAReceiveWith995) {
    start();
    tcp_pair pair;
    std::atomic<int> completions{0};
    callback_handler handler;
    handler.on_complete = [&](asyn_io_operation*) { ++completions; };
    asyn_io_operation receive(&services, static_cast<asyn_io_handler_base*>(&handler), 16);
    start_receive(&receive, pair.server);
    on_dispatch([&] { engine->set_operation_timeout(&receive, 30); });
    ASSERT_TRUE(wait_for([&] { return completions.load() == 1; }));
    std::uint32_t bytes = 0, error = 0;
    EXPECT_FALSE(receive.get_result(bytes, error));
    EXPECT_EQ(error, 995u);

    // A receive that completes first takes its time-out with it.
    start_receive(&receive, pair.server);
    on_dispatch([&] { engine->set_operation_timeout(&receive, 60000); });
    ASSERT_EQ(send_bytes(pair.client, "data", 4), 4);
    ASSERT_TRUE(wait_for([&] { return completions.load() == 2; }));
    EXPECT_TRUE(receive.get_result(bytes, error));
    EXPECT_EQ(bytes, 4u);
    bool has_timers = true;
    on_dispatch([&] { has_timers = engine->has_timers(); });
    EXPECT_FALSE(has_timers);
}

class recording_timer : public timeout_handler {
public:
    std::function<void(std::uint32_t)> hook;
    std::mutex lock;
    std::vector<std::uint32_t> fired;
    void on_timeout(std::uint32_t param) override {
        {
            std::lock_guard<std::mutex> guard(lock);
            fired.push_back(param);
        }
        if (hook) hook(param);
    }
    std::size_t count() {
        std::lock_guard<std::mutex> guard(lock);
        return fired.size();
    }
};

TEST_P(EngineModeTest, TimersFireInDueOrderAcrossTheTickWrap) {
    // The tick counter is 40 ms short of wrapping to zero.
    g_tick_start = 0;
    g_tick_start = shifted_tick();
    g_tick_base = 0xFFFFFFFFu - 40;
    platform::set_tick_source(&shifted_tick);
    start();
    recording_timer timer;
    on_dispatch([&] {
        EXPECT_TRUE(engine->set_timer(&timer, 120, 4, false));  // due after the wrap
        EXPECT_TRUE(engine->set_timer(&timer, 15, 1, false));   // before it
        EXPECT_TRUE(engine->set_timer(&timer, 60, 3, false));   // just after it
        EXPECT_TRUE(engine->set_timer(&timer, 0, 0, false));    // at once (window timers: their minimum)
        EXPECT_TRUE(engine->set_timer(&timer, 30, 2, false));
    });
    ASSERT_TRUE(wait_for([&] { return timer.count() == 5; }));
    EXPECT_EQ(timer.fired, (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));

    // A repeating timer goes on until killed; a one-shot timer may re-arm itself.
    recording_timer repeating, chained;
    std::atomic<int> chain{0};
    chained.hook = [&](std::uint32_t param) {
        if (++chain < 3) engine->set_timer(&chained, 5, param, false);
    };
    on_dispatch([&] {
        engine->set_timer(&repeating, 5, 9, true);
        engine->set_timer(&chained, 5, 7, false);
    });
    ASSERT_TRUE(wait_for([&] { return repeating.count() >= 3 && chain.load() == 3; }));
    on_dispatch([&] { engine->kill_timer(&repeating, 9); });
    const std::size_t after_kill = repeating.count();
    // A later one-shot timer firing shows the killed one stayed quiet.
    recording_timer probe;
    on_dispatch([&] { engine->set_timer(&probe, 30, 1, false); });
    ASSERT_TRUE(wait_for([&] { return probe.count() == 1; }));
    EXPECT_EQ(repeating.count(), after_kill);

    // kill_timers removes all of a handler's timers.
    recording_timer many;
    on_dispatch([&] {
        engine->set_timer(&many, 20, 1, false);
        engine->set_timer(&many, 20, 2, true);
        engine->set_timer(&many, 20, 3, false);
        engine->kill_timers(&many);
        engine->set_timer(&probe, 40, 2, false);
    });
    ASSERT_TRUE(wait_for([&] { return probe.count() == 2; }));
    EXPECT_EQ(many.count(), 0u);
}

TEST_P(EngineModeTest, StopLeavesCompletionsQueuedBehindTheQuitMarker) {
    start();
    std::atomic<bool> in_first{false}, release{false}, second_delivered{false};
    callback_handler handler;
    handler.on_complete = [&](asyn_io_operation* operation) {
        if (operation->preset_bytes() == 1) {
            in_first = true;
            wait_until([&] { return release.load(); }, [] { short_pause(); });
        } else {
            second_delivered = true;
        }
    };
    asyn_io_operation first(&services, static_cast<asyn_io_handler_base*>(&handler), 0);
    asyn_io_operation second(&services, static_cast<asyn_io_handler_base*>(&handler), 0);
    first.set_preset_result(0, 1);
    second.set_preset_result(0, 2);
    owning_handler owner(&services);
    std::atomic<bool> orphan_deleted{false};
    auto* orphan = new tracked_operation(&services, &owner, &orphan_deleted);
    orphan->set_preset_result(0, 3);

    auto queue_behind = [&] {
        ASSERT_TRUE(second.post());
        ASSERT_TRUE(orphan->post());
        owner.remove_operation(orphan);
        orphan->detach_handler();
    };

    if (is_ui(GetParam())) {
        // The stop runs here, on the dispatch thread; completions still in
        // flight to this thread are dropped with the queue.
        std::thread poster([&] {
            wait_until([&] { return engine->stopping(); }, [] { std::this_thread::yield(); });
            queue_behind();
        });
        engine->stop();
        poster.join();
    } else {
        ASSERT_TRUE(first.post());
        ASSERT_TRUE(wait_until([&] { return in_first.load(); }, [] { short_pause(); }));
        std::thread stopper([&] { engine->stop(); });
        ASSERT_TRUE(wait_until([&] { return engine->stopping(); }, [] { std::this_thread::yield(); }));
        queue_behind();
        release = true;
        stopper.join();
    }
    // Every mode stops at the quit marker: what was queued behind it never runs.
    EXPECT_FALSE(second_delivered.load());
    EXPECT_TRUE(second.is_pending());
    engine.reset();  // the engine deletes what it still holds orphaned, and abandons the rest
    services.asyn_io_manager_ptr = nullptr;
    EXPECT_TRUE(orphan_deleted.load());
    EXPECT_FALSE(second_delivered.load());
    EXPECT_FALSE(second.is_pending());
    second.clear_pending();
}

// ---- fairness: no phase of the loop starves another --------------------------

class once_timer : public timeout_handler {
public:
    std::atomic<std::int64_t> fired_at{0};
    std::chrono::steady_clock::time_point armed;
    void on_timeout(std::uint32_t) override {
        fired_at = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - armed)
                       .count() +
                   1;
    }
};

// Bounds generous enough for a loaded machine under sanitizers, yet far from
// the starvation (no firing at all) they guard against.
constexpr std::int64_t late_limit_ms = 500;

TEST_P(EngineModeTest, ATimerFiresOnTimeWhileCompletionsStreamIn) {
    start();
    tcp_pair pair;
    std::atomic<bool> streaming{true};
    std::atomic<long> completions{0};
    ASSERT_TRUE(set_nonblocking_sock(pair.client, true));
    std::thread writer([&] {
        const std::vector<char> chunk(4096, 'x');
        while (streaming.load()) send_bytes(pair.client, chunk.data(), chunk.size());
    });
    // Each completion starts the next one-byte receive: the ring always has
    // something finished for the loop.
    callback_handler handler;
    asyn_io_operation receive(&services, static_cast<asyn_io_handler_base*>(&handler), 1);
    handler.on_complete = [&](asyn_io_operation* operation) {
        ++completions;
        if (streaming.load()) start_receive_now(operation, pair.server, 1);
    };
    once_timer timer;
    on_dispatch([&] { start_receive_now(&receive, pair.server, 1); });
    // The stream is under way before the timer is armed (a slow system needs
    // longer than the timer's period for ten completions).
    EXPECT_TRUE(wait_for([&] { return completions.load() > 10; }));
    int at_arm = 0;
    on_dispatch([&] {
        at_arm = completions.load();
        timer.armed = std::chrono::steady_clock::now();
        ASSERT_TRUE(engine->set_timer(&timer, 20, 1, false));
    });
    const bool fired = wait_for([&] { return timer.fired_at.load() != 0; });
    const int during = completions.load() - at_arm;
    streaming = false;
    writer.join();
    on_dispatch([&] { engine->cancel_io(pair.server); });
    // The pending flag belongs to the dispatch thread: read it there.
    EXPECT_TRUE(wait_for([&] {
        bool pending = true;
        on_dispatch([&] { pending = receive.is_pending(); });
        return !pending;
    }));
    ASSERT_TRUE(fired) << "the timer never fired";
    EXPECT_LT(timer.fired_at.load(), 20 + late_limit_ms);
    EXPECT_GT(during, 0) << "no completion came while the timer ran";
}

TEST_P(EngineModeTest, RequestsStartedDuringAPostFloodAreSubmitted) {
    start();
    tcp_pair pair;
    std::atomic<bool> flooding{true};
    callback_handler flood;
    asyn_io_operation repost(&services, static_cast<asyn_io_handler_base*>(&flood), 0);
    flood.on_complete = [&](asyn_io_operation* operation) {
        if (flooding.load()) engine->post(operation);
    };
    std::atomic<int> received{0};
    callback_handler reader;
    asyn_io_operation receive(&services, static_cast<asyn_io_handler_base*>(&reader), 16);
    reader.on_complete = [&](asyn_io_operation*) { ++received; };
    once_timer timer;
    on_dispatch([&] {
        ASSERT_TRUE(engine->post(&repost));
        // Started on the dispatch thread: it waits for the loop to submit it.
        start_receive_now(&receive, pair.server, 16);
        timer.armed = std::chrono::steady_clock::now();
        ASSERT_TRUE(engine->set_timer(&timer, 20, 1, false));
    });
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(send_bytes(pair.client, "ping", 4), 4);
    const bool got = wait_for([&] { return received.load() == 1; });
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
    const bool fired = wait_for([&] { return timer.fired_at.load() != 0; });
    // The stop gets through the flood too.
    engine->stop();
    flooding = false;
    engine.reset();
    repost.clear_pending();
    ASSERT_TRUE(got) << "the receive never completed during the flood";
    EXPECT_LT(took.count(), late_limit_ms);
    ASSERT_TRUE(fired) << "the timer never fired during the flood";
    EXPECT_LT(timer.fired_at.load(), 20 + late_limit_ms);
}

INSTANTIATE_TEST_SUITE_P(Modes, EngineModeTest, all_modes(), mode_label);

}  // namespace
