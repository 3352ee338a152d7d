// A frame's lifecycle with work in flight, as hosts drive it: every way of
// shutting down, objects released with requests pending, stops from callbacks
// and from other threads. Each in-flight operation completes at most once,
// nothing is left behind (the module can unload), and nothing hangs.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "asynframe/com_helpers.h"
#include "asynframe/asynframe.h"
#include "asynframe/ui_thread.h"
#include "component/unknown_base.h"
#include "common/loopback.h"
#include "common/frame_fixture.h"
#include "frame/asyn_frame.h"

namespace asynframe {
namespace {

using namespace harness;

// Not yet answered.
constexpr HRESULT no_answer = static_cast<HRESULT>(0x8000000Au);

// Every callback interface; counts per operation, runs optional hooks.
class sink final
    : public com_interfaces<sink, IAsynIoOperationEvents, IAsynTimerEvents, IAsynMessageEvents, IAsynFrameEvents>,
      public atomic_ref_count {
public:
    using interfaces = no_interfaces;
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        DWORD error = 0, bytes = 0;
        operation->GetResult(&error, &bytes);
        LONG tag = 0;
        operation->GetTag(&tag);
        {
            std::lock_guard<std::mutex> guard(_lock);
            auto& entry = _completions[tag];
            ++entry.count;
            entry.error = error;
            entry.bytes = bytes;
        }
        if (on_complete) on_complete(operation, error, bytes);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override {
        ++timers;
        if (on_timer) on_timer(id);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD a, DWORD b, DWORD c) override {
        ++messages;
        if (on_message) on_message(a, b, c);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD, DWORD, DWORD) override {
        ++cancelled;
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnFrameStart() override {
        ++starts;
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnFrameStop() override {
        ++stops;
        return S_OK;
    }

    struct record {
        int count = 0;
        DWORD error = 0;
        DWORD bytes = 0;
    };
    // By tag: every operation of a test has its own.
    record get(IAsynIoOperation* operation) {
        LONG tag = 0;
        operation->GetTag(&tag);
        std::lock_guard<std::mutex> guard(_lock);
        const auto found = _completions.find(tag);
        return found == _completions.end() ? record{} : found->second;
    }
    int max_count() {
        std::lock_guard<std::mutex> guard(_lock);
        int most = 0;
        for (const auto& [operation, entry] : _completions) most = std::max(most, entry.count);
        return most;
    }

    std::function<void(IAsynIoOperation*, DWORD, DWORD)> on_complete;
    std::function<void(DWORD)> on_timer;
    std::function<void(DWORD, DWORD, DWORD)> on_message;
    std::atomic<int> timers{0}, messages{0}, cancelled{0}, starts{0}, stops{0};

private:
    ~sink() override = default;
    std::mutex _lock;
    std::map<LONG, record> _completions;
};

// One frame in one mode, driven as a host drives it.
class frame_session {
public:
    explicit frame_session(engine_mode m) : _mode(m), _waiter(is_ui(m)) {}

    void start() {
        ASSERT_EQ(DllCanUnloadNow(), S_OK) << "an earlier test left objects behind";
        frame_object = new CAsynFrame();
        events = new sink;
        frame()->Advise(events);
        mode_settings* settings = new mode_settings(is_alertable(_mode));
        const HRESULT started = plugin()->Initialize(ui() ? 1 : 0, settings, nullptr, 0);
        settings->Release();
        ASSERT_EQ(started, S_OK);
        work = new dispatcher;
        frame()->RegisterReceiver(work);
        ASSERT_TRUE(run_until([&] { return events->starts.load() == 1; }));
    }

    // Stops what is still running, lets go of the frame and checks that the
    // module is left with nothing.
    void finish() {
        if (frame_object != nullptr) {
            if (frame_object->running()) plugin()->Uninitialize();
            EXPECT_TRUE(run_until([&] { return !frame_object->running(); }));
            frame()->UnregisterReceiver(work);
            frame()->Unadvise(events);
            std::exchange(frame_object, nullptr)->Release();
        }
        if (work != nullptr) std::exchange(work, nullptr)->Release();
        // A stop finished by another thread may still be letting go.
        EXPECT_TRUE(run_until([] { return DllCanUnloadNow() == S_OK; })) << "objects left behind";
        if (events != nullptr) {
            EXPECT_LE(events->max_count(), 1) << "an operation completed twice";
            std::exchange(events, nullptr)->Release();
        }
    }

    bool ui() const { return is_ui(_mode); }
    IAsynFrame3* frame() { return static_cast<IAsynFrame3*>(frame_object); }
    IAsynFramePlugin* plugin() { return static_cast<IAsynFramePlugin*>(frame_object); }

    // Pumps (UI-thread mode) or waits until `done` holds; false after the limit.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return _waiter.until(done, limit);
    }

    void on_dispatch(std::function<void()> job) {
        if (ui()) {
            job();
            return;
        }
        work->push(std::move(job));
        ASSERT_EQ(frame()->SendFrameMessage(work, 0, 0, 0), S_OK);
    }

    IAsynIoOperation* operation(DWORD size) {
        IAsynIoOperation* made = nullptr;
        on_dispatch([&] { EXPECT_EQ(frame()->CreateOperation(events, &made), S_OK); });
        made->SetTag(++_tags);
        if (size != 0) {
            made->AllocBuffer(size);
            made->SetRange(0, size);
        }
        return made;
    }

    // A TCP connection accepted by the frame, and the client's plain socket.
    struct connection {
        IAsynTcpListener* listener = nullptr;
        IAsynTcpSocket* socket = nullptr;
        test_socket client = invalid_test_socket;
    };
    connection connect_pair() {
        connection made;
        IAsynIoOperation* listening = operation(0);
        on_dispatch([&] {
            ASSERT_EQ(frame()->CreateTcpListener(&made.listener), S_OK);
            ASSERT_EQ(made.listener->Listen(0, listening), S_OK);
        });
        EXPECT_TRUE(run_until([&] { return events->get(listening).count == 1; }));
        text_receiver address;
        WORD port = 0;
        on_dispatch([&] { EXPECT_EQ(made.listener->GetLocalAddress(&address, &port), S_OK); });
        IAsynIoOperation* accepting = operation(0);
        on_dispatch([&] { EXPECT_EQ(made.listener->Accept(accepting), S_OK); });
        made.client = open_socket(AF_INET, SOCK_STREAM);
        sockaddr_in target = loopback(port);
        EXPECT_EQ(::connect(made.client, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
        EXPECT_TRUE(run_until([&] { return events->get(accepting).count == 1; }));
        IUnknown* result = nullptr;
        accepting->GetResultObject(&result);
        if (result != nullptr) {
            result->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&made.socket));
            result->Release();
        }
        EXPECT_NE(made.socket, nullptr);
        accepting->SetResultObject(nullptr);
        listening->Release();
        accepting->Release();
        return made;
    }

    CAsynFrame* frame_object = nullptr;
    sink* events = nullptr;
    dispatcher* work = nullptr;

private:
    engine_mode _mode;
    dispatch_waiter _waiter;
    LONG _tags = 0;
};

class LifecycleTest : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        if (ring_missing(GetParam())) GTEST_SKIP() << "io_uring is not available here";
        session.start();
    }
    void TearDown() override { session.finish(); }
    frame_session session{GetParam()};
};

// ---- the teardown matrix ----------------------------------------------------------

enum class shutdown_way { close_release_uninitialize, release_uninitialize, uninitialize_in_callback, last_release };

class TeardownTest : public ::testing::TestWithParam<std::tuple<engine_mode, shutdown_way>> {
protected:
    void SetUp() override {
        if (ring_missing(std::get<0>(GetParam()))) GTEST_SKIP() << "io_uring is not available here";
        session.start();
    }
    void TearDown() override { session.finish(); }
    frame_session session{std::get<0>(GetParam())};
};

// A connection with a full read and a full write in flight, a connect that
// cannot finish, a timer, a posted message and a UDP receive; then the frame
// goes in one of the ways hosts use.
TEST_P(TeardownTest, EveryOperationEndsAtMostOnceAndNothingIsLeft) {
    const shutdown_way way = std::get<1>(GetParam());
    sink* events = session.events;
    IAsynFrame3* frame = session.frame();
    auto pair = session.connect_pair();
    ASSERT_NE(pair.socket, nullptr);
    IAsynIoOperation* read = session.operation(64 * 1024);
    IAsynIoOperation* write = session.operation(16 * 1024 * 1024);
    IAsynIoOperation* datagram = session.operation(2048);
    IAsynIoOperation* connecting = session.operation(0);
    IAsynUdpSocket* udp = nullptr;
    IAsynTcpSocket* stuck = nullptr;
    stalled_listener stalled;
    session.on_dispatch([&] {
        ASSERT_EQ(pair.socket->ReadFully(read), S_OK);
        // The client never reads: sixteen megabytes stay in flight.
        ASSERT_EQ(pair.socket->WriteFully(write), S_OK);
        ASSERT_EQ(frame->SetTimer(events, 7, 60000, 0), S_OK);
        ASSERT_EQ(frame->CreateUdpSocket(&udp), S_OK);
        ASSERT_EQ(udp->Open(0), S_OK);
        ASSERT_EQ(udp->Read(datagram), S_OK);
        ASSERT_EQ(frame->CreateTcpSocket(&stuck), S_OK);
        ASSERT_EQ(stuck->Connect(connecting, 9, "127.0.0.1", stalled.port, 0), S_OK);
    });
    ASSERT_EQ(frame->RegisterReceiver(events), S_OK);

    auto release_objects = [&](bool close_first) {
        if (close_first) {
            pair.socket->Close();
            udp->Close();
            pair.listener->Close();
            stuck->Close();
        }
        stuck->Release();
        pair.socket->Release();
        udp->Release();
        pair.listener->Release();
    };

    switch (way) {
        case shutdown_way::close_release_uninitialize:
        case shutdown_way::release_uninitialize:
            session.on_dispatch([&] {
                frame->PostFrameMessage(events, 1, 2, 3);
                release_objects(way == shutdown_way::close_release_uninitialize);
            });
            EXPECT_EQ(session.plugin()->Uninitialize(), S_OK);
            break;
        case shutdown_way::uninitialize_in_callback: {
            std::atomic<HRESULT> answer{no_answer};
            events->on_message = [&](DWORD, DWORD, DWORD) {
                release_objects(false);
                answer = session.plugin()->Uninitialize();
            };
            session.on_dispatch([&] { frame->PostFrameMessage(events, 1, 2, 3); });
            EXPECT_TRUE(session.run_until([&] { return answer.load() != no_answer; }));
            EXPECT_EQ(answer.load(), S_OK);
            EXPECT_TRUE(session.run_until([&] { return events->stops.load() == 1; }));
            break;
        }
        case shutdown_way::last_release:
            session.on_dispatch([&] {
                frame->PostFrameMessage(events, 1, 2, 3);
                release_objects(true);
            });
            // The host lets go of its operations (the requests keep theirs),
            // then drops its last reference without Uninitialize.
            for (IAsynIoOperation*& operation :
                 {std::ref(read), std::ref(write), std::ref(datagram), std::ref(connecting)})
                std::exchange(operation, nullptr)->Release();
            std::exchange(session.frame_object, nullptr)->Release();
            EXPECT_EQ(events->stops.load(), 1);
            break;
    }
    close_socket(pair.client);
    EXPECT_LE(events->messages.load() + events->cancelled.load(), 1);
    EXPECT_EQ(events->timers.load(), 0);
    for (IAsynIoOperation* operation : {read, write, datagram, connecting}) {
        if (operation == nullptr) continue;
        EXPECT_LE(events->get(operation).count, 1);
        operation->Release();
    }
}

std::string teardown_label(const ::testing::TestParamInfo<std::tuple<engine_mode, shutdown_way>>& info) {
    static const char* const ways[] = {"CloseReleaseUninitialize", "ReleaseUninitialize", "UninitializeInCallback",
                                       "LastRelease"};
    return std::string(mode_name(std::get<0>(info.param))) + "_" + ways[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Matrix, TeardownTest,
                         ::testing::Combine(all_modes(),
                                            ::testing::Values(shutdown_way::close_release_uninitialize,
                                                              shutdown_way::release_uninitialize,
                                                              shutdown_way::uninitialize_in_callback,
                                                              shutdown_way::last_release)),
                         teardown_label);

// ---- objects released or closed with whole-range transfers in flight --------------

// The host pattern Close(); Release(); while a full read has a piece waiting
// to be dispatched: the next step must not touch the released socket.
TEST_P(LifecycleTest, ReleasingASocketWithAFullReadStepQueuedEndsItWith995) {
    auto pair = session.connect_pair();
    IAsynIoOperation* first = session.operation(1);
    IAsynIoOperation* full = session.operation(100);
    // 51 bytes: once one of them has been read, the other 50 are surely here.
    const char data[51] = {};
    ASSERT_EQ(send_some(pair.client, data, sizeof data), 51);
    session.on_dispatch([&] { ASSERT_EQ(pair.socket->Read(first), S_OK); });
    ASSERT_TRUE(session.run_until([&] { return session.events->get(first).count == 1; }));
    session.on_dispatch([&] {
        // The first piece (50 bytes) completes at once; the second would be
        // issued on a socket that is already gone.
        ASSERT_EQ(pair.socket->ReadFully(full), S_OK);
        pair.socket->Close();
        pair.socket->Release();
    });
    ASSERT_TRUE(session.run_until([&] { return session.events->get(full).count == 1; }));
    EXPECT_EQ(session.events->get(full).error, 995u);
    pair.listener->Release();
    close_socket(pair.client);
    first->Release();
    full->Release();
}

// Closing the operation of a full read in the middle frees the socket for the
// next full read instead of refusing every later one.
TEST_P(LifecycleTest, ClosingTheOperationOfAFullReadLeavesTheSocketUsable) {
    auto pair = session.connect_pair();
    IAsynIoOperation* abandoned = session.operation(100);
    IAsynIoOperation* next = session.operation(4);
    session.on_dispatch([&] {
        ASSERT_EQ(pair.socket->ReadFully(abandoned), S_OK);
        abandoned->Close();
        EXPECT_EQ(pair.socket->ReadFully(next), S_OK);
    });
    ASSERT_EQ(send_some(pair.client, "abcd", 4), 4);
    // One of the two reads takes the bytes; the abandoned one tells nobody.
    session.on_dispatch([&] { pair.socket->Close(); });
    ASSERT_TRUE(session.run_until([&] { return session.events->get(next).count == 1; }));
    EXPECT_EQ(session.events->get(abandoned).count, 0);
    session.on_dispatch([&] {
        pair.socket->Release();
        pair.listener->Release();
    });
    close_socket(pair.client);
    abandoned->Release();
    next->Release();
}

// A full read refused off the dispatch thread changes neither the operation
// nor the socket.
TEST_P(LifecycleTest, ARefusedFullReadChangesNothing) {
    if (session.ui()) GTEST_SKIP() << "the test thread is the dispatch thread in UI-thread mode";
    auto pair = session.connect_pair();
    IAsynIoOperation* full = session.operation(100);
    full->SetRange(10, 20);
    full->SetPosition(7, 0);
    EXPECT_EQ(pair.socket->ReadFully(full), E_ACCESSDENIED);
    DWORD start = 0, length = 0;
    ULONGLONG position = 0;
    full->GetRange(&start, &length);
    full->GetPosition(&position);
    EXPECT_EQ(start, 10u);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(position, 7u);
    session.on_dispatch([&] { EXPECT_EQ(pair.socket->ReadFully(full), S_OK); });
    char data[20] = {};
    ASSERT_EQ(send_some(pair.client, data, sizeof data), 20);
    ASSERT_TRUE(session.run_until([&] { return session.events->get(full).count == 1; }));
    EXPECT_EQ(session.events->get(full).error, 0u);
    EXPECT_EQ(session.events->get(full).bytes, 20u);
    session.on_dispatch([&] {
        pair.socket->Release();
        pair.listener->Release();
    });
    close_socket(pair.client);
    full->Release();
}

// ---- stops from callbacks and from other threads -----------------------------------

TEST_P(LifecycleTest, TheLastReleaseInsideACallbackStopsTheFrameAfterIt) {
    sink* events = session.events;
    IAsynFrame3* frame = session.frame();
    ASSERT_EQ(frame->RegisterReceiver(events), S_OK);
    CAsynFrame* object = std::exchange(session.frame_object, nullptr);
    std::atomic<bool> released{false};
    events->on_message = [&](DWORD, DWORD, DWORD) {
        frame->UnregisterReceiver(session.work);
        frame->UnregisterReceiver(events);
        frame->Unadvise(events);
        object->Release();  // the host's only reference
        released = true;
    };
    ASSERT_EQ(frame->PostFrameMessage(events, 0, 0, 0), S_OK);
    ASSERT_TRUE(session.run_until([&] { return released.load(); }));
    EXPECT_TRUE(session.run_until([] { return DllCanUnloadNow() == S_OK; }));
}

TEST_P(LifecycleTest, SynchronousSendsRacingUninitializeAllReturn) {
    if (session.ui()) GTEST_SKIP() << "senders wait for the UI thread, which here runs the stop itself";
    sink* events = session.events;
    ASSERT_EQ(session.frame()->RegisterReceiver(events), S_OK);
    std::atomic<bool> go{false};
    std::atomic<int> returned{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i) {
        senders.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int n = 0; n < 200; ++n) {
                const HRESULT hr = session.frame()->SendFrameMessage(events, 1, 2, 3);
                EXPECT_TRUE(hr == S_OK || hr == E_FAIL || hr == E_UNEXPECTED) << std::hex << hr;
                session.frame()->IsFrameThread();
            }
            ++returned;
        });
    }
    go = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(session.plugin()->Uninitialize(), S_OK);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (returned.load() < 4 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(returned.load(), 4) << "a synchronous send never returned";
    for (std::thread& sender : senders) {
        if (returned.load() == 4)
            sender.join();
        else
            sender.detach();
    }
}

