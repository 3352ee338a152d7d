#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace asynframe {
namespace {

// The name the system shows for a thread of this process; nullopt when it
// cannot tell (Windows before 10 1607).
std::optional<std::string> system_thread_name(std::uint32_t id) {
#if defined(_WIN32)
    using get_description = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto get = reinterpret_cast<get_description>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "GetThreadDescription")));
    if (get == nullptr) return std::nullopt;
    HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (thread == nullptr) return std::nullopt;
    PWSTR wide = nullptr;
    std::string name;
    if (SUCCEEDED(get(thread, &wide)) && wide != nullptr) {
        char narrow[64] = {};
        ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
        name = narrow;
        ::LocalFree(wide);
    }
    ::CloseHandle(thread);
    return name;
#else
    std::ifstream in("/proc/self/task/" + std::to_string(id) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
#endif
}

// Runs until told to stop; records the id it saw for itself.
class waiting_thread : public thread {
public:
    ~waiting_thread() override { stop(); }
    using thread::stop_event;
    std::atomic<int> runs{0};
    std::atomic<std::uint32_t> seen_id{0};
    std::atomic<bool> in_thread_inside{false};
    std::string check_error;

protected:
    void run() override {
        seen_id = platform::current_thread_id();
        in_thread_inside = in_thread();
        try {
            check_thread();
        } catch (const std::logic_error& e) {
            check_error = e.what();
        }
        ++runs;
        stop_event().wait(platform::infinite);
    }
};

std::string logic_error_text(auto&& call) {
    try {
        call();
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "<no logic_error>";
}

TEST(ThreadTest, StartStopRestart) {
    waiting_thread t;
    EXPECT_EQ(t.thread_id(), 0u);
    EXPECT_FALSE(t.in_thread());
    t.stop();  // never started: nothing happens

    t.start();
    EXPECT_NE(t.thread_id(), 0u) << "the id is known when start returns";
    EXPECT_NE(t.thread_id(), platform::current_thread_id());
    EXPECT_FALSE(t.in_thread());
    t.stop();
    EXPECT_EQ(t.runs.load(), 1);
    EXPECT_EQ(t.seen_id.load(), t.thread_id());
    EXPECT_TRUE(t.in_thread_inside.load());
    EXPECT_EQ(t.check_error, "");

    // A second start clears the stop event and runs again.
    t.start();
    EXPECT_FALSE(t.stop_event().wait(0));
    t.stop();
    EXPECT_EQ(t.runs.load(), 2);
    t.stop();  // stopping a stopped thread is harmless
}

TEST(ThreadTest, MisuseRaisesLogicErrors) {
    waiting_thread t;
    EXPECT_EQ(logic_error_text([&] { t.signal_stop(); }), "try to stop a unstart thread");

    t.start();
    EXPECT_EQ(logic_error_text([&] { t.start(); }),
              "last thread not stopped, now startanother thread at one thread obj");
    const std::string expected = "_thread_id[" + std::to_string(t.thread_id()) + "] != current_thread_id[" +
                                 std::to_string(platform::current_thread_id()) + "]";
    EXPECT_EQ(logic_error_text([&] { t.check_thread(); }), expected);
    t.signal_stop();
    t.stop();
    EXPECT_EQ(t.runs.load(), 1);
}

// A thread carries its owner's name, cut to what the system keeps.
TEST(ThreadTest, ThreadsCarryTheirNames) {
    struct named_thread final : waiting_thread {
        ~named_thread() override { stop(); }  // before its own part goes
        const char* thread_name() const noexcept override { return "af-a-very-long-thread-name"; }
    };
    waiting_thread plain;
    named_thread named;
    plain.start();
    named.start();
    // The name is set before start returns.
    const std::optional<std::string> plain_name = system_thread_name(plain.thread_id());
    if (!plain_name) GTEST_SKIP() << "the system keeps no thread names";
    EXPECT_EQ(*plain_name, "af-thread");
    EXPECT_EQ(system_thread_name(named.thread_id()).value_or(""), "af-a-very-long-");
}

TEST(ThreadTest, DestructorStopsAThreadStillRunning) {
    auto t = std::make_unique<waiting_thread>();
    t->start();
    t.reset();  // must neither hang nor terminate
    SUCCEED();
}

TEST(MutexTest, ScopedLockEntersAndLeaves) {
    mutex m;
    {
        mutex::scoped_lock guard(m);
        EXPECT_FALSE(m.try_lock());
    }
    EXPECT_TRUE(m.try_lock());
    m.unlock();
}

std::uint32_t fake_tick = 0;
std::uint32_t fake_tick_source() noexcept { return fake_tick; }

TEST(TickTest, ElapsedAcrossWrapAround) {
    fake_tick = 0xFFFFFFF0u;
    const platform::tick_source previous = platform::set_tick_source(&fake_tick_source);
    const std::uint32_t start = platform::tick_count();
    EXPECT_EQ(start, 0xFFFFFFF0u);
    fake_tick = 0x10u;
    EXPECT_EQ(platform::tick_elapsed(start, platform::tick_count()), 0x20u);
    EXPECT_EQ(platform::set_tick_source(previous), &fake_tick_source);
    const std::uint32_t a = platform::tick_count();
    EXPECT_LT(platform::tick_elapsed(a, platform::tick_count()), 60000u);
}

}  // namespace
}  // namespace asynframe
