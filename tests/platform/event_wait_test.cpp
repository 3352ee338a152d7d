#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/socket_pair.h"
#include "platform/wait.h"

namespace {
// Allocations made by the calling thread; the operator new below counts them.
thread_local std::size_t allocations_here = 0;
}  // namespace

// GCC pairs these by name and misses that they are replaced together.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    ++allocations_here;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The other plain forms too, so that every new and delete of the program pair up.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations_here;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace asynframe::platform {
namespace {

// Long enough never to trip on a loaded machine; only used where the wait must succeed.
constexpr std::uint32_t generous_ms = 10000;

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    event e(true);
    EXPECT_FALSE(e.wait(0));
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(0));
    e.reset();
    EXPECT_FALSE(e.wait(0));
    event initially(true, true);
    EXPECT_TRUE(initially.wait(0));
}

TEST(EventTest, AutoResetConsumesAndCoalesces) {
    event e(false);
    EXPECT_FALSE(e.wait(0));
    e.set();
    e.set();
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_FALSE(e.wait(0)) << "repeated sets are one signal";
    event initially(false, true);
    EXPECT_TRUE(initially.wait(0));
    EXPECT_FALSE(initially.wait(0));
    initially.set();
    initially.reset();
    EXPECT_FALSE(initially.wait(0));
}

TEST(EventTest, TimedWaitTimesOutAndWakesOnSetFromOtherThread) {
    event e(false);
    EXPECT_FALSE(e.wait(20));
    std::thread setter([&] { e.set(); });
    EXPECT_TRUE(e.wait(generous_ms));
    setter.join();
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSignal) {
    event e(false);
    event done(true);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            while (!done.wait(0))
                if (e.wait(5)) ++released;
        });
    for (int i = 1; i <= 3; ++i) {
        e.set();
        // Wait (hard limit) until one waiter took the signal before giving the next.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (released.load() < i && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        ASSERT_EQ(released.load(), i);
    }
    done.set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
}

TEST(WaitAnyTest, ReportsLowestReadyIndexAndConsumesOnlyIt) {
    event a(false), b(false), c(false), m(true);
    const std::array<waitable, 4> items{waitable::of(a), waitable::of(m), waitable::of(b), waitable::of(c)};
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), wait_timeout);

    c.set();
    b.set();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 2);
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 3) << "b was consumed, c was not";
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), wait_timeout);

    m.set();
    a.set();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 0);
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 1);
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 1) << "a manual-reset event is not consumed";
    EXPECT_TRUE(m.wait(0));
}

TEST(WaitAnyTest, SocketReadinessOnSocketPair) {
    native_handle sv[2];
    ASSERT_TRUE(testing::make_socket_pair(sv));
    event stop(true);
    std::array<waitable, 2> items{waitable::of(stop), waitable::socket(sv[0], waitable::socket_readable)};
    EXPECT_EQ(wait_any(items.data(), items.size(), 10), wait_timeout);

    items[1].kind = waitable::socket_writable;
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);

    items[1].kind = waitable::socket_readable;
    std::thread writer([&] { EXPECT_TRUE(testing::send_byte(sv[1])); });
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);
    writer.join();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 1) << "socket readiness is level, not consumed";
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1) << "data there before the wait began";

    stop.set();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 0) << "lower index wins";

    // A closed peer makes the socket ready too, so the watcher learns the outcome.
    stop.reset();
    ASSERT_TRUE(testing::receive_byte(sv[0]));
    testing::close_socket(sv[1]);
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);
    items[1].kind = waitable::socket_any;
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);
    testing::close_socket(sv[0]);
}

// One socket asked for twice, and events on both sides of it: the lowest
// ready index, whichever kind it is.
TEST(WaitAnyTest, SocketsAndEventsMixedKeepIndexOrder) {
    native_handle sv[2];
    ASSERT_TRUE(testing::make_socket_pair(sv));
    event before(false), after(false);
    const std::array<waitable, 4> items{waitable::of(before), waitable::socket(sv[0], waitable::socket_readable),
                                        waitable::socket(sv[0], waitable::socket_writable), waitable::of(after)};
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 2) << "writable, not readable";
    after.set();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 2);
    before.set();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 0);
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 2) << "the event before was taken, the one after was not";
    ASSERT_TRUE(testing::send_byte(sv[1]));
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);
    EXPECT_TRUE(after.wait(0));
    testing::close_socket(sv[0]);
    testing::close_socket(sv[1]);
}

