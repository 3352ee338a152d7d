// The wait-object service over a running engine, in each engine mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/portable.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "common/harness.h"
#include "engine/wait_objects_thread.h"
#include "platform/ui_window.h"

namespace asynframe {
namespace {

using namespace std::chrono_literals;
constexpr std::uint32_t hard_limit_ms = 10000;

bool eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(hard_limit_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// Runs a function on the engine's dispatch thread and waits for it.
class dispatch_call : public asyn_io_handler {
public:
    using asyn_io_handler::asyn_io_handler;
    void on_io_complete(asyn_io_operation* operation) override {
        delete_operation(operation);
        _fn();
        _done.set();
    }
    void cancel() override {}

    bool post(std::function<void()> fn) {
        _fn = std::move(fn);
        asyn_io_operation* op = create_operation(0);
        if (op->post()) return true;
        delete_operation(op);
        return false;
    }
    bool done(std::uint32_t timeout_ms) { return _done.wait(timeout_ms); }

private:
    std::function<void()> _fn;
    platform::event _done{false};
};

// The owner: records what it is told, and checks it is told on the dispatch thread.
class owner_sink : public i_wait_objects_thread_notify {
public:
    explicit owner_sink(asyn_io_manager& engine) : _engine(engine) {}
    void on_wait_object_signaled(const wait_handle& handle) override {
        std::function<void(const wait_handle&)> then;
        {
            std::lock_guard<std::mutex> lock(_lock);
            _seen.push_back(handle);
            if (!_engine.in_dispatch_thread()) ++off_thread;
            then = on_signal;
        }
        if (then) then(handle);
    }
    std::vector<wait_handle> seen() {
        std::lock_guard<std::mutex> lock(_lock);
        return _seen;
    }
    std::size_t count() { return seen().size(); }
    std::size_t count_of(const wait_handle& h) {
        std::size_t n = 0;
        for (const auto& s : seen()) n += s == h ? 1 : 0;
        return n;
    }

    std::function<void(const wait_handle&)> on_signal;  // runs on the dispatch thread
    std::atomic<int> off_thread{0};

private:
    asyn_io_manager& _engine;
    std::mutex _lock;
    std::vector<wait_handle> _seen;
};

// Counts the signals the wait threads hand over, and can hold a wait thread inside
// the signal of a gate handle (so that several handles become ready together).
class observed_manager : public wait_objects_thread_manager {
public:
    using wait_objects_thread_manager::wait_objects_thread_manager;
    ~observed_manager() override { stop_threads(); }

    void on_wait_object_signaled(const wait_handle& handle) override {
        if (gate != nullptr && handle == wait_handle::of(*gate)) {
            gate_entered.set();
            gate_open.wait(platform::infinite);
            return;
        }
        // Counted before it is handed on: the owner may see it at once.
        ++signals;
        wait_objects_thread_manager::on_wait_object_signaled(handle);
    }

    platform::event* gate = nullptr;
    platform::event gate_entered{true};
    platform::event gate_open{true};
    std::atomic<int> signals{0};
};

enum class engine_mode { port, alertable, ui_thread, ui_thread_alertable };

void PrintTo(engine_mode mode, std::ostream* os) {
    switch (mode) {
        case engine_mode::port: *os << "port"; break;
        case engine_mode::alertable: *os << "alertable"; break;
        case engine_mode::ui_thread: *os << "ui_thread"; break;
        case engine_mode::ui_thread_alertable: *os << "ui_thread_alertable"; break;
    }
}

bool is_ui(engine_mode mode) { return mode == engine_mode::ui_thread || mode == engine_mode::ui_thread_alertable; }
bool is_alertable(engine_mode mode) {
    return mode == engine_mode::alertable || mode == engine_mode::ui_thread_alertable;
}

class WaitObjectsTest : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        _engine = std::make_unique<asyn_io_manager>(&_instance, is_alertable(GetParam()));
        _engine->set_ui_mode(is_ui(GetParam()));
        _instance.asyn_io_manager_ptr = _engine.get();
        _engine->start();
        _caller = std::make_unique<dispatch_call>(&_instance);
        owner = std::make_unique<owner_sink>(*_engine);
        manager = std::make_unique<observed_manager>(&_instance, owner.get());
    }
    void TearDown() override {
        if (manager) {
            ASSERT_TRUE(on_dispatch([&] { manager.reset(); }));
        }
        _engine->stop();
        _caller.reset();
        _instance.asyn_io_manager_ptr = nullptr;
        _engine.reset();
        EXPECT_EQ(owner->off_thread.load(), 0) << "the owner is told on the dispatch thread only";
    }

