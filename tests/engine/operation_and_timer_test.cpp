// Operations, owning handlers and the timer manager on their own, without a
// running engine.
#include <cerrno>
#include <vector>

#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "engine/timer_manager.h"
#include "engine_test_support.h"
#include "platform/error_codes.h"
#include "platform/tick.h"

namespace {

using namespace asynframe;

class null_handler : public asyn_io_handler_base {
public:
    void on_io_complete(asyn_io_operation*) override {}
};

class plain_owner : public asyn_io_handler {
public:
    explicit plain_owner(singleton_instance* instance) : asyn_io_handler(instance) {}
    void on_io_complete(asyn_io_operation*) override {}
    void cancel() override {}
};

TEST(OperationTest, ResultRulesFollowTheOperationType) {
    null_handler handler;
    asyn_io_operation operation(nullptr, &handler, 0);
    std::uint32_t bytes = 9, error = 9;

    operation.set_operation_type(operation_type::send);
    operation.kind = platform::io_kind::send;
    EXPECT_FALSE(operation.get_result(bytes, error));
    EXPECT_EQ(error, errors::peer_closed);
    // An empty datagram sent is a success, not a vanished peer.
    operation.kind = platform::io_kind::send_to;
    EXPECT_TRUE(operation.get_result(bytes, error));
    EXPECT_EQ(error, 0u);
    operation.kind = platform::io_kind::send;
    operation.set_operation_type(operation_type::receive);
    EXPECT_TRUE(operation.get_result(bytes, error));
    EXPECT_EQ(bytes, 0u);
    // The backend's outcome is already in the library's code space.
    operation.error = 10054;
    EXPECT_FALSE(operation.get_result(bytes, error));
    EXPECT_EQ(error, 10054u);
    operation.error = 0;
    operation.bytes = 7;
    EXPECT_TRUE(operation.get_result(bytes, error));
    EXPECT_EQ(bytes, 7u);

    // A preset result wins over whatever the block holds.
    operation.set_operation_type(operation_type::send);
    operation.error = 10054;
    operation.set_preset_result(0, 5);
    EXPECT_TRUE(operation.get_result(bytes, error));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(error, 0u);
    operation.set_preset_result(10060, 0);
    EXPECT_FALSE(operation.get_result(bytes, error));
    EXPECT_EQ(error, 10060u);
}

TEST(OperationTest, BuffersSegmentsAndReset) {
    null_handler handler;
    asyn_io_operation operation(nullptr, &handler, 100);
    EXPECT_EQ(operation.buffer_len(), 100u);
    std::uint8_t* first = operation.buffer();
    EXPECT_EQ(operation.resize_buffer(10), first);  // smaller: same storage, new length
    EXPECT_EQ(operation.buffer_len(), 10u);
    EXPECT_EQ(operation.buffer_capacity(), 100u);
    ASSERT_NE(operation.resize_buffer(1000), nullptr);
    EXPECT_EQ(operation.buffer_capacity(), 1000u);
    EXPECT_EQ(operation.resize_buffer(0), nullptr);
    EXPECT_EQ(operation.buffer_capacity(), 0u);

    segment_element* eight = operation.set_segments_num(8);
    eight[3].address = 0x1234;
    EXPECT_EQ(operation.set_segments_num(4), eight);  // reused, contents kept
    EXPECT_EQ(operation.segments_capacity(), 8u);
    EXPECT_EQ(operation.segments()[3].address, 0x1234u);
    EXPECT_EQ(operation.segments()[8].address, 0u);  // the terminator

    operation.set_position(0x89ABCDEFu, 0x1u);
    EXPECT_EQ(operation.get_position(), 0x189ABCDEFull);
    operation.set_operation_type(operation_type::receive);
    operation.set_operate_handle(7);
    operation.set_preset_result(1, 2);
    operation.address() = platform::endpoint::v4(0x0100007F, 80);
    operation.resize_buffer(50);
    null_handler other;
    operation.reset(&other);
    EXPECT_EQ(operation.handdler_ptr(), &other);
    EXPECT_EQ(operation.get_operation_type(), 0);
    EXPECT_EQ(operation.operate_handle(), -1);
    EXPECT_FALSE(operation.result_preset());
    EXPECT_EQ(operation.address().family, platform::endpoint::family_t::none);
    EXPECT_EQ(operation.get_position(), 0u);
    EXPECT_EQ(operation.buffer_len(), 0u);
    EXPECT_EQ(operation.buffer_capacity(), 50u);  // storage stays
    EXPECT_EQ(operation.segments_num(), 0u);
    EXPECT_EQ(operation.segments(), eight);
}

TEST(OperationTest, OwningHandlerKeepsItsOperations) {
    plain_owner owner(nullptr);
    asyn_io_operation* a = owner.create_operation(8);
    asyn_io_operation* b = owner.create_operation(0);
    EXPECT_EQ(owner.operation_count(), 2u);
    EXPECT_EQ(a->handdler_ptr(), &owner);
    EXPECT_EQ(a->operation_iface(), nullptr);
    b->mark_pending();
    owner.delete_operation(b);  // pending: detached, left to the engine
    EXPECT_EQ(b->handdler_ptr(), nullptr);
    EXPECT_EQ(owner.operation_count(), 1u);
    b->clear_pending();
    delete b;
    owner.delete_all_operations();
    EXPECT_EQ(owner.operation_count(), 0u);
}

using OperationDeathTest = ::testing::Test;

TEST(OperationDeathTest, BrokenPreconditionsStopAtTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    null_handler handler;
    EXPECT_DEATH(
        {
            asyn_io_operation operation(nullptr, &handler, 0);
            operation.set_segments_num(0);
        },
        "segments_num != 0 not true, detail: vortan_assert file: asyn_io_operation line: 286");
    EXPECT_DEATH(
        {
            plain_owner owner(nullptr);
            asyn_io_operation operation(nullptr, &handler, 0);
            operation.reset(&owner);
        },
        "dynamic_cast<asyn_io_handler\\*>\\(handler_ptr\\) == NULL not true.*line: 328");
    EXPECT_DEATH(
        {
            auto* operation = new asyn_io_operation(nullptr, &handler, 0);
            operation->mark_pending();
            delete operation;
        },
        "_is_pending == false not true.*asyn_io_operation line: 101");
    EXPECT_DEATH(
        {
            plain_owner owner(nullptr);
            plain_owner stranger(nullptr);
            asyn_io_operation* operation = owner.create_operation(0);
            stranger.delete_operation(operation);
        },
        "operation_ptr->handdler_ptr\\(\\) == this not true.*asyn_io_handler line: 66");
    EXPECT_DEATH(
        {
            timer_manager timers;
            struct t : timeout_handler {
                void on_timeout(std::uint32_t) override {}
            } target;
            timers.set_timer(&target, MAX_TIMER_MILLISECOND, 0, false);
        },
        "millisecond < MAX_TIMER_MILLISECOND not true.*timer_manager line: 42");
}

std::uint32_t g_fake_tick = 0;
std::uint32_t fake_tick() noexcept { return g_fake_tick; }

class TimerManagerTest : public ::testing::Test {
protected:
    void SetUp() override { platform::set_tick_source(&fake_tick); }
    void TearDown() override { platform::set_tick_source(nullptr); }

