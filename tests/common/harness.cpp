#include "common/harness.h"

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

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

bool running_under_wine() {
#if defined(_WIN32)
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

#if defined(_WIN32)
int host_message_loop_wait(unsigned int timeout_ms) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
    int dispatched = 0;
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
        ++dispatched;
    }
    return dispatched;
}
#else
int host_message_loop_wait(unsigned int) { return -1; }
#endif

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
