// The timer manager against a plain reference model: long random runs of
// arming, killing, cancelling and firing, across the tick counter's wrap, must
// fire the same entries in the same order.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_operation.h"
#include "engine/timer_manager.h"
#include "platform/tick.h"

namespace {

using namespace asynframe;

std::uint32_t g_tick = 0;
std::uint32_t model_tick() noexcept { return g_tick; }

struct sink : timeout_handler {
    void on_timeout(std::uint32_t) override {}
};

class null_handler : public asyn_io_handler_base {
public:
    void on_io_complete(asyn_io_operation*) override {}
};

// Every timer in a list; the earliest is found by scanning. Equal due times
// go by the order of arming (a repeating timer counts as armed again at each
// expiry).
class reference_model {
public:
    struct item {
        bool is_operation;
        void* target;
        std::uint32_t param;
        bool repeat;
        std::uint32_t period;
        std::uint32_t due;
        std::uint64_t sequence;
    };

    bool set_timer(void* handler, std::uint32_t period, std::uint32_t param, bool repeat) {
        for (const item& i : items)
            if (!i.is_operation && i.target == handler && i.param == param) return false;
        items.push_back({false, handler, param, repeat, period, g_tick + period, sequence++});
        return true;
    }
    void set_operation_timeout(void* operation, std::uint32_t period) {
        items.push_back({true, operation, 0, false, 0, g_tick + period, sequence++});
    }
    void kill_timer(void* handler, std::uint32_t param) {
        std::erase_if(items, [&](const item& i) { return !i.is_operation && i.target == handler && i.param == param; });
    }
    void kill_timers(void* handler) {
        std::erase_if(items, [&](const item& i) { return i.target == handler; });
    }
    void cancel_operation_timeout(void* operation) {
        // Time-outs are never re-armed, so the lowest sequence is the first armed.
        auto oldest = items.end();
        for (auto it = items.begin(); it != items.end(); ++it)
            if (it->is_operation && it->target == operation &&
                (oldest == items.end() || it->sequence < oldest->sequence))
                oldest = it;
        if (oldest != items.end()) items.erase(oldest);
    }
    std::size_t earliest() const {
        std::size_t best = 0;
        for (std::size_t k = 1; k < items.size(); ++k) {
            const std::int32_t difference = static_cast<std::int32_t>(items[k].due - items[best].due);
            if (difference < 0 || (difference == 0 && items[k].sequence < items[best].sequence)) best = k;
        }
        return best;
    }
    void pop_front() {
        const std::size_t k = earliest();
        item taken = items[k];
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(k));
        if (!taken.is_operation && taken.repeat) {
            taken.due = g_tick + taken.period;
            taken.sequence = sequence++;
            items.push_back(taken);
        }
    }

    std::vector<item> items;
    std::uint64_t sequence = 0;
};

class TimerModelTest : public ::testing::Test {
protected:
    void SetUp() override { platform::set_tick_source(&model_tick); }
    void TearDown() override { platform::set_tick_source(nullptr); }

    void expect_same_front(const char* step) {
        ASSERT_EQ(timers.size(), model.items.size()) << step;
        ASSERT_EQ(timers.has_timers(), !model.items.empty()) << step;
        if (model.items.empty()) return;
        timer_entry entry;
        timers.front(entry);
        const reference_model::item& expected = model.items[model.earliest()];
        ASSERT_EQ(entry.target, expected.target) << step;
        ASSERT_EQ(entry.param, expected.param) << step;
        ASSERT_EQ(entry.is_operation, expected.is_operation) << step;
        ASSERT_EQ(entry.due, expected.due) << step;
        ASSERT_EQ(entry.repeat, expected.repeat ? 1u : 0u) << step;
        ASSERT_EQ(entry.period, expected.period) << step;
        const std::int32_t left = static_cast<std::int32_t>(expected.due - g_tick);
        ASSERT_EQ(entry.remaining, left < 0 ? 0 : left) << step;
    }

    // Random steps; `arm_weight` out of 10 steps arm something.
    void run(std::mt19937& random, int steps, int arm_weight, std::uint32_t params, std::uint32_t longest) {
        auto pick = [&](std::uint32_t count) { return static_cast<std::uint32_t>(random() % count); };
        for (int step = 0; step < steps; ++step) {
            void* handler = &handlers[pick(static_cast<std::uint32_t>(handlers.size()))];
            asyn_io_operation* operation = operations[pick(static_cast<std::uint32_t>(operations.size()))].get();
            const std::uint32_t param = pick(params);
            const std::uint32_t period = pick(longest + 1);
            if (static_cast<int>(pick(10)) < arm_weight) {
                if (pick(4) == 0) {
                    timers.set_operation_timeout(operation, period);
                    model.set_operation_timeout(operation, period);
                } else {
                    const bool repeat = pick(3) == 0;
                    ASSERT_EQ(timers.set_timer(static_cast<sink*>(handler), period, param, repeat),
                              model.set_timer(handler, period, param, repeat));
                }
            } else {
                switch (pick(6)) {
                    case 0:
                    case 1:
                        timers.kill_timer(static_cast<sink*>(handler), param);
                        model.kill_timer(handler, param);
                        break;
                    case 2:
                        timers.kill_timers(static_cast<sink*>(handler));
                        model.kill_timers(handler);
                        break;
                    case 3:
                        timers.cancel_operation_timeout(operation);
                        model.cancel_operation_timeout(operation);
                        break;
                    default:
                        // Let time pass and fire whatever is due.
                        g_tick += pick(longest / 4 + 2);
                        for (int fired = 0; timers.has_timers(); ++fired) {
                            ASSERT_NO_FATAL_FAILURE(expect_same_front("before firing"));
                            timer_entry entry;
                            timers.front(entry);
                            if (entry.remaining != 0 || fired > 50) break;
                            timers.pop_front();
                            model.pop_front();
                        }
                }
            }
            ASSERT_NO_FATAL_FAILURE(expect_same_front("after a step"));
        }
    }

