#include "common/harness.h"

#include <thread>

#include "asynframe/ui_thread.h"
#include "platform/io_backend.h"

namespace asynframe::harness {

bool wait_until(const std::function<bool()>& done, const std::function<void()>& step,
                std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        step();
    }
    return true;
}

void short_pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

const char* mode_name(engine_mode mode) {
    switch (mode) {
        case engine_mode::port: return "port";
        case engine_mode::alertable: return "alertable";
        case engine_mode::ui_thread: return "ui_thread";
        case engine_mode::ui_thread_alertable: return "ui_thread_alertable";
    }
    return "unknown";
}

std::string mode_label(const ::testing::TestParamInfo<engine_mode>& info) { return mode_name(info.param); }

bool ring_available() {
    // Asked once: the answer does not change within a run.
    static const bool available = [] {
        const auto backend = platform::io_backend::create(false);
        return backend && backend->is_completion_port();
    }();
    return available;
}

void dispatch_waiter::step() const {
    if (_ui)
        (_pump != nullptr ? _pump : &asynframe_ui_thread_wait)(5);
    else
        short_pause();
}

}  // namespace asynframe::harness
