// No phase of the dispatch loop starves another: timers fire while completions
// stream in, and requests started while posts flood are still submitted.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "asynframe/ui_thread.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "engine_test_support.h"
#include "platform/io_backend.h"

namespace {

using namespace asynframe;
using namespace engine_test;

enum class mode { port, alertable, ui_thread, ui_thread_alertable };

bool is_ui(mode m) { return m == mode::ui_thread || m == mode::ui_thread_alertable; }
bool is_alertable(mode m) { return m == mode::alertable || m == mode::ui_thread_alertable; }

class callback_handler : public asyn_io_handler_base {
public:
    std::function<void(asyn_io_operation*)> on_complete;
    void on_io_complete(asyn_io_operation* operation) override { on_complete(operation); }
};

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

class FairnessTest : public ::testing::TestWithParam<mode> {
protected:
    void SetUp() override {
        engine = std::make_unique<asyn_io_manager>(&services, is_alertable(GetParam()));
        services.asyn_io_manager_ptr = engine.get();
        if (!is_alertable(GetParam()) && !engine->use_completion_port())
            GTEST_SKIP() << "io_uring is not available here";
        engine->set_ui_mode(is_ui(GetParam()));
        engine->start();
    }
    void TearDown() override {
        if (engine) engine->stop();
        engine.reset();
    }

    bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return wait_until(done, [&] {
            if (is_ui(GetParam()))
                asynframe_ui_thread_wait(2);
            else
                short_pause();
        }, limit);
    }

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

    void start_receive(asyn_io_operation* operation, int fd, std::uint32_t length) {
        operation->set_operate_handle(fd);
        operation->set_operation_type(operation_type::receive);
        operation->set_result_preset(false);
        operation->mark_pending();
        ASSERT_EQ(engine->io_port()->start_recv(fd, operation->buffer(), length, operation->overlapped()), 0u);
    }

    singleton_instance services;
    std::unique_ptr<asyn_io_manager> engine;
};

// Bounds generous enough for a loaded machine under sanitizers, yet far from
// the starvation (no firing at all) they guard against.
constexpr std::int64_t late_limit_ms = 500;

TEST_P(FairnessTest, ATimerFiresOnTimeWhileCompletionsStreamIn) {
    tcp_pair pair;
    std::atomic<bool> streaming{true};
    std::atomic<long> completions{0};
    std::thread writer([&] {
        const std::vector<char> chunk(4096, 'x');
        while (streaming.load()) ::send(pair.client, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    });
    // Each completion starts the next one-byte receive: the ring always has
    // something finished for the loop.
    callback_handler handler;
    asyn_io_operation receive(&services, static_cast<asyn_io_handler_base*>(&handler), 1);
    handler.on_complete = [&](asyn_io_operation* operation) {
        ++completions;
        if (streaming.load()) start_receive(operation, pair.server, 1);
    };
    once_timer timer;
    on_dispatch([&] {
        start_receive(&receive, pair.server, 1);
        timer.armed = std::chrono::steady_clock::now();
        ASSERT_TRUE(engine->set_timer(&timer, 20, 1, false));
    });
    const bool fired = wait_for([&] { return timer.fired_at.load() != 0; });
    streaming = false;
    writer.join();
    on_dispatch([&] { engine->cancel_io(pair.server); });
    EXPECT_TRUE(wait_for([&] { return !receive.is_pending(); }));
    ASSERT_TRUE(fired) << "the timer never fired";
    EXPECT_LT(timer.fired_at.load(), 20 + late_limit_ms);
    EXPECT_GT(completions.load(), 10);
}

TEST_P(FairnessTest, RequestsStartedDuringAPostFloodAreSubmitted) {
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
        start_receive(&receive, pair.server, 16);
        timer.armed = std::chrono::steady_clock::now();
        ASSERT_TRUE(engine->set_timer(&timer, 20, 1, false));
    });
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(::send(pair.client, "ping", 4, 0), 4);
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

std::string mode_name(const ::testing::TestParamInfo<mode>& info) {
    static const char* const names[] = {"port", "alertable", "ui_thread", "ui_thread_alertable"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Modes, FairnessTest,
                         ::testing::Values(mode::port, mode::alertable, mode::ui_thread, mode::ui_thread_alertable),
                         mode_name);

}  // namespace