    struct sink : timeout_handler {
        void on_timeout(std::uint32_t) override {}
    };

    // Takes every entry due at the current tick, in firing order.
    std::vector<std::pair<void*, std::uint32_t>> take_due() {
        std::vector<std::pair<void*, std::uint32_t>> out;
        while (timers.has_timers()) {
            timer_entry entry;
            timers.front(entry);
            if (entry.remaining != 0) break;
            timers.pop_front();
            out.emplace_back(entry.target, entry.param);
        }
        return out;
    }

    timer_manager timers;
    sink a, b;
};

TEST_F(TimerManagerTest, OrderSurvivesTheWrapAndEqualDueTimesKeepArmingOrder) {
    g_fake_tick = 0xFFFFFFF0u;
    EXPECT_TRUE(timers.set_timer(&a, 0x30, 3, false));  // due 0x20, after the wrap
    EXPECT_TRUE(timers.set_timer(&a, 0x08, 1, false));  // due 0xFFFFFFF8
    EXPECT_TRUE(timers.set_timer(&b, 0x30, 4, false));  // same due as the first: after it
    EXPECT_TRUE(timers.set_timer(&b, 0x10, 2, false));  // due exactly 0
    EXPECT_FALSE(timers.set_timer(&a, 5, 3, false));    // same handler and param: refused
    timer_entry entry;
    timers.front(entry);
    EXPECT_EQ(entry.param, 1u);
    EXPECT_EQ(entry.remaining, 8);
    g_fake_tick = 0x40;
    auto fired = take_due();
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[0].second, 1u);
    EXPECT_EQ(fired[1].second, 2u);
    EXPECT_EQ(fired[2], std::make_pair(static_cast<void*>(&a), 3u));
    EXPECT_EQ(fired[3], std::make_pair(static_cast<void*>(&b), 4u));
    EXPECT_FALSE(timers.has_timers());
    EXPECT_TRUE(timers.set_timer(&a, 0, 3, false));  // the param is free again
    EXPECT_TRUE(timers.set_timer(&a, MAX_TIMER_MILLISECOND - 1, 9, false));
}

