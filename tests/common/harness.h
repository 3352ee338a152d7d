// What every I/O test shares: waiting with a hard limit, the four engine modes
// as a test parameter, and skipping the ring modes where no ring can be made.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace asynframe::harness {

// Runs `step` (which may pump) until `done` holds; false once `limit` has passed.
bool wait_until(const std::function<bool()>& done, const std::function<void()>& step,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// The step of a wait on a thread that has nothing to pump.
void short_pause();

// True for a Windows program running under wine rather than on Windows: the
// few cases where wine is laxer than Windows (alignment of unbuffered
// transfers, access lists) skip the check they cannot make there.
bool running_under_wine();

enum class engine_mode { port, alertable, ui_thread, ui_thread_alertable };

// The test thread is the dispatch thread and must pump.
constexpr bool is_ui(engine_mode mode) {
    return mode == engine_mode::ui_thread || mode == engine_mode::ui_thread_alertable;
}
// The readiness backend instead of the ring.
constexpr bool is_alertable(engine_mode mode) {
    return mode == engine_mode::alertable || mode == engine_mode::ui_thread_alertable;
}

const char* mode_name(engine_mode mode);
// For INSTANTIATE_TEST_SUITE_P.
std::string mode_label(const ::testing::TestParamInfo<engine_mode>& info);
inline auto all_modes() {
    return ::testing::Values(engine_mode::port, engine_mode::alertable, engine_mode::ui_thread,
                             engine_mode::ui_thread_alertable);
}

// The io_uring ring can be made here (and ASYNFRAME_NO_IO_URING does not forbid it).
bool ring_available();
// True when `mode` needs the ring and there is none.
inline bool ring_missing(engine_mode mode) { return !is_alertable(mode) && !ring_available(); }

using pump_function = int (*)(unsigned int);

// A Windows host's ordinary message loop, for up to `timeout_ms`: waits for a
// message (alertably, so completion routines run), then gets and dispatches
// whatever waits. What drives a UI-thread frame of the DLL on Windows, where
// the DLL exports no pump of its own. Returns the messages dispatched.
int host_message_loop_wait(unsigned int timeout_ms);

// How the test thread waits for the engine: by pumping its frame queue when it
// is the dispatch thread, by sleeping otherwise.
class dispatch_waiter {
public:
    dispatch_waiter() = default;
    // `pump` defaults to this program's asynframe_ui_thread_wait; a module
    // loaded on its own has its own queue and needs its own pump.
    explicit dispatch_waiter(bool ui, pump_function pump = nullptr) : _ui(ui), _pump(pump) {}

    bool ui() const { return _ui; }
    void step() const;
    bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        return wait_until(done, [this] { step(); }, limit);
    }

private:
    bool _ui = false;
    pump_function _pump = nullptr;
};

}  // namespace asynframe::harness

// In a test body or SetUp: ends the test as skipped when the mode needs a ring.
#define ASYNFRAME_SKIP_WITHOUT_RING(mode)                 \
    if (::asynframe::harness::ring_missing(mode))         \
    GTEST_SKIP() << "io_uring is not available here"