    // In UI-thread mode this (test) thread is the dispatch thread: it pumps while it waits.
    bool until(const std::function<bool()>& condition) {
        if (!is_ui(GetParam())) return eventually(condition);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(hard_limit_ms);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            platform::ui_queue_wait_and_pump(10);
        }
        return true;
    }

    bool on_dispatch(std::function<void()> fn) {
        if (!_caller->post(std::move(fn))) return false;
        if (!is_ui(GetParam())) return _caller->done(hard_limit_ms);
        return until([&] { return _caller->done(0); });
    }
    // Everything posted before this call has been dispatched when it returns.
    bool round_trip() { return on_dispatch([] {}); }

    // Watched events must outlive the manager (a closed descriptor ends its wait
    // thread), so they belong to the fixture, not to the test body.
    platform::event& new_event() { return *_events.emplace_back(std::make_unique<platform::event>(false)); }
    std::vector<platform::event*> new_events(int n) {
        std::vector<platform::event*> events;
        for (int i = 0; i < n; ++i) events.push_back(&new_event());
        return events;
    }

    std::vector<std::unique_ptr<platform::event>> _events;
    singleton_instance _instance;
    std::unique_ptr<asyn_io_manager> _engine;
    std::unique_ptr<dispatch_call> _caller;
    std::unique_ptr<owner_sink> owner;
    std::unique_ptr<observed_manager> manager;
};

TEST_P(WaitObjectsTest, PlacesSixtyOneHandlesPerThread) {
    auto events = new_events(63);
    ASSERT_TRUE(on_dispatch([&] {
        for (int i = 0; i < 62; ++i) EXPECT_TRUE(manager->add_wait_object(wait_handle::of(*events[i]), 0));
        EXPECT_EQ(manager->thread_count(), 2u);
        EXPECT_EQ(manager->placement_of(wait_handle::of(*events[60])), 0);
        EXPECT_EQ(manager->placement_of(wait_handle::of(*events[61])), 1);
        EXPECT_FALSE(manager->add_wait_object(wait_handle::of(*events[3]), 5)) << "already placed";
        EXPECT_FALSE(manager->remove_wait_object(wait_handle::of(*events[62]))) << "never placed";
        // A removal makes room on the first thread again.
        EXPECT_TRUE(manager->remove_wait_object(wait_handle::of(*events[5])));
        EXPECT_EQ(manager->placement_of(wait_handle::of(*events[5])), -1);
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(*events[62]), 0));
        EXPECT_EQ(manager->placement_of(wait_handle::of(*events[62])), 0);
        EXPECT_EQ(manager->thread_count(), 2u);
    }));
    events[61]->set();
    events[62]->set();
    events[0]->set();
    ASSERT_TRUE(until([&] { return owner->count() == 3; }));
    EXPECT_EQ(owner->count_of(wait_handle::of(*events[61])), 1u);
    EXPECT_EQ(owner->count_of(wait_handle::of(*events[62])), 1u);
    EXPECT_EQ(owner->count_of(wait_handle::of(*events[0])), 1u);
}