// The acceptor's wait: its events and listening sockets (one of them watched
// for several requests), in one list.
TEST(WaitReadableTest, EventsAndListenersInOneWait) {
    std::uint16_t port = 0;
    const native_handle listener = testing::loopback_listener(port);
    ASSERT_NE(listener, invalid_handle);
    event stop(true), request(false);
    const std::array<native_handle, 4> handles{stop.native(), request.native(), listener, listener};
    EXPECT_EQ(wait_readable(handles.data(), handles.size(), 0), -1);
    EXPECT_EQ(wait_readable(handles.data(), handles.size(), 10), -1);

    std::thread connector([&] {
        const native_handle client = testing::connect_loopback(port);
        EXPECT_NE(client, invalid_handle);
        request.wait(generous_ms);  // kept open until the wait saw it
        testing::close_socket(client);
    });
    EXPECT_EQ(wait_readable(handles.data(), handles.size(), generous_ms), 2);
    EXPECT_EQ(wait_readable(handles.data(), handles.size(), 0), 2) << "still waiting to be accepted";
    request.set();
    connector.join();
    stop.set();
    EXPECT_EQ(wait_readable(handles.data(), handles.size(), 0), 0) << "lower index wins";
    stop.reset();

    // A handle that is not open is ready: the call that uses it reports why.
    native_handle sv[2];
    ASSERT_TRUE(testing::make_socket_pair(sv));
    testing::close_socket(sv[0]);
    testing::close_socket(sv[1]);
    const std::array<native_handle, 2> with_closed{stop.native(), sv[0]};
    EXPECT_EQ(wait_readable(with_closed.data(), with_closed.size(), generous_ms), 1);
    testing::close_socket(listener);
}

// The connection scheduler's wait: a connect that ends, either way, makes the
// socket ready for writing.
TEST(WaitAnyTest, ConnectOutcomeMakesTheSocketWritable) {
    std::uint16_t port = 0;
    const native_handle listener = testing::loopback_listener(port);
    ASSERT_NE(listener, invalid_handle);
    event stop(true);
    const native_handle connecting = testing::connect_loopback(port, true);
    ASSERT_NE(connecting, invalid_handle);
    std::array<waitable, 2> items{waitable::of(stop), waitable::socket(connecting, waitable::socket_writable)};
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);
    testing::close_socket(connecting);

    // Nobody listens on the port any more: the connect is refused.
    testing::close_socket(listener);
    const native_handle refused = testing::connect_loopback(port, true);
    ASSERT_NE(refused, invalid_handle);
    items[1] = waitable::socket(refused, waitable::socket_writable);
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 1);
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), 1) << "and stays so";
    // Nothing of the wait stays on the socket: its owner can make it blocking again.
    EXPECT_TRUE(testing::set_nonblocking(refused, false));
    testing::close_socket(refused);
}

TEST(WaitAnyTest, BadInputFails) {
    event e(false);
    const waitable bad{-1, waitable::socket_readable, nullptr};
    EXPECT_EQ(wait_any(nullptr, 1, 0), wait_failed);
    const waitable ok = waitable::of(e);
    EXPECT_EQ(wait_any(&ok, 0, 0), wait_failed);
    EXPECT_EQ(wait_any(&bad, 1, 0), wait_failed);
    const waitable no_event{e.native(), waitable::event_kind, nullptr};
    EXPECT_EQ(wait_any(&no_event, 1, 0), wait_failed);

    native_handle sv[2];
    ASSERT_TRUE(testing::make_socket_pair(sv));
    const waitable closed = waitable::socket(sv[0], waitable::socket_readable);
    testing::close_socket(sv[0]);
    testing::close_socket(sv[1]);
    EXPECT_EQ(wait_any(&closed, 1, 0), wait_failed);
}

TEST(WaitAnyTest, SixtyFourItemsAndWakeFromOtherThread) {
    std::vector<std::unique_ptr<event>> events;
    std::vector<waitable> items;
    for (int i = 0; i < 64; ++i) {
        events.push_back(std::make_unique<event>(false));
        items.push_back(waitable::of(*events.back()));
    }
    std::thread setter([&] { events[63]->set(); });
    EXPECT_EQ(wait_any(items.data(), items.size(), generous_ms), 63);
    setter.join();
    EXPECT_EQ(wait_any(items.data(), items.size(), 5), wait_timeout);
}

// The wait threads wait over and over: a wait must not touch the heap.
TEST(WaitAnyTest, WaitsWithoutAllocatingUpToTheLimitAndRefusesMore) {
    std::vector<std::unique_ptr<event>> events;
    std::vector<waitable> items;
    for (std::size_t i = 0; i <= maximum_wait_items; ++i) {
        events.push_back(std::make_unique<event>(false));
        items.push_back(waitable::of(*events.back()));
    }
    const std::size_t before = allocations_here;
    const int idle = wait_any(items.data(), maximum_wait_items, 0);
    events[40]->set();
    const int ready = wait_any(items.data(), maximum_wait_items, generous_ms);
    const std::size_t allocated = allocations_here - before;
    EXPECT_EQ(idle, wait_timeout);
    EXPECT_EQ(ready, 40);
    EXPECT_EQ(allocated, 0u);
    events[0]->set();
    EXPECT_EQ(wait_any(items.data(), items.size(), 0), wait_failed) << "more items than a wait takes";
    EXPECT_TRUE(events[0]->wait(0)) << "a refused wait consumes nothing";
}

}  // namespace
}  // namespace asynframe::platform
