// The wait thread on its own, with a recording receiver (no engine involved).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/portable.h"
#include "engine/wait_objects_thread.h"

namespace asynframe {
namespace {

using namespace std::chrono_literals;
constexpr auto hard_limit = 10s;

// Records every signal.
class recorder : public i_wait_objects_thread_notify {
public:
    void on_wait_object_signaled(const wait_handle& handle) override {
        std::lock_guard<std::mutex> lock(_lock);
        _seen.push_back(handle);
        _changed.notify_all();
    }

    bool wait_for_count(std::size_t n) {
        std::unique_lock<std::mutex> lock(_lock);
        return _changed.wait_for(lock, hard_limit, [&] { return _seen.size() >= n; });
    }
    std::vector<wait_handle> seen() {
        std::lock_guard<std::mutex> lock(_lock);
        return _seen;
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    std::vector<wait_handle> _seen;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = hard_limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

bool wait_until_count(const wait_objects_thread& t, std::size_t n) {
    return eventually([&] { return t.handle_count() == n; });
}

TEST(WaitRequestListTest, RemoveCancelsAQueuedAdd) {
    platform::event a(false), b(false);
    const wait_handle ha = wait_handle::of(a), hb = wait_handle::of(b);
    wait_objects_thread_operation_list list;
    EXPECT_TRUE(list.push({wait_request::add, ha, 3, 0}));
    EXPECT_TRUE(list.push({wait_request::add, hb, 1, 0}));
    EXPECT_TRUE(list.push({wait_request::demote, ha, 0, 0}));
    EXPECT_FALSE(list.push({wait_request::remove_and_wait, ha, 0, 0})) << "cancels instead of queuing";
    EXPECT_EQ(list.size(), 1u);
    EXPECT_FALSE(list.push({wait_request::remove_and_wait, hb, 0, 0})) << "b's add is queued: cancels";
    wait_request r;
    EXPECT_FALSE(list.pop(r));

    EXPECT_TRUE(list.push({wait_request::remove_and_wait, ha, 0, 0})) << "no add queued: appended";
    EXPECT_TRUE(list.push({wait_request::demote, hb, 0, 0}));
    EXPECT_TRUE(list.erase_requests(ha));
    EXPECT_FALSE(list.erase_requests(ha));
    ASSERT_TRUE(list.pop(r));
    EXPECT_EQ(r.kind, wait_request::demote);
    EXPECT_TRUE(r.handle == hb);
    EXPECT_FALSE(list.pop(r));
}

TEST(WaitObjectsThreadTest, RemoveAndWaitStopsWatchingAndSurvivesAStoppedThread) {
    recorder rec;
    platform::event a(false), b(false);
    wait_objects_thread t(&rec);
    t.start();
    EXPECT_FALSE(t.is_full());
    t.add_handle(wait_handle::of(a), 0);
    t.add_handle(wait_handle::of(b), 0);
    ASSERT_TRUE(wait_until_count(t, 4));
    EXPECT_TRUE(t.remove_handle_and_wait(wait_handle::of(a)));
    EXPECT_EQ(t.handle_count(), 3u) << "removed once the call returns";
    a.set();
    b.set();
    ASSERT_TRUE(rec.wait_for_count(1));
    EXPECT_TRUE(rec.seen()[0] == wait_handle::of(b));
    EXPECT_TRUE(a.wait(0)) << "a removed handle is not waited on (its signal stays)";

    t.stop();
    EXPECT_TRUE(t.remove_handle_and_wait(wait_handle::of(b))) << "must not hang on a stopped thread";
}

TEST(WaitObjectsThreadTest, CapacityCountsQueuedRequests) {
    recorder rec;
    std::vector<std::unique_ptr<platform::event>> events;
    wait_objects_thread t(&rec);  // not started: requests stay queued
    int added = 0;
    while (!t.is_full()) {
        events.push_back(std::make_unique<platform::event>(false));
        t.add_handle(wait_handle::of(*events.back()), 0);
        ++added;
    }
    EXPECT_EQ(added, 61);
    t.start();
    ASSERT_TRUE(wait_until_count(t, 63));
    EXPECT_TRUE(t.is_full());
    t.stop();
}

TEST(WaitObjectsThreadTest, LevelTriggeredHandleReportedOnceUntilRearmed) {
    recorder rec;
    harness::sock_t sv[2];
    ASSERT_TRUE(harness::stream_pair(sv));
    const wait_handle writable = wait_handle::socket(sv[0], wait_handle::socket_writable);
    platform::event marker(false);
    wait_objects_thread t(&rec);
    t.start();
    t.add_handle(writable, 1);
    ASSERT_TRUE(rec.wait_for_count(1));
    // The socket stays writable; without the re-arm it must not be reported again.
    // The marker's signal proves the thread went round its loop in the meantime.
    t.add_handle(wait_handle::of(marker), 0);
    marker.set();
    ASSERT_TRUE(rec.wait_for_count(2));
    EXPECT_TRUE(rec.seen()[1] == wait_handle::of(marker));
    t.rearm_handle(writable);
    ASSERT_TRUE(rec.wait_for_count(3));
    EXPECT_TRUE(rec.seen()[2] == writable);
    t.stop();
    harness::close_sock(sv[0]);
    harness::close_sock(sv[1]);
}

// Two threads add and remove their own handle as fast as they can, so removes
// arrive while the wait thread is carrying out an add or the other's remove.
TEST(WaitObjectsThreadTest, ConcurrentAddRemovePairsNeitherHangNorLeak) {
    constexpr int runs = 4;
    constexpr int pairs = 80;
    constexpr auto run_limit = 3s;
    recorder rec;
    platform::event a(false), b(false);
    wait_objects_thread t(&rec);
    t.start();
    for (int run = 0; run < runs; ++run) {
        std::atomic<int> finished{0};
        const auto worker = [&](platform::event* e) {
            for (int i = 0; i < pairs; ++i) {
                t.add_handle(wait_handle::of(*e), 0);
                t.remove_handle_and_wait(wait_handle::of(*e));
            }
            ++finished;
        };
        std::thread first(worker, &a), second(worker, &b);
        const bool done = eventually([&] { return finished.load() == 2; }, run_limit);
        // Ending the wait thread releases a remover stuck in its wait, so the workers can be joined.
        if (!done) t.stop();
        first.join();
        second.join();
        ASSERT_TRUE(done) << "a remove never returned in run " << run;
        EXPECT_EQ(t.handle_count(), 2u) << "a handle is still watched after its remove returned, run " << run;
    }
    a.set();
    b.set();
    platform::event marker(false);
    t.add_handle(wait_handle::of(marker), 0);
    marker.set();
    ASSERT_TRUE(rec.wait_for_count(1));
    EXPECT_EQ(rec.seen().size(), 1u);
    EXPECT_TRUE(a.wait(0) && b.wait(0)) << "removed handles are not waited on";
    t.stop();
}

TEST(WaitObjectsThreadTest, AThreadWhoseWaitFailedTakesNoWork) {
    recorder rec;
    platform::event kept(false), late(false);
    wait_objects_thread t(&rec);
    t.start();
    t.add_handle(wait_handle::of(kept), 0);
    // A descriptor the wait refuses (as a closed one is): the thread's wait fails and it ends.
    t.add_handle(wait_handle::socket(-1, wait_handle::socket_readable), 0);
    ASSERT_TRUE(eventually([&] { return !t.running(); }));
    EXPECT_FALSE(t.add_handle(wait_handle::of(late), 0)) << "an ended thread must refuse an add";
    EXPECT_FALSE(t.demote_handle(wait_handle::of(kept)));
    EXPECT_TRUE(t.remove_handle_and_wait(wait_handle::of(kept))) << "returns at once";
}

}  // namespace
}  // namespace asynframe