TEST_P(WaitObjectsTest, SimultaneousSignalsReachOwnerInPriorityOrderDemotedLast) {
    platform::event& gate = new_event();
    platform::event& demoted = new_event();
    platform::event& low = new_event();
    platform::event& high = new_event();
    platform::event& equal_a = new_event();
    platform::event& equal_b = new_event();
    manager->gate = &gate;
    ASSERT_TRUE(on_dispatch([&] {
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(gate), 1000));
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(demoted), 500));
    }));
    // Hold the wait thread, queue everything, make every handle ready, then let go:
    // the thread takes the requests in one batch and finds all handles signalled.
    gate.set();
    ASSERT_TRUE(manager->gate_entered.wait(hard_limit_ms));
    ASSERT_TRUE(on_dispatch([&] {
        EXPECT_TRUE(manager->demote_wait_object(wait_handle::of(demoted)));
        EXPECT_FALSE(manager->add_wait_object(wait_handle::of(demoted), 1)) << "a demoted handle stays placed";
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(low), 1));
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(equal_a), 20));
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(high), 30));
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(equal_b), 20));
    }));
    for (auto* e : {&demoted, &low, &high, &equal_a, &equal_b}) e->set();
    manager->gate_open.set();
    ASSERT_TRUE(until([&] { return owner->count() == 5; }));
    const auto seen = owner->seen();
    EXPECT_TRUE(seen[0] == wait_handle::of(high));
    EXPECT_TRUE(seen[1] == wait_handle::of(equal_a));
    EXPECT_TRUE(seen[2] == wait_handle::of(equal_b));
    EXPECT_TRUE(seen[3] == wait_handle::of(low));
    EXPECT_TRUE(seen[4] == wait_handle::of(demoted));
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->remove_wait_object(wait_handle::of(demoted))); }));
}

TEST_P(WaitObjectsTest, RepeatedSignalsBeforeDispatchYieldOneNotification) {
    platform::event& e = new_event();
    const wait_handle h = wait_handle::of(e);
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->add_wait_object(h, 0)); }));
    // The dispatch thread is busy while the handle fires three times.
    ASSERT_TRUE(on_dispatch([&] {
        for (int i = 1; i <= 3; ++i) {
            e.set();
            ASSERT_TRUE(eventually([&] { return manager->signals.load() == i; }));
        }
    }));
    ASSERT_TRUE(round_trip());
    ASSERT_TRUE(until([&] { return owner->count() == 1; }));
    ASSERT_TRUE(round_trip());
    EXPECT_EQ(owner->count(), 1u);

    // Once the owner was told, the next signal is a new notification.
    e.set();
    ASSERT_TRUE(until([&] { return owner->count() == 2; }));
}

TEST_P(WaitObjectsTest, RemovalDropsAPostedNotification) {
    platform::event& e = new_event();
    platform::event& other = new_event();
    const wait_handle h = wait_handle::of(e);
    ASSERT_TRUE(on_dispatch([&] {
        EXPECT_TRUE(manager->add_wait_object(h, 0));
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(other), 0));
    }));
    ASSERT_TRUE(on_dispatch([&] {
        e.set();
        ASSERT_TRUE(eventually([&] { return manager->signals.load() == 1; }));
        // The notification is posted but not yet dispatched (this thread is busy).
        EXPECT_TRUE(manager->remove_wait_object(h));
        EXPECT_FALSE(manager->remove_wait_object(h));
    }));
    ASSERT_TRUE(round_trip());
    EXPECT_EQ(owner->count(), 0u);
    other.set();
    ASSERT_TRUE(until([&] { return owner->count() == 1; }));
    EXPECT_TRUE(owner->seen()[0] == wait_handle::of(other));
    e.set();
    ASSERT_TRUE(round_trip());
    EXPECT_TRUE(e.wait(0)) << "a removed handle is no longer waited on";
}

TEST_P(WaitObjectsTest, RemoveWhileAddStillQueuedReturnsAtOnce) {
    platform::event& gate = new_event();
    platform::event& late = new_event();
    manager->gate = &gate;
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->add_wait_object(wait_handle::of(gate), 0)); }));
    gate.set();
    ASSERT_TRUE(manager->gate_entered.wait(hard_limit_ms));
    late.set();
    // The wait thread is held, so a remove that waited for it would never return.
    ASSERT_TRUE(on_dispatch([&] {
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(late), 0));
        EXPECT_TRUE(manager->remove_wait_object(wait_handle::of(late)));
    }));
    manager->gate_open.set();
    ASSERT_TRUE(round_trip());
    EXPECT_TRUE(late.wait(0)) << "the handle was never waited on";
    EXPECT_EQ(manager->signals.load(), 0);
}