// UI-thread mode stopped from another thread: the UI thread's queue stays
// valid for its next pump, and what was in flight for it is not leaked.
TEST_P(LifecycleTest, AUiThreadFrameStoppedFromAnotherThread) {
    if (!session.ui()) GTEST_SKIP() << "only UI-thread mode has a queue of its own";
    IAsynIoOperation* posted = session.operation(0);
    // Completions still waiting for the UI thread when the frame stops.
    for (int i = 0; i < 3; ++i) {
        IAsynIoOperation* extra = session.operation(0);
        EXPECT_EQ(session.frame()->PostOperation(extra), S_OK);
        extra->Release();
    }
    EXPECT_EQ(session.frame()->PostOperation(posted), S_OK);
    std::thread stopper([&] { EXPECT_EQ(session.plugin()->Uninitialize(), S_OK); });
    stopper.join();
    EXPECT_FALSE(session.frame_object->running());
    // The next pump on this thread finds no freed queue.
    EXPECT_EQ(asynframe_ui_thread_pump(), -1);
    EXPECT_EQ(asynframe_ui_thread_descriptor(), -1);
    EXPECT_EQ(session.events->get(posted).count, 0);
    posted->Release();
}

TEST_P(LifecycleTest, AUiThreadFrameStoppedFromAnotherThreadWhileItPumps) {
    if (!session.ui()) GTEST_SKIP() << "only UI-thread mode has a queue of its own";
    // A stream of completions keeps the UI thread busy in its pumps while
    // the stop takes its window and queue away under it.
    sink* events = session.events;
    IAsynFrame3* frame = session.frame();
    ASSERT_EQ(frame->RegisterReceiver(events), S_OK);
    std::atomic<bool> stopping{false};
    events->on_message = [&](DWORD, DWORD, DWORD) {
        if (!stopping.load()) frame->PostFrameMessage(events, 0, 0, 0);
    };
    session.on_dispatch([&] { ASSERT_EQ(frame->PostFrameMessage(events, 0, 0, 0), S_OK); });
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(session.plugin()->Uninitialize(), S_OK);
        stopped = true;
    });
    EXPECT_TRUE(session.run_until([&] { return stopped.load(); }));
    stopping = true;
    stopper.join();
    EXPECT_FALSE(session.frame_object->running());
    EXPECT_EQ(asynframe_ui_thread_pump(), -1);
}

