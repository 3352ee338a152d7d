// The UI thread's message queue: posted messages, window timers, watched
// handles and windows destroyed from another thread.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/event.h"
#include "platform/thread.h"
#include "platform/ui_window.h"

namespace {

using namespace asynframe::platform;
using clock_type = std::chrono::steady_clock;

#if defined(_WIN32)
constexpr bool queue_descriptors = false;
#else
constexpr bool queue_descriptors = true;
#endif

struct timer_log {
    std::vector<std::pair<std::uintptr_t, clock_type::time_point>> fired;
    std::function<void(std::uintptr_t)> hook;
};

void procedure(void* context, std::uint32_t message, std::uintptr_t param) {
    auto* log = static_cast<timer_log*>(context);
    if (message != ui_timer_message) return;
    log->fired.emplace_back(param, clock_type::now());
    if (log->hook) log->hook(param);
}

void pump_for(std::chrono::milliseconds span) {
    const auto end = clock_type::now() + span;
    while (clock_type::now() < end) ui_queue_wait_and_pump(2);
}

TEST(UiWindowTimers, ATimerKilledAndSetAgainWaitsItsWholePeriod) {
    timer_log log;
    ui_window* window = ui_window::create(&procedure, &log);
    ASSERT_NE(window, nullptr);
    // Both due in the same pump; the first one's handler kills the second and
    // arms it again under the same id.
    ASSERT_EQ(window->set_timer(1, 20), 1u);
    ASSERT_EQ(window->set_timer(2, 20), 2u);
    clock_type::time_point rearmed{};
    log.hook = [&](std::uintptr_t id) {
        if (id != 1 || rearmed != clock_type::time_point{}) return;
        window->kill_timer(1);
        window->kill_timer(2);
        window->set_timer(2, 200);
        rearmed = clock_type::now();
    };
    pump_for(std::chrono::milliseconds(100));
    for (const auto& [id, when] : log.fired) EXPECT_NE(id, 2u) << "the re-armed timer fired early";
    pump_for(std::chrono::milliseconds(250));
    bool second = false;
    for (const auto& [id, when] : log.fired) {
        if (id != 2) continue;
        second = true;
        EXPECT_GE(when - rearmed, std::chrono::milliseconds(190));
    }
    EXPECT_TRUE(second);
    window->destroy();
}

TEST(UiWindowTimers, AZeroPeriodDoesNotSpin) {
    timer_log log;
    ui_window* window = ui_window::create(&procedure, &log);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(window->set_timer(1, 0), 1u);
    pump_for(std::chrono::milliseconds(100));
    // At most one expiry per minimum period (10 ms), with some slack.
    EXPECT_LE(log.fired.size(), 12u);
    EXPECT_GE(log.fired.size(), 1u);
    window->destroy();
}

TEST(UiWindowThreads, AWindowDestroyedOnAnotherThreadLeavesTheQueueToItsOwner) {
    timer_log log;
    ui_window* window = ui_window::create(&procedure, &log);
    ASSERT_NE(window, nullptr);
    ASSERT_GE(ui_queue_pump(), 0);
    window->set_timer(1, 10);
    std::atomic<bool> destroyed{false};
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        window->destroy();
        destroyed = true;
    });
    // Pumping on while the window goes: no delivery to a freed window, and the
    // queue this thread refers to stays valid until it is told it is gone.
    const auto end = clock_type::now() + std::chrono::seconds(5);
    while (!destroyed.load() && clock_type::now() < end) ui_queue_wait_and_pump(1);
    other.join();
    EXPECT_EQ(ui_queue_pump(), -1);
    EXPECT_EQ(ui_queue_descriptor(), invalid_handle);
    // A new window on this thread gets a fresh queue.
    ui_window* again = ui_window::create(&procedure, &log);
    ASSERT_NE(again, nullptr);
    // Windows has no descriptor: the host waits on the thread's message queue.
    EXPECT_EQ(ui_queue_descriptor() != invalid_handle, queue_descriptors);
    EXPECT_EQ(ui_queue_pump(), 0);
    again->destroy();
    EXPECT_EQ(ui_queue_descriptor(), invalid_handle);
    EXPECT_EQ(ui_queue_pump(), -1);
}

struct message_log {
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> delivered;
    std::function<void(std::uint32_t, std::uintptr_t)> hook;
};

void logging_procedure(void* context, std::uint32_t message, std::uintptr_t param) {
    auto* log = static_cast<message_log*>(context);
    log->delivered.emplace_back(message, param);
    if (log->hook) log->hook(message, param);
}

void discard(void* context, std::uint32_t message, std::uintptr_t param) {
    static_cast<std::vector<std::pair<std::uint32_t, std::uintptr_t>>*>(context)->emplace_back(message, param);
}