TEST_P(WaitObjectsTest, ReadySocketIsReportedOnceUntilTheOwnerHasSeenIt) {
    harness::sock_t sv[2];
    ASSERT_TRUE(harness::stream_pair(sv));
    const wait_handle readable = wait_handle::socket(sv[0], wait_handle::socket_readable);
    // The owner stops watching on the third report; each report must have been
    // handled before the next is made, though the socket stays readable throughout.
    owner->on_signal = [&](const wait_handle& h) {
        if (owner->count_of(h) == 3) {
            EXPECT_TRUE(manager->remove_wait_object(h));
        }
    };
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->add_wait_object(readable, 0)); }));
    ASSERT_EQ(harness::send_bytes(sv[1], "x", 1), 1);
    ASSERT_TRUE(until([&] { return owner->count() == 3; }));
    ASSERT_TRUE(round_trip());
    ASSERT_TRUE(round_trip());
    EXPECT_EQ(owner->count(), 3u);
    EXPECT_EQ(manager->signals.load(), 3) << "no signal was absorbed: the socket was set aside meanwhile";
    harness::close_sock(sv[0]);
    harness::close_sock(sv[1]);
}

// Removed inside its own report, a socket is dropped without a wait; its
// number, reused at once by a new socket, is watched afresh.
TEST_P(WaitObjectsTest, ASocketRemovedInItsReportCanBeReplacedByItsNumber) {
    harness::sock_t first[2];
    ASSERT_TRUE(harness::stream_pair(first));
    const harness::sock_t number = first[0];
    const wait_handle handle = wait_handle::socket(number, wait_handle::socket_readable);
    harness::sock_t second[2] = {harness::bad_sock, harness::bad_sock};
    owner->on_signal = [&](const wait_handle& h) {
        if (owner->count_of(h) != 1) return;
        EXPECT_TRUE(manager->remove_wait_object(h));
        // The writing end stays open until the test's own thread is done with it.
        harness::close_sock(first[0]);
        // The number comes back to one end of a new pair: at once on Linux
        // (the lowest free one), within a few pairs where other threads of
        // the process take handles too (Windows).
        std::vector<harness::sock_t> spare;
        for (int tries = 0; tries < 32; ++tries) {
            ASSERT_TRUE(harness::stream_pair(second));
            if (second[1] == number) std::swap(second[0], second[1]);
            if (second[0] == number) break;
            spare.insert(spare.end(), {second[0], second[1]});
            second[0] = second[1] = harness::bad_sock;
        }
        for (const harness::sock_t other : spare) harness::close_sock(other);
        ASSERT_EQ(second[0], number);
        EXPECT_TRUE(manager->add_wait_object(wait_handle::socket(second[0], wait_handle::socket_readable), 0));
    };
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->add_wait_object(handle, 0)); }));
    ASSERT_EQ(harness::send_bytes(first[1], "x", 1), 1);
    ASSERT_TRUE(until([&] { return owner->count_of(handle) == 1 && second[1] != harness::bad_sock; }));
    // The new socket is not readable yet: nothing stale may be reported for it.
    ASSERT_TRUE(round_trip());
    EXPECT_EQ(owner->count_of(handle), 1u);
    ASSERT_EQ(harness::send_bytes(second[1], "y", 1), 1);
    ASSERT_TRUE(until([&] { return owner->count_of(handle) >= 2; }));
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->remove_wait_object(handle)); }));
    harness::close_sock(first[1]);
    harness::close_sock(second[0]);
    harness::close_sock(second[1]);
}