TEST_F(TimerManagerTest, RepeatingTimersCountFromTheirExpiry) {
    g_fake_tick = 1000;
    timers.set_timer(&a, 100, 1, true);
    g_fake_tick = 1350;  // handled late
    ASSERT_EQ(take_due().size(), 1u);
    timer_entry entry;
    timers.front(entry);
    EXPECT_EQ(entry.due, 1450u);
    EXPECT_EQ(entry.remaining, 100);
    timers.kill_timer(&a, 1);
    EXPECT_FALSE(timers.has_timers());
}

TEST_F(TimerManagerTest, KillingAndOperationTimeouts) {
    g_fake_tick = 0;
    timers.set_timer(&a, 10, 1, false);
    timers.set_timer(&a, 20, 2, true);
    timers.set_timer(&a, 30, 3, false);
    timers.set_timer(&b, 40, 1, false);
    timers.kill_timers(&a);
    timers.kill_timers(&a);  // nothing left: ignored
    EXPECT_EQ(timers.size(), 1u);
    timers.kill_timer(&b, 2);  // not armed: ignored
    EXPECT_EQ(timers.size(), 1u);

    null_handler handler;
    asyn_io_operation operation(nullptr, &handler, 0);
    timers.set_operation_timeout(&operation, 5);
    timers.set_operation_timeout(&operation, 50);  // no duplicate check: two time-outs
    EXPECT_EQ(timers.size(), 3u);
    timers.cancel_operation_timeout(&operation);
    EXPECT_EQ(timers.size(), 2u);
    g_fake_tick = 60;
    auto fired = take_due();
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[1].first, &operation);
    timers.cancel_operation_timeout(&operation);  // nothing armed: ignored
    EXPECT_FALSE(timers.has_timers());
}

}  // namespace

namespace {

TEST(EngineDeathTest, ACompletionForAnOperationNotPendingEndsTheEngineThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            singleton_instance services;
            asyn_io_manager engine(&services, false);
            services.asyn_io_manager_ptr = &engine;
            engine.start();
            null_handler handler;
            auto* operation = new asyn_io_operation(&services, &handler, 0);
            // A block handed to the backend without marking the operation pending.
            engine.io_port()->post(operation->overlapped());
            engine.stop();
        },
        // \w, not a bracket class: GoogleTest's own expressions on Windows have none.
        "operation_ptr->is_pending\\(\\) == true not ture, op ptr: \\w+, op result: 0, op and handler must be "
        "delete");
}

TEST(EngineTest, StopOfAnEngineNeverStartedDoesNothing) {
    singleton_instance services;
    asyn_io_manager engine(&services, true);
    engine.stop();
    EXPECT_FALSE(engine.use_completion_port());
    EXPECT_FALSE(engine.in_dispatch_thread());
}

}  // namespace
