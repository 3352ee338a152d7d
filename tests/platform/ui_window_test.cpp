// The UI thread's message queue: window timers and windows destroyed from
// another thread.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ui_window.h"

namespace {

using namespace asynframe::platform;
using clock_type = std::chrono::steady_clock;

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
    ASSERT_GE(ui_queue_descriptor(), 0);
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
    EXPECT_EQ(ui_queue_descriptor(), -1);
    // A new window on this thread gets a fresh queue.
    ui_window* again = ui_window::create(&procedure, &log);
    ASSERT_NE(again, nullptr);
    EXPECT_GE(ui_queue_descriptor(), 0);
    again->destroy();
    EXPECT_EQ(ui_queue_descriptor(), -1);
}

}  // namespace