// Pumps until `done` holds, at most five seconds.
bool pump_until(const std::function<bool()>& done) {
    const auto end = clock_type::now() + std::chrono::seconds(5);
    while (!done() && clock_type::now() < end) ui_queue_wait_and_pump(5);
    return done();
}

TEST(UiWindowMessages, PostedMessagesArriveInOrderFromAnyThreadOrGoToTheSink) {
    message_log log;
    ui_window* window = ui_window::create(&logging_procedure, &log);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->owner_thread(), asynframe::platform::current_thread_id());
    ASSERT_TRUE(window->post_message(0x500, 1));
    std::thread other([&] {
        for (std::uintptr_t i = 2; i <= 200; ++i) EXPECT_TRUE(window->post_message(0x500, i));
    });
    other.join();
    // A handler that posts again, and pumps again, changes nothing of this pump.
    int nested = -2;
    log.hook = [&](std::uint32_t, std::uintptr_t param) {
        if (param == 1) {
            window->post_message(0x501, 1000);
            nested = ui_queue_pump();
        }
    };
    EXPECT_EQ(ui_queue_pump(), 200);
    EXPECT_EQ(nested, 0);
    ASSERT_EQ(log.delivered.size(), 200u);
    for (std::size_t i = 0; i < log.delivered.size(); ++i)
        EXPECT_EQ(log.delivered[i], std::make_pair(0x500u, static_cast<std::uintptr_t>(i + 1)));
    log.hook = nullptr;
    EXPECT_EQ(ui_queue_pump(), 1);
    EXPECT_EQ(log.delivered.back(), std::make_pair(0x501u, static_cast<std::uintptr_t>(1000)));

    // Destroyed with messages still waiting: the sink gets them, in order.
    window->post_message(0x502, 7);
    window->post_message(0x503, 8);
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> discarded;
    window->destroy(&discard, &discarded);
    EXPECT_EQ(discarded, (std::vector<std::pair<std::uint32_t, std::uintptr_t>>{{0x502, 7}, {0x503, 8}}));
    EXPECT_EQ(ui_queue_pump(), -1);
    EXPECT_EQ(log.delivered.size(), 201u);
}

TEST(UiWindowThreads, DestroyOnAnotherThreadWaitsForTheDeliveryInProgress) {
    message_log log;
    ui_window* window = ui_window::create(&logging_procedure, &log);
    ASSERT_NE(window, nullptr);
    std::atomic<bool> in_handler{false}, destroying{false}, handler_done{false}, seen_done{false};
    log.hook = [&](std::uint32_t message, std::uintptr_t) {
        if (message != 0x500) return;
        in_handler = true;
        const auto end = clock_type::now() + std::chrono::seconds(5);
        while (!destroying.load() && clock_type::now() < end) std::this_thread::yield();
        // Long enough for a destroy that does not wait to come back first.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        handler_done = true;
    };
    window->post_message(0x500, 1);
    window->post_message(0x501, 2);
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> discarded;
    std::thread other([&] {
        const auto end = clock_type::now() + std::chrono::seconds(5);
        while (!in_handler.load() && clock_type::now() < end) std::this_thread::yield();
        destroying = true;
        window->destroy(&discard, &discarded);
        seen_done = handler_done.load();
    });
    EXPECT_EQ(ui_queue_pump(), 1) << "nothing delivered after the destroy";
    other.join();
    EXPECT_TRUE(seen_done.load());
    EXPECT_EQ(discarded, (std::vector<std::pair<std::uint32_t, std::uintptr_t>>{{0x501, 2}}));
    EXPECT_EQ(ui_queue_pump(), -1);
}

TEST(UiWindowWatch, ASignalledHandleBringsOneIoMessagePerPump) {
    message_log log;
    ui_window* window = ui_window::create(&logging_procedure, &log);
    ASSERT_NE(window, nullptr);
    event signal(false);
    ASSERT_TRUE(window->watch_descriptor(signal.native()));
    auto io_count = [&] {
        std::size_t n = 0;
        for (const auto& entry : log.delivered) n += entry.first == ui_io_message;
        return n;
    };
    signal.set();
    ASSERT_TRUE(pump_until([&] { return io_count() >= 1; }));
    // However often the handle is signalled, a pump delivers at most one.
    for (int round = 0; round < 5; ++round) {
        signal.set();
        signal.set();
        const std::size_t before = io_count();
        ui_queue_wait_and_pump(20);
        EXPECT_LE(io_count() - before, 1u);
    }
    // Signalled again after the owner caught up: another one comes.
    const std::size_t before = io_count();
    signal.set();
    EXPECT_TRUE(pump_until([&] { return io_count() > before; }));
    window->destroy();
    EXPECT_EQ(ui_queue_pump(), -1);
}

}  // namespace