TEST_P(WaitObjectsTest, ConnectOutcomesOnLoopbackAreReported) {
    std::uint16_t port = 0;
    const harness::sock_t listener = harness::tcp_listener(port);
    const sockaddr_in open_port = harness::ipv4_address("127.0.0.1", port);
    // A port nobody listens on: take one from a listener that is then closed.
    const harness::sock_t gone = harness::tcp_listener(port);
    const sockaddr_in closed_port = harness::ipv4_address("127.0.0.1", port);
    harness::close_sock(gone);

    const harness::sock_t ok = harness::tcp_sock();
    const harness::sock_t refused = harness::tcp_sock();
    ASSERT_NE(ok, harness::bad_sock);
    ASSERT_NE(refused, harness::bad_sock);
    ASSERT_TRUE(harness::set_nonblocking_sock(ok, true));
    ASSERT_TRUE(harness::set_nonblocking_sock(refused, true));
    const wait_handle ok_handle = wait_handle::socket(ok, wait_handle::socket_writable);
    const wait_handle refused_handle = wait_handle::socket(refused, wait_handle::socket_writable);
    owner->on_signal = [&](const wait_handle& h) { EXPECT_TRUE(manager->remove_wait_object(h)); };
    ASSERT_TRUE(on_dispatch([&] {
        ::connect(ok, reinterpret_cast<const sockaddr*>(&open_port), sizeof open_port);
        ::connect(refused, reinterpret_cast<const sockaddr*>(&closed_port), sizeof closed_port);
        EXPECT_TRUE(manager->add_wait_object(ok_handle, 0));
        EXPECT_TRUE(manager->add_wait_object(refused_handle, 0));
    }));
    ASSERT_TRUE(until([&] { return owner->count() == 2; }));
    EXPECT_EQ(owner->count_of(ok_handle), 1u);
    EXPECT_EQ(owner->count_of(refused_handle), 1u);
    int error = -1;
    harness::sock_len length = sizeof error;
    ASSERT_EQ(::getsockopt(refused, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, harness::connection_refused);
    harness::close_sock(ok);
    harness::close_sock(refused);
    harness::close_sock(listener);
}

TEST_P(WaitObjectsTest, DestroyingTheManagerWithANotificationInFlight) {
    platform::event& e = new_event();
    ASSERT_TRUE(on_dispatch([&] { EXPECT_TRUE(manager->add_wait_object(wait_handle::of(e), 0)); }));
    ASSERT_TRUE(on_dispatch([&] {
        e.set();
        ASSERT_TRUE(eventually([&] { return manager->signals.load() == 1; }));
        manager.reset();
    }));
    ASSERT_TRUE(round_trip());
    EXPECT_EQ(owner->count(), 0u);
}

TEST_P(WaitObjectsTest, HandleAddedAfterItsThreadDiedGoesToALiveThread) {
    platform::event& later = new_event();
    // A descriptor the wait refuses (as a closed one is) ends the wait of its thread.
    ASSERT_TRUE(on_dispatch([&] {
        EXPECT_TRUE(manager->add_wait_object(wait_handle::socket(-1, wait_handle::socket_readable), 0));
    }));
    ASSERT_TRUE(until([&] { return manager->live_thread_count() == 0; }));
    int placed = -1;
    ASSERT_TRUE(on_dispatch([&] {
        EXPECT_TRUE(manager->add_wait_object(wait_handle::of(later), 0));
        placed = manager->placement_of(wait_handle::of(later));
        EXPECT_EQ(manager->thread_count(), 2u);
        EXPECT_EQ(manager->live_thread_count(), 1u);
    }));
    ASSERT_EQ(placed, 1) << "placed on a new thread, not on the dead one";
    later.set();
    ASSERT_TRUE(until([&] { return owner->count_of(wait_handle::of(later)) == 1; }));
}

INSTANTIATE_TEST_SUITE_P(EngineModes, WaitObjectsTest,
                         ::testing::Values(engine_mode::port, engine_mode::alertable, engine_mode::ui_thread,
                                           engine_mode::ui_thread_alertable),
                         [](const ::testing::TestParamInfo<engine_mode>& info) {
                             return ::testing::PrintToString(info.param);
                         });

}  // namespace
}  // namespace asynframe