// ---- fairness: a receiver that re-posts itself ------------------------------------

TEST_P(LifecycleTest, AMessageFloodStarvesNeitherTimersNorSocketsNorTheStop) {
    sink* events = session.events;
    IAsynFrame3* frame = session.frame();
    ASSERT_EQ(frame->RegisterReceiver(events), S_OK);
    std::atomic<bool> flooding{true};
    events->on_message = [&](DWORD, DWORD, DWORD) {
        if (flooding.load()) frame->PostFrameMessage(events, 0, 0, 0);
    };
    auto pair = session.connect_pair();
    IAsynIoOperation* read = session.operation(4);
    std::atomic<std::int64_t> timer_at{0};
    const auto begin = std::chrono::steady_clock::now();
    auto since_begin = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    };
    events->on_timer = [&](DWORD) { timer_at = since_begin(); };
    session.on_dispatch([&] {
        for (int i = 0; i < 8; ++i) frame->PostFrameMessage(events, 0, 0, 0);
        ASSERT_EQ(frame->SetTimer(events, 1, 20, 0), S_OK);
        ASSERT_EQ(pair.socket->Read(read), S_OK);
    });
    ASSERT_TRUE(session.run_until([&] { return timer_at.load() != 0; }, std::chrono::seconds(5)))
        << "the timer never fired during the flood";
    // Generous for loaded machines, yet far from the starvation it guards against.
    EXPECT_LT(timer_at.load(), 20 + 500);
    const auto sent = since_begin();
    ASSERT_EQ(send_some(pair.client, "ping", 4), 4);
    ASSERT_TRUE(session.run_until([&] { return events->get(read).count == 1; }, std::chrono::seconds(5)))
        << "the socket read never completed during the flood";
    EXPECT_LT(since_begin() - sent, 500);
    EXPECT_GT(events->messages.load(), 100);
    session.on_dispatch([&] {
        pair.socket->Release();
        pair.listener->Release();
    });
    close_socket(pair.client);
    read->Release();
    // Still flooding: the stop must get through.
    EXPECT_EQ(session.plugin()->Uninitialize(), S_OK);
    flooding = false;
}

INSTANTIATE_TEST_SUITE_P(Modes, LifecycleTest, all_modes(), mode_label);

}  // namespace
}  // namespace asynframe