    timer_manager timers;
    reference_model model;
    std::vector<sink> handlers = std::vector<sink>(7);
    null_handler owner;
    std::vector<std::unique_ptr<asyn_io_operation>> operations;

    void make_operations(int count) {
        for (int i = 0; i < count; ++i) operations.push_back(std::make_unique<asyn_io_operation>(nullptr, &owner, 0));
    }
};

TEST_F(TimerModelTest, RandomRunsAcrossTheWrapMatchTheModel) {
    make_operations(4);
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        g_tick = 0xFFFFFF00u - seed * 977u;
        // Few params and short periods: many equal due times and duplicate refusals.
        ASSERT_NO_FATAL_FAILURE(run(random, 3000, 6, 4, 40));
        // Grow well past the first sizes of every container, then shrink again.
        ASSERT_NO_FATAL_FAILURE(run(random, 3000, 9, 400, 2000));
        ASSERT_NO_FATAL_FAILURE(run(random, 4000, 2, 400, 2000));
        for (sink& handler : handlers) {
            timers.kill_timers(&handler);
            model.kill_timers(&handler);
        }
        for (auto& operation : operations)
            while (std::any_of(model.items.begin(), model.items.end(),
                               [&](const auto& i) { return i.target == operation.get(); })) {
                timers.cancel_operation_timeout(operation.get());
                model.cancel_operation_timeout(operation.get());
                ASSERT_NO_FATAL_FAILURE(expect_same_front("cancelling the rest"));
            }
        EXPECT_FALSE(timers.has_timers());
    }
}

TEST_F(TimerModelTest, KillTimersTakesOneHandlerOutOfMany) {
    g_tick = 5000;
    std::vector<sink> many(300);
    // Interleaved arming, so every handler's timers lie scattered in the queue.
    for (std::uint32_t param = 0; param < 40; ++param)
        for (sink& handler : many) ASSERT_TRUE(timers.set_timer(&handler, (param * 7) % 50 + 1, param, param % 5 == 0));
    ASSERT_EQ(timers.size(), 300u * 40u);
    timers.kill_timers(&many[17]);
    timers.kill_timers(&many[0]);
    timers.kill_timers(&many[299]);
    EXPECT_EQ(timers.size(), 297u * 40u);
    // The others keep every timer: each param is still refused as a duplicate.
    for (std::uint32_t param = 0; param < 40; ++param) {
        EXPECT_TRUE(timers.set_timer(&many[17], 1, param, false));
        EXPECT_FALSE(timers.set_timer(&many[18], 1, param, false));
    }
    // Killing single timers from the middle, the start and the end of a handler's set.
    for (std::uint32_t param : {20u, 0u, 39u}) timers.kill_timer(&many[18], param);
    EXPECT_TRUE(timers.set_timer(&many[18], 1, 20, false));
    EXPECT_EQ(timers.size(), 298u * 40u - 2u);
    // Everything left fires exactly once for a one-shot timer.
    g_tick += 100;
    std::size_t fired = 0;
    while (timers.has_timers()) {
        timer_entry entry;
        timers.front(entry);
        if (entry.remaining != 0) break;
        timers.pop_front();
        ++fired;
    }
    // Repeating timers (param % 5 == 0) fired once and are due again 1 to 50 ms from now.
    EXPECT_EQ(fired, 298u * 40u - 2u);
    std::size_t repeating = 0;
    for (sink& handler : many) {
        const std::size_t before = timers.size();
        timers.kill_timers(&handler);
        repeating += before - timers.size();
    }
    // 296 handlers kept their eight repeating timers; many[18] lost params 0 and 20
    // and got 20 back as a one-shot timer.
    EXPECT_EQ(repeating, 296u * 8u + 6u);
    EXPECT_FALSE(timers.has_timers());
}

}  // namespace

// A dispatch turn holds the clock: every arming in it is measured from the
// turn's one reading, so entries armed together stay together, and the wait
// after the turn is measured from a fresh reading.
TEST_F(TimerModelTest, AHeldClockIsReadOnceAndReleasedForTheWait) {
    static int reads = 0;
    platform::set_tick_source([]() noexcept {
        ++reads;
        return g_tick;
    });
    make_operations(50);
    g_tick = 0xFFFFFFF0u;  // the turn crosses the counter's wrap
    reads = 0;
    timers.hold_clock();
    for (auto& operation : operations) {
        timers.set_operation_timeout(operation.get(), 100);
        ++g_tick;  // time passes while the turn's callbacks run
    }
    ASSERT_TRUE(timers.set_timer(&handlers[0], 100, 1, true));
    timer_entry entry;
    timers.front(entry);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(entry.due, 0xFFFFFFF0u + 100u);
    EXPECT_EQ(entry.target, operations.front().get());
    EXPECT_EQ(entry.remaining, 100);
    timers.release_clock();
    timers.front(entry);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(entry.remaining, 100 - 50);
    // Every entry of the turn is due at once, in arming order, the handler's last.
    g_tick += 50;
    for (auto& operation : operations) {
        timers.front(entry);
        ASSERT_EQ(entry.remaining, 0);
        ASSERT_EQ(entry.target, operation.get());
        timers.pop_front();
    }
    timers.front(entry);
    EXPECT_EQ(entry.target, static_cast<void*>(&handlers[0]));
    EXPECT_EQ(entry.remaining, 0);
}
